// Handlers of the server's two update commands: SNF_UPDATE announces the
// file list of one repository revision, which the proxy connection relays
// once and merges into the cache; SRS_UPDATE carries the body of the reply to
// the proxy's own ARQ_UPDATE, which is poured into the running download as it
// arrives, acknowledged per range for newer peers, and kept alive upstream
// while it is slow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "io/cmd_handler.h"
#include "proxy/srv_side_layer.h"

namespace srv_side {

/// What an SNF_UPDATE body announces.
struct snf_update_body_t {
    cache::rev_t revision = 0;
    /// The server's own number, given back in the ARQ_UPDATEs of this announcement.
    int32_t announcement = 0;
    std::vector<cache::file_info_t> files;
};

/// Parses an SNF_UPDATE body whose final line feed is already dropped:
/// revision line, announcement line, then "size md5 name" per file. A revision
/// or announcement line that is not wholly a number raises
/// number_format_exception; a file line that does not start with a size, or
/// whose size does not fit 32 bits, is a protocol error.
snf_update_body_t parse_snf_update_body(const std::vector<char>& body);

/// The numbers of an SRS_UPDATE range token ("R<start>:<end>"); its first
/// character is skipped whatever it is. A piece that is not wholly a number
/// raises number_format_exception.
void parse_range_token(const std::string& token, uint32_t& start, uint32_t& end);
/// The total of a size token ("S<total>"), first character skipped.
uint32_t parse_size_token(const std::string& token);

/// The server's announcement of one revision's files.
class cmd_snf_update_t : public io::proto::cmd_handler_base<cmd_snf_update_t, layer_t> {
public:
    static constexpr const char* command_name = "SNF_UPDATE";
    void end(std::vector<char>& body) override;
};

/// One reply (or one range of it) to the running download's ARQ_UPDATE.
class cmd_srs_update_t : public io::proto::cmd_handler_base<cmd_srs_update_t, layer_t> {
public:
    static constexpr const char* command_name = "SRS_UPDATE";
    /// Period of the ALIVE lines sent upstream while a body arrives: 20
    /// seconds (tests shorten it before commands arrive).
    static boost::posix_time::time_duration alive_interval;

    /// Finds the running download and makes it the sink of the body; a reply
    /// nobody waits for, or one missing its words, is refused.
    void begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
               const args_range& arguments) override;
    /// Acknowledges the range for newer peers; the last range (or the only
    /// reply of an older peer) completes the download.
    void end(std::vector<char>& body) override;

private:
    /// Set once begin has accepted the command; a refused command's end does nothing.
    bool accepted_ = false;
    /// The download this reply fills; empty (or gone) when it was given up.
    boost::weak_ptr<download_context_t> download_;
    /// The peer sends ranges (version 2.9 or newer when the reply began).
    bool ranged_ = false;
    std::string request_id_;
    std::string range_token_;
    std::string size_token_;
    uint32_t range_start_ = 0;
    uint32_t range_end_ = 0;
    uint32_t total_size_ = 0;
};

}  // namespace srv_side
