// The discovery layer on real loopback sockets, discovery answerers and a
// real I/O pool: stream candidates in order, answers that become candidates,
// the single outcome of every connect, errors of the text, and attach.
#include "io/discovery_layer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "io/discovery/server.h"
#include "io/pool.h"
#include "io/spec_parse_error.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using clock_type = std::chrono::steady_clock;
typedef boost::system::error_code error_code;

/// Records every event that goes up.
class sink : public io::discovery_layer_events, public io_test::waitable {
public:
    void on_connect(const error_code& error) override { note([&] { connects.push_back(error); }); }
    void on_disconnect() override { note([&] { ++disconnects; }); }
    void on_data_arrived(io::request_queue& data) override { note([&] { received += io_test::bytes_of(data); }); }
    std::size_t connect_count() {
        std::lock_guard<std::mutex> g(mutex);
        return connects.size();
    }
    std::vector<error_code> connects;
    int disconnects = 0;
    std::string received;
};

class DiscoveryLayer : public ::testing::Test {
protected:
    boost::shared_ptr<io::discovery_layer> make(int wait_ms = 200, uint32_t retries = 3) {
        io::proto::text_protocol_layer_options options;
        options.explorer.wait = boost::posix_time::milliseconds(wait_ms);
        options.explorer.retries = retries;
        auto layer = io::discovery_layer::create(pool.get_io_service(), options);
        layer->set_events(events);
        return layer;
    }
    /// A TCP listener on loopback whose connections the test polls for.
    boost::shared_ptr<tcp::acceptor> listen(unsigned short port = 0) {
        auto a = boost::make_shared<tcp::acceptor>(pool.get_io_service(),
                                                   tcp::endpoint(asio::ip::address_v4::loopback(), port));
        a->non_blocking(true);
        return a;
    }
    /// A connection accepted within `ms`, or null.
    boost::shared_ptr<tcp::socket> accepted(tcp::acceptor& a, int ms = 5000) {
        auto peer = boost::make_shared<tcp::socket>(pool.get_io_service());
        auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
        do {
            error_code ec;
            a.accept(*peer, ec);
            if (!ec) return peer;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (clock_type::now() < deadline);
        return nullptr;
    }
    /// A port on which nothing listens.
    unsigned short refused_port() { return listen()->local_endpoint().port(); }
    /// A bound UDP socket that never answers.
    boost::shared_ptr<udp::socket> silent_udp() {
        return boost::make_shared<udp::socket>(pool.get_io_service(), udp::endpoint(asio::ip::address_v4::loopback(), 0));
    }
    boost::shared_ptr<io::discovery::server> answerer(unsigned short port, const char* name) {
        return io::discovery::server::create(
            pool.get_io_service(),
            io::discovery_descriptor<udp::endpoint>(udp::endpoint(asio::ip::address_v4::loopback(), port)), name);
    }
    static std::string at(unsigned short port) { return "127.0.0.1:" + std::to_string(port); }
    std::size_t logged(const std::string& text) { return log.count(text); }
    void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

    io_test::log_capture log;
    io::pool pool{3, "disc"};
    boost::shared_ptr<sink> events = boost::make_shared<sink>();
};

TEST_F(DiscoveryLayer, StreamEndpointsAreTriedInOrderAndOneConnectionPassesDataBothWays) {
    unsigned short refused = refused_port();
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto layer = make();
    layer->connect("tcp/" + at(refused) + " tcp/" + at(port));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
    auto peer = accepted(*server);
    ASSERT_TRUE(peer);
    EXPECT_EQ(1u, logged("[Layer/Discovery] Got stream endpoint <tcp/" + at(refused) + ">"));
    EXPECT_EQ(1u, logged("[Layer/Discovery] Got stream endpoint <tcp/" + at(port) + ">"));
    EXPECT_EQ("tcp/" + at(port), layer->name());

    io::request_queue out(io::request_from_cloned_data::create("ping", 4, io::request_queue::callback_t()));
    layer->send(out, boost::function<void()>());
    char buf[4];
    asio::read(*peer, asio::buffer(buf));
    EXPECT_EQ("ping", std::string(buf, 4));
    asio::write(*peer, asio::buffer("pong", 4));
    ASSERT_TRUE(events->wait([&] { return events->received == "pong"; }));
    peer->close();
    ASSERT_TRUE(events->wait([&] { return events->disconnects == 1; }));
    settle();
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, AllCandidatesRefusedReportsTheLastErrorOnce) {
    auto layer = make();
    layer->connect("tcp/" + at(refused_port()) + "\t\ttcp/" + at(refused_port()));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_EQ(asio::error::connection_refused, events->connects[0]);
    settle();
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, AnsweringServerIsConnectedAfterStreamCandidateFails) {
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto discovery = answerer(port, "Hub");
    auto layer = make(300);
    layer->connect("tcp/" + at(refused_port()) + " udp/" + at(port));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
    EXPECT_TRUE(accepted(*server));
    EXPECT_EQ(1u, logged("[Layer/Discovery] Got datagram endpoint <udp/" + at(port) + ">"));
    EXPECT_EQ(1u, logged("[Discovery/Explorer] Recieved answer from udp/" + at(port)));
    settle();
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, AnswerDuringConnectWaitsBehindTheCandidateBeingConnected) {
    // A listener with a full backlog leaves a connect hanging until it closes.
    tcp::acceptor full(pool.get_io_service());
    full.open(tcp::v4());
    full.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    full.listen(0);
    unsigned short full_port = full.local_endpoint().port();
    tcp::socket filler(pool.get_io_service());
    filler.connect(full.local_endpoint());
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto discovery = answerer(port, "Hub");
    auto layer = make(1000);
    layer->connect("tcp/" + at(full_port) + " udp/" + at(port));
    io_test::wait_until([&] { return logged("[Discovery/Explorer] Recieved answer from udp/" + at(port)) > 0; });
    settle();
    EXPECT_FALSE(accepted(*server, 0));
    EXPECT_EQ(0u, events->connect_count());
    full.close();  // the hanging attempt is refused at its next try
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
    EXPECT_TRUE(accepted(*server));
    settle();
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, AnswersAfterASuccessfulConnectionAreIgnored) {
    auto first = listen();
    auto second = listen();
    unsigned short port = second->local_endpoint().port();
    auto discovery = answerer(port, "Hub");
    auto layer = make(300);
    layer->connect("tcp/" + at(first->local_endpoint().port()) + " udp/" + at(port));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
    EXPECT_TRUE(accepted(*first));
    io_test::wait_until([&] { return logged("[Discovery/Explorer] Stopped listening because server has found") > 0; });
    settle();
    EXPECT_FALSE(accepted(*second, 0));
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, UnansweredDiscoveryReportsHostUnreachableOnceAfterEveryAttempt) {
    auto quiet = silent_udp(), other = silent_udp();
    auto layer = make(100, 3);
    auto started = clock_type::now();
    layer->connect("udp/" + at(quiet->local_endpoint().port()) + " tcp/" + at(refused_port()) + " udp/" +
                   at(other->local_endpoint().port()));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_GE(clock_type::now() - started, std::chrono::milliseconds(300));
    EXPECT_EQ(error_code(113, boost::system::generic_category()), events->connects[0]);
    // Every attempt was an empty datagram.
    quiet->non_blocking(true);
    std::vector<std::size_t> sizes;
    char buf[64];
    error_code ec;
    for (std::size_t n; n = quiet->receive(asio::buffer(buf), 0, ec), !ec;) sizes.push_back(n);
    EXPECT_EQ(std::vector<std::size_t>(3, 0), sizes);
    settle();
    EXPECT_EQ(1u, events->connect_count());
}

TEST_F(DiscoveryLayer, WhiteSpaceAroundTheTextAddsTheDefaultTcpCandidate) {
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto layer = make();
    layer->connect("tcp/" + at(port) + "\n");
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
    EXPECT_TRUE(accepted(*server));
    EXPECT_EQ(1u, logged("[Layer/Discovery] Got stream endpoint <tcp/127.0.0.1:2193>"));

    // In front: the default is tried first; something may listen there, so
    // only the single success is certain.
    auto again = make();
    again->connect(" tcp/" + at(port));
    ASSERT_TRUE(events->wait([&] { return events->connects.size() == 2; }));
    EXPECT_FALSE(events->connects[1]);
    EXPECT_EQ(2u, logged("[Layer/Discovery] Got stream endpoint <tcp/127.0.0.1:2193>"));
}

TEST_F(DiscoveryLayer, ZeroRetriesIsABugFromConnectAndTheLayerStaysUsable) {
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto quiet = silent_udp();
    auto layer = make(100, 0);
    try {
        layer->connect("tcp/" + at(port) + " udp/" + at(quiet->local_endpoint().port()));
        FAIL() << "no error";
    } catch (const BUG_exception_shell_t& e) {
        EXPECT_STREQ("retries count in settings cannot be zero", e.what());
    }
    settle();
    EXPECT_FALSE(accepted(*server, 0));
    EXPECT_EQ(0u, events->connect_count());
    layer->connect("tcp/" + at(port));
    ASSERT_TRUE(events->wait([&] { return !events->connects.empty(); }));
    EXPECT_FALSE(events->connects[0]);
}

TEST_F(DiscoveryLayer, ItemsThatCannotBeUsedAreThrownBeforeAnyConnect) {
    auto server = listen();
    std::string good = "tcp/" + at(server->local_endpoint().port());
    auto layer = make();
    EXPECT_THROW(layer->connect(good + " TCP/127.0.0.1"), io::spec_parse_error_shell_t);
    error_code ipx_ec;
    io::detail::ipx::ipx::socket probe(pool.get_io_service());
    probe.open(io::detail::ipx::ipx(), ipx_ec);
    if (ipx_ec) {
        EXPECT_THROW(layer->connect(good + " ipx/"), boost::system::system_error);
    }
    settle();
    EXPECT_FALSE(accepted(*server, 0));
    EXPECT_EQ(0u, events->connect_count());
}

TEST_F(DiscoveryLayer, AttachReadsWithoutConnectEventAndDropsRunningDiscovery) {
    auto quiet = silent_udp();
    auto layer = make(100, 2);
    layer->connect("udp/" + at(quiet->local_endpoint().port()));
    auto server = listen();
    tcp::socket client(pool.get_io_service());
    client.connect(server->local_endpoint());
    auto mine = accepted(*server);
    ASSERT_TRUE(mine);
    layer->attach(io::accepted_socket(mine));
    asio::write(client, asio::buffer("hello", 5));
    ASSERT_TRUE(events->wait([&] { return events->received == "hello"; }));
    // Past the discovery's end: its outcome must not go up.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(0u, events->connect_count());
    EXPECT_EQ(1u, logged("[Discovery/Explorer] Send request to udp/" + at(quiet->local_endpoint().port()) +
                         ", 0 attemps left"));
}

}  // namespace
