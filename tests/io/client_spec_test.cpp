#include "io/spec_parser.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/spec_parse_error.h"

namespace {

namespace ipx = io::detail::ipx;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;
typedef boost::asio::local::stream_protocol::endpoint local_stream_ep;
typedef boost::asio::local::datagram_protocol::endpoint local_dgram_ep;

std::vector<io::client_endpoint> parse_client(const std::string& text) {
    boost::asio::io_service service;
    return io::parse_client_spec(service, text);
}

// The endpoints an item gives as "<index> <endpoint>" texts, or its error:
// a spec_parse_error's reason, "cast" or "errno <n>".
std::vector<std::string> endpoint_texts(const std::string& text) {
    std::vector<std::string> texts;
    try {
        for (const io::client_endpoint& item : parse_client(text)) {
            std::ostringstream out;
            out << item.which() << ' ';
            switch (item.which()) {
                case 0: out << boost::get<tcp::endpoint>(item); break;
                case 1: out << ipx::spx_endpoint_to_string(boost::get<ipx::spx::endpoint>(item)); break;
                case 2: out << boost::get<local_stream_ep>(item).path(); break;
                case 3: out << boost::get<udp::endpoint>(item); break;
                case 4: out << ipx::ipx_endpoint_to_string(boost::get<ipx::ipx::endpoint>(item)); break;
                case 5: out << boost::get<local_dgram_ep>(item).path(); break;
            }
            texts.push_back(out.str());
        }
    } catch (const io::spec_parse_error_shell_t& e) {
        EXPECT_NE(nullptr, dynamic_cast<const io::spec_parse_error*>(e.record())) << text;
        texts.assign(1, e.what());
    } catch (const boost::bad_lexical_cast&) {
        texts.assign(1, "cast");
    } catch (const boost::system::system_error& e) {
        texts.assign(1, "errno " + std::to_string(e.code().value()));
    }
    return texts;
}

// What the item gives, its endpoints joined by "; ".
std::string describe_item(const std::string& text) { return boost::algorithm::join(endpoint_texts(text), "; "); }

// Items and what they give; an expectation ending in "because of " is the start of a longer reason.
void expect_endpoints(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& c : cases) {
        const std::string got = describe_item(c.first);
        if (c.second.size() > 11 && c.second.compare(c.second.size() - 11, 11, "because of ") == 0) {
            EXPECT_EQ(0u, got.find(c.second)) << c.first << " gave " << got;
        } else {
            EXPECT_EQ(c.second, got) << c.first;
        }
    }
}

const std::string path_too_long = "errno " + std::to_string(ENAMETOOLONG);

TEST(ClientSpec, TcpAndUdpAddressesDefaultsAndErrors) {
    expect_endpoints({
        {"10.0.0.5", "0 10.0.0.5:2193"}, {"10.0.0.5:7", "0 10.0.0.5:7"}, {"tcp/", "0 127.0.0.1:2193"},
        {"tcp/:3000", "0 127.0.0.1:3000"}, {"tcp/127.0.0.2:1:2", "0 127.0.0.2:1"}, {"", "0 127.0.0.1:2193"},
        {"tcp/[::1]", "0 [::1]:2193"}, {"tcp/[]:3000", "0 [::1]:3000"}, {"[]", "0 [::1]:2193"},
        {"udp/[]", "3 [ff18::e700:1]:2193"}, {"udp/", "3 231.0.0.1:2193"}, {"udp/:9", "3 231.0.0.1:9"},
        {"tcp/[::1]3000", "there is no separator between name and port in ipv6 spec"},
        {"udp/[::1", "there is no trailing bracket in ipv6 spec"},
        {"tcp/127.0.0.1:nosuchservice-velmo", "failure on resolve 127.0.0.1:nosuchservice-velmo because of "},
        // An IPv4 text in brackets asks for an IPv6 address.
        {"tcp/[10.0.0.1]", "failure on resolve 10.0.0.1:2193 because of "},
        {"/tmp/sock", "unknown protocol name "}, {"TCP/10.0.0.5", "unknown protocol name TCP"},
    });
    // A name gives IPv4 addresses only, loopback among them.
    const std::vector<std::string> local = endpoint_texts("tcp/localhost");
    EXPECT_NE(local.end(), std::find(local.begin(), local.end(), "0 127.0.0.1:2193"));
    for (const std::string& e : local)
        EXPECT_TRUE(e.compare(0, 2, "0 ") == 0 && e.find('[') == std::string::npos && e.rfind(":2193") == e.size() - 5) << e;
}

