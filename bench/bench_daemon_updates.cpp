// Update downloads through the real velmod-proxy daemon from a stand-in server
// inside this process. (a) 1,000 agents ask at once for the same 16 MiB file
// missing from the daemon's cache: the upstream ARQ_UPDATE count (must be 1)
// and the time until the last agent has the last byte, beside one agent alone
// on a fresh daemon in the same run. (b) The file already in the cache: MB/s
// out of the daemon for 1, 16 and 256 agents, beside the same requests
// answered by the stand-in server directly. Every agent negotiates (PROTOCOL,
// SIGNATURE, AUTHORIZE OK at version 2.9) and waits for the SNF_UPDATE
// announcement before it asks; every byte received is compared with the file.
// Usage: bench_daemon_updates [velmod-proxy binary] [daemon pool size (default 2)]
#include "daemon_driver.h"
#include "oslayer/md5.h"

namespace {

using namespace daemon_driver;

const std::string repository = "bench", file_name = "bench.bin", revision = "7";
const std::size_t file_size = 16 << 20;
const std::size_t crowd = 1000;
const std::size_t cached_requests = 64;  // per run of (b), over all agents, at least one each

std::atomic<std::size_t> g_upstream_requests{0};

/// The update file: pseudo-random bytes, shared by the server's replies and the agents' checks.
const std::vector<char>& file_bytes() {
    static const std::vector<char> bytes = [] {
        std::vector<char> b(file_size);
        uint64_t x = 88172645463325252ull;
        for (char& c : b) x ^= x << 13, x ^= x >> 7, x ^= x << 17, c = char(x);
        return b;
    }();
    return bytes;
}

/// The SNF_UPDATE body announcing the file: revision, integer, then "size md5 name".
const std::string& announcement() {
    static const std::string text = [] {
        md5_t md5;
        md5.update(file_size, file_bytes().data());
        md5.final();
        return revision + "\n0\n" + std::to_string(file_size) + " " + md5.hex() + " " + file_name + "\n";
    }();
    return text;
}

/// The stand-in server's side of one connection: plays the negotiation, announces
/// the file after AUTHORIZE OK and answers ARQ_UPDATE with it as one range.
class server_conn : public server_peer {
public:
    using server_peer::server_peer;
    void begin(const frame&) override { request_.clear(); }
    void body(const char* p, std::size_t n) override { request_.append(p, n); }
    void end(const frame& f) override {
        static const std::string size = std::to_string(file_size);
        if (answer_as_server(f)) {
            if (f.name == "SIGNATURE") send("SNF_UPDATE", repository, true, boost::asio::buffer(announcement()));
        } else if (f.name == "ARQ_UPDATE") {
            ++g_upstream_requests;
            if (f.args != repository || request_ != revision + " 0 1") fail("unexpected ARQ_UPDATE " + f.args + " <" + request_ + ">");
            send("SRS_UPDATE", std::to_string(f.number) + " R0:" + size + " S" + size, true, boost::asio::buffer(file_bytes()));
        }
    }

private:
    std::string request_;
};

typedef standin_server<server_conn> server_t;

/// An agent: negotiates, waits for the announcement, then asks for the file
/// one request at a time, checks every byte and acknowledges each range.
class agent : public agent_peer {
public:
    using agent_peer::agent_peer;
    static constexpr const char* ready_means = "told of the file";
    /// Asks `count` times; `done` counts the agent once its last reply is whole.
    void fetch(std::size_t count, counter* done) {
        boost::asio::dispatch(strand_, [=, self = self_ptr()] {
            self->count_ = count, self->received_ = 0, self->done_ = done;
            self->ask();
        });
    }

private:
    boost::shared_ptr<agent> self_ptr() { return boost::static_pointer_cast<agent>(shared_from_this()); }
    void ask() {
        static const std::string request = revision + " 0 1";
        send("ARQ_UPDATE", repository, true, boost::asio::buffer(request));
    }
    void begin(const frame& f) override {
        reply_ = f.name == "SRS_UPDATE";
        offset_ = 0;
    }
    void body(const char* p, std::size_t n) override {
        if (!reply_) return;
        if (offset_ + n > file_size || std::memcmp(p, file_bytes().data() + offset_, n) != 0) fail("SRS_UPDATE body differs from the file");
        offset_ += n;
    }
    void end(const frame& f) override {
        if (answer_as_agent(f)) return;
        if (f.name == "SNF_UPDATE") {
            ready_.add();
        } else if (f.name == "SRS_UPDATE") {
            if (offset_ != file_size) fail("SRS_UPDATE with " + std::to_string(offset_) + " body bytes");
            std::size_t a = f.args.find(' ') + 1;  // the range token follows the request id
            send("ACK_RANGE", std::to_string(f.number) + " " + f.args.substr(a, f.args.find(' ', a) - a));
            if (++received_ < count_) ask(); else done_->add();
        }
    }

