// The one settings record of a connection's layer stack. Every layer keeps
// its own copy and reads only the fields that concern it.
#pragma once

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace io {
namespace proto {

/// Settings copied by value down the whole stack; a copy never changes afterwards.
struct text_protocol_layer_options {
    /// How the explorer looks for an upstream server.
    struct explorer_settings {
        /// Time to wait for answers after each discovery request.
        boost::posix_time::time_duration wait = boost::posix_time::seconds(3);
        /// Number of discovery requests sent; zero is refused by the discovery layer.
        uint32_t retries = 3;
    };

    /// Time without received data after which the transport closes; +infinity for none.
    boost::posix_time::time_duration idle_timeout = boost::posix_time::pos_infin;
    /// Bytes asked for by each read of the transport.
    uint32_t read_buffer_size = 8192;
    /// True: write completions run in the connection's strand; false: on any I/O thread.
    bool strand_send_completions = false;
    explorer_settings explorer;
    /// True: a discovery stops listening once the first server has answered.
    bool discovery_stop_on_first = true;
    /// The request text every discovery datagram carries.
    std::string discovery_text;
    /// Bytes at which the gathering of one send batch stops; 0 for no threshold.
    uint32_t send_batch_size = 8192;
    /// True: the peer's end of stream is reported as `on_read_end` and the
    /// connection stays for writing; false: it ends the connection.
    bool half_close = false;
    /// True: outgoing commands get their sequence number in front.
    bool sequence_numbering = true;
    /// Largest body, in bytes, kept in memory for one command; a larger
    /// announced body not taken by a writer ends the connection.
    uint32_t body_memory_limit = 64u << 20;
    /// Bytes waiting to be sent above which the transformation layer reports
    /// its connection congested; 0 for never.
    uint32_t send_high_water = 0;
    /// Bytes waiting to be sent at or below which a congested connection is
    /// reported drained again; kept at most `send_high_water`.
    uint32_t send_low_water = 0;
};

}  // namespace proto
}  // namespace io
