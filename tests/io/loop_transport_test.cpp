// Loop mode of the transport on a real I/O pool: synchronous completion, private
// copies delivered later, and the disconnect report in every way the loop can end.
#include "io/transport_layer.h"

#include <stdexcept>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

typedef boost::system::error_code error_code;

/// Records events with the thread they ran on; the disconnect can be made to throw or call back.
class loop_sink : public io::transport_layer_events, public io_test::waitable {
public:
    void on_connect(const error_code& error) override { add("connect:" + error.message()); }
    void on_disconnect() override {
        disconnect_thread = std::this_thread::get_id();  // before add(), which publishes it
        add("disconnect");
        if (on_disconnect_hook) on_disconnect_hook();
    }
    void on_data_arrived(io::request_queue& data) override {
        int requests = 0;
        for (io::request_queue::request* r = data.front(); r; r = r->next()) ++requests;
        const std::string text = io_test::bytes_of(data);
        // Kept before the event is published: the test clears `held` once it sees it.
        note([&] {
            if (hold_data) held.push_back(std::move(data));
        });
        add("data:" + std::to_string(requests) + ":" + text);
    }
    void add(const std::string& event) { note([&] { events.push_back(event); }); }
    bool wait_count(std::size_t n) { return wait([&] { return events.size() >= n; }, 20); }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(mutex);
        return events;
    }
    std::vector<std::string> events;
    std::thread::id disconnect_thread;
    std::function<void()> on_disconnect_hook;
    bool hold_data = false;
    std::vector<io::request_queue> held;
};

class LoopTransport : public ::testing::Test {
protected:
    boost::shared_ptr<io::transport_layer> make_loop() {
        auto t = io::transport_layer::create(pool.get_io_service(), io::proto::text_protocol_layer_options());
        t->set_events(sink);
        t->loopback();
        EXPECT_TRUE(sink->wait_count(1));
        return t;
    }
    io_test::log_capture log;
    io::pool pool{2, "thr"};
    boost::shared_ptr<loop_sink> sink = boost::make_shared<loop_sink>();
};

TEST_F(LoopTransport, ConnectsOnceIgnoresIdleTimeoutsAndSendCompletesAtOnceDeliveringACopy) {
    auto t = make_loop();
    EXPECT_EQ("loop", t->name());
    // No timer, no log line, no second connect.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::size_t lines = log.messages().size();
    t->set_idle_timeout(boost::posix_time::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(lines, log.messages().size());
    EXPECT_EQ((std::vector<std::string>{"connect:Success"}), sink->snapshot());
    sink->hold_data = true;
    std::vector<std::string> order;
    char mutable_bytes[] = "two";
    io::request_queue q = io::make_const_request("one+", [&](bool ok) { order.push_back(ok ? "1" : "-1"); });
    q.push_back(io::make_mutable_request(mutable_bytes, 3, [&](bool ok) { order.push_back(ok ? "2" : "-2"); }));
    bool on_sent = false;
    t->send(q, [&] { order.push_back("sent"); on_sent = true; });
    EXPECT_TRUE(q.empty());
    EXPECT_TRUE(on_sent);
    EXPECT_EQ((std::vector<std::string>{"1", "2", "sent"}), order);
    // The caller's memory is free at once: the delivery carries its own bytes.
    mutable_bytes[0] = 'X';
    ASSERT_TRUE(sink->wait_count(2));
    EXPECT_EQ("data:2:one+two", sink->snapshot()[1]);
    // The copies carry no callbacks of the sender.
    sink->note([&] { sink->held.clear(); });
    EXPECT_EQ(3u, order.size());
}

TEST_F(LoopTransport, DisconnectAfterSendStillDeliversThenReports) {
    auto t = make_loop();
    // Keep every pool thread busy so the delivery is certainly still pending.
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    std::atomic<int> parked{0}, left{0};
    for (int i = 0; i < 2; ++i)
        pool.get_io_service().post([&] {
            ++parked;
            std::lock_guard<std::mutex> g(gate);
            ++left;
        });
    while (parked.load() < 2) std::this_thread::yield();
    io::request_queue q = io::make_cloned_request("late");
    t->send(q, boost::function<void()>());
    t->disconnect();
    EXPECT_EQ("<unbounded>", t->name());
    EXPECT_EQ(1u, sink->snapshot().size());  // nothing reported yet
    closed.unlock();
    ASSERT_TRUE(sink->wait_count(3));
    EXPECT_EQ((std::vector<std::string>{"connect:Success", "data:1:late", "disconnect"}), sink->snapshot());
    EXPECT_NE(std::this_thread::get_id(), sink->disconnect_thread);
    while (left.load() < 2) std::this_thread::yield();  // the gate must outlive its waiters
}

TEST_F(LoopTransport, DisconnectWithNothingPendingReportsBeforeReturning) {
    auto t = make_loop();
    t->disconnect();
    EXPECT_EQ((std::vector<std::string>{"connect:Success", "disconnect"}), sink->snapshot());
    EXPECT_EQ(std::this_thread::get_id(), sink->disconnect_thread);
    t->disconnect();
    EXPECT_EQ(2u, sink->snapshot().size());
    // A second loopback replaces the first, which reports its end; so does release.
    t->loopback();
    ASSERT_TRUE(sink->wait_count(3));
    t->loopback();
    ASSERT_LE(4u, sink->snapshot().size());
    EXPECT_EQ("disconnect", sink->snapshot()[3]);  // synchronous, before the new on_connect is posted
    ASSERT_TRUE(sink->wait_count(5));
    EXPECT_EQ("connect:Success", sink->snapshot()[4]);
    t.reset();
    EXPECT_EQ("disconnect", sink->snapshot().back());
    EXPECT_EQ(6u, sink->snapshot().size());
}

TEST_F(LoopTransport, ThrowingOrReenteringDisconnectDoesNotStopTheRelease) {
    auto t = make_loop();
    sink->on_disconnect_hook = [] { throw std::runtime_error("sink refused"); };
    t->disconnect();
    EXPECT_EQ("<unbounded>", t->name());
    EXPECT_EQ(1u, log.count("  sink refused"));
    // A sink that asks the transport for its name while being told of the end.
    t->loopback();
    ASSERT_TRUE(sink->wait_count(3));
    std::string seen;
    boost::weak_ptr<io::transport_layer> weak = t;
    sink->on_disconnect_hook = [&] {
        if (auto strong = weak.lock()) seen = strong->name();
    };
    t->disconnect();
    EXPECT_EQ("<unbounded>", seen);
    sink->on_disconnect_hook = nullptr;
}

TEST_F(LoopTransport, GoneSinkIsSkipped) {
    auto t = make_loop();
    sink.reset();
    std::atomic<int> callbacks{0};
    io::request_queue q = io::make_const_request("x", [&](bool ok) { callbacks += ok; });
    t->send(q, boost::function<void()>());
    EXPECT_EQ(1, callbacks.load());
    t->disconnect();
    t.reset();
}

}  // namespace
