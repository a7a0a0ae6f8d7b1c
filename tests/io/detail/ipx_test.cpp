#include "io/detail/ipx.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <random>

#include <boost/asio/io_service.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/spec_parse_error.h"

namespace ipx = io::detail::ipx;

namespace {

typedef ipx::spx::endpoint spx_endpoint;
typedef ipx::ipx::endpoint ipx_endpoint;

// Runs `f` and returns the reason of the io::spec_parse_error it must raise.
template <class F>
std::string parse_failure(F f) {
    try {
        f();
    } catch (const io::spec_parse_error_shell_t& e) {
        EXPECT_NE(nullptr, dynamic_cast<const io::spec_parse_error*>(e.record()));
        return e.what();
    }
    ADD_FAILURE() << "no io::spec_parse_error_shell_t raised";
    return std::string();
}

std::string spx_text(lstr_t net, lstr_t node, lstr_t port) {
    spx_endpoint e;
    ipx::parse_net(net, e);
    ipx::parse_node(node, e);
    ipx::parse_port(port, e);
    return ipx::spx_endpoint_to_string(e);
}

}  // namespace

TEST(IpxEndpoint, DefaultIsFamilyIpxPort2371AndZeroAddressOfTheRightSocketKind) {
    spx_endpoint e;
    EXPECT_EQ(AF_IPX, e.data()->sa_family);
    EXPECT_EQ(2371, e.port());
    EXPECT_EQ((ipx::network_t{0, 0, 0, 0}), e.network());
    EXPECT_EQ((ipx::node_t{0, 0, 0, 0, 0, 0}), e.node());
    EXPECT_EQ(16u, e.size());
    EXPECT_EQ(16u, e.capacity());
    EXPECT_EQ("ipx/00000000.000000000000:2371", ipx::ipx_endpoint_to_string(ipx_endpoint()));
    EXPECT_EQ(AF_IPX, e.protocol().family());
    EXPECT_EQ(SOCK_STREAM, e.protocol().type());
    EXPECT_EQ(0, ipx::spx().protocol());
    EXPECT_EQ(AF_IPX, ipx_endpoint().protocol().family());
    EXPECT_EQ(SOCK_DGRAM, ipx_endpoint().protocol().type());
    EXPECT_EQ(0, ipx::ipx().protocol());
}

TEST(IpxEndpoint, RawAddressIsSockaddrIpxFieldByField) {
    spx_endpoint e;
    e.network({0x0a, 0x0b, 0x0c, 0x0d});
    e.node({1, 2, 3, 4, 5, 6});
    e.port(3000);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(e.data());
    const unsigned char expected_tail[] = {0x0a, 0x0b, 0x0c, 0x0d, 1, 2, 3, 4, 5, 6, 0, 0};
    EXPECT_EQ(0, std::memcmp(raw + 4, expected_tail, sizeof(expected_tail)));
    uint16_t family = 0, port = 0;
    std::memcpy(&family, raw, 2);
    std::memcpy(&port, raw + 2, 2);
    EXPECT_EQ(AF_IPX, family);
    // The socket number stays a host-order value; the kernel reads it swapped.
    EXPECT_EQ(3000, port);
    ::sockaddr_ipx sa;
    std::memcpy(&sa, raw, sizeof(sa));
    EXPECT_EQ(3000, sa.sipx_port);
    EXPECT_EQ(0, sa.sipx_type);
}

TEST(IpxEndpoint, ResizeAcceptsOnlyTheIpxAddressSize) {
    spx_endpoint e;
    e.port(77);
    EXPECT_NO_THROW(e.resize(sizeof(::sockaddr_ipx)));
    for (size_t n : {size_t(0), size_t(2), size_t(15), size_t(17), sizeof(::sockaddr_storage)}) {
        try {
            e.resize(n);
            ADD_FAILURE() << "resize(" << n << ") accepted";
        } catch (const BUG_exception_shell_t& x) {
            EXPECT_STREQ("IPX endpoint is not resizeable", x.what());
        }
        EXPECT_EQ(16u, e.size());
        EXPECT_EQ(77, e.port());
    }
    ipx_endpoint d;
    EXPECT_THROW(d.resize(28), BUG_exception_shell_t);
}

