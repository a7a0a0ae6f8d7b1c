// The stream transport on loopback and local sockets. Large transfers through it are
// checked by the transformation layer's tests.
#include "io/transport_layer.h"

#include <memory>
#include <stdexcept>

#include <boost/asio/write.hpp>

#include "io/pool.h"
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
    void on_read_end() override {
        note([&] {
            ++read_ends;
            received_at_end = received.size();
        });
    }
    void on_data_arrived(io::request_queue& data) override {
        std::function<void(io::request_queue&)> hook;
        note([&] { hook = data_hook; });
        if (hook) hook(data);
        note([&] { received += io_test::bytes_of(data); });
    }
    /// `received` read under the lock.
    std::string text() {
        std::lock_guard<std::mutex> g(mutex);
        return received;
    }
    /// After a pause that leaves room for a wrong late report, the counts must be these.
    void expect_settled(int disconnect_count, std::size_t connect_count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> g(mutex);
        EXPECT_EQ(disconnect_count, disconnects);
        EXPECT_EQ(connect_count, connects.size());
    }
    std::vector<error_code> connects;
    int disconnects = 0, read_ends = 0;
    std::string received;
    std::size_t received_at_end = 0;
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
    boost::shared_ptr<io::transport_layer> make(const boost::shared_ptr<recording_sink>& s,
                                                io::proto::text_protocol_layer_options options = {}) {
        auto t = io::transport_layer::create(pool.get_io_service(), options);
        t->set_events(s);
        return t;
    }
    /// A listener on the pool's service; accepting blocks the test thread.
    tcp::acceptor listen() {
        return tcp::acceptor(pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    }
    /// Connects `t` to `acceptor` and returns the accepted peer socket.
    boost::shared_ptr<tcp::socket> connect_pair(io::transport_layer& t, tcp::acceptor& acceptor) {
        t.connect(acceptor.local_endpoint());
        auto peer = boost::make_shared<tcp::socket>(pool.get_io_service());
        acceptor.accept(*peer);
        return peer;
    }
    /// A connected transport whose connect has been reported, and its peer.
    std::pair<boost::shared_ptr<io::transport_layer>, boost::shared_ptr<tcp::socket>> connected(
        tcp::acceptor& acceptor, io::proto::text_protocol_layer_options options = {}) {
        auto t = make(sink, options);
        auto peer = connect_pair(*t, acceptor);
        EXPECT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
        return {t, peer};
    }
    static std::string tcp_name(const tcp::acceptor& a) {
        return "tcp/127.0.0.1:" + std::to_string(a.local_endpoint().port());
    }
    std::size_t logged(const std::string& name, const std::string& text) {
        return log.count("[Layer/Transport] " + name + ": " + text);
    }
    io_test::log_capture log;  // first: outlives the pool's last lines
    io_test::temp_dir dir;
    io::pool pool{2, "thr"};
    boost::shared_ptr<recording_sink> sink = boost::make_shared<recording_sink>();
};

// A send on a layer never connected is told false at once, as the
// transformation layer's tests show.
TEST_F(Transport, UnboundFacadeIsNamedSoAndAZeroReadBufferIsRefused) {
    EXPECT_EQ("<unbounded>", make(sink)->name());
    io::proto::text_protocol_layer_options no_buffer;
    no_buffer.read_buffer_size = 0;
    EXPECT_THROW(io::transport_layer::create(pool.get_io_service(), no_buffer), d_exception_t_shell_t);
}

TEST_F(Transport, ConnectSendReceiveAndPeerClose) {
    tcp::acceptor acceptor = listen();
    auto tp = connected(acceptor);
    auto t = tp.first;
    EXPECT_FALSE(sink->connects[0]);
    const std::string name = tcp_name(acceptor);
    EXPECT_EQ(name, t->name());
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
    EXPECT_EQ("one,two,three", io_test::read_exactly(*tp.second, 13));
    boost::asio::write(*tp.second, boost::asio::buffer("hello", 5));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "hello" && on_sent.load() == 1; }));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    tp.second->close();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ("<unbounded>", t->name());
    t->disconnect();
    t.reset();
    sink->expect_settled(1, 1);
}

