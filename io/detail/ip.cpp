// IP address helpers of the specification parsers.
#include "io/detail/ip.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/basic_resolver.hpp>
#include <boost/system/error_code.hpp>

#include "io/spec_parse_error.h"
#include "oslayer/_kern.h"

namespace io {
namespace detail {
namespace ip {

boost::asio::ip::address parse_numeric_address(lstr_t text, bool ipv6) {
    TRACE_POINT;
    const std::string value = text.str();
    boost::system::error_code ec;
    boost::asio::ip::address address;
    // Only the numeric conversion: a listen address is never looked up, so a
    // typo cannot turn into a slow DNS query or an unexpected interface.
    if (ipv6)
        address = boost::asio::ip::make_address_v6(value, ec);
    else
        address = boost::asio::ip::make_address_v4(value, ec);
    if (ec) D_THROW(io::spec_parse_error, "cannot parse %s, because of %s", value.c_str(), ec.message().c_str());
    return address;
}

host_port split_host_port(lstr_t address) {
    TRACE_POINT;
    host_port result;
    if (!address.empty() && address.ptr[0] == '[') {
        lstr_t rest(address.length - 1, address.ptr + 1);
        result.ipv6 = true;
        if (!rest.has(']')) D_THROW(io::spec_parse_error, "there is no trailing bracket in ipv6 spec");
        result.host = rest.split(']', true);
        if (rest.empty()) return result;
        if (rest.ptr[0] != ':') D_THROW(io::spec_parse_error, "there is no separator between name and port in ipv6 spec");
        result.port = lstr_t(rest.length - 1, rest.ptr + 1);
        return result;
    }
    result.host = address.split(':', false);
    result.port = address.split(':', false);
    return result;
}

namespace {

// An empty piece of the item takes the same piece of the default text.
host_port with_defaults(lstr_t address, lstr_t ipv4_default, lstr_t ipv6_default) {
    host_port item = split_host_port(address);
    host_port fallback = split_host_port(item.ipv6 ? ipv6_default : ipv4_default);
    if (item.host.empty()) item.host = fallback.host;
    if (item.port.empty()) item.port = fallback.port;
    return item;
}

// True when `host` is a numeric address of the family the item asks for.
bool is_numeric_host(const std::string& host, bool ipv6) {
    boost::system::error_code ec;
    if (ipv6)
        boost::asio::ip::make_address_v6(host, ec);
    else
        boost::asio::ip::make_address_v4(host, ec);
    return !ec;
}

// AI_ADDRCONFIG counts only non-loopback addresses, so on a host whose only
// interface is loopback (a container, early boot) it refuses even 127.0.0.1
// and ::1. A numeric host is therefore converted without it, and a name it
// turns away (with "Host not found", the one failure it causes) is looked up
// once more without it; other failures, such as a DNS time-out, are not
// repeated.
template <class Protocol>
typename boost::asio::ip::basic_resolver<Protocol>::results_type resolve_host(
    boost::asio::ip::basic_resolver<Protocol>& resolver, bool ipv6, const std::string& host,
    const std::string& port, boost::system::error_code& ec) {
    typedef boost::asio::ip::resolver_base base;
    const Protocol family = ipv6 ? Protocol::v6() : Protocol::v4();
    if (is_numeric_host(host, ipv6)) return resolver.resolve(family, host, port, base::numeric_host, ec);
    auto results = resolver.resolve(family, host, port, base::address_configured, ec);
    if (ec != boost::asio::error::host_not_found) return results;
    return resolver.resolve(family, host, port, base::flags(), ec);
}

}  // namespace

template <class Protocol>
std::vector<typename Protocol::endpoint> resolve_address(boost::asio::io_service& service, lstr_t address,
                                                         lstr_t ipv4_default, lstr_t ipv6_default) {
    TRACE_POINT;
    const host_port item = with_defaults(address, ipv4_default, ipv6_default);
    const std::string host = item.host.str();
    const std::string port = item.port.str();
    boost::asio::ip::basic_resolver<Protocol> resolver(service);
    boost::system::error_code ec;
    // The family follows the written form: brackets ask for IPv6 results only.
    auto results = resolve_host(resolver, item.ipv6, host, port, ec);
    if (ec)
        D_THROW(io::spec_parse_error, "failure on resolve %s:%s because of %s", host.c_str(), port.c_str(),
                ec.message().c_str());
    std::vector<typename Protocol::endpoint> endpoints;
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    return endpoints;
}

template std::vector<boost::asio::ip::tcp::endpoint> resolve_address<boost::asio::ip::tcp>(
    boost::asio::io_service&, lstr_t, lstr_t, lstr_t);
template std::vector<boost::asio::ip::udp::endpoint> resolve_address<boost::asio::ip::udp>(
    boost::asio::io_service&, lstr_t, lstr_t, lstr_t);

}  // namespace ip
}  // namespace detail
}  // namespace io
