// IPX family endpoints for boost.asio sockets: SPX streams carry connections,
// IPX datagrams carry discovery. Also the text form in which an IPX address
// is written (NNNNNNNN.HHHHHHHHHHHH:port) and printed.
#pragma once

#include <sys/socket.h>
#include <netipx/ipx.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/basic_datagram_socket.hpp>
#include <boost/asio/basic_socket_acceptor.hpp>
#include <boost/asio/basic_stream_socket.hpp>

#include "oslayer/amtypes.h"

namespace io {
namespace detail {
namespace ipx {

/// Network number, byte 0 written first.
typedef std::array<uint8_t, 4> network_t;
/// Node address, byte 0 written first.
typedef std::array<uint8_t, IPX_NODE_LEN> node_t;

/// Socket number used when a specification names none.
constexpr uint16_t default_port = 2371;

/// An IPX socket address (sockaddr_ipx) with the endpoint interface asio expects.
template <class Protocol>
class basic_endpoint {
public:
    typedef Protocol protocol_type;
    typedef ::sockaddr data_type;

    /// Family AF_IPX, port 2371, network 0, node 0.
    basic_endpoint();

    protocol_type protocol() const { return protocol_type(); }
    data_type* data() { return &addr_.base; }
    const data_type* data() const { return &addr_.base; }
    std::size_t size() const { return sizeof(::sockaddr_ipx); }
    std::size_t capacity() const { return sizeof(::sockaddr_ipx); }
    /// Only the size of sockaddr_ipx is accepted; anything else is a broken contract.
    void resize(std::size_t new_size);

    /// The socket number as written in text; stored without byte-order conversion.
    uint16_t port() const { return addr_.ipx.sipx_port; }
    void port(uint16_t value) { addr_.ipx.sipx_port = value; }
    network_t network() const;
    void network(const network_t& value);
    node_t node() const;
    void node(const node_t& value);

private:
    // A union, as asio's own endpoints do, so the generic view needs no casts.
    union {
        ::sockaddr base;
        ::sockaddr_ipx ipx;
    } addr_;
};

/// SPX: the stream protocol of connections and of the acceptor.
class spx {
public:
    typedef basic_endpoint<spx> endpoint;
    typedef boost::asio::basic_stream_socket<spx> socket;
    typedef boost::asio::basic_socket_acceptor<spx> acceptor;

    int family() const { return AF_IPX; }
    int type() const { return SOCK_STREAM; }
    int protocol() const { return 0; }
};

/// IPX: the datagram protocol of discovery.
class ipx {
public:
    typedef basic_endpoint<ipx> endpoint;
    typedef boost::asio::basic_datagram_socket<ipx> socket;

    int family() const { return AF_IPX; }
    int type() const { return SOCK_DGRAM; }
    int protocol() const { return 0; }
};

// Instantiated once, in the library, for the two tags.
extern template class basic_endpoint<spx>;
extern template class basic_endpoint<ipx>;

/// Appends "NNNNNNNN.HHHHHHHHHHHH:port" (lower-case hex, decimal port) to `text`.
template <class Protocol>
void append_endpoint_text(const basic_endpoint<Protocol>& endpoint, std::string& text);

/// "spx/" and the endpoint's text form; names SPX connections.
std::string spx_endpoint_to_string(const basic_endpoint<spx>& endpoint);
/// "ipx/" and the endpoint's text form.
std::string ipx_endpoint_to_string(const basic_endpoint<ipx>& endpoint);

/// Sets the network from exactly 8 hexadecimal digits; throws io::spec_parse_error_shell_t.
template <class Protocol>
void parse_net(lstr_t text, basic_endpoint<Protocol>& endpoint);
/// Sets the node from exactly 12 hexadecimal digits; throws io::spec_parse_error_shell_t.
template <class Protocol>
void parse_node(lstr_t text, basic_endpoint<Protocol>& endpoint);
/// Sets the port from an unsigned 16-bit decimal; throws boost::bad_lexical_cast.
template <class Protocol>
void parse_port(lstr_t text, basic_endpoint<Protocol>& endpoint);

}  // namespace ipx
}  // namespace detail
}  // namespace io
