// Agents through the real velmod-proxy daemon to a stand-in server inside this
// process, beside the same agents talking to the stand-in server directly in
// the same run: small commands per second and 1 MiB bodies in MB/s for 1, 8
// and 64 agents, then the daemon's resident memory per idle connected pair
// with 1,000 pairs. Every agent negotiates first (PROTOCOL, SIGNATURE,
// AUTHORIZE OK, neither COMP nor CRYPT offered), so the daemon parses and
// rebuilds every command instead of passing raw bytes.
// With --haproxy (and --socat) it compares instead, printing markdown table rows:
// one 1 GiB stream agent -> proxy -> server, raw after a CRYPT negotiation and
// as 1 MiB commands without it, through the daemon, HAProxy in TCP mode and
// socat; new connections per second until one command came back, and resident
// memory per idle negotiated pair with 5,000 pairs, beside HAProxy.
// With --only raw|parsed|connections it takes that one measure of the daemon
// alone, three times, one figure a line: bench/compare_builds.sh runs it for
// two builds in turn.
// Usage: bench_daemon_relay [velmod-proxy binary] [daemon pool size (default 2)]
//                           [--haproxy binary [--socat binary] | --only measure]
#include "daemon_driver.h"

namespace {

using namespace daemon_driver;

const std::size_t body_size = 1 << 20;
const std::size_t idle_pairs = 1000;
const std::size_t small_total = 100000, small_window = 8;  // per run, over all agents
const std::size_t body_total = 256, body_window = 2;
const std::size_t stream_size = std::size_t(1) << 30, compare_pairs = 5000;
const std::size_t cycles = 10000, cycle_slots = 64;  // connections per run, open at a time

/// The stream that the server side is counting: its length and who waits for its end.
std::size_t g_stream_target = 0;
counter* g_stream_done = nullptr;

/// The stand-in server's side of one connection: plays the negotiation, consumes
/// the keep-alive answers, counts STREAM bodies and raw bytes, echoes every other command whole.
class server_conn : public server_peer {
public:
    using server_peer::server_peer;
    void begin(const frame& f) override {
        streaming_ = f.name == "STREAM";  // counted, not echoed
        if (streaming_) return;
        body_ = std::make_shared<std::vector<char>>();
        body_->reserve(f.size);
    }
    void body(const char* p, std::size_t n) override {
        if (streaming_) count(n);
        else body_->insert(body_->end(), p, p + n);
    }
    void raw_bytes(const char*, std::size_t n) override { count(n); }
    void end(const frame& f) override {
        if (answer_as_server(f) || f.name == "PONG" || f.name == "ALIVE" || f.name == "ACK_RANGE" || streaming_) return;
        send(f.name, f.args, f.binary, boost::asio::buffer(*body_), body_);
    }

private:
    void count(std::size_t n) {
        streamed_ += n;
        if (streamed_ >= g_stream_target && !counted_) counted_ = true, g_stream_done->add();
    }
    std::shared_ptr<std::vector<char>> body_;
    bool streaming_ = false;
    std::size_t streamed_ = 0;
    bool counted_ = false;
};

typedef standin_server<server_conn> server_t;

/// An agent: negotiates, then sends its share of a workload and counts the echoes.
class agent : public agent_peer {
public:
    using agent_peer::agent_peer;
    static constexpr const char* ready_means = "authorized";
    /// Sends `count` commands (1 MiB bodies or small ones), `window` of them in flight.
    void run(bool bodies, std::size_t count, std::size_t window, counter* done) {
        boost::asio::dispatch(strand_, [=, self = self_ptr()] {
            self->bodies_ = bodies, self->count_ = count, self->done_ = done;
            self->sent_ = self->received_ = 0;
            while (self->sent_ < std::min(window, count)) self->send_one();
        });
    }
    /// Sends the 1 GiB stream: raw bytes once the negotiation made the connection raw, else STREAM commands.
    void stream() {
        static const auto blob = std::make_shared<const std::vector<char>>(body_size, 's');
        boost::asio::dispatch(strand_, [self = self_ptr()] {
            for (std::size_t i = 0; i < stream_size / body_size; ++i) {
                if (self->raw) self->send_raw(boost::asio::buffer(*blob), blob);
                else self->send("STREAM", "1", true, boost::asio::buffer(*blob), blob);
            }
        });
    }

private:
    boost::shared_ptr<agent> self_ptr() { return boost::static_pointer_cast<agent>(shared_from_this()); }
    void send_one() {
        static const auto blob = std::make_shared<const std::vector<char>>(body_size, 'b');
        ++sent_;
        if (bodies_) send("BLOB", "1", true, boost::asio::buffer(*blob), blob);
        else send("ECHO", "0123456789abcdef");
    }
    void end(const frame& f) override {
        if (answer_as_agent(f)) return;
        if (f.name == "AUTHORIZE") {
            if (f.args == "OK") ready_.add(); else fail("AUTHORIZE " + f.args);
        } else if (f.name == "ECHO" || f.name == "BLOB") {
            if (f.size != (f.name == "BLOB" ? body_size : 0)) fail(f.name + " came back with " + std::to_string(f.size) + " body bytes");
            if (sent_ < count_) send_one();
            if (++received_ == count_) done_->add();
        }
    }

