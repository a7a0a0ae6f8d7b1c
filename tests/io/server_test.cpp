// Listening servers on real loopback and local sockets: accepting, socket files,
// failures at creation and start, stopping while connections arrive, and
// accepting again after descriptors ran out.
#include "io/server.h"

#include <sys/resource.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include <boost/asio/deadline_timer.hpp>
#include <boost/system/system_error.hpp>

#include "io/discovery/local_address.h"
#include "io/pool.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

using io_test::wait_until;

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using local_stream = asio::local::stream_protocol;
using local_dgram = asio::local::datagram_protocol;

io::server_spec parse(asio::io_service& service, const std::string& text) {
    return io::parse_server_spec(service, lstr_t(text));
}

/// The port a started TCP server shows in its "Started listen" line.
unsigned short started_port(const io_test::log_capture& log) {
    return static_cast<unsigned short>(std::atoi(log.last_match(R"(^\[Server\] .*:(\d+): Started listen$)").c_str()));
}

/// Collects what a server hands over, from any pool thread.
struct collector : io_test::waitable {
    std::vector<io::accepted_socket> sockets;
    io::server::callback_type callback() {
        return [this](const io::accepted_socket& s) { note([&] { sockets.push_back(s); }); };
    }
    std::size_t size() {
        std::lock_guard<std::mutex> g(mutex);
        return sockets.size();
    }
    template <class Socket>
    boost::shared_ptr<Socket> at(std::size_t i) {
        std::lock_guard<std::mutex> g(mutex);
        return boost::get<boost::shared_ptr<Socket>>(sockets.at(i));
    }
};

tcp::endpoint loopback(unsigned short port) { return tcp::endpoint(asio::ip::address_v4::loopback(), port); }

class Server : public ::testing::Test {
protected:
    io_test::log_capture log;
    io::pool pool{2, "srv"};
    asio::io_service client_service;
    collector got;
    boost::shared_ptr<io::server> make(const std::string& spec) {
        return io::server::create(pool.get_io_service(), parse(pool.get_io_service(), spec), false);
    }
    /// A TCP server on an IPv4 loopback port of its own, started into `got` (or `callback`).
    boost::shared_ptr<io::server> started(unsigned short& port,
                                          io::server::callback_type callback = io::server::callback_type()) {
        boost::shared_ptr<io::server> server = make("ip(127.0.0.1),port(0)");
        server->start(callback.empty() ? got.callback() : callback);
        port = started_port(log);
        EXPECT_NE(0, port);
        return server;
    }
};

TEST_F(Server, AcceptsOnIpv4LoopbackCountsAndHandsOverConnectedSockets) {
    unsigned short port;
    boost::shared_ptr<io::server> server = started(port);
    EXPECT_EQ(0u, server->discovery_bytes_sent() + server->discovery_bytes_received());
    std::vector<tcp::socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(client_service);
        clients.back().connect(loopback(port));
    }
    ASSERT_TRUE(wait_until([&] { return got.size() == 3; }));
    EXPECT_EQ(3u, server->accepted_connections());
    // The handed-over socket is the peer of one of the clients.
    const tcp::endpoint remote = got.at<tcp::socket>(0)->remote_endpoint();
    EXPECT_EQ(1, std::count_if(clients.begin(), clients.end(), [&](tcp::socket& c) { return c.local_endpoint() == remote; }));
    server.reset();
    // The last reference may be a completion's own, released on its pool thread.
    ASSERT_TRUE(wait_until([&] { return log.count("[Server] 127.0.0.1:" + std::to_string(port) + ": dead") == 1; }));
    // The pending accept completes cancelled against a dead server: no error lines.
    for (const std::string& m : log.messages()) EXPECT_EQ(std::string::npos, m.find("Accept operation failed"));
    boost::system::error_code ec;
    tcp::socket late(client_service);
    late.connect(loopback(port), ec);
    EXPECT_EQ(asio::error::connection_refused, ec);
}

