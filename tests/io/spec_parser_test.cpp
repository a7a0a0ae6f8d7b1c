#include "io/spec_parser.h"

#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/spec_parse_error.h"

namespace {

namespace ipx = io::detail::ipx;
using boost::asio::ip::make_address;

const char bad_cast_text[] = "bad lexical cast: source type value could not be interpreted as target";

io::server_spec parse(const std::string& text) {
    boost::asio::io_service service;
    // An exact-size heap copy: a read past the end of the text is caught by ASan.
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    text.copy(copy.get(), text.size());
    return io::parse_server_spec(service, lstr_t(text.size(), copy.get()));
}

io::ip_server_descriptor parse_ip(const std::string& text) {
    io::server_spec spec = parse(text);
    EXPECT_EQ(0, spec.which()) << text;
    return boost::get<io::ip_server_descriptor>(spec);
}

io::ipx_server_descriptor parse_ipx(const std::string& text) {
    io::server_spec spec = parse(text);
    EXPECT_EQ(1, spec.which()) << text;
    return boost::get<io::ipx_server_descriptor>(spec);
}

io::unix_server_descriptor parse_unix(const std::string& text) {
    io::server_spec spec = parse(text);
    EXPECT_EQ(2, spec.which()) << text;
    return boost::get<io::unix_server_descriptor>(spec);
}

// The reason of the io::spec_parse_error the text must raise.
std::string failure(const std::string& text) {
    try {
        parse(text);
    } catch (const io::spec_parse_error_shell_t& e) {
        EXPECT_NE(nullptr, dynamic_cast<const io::spec_parse_error*>(e.record())) << text;
        return e.what();
    }
    ADD_FAILURE() << "no io::spec_parse_error_shell_t for \"" << text << "\"";
    return std::string();
}

boost::asio::ip::udp::endpoint udp(const char* address, unsigned short port) {
    return boost::asio::ip::udp::endpoint(make_address(address), port);
}

boost::asio::ip::tcp::endpoint tcp(const char* address, unsigned short port) {
    return boost::asio::ip::tcp::endpoint(make_address(address), port);
}

TEST(ServerSpecIp, DefaultsAndFamilies) {
    io::ip_server_descriptor d = parse_ip("ip()");
    EXPECT_EQ(tcp("0.0.0.0", 2193), d.endpoint);
    EXPECT_EQ("velmo", d.name);
    EXPECT_FALSE(d.discovery);

    EXPECT_EQ(tcp("::", 2193), parse_ip("ip([])").endpoint);
    EXPECT_TRUE(parse_ip("ip([])").endpoint.address().is_v6());

    d = parse_ip("ip([::1]), port(2193), discovery(), multicast()");
    EXPECT_EQ(tcp("::1", 2193), d.endpoint);
    ASSERT_TRUE(d.discovery);
    EXPECT_EQ(udp("::1", 2193), d.discovery->endpoint);
    ASSERT_TRUE(d.discovery->multicast);
    EXPECT_EQ(udp("ff18::231.0.0.1", 2193), *d.discovery->multicast);
}

TEST(ServerSpecIp, DiscoveryAndGroups) {
    io::ip_server_descriptor d = parse_ip("ip([::1]),multicast()");
    ASSERT_TRUE(d.discovery);
    EXPECT_EQ(udp("::1", 2193), d.discovery->endpoint);
    EXPECT_EQ(udp("ff18::231.0.0.1", 2193), d.discovery->multicast.value());

    d = parse_ip("ip(10.0.0.1),discovery(x)");
    ASSERT_TRUE(d.discovery);
    EXPECT_EQ(udp("10.0.0.1", 2193), d.discovery->endpoint);
    EXPECT_FALSE(d.discovery->multicast);

    d = parse_ip("ip(),port(4000),multicast()");
    EXPECT_EQ(udp("0.0.0.0", 4000), d.discovery->endpoint);
    EXPECT_EQ(udp("231.0.0.1", 4000), d.discovery->multicast.value());

    d = parse_ip("ip(1.2.3.4),multicast(231.0.0.9),port(80),name(edge)");
    EXPECT_EQ("edge", d.name);
    EXPECT_EQ(tcp("1.2.3.4", 80), d.endpoint);
    EXPECT_EQ(udp("231.0.0.9", 80), d.discovery->multicast.value());

    d = parse_ip("ip([::1]),multicast([ff18::1])");
    EXPECT_EQ(udp("ff18::1", 2193), d.discovery->multicast.value());
}

TEST(ServerSpecIp, RepeatedPropertiesAndBlanks) {
    io::ip_server_descriptor d = parse_ip("ip(9.9.9.9),port(1),name(a),ip(1.2.3.4),port(2),name()");
    EXPECT_EQ(tcp("1.2.3.4", 2), d.endpoint);
    EXPECT_EQ("a", d.name);
    EXPECT_EQ(tcp("0.0.0.0", 2193), parse_ip("ip(1.2.3.4),ip()").endpoint);

    d = parse_ip("  ip ( 10.0.0.1 ) tail ,  port ( 3000 )x , name(  srv  )  ");
    EXPECT_EQ(tcp("10.0.0.1", 3000), d.endpoint);
    EXPECT_EQ("srv", d.name);
    // Only the blank is trimmed.
    EXPECT_EQ(0u, failure("ip(\t10.0.0.1)").find("cannot parse \t10.0.0.1, because of "));
}

TEST(ServerSpecIp, AddressErrors) {
    // After an IPv6 value a later one loses its first and last character.
    EXPECT_EQ(0u, failure("ip([::1]),ip(::2)").find("cannot parse :, because of "));
    EXPECT_EQ(0u, failure("ip([::1]),ip(x)").find("cannot parse x, because of "));
    EXPECT_EQ(tcp("::2", 2193), parse_ip("ip([::1]),ip([::2])").endpoint);
    EXPECT_EQ(0u, failure("ip(10.0.0.1),multicast([ff18::1])").find("cannot parse [ff18::1], because of "));
    EXPECT_EQ(0u, failure("ip(10.0.0.1),multicast(ff18::1)").find("cannot parse ff18::1, because of "));
    EXPECT_EQ("discovery property specify ipv4 address, and ip property has ipv6 address",
              failure("ip([::1]),multicast(ff18::1)"));
    // Listen addresses are never looked up.
    EXPECT_EQ(0u, failure("ip(localhost)").find("cannot parse localhost, because of "));
    EXPECT_EQ(0u, failure("ip(1.2.3.256)").find("cannot parse 1.2.3.256, because of "));
    std::string reason = failure("ip([::1:])");
    EXPECT_EQ(0u, reason.find("cannot parse ::1:, because of "));
    EXPECT_GT(reason.size(), std::string("cannot parse ::1:, because of ").size());
}

TEST(ServerSpecGrammar, Errors) {
    EXPECT_EQ("empty server spec", failure(""));
    EXPECT_EQ("there is no opening or closing brace in clause 'ip'", failure("ip"));
    EXPECT_EQ("there is no opening or closing brace in clause '   '", failure("   "));
    EXPECT_EQ("there is no opening or closing brace in clause ''", failure("ip(1.2.3.4),"));
    EXPECT_EQ("there is no opening or closing brace in clause ''", failure("ip(),,port(1)"));
    EXPECT_EQ("there is no opening or closing brace in clause ' )ip( '", failure(" )ip( "));
    EXPECT_EQ("there is no opening or closing brace in clause 'port(1'", failure("ip(),port(1"));
    EXPECT_EQ("unknown protocol family name IP", failure("IP(1.2.3.4)"));
    EXPECT_EQ("unknown protocol family name multicast", failure("multicast(231.0.0.5)"));
    EXPECT_EQ("unknown protocol family name ", failure("(ip)"));
    EXPECT_EQ("unknown property Port in server spec", failure("ip(),Port(1)"));
    EXPECT_EQ("unknown property multicast in server spec", failure("ipx(),multicast()"));
    EXPECT_EQ("unknown property port in server spec", failure("unix(),port(1)"));
}

TEST(ServerSpecGrammar, ErrorOrder) {
    // Braces are checked over the whole text before anything else.
    EXPECT_EQ("there is no opening or closing brace in clause 'x'", failure("nope(),bogus(),x"));
    // Clauses run left to right and the first failure wins.
    EXPECT_EQ("unknown property bogus in server spec", failure("ip(),bogus(),port(99999)"));
    EXPECT_THROW(parse("ip(),port(99999),bogus()"), boost::bad_lexical_cast);
    EXPECT_EQ("unknown property bogus in server spec", failure("ip(nonsense),bogus()"));
}

TEST(ServerSpecPort, ConversionErrors) {
    for (const char* text : {"ip(1.2.3.4),port(70000)", "ip(1.2.3.4),port()", "ip(),port(-1)", "ip(),port(+80)",
                             "ip(),port(0x10)", "ip(),port(8 0)", "ip(),port(99999999999999999999)",
                             "ipx(),port(65536)", "ipx(),port(-1)"}) {
        try {
            parse(text);
            ADD_FAILURE() << text;
        } catch (const boost::bad_lexical_cast& e) {
            EXPECT_STREQ(bad_cast_text, e.what()) << text;
        }
    }
    EXPECT_EQ(65535, parse_ip("ip(),port(65535)").endpoint.port());
    EXPECT_EQ(0, parse_ip("ip(),port(0)").endpoint.port());
    EXPECT_EQ(80, parse_ip("ip(),port(0080)").endpoint.port());
}

TEST(ServerSpecIpx, AddressAndDiscovery) {
    io::ipx_server_descriptor d = parse_ipx("ipx()");
    EXPECT_EQ("spx/00000000.000000000000:2371", ipx::spx_endpoint_to_string(d.endpoint));
    EXPECT_EQ("velmo", d.name);
    EXPECT_FALSE(d.discovery);

    for (const char* text : {"ipx(0a0b0c0d.0a0b0c0d0e0f),discovery(),port(3000)",
                             "ipx(0a0b0c0d.0a0b0c0d0e0f),port(3000),discovery()"}) {
        d = parse_ipx(text);
        EXPECT_EQ("spx/0a0b0c0d.0a0b0c0d0e0f:3000", ipx::spx_endpoint_to_string(d.endpoint)) << text;
        ASSERT_TRUE(d.discovery) << text;
        EXPECT_EQ("ipx/0a0b0c0d.0a0b0c0d0e0f:3000", ipx::ipx_endpoint_to_string(d.discovery->endpoint)) << text;
        EXPECT_FALSE(d.discovery->multicast);
    }

    d = parse_ipx("ipx(),discovery(),ipx(0a0b0c0d.0a0b0c0d0e0f),name(n)");
    EXPECT_EQ("spx/0a0b0c0d.0a0b0c0d0e0f:2371", ipx::spx_endpoint_to_string(d.endpoint));
    EXPECT_EQ("ipx/00000000.000000000000:2371", ipx::ipx_endpoint_to_string(d.discovery->endpoint));
    EXPECT_EQ("n", d.name);
}

TEST(ServerSpecIpx, PartialValuesAndErrors) {
    EXPECT_EQ(2371, parse_ipx("ipx(),port()").endpoint.port());
    EXPECT_EQ("spx/0a0b0c0d.000000000000:2371", ipx::spx_endpoint_to_string(parse_ipx("ipx(0a0b0c0d)").endpoint));
    EXPECT_EQ("spx/00000000.010203040506:2371",
              ipx::spx_endpoint_to_string(parse_ipx("ipx(.010203040506)").endpoint));
    EXPECT_EQ("spx/0a0b0c0d.010203040506:2371",
              ipx::spx_endpoint_to_string(parse_ipx("ipx(0a0b0c0d.010203040506.ignored)").endpoint));
    EXPECT_EQ("spx/0a0b0c0d.aabbccddeeff:2371",
              ipx::spx_endpoint_to_string(parse_ipx("ipx(0A0B0C0D.AABBCCDDEEFF)").endpoint));
    EXPECT_EQ("invalid IPX net format", failure("ipx(0a0b0c0.010203040506)"));
    EXPECT_EQ("invalid IPX net format", failure("ipx(0a0b0c0d0)"));
    EXPECT_EQ("invalid IPX node format", failure("ipx(0a0b0c0d.0102030405)"));
    EXPECT_EQ("invalid hexadecimal", failure("ipx(0g0b0c0d)"));
    EXPECT_EQ("invalid hexadecimal", failure("ipx(-1000000)"));
    EXPECT_EQ("invalid hexadecimal", failure("ipx(.0102030405 6)"));
}

TEST(ServerSpecUnix, PathsAndDiscovery) {
    io::unix_server_descriptor d = parse_unix("unix()");
    EXPECT_EQ("/tmp/velmod", d.endpoint.path());
    EXPECT_FALSE(d.discovery);

    // The defaults put both sockets on one path; both are exposed so that
    // the server can refuse the pair with a clear error.
    d = parse_unix("unix(),discovery()");
    ASSERT_TRUE(d.discovery);
    EXPECT_EQ("/tmp/velmod", d.endpoint.path());
    EXPECT_EQ("/tmp/velmod", d.discovery->endpoint.path());
    EXPECT_FALSE(d.discovery->multicast);

    d = parse_unix("unix(/run/a.sock),discovery(/run/b.sock),name(x)");
    EXPECT_EQ("/run/a.sock", d.endpoint.path());
    EXPECT_EQ("/run/b.sock", d.discovery->endpoint.path());
    EXPECT_EQ("x", d.name);

    // discovery() takes the stream path as it is at that clause.
    d = parse_unix("unix(/a),discovery(),unix(/b)");
    EXPECT_EQ("/b", d.endpoint.path());
    EXPECT_EQ("/a", d.discovery->endpoint.path());
}

TEST(ServerSpecUnix, PathLength) {
    const std::string longest(107, 'p');
    EXPECT_EQ(longest, parse_unix("unix(" + longest + ")").endpoint.path());
    EXPECT_EQ(longest, parse_unix("unix(),discovery(" + longest + ")").discovery->endpoint.path());
    const std::string too_long(108, 'p');
    for (const std::string& text : {"unix(" + too_long + ")", "unix(),discovery(" + too_long + ")"}) {
        try {
            parse(text);
            ADD_FAILURE() << text;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(ENAMETOOLONG, e.code().value());
        }
    }
}

TEST(ServerSpecDescriptor, CopyAndNames) {
    io::ip_server_descriptor original = parse_ip("ip(10.0.0.1),multicast(231.0.0.7),name(one)");
    io::ip_server_descriptor copy(original);
    original.discovery->multicast = udp("231.0.0.8", 1);
    original.set_name("two");
    EXPECT_EQ("one", copy.name);
    EXPECT_EQ(udp("231.0.0.7", 2193), copy.discovery->multicast.value());

    io::unix_server_descriptor local = parse_unix("unix(/x/y),discovery(/x/z)");
    io::unix_server_descriptor assigned;
    assigned = local;
    local.discovery.reset();
    EXPECT_EQ("/x/y", assigned.endpoint.path());
    EXPECT_EQ("/x/z", assigned.discovery->endpoint.path());

    io::ipx_server_descriptor ipx_descriptor;
    ipx_descriptor.set_name("");
    EXPECT_EQ("velmo", ipx_descriptor.name);
    io::ipx_server_descriptor* base = &ipx_descriptor;
    base->set_dummy_name();
    EXPECT_EQ("dummy", ipx_descriptor.name);
}

// Every prefix of a valid text, and the text with blanks around every token,
// parses or fails with one of the documented error kinds.
template <class F>
bool documented_outcome(F f) {
    try {
        f();
    } catch (const io::spec_parse_error_shell_t&) {
    } catch (const boost::bad_lexical_cast&) {
    } catch (const boost::system::system_error& e) {
        return e.code().value() == ENAMETOOLONG;
    } catch (...) {
        return false;
    }
    return true;
}

TEST(ServerSpecGrammar, SplitAndVariedInputs) {
    const std::string full = "ip([::1]),port(3000),discovery(),multicast([ff18::5]),name(n)";
    for (size_t n = 0; n <= full.size(); ++n)
        EXPECT_TRUE(documented_outcome([&] { parse(full.substr(0, n)); })) << full.substr(0, n);
    std::string spaced;
    for (char c : full) spaced += (c == '(' || c == ')' || c == ',') ? std::string(" ") + c + " " : std::string(1, c);
    io::ip_server_descriptor d = parse_ip(spaced);
    EXPECT_EQ(tcp("::1", 3000), d.endpoint);
    EXPECT_EQ(udp("ff18::5", 3000), d.discovery->multicast.value());
    EXPECT_EQ("n", d.name);
}

TEST(ServerSpecGrammar, RandomTextsNeverCrash) {
    std::mt19937 random(20261206);
    const char* words[] = {"ip", "ipx", "unix", "port", "name", "discovery", "multicast", "(", ")", ",", "[", "]",
                           ".", ":", " ", "::1", "10.0.0.1", "0a0b0c0d", "010203040506", "65535", "99999", "/tmp/s"};
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const int pieces = static_cast<int>(random() % 12);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 3 == 0)
                text += static_cast<char>(' ' + random() % 95);
            else
                text += words[random() % (sizeof(words) / sizeof(words[0]))];
        }
        EXPECT_TRUE(documented_outcome([&] { parse(text); })) << text;
    }
}

}  // namespace
