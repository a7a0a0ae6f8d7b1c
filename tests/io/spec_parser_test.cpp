// Listen specifications: every property, its defaults and repetitions, the
// error each bad text raises and in which order, and every prefix of a text.
#include "io/spec_parser.h"

#include <cerrno>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/spec_parse_error.h"

namespace {

namespace ipx = io::detail::ipx;
using boost::asio::ip::make_address;

io::server_spec parse_server(const std::string& text) {
    boost::asio::io_service service;
    // An exact-size heap copy: a read past the end of the text is caught by ASan.
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    text.copy(copy.get(), text.size());
    return io::parse_server_spec(service, lstr_t(text.size(), copy.get()));
}

void put(std::ostream& out, const boost::asio::ip::tcp::endpoint& e) { out << "ip " << e; }
void put(std::ostream& out, const boost::asio::ip::udp::endpoint& e) { out << e; }
void put(std::ostream& out, const ipx::spx::endpoint& e) { out << ipx::spx_endpoint_to_string(e); }
void put(std::ostream& out, const ipx::ipx::endpoint& e) { out << ipx::ipx_endpoint_to_string(e); }
void put(std::ostream& out, const boost::asio::local::stream_protocol::endpoint& e) { out << "unx " << e.path(); }
void put(std::ostream& out, const boost::asio::local::datagram_protocol::endpoint& e) { out << e.path(); }

/// "<endpoint> <name>[ / <discovery>[ / <group>]]".
struct describer : boost::static_visitor<std::string> {
    template <class Descriptor>
    std::string operator()(const Descriptor& d) const {
        std::ostringstream out;
        put(out, d.endpoint);
        out << ' ' << d.name;
        if (d.discovery) put(out << " / ", d.discovery->endpoint);
        if (d.discovery && d.discovery->multicast) put(out << " / ", *d.discovery->multicast);
        return out.str();
    }
};

const std::string cast = "cast: bad lexical cast: source type value could not be interpreted as target";
const std::string spec_too_long = "errno " + std::to_string(ENAMETOOLONG);

/// What the text gives, or its error: a spec_parse_error's reason, "cast: ..." or "errno <n>".
std::string describe_spec(const std::string& text) {
    try {
        return boost::apply_visitor(describer(), parse_server(text));
    } catch (const io::spec_parse_error_shell_t& e) {
        EXPECT_NE(nullptr, dynamic_cast<const io::spec_parse_error*>(e.record())) << text;
        return e.what();
    } catch (const boost::bad_lexical_cast& e) {
        return std::string("cast: ") + e.what();
    } catch (const boost::system::system_error& e) {
        return "errno " + std::to_string(e.code().value());
    }
}

/// Texts and what they give; an expectation ending in "because of " is the start of a longer reason.
void expect_specs(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& c : cases) {
        const std::string got = describe_spec(c.first);
        const std::string tail = "because of ";
        if (c.second.size() > tail.size() && c.second.compare(c.second.size() - tail.size(), tail.size(), tail) == 0) {
            EXPECT_EQ(0u, got.find(c.second)) << c.first << " gave " << got;
            EXPECT_GT(got.size(), c.second.size()) << c.first;
        } else {
            EXPECT_EQ(c.second, got) << c.first;
        }
    }
}

