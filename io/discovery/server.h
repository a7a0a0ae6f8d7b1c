// The answering side of discovery: a datagram socket that receives request
// texts and answers the ones meant for this server with the server's name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/local/datagram_protocol.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/variant.hpp>

#include "io/detail/ipx.h"
#include "io/spec_parser.h"

namespace io {
namespace discovery {

/// Where a server receives requests: 0 UDP (with an optional multicast
/// group to join), 1 IPX, 2 local datagram socket.
typedef boost::variant<io::discovery_descriptor<boost::asio::ip::udp::endpoint>, io::detail::ipx::ipx::endpoint,
                       boost::asio::local::datagram_protocol::endpoint>
    listen_point;

/// Decides on one request: fills the answer and returns true to send it.
typedef boost::function<bool(const boost::iterator_range<const char*>& request, std::vector<char>& answer)>
    request_callback;

/// Largest request (and answer) handled; longer datagrams are cut to it.
constexpr std::size_t max_datagram = 256;

/// A running discovery answerer; releasing the last reference stops it.
class server : private boost::noncopyable {
public:
    /// Answers empty requests and those equal to `name` apart from ASCII
    /// letter case, with `name` converted to UTF-8. Errors raise
    /// boost::system::system_error.
    static boost::shared_ptr<server> create(boost::asio::io_service& service, const listen_point& at,
                                            const std::string& name);
    static boost::shared_ptr<server> create(boost::asio::io_service& service, const listen_point& at,
                                            const char* name) {
        return create(service, at, std::string(name));
    }
    /// Lets `callback` decide on every request.
    static boost::shared_ptr<server> create(boost::asio::io_service& service, const listen_point& at,
                                            const request_callback& callback);

    /// Request bytes received so far, skipped requests included.
    virtual uint64_t bytes_received() = 0;
    /// Answer bytes sent so far.
    virtual uint64_t bytes_sent() = 0;
    /// Closes the socket (and removes its socket file) at once, from any
    /// thread, so that the endpoint can be bound again; no request is
    /// answered afterwards.
    virtual void close() = 0;
    virtual ~server() {}
};

/// The request callback that answers with `utf8_name` (see create).
request_callback make_name_matcher(const std::string& utf8_name);

/// "udx/" and the socket path, as log lines show a local datagram endpoint.
std::string udx_endpoint_to_string(const boost::asio::local::datagram_protocol::endpoint& endpoint);
/// "udp/" and the address and port (an IPv6 address in brackets).
std::string udp_endpoint_to_string(const boost::asio::ip::udp::endpoint& endpoint);

}  // namespace discovery
}  // namespace io