TEST_F(Server, AcceptsOnIpv6Loopback) {
    boost::shared_ptr<io::server> server;
    try {
        server = make("ip([::1]),port(0)");
    } catch (const boost::system::system_error& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    server->start(got.callback());
    unsigned short port = started_port(log);
    ASSERT_NE(0, port);
    tcp::socket client(client_service);
    client.connect(tcp::endpoint(asio::ip::address_v6::loopback(), port));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    EXPECT_EQ(1u, server->accepted_connections());
    EXPECT_TRUE(got.at<tcp::socket>(0)->local_endpoint().address().is_v6());
}

// A taken port, an empty callback and a family the kernel lacks: each is
// reported to the caller, starts nothing and leaves the running server serving.
TEST_F(Server, FailedCreationOrStartIsReportedAndDisturbsNoRunningServer) {
    unsigned short port;
    boost::shared_ptr<io::server> first = started(port);
    try {
        make("ip(127.0.0.1),port(" + std::to_string(port) + ")");
        FAIL() << "second bind succeeded";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(asio::error::address_in_use, e.code());
    }
    EXPECT_THROW(make("ip(127.0.0.1),port(0)")->start(io::server::callback_type()), BUG_exception_shell_t);
    try {
        make("ipx(),discovery()");  // succeeds only where the kernel supports IPX
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(asio::error::address_family_not_supported, e.code());
    }
    std::size_t listening = 0;
    for (const std::string& m : log.messages()) listening += m.find("Started listen") != std::string::npos;
    EXPECT_EQ(1u, listening);
    tcp::socket client(client_service);
    client.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
}

TEST_F(Server, CallbackThatThrowsCostsOnlyItsOwnConnection) {
    std::atomic<int> calls{0};
    unsigned short port;
    boost::shared_ptr<io::server> server = started(port, [&](const io::accepted_socket&) {
        if (calls++ == 0) throw std::runtime_error("listener refused");
    });
    tcp::socket first(client_service), second(client_service);
    first.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return calls == 1; }));
    second.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return calls == 2; }));
    EXPECT_EQ(2u, server->accepted_connections());
}

TEST_F(Server, LocalSocketReplacesOnlyAStaleFileAndItsFileLivesAsLongAsTheServer) {
    io_test::temp_dir dir;
    std::string stale = dir.path("stale"), plain = dir.path("plain"), live = dir.path("live");
    { local_stream::acceptor gone(client_service, local_stream::endpoint(stale)); }
    ASSERT_TRUE(io_test::path_exists(stale));
    boost::shared_ptr<io::server> server = make("unix(" + stale + ")");
    server->start(got.callback());
    local_stream::socket client(client_service);
    client.connect(local_stream::endpoint(stale));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    EXPECT_EQ(2, got.sockets[0].which());
    server.reset();
    EXPECT_TRUE(wait_until([&] { return !io_test::path_exists(stale); }));
    std::ofstream(plain) << "keep me";
    try {
        make("unix(" + plain + ")");
        FAIL() << "a plain file was taken over";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(asio::error::address_in_use, e.code());
    }
    std::string text;
    std::getline(std::ifstream(plain), text);
    EXPECT_EQ("keep me", text);
    // Somebody listens on it: the file stays theirs, also after our failure.
    local_stream::acceptor owner(client_service, local_stream::endpoint(live));
    EXPECT_THROW(make("unix(" + live + ")"), boost::system::system_error);
    local_stream::socket probe(client_service);
    EXPECT_NO_THROW(probe.connect(local_stream::endpoint(live)));
}

TEST_F(Server, LocalDiscoveryOnAnyOtherPathThanTheStreamPathOrTooLongAPathIsRefusedNamingIt) {
    io_test::temp_dir dir;
    const std::string path = dir.path("both"), other = dir.path("other");
    const std::string too_long =
        dir.path(std::string(io::discovery::max_local_discovery_path + 1 - dir.path("").size(), 'l'));
    for (const auto& row : {std::make_pair("unix(" + path + "),discovery(" + other + ")", other),
                            std::make_pair("unix(" + too_long + "),discovery()", too_long)}) {
        try {
            make(row.first);
            ADD_FAILURE() << row.first << " accepted";
        } catch (const io_error_exception_shell_t& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(row.second)) << e.what();
        }
    }
    EXPECT_FALSE(io_test::path_exists(other));
}

// A reload stops the old server while an accept completion on a pool thread
// still holds it: the endpoint must be free for the next server at once.
TEST_F(Server, StopFreesTheEndpointAtOnceWhileACompletionStillHoldsTheServer) {
    std::promise<void> entered, leave;
    std::shared_future<void> may_leave = leave.get_future().share();
    // Whatever fails below, the blocked completion is let go before the pool joins.
    std::shared_ptr<void> release(nullptr, [&](void*) { leave.set_value(); });
    std::atomic<int> calls{0};
    // Address reuse as the listener uses it: accepted connections keep the port
    // and inherit the option.
    auto reusing = [&](const std::string& spec) {
        return io::server::create(pool.get_io_service(), parse(pool.get_io_service(), spec), true);
    };
    boost::shared_ptr<io::server> old = reusing("ip(127.0.0.1),port(0)");
    old->start([&](const io::accepted_socket&) {
        if (calls++ == 0) {
            entered.set_value();
            may_leave.wait();
        }
    });
    const unsigned short port = started_port(log);
    tcp::socket first(client_service);
    first.connect(loopback(port));
    ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(std::chrono::seconds(10)));
    old->stop();
    old->stop();  // twice is once
    old.reset();  // the completion's own reference is the last now
    boost::shared_ptr<io::server> next = reusing("ip(127.0.0.1),port(" + std::to_string(port) + ")");
    next->start(got.callback());
    tcp::socket second(client_service);
    second.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    release.reset();
    ASSERT_TRUE(wait_until([&] { return log.count("[Server] 127.0.0.1:" + std::to_string(port) + ": dead") == 1; }));
    EXPECT_EQ(1, calls.load());
    EXPECT_EQ(1u, log.count("[Server] 127.0.0.1:" + std::to_string(port) + ": Stopped listen"));
    // The accept aborted by the stop is no failure.
    for (const std::string& m : log.messages()) EXPECT_EQ(std::string::npos, m.find("Accept operation failed"));
}

