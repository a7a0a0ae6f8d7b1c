// The asking side of discovery: sends request datagrams to one datagram
// endpoint and reports every server that answers as a stream endpoint to
// connect to.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/local/datagram_protocol.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include "io/detail/ipx.h"
#include "io/spec_parser.h"
#include "io/text_protocol_layer_options.h"

namespace io {
namespace discovery {
namespace explorer {

/// One answer: where the answering server accepts connections, and what it said.
struct record {
    /// TCP for a UDP answer, SPX for IPX, local stream for a local datagram answer.
    client_endpoint endpoint;
    /// From the start of the exploration to the arrival of this answer.
    boost::posix_time::time_duration elapsed;
    /// The answer's bytes (at most 256).
    std::string answer;
};

/// How one exploration runs.
struct settings {
    settings() = default;
    /// Takes the discovery fields of a connection's options.
    explicit settings(const proto::text_protocol_layer_options& options);

    /// Time waited for answers after each request, in microseconds.
    int64_t wait_us = 3000000;
    /// Number of requests sent; zero is a broken contract.
    uint32_t attempts = 3;
    /// Stop listening after the first answer.
    bool stop_on_first = true;
    /// The bytes of every request datagram; may be empty.
    std::string request;
};

typedef boost::function<void(const record&)> record_callback;
/// Called once when the exploration is over, after every record callback has returned.
typedef boost::function<void(const boost::system::error_code&)> finish_callback;

}  // namespace explorer

typedef boost::asio::local::datagram_protocol::socket udx_socket;

/// Starts exploring `target` from `socket` (open, unbound). The first request
/// is sent before the call returns; its failure, a socket option that cannot
/// be set or a zero attempt count is thrown, and nothing runs afterwards.
/// An answer to a target of one server counts only from that server's
/// address; one from an address no server can have is never followed. Both
/// are logged as warnings, and the exploration goes on.
void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<boost::asio::ip::udp::socket>& socket,
             const boost::asio::ip::udp::endpoint& target, const explorer::record_callback& on_record,
             const explorer::finish_callback& on_finish);
void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<io::detail::ipx::ipx::socket>& socket,
             const io::detail::ipx::ipx::endpoint& target, const explorer::record_callback& on_record,
             const explorer::finish_callback& on_finish);
/// A local target is asked at the discovery address of its path (see
/// local_address.h). A local datagram socket cannot be answered unless it has
/// an address, so this one is bound to a fresh random abstract name, which
/// leaves no file behind.
void explore(boost::asio::io_service& service, const explorer::settings& settings,
             const boost::shared_ptr<udx_socket>& socket, const boost::asio::local::datagram_protocol::endpoint& target,
             const explorer::record_callback& on_record, const explorer::finish_callback& on_finish);

}  // namespace discovery
}  // namespace io