TEST_F(Transport, FailedConnectsReportOnceAndNeverDisconnect) {
    tcp::endpoint refused = listen().local_endpoint();  // closed at once
    auto t = make(sink);
    t->connect(refused);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    EXPECT_EQ(boost::asio::error::connection_refused, sink->connects[0]);
    const std::string name = "tcp/127.0.0.1:" + std::to_string(refused.port());
    EXPECT_EQ(name, t->name());
    t->disconnect();
    // No AF_IPX here: opening the socket fails and is reported like any failed connect.
    t->connect(io::detail::ipx::spx::endpoint());
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2; }));
    EXPECT_EQ(boost::asio::error::address_family_not_supported, sink->connects[1]);
    EXPECT_EQ("spx/00000000.000000000000:" + std::to_string(io::detail::ipx::default_port), t->name());
    t.reset();
    sink->expect_settled(0, 2);
}

TEST_F(Transport, AttachNamesThePeer) {
    tcp::acceptor acceptor = listen();
    tcp::socket client(pool.get_io_service());
    client.connect(acceptor.local_endpoint());
    auto accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
    acceptor.accept(*accepted);
    auto t = make(sink);
    t->attach(accepted);
    EXPECT_EQ("tcp/127.0.0.1:" + std::to_string(client.local_endpoint().port()), t->name());
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
    EXPECT_THROW(t->attach(boost::make_shared<tcp::socket>(pool.get_io_service())), boost::system::system_error);
    EXPECT_EQ("", t->name());
    // One per attached local connection, each replaced or closed once.
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 3; }));
}

TEST_F(Transport, IdleTimeoutClosesOnlyASilentConnectionAndIsArmedOrStoppedWhenSet) {
    io::proto::text_protocol_layer_options options;
    options.idle_timeout = boost::posix_time::milliseconds(800);
    tcp::acceptor acceptor = listen();
    const std::string name = tcp_name(acceptor);
    auto tp = connected(acceptor, options);
    // Receiving keeps it alive well beyond the timeout; sending alone would not.
    for (int i = 0; i < 25; ++i) {
        boost::asio::write(*tp.second, boost::asio::buffer("x", 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(sink->wait([&] { return sink->disconnects == 0 && sink->received.size() == 25; }, 0));
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ("<unbounded>", tp.first->name());
    // Finite, then +infinity: the running timer is stopped.
    auto peer = connect_pair(*tp.first, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2; }));
    tp.first->set_idle_timeout(boost::posix_time::seconds(1));
    tp.first->set_idle_timeout(boost::posix_time::pos_infin);
    std::this_thread::sleep_for(std::chrono::milliseconds(1700));
    sink->expect_settled(1, 2);
    // Finite while the stored value is +infinity arms it at once.
    tp.first->set_idle_timeout(boost::posix_time::milliseconds(200));
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
    // The stored value is kept for the next connection.
    auto peer3 = connect_pair(*tp.first, acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 3 && sink->connects.size() == 3; }));
    EXPECT_EQ(3u, logged(name, "Timeout occurred, disconnect"));
}

