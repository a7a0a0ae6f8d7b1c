// The server side's negotiation machine, driven by its events: transitions,
// the relay in force per state, and the downloads it runs one at a time over
// a real upstream connection on loopback.
#include "proxy/srv_side_machine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_download_ctx.h"
#include "io/pool.h"
#include "proxy/proxy_connection.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
typedef srv_side::layer_t layer_t;

/// What the machine did with downloads and relays, across threads.
struct journal_t {
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> g(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> g(mutex);
        return entries;
    }
    void clear() {
        std::lock_guard<std::mutex> g(mutex);
        entries.clear();
    }
    std::mutex mutex;
    std::vector<std::string> entries;
};

/// A download whose request and end are journalled.
class probe_download : public srv_side::download_context_t {
public:
    probe_download(const std::string& repo, journal_t& journal)
        : download_context_t(cache::repo_key_t{repo, 7, "win-nt-32"}, std::vector<char>{'1'}), journal_(journal) {}
    io::request_queue make_request() override {
        journal_.add("send " + key_.name);
        return download_context_t::make_request();
    }
    void done(bool completed) override { journal_.add("done " + key_.name + (completed ? " true" : " false")); }

private:
    journal_t& journal_;
};

std::string state_of(const layer_t::machine_t& m) {
    if (m.terminated()) return "terminated";
    if (m.state_downcast<const layer_t::st_wait_authorize_t*>()) return "wait_authorize";
    if (m.state_downcast<const layer_t::st_ready_init_t*>()) return "ready_init";
    if (m.state_downcast<const layer_t::st_ready_raw_t*>()) return "ready_raw";
    if (m.state_downcast<const layer_t::st_ready_t*>()) return "ready";
    if (m.state_downcast<const layer_t::st_ready_update_in_progress_t*>()) return "update";
    return m.state_downcast<const layer_t::st_disconnected_t*>() ? "disconnected" : "?";
}

std::string relay_of(const layer_t& layer) {
    if (layer.current_relay() == &layer.relay_forward) return "forward";
    if (layer.current_relay() == &layer.relay_enable_filters) return "enable_filters";
    return layer.current_relay() == &layer.relay_disable_parser ? "disable_parser" : "?";
}

/// Events by letter: c connected, d disconnected, n negotiation, x other
/// command, a AUTHORIZE OK, r raw switch, i the agent's INSTALL, D download
/// done, q download request.
void give(layer_t& layer, const std::string& events, journal_t& journal) {
    for (char e : events) {
        layer_t::machine_t& m = layer.machine();
        switch (e) {
            case 'c': m.process_event(layer_t::ev_connected_t()); break;
            case 'd': m.process_event(layer_t::ev_disconnected_t()); break;
            case 'n': m.process_event(layer_t::ev_negotiation_cmd_t()); break;
            case 'x': m.process_event(layer_t::ev_non_negotiation_cmd_t()); break;
            case 'a': m.process_event(layer_t::ev_authorize_ok_t()); break;
            case 'r': m.process_event(layer_t::ev_switch_raw_t()); break;
            case 'i': m.process_event(layer_t::ev_agent_raw_t()); break;
            case 'D': m.process_event(layer_t::ev_download_done_t()); break;
            case 'q': m.process_event(layer_t::ev_download_update_request_t(
                          boost::make_shared<probe_download>("early", journal))); break;
        }
    }
}

TEST(SrvSideMachine, TransitionsAndTheRelayEachStateChooses) {
    struct row { const char* events; const char* state; const char* relay; };
    const row rows[] = {
        {"", "disconnected", "forward"},        {"dq", "disconnected", "forward"},
        {"cc", "wait_authorize", "forward"},    {"cnnqD", "wait_authorize", "forward"},
        {"ca", "ready_init", "enable_filters"}, {"can", "ready", "forward"},
        {"cax", "ready", "forward"},            {"caxarxnD", "ready", "forward"},
        {"cx", "ready_raw", "disable_parser"},  {"cr", "ready_raw", "disable_parser"},
        {"crnxaDq", "ready_raw", "disable_parser"},
        // The agent's raw switch holds in every connected state.
        {"ci", "ready_raw", "disable_parser"},  {"cai", "ready_raw", "disable_parser"},
        {"cani", "ready_raw", "disable_parser"}, {"crii", "ready_raw", "disable_parser"},
        {"i", "disconnected", "forward"},
        {"cad", "disconnected", "enable_filters"},  // leaving does not reset the relay
        {"cadc", "wait_authorize", "forward"},
    };
    boost::asio::io_service service;
    for (const row& r : rows) {
        journal_t journal;
        boost::shared_ptr<layer_t> layer = layer_t::create(service, boost::weak_ptr<proxy_connection_t>(), {});
        give(*layer, r.events, journal);
        EXPECT_EQ(r.state, state_of(layer->machine())) << r.events;
        EXPECT_EQ(r.relay, relay_of(*layer)) << r.events;
        EXPECT_EQ(std::string(r.relay) == "disable_parser", layer->lower()->raw_mode()) << r.events;
        // A download request outside the ready state is dropped untouched.
        EXPECT_TRUE(journal.get().empty()) << r.events;
        EXPECT_THROW(layer->find_pending_download(), std::bad_cast);
    }
}

