// The stream transport on real loopback and local sockets run by a real I/O
// pool: connect outcomes, names, request completion in every ending, idle
// timeouts, reconnects, attach, failing sinks and a large checked transfer.
#include "io/transport_layer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/write.hpp>

#include "io/pool.h"
#include "oslayer/md5.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
using boost::asio::local::stream_protocol;
typedef boost::system::error_code error_code;

/// Records every event; a hook may act on a delivery first.
class recording_sink : public io::transport_layer_events, public io_test::waitable {
public:
    void on_connect(const error_code& error) override { note([&] { connects.push_back(error); }); }
    void on_disconnect() override { note([&] { ++disconnects; }); }
    void on_data_arrived(io::request_queue& data) override {
        std::function<void(io::request_queue&)> hook;
        note([&] { hook = data_hook; });
        if (hook) hook(data);
        note([&] {
            for (io::request_queue::request* r = data.front(); r; r = r->next()) {
                boost::asio::const_buffer b = r->const_buffer();
                received_bytes += b.size();
                digest.update(b.size(), b.data());
                if (keep_bytes) received.append(static_cast<const char*>(b.data()), b.size());
            }
        });
    }
    int disconnect_count() {
        std::lock_guard<std::mutex> g(mutex);
        return disconnects;
    }

    std::vector<error_code> connects;
    int disconnects = 0;
    std::string received;
    std::size_t received_bytes = 0;
    bool keep_bytes = true;
    md5_t digest;
    std::function<void(io::request_queue&)> data_hook;
};

/// Counts request callbacks by outcome.
struct tally {
    std::atomic<int> sent{0}, dropped{0}, on_sent{0};
    io::request_callback callback() {
        return [this](bool ok) { ++(ok ? sent : dropped); };
    }
    boost::function<void()> sent_fn() {
        return [this] { ++on_sent; };
    }
};

class Transport : public ::testing::Test {
protected:
    boost::shared_ptr<io::transport_layer> make(const boost::shared_ptr<recording_sink>& sink,
                                                io::proto::text_protocol_layer_options options = {}) {
        auto t = io::transport_layer::create(pool.get_io_service(), options);
        t->set_events(sink);
        return t;
    }
    /// A listener on the pool's service; accepting blocks the test thread.
    tcp::acceptor listen(const char* address = "127.0.0.1") {
        return tcp::acceptor(pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address(address), 0));
    }
    /// Connects `t` to `acceptor` and returns the accepted peer socket.
    boost::shared_ptr<tcp::socket> connect_pair(io::transport_layer& t, tcp::acceptor& acceptor) {
        t.connect(acceptor.local_endpoint());
        auto peer = boost::make_shared<tcp::socket>(pool.get_io_service());
        acceptor.accept(*peer);
        return peer;
    }
    static std::string tcp_name(const tcp::endpoint& e) {
        return "tcp/127.0.0.1:" + std::to_string(e.port());
    }

    io_test::log_capture log;  // first: outlives the pool's last lines
    io_test::temp_dir dir;
    io::pool pool{2, "thr"};
    boost::shared_ptr<recording_sink> sink = boost::make_shared<recording_sink>();
};

TEST_F(Transport, UnboundFacadeIgnoresSendAndDisconnect) {
    auto t = make(sink);
    EXPECT_EQ("<unbounded>", t->name());
    tally n;
    io::request_queue q = io::make_const_request("abc", n.callback());
    t->send(q, n.sent_fn());
    EXPECT_FALSE(q.empty());
    t->disconnect();
    q.clear();
    EXPECT_EQ(0, n.sent.load());
    EXPECT_EQ(1, n.dropped.load());
    EXPECT_EQ(0, n.on_sent.load());
    EXPECT_THROW(io::transport_layer::create(pool.get_io_service(), [] {
                     io::proto::text_protocol_layer_options o;
                     o.read_buffer_size = 0;
                     return o;
                 }()),
                 d_exception_t_shell_t);
}

