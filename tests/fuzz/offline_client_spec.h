// Which client items the harnesses may hand to io::parse_client_spec: those
// whose host is numeric (or left to the default) and whose port is digits,
// so that resolving them never leaves the process for DNS or NSS services.
#pragma once

#include <string>

#include <boost/asio/ip/address.hpp>

#include "io/detail/ip.h"
#include "io/spec_parse_error.h"
#include "oslayer/amtypes.h"

namespace fuzz {

/// True when resolving the "host:port" part `address` needs no name lookup.
inline bool ip_address_offline(lstr_t address) {
    io::detail::ip::host_port item;
    try {
        item = io::detail::ip::split_host_port(address);
    } catch (const io::spec_parse_error_shell_t&) {
        return true;  // refused before any lookup
    }
    for (size_t i = 0; i < item.port.length; ++i)
        if (item.port.ptr[i] < '0' || item.port.ptr[i] > '9') return false;
    if (item.host.empty()) return true;
    boost::system::error_code ec;
    const std::string host = item.host.str();
    if (item.ipv6)
        boost::asio::ip::make_address_v6(host, ec);
    else
        boost::asio::ip::make_address_v4(host, ec);
    return !ec;
}

/// True when io::parse_client_spec(`text`) cannot reach a resolver; follows
/// that function's own choice of protocol word.
inline bool client_spec_offline(lstr_t text) {
    if (!text.has('/')) return ip_address_offline(text);
    lstr_t address = text;
    const lstr_t word = address.split('/', true);
    if (word == lstr_t("tcp") || word == lstr_t("udp")) return ip_address_offline(address);
    return true;
}

}  // namespace fuzz