TEST_F(Transport, IdleExpiryBeforeTheConnectCompletesReportsTheAttempt) {
    // A listener whose accept queue is full drops further handshakes, so the
    // next connect stays pending.
    tcp::acceptor acceptor(pool.get_io_service());
    acceptor.open(tcp::v4());
    acceptor.bind(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    acceptor.listen(0);
    const tcp::endpoint target = acceptor.local_endpoint();
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<tcp::socket>(pool.get_io_service(), tcp::v4()));
        fillers.back()->non_blocking(true);
        // Plain connect: asio's own would wait for the handshake.
        (void)::connect(fillers.back()->native_handle(), target.data(), static_cast<socklen_t>(target.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t = make(sink);
    t->connect(target);
    // Stored +infinity: a finite value arms the timer at once, connected or not.
    t->set_idle_timeout(boost::posix_time::milliseconds(300));
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    if (!sink->connects[0]) GTEST_SKIP() << "the kernel completed the handshake anyway";
    EXPECT_EQ(boost::asio::error::timed_out, sink->connects[0]);
    EXPECT_EQ("<unbounded>", t->name());
    sink->expect_settled(0, 1);
}

TEST_F(Transport, ConnectAgainWhileConnectedEndsTheOldConnectionFirst) {
    tcp::acceptor first = listen(), second = listen();
    auto tp = connected(first);
    auto t = tp.first;
    auto peer2 = connect_pair(*t, second);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 2 && sink->disconnects == 1; }));
    // The posted disconnect may run before the released connection logs its last line.
    EXPECT_TRUE(sink->wait([&] { return logged(tcp_name(first), "dead") >= 1; }));
    EXPECT_EQ(1u, logged(tcp_name(first), "dead"));
    EXPECT_EQ(tcp_name(second), t->name());
    // The old peer sees the close; the new one carries data.
    char c;
    error_code ec;
    tp.second->read_some(boost::asio::buffer(&c, 1), ec);
    EXPECT_EQ(boost::asio::error::eof, ec);
    boost::asio::write(*peer2, boost::asio::buffer("new", 3));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "new"; }));
    t->disconnect();
    t->disconnect();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
    sink->expect_settled(2, 2);
}

// A sink that throws closes its connection; here it has reconnected first.
TEST_F(Transport, ThrowingSinkClosesOnlyItsOwnConnectionEvenAfterReconnecting) {
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
    EXPECT_EQ(tcp_name(second), t->name());
    boost::asio::write(*peer2, boost::asio::buffer("alive", 5));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "alive"; }));
    sink->expect_settled(1, 2);
    // The pool thread reports once the exception has left the handler.
    EXPECT_TRUE(sink->wait([&] { return log.count("  after reconnect") == 1; }));
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
        EXPECT_EQ(0, n.sent.load() + n.on_sent.load());
    }
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 2; }));
}