TEST_F(Transport, ConnectSendReceiveAndPeerClose) {
    tcp::acceptor acceptor = listen();
    auto t = make(sink);
    auto peer = connect_pair(*t, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    EXPECT_FALSE(sink->connects[0]);
    EXPECT_EQ(tcp_name(acceptor.local_endpoint()), t->name());

    std::vector<int> order;
    std::mutex order_mutex;
    auto in_order = [&](int i) { return [&, i](bool ok) { std::lock_guard<std::mutex> g(order_mutex); order.push_back(ok ? i : -i); }; };
    std::atomic<int> on_sent{0};
    io::request_queue q = io::make_const_request("one,", in_order(1));
    q.push_back(io::make_cloned_request("two,", in_order(2)));
    q.push_back(io::make_const_request("three", in_order(3)));
    t->send(q, [&] {
        std::lock_guard<std::mutex> g(order_mutex);
        EXPECT_EQ(3u, order.size());  // every callback before on_sent
        ++on_sent;
    });
    EXPECT_TRUE(q.empty());
    EXPECT_EQ("one,two,three", io_test::read_exactly(*peer, 13));

    boost::asio::write(*peer, boost::asio::buffer("hello", 5));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "hello"; }));
    ASSERT_TRUE(sink->wait([&] { return on_sent.load() == 1; }));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);

    peer->close();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ("<unbounded>", t->name());
    const std::string name = tcp_name(acceptor.local_endpoint());
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": Read operation failed because of End of file"));
    t->disconnect();
    t.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a wrong second report
    EXPECT_EQ(1, sink->disconnect_count());
    EXPECT_EQ(1u, sink->connects.size());
}

TEST_F(Transport, FailedConnectsReportOnceAndNeverDisconnect) {
    tcp::endpoint refused;
    {
        tcp::acceptor closed = listen();
        refused = closed.local_endpoint();
    }
    auto t = make(sink);
    t->connect(refused);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    EXPECT_EQ(boost::asio::error::connection_refused, sink->connects[0]);
    const std::string name = tcp_name(refused);
    EXPECT_EQ(name, t->name());
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": Async connect failed because of Connection refused"));
    EXPECT_EQ(0u, log.count("[Layer/Transport] " + name + ": dead"));
    t->disconnect();
    // The pool thread that reported the failure may still hold the attempt
    // for a moment; the attempt's last line comes when it lets go.
    EXPECT_TRUE(sink->wait([&] { return log.count("[Layer/Transport] " + name + ": dead") >= 1; }));
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": dead"));

    const std::string path = dir.path("nobody.sock");
    t->connect(stream_protocol::endpoint(path));
    EXPECT_EQ("unx/" + path, t->name());
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2; }));
    EXPECT_TRUE(sink->connects[1] == boost::system::errc::no_such_file_or_directory) << sink->connects[1].message();

    // No AF_IPX here: opening the socket fails and is reported like any failed connect.
    t->connect(io::detail::ipx::spx::endpoint());
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 3; }));
    EXPECT_EQ(boost::asio::error::address_family_not_supported, sink->connects[2]);
    EXPECT_EQ("spx/00000000.000000000000:" + std::to_string(io::detail::ipx::default_port), t->name());
    t.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, sink->disconnect_count());
    EXPECT_EQ(3u, sink->connects.size());
}

TEST_F(Transport, Ipv6LoopbackNameHasBrackets) {
    tcp::acceptor acceptor(pool.get_io_service());
    try {
        acceptor = listen("::1");
    } catch (const boost::system::system_error&) {
        GTEST_SKIP() << "no IPv6 loopback on this host";
    }
    auto t = make(sink);
    auto peer = connect_pair(*t, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    EXPECT_FALSE(sink->connects[0]);
    EXPECT_EQ("tcp/[::1]:" + std::to_string(acceptor.local_endpoint().port()), t->name());
}

TEST_F(Transport, AttachNamesThePeer) {
    tcp::acceptor acceptor = listen();
    tcp::socket client(pool.get_io_service());
    client.connect(acceptor.local_endpoint());
    auto accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
    acceptor.accept(*accepted);
    auto t = make(sink);
    t->attach(accepted);
    EXPECT_EQ(tcp_name(client.local_endpoint()), t->name());
    boost::asio::write(client, boost::asio::buffer("ping", 4));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "ping"; }));
    EXPECT_TRUE(sink->connects.empty());
    t->disconnect();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));

    const std::string server_path = dir.path("server.sock"), client_path = dir.path("client.sock");
    stream_protocol::acceptor local(pool.get_io_service(), stream_protocol::endpoint(server_path));
    for (bool bound : {false, true}) {
        stream_protocol::socket peer(pool.get_io_service());
        peer.open();
        if (bound) peer.bind(stream_protocol::endpoint(client_path));
        peer.connect(local.local_endpoint());
        auto s = boost::make_shared<stream_protocol::socket>(pool.get_io_service());
        local.accept(*s);
        t->attach(s);
        EXPECT_EQ(bound ? "unx/" + client_path : std::string("unx/"), t->name());
    }

    // A socket that cannot name its peer: the error reaches the caller and the
    // attempt stays installed without a name.
    auto closed = boost::make_shared<tcp::socket>(pool.get_io_service());
    EXPECT_THROW(t->attach(closed), boost::system::system_error);
    EXPECT_EQ("", t->name());
    // One per attached local connection, each replaced or closed once.
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 3; }));
}