TEST(IpxText, BytesInWrittenOrderLowerCaseAndPortBounds) {
    EXPECT_EQ("spx/00000000.000000000001:2371", spx_text("00000000", "000000000001", "2371"));
    EXPECT_EQ("spx/0a0b0c0d.010203040506:3000", spx_text("0a0b0c0d", "010203040506", "3000"));
    EXPECT_EQ("spx/0a0b0c0d.0102030405ff:0", spx_text("0A0b0C0d", "0102030405FF", "0"));
    EXPECT_EQ("spx/ffffffff.ffffffffffff:65535", spx_text("FFFFFFFF", "ffffffffffff", "65535"));
    ipx_endpoint e;
    e.network({0x0a, 0x0b, 0x0c, 0x0d});
    e.node({1, 2, 3, 4, 5, 6});
    e.port(3000);
    EXPECT_EQ("ipx/0a0b0c0d.010203040506:3000", ipx::ipx_endpoint_to_string(e));
}

TEST(IpxText, AppendKeepsWhatIsThere) {
    spx_endpoint s;
    ipx_endpoint d;
    std::string text = "peer ";
    ipx::append_endpoint_text(s, text);
    text += " / ";
    ipx::append_endpoint_text(d, text);
    EXPECT_EQ("peer 00000000.000000000000:2371 / 00000000.000000000000:2371", text);
}

TEST(IpxParse, WrongLengthsAreFormatErrors) {
    spx_endpoint e;
    for (const char* net : {"", "0000000", "000000000", "0a0b0c0d0e0f"})
        EXPECT_EQ("invalid IPX net format", parse_failure([&] { ipx::parse_net(net, e); })) << net;
    for (const char* node : {"", "00000000000", "0000000000000", "0a0b0c0d"})
        EXPECT_EQ("invalid IPX node format", parse_failure([&] { ipx::parse_node(node, e); })) << node;
    // A failed parse leaves the endpoint as it was.
    EXPECT_EQ("spx/00000000.000000000000:2371", ipx::spx_endpoint_to_string(e));
}

TEST(IpxParse, EveryPairMustBeTwoHexDigits) {
    spx_endpoint e;
    for (size_t pos = 0; pos < 8; ++pos) {
        std::string net(8, '0');
        net[pos] = 'g';
        EXPECT_EQ("invalid hexadecimal", parse_failure([&] { ipx::parse_net(net, e); })) << net;
    }
    for (size_t pos = 0; pos < 12; ++pos) {
        std::string node(12, 'F');
        node[pos] = ':';
        EXPECT_EQ("invalid hexadecimal", parse_failure([&] { ipx::parse_node(node, e); })) << node;
    }
    // Signs, blanks and radix prefixes are not digits even where a lenient
    // number scan would consume both characters.
    for (const char* net : {"-1000000", "00 f0000", "0000+f00", "0x000000", "000000\0a"})
        EXPECT_EQ("invalid hexadecimal",
                  parse_failure([&] { ipx::parse_net(lstr_t(8, net), e); })) << net;
    EXPECT_EQ("spx/00000000.000000000000:2371", ipx::spx_endpoint_to_string(e));
}

TEST(IpxParse, ReadsOnlyTheGivenView) {
    const char* text = "0a0b0c0d.010203040506:3000";
    spx_endpoint e;
    ipx::parse_net(lstr_t(8, text), e);
    ipx::parse_node(lstr_t(12, text + 9), e);
    ipx::parse_port(lstr_t(4, text + 22), e);
    EXPECT_EQ(std::string("spx/") + text, ipx::spx_endpoint_to_string(e));
    // The port view stops before a trailing byte that would make it invalid.
    ipx::parse_port(lstr_t(2, "12x"), e);
    EXPECT_EQ(12, e.port());
}

