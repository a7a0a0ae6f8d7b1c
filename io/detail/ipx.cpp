// IPX endpoints: construction, the text form and the address text parsers.
#include "io/detail/ipx.h"

#include <cstdio>
#include <cstring>
#include <typeinfo>

#include <boost/lexical_cast.hpp>

#include "io/spec_parse_error.h"

namespace io {
namespace detail {
namespace ipx {

static_assert(sizeof(::sockaddr_ipx) == 16, "the IPX socket address is 16 bytes");
static_assert(sizeof(::sockaddr) <= sizeof(::sockaddr_ipx), "the generic view fits the IPX address");

template <class Protocol>
basic_endpoint<Protocol>::basic_endpoint() {
    std::memset(&addr_, 0, sizeof(addr_));
    addr_.ipx.sipx_family = AF_IPX;
    addr_.ipx.sipx_port = default_port;
}

template <class Protocol>
void basic_endpoint<Protocol>::resize(std::size_t new_size) {
    TRACE_POINT;
    // Asio asks for this after an accept or receive; a different length means
    // the kernel handed back an address that is not an IPX one.
    if (new_size != sizeof(::sockaddr_ipx)) D_THROW(BUG_exception, "IPX endpoint is not resizeable");
}

template <class Protocol>
network_t basic_endpoint<Protocol>::network() const {
    network_t value;
    std::memcpy(value.data(), &addr_.ipx.sipx_network, value.size());
    return value;
}

template <class Protocol>
void basic_endpoint<Protocol>::network(const network_t& value) {
    std::memcpy(&addr_.ipx.sipx_network, value.data(), value.size());
}

template <class Protocol>
node_t basic_endpoint<Protocol>::node() const {
    node_t value;
    std::memcpy(value.data(), addr_.ipx.sipx_node, value.size());
    return value;
}

template <class Protocol>
void basic_endpoint<Protocol>::node(const node_t& value) {
    std::memcpy(addr_.ipx.sipx_node, value.data(), value.size());
}

template <class Protocol>
void append_endpoint_text(const basic_endpoint<Protocol>& endpoint, std::string& text) {
    TRACE_POINT;
    const network_t net = endpoint.network();
    const node_t node = endpoint.node();
    char buffer[256];
    int n = std::snprintf(buffer, sizeof(buffer), "%02x%02x%02x%02x.%02x%02x%02x%02x%02x%02x:%u",
                          net[0], net[1], net[2], net[3], node[0], node[1], node[2], node[3], node[4],
                          node[5], static_cast<unsigned>(endpoint.port()));
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
}

std::string spx_endpoint_to_string(const basic_endpoint<spx>& endpoint) {
    TRACE_POINT;
    std::string text("spx/");
    append_endpoint_text(endpoint, text);
    return text;
}

std::string ipx_endpoint_to_string(const basic_endpoint<ipx>& endpoint) {
    TRACE_POINT;
    std::string text("ipx/");
    append_endpoint_text(endpoint, text);
    return text;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Both characters must be digits: a lenient number scan would also take a
// sign or a leading blank and turn "-1" into a byte.
template <size_t N>
void parse_hex_bytes(lstr_t text, std::array<uint8_t, N>& bytes) {
    for (size_t i = 0; i < N; ++i) {
        int high = hex_digit(text.ptr[2 * i]);
        int low = hex_digit(text.ptr[2 * i + 1]);
        if (high < 0 || low < 0) D_THROW(io::spec_parse_error, "invalid hexadecimal");
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
}

}  // namespace

template <class Protocol>
void parse_net(lstr_t text, basic_endpoint<Protocol>& endpoint) {
    TRACE_POINT;
    network_t net;
    if (text.length != 2 * net.size()) D_THROW(io::spec_parse_error, "invalid IPX net format");
    parse_hex_bytes(text, net);
    endpoint.network(net);
}

template <class Protocol>
void parse_node(lstr_t text, basic_endpoint<Protocol>& endpoint) {
    TRACE_POINT;
    node_t node;
    if (text.length != 2 * node.size()) D_THROW(io::spec_parse_error, "invalid IPX node format");
    parse_hex_bytes(text, node);
    endpoint.node(node);
}

template <class Protocol>
void parse_port(lstr_t text, basic_endpoint<Protocol>& endpoint) {
    TRACE_POINT;
    // The lexical conversion wraps a negative text into the unsigned range
    // ("-1" would become 65535); a socket number has no sign.
    if (!text.empty() && text.ptr[0] == '-') throw boost::bad_lexical_cast(typeid(std::string), typeid(uint16_t));
    endpoint.port(boost::lexical_cast<uint16_t>(text.str()));
}

template class basic_endpoint<spx>;
template class basic_endpoint<ipx>;
template void append_endpoint_text(const basic_endpoint<spx>&, std::string&);
template void append_endpoint_text(const basic_endpoint<ipx>&, std::string&);
template void parse_net(lstr_t, basic_endpoint<spx>&);
template void parse_net(lstr_t, basic_endpoint<ipx>&);
template void parse_node(lstr_t, basic_endpoint<spx>&);
template void parse_node(lstr_t, basic_endpoint<ipx>&);
template void parse_port(lstr_t, basic_endpoint<spx>&);
template void parse_port(lstr_t, basic_endpoint<ipx>&);

}  // namespace ipx
}  // namespace detail
}  // namespace io