TEST_F(Transport, IdleTimeoutClosesOnlyASilentConnection) {
    io::proto::text_protocol_layer_options options;
    options.idle_timeout = boost::posix_time::milliseconds(800);
    tcp::acceptor acceptor = listen();
    auto t = make(sink, options);
    auto peer = connect_pair(*t, acceptor);
    // Receiving keeps it alive well beyond the timeout; sending alone would not.
    for (int i = 0; i < 25; ++i) {
        boost::asio::write(*peer, boost::asio::buffer("x", 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(0, sink->disconnect_count());
    EXPECT_EQ(25u, sink->received.size());
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + tcp_name(acceptor.local_endpoint()) +
                            ": Timeout occurred, disconnect"));
    EXPECT_EQ("<unbounded>", t->name());
}

TEST_F(Transport, SetIdleTimeoutArmsAndStopsTheTimer) {
    tcp::acceptor acceptor = listen();
    auto t = make(sink);
    auto peer = connect_pair(*t, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    const std::string name = tcp_name(acceptor.local_endpoint());

    // Finite, then +infinity: the running timer is stopped.
    t->set_idle_timeout(boost::posix_time::seconds(1));
    t->set_idle_timeout(boost::posix_time::pos_infin);
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    EXPECT_EQ(0, sink->disconnect_count());
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": New idle timeout set to 00:00:01"));
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": New idle timeout set to +infinity"));

    // Finite while the stored value is +infinity arms it at once.
    t->set_idle_timeout(boost::posix_time::milliseconds(200));
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name + ": Timeout occurred, disconnect"));

    // The stored value is kept for the next connection.
    auto peer2 = connect_pair(*t, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
    EXPECT_EQ(2u, sink->connects.size());
}

TEST_F(Transport, IdleExpiryBeforeTheConnectCompletesReportsTheAttempt) {
    // A listener whose accept queue is full drops further handshakes, so the
    // next connect stays pending.
    tcp::acceptor acceptor(pool.get_io_service());
    acceptor.open(tcp::v4());
    acceptor.bind(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    acceptor.listen(0);
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<tcp::socket>(pool.get_io_service(), tcp::v4()));
        fillers.back()->non_blocking(true);
        // Plain connect: asio's own would wait for the handshake.
        tcp::endpoint target = acceptor.local_endpoint();
        (void)::connect(fillers.back()->native_handle(), target.data(), static_cast<socklen_t>(target.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t = make(sink);
    t->connect(acceptor.local_endpoint());
    // Stored +infinity: a finite value arms the timer at once, connected or not.
    t->set_idle_timeout(boost::posix_time::milliseconds(300));
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    if (!sink->connects[0]) GTEST_SKIP() << "the kernel completed the handshake anyway";
    EXPECT_EQ(boost::asio::error::timed_out, sink->connects[0]);
    EXPECT_EQ("<unbounded>", t->name());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, sink->connects.size());
    EXPECT_EQ(0, sink->disconnect_count());
}

TEST_F(Transport, ConnectAgainWhileConnectedEndsTheOldConnectionFirst) {
    tcp::acceptor first = listen(), second = listen();
    auto t = make(sink);
    auto peer1 = connect_pair(*t, first);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    auto peer2 = connect_pair(*t, second);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2 && sink->disconnects == 1; }));
    // The posted disconnect may run before the released connection logs its last line.
    const std::string old_dead = "[Layer/Transport] " + tcp_name(first.local_endpoint()) + ": dead";
    EXPECT_TRUE(sink->wait([&] { return log.count(old_dead) >= 1; }));
    EXPECT_EQ(1u, log.count(old_dead));
    EXPECT_EQ(tcp_name(second.local_endpoint()), t->name());
    // The old peer sees the close; the new one carries data.
    char c;
    error_code ec;
    peer1->read_some(boost::asio::buffer(&c, 1), ec);
    EXPECT_EQ(boost::asio::error::eof, ec);
    boost::asio::write(*peer2, boost::asio::buffer("new", 3));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "new"; }));
    t->disconnect();
    t->disconnect();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(2, sink->disconnect_count());
}

