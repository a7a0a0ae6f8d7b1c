// IPX and SPX endpoints, their parsers and text form. Opening IPX sockets where the
// kernel has none is covered by the transport, server and discovery server tests.
#include "io/detail/ipx.h"

#include <cstring>
#include <utility>

#include <boost/lexical_cast.hpp>
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

}  // namespace

TEST(IpxEndpoint, DefaultAndRawAddressAreSockaddrIpxOfTheRightSocketKind) {
    spx_endpoint e;
    EXPECT_EQ(2371, e.port());
    EXPECT_EQ(16u, e.size());
    EXPECT_EQ(16u, e.capacity());
    EXPECT_EQ("ipx/00000000.000000000000:2371", ipx::ipx_endpoint_to_string(ipx_endpoint()));
    EXPECT_EQ(SOCK_STREAM, e.protocol().type());
    EXPECT_EQ(SOCK_DGRAM, ipx_endpoint().protocol().type());
    EXPECT_EQ(AF_IPX, ipx_endpoint().protocol().family());
    EXPECT_EQ(0, ipx::spx().protocol());
    e.network({0x0a, 0x0b, 0x0c, 0x0d});
    e.node({1, 2, 3, 4, 5, 6});
    e.port(3000);
    ::sockaddr_ipx sa;
    std::memcpy(&sa, e.data(), sizeof(sa));
    const unsigned char expected_tail[] = {0x0a, 0x0b, 0x0c, 0x0d, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<const unsigned char*>(e.data()) + 4, expected_tail, 10));
    EXPECT_EQ(AF_IPX, sa.sipx_family);
    // The socket number stays a host-order value; the kernel reads it swapped.
    EXPECT_EQ(3000, sa.sipx_port);
    EXPECT_EQ(0, sa.sipx_type);
}

TEST(IpxEndpoint, ResizeAcceptsOnlyTheIpxAddressSize) {
    spx_endpoint e;
    e.port(77);
    EXPECT_NO_THROW(e.resize(sizeof(::sockaddr_ipx)));
    for (size_t n : {size_t(15), size_t(17)}) {
        EXPECT_THROW(e.resize(n), BUG_exception_shell_t) << n;
        EXPECT_EQ(16u, e.size());
        EXPECT_EQ(77, e.port());
    }
    ipx_endpoint d;
    EXPECT_THROW(d.resize(28), BUG_exception_shell_t);
}

TEST(IpxParse, NetAndNodeMustBeWholePairsOfHexDigits) {
    spx_endpoint e;
    for (const char* net : {"", "0000000", "000000000"})
        EXPECT_EQ("invalid IPX net format", parse_failure([&] { ipx::parse_net(net, e); })) << net;
    for (const char* node : {"", "00000000000", "0000000000000"})
        EXPECT_EQ("invalid IPX node format", parse_failure([&] { ipx::parse_node(node, e); })) << node;
    for (size_t pos : {0, 7, 11}) {
        std::string net(8, '0'), node(12, 'F');
        net[pos % 8] = 'g';
        node[pos] = ':';
        EXPECT_EQ("invalid hexadecimal", parse_failure([&] { ipx::parse_net(net, e); })) << net;
        EXPECT_EQ("invalid hexadecimal", parse_failure([&] { ipx::parse_node(node, e); })) << node;
    }
    // Signs, blanks and radix prefixes are not digits even where a lenient
    // number scan would consume both characters.
    for (const char* net : {"-1000000", "0000+f00", "0x000000", "000000\0a"})
        EXPECT_EQ("invalid hexadecimal", parse_failure([&] { ipx::parse_net(lstr_t(8, net), e); })) << net;
    // A failed parse leaves the endpoint as it was.
    EXPECT_EQ("spx/00000000.000000000000:2371", ipx::spx_endpoint_to_string(e));
}

TEST(IpxParse, PortIsUnsigned16BitDecimalReadFromTheGivenViewOnly) {
    ipx_endpoint e;
    ipx::parse_port("0", e);
    EXPECT_EQ(0, e.port());
    ipx::parse_port("65535", e);
    EXPECT_EQ(65535, e.port());
    for (const char* bad : {"", "65536", "-1", "12a", " 5", "2371 "})
        EXPECT_THROW(ipx::parse_port(bad, e), boost::bad_lexical_cast) << '"' << bad << '"';
    EXPECT_EQ(65535, e.port());
    // The view stops before a trailing byte that would make it invalid.
    ipx::parse_port(lstr_t(2, "12x"), e);
    EXPECT_EQ(12, e.port());
}

TEST(IpxParse, MixedCaseAddressFromViewsPrintsInLowerCaseAndReparsesEqual) {
    const std::string text = "0A0b0C0d.aB0102cDeF09:65535", expected = "0a0b0c0d.ab0102cdef09:65535";
    ipx_endpoint e, again;
    for (const auto& t : {std::make_pair(&text, &e), std::make_pair(&expected, &again)}) {
        // Views into one buffer that goes on.
        ipx::parse_net(lstr_t(8, t.first->data()), *t.second);
        ipx::parse_node(lstr_t(12, t.first->data() + 9), *t.second);
        ipx::parse_port(lstr_t(t.first->size() - 22, t.first->data() + 22), *t.second);
    }
    std::string printed = "peer ";  // appending keeps what is there
    ipx::append_endpoint_text(e, printed);
    EXPECT_EQ("peer " + expected, printed);
    EXPECT_EQ("ipx/" + expected, ipx::ipx_endpoint_to_string(e));
    EXPECT_EQ(0, std::memcmp(e.data(), again.data(), e.size()));
}
