// Discovery answerers on real datagram sockets: matching, UDP and local exchanges,
// multicast membership, and failures that must not end answering.
#include "io/discovery/server.h"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <stdexcept>

#include <boost/asio/ip/multicast.hpp>
#include <boost/system/system_error.hpp>

#include "io/pool.h"
#include "io/server.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

using io_test::wait_until;

namespace asio = boost::asio;
using udp = asio::ip::udp;
using local_dgram = asio::local::datagram_protocol;

/// What the matcher says to `request` for `name`: the answer, or "-" for none.
std::string ask(const std::string& name, const std::string& request) {
    std::vector<char> answer;
    bool yes = io::discovery::make_name_matcher(name)(
        boost::iterator_range<const char*>(request.data(), request.data() + request.size()), answer);
    return yes ? std::string(answer.begin(), answer.end()) : "-";
}

TEST(DiscoveryServerMatcher, AnswersEmptyAndCaseFoldedNameOnly) {
    const std::vector<std::array<std::string, 3>> cases = {
        {"Velmo", "", "Velmo"}, {"Velmo", "vELMO", "Velmo"}, {"Velmo", std::string("Velmo\0", 6), "-"},
        {"Velmo", "Velm", "-"}, {"Velmo", "Velmx", "-"}, {"", "", ""}, {"", "x", "-"},
        // Only ASCII letters fold; other bytes compare exactly.
        {"v\xc3\xa9lmo", "V\xc3\xa9LMO", "v\xc3\xa9lmo"}, {"v\xc3\xa9lmo", "V\xc3\x89LMO", "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(c[2], ask(c[0], c[1])) << c[0] << " / " << c[1];
}

/// A request sender on loopback that reads answers with a bounded wait.
template <class Protocol>
class asker {
public:
    asker(asio::io_service& service, const typename Protocol::endpoint& server) : socket_(service), server_(server) {
        socket_.open(server.protocol());
    }
    typename Protocol::socket& socket() { return socket_; }
    void send(const std::string& request) { socket_.send_to(asio::buffer(request), server_); }
    /// The next answer, or "<none>" when nothing arrives within `wait_ms`.
    std::string answer(int wait_ms = 3000) {
        pollfd ready{socket_.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, wait_ms) != 1) return "<none>";
        char buf[512];
        ssize_t n = ::recv(socket_.native_handle(), buf, sizeof buf, 0);
        return n < 0 ? std::string("<recv failed>") : std::string(buf, static_cast<std::size_t>(n));
    }

private:
    typename Protocol::socket socket_;
    typename Protocol::endpoint server_;
};

class DiscoveryServer : public ::testing::Test {
protected:
    io_test::log_capture log;
    io::pool pool{2, "disc"};
    asio::io_service client_service;
    boost::shared_ptr<io::discovery::server> udp_server(const udp::endpoint& at, const std::string& name) {
        return io::discovery::server::create(pool.get_io_service(), io::discovery_descriptor<udp::endpoint>(at), name);
    }
    /// The port shown in the last "Starts listen" line.
    unsigned short started_port() {
        const std::string port = log.last_match(R"(^\[Discovery/Server\] udp/.*:(\d+): Starts listen$)");
        return static_cast<unsigned short>(std::atoi(port.c_str()));
    }
};

TEST_F(DiscoveryServer, UdpAnswersMatchingRequestsInOrderIgnoresOthersAndCounts) {
    auto server = udp_server(udp::endpoint(asio::ip::address_v4::loopback(), 0), "Velmo");
    unsigned short port = started_port();
    ASSERT_NE(0, port);
    asker<udp> client(client_service, udp::endpoint(asio::ip::address_v4::loopback(), port));
    client.send("");
    EXPECT_EQ("Velmo", client.answer());
    client.send("Velmo\n");
    client.send(std::string(300, 'v'));
    EXPECT_EQ("<none>", client.answer(300));
    // Requests are handled in order: had a skipped one been answered, its
    // answer would arrive before this one's.
    client.send("VELMO");
    EXPECT_EQ("Velmo", client.answer());
    // The counters move after the answer has left; a request is read up to 256 bytes.
    EXPECT_TRUE(wait_until([&] { return server->bytes_sent() == 2u * 5; })) << server->bytes_sent();
    EXPECT_EQ(0u + 6 + 256 + 5, server->bytes_received());
}

TEST_F(DiscoveryServer, CallbackThatThrowsSkipsOnlyThatRequest) {
    int calls = 0;
    io::discovery::request_callback callback = [&calls](const boost::iterator_range<const char*>& request,
                                                        std::vector<char>& answer) {
        if (++calls == 1) throw std::runtime_error("bad request");
        answer.assign(request.begin(), request.end());
        answer.push_back('!');
        return true;
    };
    auto server = io::discovery::server::create(
        pool.get_io_service(), io::discovery_descriptor<udp::endpoint>(udp::endpoint(asio::ip::address_v4::loopback(), 0)),
        callback);
    unsigned short port = started_port();
    asker<udp> client(client_service, udp::endpoint(asio::ip::address_v4::loopback(), port));
    client.send("one");
    client.send("two");
    EXPECT_EQ("two!", client.answer());
    EXPECT_EQ(1u, log.count("  bad request"));
    EXPECT_TRUE(wait_until([&] { return server->bytes_sent() == 4u; }));
}

TEST_F(DiscoveryServer, ListeningServerOwnsItsAnswererAndPassesCountsOn) {
    asio::io_service& service = pool.get_io_service();
    auto listening = io::server::create(service, io::parse_server_spec(service, "ip(127.0.0.1),port(0),name(Hub)"
                                                                                ",discovery()"),
                                        false);
    unsigned short port = started_port();
    ASSERT_NE(0, port);
    asker<udp> client(client_service, udp::endpoint(asio::ip::address_v4::loopback(), port));
    client.send("hub");
    EXPECT_EQ("Hub", client.answer());
    EXPECT_TRUE(wait_until([&] { return listening->discovery_bytes_sent() == 3u; }));
    EXPECT_EQ(3u, listening->discovery_bytes_received());
}

TEST_F(DiscoveryServer, LocalDatagramAnswersAndManagesItsSocketFile) {
    io_test::temp_dir dir;
    std::string path = dir.path("disc"), reply = dir.path("reply"), stale = dir.path("stale");
    auto server = io::discovery::server::create(pool.get_io_service(), local_dgram::endpoint(path), "velmo");
    // A request from an unbound socket cannot be answered; that costs
    // nothing to the next asker.
    asker<local_dgram> unbound(client_service, local_dgram::endpoint(path));
    unbound.send("");
    asker<local_dgram> client(client_service, local_dgram::endpoint(path));
    client.socket().bind(local_dgram::endpoint(reply));
    client.send("VELMO");
    EXPECT_EQ("velmo", client.answer());
    EXPECT_TRUE(wait_until([&] { return server->bytes_sent() == 5u; }));
    EXPECT_EQ(5u, server->bytes_received());
    EXPECT_EQ(1u, log.count("[Discovery/Server] udx/" + path + ": Cannot answer udx/ because of Invalid argument"));
    EXPECT_THROW(io::discovery::server::create(pool.get_io_service(), local_dgram::endpoint(path), "velmo"),
                 boost::system::system_error);
    server.reset();
    EXPECT_TRUE(wait_until([&] { return !io_test::path_exists(path); }));
    { local_dgram::socket gone(client_service, local_dgram::endpoint(stale)); }
    ASSERT_TRUE(io_test::path_exists(stale));
    auto again = io::discovery::server::create(pool.get_io_service(), local_dgram::endpoint(stale), "velmo");
    asker<local_dgram> other(client_service, local_dgram::endpoint(stale));
    other.socket().bind(local_dgram::endpoint(dir.path("reply2")));
    other.send("");
    EXPECT_EQ("velmo", other.answer());
}

/// True when /proc/net/igmp lists the IPv4 group (printed as a host-order word).
bool igmp_lists(const asio::ip::address_v4& group) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(htonl(group.to_uint())));
    std::ifstream in("/proc/net/igmp");
    std::string word;
    while (in >> word)
        if (word == hex) return true;
    return false;
}