    bool bodies_ = false;
    std::size_t sent_ = 0;
};

typedef std::vector<boost::shared_ptr<agent>> agents_t;

/// The connection-rate run: where agents go, how many are still to start, how many came back.
struct cycle_run {
    boost::asio::io_context& io;
    tcp::endpoint to;
    std::atomic<long> left;
    counter done;
};

/// An agent of the connection-rate run: connects, negotiates, sends one command, waits
/// for its echo and leaves; then the next connection of its slot starts.
class cycling_agent : public agent_peer {
public:
    cycling_agent(cycle_run& run) : agent_peer(run.io, run.done), run_(run) { count_ = 1; }
    /// Starts the next connection of the run unless all have started.
    static void next(cycle_run& run) {
        if (run.left-- > 0) boost::make_shared<cycling_agent>(run)->connect(run.to);
    }

private:
    void end(const frame& f) override {
        if (answer_as_agent(f)) return;
        if (f.name == "AUTHORIZE") {
            if (f.args == "OK") send("ECHO", "0123456789abcdef"); else fail("AUTHORIZE " + f.args);
        } else if (f.name == "ECHO") {
            ++received_;
            close();
            ready_.add();
            next(run_);
        }
    }
    cycle_run& run_;
};

/// Runs one workload spread over all agents; commands per second.
double timed_run(agents_t& agents, bool bodies) {
    std::size_t per = ((bodies ? body_total : small_total) + agents.size() - 1) / agents.size();
    counter done;
    auto start = clock_type::now();
    for (auto& a : agents) a->run(bodies, per, bodies ? body_window : small_window, &done);
    require(done.wait_for(agents.size(), 300), std::string(bodies ? "bodies" : "commands") + " not all echoed within 300 s");
    return double(per * agents.size()) / seconds_d(clock_type::now() - start).count();
}

/// KiB of resident memory per idle negotiated pair for `n` pairs through `to`, `rss()` in KiB;
/// one pair beforehand creates what all pairs share.
template <class Rss>
double kib_per_pair(boost::asio::io_context& io, server_t& server, const tcp::endpoint& to, std::size_t n, Rss rss) {
    agents_t agents = connect_agents<agent>(io, to, 1);
    close_agents(agents, server);
    long before = rss();
    agents = connect_agents<agent>(io, to, n);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // idle: whatever the negotiation left behind is settled
    long after = rss();
    close_agents(agents, server);
    return double(after - before) / n;
}

/// MB/s of one 1 GiB stream from an agent through `to` to the server: raw bytes
/// after a CRYPT negotiation, or 1 MiB STREAM commands after one without it.
double stream_rate(boost::asio::io_context& io, server_t& server, const tcp::endpoint& to, bool raw) {
    counter done;
    g_stream_target = stream_size, g_stream_done = &done;
    agents_t agents = connect_agents<agent>(io, to, 1, raw ? "CRYPT" : "%Z");
    auto start = clock_type::now();
    agents.front()->stream();
    require(done.wait_for(1, 300), "the 1 GiB stream did not arrive within 300 s");
    double rate = stream_size / seconds_d(clock_type::now() - start).count() / 1e6;
    close_agents(agents, server);
    return rate;
}

/// New connections per second through `to`, `cycle_slots` at a time, each until its one command came back.
double connection_rate(boost::asio::io_context& io, server_t& server, const tcp::endpoint& to) {
    cycle_run run{io, to, {long(cycles)}, {}};
    auto start = clock_type::now();
    for (std::size_t i = 0; i < cycle_slots; ++i) cycling_agent::next(run);
    require(run.done.wait_for(cycles, 300), "connections not all answered within 300 s");
    double rate = cycles / seconds_d(clock_type::now() - start).count();
    require(server.wait_all_closed(60), "upstream connections still open 60 s after their agents left");
    return rate;
}

/// HAProxy in TCP mode relaying to the server, on a listening socket it inherits.
class haproxy_process {
public:
    haproxy_process(const std::string& binary, const server_t& server, const std::string& threads) {
        std::string conf = child_.dir() + "/haproxy.cfg";
        std::ofstream(conf) << "global\n  nbthread " << threads << "\n  maxconn 9000\n"
                            << "defaults\n  mode tcp\n  maxconn 9000\n  timeout connect 5s\n  timeout client 1h\n  timeout server 1h\n"
                            << "listen relay\n  bind fd@3\n  server standin " << server.endpoint() << "\n";
        child_.start({binary, "-db", "-f", conf}, SIGTERM, listener_.fd());
        child_.wait_for_line("", 0.5);  // the socket listens already; this catches a rejected configuration
    }
    tcp::endpoint endpoint() const { return listener_.endpoint(); }
    long rss_kib() const { return child_.rss_kib(); }

private:
    inherited_listener listener_;
    child_process child_;
};

/// socat relaying each connection to the server in a process of its own.
class socat_process {
public:
    socat_process(const std::string& binary, const server_t& server) {
        child_.start({binary, "-d", "-d", "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr,fork",
                      "TCP:127.0.0.1:" + std::to_string(server.endpoint().port())}, SIGTERM);
        const std::string marker = "listening on AF=2 127.0.0.1:";
        std::string text = child_.wait_for_line(marker);
        port_ = static_cast<unsigned short>(std::stoul(text.substr(text.find(marker) + marker.size())));
    }
    tcp::endpoint endpoint() const { return tcp::endpoint(boost::asio::ip::address_v4::loopback(), port_); }

private:
    child_process child_;
    unsigned short port_ = 0;
};

/// The comparison with HAProxy (and socat): markdown table rows, each measure of the daemon
/// taken beside the contender's in the same run.
void compare(boost::asio::io_context& io, server_t& server, const options& opt) {
    daemon_process daemon;
    daemon.start(opt.binary, server.spec(), opt.pool);
    haproxy_process haproxy(opt.contender("haproxy"), server, opt.pool);
    std::optional<socat_process> socat;
    if (!opt.contender("socat").empty()) socat.emplace(opt.contender("socat"), server);

    // Memory first, while both proxies are fresh.
    double ours = kib_per_pair(io, server, daemon.endpoint(), compare_pairs, [&] { return daemon.rss_kib(); });
    double theirs = kib_per_pair(io, server, haproxy.endpoint(), compare_pairs, [&] { return haproxy.rss_kib(); });
    table_row("memory: RSS KiB per idle negotiated pair, 5,000 pairs", ours, "HAProxy", theirs, "< 64 KiB", ours < 64);

    // The relay: three rounds of every contender in turn, so that a disturbance of the machine hits all alike.
    std::vector<std::pair<std::string, tcp::endpoint>> relays{{"HAProxy (TCP)", haproxy.endpoint()}};
    if (socat) relays.emplace_back("socat", socat->endpoint());
    relays.emplace_back("no proxy (agent to server)", server.endpoint());
    for (bool raw : {true, false}) {
        std::vector<double> mine;
        std::vector<std::vector<double>> others(relays.size());
        for (int round = 0; round < 3; ++round) {
            mine.push_back(stream_rate(io, server, daemon.endpoint(), raw));
            for (std::size_t i = 0; i < relays.size(); ++i) others[i].push_back(stream_rate(io, server, relays[i].second, raw));
        }
        std::string what = raw ? "relay MB/s: 1 GiB raw after CRYPT (median of 3)" : "relay MB/s: 1 GiB as parsed 1 MiB commands (median of 3)";
        double target = raw ? 0.8 : 0.5;
        for (std::size_t i = 0; i < relays.size(); ++i) {
            bool judged = i == 0;  // the targets are set against HAProxy
            table_row(what, median(mine), relays[i].first, median(others[i]), judged ? (raw ? ">= 0.80" : ">= 0.50") : "",
                      judged ? std::optional<bool>(median(mine) >= target * median(others[i])) : std::nullopt);
        }
    }
    ours = connection_rate(io, server, daemon.endpoint());
    theirs = connection_rate(io, server, haproxy.endpoint());
    table_row("connections/s: connect, negotiate, one command back, close (64 at a time)", ours, "HAProxy", theirs, "", std::nullopt);
}

/// The measure --only asks for, "" for the whole run.
std::string g_only;

/// One measure of the daemon alone, three times, one figure a line.
void only(boost::asio::io_context& io, server_t& server, const options& opt) {
    daemon_process daemon;
    daemon.start(opt.binary, server.spec(), opt.pool);
    for (int round = 0; round < 3; ++round) {
        double figure = g_only == "connections" ? connection_rate(io, server, daemon.endpoint())
                                                : stream_rate(io, server, daemon.endpoint(), g_only == "raw");
        std::printf("%s %.1f\n", g_only.c_str(), figure);
        std::fflush(stdout);
    }
}

void run(boost::asio::io_context& io, server_t& server, const options& opt) {
    if (!g_only.empty()) return only(io, server, opt);
    if (!opt.contender("haproxy").empty()) return compare(io, server, opt);
    daemon_process daemon;
    daemon.start(opt.binary, server.spec(), opt.pool);
    // Memory first, on a fresh daemon.
    double per_pair = kib_per_pair(io, server, daemon.endpoint(), idle_pairs, [&] { return daemon.rss_kib(); });

    std::printf("agents -> velmod-proxy (pool %s) -> stand-in server on loopback, beside agents -> stand-in server\n", opt.pool.c_str());
    std::printf("small commands: %zu per run, %zu in flight per agent; 1 MiB bodies: %zu per run, %zu in flight; all echoed\n",
                small_total, small_window, body_total, body_window);
    std::printf("%-34s %12s %12s %7s  %s\n", "measure", "direct", "via daemon", "ratio", "target");
    agents_t agents;
    for (bool bodies : {false, true}) {
        for (std::size_t n : {1, 8, 64}) {
            double rate[2];
            for (int through = 0; through < 2; ++through) {
                agents = connect_agents<agent>(io, through ? daemon.endpoint() : server.endpoint(), n);
                rate[through] = timed_run(agents, bodies) * (bodies ? body_size / 1e6 : 1);
                close_agents(agents, server);
            }
            std::string what = (bodies ? "body MB/s, " : "commands/s, ") + std::to_string(n) + (n == 1 ? " agent" : " agents");
            std::printf("%-34s %12.0f %12.0f %7.2f  %s\n", what.c_str(), rate[0], rate[1], rate[1] / rate[0], bodies ? ">= 0.50" : "");
        }
    }
    std::printf("%-34s %12s %12.1f %7s  %s\n", "daemon RSS KiB per idle pair", "-", per_pair, "", "< 64");
    std::printf("(%zu idle negotiated pairs)\n", idle_pairs);
}

}  // namespace

int main(int argc, char** argv) {
    // --only is this driver's own: taken out before the common arguments are read.
    std::vector<char*> args(argv, argv + argc);
    for (auto i = args.begin(); i != args.end(); ++i) {
        if (std::string(*i) != "--only") continue;
        if (i + 1 == args.end() || (g_only = i[1], g_only != "raw" && g_only != "parsed" && g_only != "connections")) {
            std::fprintf(stderr, "%s: --only takes raw, parsed or connections\n", argv[0]);
            return 2;
        }
        args.erase(i, i + 2);
        break;
    }
    return driver_main<server_conn>(int(args.size()), args.data(), compare_pairs, {"haproxy", "socat"}, run);
}