TEST_F(Transport, ConcurrentSendersCompleteEveryRequestOnce) {
    tcp::acceptor acceptor = listen();
    auto receiver_sink = boost::make_shared<recording_sink>();
    auto t = make(sink);
    auto receiver = make(receiver_sink);
    receiver->attach(connect_pair(*t, acceptor));
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    // Each round: four threads send; in the second a disconnect races them,
    // and every callback still runs exactly once.
    const int threads = 4;
    static const char payload[100] = {};
    std::vector<char> chunk(256 << 10, 'c');
    for (bool racing : {false, true}) {
        const int per_thread = racing ? 50 : 400, total = threads * per_thread;
        const std::size_t size = racing ? chunk.size() : sizeof payload;
        tally n;
        std::vector<std::thread> senders;
        for (int i = 0; i < threads; ++i)
            senders.emplace_back([&] {
                for (int k = 0; k < per_thread; ++k) {
                    io::request_queue q = io::make_const_request(racing ? chunk.data() : payload, size, n.callback());
                    t->send(q, n.sent_fn());
                    if (!q.empty()) q.clear();  // unbound by now: still ours to release
                }
            });
        if (racing) t->disconnect();
        for (std::thread& s : senders) s.join();
        ASSERT_TRUE(sink->wait(
            [&] { return n.sent.load() + n.dropped.load() == total && n.sent.load() == n.on_sent.load(); }));
        if (!racing) {
            EXPECT_EQ(0, n.dropped.load());
            ASSERT_TRUE(receiver_sink->wait([&] { return receiver_sink->received.size() == total * size; }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(total, n.sent.load() + n.dropped.load());
        EXPECT_EQ(n.sent.load(), n.on_sent.load());
    }
}

// Reading held back for several reasons goes on only once every one is
// cleared; a read already under way still delivers; the bytes sent meanwhile
// wait in the socket and arrive whole and in order; the idle timer does not
// count silence we caused; a body read through ignores only the backlog reasons.
TEST_F(Transport, PausedReadingWaitsForEveryReasonAndLosesNothing) {
    tcp::acceptor acceptor = listen();
    auto tp = connected(acceptor);
    auto t = tp.first;
    auto& peer = *tp.second;
    t->set_idle_timeout(boost::posix_time::milliseconds(60));
    t->pause_reading(io::pause_own_backlog);
    t->pause_reading(io::pause_body_budget);
    EXPECT_TRUE(t->reading_paused());
    EXPECT_FALSE(t->reading_paused(io::pause_own_backlog | io::pause_body_budget));
    // The read started at connect is under way and delivers this.
    boost::asio::write(peer, boost::asio::buffer("one", 3));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "one"; }));
    boost::asio::write(peer, boost::asio::buffer("two", 3));
    t->resume_reading(io::pause_own_backlog);
    // Well past the idle timeout: held back by us, the connection stays.
    sink->expect_settled(0, 1);
    EXPECT_EQ("one", sink->received);
    // Read through a body, the backlog does not hold reading back; the budget does.
    t->pause_reading(io::pause_peer_backlog);
    t->read_through_body(true);
    EXPECT_TRUE(t->reading_paused());
    t->resume_reading(io::pause_body_budget);
    ASSERT_TRUE(sink->wait([&] { return sink->received == "onetwo"; }));
    t->read_through_body(false);
    boost::asio::write(peer, boost::asio::buffer("three", 5));
    ASSERT_TRUE(sink->wait([&] { return sink->received == "onetwothree"; }));
    boost::asio::write(peer, boost::asio::buffer("four", 4));
    sink->expect_settled(0, 1);
    t->resume_reading(io::pause_peer_backlog);
    ASSERT_TRUE(sink->wait([&] { return sink->received == "onetwothreefour"; }));
    // Once reading goes on, silence is idleness again.
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));
    EXPECT_EQ(1u, logged(tcp_name(acceptor), "Timeout occurred, disconnect"));
}

/// The peer's reads give up after ten seconds instead of hanging the run.
void bound_reads(tcp::socket& peer) {
    timeval limit{10, 0};
    setsockopt(peer.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

/// True when the peer's next read finds the end of stream.
bool reads_end(tcp::socket& peer) {
    char c;
    error_code ec;
    return peer.read_some(boost::asio::buffer(&c, 1), ec) == 0 && ec == boost::asio::error::eof;
}

// Passing half-closes on, the peer's end of stream comes once, behind every
// byte sent before it, and the connection stays for writing until our own
// end; by default the end of stream ends the connection.
TEST_F(Transport, HalfClosedPeerIsReadToItsEndAndTheConnectionStaysForWriting) {
    io::proto::text_protocol_layer_options options;
    options.half_close = true;
    tcp::acceptor acceptor = listen();
    auto tp = connected(acceptor, options);
    auto t = tp.first;
    tcp::socket& peer = *tp.second;
    bound_reads(peer);
    const std::string sent = io_test::sample(300 << 10, 1);
    boost::asio::write(peer, boost::asio::buffer(sent));
    peer.shutdown(tcp::socket::shutdown_send);
    ASSERT_TRUE(sink->wait([&] { return sink->read_ends == 1; }));
    EXPECT_EQ(sent.size(), sink->received_at_end);
    EXPECT_TRUE(sink->text() == sent);
    tally n;
    io::request_queue q = io::make_const_request("after the end", n.callback());
    t->send(q, n.sent_fn());
    EXPECT_EQ("after the end", io_test::read_exactly(peer, 13));
    ASSERT_TRUE(sink->wait([&] { return n.on_sent.load() == 1; }));
    t->shutdown_send();
    EXPECT_TRUE(reads_end(peer));
    sink->expect_settled(0, 1);
    EXPECT_EQ(1, sink->read_ends);
    t->disconnect();
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1; }));

    auto plain_sink = boost::make_shared<recording_sink>();
    auto plain = make(plain_sink);
    auto peer2 = connect_pair(*plain, acceptor);
    bound_reads(*peer2);
    boost::asio::write(*peer2, boost::asio::buffer("last", 4));
    peer2->shutdown(tcp::socket::shutdown_send);
    ASSERT_TRUE(plain_sink->wait([&] { return plain_sink->disconnects == 1; }));
    EXPECT_EQ("last", plain_sink->text());
    EXPECT_EQ(0, plain_sink->read_ends);
    EXPECT_TRUE(reads_end(*peer2));
}

