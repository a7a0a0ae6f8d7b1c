// IP address helpers of the specification parsers: numeric address
// conversion without name lookup (listen entries), host and port splitting
// and resolution through the system resolver (client items).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "oslayer/amtypes.h"

namespace io {
namespace detail {
namespace ip {

/// Converts a numeric IPv6 (when `ipv6`) or IPv4 address; never looks a name up.
/// Throws io::spec_parse_error_shell_t "cannot parse %s, because of %s".
boost::asio::ip::address parse_numeric_address(lstr_t text, bool ipv6);

/// Host and port texts of one address item; views into the item's text.
struct host_port {
    lstr_t host;
    lstr_t port;
    /// The host was written in brackets: an IPv6 form.
    bool ipv6 = false;
};

/// Splits "[host]:port", "[host]", "host:port[:ignored...]" or "host".
/// Throws io::spec_parse_error_shell_t for a bracketed form without "]" or ":".
host_port split_host_port(lstr_t address);

/// Splits `address`, fills its empty host and port from `defaults` (split in
/// the same family) and resolves them; one endpoint per resolver result.
/// Throws io::spec_parse_error_shell_t "failure on resolve %s:%s because of %s".
template <class Protocol>
std::vector<typename Protocol::endpoint> resolve_address(boost::asio::io_service& service, lstr_t address,
                                                         lstr_t ipv4_default, lstr_t ipv6_default);

extern template std::vector<boost::asio::ip::tcp::endpoint> resolve_address<boost::asio::ip::tcp>(
    boost::asio::io_service&, lstr_t, lstr_t, lstr_t);
extern template std::vector<boost::asio::ip::udp::endpoint> resolve_address<boost::asio::ip::udp>(
    boost::asio::io_service&, lstr_t, lstr_t, lstr_t);

}  // namespace ip
}  // namespace detail
}  // namespace io
