// The discovery layer against loopback listeners and real discovery answerers. Data
// through a connected layer is driven by the transformation layer's tests.
#include "io/discovery_layer.h"

#include <boost/asio/write.hpp>
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
class discovery_sink : public io::discovery_layer_events, public io_test::waitable {
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
    boost::shared_ptr<tcp::acceptor> listen() {
        auto a = boost::make_shared<tcp::acceptor>(pool.get_io_service(),
                                                   tcp::endpoint(asio::ip::address_v4::loopback(), 0));
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
    boost::shared_ptr<io::discovery::server> answerer(unsigned short port) {
        return io::discovery::server::create(
            pool.get_io_service(),
            io::discovery_descriptor<udp::endpoint>(udp::endpoint(asio::ip::address_v4::loopback(), port)), "Hub");
    }
    static std::string at(unsigned short port) { return "127.0.0.1:" + std::to_string(port); }
    static std::string at(const boost::shared_ptr<tcp::acceptor>& a) { return at(a->local_endpoint().port()); }
    /// The outcome of the first connect, once reported.
    error_code first_outcome() {
        EXPECT_TRUE(events->wait([&] { return !events->connects.empty(); }));
        std::lock_guard<std::mutex> g(events->mutex);
        return events->connects.empty() ? error_code() : events->connects[0];
    }
    /// After a pause that leaves room for a wrong second report, `n` outcomes.
    void expect_outcomes(std::size_t n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(n, events->connect_count());
    }
    io_test::log_capture log;
    io::pool pool{3, "disc"};
    boost::shared_ptr<discovery_sink> events = boost::make_shared<discovery_sink>();
};

TEST_F(DiscoveryLayer, StreamEndpointsAreTriedInOrderAndReportOnce) {
    unsigned short refused = refused_port();
    auto server = listen();
    auto layer = make();
    layer->connect("tcp/" + at(refused) + " tcp/" + at(server));
    EXPECT_FALSE(first_outcome());
    auto peer = accepted(*server);
    ASSERT_TRUE(peer);
    EXPECT_EQ("tcp/" + at(server), layer->name());
    peer->close();
    ASSERT_TRUE(events->wait([&] { return events->disconnects == 1; }));
    expect_outcomes(1);
    // All refused: the last error, once.
    auto again = make();
    again->connect("tcp/" + at(refused_port()) + "\t\ttcp/" + at(refused_port()));
    ASSERT_TRUE(events->wait([&] { return events->connects.size() == 2; }));
    EXPECT_EQ(asio::error::connection_refused, events->connects[1]);
    expect_outcomes(2);
}

TEST_F(DiscoveryLayer, AnsweringServerIsConnectedAfterStreamCandidateFails) {
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto discovery = answerer(port);
    auto layer = make(300);
    layer->connect("tcp/" + at(refused_port()) + " udp/" + at(port));
    EXPECT_FALSE(first_outcome());
    EXPECT_TRUE(accepted(*server));
    expect_outcomes(1);
}

TEST_F(DiscoveryLayer, AnswerDuringConnectWaitsBehindTheCandidateBeingConnected) {
    // A listener with a full backlog leaves a connect hanging until it closes.
    tcp::acceptor full(pool.get_io_service());
    full.open(tcp::v4());
    full.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    full.listen(0);
    tcp::socket filler(pool.get_io_service());
    filler.connect(full.local_endpoint());
    auto server = listen();
    unsigned short port = server->local_endpoint().port();
    auto discovery = answerer(port);
    auto layer = make(1000);
    layer->connect("tcp/" + at(full.local_endpoint().port()) + " udp/" + at(port));
    io_test::wait_until([&] { return log.count("[Discovery/Explorer] Recieved answer from udp/" + at(port)) > 0; });
    expect_outcomes(0);
    EXPECT_FALSE(accepted(*server, 0));
    full.close();  // the hanging attempt is refused at its next try
    EXPECT_FALSE(first_outcome());
    EXPECT_TRUE(accepted(*server));
    expect_outcomes(1);
}

TEST_F(DiscoveryLayer, AnswersAfterASuccessfulConnectionAreIgnored) {
    auto first = listen(), second = listen();
    auto discovery = answerer(second->local_endpoint().port());
    auto layer = make(300);
    layer->connect("tcp/" + at(first) + " udp/" + at(second));
    EXPECT_FALSE(first_outcome());
    EXPECT_TRUE(accepted(*first));
    io_test::wait_until(
        [&] { return log.count("[Discovery/Explorer] Stopped listening because server has found") > 0; });
    expect_outcomes(1);
    EXPECT_FALSE(accepted(*second, 0));
}

TEST_F(DiscoveryLayer, UnansweredDiscoveryReportsHostUnreachableOnceAfterEveryAttempt) {
    auto quiet = silent_udp(), other = silent_udp();
    auto layer = make(100, 3);
    auto started = clock_type::now();
    layer->connect("udp/" + at(quiet->local_endpoint().port()) + " tcp/" + at(refused_port()) + " udp/" +
                   at(other->local_endpoint().port()));
    EXPECT_EQ(error_code(113, boost::system::generic_category()), first_outcome());
    EXPECT_GE(clock_type::now() - started, std::chrono::milliseconds(300));
    // Every attempt was an empty datagram.
    quiet->non_blocking(true);
    std::vector<std::size_t> sizes;
    char buf[64];
    error_code ec;
    for (std::size_t n; n = quiet->receive(asio::buffer(buf), 0, ec), !ec;) sizes.push_back(n);
    EXPECT_EQ(std::vector<std::size_t>(3, 0), sizes);
    expect_outcomes(1);
}

TEST_F(DiscoveryLayer, WhiteSpaceAroundTheTextAddsTheDefaultTcpCandidate) {
    auto server = listen();
    auto layer = make();
    layer->connect("tcp/" + at(server) + "\n");
    EXPECT_FALSE(first_outcome());
    EXPECT_TRUE(accepted(*server));
    EXPECT_EQ(1u, log.count("[Layer/Discovery] Got stream endpoint <tcp/127.0.0.1:2193>"));
    // In front: the default is tried first; something may listen there, so
    // only the single success is certain.
    auto again = make();
    again->connect(" tcp/" + at(server));
    ASSERT_TRUE(events->wait([&] { return events->connects.size() == 2; }));
    EXPECT_FALSE(events->connects[1]);
    EXPECT_EQ(2u, log.count("[Layer/Discovery] Got stream endpoint <tcp/127.0.0.1:2193>"));
}

TEST_F(DiscoveryLayer, BadItemsAndZeroRetriesAreThrownBeforeAnyConnectAndTheLayerStaysUsable) {
    auto server = listen();
    const std::string good = "tcp/" + at(server);
    auto quiet = silent_udp();
    auto layer = make(100, 0);
    EXPECT_THROW(layer->connect(good + " udp/" + at(quiet->local_endpoint().port())), BUG_exception_shell_t);
    auto items = make();
    EXPECT_THROW(items->connect(good + " TCP/127.0.0.1"), io::spec_parse_error_shell_t);
    error_code ipx_ec;
    io::detail::ipx::ipx::socket probe(pool.get_io_service());
    probe.open(io::detail::ipx::ipx(), ipx_ec);
    if (ipx_ec) {
        EXPECT_THROW(items->connect(good + " ipx/"), boost::system::system_error);
    }
    expect_outcomes(0);
    EXPECT_FALSE(accepted(*server, 0));
    layer->connect(good);
    EXPECT_FALSE(first_outcome());
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
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    expect_outcomes(0);
}

}  // namespace