// Connections keep arriving on several pool threads while another thread
// stops the server: once stop has returned, no connection it had not handed
// over already may reach the callback (an accept that was past its check
// would hand its connection over late). A handover is announced in the log
// before it is let go, so what stop has waited for is what the log holds when
// it returns; a handing thread may still be on its way into the callback
// then, which stop cannot wait for without waiting for callbacks.
TEST_F(Server, NoConnectionReachesTheCallbackOnceStopHasReturned) {
    struct record {
        std::atomic<int> handed{0};
    };
    io::pool threads{4, "race"};
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto seen = std::make_shared<record>();
        boost::shared_ptr<io::server> server = io::server::create(
            threads.get_io_service(), parse(threads.get_io_service(), "ip(127.0.0.1),port(0)"), false);
        server->start([seen](const io::accepted_socket&) { ++seen->handed; });
        const unsigned short port = started_port(log);
        const std::string dead = "[Server] 127.0.0.1:" + std::to_string(port) + ": dead";
        const std::string announced = "[Server] 127.0.0.1:" + std::to_string(port) + ": New connection";
        const std::size_t dead_before = log.count(dead);
        std::atomic<bool> done{false};
        std::vector<std::thread> clients;
        for (int i = 0; i < 3; ++i)
            clients.emplace_back([&] {
                // A connect whose SYN met a full accept queue is retried by the
                // kernel after a second: given up sooner (asio's own connect
                // would wait on), so the round ends soon.
                const timeval patience{0, 20000};
                const tcp::endpoint to = loopback(port);
                while (!done) {
                    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                    if (fd < 0) continue;
                    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                    (void)::connect(fd, to.data(), static_cast<socklen_t>(to.size()));
                    ::close(fd);
                }
            });
        EXPECT_TRUE(wait_until([&] { return seen->handed >= 20; }));
        server->stop();
        std::size_t handed_over = 0;
        for (const std::string& m : log.messages()) handed_over += m.compare(0, announced.size(), announced) == 0;
        done = true;
        for (std::thread& t : clients) t.join();
        server.reset();
        // Dead: no completion holds it any more, so nothing can come later.
        ASSERT_TRUE(wait_until([&] { return log.count(dead) > dead_before; }));
        EXPECT_LE(static_cast<std::size_t>(seen->handed.load()), handed_over);
    }
}

// Stop waits for handovers under way, never for a callback: one that stops
// its own server returns, and nothing is handed over after it.
TEST_F(Server, ACallbackMayStopItsOwnServer) {
    std::promise<void> stopped;
    std::atomic<int> calls{0};
    boost::weak_ptr<io::server> self;
    unsigned short port;
    boost::shared_ptr<io::server> server = started(port, [&](const io::accepted_socket&) {
        if (calls++ != 0) return;
        if (boost::shared_ptr<io::server> s = self.lock()) s->stop();
        stopped.set_value();
    });
    self = server;
    tcp::socket first(client_service);
    first.connect(loopback(port));
    ASSERT_EQ(std::future_status::ready, stopped.get_future().wait_for(std::chrono::seconds(10)));
    boost::system::error_code ec;
    tcp::socket late(client_service);
    late.connect(loopback(port), ec);
    EXPECT_EQ(asio::error::connection_refused, ec);
    EXPECT_EQ(1, calls.load());
}

