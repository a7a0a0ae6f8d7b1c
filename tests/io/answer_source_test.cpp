// Which discovery answers an explorer follows.
#include "io/discovery/detail/answer_source.h"

#include <gtest/gtest.h>

#include "io/discovery/local_address.h"

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using local_dgram = asio::local::datagram_protocol;
using namespace io::discovery::detail;

udp::endpoint at(const char* address, unsigned short port) {
    return udp::endpoint(asio::ip::make_address(address), port);
}

TEST(AnswerSource, GroupsPortZeroAndNoAddressAreNoServerInAnyFormAndOnlyTheAskedOneAnswersAlone) {
    for (const char* address : {"255.255.255.255", "224.0.0.1", "0.0.0.0", "::", "ff02::1", "::ffff:255.255.255.255"})
        EXPECT_FALSE(can_be_server(at(address, 2193))) << address;
    // The loopback network's broadcast address is one, though no interface flags it.
    for (const char* address : {"255.255.255.255", "231.0.0.1", "ff18::1", "::ffff:255.255.255.255",
                                "127.255.255.255", "::ffff:127.255.255.255"})
        EXPECT_TRUE(is_group_target(at(address, 2193))) << address;
    EXPECT_FALSE(is_group_target(at("127.255.255.254", 2193)));
    EXPECT_FALSE(can_be_server(at("127.0.0.1", 0)));
    EXPECT_TRUE(can_be_server(at("::ffff:127.0.0.1", 2193)));
    EXPECT_FALSE(is_group_target(at("127.0.0.1", 2193)));
    EXPECT_TRUE(is_asked_source(at("127.0.0.1", 2193), at("::ffff:127.0.0.1", 2193)));
    EXPECT_FALSE(is_asked_source(at("127.0.0.1", 2193), at("127.0.0.1", 2194)));
    EXPECT_FALSE(is_asked_source(at("127.0.0.1", 2193), at("127.0.0.2", 2193)));
    // Locally only a discovery address names a stream socket, and it names it exactly.
    const local_dgram::endpoint discovery = io::discovery::local_discovery_address("/x/y.discovery");
    EXPECT_TRUE(can_be_server(discovery));
    EXPECT_EQ("/x/y.discovery", io::discovery::local_stream_path_of(discovery));
    for (const std::string& name : {std::string("/x/y"), std::string(""), std::string("\0/x/y.discovery", 15)})
        EXPECT_FALSE(can_be_server(local_dgram::endpoint(name))) << name;
    EXPECT_FALSE(can_be_server(io::discovery::random_asker_address()));
}

}  // namespace