TEST(ServerSpec, IpDefaultsFamiliesDiscoveryGroupsAndAddressErrors) {
    expect_specs({
        {"ip()", "ip 0.0.0.0:2193 velmo"},
        {"ip([])", "ip [::]:2193 velmo"},
        {"ip([::1]), port(2193), discovery(), multicast()", "ip [::1]:2193 velmo / [::1]:2193 / [ff18::e700:1]:2193"},
        {"ip([::1]),multicast()", "ip [::1]:2193 velmo / [::1]:2193 / [ff18::e700:1]:2193"},
        {"ip(10.0.0.1),discovery(x)", "ip 10.0.0.1:2193 velmo / 10.0.0.1:2193"},
        {"ip(),port(4000),multicast()", "ip 0.0.0.0:4000 velmo / 0.0.0.0:4000 / 231.0.0.1:4000"},
        {"ip(1.2.3.4),multicast(231.0.0.9),port(80),name(edge)", "ip 1.2.3.4:80 edge / 1.2.3.4:80 / 231.0.0.9:80"},
        // Repeated properties: the last one counts; an empty name keeps the name.
        {"ip(9.9.9.9),port(1),name(a),ip(1.2.3.4),port(2),name()", "ip 1.2.3.4:2 a"},
        {"ip(1.2.3.4),ip()", "ip 0.0.0.0:2193 velmo"},
        {"ip([::1]),ip([::2])", "ip [::2]:2193 velmo"},
        // Blanks around the words and junk behind a brace are ignored; only the blank is trimmed.
        {"  ip ( 10.0.0.1 ) tail ,  port ( 3000 )x , name(  srv  )  ", "ip 10.0.0.1:3000 srv"},
        {"ip(\t10.0.0.1)", "cannot parse \t10.0.0.1, because of "},
        // After an IPv6 value a later one loses its first and last character.
        {"ip([::1]),ip(::2)", "cannot parse :, because of "},
        {"ip(10.0.0.1),multicast([ff18::1])", "cannot parse [ff18::1], because of "},
        {"ip([::1]),multicast(ff18::1)", "discovery property specify ipv4 address, and ip property has ipv6 address"},
        // Listen addresses are never looked up.
        {"ip(localhost)", "cannot parse localhost, because of "},
    });
}

TEST(ServerSpec, GrammarErrorsAndTheirOrder) {
    expect_specs({
        {"", "empty server spec"},
        {"ip", "there is no opening or closing brace in clause 'ip'"},
        {"ip(1.2.3.4),", "there is no opening or closing brace in clause ''"},
        {" )ip( ", "there is no opening or closing brace in clause ' )ip( '"},
        {"IP(1.2.3.4)", "unknown protocol family name IP"}, {"(ip)", "unknown protocol family name "},
        {"ipx(),multicast()", "unknown property multicast in server spec"},
        {"unix(),port(1)", "unknown property port in server spec"},
        // Braces are checked over the whole text before anything else.
        {"nope(),bogus(),x", "there is no opening or closing brace in clause 'x'"},
        // Clauses run left to right and the first failure wins.
        {"ip(),bogus(),port(99999)", "unknown property bogus in server spec"},
        {"ip(),port(99999),bogus()", cast},
        {"ip(nonsense),bogus()", "unknown property bogus in server spec"},
    });
}

TEST(ServerSpec, PortsAreUnsigned16BitDecimals) {
    expect_specs({
        {"ip(1.2.3.4),port(65536)", cast}, {"ip(1.2.3.4),port()", cast}, {"ip(),port(-1)", cast},
        {"ipx(),port(65536)", cast}, {"ip(),port(65535)", "ip 0.0.0.0:65535 velmo"},
        {"ip(),port(0)", "ip 0.0.0.0:0 velmo"}, {"ip(),port(0080)", "ip 0.0.0.0:80 velmo"},
    });
}

