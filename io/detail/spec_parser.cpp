// Grammar pieces of the listen specification and the IPX address forms of
// client items.
#include "io/detail/spec_parser.h"

#include <typeinfo>

#include <boost/lexical_cast.hpp>

#include "io/detail/ip.h"
#include "oslayer/_kern.h"

namespace io {
namespace detail {

namespace {

// "name ( value ) ignored" -> trimmed name and value.
clause read_clause(lstr_t piece) {
    const lstr_t whole = piece;
    lstr_t name = piece.split('(', true);
    lstr_t value = piece.split(')', true);
    if (name.ptr == nullptr || value.ptr == nullptr)
        D_THROW(io::spec_parse_error, "there is no opening or closing brace in clause '%.*s'",
                static_cast<int>(whole.length), whole.ptr);
    // Blanks only: a tab stays and makes the value fail where it is used.
    name.ltrim(' ').rtrim(' ');
    value.ltrim(' ').rtrim(' ');
    return clause{name, value};
}

}  // namespace

std::vector<clause> split_clauses(lstr_t text) {
    TRACE_POINT;
    if (text.empty()) D_THROW(io::spec_parse_error, "empty server spec");
    std::vector<clause> clauses;
    // Every piece counts, the empty one after a trailing comma included.
    for (bool more = true; more;) {
        more = text.has(',');
        clauses.push_back(read_clause(text.split(',', false)));
    }
    return clauses;
}

uint16_t parse_port_number(lstr_t text) {
    TRACE_POINT;
    // The lexical conversion alone would take a sign ("-1" wraps to 65535,
    // "+80" passes); a port is digits only.
    bool digits = !text.empty();
    for (size_t i = 0; digits && i < text.length; ++i) digits = text.ptr[i] >= '0' && text.ptr[i] <= '9';
    if (!digits) throw boost::bad_lexical_cast(typeid(std::string), typeid(uint16_t));
    return boost::lexical_cast<uint16_t>(text.str());
}

namespace ip {
namespace detail {

namespace {

bool bracketed(lstr_t value) {
    return value.length >= 2 && value.ptr[0] == '[' && value.ptr[value.length - 1] == ']';
}

std::string inner(lstr_t value) {
    return std::string(value.ptr + 1, value.length - 2);
}

}  // namespace

void preparsed_server::set_ip(lstr_t value) {
    if (value.empty()) {
        ip.clear();
    } else if (bracketed(value)) {
        ipv6 = true;
        ip = inner(value);
    } else if (ipv6 && value.length >= 2) {
        // An IPv6 entry keeps its family: a later value is taken as if it
        // were bracketed. A single character has no brackets to drop and is
        // kept so that it fails to convert.
        ip = inner(value);
    } else {
        ip = value.str();
    }
}

void preparsed_server::set_port(lstr_t value) {
    port = io::detail::parse_port_number(value);
}

void preparsed_server::set_name(lstr_t value) {
    if (!value.empty()) name = value.str();
}

void preparsed_server::set_discovery(lstr_t /*ignored*/) {
    discovery = true;
}

void preparsed_server::set_multicast(lstr_t value) {
    if (ipv6 && !value.empty()) {
        if (!bracketed(value))
            D_THROW(io::spec_parse_error, "discovery property specify ipv4 address, and ip property has ipv6 address");
        multicast = inner(value);
    } else {
        multicast = value.str();
    }
}

io::ip_server_descriptor build_descriptor(const preparsed_server& pre) {
    TRACE_POINT;
    using boost::asio::ip::udp;
    io::ip_server_descriptor descriptor;
    descriptor.name = pre.name;
    boost::asio::ip::address address;
    if (pre.ip.empty())
        address = pre.ipv6 ? boost::asio::ip::address(boost::asio::ip::address_v6::any())
                           : boost::asio::ip::address(boost::asio::ip::address_v4::any());
    else
        address = io::detail::ip::parse_numeric_address(pre.ip, pre.ipv6);
    descriptor.endpoint = boost::asio::ip::tcp::endpoint(address, pre.port);
    if (!pre.discovery && !pre.multicast) return descriptor;
    io::ip_server_descriptor::discovery_type discovery(udp::endpoint(address, pre.port));
    if (pre.multicast) {
        const std::string group =
            !pre.multicast->empty() ? *pre.multicast : (pre.ipv6 ? "ff18::231.0.0.1" : "231.0.0.1");
        discovery.multicast = udp::endpoint(io::detail::ip::parse_numeric_address(group, pre.ipv6), pre.port);
    }
    descriptor.discovery = discovery;
    return descriptor;
}

}  // namespace detail
}  // namespace ip

namespace ipx {

namespace {

struct address_parts {
    lstr_t net;
    lstr_t node;
    lstr_t port;
};

// "net.node:port"; pieces after a second "." or ":" are ignored.
address_parts split_address(lstr_t text) {
    address_parts parts;
    lstr_t address = text.split(':', false);
    parts.port = text.split(':', false);
    parts.net = address.split('.', false);
    parts.node = address.split('.', false);
    return parts;
}

template <class Protocol>
basic_endpoint<Protocol> parse_address(lstr_t text, lstr_t defaults) {
    const address_parts item = split_address(text);
    const address_parts fallback = split_address(defaults);
    basic_endpoint<Protocol> endpoint;
    parse_net(item.net.empty() ? fallback.net : item.net, endpoint);
    parse_node(item.node.empty() ? fallback.node : item.node, endpoint);
    endpoint.port(io::detail::parse_port_number(item.port.empty() ? fallback.port : item.port));
    return endpoint;
}

}  // namespace

spx::endpoint parse_spx_address(lstr_t text) {
    TRACE_POINT;
    return parse_address<spx>(text, "00000000.000000000001:2371");
}

ipx::endpoint parse_ipx_address(lstr_t text) {
    TRACE_POINT;
    return parse_address<ipx>(text, "00000000.FFFFFFFFFFFF:2371");
}

namespace detail {

void set_ipx(io::ipx_server_descriptor& descriptor, lstr_t value) {
    TRACE_POINT;
    lstr_t net = value.split('.', false);
    lstr_t node = value.split('.', false);
    if (!net.empty()) parse_net(net, descriptor.endpoint);
    if (!node.empty()) parse_node(node, descriptor.endpoint);
}

}  // namespace detail
}  // namespace ipx

namespace unx {
namespace detail {

void apply_path(io::unix_server_descriptor& descriptor, lstr_t value) {
    TRACE_POINT;
    // The local endpoint refuses a path that does not fit sun_path with
    // ENAMETOOLONG rather than cutting it.
    descriptor.endpoint = boost::asio::local::stream_protocol::endpoint(
        value.empty() ? std::string(io::detail::default_local_path) : value.str());
}

void apply_discovery(io::unix_server_descriptor& descriptor, lstr_t value) {
    TRACE_POINT;
    // With no value the datagram socket takes the stream path as it is now;
    // the server has to notice that both sockets then want the same path.
    const std::string path = value.empty() ? descriptor.endpoint.path() : value.str();
    descriptor.discovery =
        io::unix_server_descriptor::discovery_type(boost::asio::local::datagram_protocol::endpoint(path));
}

}  // namespace detail
}  // namespace unx

}  // namespace detail
}  // namespace io