TEST(ClientSpec, LocalPathsAndTheirLength) {
    const std::string longest(107, 'q');
    expect_endpoints({
        {"unx//tmp/sock", "2 /tmp/sock"}, {"unx/", "2 /tmp/velmod"}, {"udx/", "5 /tmp/velmod"},
        {"udx/rel/a:b", "5 rel/a:b"}, {"unx/" + longest, "2 " + longest}, {"unx/" + longest + "q", path_too_long},
        {"udx/" + longest + "q", path_too_long},
    });
}

TEST(ClientSpec, IpxAddressesDefaultsAndErrors) {
    expect_endpoints({
        {"ipx/", "4 ipx/00000000.ffffffffffff:2371"}, {"spx/", "1 spx/00000000.000000000001:2371"},
        {"spx/:3000", "1 spx/00000000.000000000001:3000"}, {"spx/0a0b0c0d", "1 spx/0a0b0c0d.000000000001:2371"},
        {"spx/.0A0B0C0D0E0F:7:x", "1 spx/00000000.0a0b0c0d0e0f:7"},
        {"ipx/01020304.050607080910.zz:0", "4 ipx/01020304.050607080910:0"},
        {"spx/0a0b0c0d.0102", "invalid IPX node format"}, {"spx/0a0b0c0.010203040506", "invalid IPX net format"},
        {"spx/0a0b0c0d.01020304050g", "invalid hexadecimal"}, {"spx/:70000", "cast"}, {"ipx/:-1", "cast"},
    });
    EXPECT_EQ(AF_IPX, boost::get<ipx::ipx::endpoint>(parse_client("ipx/").at(0)).data()->sa_family);
}

// Loopback items, numeric and by name, with the endpoint each must give.
struct loopback_case {
    const char* text;
    int index;
    const char* endpoint;
};
const loopback_case loopback_cases[] = {
    {"127.0.0.1:7", 0, "127.0.0.1:7"}, {"tcp/[::1]:7", 0, "[::1]:7"}, {"tcp/[]", 0, "[::1]:2193"},
    {"udp/127.0.0.1:9", 3, "127.0.0.1:9"}, {"udp/[]", 3, "[ff18::e700:1]:2193"}, {"tcp/localhost:7", 0, "127.0.0.1:7"},
};

// One line per loopback case that fails; empty when each gives its endpoint
// (a name may give more, all of the item's kind).
std::string loopback_failures() {
    std::string failures;
    for (const loopback_case& c : loopback_cases) {
        const std::string kind = std::to_string(c.index) + " ";
        const std::vector<std::string> texts = endpoint_texts(c.text);
        const bool ok = std::find(texts.begin(), texts.end(), kind + c.endpoint) != texts.end() &&
                        std::all_of(texts.begin(), texts.end(),
                                    [&](const std::string& t) { return t.compare(0, kind.size(), kind) == 0; });
        if (!ok) failures += std::string(c.text) + " gave: " + boost::algorithm::join(texts, "; ") + "\n";
    }
    return failures;
}

// Here, and in a network namespace of its own where the only interface is a
// loopback that is down (as in a bare container), loopback items resolve.
// Endpoints so parsed are dialed by every stack test.
TEST(ClientSpecLoopback, ResolvesHereAndWithoutConfiguredInterfaces) {
    EXPECT_EQ("", loopback_failures());
    int out[2];
    ASSERT_EQ(0, pipe(out));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        close(out[0]);
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(77);
        const std::string failures = loopback_failures();
        _exit(write(out[1], failures.data(), failures.size()) == static_cast<ssize_t>(failures.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string failures;
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;) failures.append(buffer, n);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no unprivileged network namespace here";
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("", failures);
}

}  // namespace
