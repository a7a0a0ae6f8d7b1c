#include "io/discovery/detail/answer_source.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

#include "io/discovery/local_address.h"

namespace io {
namespace discovery {
namespace detail {

namespace {

typedef boost::asio::ip::address address;
typedef io::detail::ipx::node_t ipx_node;

/// An IPv4 address received on an IPv6 socket comes mapped; it is judged as IPv4.
address plain(const address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6());
    return a;
}

bool is_limited_broadcast(const address& a) {
    return a.is_v4() && a.to_v4() == boost::asio::ip::address_v4::broadcast();
}

/// The IPv4 address at `at` in host order, or none.
bool v4_of(const ::sockaddr* at, uint32_t& out) {
    if (at == nullptr || at->sa_family != AF_INET) return false;
    out = ntohl(reinterpret_cast<const ::sockaddr_in*>(at)->sin_addr.s_addr);
    return true;
}

/// True when the system routes `a` as a broadcast through `i`: its own
/// broadcast address, or the last address of the network of its address,
/// which the kernel makes a broadcast whatever the interface's flags (the
/// loopback interface has none) when the network has room for one.
bool is_broadcast_of(const ::ifaddrs& i, uint32_t a) {
    uint32_t own = 0, mask = 0;
    if ((i.ifa_flags & IFF_BROADCAST) != 0 && v4_of(i.ifa_broadaddr, own) && own == a) return true;
    if (!v4_of(i.ifa_addr, own) || !v4_of(i.ifa_netmask, mask)) return false;
    // A network of one or two addresses (/32, /31) has no broadcast address.
    return ~mask > 1 && (own | ~mask) == a;
}

/// True when `a` is a broadcast address of this host's networks. The
/// loopback network's always is: its target reaches every server on this
/// host, even when the interfaces cannot be listed.
bool is_network_broadcast(const boost::asio::ip::address_v4& a) {
    const uint32_t loopback_broadcast = 0x7FFFFFFF;  // 127.255.255.255
    if (a.to_uint() == loopback_broadcast) return true;
    ::ifaddrs* list = nullptr;
    // Without the list the target counts as one server: the stricter reading.
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (::ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) found = is_broadcast_of(*i, a.to_uint());
    ::freeifaddrs(list);
    return found;
}

bool all_bytes(const ipx_node& node, uint8_t value) {
    return std::all_of(node.begin(), node.end(), [value](uint8_t b) { return b == value; });
}

}  // namespace

bool can_be_server(const boost::asio::ip::udp::endpoint& source) {
    const address a = plain(source.address());
    return source.port() != 0 && !a.is_unspecified() && !a.is_multicast() && !is_limited_broadcast(a);
}

bool can_be_server(const io::detail::ipx::ipx::endpoint& source) {
    const ipx_node node = source.node();
    return source.port() != 0 && !all_bytes(node, 0x00) && !all_bytes(node, 0xff);
}

bool can_be_server(const boost::asio::local::datagram_protocol::endpoint& source) {
    return !local_stream_path_of(source).empty();
}

bool is_group_target(const boost::asio::ip::udp::endpoint& target) {
    const address a = plain(target.address());
    if (a.is_multicast() || is_limited_broadcast(a)) return true;
    return a.is_v4() && is_network_broadcast(a.to_v4());
}

bool is_group_target(const io::detail::ipx::ipx::endpoint& target) { return all_bytes(target.node(), 0xff); }

bool is_asked_source(const boost::asio::ip::udp::endpoint& asked, const boost::asio::ip::udp::endpoint& source) {
    if (asked.port() != source.port()) return false;
    const address a = plain(asked.address()), s = plain(source.address());
    if (a.is_v4() || s.is_v4()) return a == s;
    // A link-local target written without its scope is answered with one.
    const boost::asio::ip::address_v6 a6 = a.to_v6(), s6 = s.to_v6();
    return a6.to_bytes() == s6.to_bytes() && (a6.scope_id() == 0 || a6.scope_id() == s6.scope_id());
}

bool is_asked_source(const io::detail::ipx::ipx::endpoint& asked, const io::detail::ipx::ipx::endpoint& source) {
    const io::detail::ipx::network_t none = {};
    return asked.port() == source.port() && asked.node() == source.node() &&
           (asked.network() == none || asked.network() == source.network());
}

bool is_asked_source(const boost::asio::local::datagram_protocol::endpoint& asked,
                     const boost::asio::local::datagram_protocol::endpoint& source) {
    return asked.path() == source.path();
}

}  // namespace detail
}  // namespace discovery
}  // namespace io