TEST_F(Server, StopReleasesTheLocalSocketFileAndDiscoveryAddressForTheNextServer) {
    io_test::temp_dir dir;
    const std::string stream = dir.path("stream");
    const std::string spec = "unix(" + stream + "),discovery()";
    boost::shared_ptr<io::server> old = make(spec);
    old->start(got.callback());
    // A second holder, as a running completion would be.
    boost::shared_ptr<io::server> held = old;
    old->stop();
    EXPECT_FALSE(io_test::path_exists(stream));
    boost::shared_ptr<io::server> next = make(spec);
    next->start(got.callback());
    local_stream::socket client(client_service);
    client.connect(local_stream::endpoint(stream));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    // The stopped server's end must not take the new one's file or address.
    old.reset();
    held.reset();
    EXPECT_TRUE(io_test::path_exists(stream));
    local_dgram::socket probe(client_service, local_dgram());
    boost::system::error_code taken;
    probe.bind(io::discovery::local_discovery_address(stream), taken);
    EXPECT_EQ(asio::error::address_in_use, taken);
}

// An agent that resets before its connection is accepted: getpeername fails on
// the accepted socket. That is an ordinary end, not a pool thread failure.
TEST_F(Server, PeerThatResetBeforeTheAcceptIsDroppedQuietly) {
    unsigned short port;
    started(port).reset();  // only to learn a free port
    // Listening but not accepting yet: the handshakes complete in the kernel.
    boost::shared_ptr<io::server> server = io::server::create(
        pool.get_io_service(), parse(pool.get_io_service(), "ip(127.0.0.1),port(" + std::to_string(port) + ")"), true);
    tcp::socket gone(client_service);
    gone.connect(loopback(port));
    gone.set_option(asio::socket_base::linger(true, 0));
    gone.close();  // a reset, not a FIN
    server->start(got.callback());
    tcp::socket stays(client_service);
    stays.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    EXPECT_EQ(stays.local_endpoint(), got.at<tcp::socket>(0)->remote_endpoint());
    ASSERT_TRUE(wait_until([&] {
        return log.count("[Server] 127.0.0.1:" + std::to_string(port) +
                         ": Connection dropped, the peer has already gone: Transport endpoint is not connected") == 1;
    }));
    EXPECT_EQ(2u, server->accepted_connections());
    for (const std::string& m : log.messages()) EXPECT_EQ(std::string::npos, m.find("Thread failed"));
}

/// Reads the capture log through a descriptor opened in advance, so that it
/// can be searched while the process has no descriptor to spare.
class log_reader {
public:
    log_reader() {
        xlocker_t guard(if_logger_t::LogMutex);
        int writer = dynamic_cast<fd_logger_t&>(*if_logger_t::Log).fd;
        fd_ = ::open(("/proc/self/fd/" + std::to_string(writer)).c_str(), O_RDONLY);
    }
    ~log_reader() { ::close(fd_); }
    bool contains(const std::string& text) const {
        std::string all(1 << 20, '\0');
        ssize_t n = ::pread(fd_, &all[0], all.size(), 0);
        return n > 0 && all.substr(0, static_cast<std::size_t>(n)).find(text) != std::string::npos;
    }

private:
    int fd_;
};

TEST_F(Server, AcceptsAgainOnceDescriptorsAreFreeAfterRunningOut) {
    unsigned short port;
    boost::shared_ptr<io::server> server = started(port);
    log_reader reader;
    tcp::socket first(client_service), second(client_service);
    first.open(tcp::v4());
    // The undefined-behaviour checker validates a polymorphic call the first
    // time it meets a type, and that validation itself needs a descriptor: let
    // it meet the pool's timer queue before the descriptors run out.
    {
        asio::deadline_timer warm(pool.get_io_service());
        std::promise<void> fired;
        warm.expires_from_now(boost::posix_time::milliseconds(1));
        warm.async_wait([&](const boost::system::error_code&) { fired.set_value(); });
        ASSERT_EQ(std::future_status::ready, fired.get_future().wait_for(std::chrono::seconds(10)));
    }
    rlimit saved;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    int lowest_free = ::dup(0);
    ASSERT_LE(0, lowest_free);
    ::close(lowest_free);
    rlimit starved = saved;
    starved.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &starved));
    boost::system::error_code connect_error;
    first.connect(loopback(port), connect_error);
    std::string failed = "[Server] 127.0.0.1:" + std::to_string(port) +
                         ": Accept operation failed because of Too many open files";
    bool saw_failure = wait_until([&] { return reader.contains(failed); });
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
    ASSERT_FALSE(connect_error) << connect_error.message();
    ASSERT_TRUE(saw_failure);
    ASSERT_TRUE(wait_until([&] { return got.size() == 1; }));
    second.connect(loopback(port));
    ASSERT_TRUE(wait_until([&] { return got.size() == 2; }));
    EXPECT_EQ(2u, server->accepted_connections());
    EXPECT_EQ(0u, log.count("[Server] Abort future accept operations"));
}

}  // namespace
