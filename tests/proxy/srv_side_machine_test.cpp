// The server side's negotiation machine, driven by its events: transitions,
// the relay in force per state, and the downloads it runs one at a time over
// a real upstream connection on loopback.
#include "proxy/srv_side_machine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "cache/cache_download_ctx.h"
#include "tests/proxy/pair_fixture.h"

namespace {

using boost::asio::ip::tcp;
typedef srv_side::layer_t upstream_layer_t;

/// What the machine did with downloads, across threads.
struct journal_t {
    void add(const std::string& entry) { locked([&] { entries.push_back(entry); }); }
    std::vector<std::string> get() { return locked([&] { return entries; }); }
    void clear() { locked([&] { entries.clear(); }); }
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> g(mutex);
        return f();
    }
    std::mutex mutex;
    std::vector<std::string> entries;
};

/// A download whose request and end are journalled.
class journaled_download : public srv_side::download_context_t {
public:
    journaled_download(const std::string& repo, journal_t& journal)
        : download_context_t(cache::repo_key_t{repo, 7, "win-nt-32"}, std::vector<char>{'1'}), journal_(journal) {}
    io::request_queue make_request() override {
        journal_.add("send " + key_.name);
        return download_context_t::make_request();
    }
    void done(bool completed) override {
        journal_.add("done " + key_.name + (completed ? " true" : " false") + (withdrawn_ ? " withdrawn" : ""));
    }

private:
    journal_t& journal_;
};

std::string state_of(const upstream_layer_t::machine_t& m) {
    if (m.state_downcast<const upstream_layer_t::st_wait_authorize_t*>()) return "wait_authorize";
    if (m.state_downcast<const upstream_layer_t::st_ready_init_t*>()) return "ready_init";
    if (m.state_downcast<const upstream_layer_t::st_ready_raw_t*>()) return "ready_raw";
    if (m.state_downcast<const upstream_layer_t::st_ready_t*>()) return "ready";
    if (m.state_downcast<const upstream_layer_t::st_ready_update_in_progress_t*>()) return "update";
    return m.state_downcast<const upstream_layer_t::st_disconnected_t*>() ? "disconnected" : "?";
}

std::string relay_of(const upstream_layer_t& layer) {
    if (layer.current_relay() == &layer.relay_forward) return "forward";
    if (layer.current_relay() == &layer.relay_enable_filters) return "enable_filters";
    return layer.current_relay() == &layer.relay_disable_parser ? "disable_parser" : "?";
}

