// The two endpoint languages of the configuration. A listen specification
// ("ip([::1]), port(2193), discovery()") says where the daemon accepts
// clients and answers discovery; a client item ("tcp/host:port", "udp/",
// "spx/NNNNNNNN.HHHHHHHHHHHH:port", "unx//path") names an upstream server.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/local/datagram_protocol.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/optional.hpp>
#include <boost/variant.hpp>

#include "io/detail/ipx.h"
#include "oslayer/amtypes.h"

namespace io {

/// Where a listen entry receives discovery requests, and the group it joins.
template <class DgramEndpoint>
class discovery_descriptor {
public:
    discovery_descriptor() = default;
    explicit discovery_descriptor(const DgramEndpoint& at) : endpoint(at) {}

    DgramEndpoint endpoint;
    /// Multicast group joined by the discovery socket; only the IP family sets it.
    boost::optional<DgramEndpoint> multicast;
};

/// One parsed listen entry: the server name, the acceptor's endpoint and,
/// when the entry answers discovery, where it does so.
template <class StreamEndpoint, class DgramEndpoint>
class server_descriptor {
public:
    typedef StreamEndpoint stream_endpoint_type;
    typedef DgramEndpoint dgram_endpoint_type;
    typedef discovery_descriptor<DgramEndpoint> discovery_type;

    /// Name "velmo", default-constructed endpoint, no discovery.
    server_descriptor() : name("velmo") {}
    server_descriptor(const server_descriptor&) = default;
    server_descriptor& operator=(const server_descriptor&) = default;
    virtual ~server_descriptor() = default;

    /// Names the server "dummy".
    virtual void set_dummy_name() { name = "dummy"; }

    /// Assigns the name unless `text` is empty.
    void set_name(lstr_t text) {
        if (!text.empty()) name = text.str();
    }

    /// Discovery on a copy of the stream endpoint as it is now (IPX family).
    void set_dummy_discovery(lstr_t /*ignored*/) {
        DgramEndpoint at;
        at.network(endpoint.network());
        at.node(endpoint.node());
        at.port(endpoint.port());
        discovery = discovery_type(at);
    }

    /// Applies `fill(text, endpoint)` to the stream endpoint and, when
    /// discovery is already present, to the discovery endpoint; empty text
    /// changes nothing.
    template <class Fill>
    void set_stream_and_dgram_prop(lstr_t text, Fill fill) {
        if (text.empty()) return;
        fill(text, endpoint);
        if (discovery) fill(text, discovery->endpoint);
    }

    /// Answered to discovery requests and matched against them.
    std::string name;
    /// Where the acceptor listens.
    StreamEndpoint endpoint;
    /// Present when this entry answers discovery requests.
    boost::optional<discovery_type> discovery;
};

/// TCP acceptor with UDP discovery.
typedef server_descriptor<boost::asio::ip::tcp::endpoint, boost::asio::ip::udp::endpoint> ip_server_descriptor;
/// SPX acceptor with IPX discovery.
typedef server_descriptor<detail::ipx::spx::endpoint, detail::ipx::ipx::endpoint> ipx_server_descriptor;
/// Local stream acceptor with local datagram discovery.
typedef server_descriptor<boost::asio::local::stream_protocol::endpoint,
                          boost::asio::local::datagram_protocol::endpoint>
    unix_server_descriptor;

/// A parsed listen specification: index 0 IP, 1 SPX/IPX, 2 local sockets.
typedef boost::variant<ip_server_descriptor, ipx_server_descriptor, unix_server_descriptor> server_spec;

/// Parses one listen specification. Grammar errors raise
/// io::spec_parse_error_shell_t, a bad port boost::bad_lexical_cast and an
/// over-long socket path boost::system::system_error (ENAMETOOLONG).
server_spec parse_server_spec(boost::asio::io_service& service, lstr_t text);

/// One upstream target: indices 0-2 are connected directly, 3-5 are
/// discovery targets (TCP, SPX, local stream, UDP, IPX, local datagram).
typedef boost::variant<boost::asio::ip::tcp::endpoint, detail::ipx::spx::endpoint,
                       boost::asio::local::stream_protocol::endpoint, boost::asio::ip::udp::endpoint,
                       detail::ipx::ipx::endpoint, boost::asio::local::datagram_protocol::endpoint>
    client_endpoint;

/// Parses one client item; TCP and UDP names are resolved synchronously on
/// `service` (one endpoint per address). Errors as for parse_server_spec.
std::vector<client_endpoint> parse_client_spec(boost::asio::io_service& service, lstr_t text);

}  // namespace io