TEST(SrvSideMachine, ViolationsAreLoggedWithTheConnectionName) {
    io_test::log_capture log{LOG_LEVEL_ERROR};
    boost::asio::io_service service;
    boost::shared_ptr<layer_t> layer = layer_t::create(service, boost::weak_ptr<proxy_connection_t>(), {});
    layer->lower()->sig_violation("unknown command X");
    EXPECT_EQ(1u, log.count("[Layer/SrvSide] <unbounded>: Violation: unknown command X"))
        << ::testing::PrintToString(log.messages());
}

/// A layer connected to a raw socket the test plays the server on.
class SrvSideUpstream : public ::testing::Test {
protected:
    void connect(const boost::shared_ptr<proxy_connection_t>& owner = boost::shared_ptr<proxy_connection_t>()) {
        layer = layer_t::create(pool.get_io_service(), owner, {});
        const std::pair<relay_t, const char*> relays[] = {{&layer_t::relay_forward, "forward"},
                                                          {&layer_t::relay_enable_filters, "enable_filters"},
                                                          {&layer_t::relay_disable_parser, "disable_parser"}};
        for (const auto& relay : relays) {
            ((*layer).*relay.first).connect([j = &journal, tag = std::string(relay.second)](
                                                const std::string& name, bool binary, const layer_t::args_range& args,
                                                const std::vector<char>& body) {
                j->add(tag + " " + name + (binary ? " T" : "") + " [" + std::string(args.begin(), args.end()) +
                       "] " + std::string(body.begin(), body.end()));
            });
        }
        layer->lower()->sig_raw_data.connect([j = &journal](io::request_queue& q) { j->add("raw " + io_test::bytes_of(q)); });
        tcp::acceptor acceptor(pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        layer->connect("tcp/127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
        acceptor.accept(peer);
        timeval limit{10, 0};  // a broken layer fails the read instead of hanging the run
        setsockopt(peer.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_TRUE(io_test::wait_until([&] { return state() == "wait_authorize"; }));
    }
    /// Runs `f` on the layer's strand, where the machine lives, and waits for it.
    template <class F>
    auto on_strand(F f) -> decltype(f()) {
        auto task = std::make_shared<std::packaged_task<decltype(f())()>>(f);
        auto result = task->get_future();
        layer->lower()->get_strand()->post([task] { (*task)(); });
        EXPECT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
        return result.get();
    }
    std::string state() {
        return on_strand([this] { return state_of(layer->machine()); });
    }
    /// Reads from the peer until `text` has arrived; everything read so far.
    std::string read_until(const std::string& text) {
        char buffer[4096];
        while (received.find(text) == std::string::npos) {
            ssize_t n = ::recv(peer.native_handle(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
        return received;
    }
    void peer_send(const std::string& bytes) { boost::asio::write(peer, boost::asio::buffer(bytes)); }

    typedef layer_t::relay_signal_t layer_t::*relay_t;
    io_test::log_capture log{LOG_LEVEL_TRACE3};  // first: outlives the pool's last lines
    journal_t journal;                          // outlives the pool's last relays
    io::pool pool{2, "srvt"};
    boost::shared_ptr<layer_t> layer;
    tcp::socket peer{pool.get_io_service()};
    std::string received;
};

TEST_F(SrvSideUpstream, DownloadsRunOneAtATimeInArrivalOrder) {
    // Two ways the running download can end besides its reply.
    for (const bool peer_closes : {true, false}) {
        journal.clear();
        received.clear();
        peer = tcp::socket(pool.get_io_service());
        connect();
        on_strand([this] { give(*layer, "an", journal); });
        EXPECT_THROW(on_strand([this] { layer->find_pending_download(); }), std::bad_cast);

        auto a = boost::make_shared<probe_download>("repoA", journal);
        auto b = boost::make_shared<probe_download>("repoB", journal);
        auto c = boost::make_shared<probe_download>("repoC", journal);
        for (const auto& d : {a, b, c}) layer->post_download_request(d);
        EXPECT_EQ("update", state());  // the strand ran the three posts before this
        EXPECT_EQ(std::vector<std::string>{"send repoA"}, journal.get());
        EXPECT_EQ(a, on_strand([this] { return layer->find_pending_download(); }));
        EXPECT_NE(std::string::npos, read_until("repoA").find("0 ARQ_UPDATE T"));

        // The first one's end runs before the second request goes out.
        on_strand([&] {
            a->set_completed(true);
            layer->machine().process_event(layer_t::ev_download_done_t());
        });
        EXPECT_EQ((std::vector<std::string>{"send repoA", "done repoA true", "send repoB"}), journal.get());
        EXPECT_NE(std::string::npos, read_until("repoB").find("1 ARQ_UPDATE T"));

        if (peer_closes)
            peer.close();
        else
            layer.reset();
        ASSERT_TRUE(io_test::wait_until([&] { return journal.get().size() == 4; }));
        EXPECT_EQ("done repoB false", journal.get().back());
        if (peer_closes) {
            EXPECT_EQ("disconnected", state());
        }
        // The waiting request met a disconnected machine, or none: dropped without its end.
        EXPECT_TRUE(io_test::wait_until([&] { return c.use_count() == 1; }));
        EXPECT_EQ(4u, journal.get().size());
        layer.reset();
    }
}

TEST_F(SrvSideUpstream, UnregisteredServerCommandsAreRelayedThroughTheRelayTheirEventChose) {
    struct row { const char* before; std::vector<std::string> frames, relayed; const char* state; };
    const row rows[] = {
        // During the negotiation an unknown command turns the connection raw;
        // what follows is no longer parsed.
        {"", {"0 HELLO T5 a%Sb\r\nhello\r\n", "1 MORE\r\n"},
         {"disable_parser HELLO T [a%Sb] hello", "raw 1 MORE\r\n"}, "ready_raw"},
        // After AUTHORIZE it only moves the machine on; a marker without body stays a marker.
        {"a", {"0 NEWS x\r\n", "1 NEWS2 N\r\n"}, {"forward NEWS [x] ", "forward NEWS2 T [] "}, "ready"},
    };
    for (const row& r : rows) {
        journal.clear();
        peer = tcp::socket(pool.get_io_service());
        connect();
        on_strand([&] { give(*layer, r.before, journal); });
        for (size_t i = 0; i < r.frames.size(); ++i) {
            peer_send(r.frames[i]);
            ASSERT_TRUE(io_test::wait_until([&] { return journal.get().size() == i + 1; })) << r.frames[i];
        }
        EXPECT_EQ(r.relayed, journal.get());
        EXPECT_EQ(r.state, state());
    }
}

TEST_F(SrvSideUpstream, TheAgentsRawSwitchRunsOnTheServerSidesStrandAndEndsARunningDownload) {
    connect();
    on_strand([this] { give(*layer, "an", journal); });
    layer->post_download_request(boost::make_shared<probe_download>("repoA", journal));
    // Called from a thread that is not the upstream strand, as the agent side does.
    layer->post_switch_to_raw();
    ASSERT_TRUE(io_test::wait_until([&] { return state() == "ready_raw"; }));
    EXPECT_EQ((std::vector<std::string>{"send repoA", "done repoA false"}), journal.get());
    EXPECT_TRUE(layer->lower()->raw_mode());
    EXPECT_EQ("disable_parser", relay_of(*layer));
    // Posted to a layer that is gone: skipped.
    layer->post_switch_to_raw();
    layer.reset();
}

TEST_F(SrvSideUpstream, AuthorizationSwitchesUpstreamCompressionOnlyWhenBothOffered) {
    for (const bool compression : {true, false}) {
        journal.clear();
        received.clear();
        peer = tcp::socket(pool.get_io_service());
        auto owner = boost::make_shared<proxy_connection_t>(pool.get_io_service(), boost::weak_ptr<listener_t>(),
                                                            boost::shared_ptr<cache::cache_t>());
        owner->restrict_offers(compression, false);
        connect(owner);
        on_strand([&] { give(*layer, "a", journal); });

        // The on-sent callback marks the end of a command, where the deflater flushes.
        io::request_queue q = io::make_cloned_request("PROTOCOL 2 9 COMP\r\n", [](bool) {});
        layer->forward(q);
        EXPECT_TRUE(q.empty());
        const std::string frame = "0 PROTOCOL 2 9 COMP\r\n";
        // A sync flush ends every compressed command with these four bytes.
        const std::string got = compression ? read_until(std::string("\x00\x00\xff\xff", 4)) : read_until(frame);
        EXPECT_EQ(frame, compression ? io_test::zlib_inflater().feed(got) : got);
        peer_send(compression ? io_test::zlib_deflate({"0 NEWS z\r\n"}) : "0 NEWS z\r\n");
        ASSERT_TRUE(io_test::wait_until([&] { return journal.get().size() == 1; })) << compression;
        EXPECT_EQ("forward NEWS [z] ", journal.get()[0]);
        layer.reset();
    }
}

}  // namespace
