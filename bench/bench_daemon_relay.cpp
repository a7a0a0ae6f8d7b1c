// Agents through the real velmod-proxy daemon to a stand-in server inside this
// process, beside the same agents talking to the stand-in server directly in
// the same run: small commands per second and 1 MiB bodies in MB/s for 1, 8
// and 64 agents, then the daemon's resident memory per idle connected pair
// with 1,000 pairs. Every agent negotiates first (PROTOCOL, SIGNATURE,
// AUTHORIZE OK, neither COMP nor CRYPT offered), so the daemon parses and
// rebuilds every command instead of passing raw bytes.
// Usage: bench_daemon_relay [velmod-proxy binary] [daemon pool size (default 2)]
#include "daemon_driver.h"

namespace {

using namespace daemon_driver;

const std::size_t body_size = 1 << 20;
const std::size_t idle_pairs = 1000;
const std::size_t small_total = 100000, small_window = 8;  // per run, over all agents
const std::size_t body_total = 256, body_window = 2;

/// The stand-in server's side of one connection: plays the negotiation,
/// consumes the keep-alive answers and echoes every other command whole.
class server_conn : public server_peer {
public:
    using server_peer::server_peer;
    void begin(const frame& f) override {
        body_ = std::make_shared<std::vector<char>>();
        body_->reserve(f.size);
    }
    void body(const char* p, std::size_t n) override { body_->insert(body_->end(), p, p + n); }
    void end(const frame& f) override {
        if (answer_as_server(f) || f.name == "PONG" || f.name == "ALIVE" || f.name == "ACK_RANGE") return;
        send(f.name, f.args, f.binary, boost::asio::buffer(*body_), body_);
    }

private:
    std::shared_ptr<std::vector<char>> body_;
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

/// Runs one workload spread over all agents; commands per second.
double timed_run(agents_t& agents, bool bodies) {
    std::size_t per = ((bodies ? body_total : small_total) + agents.size() - 1) / agents.size();
    counter done;
    auto start = clock_type::now();
    for (auto& a : agents) a->run(bodies, per, bodies ? body_window : small_window, &done);
    require(done.wait_for(agents.size(), 300), std::string(bodies ? "bodies" : "commands") + " not all echoed within 300 s");
    return double(per * agents.size()) / seconds_d(clock_type::now() - start).count();
}

void run(boost::asio::io_context& io, server_t& server, const std::string& binary, const std::string& pool) {
    daemon_process daemon;
    daemon.start(binary, server.spec(), pool);
    // Memory first, on a fresh daemon; one pair beforehand creates what all pairs share.
    agents_t agents = connect_agents<agent>(io, daemon.endpoint(), 1);
    close_agents(agents, server);
    long before = daemon.rss_kib();
    agents = connect_agents<agent>(io, daemon.endpoint(), idle_pairs);
    long after = daemon.rss_kib();
    close_agents(agents, server);

    std::printf("agents -> velmod-proxy (pool %s) -> stand-in server on loopback, beside agents -> stand-in server\n", pool.c_str());
    std::printf("small commands: %zu per run, %zu in flight per agent; 1 MiB bodies: %zu per run, %zu in flight; all echoed\n",
                small_total, small_window, body_total, body_window);
    std::printf("%-34s %12s %12s %7s  %s\n", "measure", "direct", "via daemon", "ratio", "target");
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
    std::printf("%-34s %12s %12.1f %7s  %s\n", "daemon RSS KiB per idle pair", "-", double(after - before) / idle_pairs, "", "< 64");
    std::printf("(RSS %ld KiB after one pair came and went, %ld KiB with %zu idle negotiated pairs)\n", before, after, idle_pairs);
}

}  // namespace

int main(int argc, char** argv) { return driver_main<server_conn>(argc, argv, idle_pairs, run); }
