// The transport's connect time limit: a peer that never answers the handshake
// is given up after the limit with its socket closed; an answered connect
// never hears of the limit.
#include "io/transport_layer.h"

#include <dirent.h>

#include <memory>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
typedef boost::system::error_code error_code;

struct connect_sink : public io::transport_layer_events, public io_test::waitable {
    void on_connect(const error_code& error) override { note([&] { connects.push_back(error); }); }
    void on_disconnect() override { note([&] { ++disconnects; }); }
    void on_data_arrived(io::request_queue&) override {}
    std::size_t connect_count() {
        std::lock_guard<std::mutex> g(mutex);
        return connects.size();
    }
    std::vector<error_code> connects;
    int disconnects = 0;
};

std::size_t open_descriptors() {
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (::readdir(dir)) ++n;
    ::closedir(dir);
    return n;
}

class TransportConnect : public ::testing::Test {
protected:
    ~TransportConnect() override { io::transport_layer::connect_timeout = saved_; }
    boost::shared_ptr<io::transport_layer> make() {
        auto t = io::transport_layer::create(pool.get_io_service(), io::proto::text_protocol_layer_options());
        t->set_events(sink);
        return t;
    }
    /// A loopback listener with a full accept queue: further handshakes are dropped, connects hang.
    tcp::endpoint hanging_peer() {
        hanging.open(tcp::v4());
        hanging.bind(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        hanging.listen(0);
        const tcp::endpoint target = hanging.local_endpoint();
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(std::make_unique<tcp::socket>(pool.get_io_service(), tcp::v4()));
            fillers.back()->non_blocking(true);
            (void)::connect(fillers.back()->native_handle(), target.data(), static_cast<socklen_t>(target.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return target;
    }

    boost::posix_time::time_duration saved_ = io::transport_layer::connect_timeout;
    io_test::log_capture log;
    io::pool pool{2, "thr"};
    tcp::acceptor hanging{pool.get_io_service()};
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    boost::shared_ptr<connect_sink> sink = boost::make_shared<connect_sink>();
};

TEST_F(TransportConnect, UnansweredConnectIsGivenUpAfterTheLimitWithItsSocketClosed) {
    EXPECT_EQ(boost::posix_time::seconds(10), io::transport_layer::connect_timeout);
    io::transport_layer::connect_timeout = boost::posix_time::milliseconds(300);
    const tcp::endpoint target = hanging_peer();
    const std::size_t before = open_descriptors();
    auto t = make();
    t->connect(target);
    EXPECT_EQ(before + 1, open_descriptors());
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }, 10));
    if (!sink->connects[0]) GTEST_SKIP() << "the kernel completed the handshake anyway";
    EXPECT_EQ(boost::asio::error::timed_out, sink->connects[0]);
    const std::string name = "tcp/127.0.0.1:" + std::to_string(target.port());
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": Connect gave up after 300 ms without an answer"));
    // The failed attempt stays installed, as any failed connect does, but
    // its descriptor is already free.
    EXPECT_EQ(name, t->name());
    EXPECT_EQ(before, open_descriptors());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> g(sink->mutex);
    EXPECT_EQ(1u, sink->connects.size());
    EXPECT_EQ(0, sink->disconnects);
}

TEST_F(TransportConnect, AnsweredOrRefusedConnectsNeverHearOfTheLimit) {
    io::transport_layer::connect_timeout = boost::posix_time::milliseconds(200);
    tcp::acceptor open(pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    tcp::endpoint refused;
    {
        tcp::acceptor closed(pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        refused = closed.local_endpoint();
    }
    auto answered = make();
    answered->connect(open.local_endpoint());
    tcp::socket peer(pool.get_io_service());
    open.accept(peer);
    auto failed = make();
    failed->connect(refused);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2; }, 10));
    // Well past the limit: no late report, the connection is still up.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::lock_guard<std::mutex> g(sink->mutex);
    ASSERT_EQ(2u, sink->connects.size());
    EXPECT_EQ(1, std::count(sink->connects.begin(), sink->connects.end(), error_code()));
    EXPECT_EQ(1, std::count(sink->connects.begin(), sink->connects.end(),
                            error_code(boost::asio::error::connection_refused)));
    EXPECT_EQ(0, sink->disconnects);
    for (const std::string& m : log.messages()) EXPECT_EQ(std::string::npos, m.find("without an answer"));
}

}  // namespace