/// Events by letter: c connected, d disconnected, n negotiation, x other
/// command, a AUTHORIZE OK, r raw switch, i the agent's INSTALL, D download
/// done, q download request.
void give(upstream_layer_t& layer, const std::string& events, journal_t& journal) {
    for (char e : events) {
        upstream_layer_t::machine_t& m = layer.machine();
        switch (e) {
            case 'c': m.process_event(upstream_layer_t::ev_connected_t()); break;
            case 'd': m.process_event(upstream_layer_t::ev_disconnected_t()); break;
            case 'n': m.process_event(upstream_layer_t::ev_negotiation_cmd_t()); break;
            case 'x': m.process_event(upstream_layer_t::ev_non_negotiation_cmd_t()); break;
            case 'a': m.process_event(upstream_layer_t::ev_authorize_ok_t()); break;
            case 'r': m.process_event(upstream_layer_t::ev_switch_raw_t()); break;
            case 'i': m.process_event(upstream_layer_t::ev_agent_raw_t()); break;
            case 'D': m.process_event(upstream_layer_t::ev_download_done_t()); break;
            case 'q': m.process_event(upstream_layer_t::ev_download_update_request_t(
                          boost::make_shared<journaled_download>("early", journal))); break;
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
        boost::shared_ptr<upstream_layer_t> layer = upstream_layer_t::create(service, boost::weak_ptr<proxy_connection_t>(), {});
        give(*layer, r.events, journal);
        EXPECT_EQ(r.state, state_of(layer->machine())) << r.events;
        EXPECT_EQ(r.relay, relay_of(*layer)) << r.events;
        EXPECT_EQ(std::string(r.relay) == "disable_parser", layer->lower()->raw_mode()) << r.events;
        // A download request outside the ready state is dropped untouched.
        EXPECT_TRUE(journal.get().empty()) << r.events;
        EXPECT_FALSE(layer->running_download());
    }
}

/// Whether the machine can send a download, as the cache sees it from any
/// thread: only in the ready and downloading states; not yet while
/// negotiating; never again once raw or disconnected.
TEST(SrvSideMachine, DownloadReadinessFollowsTheState) {
    using readiness = upstream_layer_t::download_readiness_t;
    struct row { const char* events; readiness expected; };
    const row rows[] = {
        {"", readiness::not_yet},        {"c", readiness::not_yet},      {"cnn", readiness::not_yet},
        {"ca", readiness::not_yet},      {"can", readiness::now},        {"cax", readiness::now},
        {"caxq", readiness::now},        {"caxqD", readiness::now},      {"cx", readiness::never},
        {"cr", readiness::never},        {"ci", readiness::never},       {"cai", readiness::never},
        {"caxi", readiness::never},      {"caxqi", readiness::never},    {"cad", readiness::never},
        {"caxqd", readiness::never},     {"dq", readiness::not_yet},     {"cadc", readiness::not_yet},
    };
    boost::asio::io_service service;
    for (const row& r : rows) {
        journal_t journal;
        boost::shared_ptr<upstream_layer_t> layer =
            upstream_layer_t::create(service, boost::weak_ptr<proxy_connection_t>(), {});
        give(*layer, r.events, journal);
        EXPECT_EQ(static_cast<int>(r.expected), static_cast<int>(layer->download_readiness())) << r.events;
    }
}

/// A layer connected to a raw socket the test plays the server on.
class SrvSideUpstream : public ::testing::Test {
protected:
    void connect() {
        layer = upstream_layer_t::create(pool.get_io_service(), boost::weak_ptr<proxy_connection_t>(), {});
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
        proxy_test::relayed_pair_t::read_until(peer, received, text);
        return received;
    }
    io_test::log_capture log{LOG_LEVEL_TRACE3};  // first: outlives the pool's last lines
    journal_t journal;                          // outlives the pool's last downloads
    io::pool pool{2, "srvt"};
    boost::shared_ptr<upstream_layer_t> layer;
    tcp::socket peer{pool.get_io_service()};
    std::string received;
};

TEST_F(SrvSideUpstream, DownloadsRunOneAtATimeInArrivalOrder) {
    // Three ways the running download can end besides its reply.
    for (const std::string end : {"peer closes", "layer dropped", "agent raw"}) {
        SCOPED_TRACE(end);
        journal.clear();
        received.clear();
        peer = tcp::socket(pool.get_io_service());
        connect();
        on_strand([this] { give(*layer, "an", journal); });
        EXPECT_FALSE(on_strand([this] { return layer->running_download(); }));

        auto a = boost::make_shared<journaled_download>("repoA", journal);
        auto b = boost::make_shared<journaled_download>("repoB", journal);
        auto c = boost::make_shared<journaled_download>("repoC", journal);
        for (const auto& d : {a, b, c}) layer->post_download_request(d);
        EXPECT_EQ("update", state());  // the strand ran the three posts before this
        EXPECT_EQ(std::vector<std::string>{"send repoA"}, journal.get());
        EXPECT_EQ(a, on_strand([this] { return layer->running_download(); }));
        EXPECT_NE(std::string::npos, read_until("repoA").find("0 ARQ_UPDATE T"));

        // The first one's end runs before the second request goes out.
        on_strand([&] {
            a->set_completed(true);
            layer->machine().process_event(upstream_layer_t::ev_download_done_t());
        });
        EXPECT_EQ((std::vector<std::string>{"send repoA", "done repoA true", "send repoB"}), journal.get());
        EXPECT_NE(std::string::npos, read_until("repoB").find("1 ARQ_UPDATE T"));

        if (end == "peer closes") peer.close();
        if (end == "layer dropped") layer.reset();
        // From a thread that is not the upstream strand, as the agent side does.
        if (end == "agent raw") layer->post_switch_to_raw();
        ASSERT_TRUE(io_test::wait_until([&] { return journal.get().size() == 4; }));
        // Only the agent's switch withdraws it: a lost server is a failure.
        EXPECT_EQ(end == "agent raw" ? "done repoB false withdrawn" : "done repoB false", journal.get().back());
        if (layer) {
            EXPECT_EQ(end == "agent raw" ? "ready_raw" : "disconnected", state());
            EXPECT_EQ(end == "agent raw", layer->lower()->raw_mode());
        }
        // The waiting request met a machine that does not download, or none: dropped without its end.
        EXPECT_TRUE(io_test::wait_until([&] { return c.use_count() == 1; }));
        EXPECT_EQ(4u, journal.get().size());
        if (layer) layer->post_switch_to_raw();  // posted to a layer about to be gone: skipped
        layer.reset();
    }
}

}  // namespace
