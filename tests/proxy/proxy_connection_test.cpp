// The state a proxy connection keeps for both sides' handlers: version
// minima, offers and the GETCONFIG id map, also when both strands use them.
#include "proxy/proxy_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/make_shared.hpp>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;

boost::shared_ptr<proxy_connection_t> unstarted(boost::asio::io_service& service) {
    return boost::make_shared<proxy_connection_t>(service, boost::weak_ptr<listener_t>(),
                                                  boost::shared_ptr<cache::cache_t>());
}

TEST(ProxyConnection, VersionMinimaAreLoweredEachOnItsOwn) {
    struct row {
        std::vector<std::pair<int32_t, int32_t>> protocols;
        int32_t major, minor;
        bool expected;
    } rows[] = {
        {{}, 2, 9, true},                      // no PROTOCOL: as high as can be
        {{{3, 0}, {2, 9}}, 2, 9, false},       // (3,0) and (2,9) give (2,0)
        {{{3, 0}, {2, 9}}, 2, 0, true},
        {{{2, 9}}, 2, 9, true},
        {{{2, 9}}, 2, 10, false},
        {{{2, 3}}, 1, 99, true},               // a higher major wins whatever the minor
        {{{2, 3}, {2, 7}}, 2, 4, false},
    };
    boost::asio::io_service service;
    for (const row& r : rows) {
        auto c = unstarted(service);
        for (const auto& p : r.protocols) {
            c->lower_version(p.first);
            c->lower_minor_version(p.second);
        }
        EXPECT_EQ(c->version_at_least(r.major, r.minor), r.expected) << r.major << "." << r.minor;
    }
}

TEST(ProxyConnection, OffersSurviveOnlyWhenEveryProtocolMadeThem) {
    boost::asio::io_service service;
    auto c = unstarted(service);
    EXPECT_TRUE(c->compression_allowed());
    EXPECT_TRUE(c->crypt_allowed());
    c->restrict_offers(true, false);
    c->restrict_offers(false, true);
    c->restrict_offers(true, true);
    EXPECT_FALSE(c->compression_allowed());
    EXPECT_FALSE(c->crypt_allowed());
    EXPECT_EQ(c->platform(), "win-nt-32");
    EXPECT_EQ(c->name(), "<noname>");
}

TEST(ProxyConnection, ConfigIdsAreTakenOnceAndTheLaterRequestWins) {
    boost::asio::io_service service;
    auto c = unstarted(service);
    EXPECT_EQ(c->take_config_id(7), -1);
    c->put_config_id(40, 7);
    c->put_config_id(41, 7);
    c->put_config_id(5, 8);
    EXPECT_EQ(c->take_config_id(7), 41);
    EXPECT_EQ(c->take_config_id(7), -1);
    EXPECT_EQ(c->take_config_id(8), 5);
}

// Both sides' handlers run on different strands; under ThreadSanitizer this
// test finds any access that is not synchronised.
TEST(ProxyConnection, BothStrandsMayUseTheSharedStateAtOnce) {
    boost::asio::io_service service;
    auto c = unstarted(service);
    const int rounds = 20000;
    std::thread agent_side([&] {
        for (int i = 0; i < rounds; ++i) {
            c->lower_version(rounds - i);
            c->restrict_offers(true, i < rounds / 2);
            c->put_config_id(static_cast<uint32_t>(i), static_cast<uint32_t>(i % 16));
        }
    });
    for (int i = 0; i < rounds; ++i) {
        c->lower_minor_version(rounds - i);
        c->version_at_least(2, 9);
        c->compression_allowed();
        c->crypt_allowed();
        c->take_config_id(static_cast<uint32_t>(i % 16));
        c->last_snf_update();
        c->update_request_number();
    }
    agent_side.join();
    EXPECT_FALSE(c->version_at_least(2, 0));
    EXPECT_TRUE(c->version_at_least(1, 1));
    EXPECT_FALSE(c->version_at_least(1, 2));
    EXPECT_TRUE(c->compression_allowed());
    EXPECT_FALSE(c->crypt_allowed());
}

/// Reads `s` until `text` has arrived; false when the peer closed or ten seconds passed.
bool read_until(tcp::socket& s, std::string& seen, const std::string& text) {
    timeval limit{10, 0};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[4096];
    while (seen.find(text) == std::string::npos) {
        ssize_t n = ::recv(s.native_handle(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

TEST(ProxyConnection, AnAgentStartingOverGetsTheSameAnnouncementAgain) {
    io_test::log_capture log{LOG_LEVEL_TRACE3};
    io::pool pool(2, "pcnt");
    const tcp::endpoint loopback(boost::asio::ip::make_address("127.0.0.1"), 0);
    tcp::acceptor upstream(pool.get_io_service(), loopback), front(pool.get_io_service(), loopback);
    tcp::socket agent(pool.get_io_service()), server(pool.get_io_service());
    agent.connect(front.local_endpoint());
    auto accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
    front.accept(*accepted);
    auto c = unstarted(pool.get_io_service());
    c->start(io::accepted_socket(accepted), "tcp/127.0.0.1:" + std::to_string(upstream.local_endpoint().port()));
    upstream.accept(server);
    ASSERT_TRUE(io_test::wait_until([&] { return c->name() != "<noname>"; }));

    std::string args = "upd";
    const proxy_connection_t::args_range range(&args[0], &args[0] + args.size());
    const std::vector<char> body{'b'};
    const std::vector<cache::file_info_t> files{{"f", 4, "0123"}};
    c->on_snf_update("upd", 5, 1, files, range, body);
    c->on_snf_update("upd", 5, 2, files, range, body);  // only the server's integer differs: a repeat
    EXPECT_EQ(c->last_snf_update().announcement, 1);
    c->on_anf_state("linux", {"linux", "a b"});
    c->on_snf_update("upd", 5, 3, files, range, body);
    std::string to_agent, to_server;
    EXPECT_TRUE(read_until(agent, to_agent, "1 SNF_UPDATE T1 upd\r\nb\r\n")) << to_agent;
    EXPECT_EQ(to_agent, "0 SNF_UPDATE T1 upd\r\nb\r\n1 SNF_UPDATE T1 upd\r\nb\r\n");
    EXPECT_TRUE(read_until(server, to_server, "0 ANF_STATE linux a%Sb\r\n")) << to_server;
    EXPECT_EQ(c->platform(), "linux");
    EXPECT_EQ(c->last_snf_update().announcement, 3);
    size_t ignored = 0;
    for (const std::string& m : log.messages()) ignored += m.find(": Ignore same SNF_UPDATE from server") != std::string::npos;
    EXPECT_EQ(ignored, 1u);
}

}  // namespace