// Held back by a backlog, a connection passing half-closes on reads nothing
// while its peer still sends, yet sees the peer end (and then reads the rest
// whatever the backlog) or reset it.
TEST_F(Transport, HeldBackReadingStillSeesThePeerEndOrReset) {
    io::proto::text_protocol_layer_options options;
    options.half_close = true;
    tcp::acceptor acceptor = listen();
    const std::string rest = io_test::sample(100 << 10, 2);
    for (bool reset : {false, true}) {
        auto s = boost::make_shared<recording_sink>();
        auto t = make(s, options);
        auto peer = connect_pair(*t, acceptor);
        bound_reads(*peer);
        ASSERT_TRUE(s->wait([&] { return s->connects.size() == 1; }));
        t->pause_reading(io::pause_own_backlog);
        // The read under way at the pause delivers this one.
        boost::asio::write(*peer, boost::asio::buffer("first", 5));
        ASSERT_TRUE(s->wait([&] { return s->received == "first"; }));
        boost::asio::write(*peer, boost::asio::buffer(rest));
        // Several looks at a peer that is still there.
        std::this_thread::sleep_for(3 * std::chrono::milliseconds(
                                            io::transport_layer::peer_watch_interval.total_milliseconds()));
        EXPECT_EQ("first", s->text()) << reset;
        if (!reset) {
            peer->shutdown(tcp::socket::shutdown_send);
            ASSERT_TRUE(s->wait([&] { return s->read_ends == 1; }));
            EXPECT_EQ(5 + rest.size(), s->received_at_end);
            EXPECT_TRUE(s->text() == "first" + rest);
            EXPECT_FALSE(t->peer_reset());
            io::request_queue q = io::make_const_request("bye");
            t->send(q, boost::function<void()>());
            EXPECT_EQ("bye", io_test::read_exactly(*peer, 3));
            s->expect_settled(0, 1);
        } else {
            peer->set_option(boost::asio::socket_base::linger(true, 0));
            peer->close();
            ASSERT_TRUE(s->wait([&] { return s->disconnects == 1; }));
            EXPECT_TRUE(t->peer_reset());
            EXPECT_EQ(0, s->read_ends);
        }
        t->disconnect();
    }
}

