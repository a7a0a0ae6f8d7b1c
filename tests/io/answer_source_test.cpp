// Which discovery answers an explorer follows: sources no server can have,
// targets that many servers answer, and the asked address in its other forms.
#include "io/discovery/detail/answer_source.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "io/discovery/local_address.h"

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using local_dgram = asio::local::datagram_protocol;
using io::discovery::detail::can_be_server;
using io::discovery::detail::is_asked_source;
using io::discovery::detail::is_group_target;

udp::endpoint at(const char* address, unsigned short port) { return udp::endpoint(asio::ip::make_address(address), port); }

io::detail::ipx::ipx::endpoint ipx_at(uint8_t node_byte, uint16_t port, uint8_t network_byte = 0) {
    io::detail::ipx::ipx::endpoint e;
    io::detail::ipx::node_t node;
    node.fill(node_byte);
    io::detail::ipx::network_t network;
    network.fill(network_byte);
    e.node(node);
    e.network(network);
    e.port(port);
    return e;
}

TEST(AnswerSource, SourcesNoServerCanHaveAreRefusedInEveryForm) {
    for (const char* address : {"255.255.255.255", "224.0.0.1", "239.255.255.255", "0.0.0.0", "::", "ff02::1",
                                "::ffff:255.255.255.255", "::ffff:224.0.0.1", "::ffff:0.0.0.0"})
        EXPECT_FALSE(can_be_server(at(address, 2193))) << address;
    for (const char* address : {"127.0.0.1", "10.1.2.3", "::1", "fe80::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(can_be_server(at(address, 2193))) << address;
        EXPECT_FALSE(can_be_server(at(address, 0))) << address;
        EXPECT_FALSE(is_group_target(at(address, 2193))) << address;
    }
    EXPECT_TRUE(can_be_server(ipx_at(0x0a, 2371)));
    EXPECT_FALSE(can_be_server(ipx_at(0x0a, 0)));
    EXPECT_FALSE(can_be_server(ipx_at(0x00, 2371)));
    EXPECT_FALSE(can_be_server(ipx_at(0xff, 2371)));
    // Locally only a discovery address names a stream socket.
    EXPECT_TRUE(can_be_server(io::discovery::local_discovery_address("/run/v.sock")));
    EXPECT_FALSE(can_be_server(local_dgram::endpoint("/run/v.sock")));
    EXPECT_FALSE(can_be_server(local_dgram::endpoint("")));
    EXPECT_FALSE(can_be_server(io::discovery::random_asker_address()));
}

TEST(AnswerSource, BroadcastAndMulticastTargetsAreGroupsAlsoAsAnInterfacesBroadcast) {
    for (const char* address : {"255.255.255.255", "231.0.0.1", "ff18::231.0.0.1", "::ffff:255.255.255.255"})
        EXPECT_TRUE(is_group_target(at(address, 2193))) << address;
    ::ifaddrs* list = nullptr;
    ASSERT_EQ(0, ::getifaddrs(&list));
    for (::ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_BROADCAST) == 0 || !i->ifa_broadaddr || i->ifa_broadaddr->sa_family != AF_INET)
            continue;
        const auto* b = reinterpret_cast<const ::sockaddr_in*>(i->ifa_broadaddr);
        EXPECT_TRUE(is_group_target(udp::endpoint(asio::ip::address_v4(ntohl(b->sin_addr.s_addr)), 2193))) << i->ifa_name;
    }
    ::freeifaddrs(list);
    EXPECT_TRUE(is_group_target(ipx_at(0xff, 2371)));
    EXPECT_FALSE(is_group_target(ipx_at(0x0a, 2371)));
    EXPECT_FALSE(is_group_target(local_dgram::endpoint("/run/v.sock")));
}

TEST(AnswerSource, OnlyTheAskedAddressAndPortAnswerASingleTarget) {
    EXPECT_TRUE(is_asked_source(at("127.0.0.1", 2193), at("127.0.0.1", 2193)));
    EXPECT_TRUE(is_asked_source(at("127.0.0.1", 2193), at("::ffff:127.0.0.1", 2193)));
    EXPECT_TRUE(is_asked_source(at("::ffff:127.0.0.1", 2193), at("127.0.0.1", 2193)));
    EXPECT_FALSE(is_asked_source(at("127.0.0.1", 2193), at("127.0.0.1", 2194)));
    EXPECT_FALSE(is_asked_source(at("127.0.0.1", 2193), at("127.0.0.2", 2193)));
    EXPECT_FALSE(is_asked_source(at("::1", 2193), at("127.0.0.1", 2193)));
    // A scope counts only when the asked address has one.
    udp::endpoint scoped = at("fe80::1", 2193), other_scope = at("fe80::1", 2193);
    asio::ip::address_v6 a = scoped.address().to_v6(), b = a;
    a.scope_id(2);
    b.scope_id(3);
    scoped.address(a);
    other_scope.address(b);
    EXPECT_TRUE(is_asked_source(at("fe80::1", 2193), scoped));
    EXPECT_TRUE(is_asked_source(scoped, scoped));
    EXPECT_FALSE(is_asked_source(scoped, other_scope));
    // So does an IPX network.
    EXPECT_TRUE(is_asked_source(ipx_at(0x0a, 2371), ipx_at(0x0a, 2371, 0x01)));
    EXPECT_TRUE(is_asked_source(ipx_at(0x0a, 2371, 0x01), ipx_at(0x0a, 2371, 0x01)));
    EXPECT_FALSE(is_asked_source(ipx_at(0x0a, 2371, 0x01), ipx_at(0x0a, 2371, 0x02)));
    EXPECT_FALSE(is_asked_source(ipx_at(0x0a, 2371), ipx_at(0x0b, 2371)));
    EXPECT_FALSE(is_asked_source(ipx_at(0x0a, 2371), ipx_at(0x0a, 2372)));
}

TEST(LocalAddress, DiscoveryAddressesNameTheirStreamPathExactlyAndNothingElseMapsBack) {
    const std::string longest(io::discovery::max_local_discovery_path, 'p');
    for (const std::string& path : {std::string("/tmp/velmod"), std::string("rel/a:b"), std::string("/a\\b%s~"),
                                    std::string("/x/y.discovery"), longest})
        EXPECT_EQ(path, io::discovery::local_stream_path_of(io::discovery::local_discovery_address(path))) << path;
    EXPECT_THROW(io::discovery::local_discovery_address(longest + "p"), boost::system::system_error);
    for (const std::string& name : {std::string("/tmp/velmod"), std::string(""), std::string(".discovery"),
                                    std::string("/tmp/velmod.discoveryx"), std::string("\0/tmp/v.discovery", 17)})
        EXPECT_EQ("", io::discovery::local_stream_path_of(local_dgram::endpoint(name))) << name;
    // The asker's own name takes no file, and no two are alike.
    const std::string one = io::discovery::random_asker_address().path();
    EXPECT_EQ('\0', one[0]);
    EXPECT_NE(one, io::discovery::random_asker_address().path());
}

}  // namespace