    bool reply_ = false;
    std::size_t offset_ = 0;
};

typedef std::vector<boost::shared_ptr<agent>> agents_t;

/// Every agent asks `count` times at once; seconds until the last one has its last byte.
double fetch_all(agents_t& agents, std::size_t count) {
    counter done;
    g_upstream_requests = 0;
    auto start = clock_type::now();
    for (auto& a : agents) a->fetch(count, &done);
    require(done.wait_for(agents.size(), 600), "not every agent had its file within 600 s");
    return seconds_d(clock_type::now() - start).count();
}

void run(boost::asio::io_context& io, server_t& server, const std::string& binary, const std::string& pool) {
    announcement();  // hashed before any clock runs
    double alone, together;
    std::size_t alone_requests, together_requests;
    {
        daemon_process fresh;
        fresh.start(binary, server.spec(), pool);
        agents_t one = connect_agents<agent>(io, fresh.endpoint(), 1);
        alone = fetch_all(one, 1);
        alone_requests = g_upstream_requests;
        close_agents(one, server);
    }
    daemon_process daemon;
    daemon.start(binary, server.spec(), pool);
    agents_t agents = connect_agents<agent>(io, daemon.endpoint(), crowd);
    together = fetch_all(agents, 1);
    together_requests = g_upstream_requests;
    close_agents(agents, server);
    std::printf("(a) agents -> velmod-proxy (pool %s) -> stand-in server on loopback, one 16 MiB file missing from a fresh cache\n", pool.c_str());
    std::printf("%-26s %20s %18s %14s\n", "agents asking at once", "upstream ARQ_UPDATE", "last byte after s", "MB/s out");
    std::printf("%-26zu %20zu %18.2f %14.0f\n", std::size_t(1), alone_requests, alone, file_size / alone / 1e6);
    std::printf("%-26zu %20zu %18.2f %14.0f   (must be 1 upstream)\n", crowd, together_requests, together, crowd * file_size / together / 1e6);

    std::printf("\n(b) the file already in the daemon's cache: MB/s out of the daemon, beside the stand-in server answering directly\n");
    std::printf("%-26s %20s %18s %7s %14s\n", "agents", "direct MB/s", "via daemon MB/s", "ratio", "upstream reqs");
    for (std::size_t n : {1, 16, 256}) {
        std::size_t per = std::max<std::size_t>(1, cached_requests / n);
        double rate[2];
        for (int through = 0; through < 2; ++through) {
            agents = connect_agents<agent>(io, through ? daemon.endpoint() : server.endpoint(), n);
            rate[through] = double(n * per * file_size) / fetch_all(agents, per) / 1e6;
            close_agents(agents, server);
        }
        std::printf("%-26zu %20.0f %18.0f %7.2f %14zu   (%zu x 16 MiB each)\n", n, rate[0], rate[1], rate[1] / rate[0],
                    std::size_t(g_upstream_requests), per);
    }
}

}  // namespace

int main(int argc, char** argv) { return driver_main<server_conn>(argc, argv, crowd, run); }
