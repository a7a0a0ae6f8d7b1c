// The listen specification and client item parsers.
#include "io/spec_parser.h"

#include "io/detail/ip.h"
#include "io/detail/spec_parser.h"
#include "io/spec_parse_error.h"
#include "oslayer/_kern.h"

namespace io {

namespace {

using detail::clause;
using detail::prop_applicator;
using detail::ip::detail::preparsed_server;

const prop_applicator<preparsed_server>::entry ip_properties[] = {
    {"ip", [](preparsed_server& p, lstr_t v) { p.set_ip(v); }},
    {"port", [](preparsed_server& p, lstr_t v) { p.set_port(v); }},
    {"name", [](preparsed_server& p, lstr_t v) { p.set_name(v); }},
    {"discovery", [](preparsed_server& p, lstr_t v) { p.set_discovery(v); }},
    {"multicast", [](preparsed_server& p, lstr_t v) { p.set_multicast(v); }},
};

const prop_applicator<ipx_server_descriptor>::entry ipx_properties[] = {
    {"ipx", [](ipx_server_descriptor& d, lstr_t v) { detail::ipx::detail::set_ipx(d, v); }},
    {"port",
     [](ipx_server_descriptor& d, lstr_t v) { d.set_stream_and_dgram_prop(v, detail::ipx::detail::fill_port()); }},
    {"name", [](ipx_server_descriptor& d, lstr_t v) { d.set_name(v); }},
    {"discovery", [](ipx_server_descriptor& d, lstr_t v) { d.set_dummy_discovery(v); }},
};

const prop_applicator<unix_server_descriptor>::entry unix_properties[] = {
    {"unix", [](unix_server_descriptor& d, lstr_t v) { detail::unx::detail::apply_path(d, v); }},
    {"name", [](unix_server_descriptor& d, lstr_t v) { d.set_name(v); }},
    {"discovery", [](unix_server_descriptor& d, lstr_t v) { detail::unx::detail::apply_discovery(d, v); }},
};

server_spec parse_ip(const std::vector<clause>& clauses) {
    preparsed_server pre;
    prop_applicator<preparsed_server>(ip_properties).apply_all(pre, clauses);
    return detail::ip::detail::build_descriptor(pre);
}

template <class Descriptor, size_t N>
server_spec parse_direct(const std::vector<clause>& clauses,
                         const typename prop_applicator<Descriptor>::entry (&table)[N]) {
    Descriptor descriptor;
    prop_applicator<Descriptor>(table).apply_all(descriptor, clauses);
    return descriptor;
}

}  // namespace

server_spec parse_server_spec(boost::asio::io_service& /*service*/, lstr_t text) {
    TRACE_POINT;
    // Every clause is checked for braces before any is applied, so a brace
    // error anywhere wins over every other error.
    const std::vector<clause> clauses = detail::split_clauses(text);
    const lstr_t family = clauses.front().name;
    if (family == lstr_t("ip")) return parse_ip(clauses);
    if (family == lstr_t("ipx")) return parse_direct<ipx_server_descriptor>(clauses, ipx_properties);
    if (family == lstr_t("unix")) return parse_direct<unix_server_descriptor>(clauses, unix_properties);
    D_THROW(spec_parse_error, "unknown protocol family name %.*s", static_cast<int>(family.length), family.ptr);
}

namespace {

template <class Endpoint>
Endpoint local_endpoint(lstr_t path) {
    // The endpoint refuses a path that does not fit sun_path (ENAMETOOLONG).
    return Endpoint(path.empty() ? std::string(detail::default_local_path) : path.str());
}

template <class Protocol>
std::vector<client_endpoint> resolve_all(boost::asio::io_service& service, lstr_t address, lstr_t ipv4_default,
                                         lstr_t ipv6_default) {
    const auto endpoints = detail::ip::resolve_address<Protocol>(service, address, ipv4_default, ipv6_default);
    return std::vector<client_endpoint>(endpoints.begin(), endpoints.end());
}

std::vector<client_endpoint> one(const client_endpoint& endpoint) {
    return std::vector<client_endpoint>(1, endpoint);
}

}  // namespace

std::vector<client_endpoint> parse_client_spec(boost::asio::io_service& service, lstr_t text) {
    TRACE_POINT;
    using boost::asio::ip::tcp;
    using boost::asio::ip::udp;
    namespace local = boost::asio::local;
    if (!text.has('/')) return resolve_all<tcp>(service, text, "127.0.0.1:2193", "[::1]:2193");
    lstr_t address = text;
    const lstr_t word = address.split('/', true);
    if (word == lstr_t("tcp")) return resolve_all<tcp>(service, address, "127.0.0.1:2193", "[::1]:2193");
    if (word == lstr_t("spx")) return one(detail::ipx::parse_spx_address(address));
    if (word == lstr_t("unx")) return one(local_endpoint<local::stream_protocol::endpoint>(address));
    if (word == lstr_t("udp")) return resolve_all<udp>(service, address, "231.0.0.1:2193", "[ff18::231.0.0.1]:2193");
    if (word == lstr_t("ipx")) return one(detail::ipx::parse_ipx_address(address));
    if (word == lstr_t("udx")) return one(local_endpoint<local::datagram_protocol::endpoint>(address));
    D_THROW(spec_parse_error, "unknown protocol name %.*s", static_cast<int>(word.length), word.ptr);
}

}  // namespace io