TEST_F(Transport, ThrowingSinkClosesTheConnectionAndReachesThePoolThread) {
    tcp::acceptor acceptor = listen();
    auto t = make(sink);
    sink->data_hook = [](io::request_queue&) { throw std::runtime_error("sink broke"); };
    auto peer = connect_pair(*t, acceptor);
    boost::asio::write(*peer, boost::asio::buffer("boom", 4));
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ("<unbounded>", t->name());
    const std::string name = tcp_name(acceptor.local_endpoint());
    EXPECT_EQ(1u, log.count("[Layer/Transport] " + name +
                            ": Init disconnect because user`s on_data_arrived handler raised exception"));
    // The pool thread reports once the exception has left the handler.
    std::vector<std::string> lines;
    std::vector<std::string>::iterator it;
    ASSERT_TRUE(sink->wait([&] {
        lines = log.messages();
        it = std::find(lines.begin(), lines.end(), "[Pool] Thread failed because of ");
        return it != lines.end() && it + 1 != lines.end();
    }));
    EXPECT_EQ("  sink broke", *(it + 1));
}

TEST_F(Transport, LateFailureOfAReplacedConnectionSparesItsSuccessor) {
    tcp::acceptor first = listen(), second = listen();
    auto t = make(sink);
    boost::weak_ptr<io::transport_layer> weak = t;
    const tcp::endpoint next = second.local_endpoint();
    // The sink reconnects from inside the delivery, then fails it: the
    // disconnect this causes belongs to the old connection only.
    sink->data_hook = [weak, next](io::request_queue&) {
        if (auto strong = weak.lock()) strong->connect(next);
        throw std::runtime_error("after reconnect");
    };
    auto peer1 = connect_pair(*t, first);
    boost::asio::write(*peer1, boost::asio::buffer("x", 1));
    auto peer2 = boost::make_shared<tcp::socket>(pool.get_io_service());
    second.accept(*peer2);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2; }));
    sink->note([&] { sink->data_hook = nullptr; });
    EXPECT_FALSE(sink->connects[1]);
    EXPECT_EQ(tcp_name(next), t->name());
    boost::asio::write(*peer2, boost::asio::buffer("alive", 5));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "alive"; }));
    EXPECT_EQ(1, sink->disconnect_count());
}

TEST_F(Transport, PendingWriteIsDroppedByDisconnectOrRelease) {
    // Far more than the socket buffers hold, to a peer that never reads.
    std::vector<char> big(64 << 20, 'b');
    for (bool release : {false, true}) {
        tcp::acceptor acceptor = listen();
        auto t = make(sink);
        auto peer = connect_pair(*t, acceptor);
        tally n;
        io::request_queue q = io::make_const_request(big.data(), big.size() / 2, n.callback());
        q.push_back(io::make_const_request(big.data(), big.size() / 2, n.callback()));
        q.push_back(io::make_cloned_request("tail", n.callback()));
        t->send(q, n.sent_fn());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (release) t.reset(); else t->disconnect();
        ASSERT_TRUE(sink->wait([&] { return n.dropped.load() == 3; }));
        EXPECT_EQ(0, n.sent.load());
        EXPECT_EQ(0, n.on_sent.load());
    }
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
}

