// Which answers an explorer may follow. An answer's source becomes the
// endpoint an agent is connected to, with its authorization: a target asked
// alone may only be answered by itself, and a source no server can have
// (a group address, port 0, no address at all) is never followed.
#pragma once

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/local/datagram_protocol.hpp>

#include "io/detail/ipx.h"

namespace io {
namespace discovery {
namespace detail {

/// True when a server may answer from `source`.
bool can_be_server(const boost::asio::ip::udp::endpoint& source);
bool can_be_server(const io::detail::ipx::ipx::endpoint& source);
/// Only a local discovery address names a stream socket to connect to.
bool can_be_server(const boost::asio::local::datagram_protocol::endpoint& source);

/// True for a target that reaches many servers (a multicast address, or
/// one the system sends to as a broadcast: the limited broadcast, an
/// interface's own broadcast address, the broadcast address of a network of
/// this host's addresses, the loopback network's among them), whose answers
/// may come from any of them.
bool is_group_target(const boost::asio::ip::udp::endpoint& target);
bool is_group_target(const io::detail::ipx::ipx::endpoint& target);
inline bool is_group_target(const boost::asio::local::datagram_protocol::endpoint&) { return false; }

/// True when `source` is the address that was asked (`asked`): the same
/// address and port, an IPv4 address also in its IPv6-mapped form; a scope
/// and an IPX network only count when the asked address has one.
bool is_asked_source(const boost::asio::ip::udp::endpoint& asked, const boost::asio::ip::udp::endpoint& source);
bool is_asked_source(const io::detail::ipx::ipx::endpoint& asked, const io::detail::ipx::ipx::endpoint& source);
bool is_asked_source(const boost::asio::local::datagram_protocol::endpoint& asked,
                     const boost::asio::local::datagram_protocol::endpoint& source);

}  // namespace detail
}  // namespace discovery
}  // namespace io