TEST(IpxParse, PortIsUnsigned16BitDecimal) {
    ipx_endpoint e;
    ipx::parse_port("0", e);
    EXPECT_EQ(0, e.port());
    ipx::parse_port("65535", e);
    EXPECT_EQ(65535, e.port());
    for (const char* bad : {"", "65536", "99999999999", "-1", "-0", "12a", " 5", "0x10", "2371 "})
        EXPECT_THROW(ipx::parse_port(bad, e), boost::bad_lexical_cast) << '"' << bad << '"';
    EXPECT_EQ(65535, e.port());
}

TEST(IpxParse, RandomAddressesSurviveTextRoundTrip) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> byte(0, 255), coin(0, 1);
    std::uniform_int_distribution<unsigned> port(0, 65535);
    const char* digits[2] = {"0123456789abcdef", "0123456789ABCDEF"};
    for (int round = 0; round < 2000; ++round) {
        std::string net, node, expected;
        for (int i = 0; i < 10; ++i) {
            int b = byte(rng);
            std::string& part = i < 4 ? net : node;
            part += digits[coin(rng)][b >> 4];
            part += digits[coin(rng)][b & 15];
        }
        std::string p = std::to_string(port(rng));
        for (char c : net + "." + node + ":" + p) expected += static_cast<char>(std::tolower(c));
        ipx_endpoint e;
        ipx::parse_net(net, e);
        ipx::parse_node(node, e);
        ipx::parse_port(p, e);
        std::string text;
        ipx::append_endpoint_text(e, text);
        ASSERT_EQ(expected, text);
        // And back again: the printed text parses to the same address.
        ipx_endpoint again;
        ipx::parse_net(lstr_t(8, text.data()), again);
        ipx::parse_node(lstr_t(12, text.data() + 9), again);
        ipx::parse_port(lstr_t(text.size() - 22, text.data() + 22), again);
        ASSERT_EQ(0, std::memcmp(e.data(), again.data(), e.size())) << text;
    }
}

// No AF_IPX in this kernel: every way to open a socket reports it, through
// the error code or the exception, and leaves nothing open.
TEST(IpxSocket, EveryOpeningFailsWithAddressFamilyNotSupported) {
    boost::asio::io_service io;
    ipx::spx::socket stream(io);
    ipx::ipx::socket datagram(io);
    ipx::spx::acceptor acceptor(io);
    std::vector<std::function<void(boost::system::error_code&)>> coded = {
        [&](boost::system::error_code& ec) { stream.open(ipx::spx(), ec); },
        [&](boost::system::error_code& ec) { datagram.open(ipx::ipx(), ec); },
        [&](boost::system::error_code& ec) { acceptor.open(ipx::spx(), ec); },
        [&](boost::system::error_code& ec) { stream.connect(spx_endpoint(), ec); },  // opens the socket first
    };
    for (auto& action : coded) {
        boost::system::error_code ec;
        action(ec);
        EXPECT_EQ(boost::asio::error::address_family_not_supported, ec);
        EXPECT_EQ("Address family not supported by protocol", ec.message());
    }
    EXPECT_FALSE(stream.is_open());
    EXPECT_FALSE(datagram.is_open());
    std::vector<std::function<void()>> throwing = {
        [&] { stream.open(ipx::spx()); },
        [&] { datagram.open(ipx::ipx()); },
        [&] { ipx::ipx::socket bound(io, ipx_endpoint()); },
        [&] { ipx::spx::acceptor listening(io, spx_endpoint()); },
    };
    for (auto& action : throwing) {
        try {
            action();
            ADD_FAILURE() << "no error raised";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(boost::asio::error::address_family_not_supported, e.code());
        }
    }
}