TEST_F(Transport, ConcurrentSendersCompleteEveryRequestOnce) {
    tcp::acceptor acceptor = listen();
    auto receiver_sink = boost::make_shared<recording_sink>();
    receiver_sink->keep_bytes = false;
    auto t = make(sink);
    auto receiver = make(receiver_sink);
    receiver->attach(connect_pair(*t, acceptor));
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));

    const int threads = 4, per_thread = 400;
    static const char payload[100] = {};
    tally n;
    std::vector<std::thread> senders;
    for (int i = 0; i < threads; ++i)
        senders.emplace_back([&] {
            for (int k = 0; k < per_thread; ++k) {
                io::request_queue q = io::make_const_request(payload, sizeof payload, n.callback());
                t->send(q, n.sent_fn());
            }
        });
    for (std::thread& s : senders) s.join();
    const int total = threads * per_thread;
    ASSERT_TRUE(sink->wait([&] { return n.sent.load() == total; }));
    EXPECT_EQ(0, n.dropped.load());
    EXPECT_EQ(total, n.on_sent.load());
    ASSERT_TRUE(receiver_sink->wait([&] { return receiver_sink->received_bytes == total * sizeof payload; }));

    // Senders racing a disconnect: every callback still runs exactly once.
    std::vector<char> chunk(256 << 10, 'c');
    tally m;
    senders.clear();
    for (int i = 0; i < threads; ++i)
        senders.emplace_back([&] {
            for (int k = 0; k < 50; ++k) {
                io::request_queue q = io::make_const_request(chunk.data(), chunk.size(), m.callback());
                t->send(q, m.sent_fn());
                if (!q.empty()) q.clear();  // unbound by now: still ours to release
            }
        });
    t->disconnect();
    for (std::thread& s : senders) s.join();
    ASSERT_TRUE(sink->wait([&] { return m.sent.load() + m.dropped.load() == threads * 50; }));
    ASSERT_TRUE(sink->wait([&] { return m.sent.load() == m.on_sent.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(threads * 50, m.sent.load() + m.dropped.load());
    EXPECT_EQ(m.sent.load(), m.on_sent.load());
}

TEST_F(Transport, LargeTransferArrivesIntactAndInOrder) {
    // A real file, mapped, sent between generated chunks.
    const std::string path = dir.path("payload.bin");
    std::string file_bytes(8 << 20, '\0');
    for (std::size_t i = 0; i < file_bytes.size(); ++i) file_bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::ofstream(path, std::ios::binary) << file_bytes;
    auto mapped = boost::make_shared<boost::iostreams::mapped_file>(path, boost::iostreams::mapped_file::readonly);

    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = 65536;
    tcp::acceptor acceptor = listen();
    auto receiver_sink = boost::make_shared<recording_sink>();
    receiver_sink->keep_bytes = false;
    auto t = make(sink, options);
    auto receiver = make(receiver_sink, options);
    receiver->attach(connect_pair(*t, acceptor));

    // Each step, sent once the previous one is: the mapped file, or a varying
    // generated chunk plus a small const tail.
    md5_t digest;
    std::size_t total = 0;
    std::atomic<int> done_steps{0};
    tally n;
    const int steps = 45;
    std::function<void()> next = [&] {
        const int i = done_steps.load();
        if (i == steps) return;
        static const char tail[] = "--tail--";
        io::request_queue q;
        if (i % 3 == 0) {
            q = io::make_mapped_file_request(mapped, n.callback());
        } else {
            std::vector<char> chunk((5 << 20) + i * 4097, static_cast<char>(i));
            chunk[i] = 'z';
            q = io::make_cloned_request(chunk.data(), chunk.size(), n.callback());
            q.push_back(io::make_const_request(tail, 8, n.callback()));
        }
        for (io::request_queue::request* r = q.front(); r; r = r->next()) {
            digest.update(r->const_buffer().size(), r->const_buffer().data());
            total += r->const_buffer().size();
        }
        // Counted only now: the last step's digest must be complete once the count is seen.
        done_steps.store(i + 1);
        t->send(q, next);
    };
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    next();
    ASSERT_TRUE(sink->wait([&] { return done_steps.load() == steps; }, 120));
    ASSERT_TRUE(receiver_sink->wait([&] { return receiver_sink->received_bytes == total; }, 120));
    digest.final();
    receiver_sink->digest.final();
    EXPECT_STREQ(digest.hex(), receiver_sink->digest.hex());
    EXPECT_EQ(0, n.dropped.load());
    EXPECT_GT(total, std::size_t(256) << 20);
}

}  // namespace