TEST_F(DiscoveryServer, MulticastGroupIsJoinedAnsweredAndLeft) {
    asio::ip::address_v4 group = asio::ip::make_address_v4("239.255.71.93");
    io::discovery_descriptor<udp::endpoint> at(udp::endpoint(asio::ip::address_v4::any(), 0));
    at.multicast = udp::endpoint(group, 0);
    boost::shared_ptr<io::discovery::server> server;
    try {
        server = io::discovery::server::create(pool.get_io_service(), at, "velmo");
    } catch (const boost::system::system_error& e) {
        GTEST_SKIP() << "this host cannot join an IPv4 group: " << e.what();
    }
    unsigned short port = started_port();
    EXPECT_TRUE(igmp_lists(group));
    // Send on loopback only: the asker makes lo a member and sends through it.
    asker<udp> client(client_service, udp::endpoint(group, port));
    boost::system::error_code ec;
    client.socket().set_option(asio::ip::multicast::outbound_interface(asio::ip::address_v4::loopback()), ec);
    if (!ec) client.socket().set_option(asio::ip::multicast::join_group(group, asio::ip::address_v4::loopback()), ec);
    if (ec) {
        server.reset();
        GTEST_SKIP() << "no multicast on loopback here: " << ec.message();
    }
    client.send("");
    EXPECT_EQ("velmo", client.answer());
    client.socket().close();
    server.reset();
    EXPECT_TRUE(wait_until([&] { return !igmp_lists(group); }));
}

TEST_F(DiscoveryServer, IpxIsRefusedCleanlyWhereTheKernelHasNoIpx) {
    try {
        io::discovery::server::create(pool.get_io_service(), io::detail::ipx::ipx::endpoint(), "velmo");
        GTEST_SKIP() << "this kernel supports IPX";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(asio::error::address_family_not_supported, e.code());
    }
    for (const std::string& m : log.messages()) EXPECT_EQ(std::string::npos, m.find(": dead"));
}

}  // namespace