// A peer that closes in order while its reading is held back, and whose
// system then refuses a write (a reset behind its end of stream), still has
// everything it sent read and its end reported; it is no reset. A reset
// before the peer's end is one.
TEST_F(Transport, WriteRefusedAfterThePeersOrderlyCloseStillDeliversWhatItSent) {
    io::proto::text_protocol_layer_options options;
    options.half_close = true;
    tcp::acceptor acceptor = listen();
    const std::string rest = io_test::sample(100 << 10, 3);
    auto s = boost::make_shared<recording_sink>();
    auto t = make(s, options);
    auto peer = connect_pair(*t, acceptor);
    ASSERT_TRUE(s->wait([&] { return s->connects.size() == 1; }));
    t->pause_reading(io::pause_peer_backlog);
    boost::asio::write(*peer, boost::asio::buffer("first", 5));
    ASSERT_TRUE(s->wait([&] { return s->received == "first"; }));
    boost::asio::write(*peer, boost::asio::buffer(rest));
    peer->close();
    // Written at once, well before the watch looks: the first write meets
    // the peer's reset, a later one fails.
    for (int i = 0; i < 20 && !t->sending_refused(); ++i) {
        io::request_queue q = io::make_const_request("late");
        t->send(q, boost::function<void()>());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(t->sending_refused());
    ASSERT_TRUE(s->wait([&] { return s->read_ends == 1; }));
    EXPECT_EQ(5 + rest.size(), s->received_at_end);
    EXPECT_TRUE(s->text() == "first" + rest);
    EXPECT_FALSE(t->peer_reset());
    t->disconnect();
    ASSERT_TRUE(s->wait([&] { return s->disconnects == 1; }));
}

// A write the peer takes nothing of for the limit ends its connection; one
// the peer takes slowly but steadily does not, however long it lasts.
TEST_F(Transport, WriteStallLimitClosesOnlyAConnectionWhosePeerTakesNothing) {
    struct restore {
        boost::posix_time::time_duration saved = io::transport_layer::write_stall_limit;
        ~restore() { io::transport_layer::write_stall_limit = saved; }
    } restore_limit;
    io::transport_layer::write_stall_limit = boost::posix_time::seconds(1);
    // Far more than the socket buffers hold: both writes stay under way.
    static const std::vector<char> big(64 << 20, 'w');
    tcp::acceptor stalled_acceptor = listen(), steady_acceptor = listen();
    auto steady_sink = boost::make_shared<recording_sink>();
    auto stalled = make(sink), steady = make(steady_sink);
    auto stalled_peer = connect_pair(*stalled, stalled_acceptor);
    ASSERT_TRUE(sink->wait([&] { return sink->connects.size() == 1; }));
    // Small buffers on both ends, so that what the steady peer takes soon
    // makes room for the next write step: the kernel lets a writer on only
    // once a good part of its send buffer is free.
    tcp::socket steady_peer(pool.get_io_service());
    steady_peer.open(tcp::v4());
    steady_peer.set_option(boost::asio::socket_base::receive_buffer_size(32 << 10));
    steady_peer.connect(steady_acceptor.local_endpoint());
    bound_reads(steady_peer);
    auto steady_socket = boost::make_shared<tcp::socket>(pool.get_io_service());
    steady_acceptor.accept(*steady_socket);
    steady_socket->set_option(boost::asio::socket_base::send_buffer_size(32 << 10));
    steady->attach(steady_socket);
    tally stalled_n, steady_n;
    io::request_queue q1 = io::make_const_request(big.data(), big.size(), stalled_n.callback());
    io::request_queue q2 = io::make_const_request(big.data(), big.size(), steady_n.callback());
    stalled->send(q1, stalled_n.sent_fn());
    steady->send(q2, steady_n.sent_fn());
    // A chunk every 50 ms for more than twice the limit.
    std::size_t taken = 0;
    for (int i = 0; i < 45; ++i) {
        char chunk[16 << 10];
        error_code ec;
        taken += steady_peer.read_some(boost::asio::buffer(chunk), ec);
        ASSERT_FALSE(ec) << ec.message();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(taken, 0u);
    ASSERT_TRUE(sink->wait([&] { return sink->disconnects == 1 && stalled_n.dropped.load() == 1; }));
    const std::string stall_line = log.last_match(
        "\\[Layer/Transport\\] " + tcp_name(stalled_acceptor) + ": Peer took no byte for (\\d+) ms, disconnect");
    ASSERT_FALSE(stall_line.empty());
    EXPECT_GE(std::stoll(stall_line), 1000);
    steady_sink->expect_settled(0, 0);
    EXPECT_EQ(0, steady_n.dropped.load() + steady_n.sent.load());
    EXPECT_EQ("", log.last_match("\\[Layer/Transport\\] tcp/127\\.0\\.0\\.1:" +
                                 std::to_string(steady_peer.local_endpoint().port()) + ": (Peer took no byte).*"));
    steady->disconnect();
    ASSERT_TRUE(steady_sink->wait([&] { return steady_n.dropped.load() == 1; }));
}

}  // namespace