TEST(ServerSpec, IpxAddressesDiscoveryAndErrors) {
    const std::string both = "spx/0a0b0c0d.0a0b0c0d0e0f:3000 velmo / ipx/0a0b0c0d.0a0b0c0d0e0f:3000";
    expect_specs({
        {"ipx()", "spx/00000000.000000000000:2371 velmo"},
        {"ipx(0a0b0c0d.0a0b0c0d0e0f),discovery(),port(3000)", both},
        {"ipx(0a0b0c0d.0a0b0c0d0e0f),port(3000),discovery()", both},
        {"ipx(),discovery(),ipx(0a0b0c0d.0a0b0c0d0e0f),name(n)",
         "spx/0a0b0c0d.0a0b0c0d0e0f:2371 n / ipx/00000000.000000000000:2371"},
        {"ipx(),port()", "spx/00000000.000000000000:2371 velmo"},
        {"ipx(.010203040506)", "spx/00000000.010203040506:2371 velmo"},
        {"ipx(0a0b0c0d.010203040506.ignored)", "spx/0a0b0c0d.010203040506:2371 velmo"},
        {"ipx(0A0B0C0D.AABBCCDDEEFF)", "spx/0a0b0c0d.aabbccddeeff:2371 velmo"},
        {"ipx(0a0b0c0d0)", "invalid IPX net format"}, {"ipx(0a0b0c0d.0102030405)", "invalid IPX node format"},
        {"ipx(0g0b0c0d)", "invalid hexadecimal"},
    });
}

TEST(ServerSpec, UnixPathsDiscoveryAndPathLength) {
    const std::string longest(107, 'p');
    expect_specs({
        {"unix()", "unx /tmp/velmod velmo"},
        // The defaults put both sockets on one path; both are exposed so that
        // the server can refuse the pair with a clear error.
        {"unix(),discovery()", "unx /tmp/velmod velmo / /tmp/velmod"},
        {"unix(/run/a.sock),discovery(/run/b.sock),name(x)", "unx /run/a.sock x / /run/b.sock"},
        // discovery() takes the stream path as it is at that clause.
        {"unix(/a),discovery(),unix(/b)", "unx /b velmo / /a"},
        {"unix(" + longest + ")", "unx " + longest + " velmo"},
        {"unix(),discovery(" + longest + ")", "unx /tmp/velmod velmo / " + longest},
        {"unix(" + longest + "p)", spec_too_long},
        {"unix(),discovery(" + longest + "p)", spec_too_long},
    });
}

TEST(ServerSpec, DescriptorCopiesAreIndependentAndNamesDefault) {
    io::ip_server_descriptor original = boost::get<io::ip_server_descriptor>(parse_server("ip(10.0.0.1),multicast(231.0.0.7),name(one)"));
    io::ip_server_descriptor copy(original);
    original.discovery->multicast = boost::asio::ip::udp::endpoint(make_address("231.0.0.8"), 1);
    original.set_name("two");
    EXPECT_EQ("ip 10.0.0.1:2193 one / 10.0.0.1:2193 / 231.0.0.7:2193", describer()(copy));
    io::unix_server_descriptor local = boost::get<io::unix_server_descriptor>(parse_server("unix(/x/y),discovery(/x/z)"));
    io::unix_server_descriptor assigned;
    assigned = local;
    local.discovery.reset();
    EXPECT_EQ("unx /x/y velmo / /x/z", describer()(assigned));
    io::ipx_server_descriptor ipx_descriptor;
    ipx_descriptor.set_name("");
    EXPECT_EQ("velmo", ipx_descriptor.name);
    io::ipx_server_descriptor* base = &ipx_descriptor;
    base->set_dummy_name();
    EXPECT_EQ("dummy", ipx_descriptor.name);
}

/// Parses or fails with one of the documented error kinds.
bool documented_outcome(const std::string& text) {
    const std::string got = describe_spec(text);
    return got.compare(0, 6, "errno ") != 0 || got == spec_too_long;
}

TEST(ServerSpec, PrefixesAndSpacedTextsGiveDocumentedOutcomes) {
    const std::string full = "ip([::1]),port(3000),discovery(),multicast([ff18::5]),name(n)";
    for (size_t n = 0; n <= full.size(); ++n) EXPECT_TRUE(documented_outcome(full.substr(0, n))) << full.substr(0, n);
    std::string spaced;
    for (char c : full) spaced += (c == '(' || c == ')' || c == ',') ? std::string(" ") + c + " " : std::string(1, c);
    EXPECT_EQ("ip [::1]:3000 n / [::1]:3000 / [ff18::5]:3000", describe_spec(spaced));
}

}  // namespace
