// Update downloads through the real velmod-proxy daemon from a stand-in server
// inside this process. (a) 1,000 agents ask at once for the same 16 MiB file
// missing from the daemon's cache: the upstream ARQ_UPDATE count (must be 1)
// and the time until the last agent has the last byte, beside one agent alone
// on a fresh daemon in the same run. (b) The file already in the cache: MB/s
// out of the daemon for 1, 16 and 256 agents, beside the same requests
// answered by the stand-in server directly. Every agent negotiates (PROTOCOL,
// SIGNATURE, AUTHORIZE OK at version 2.9) and waits for the SNF_UPDATE
// announcement before it asks; every byte received is compared with the file.
// With --nginx it compares instead, printing a markdown table row: 64 agents
// fetching the cached file through the daemon beside 64 HTTP clients fetching
// the same file from nginx with sendfile on, every byte checked on both sides.
// Usage: bench_daemon_updates [velmod-proxy binary] [daemon pool size (default 2)] [--nginx binary]
#include <sys/stat.h>

#include "daemon_driver.h"
#include "oslayer/md5.h"

namespace {

using namespace daemon_driver;

const std::string repository = "bench", file_name = "bench.bin", revision = "7";
const std::size_t file_size = 16 << 20;
const std::size_t crowd = 1000;
const std::size_t cached_requests = 64;  // per run of (b), over all agents, at least one each
const std::size_t compare_clients = 64, compare_fetches = 4;  // per client

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

/// An HTTP/1.1 client on one kept-alive connection, the agent's counterpart for nginx:
/// GETs the file one request at a time and checks every byte as the agent does.
class http_client : public boost::enable_shared_from_this<http_client> {
public:
    static constexpr const char* ready_means = "connected";
    http_client(boost::asio::io_context& io, counter& ready) : socket_(io), strand_(boost::asio::make_strand(io)), ready_(ready) {}
    /// Connects; `ready` counts the client then. There is no negotiation to offer options in.
    void connect(const tcp::endpoint& to, const std::string&) {
        socket_.async_connect(to, boost::asio::bind_executor(strand_, [to, self = shared_from_this()](const boost::system::error_code& e) {
            if (e) return fail("connect to " + to.address().to_string() + ":" + std::to_string(to.port()) + ": " + e.message());
            self->ready_.add();
        }));
    }
    /// GETs the file `count` times; `done` counts the client once its last reply is whole.
    void fetch(std::size_t count, counter* done) {
        boost::asio::dispatch(strand_, [=, self = shared_from_this()] {
            self->count_ = count, self->received_ = 0, self->done_ = done;
            self->ask();
        });
    }
    void close() {
        boost::asio::post(strand_, [self = shared_from_this()] {
            boost::system::error_code ignored;
            self->socket_.close(ignored);
        });
    }

private:
    void ask() {
        static const std::string request = "GET /" + file_name + " HTTP/1.1\r\nHost: bench\r\n\r\n";
        head_.clear(), offset_ = 0;
        boost::asio::async_write(socket_, boost::asio::buffer(request), boost::asio::bind_executor(strand_,
            [self = shared_from_this()](const boost::system::error_code& e, std::size_t) {
                if (e) fail("GET: " + e.message()); else self->read();
            }));
    }
    void read() {
        socket_.async_read_some(boost::asio::buffer(rbuf_), boost::asio::bind_executor(strand_,
            [self = shared_from_this()](const boost::system::error_code& e, std::size_t n) {
                if (e) return fail("HTTP reply: " + e.message());
                if (self->take(self->rbuf_.data(), n)) self->read();
            }));
    }
    /// Takes reply bytes; false once the reply is whole (the next request, if any, is out).
    bool take(const char* p, std::size_t n) {
        std::size_t end = head_.find("\r\n\r\n");
        if (end == std::string::npos) {  // still in the header: nginx sends it apart from the sendfile body
            head_.append(p, n);
            if ((end = head_.find("\r\n\r\n")) == std::string::npos) return true;
            if (head_.compare(0, 12, "HTTP/1.1 200") != 0 || head_.find("Content-Length: " + std::to_string(file_size) + "\r\n") == std::string::npos)
                return fail("unexpected HTTP reply: " + head_.substr(0, end)), false;
            p = head_.data() + end + 4, n = head_.size() - end - 4;
        }
        if (offset_ + n > file_size || std::memcmp(p, file_bytes().data() + offset_, n) != 0) return fail("HTTP body differs from the file"), false;
        offset_ += n;
        if (offset_ < file_size) return true;
        if (++received_ < count_) ask(); else done_->add();
        return false;
    }

    tcp::socket socket_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    counter& ready_;
    counter* done_ = nullptr;
    std::array<char, 65536> rbuf_;
    std::string head_;
    std::size_t count_ = 0, received_ = 0, offset_ = 0;
};

/// Every agent asks `count` times at once; seconds until the last one has its last byte.
template <class Agents>
double fetch_all(Agents& agents, std::size_t count) {
    counter done;
    g_upstream_requests = 0;
    auto start = clock_type::now();
    for (auto& a : agents) a->fetch(count, &done);
    require(done.wait_for(agents.size(), 600), "not every agent had its file within 600 s");
    return seconds_d(clock_type::now() - start).count();
}

/// nginx serving the file from its directory with sendfile on, on a listening socket it inherits.
class nginx_process {
public:
    nginx_process(const std::string& binary, const std::string& workers) {
        std::string dir = child_.dir(), conf = dir + "/nginx.conf", file = dir + "/" + file_name;
        std::ofstream(file, std::ios::binary).write(file_bytes().data(), file_size);
        chmod(file.c_str(), 0644);  // the workers run as another user
        std::ofstream(conf) << "daemon off;\nworker_processes " << workers << ";\npid " << dir << "/nginx.pid;\n"
                            << "events { worker_connections 1024; }\n"
                            << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n  keepalive_requests 100000;\n"
                            << "  server { listen " << listener_.endpoint() << "; root " << dir << "; }\n}\n";
        // NGINX names the descriptors it inherits, as in nginx's own binary upgrade.
        child_.start({binary, "-p", dir, "-e", child_.log(), "-c", conf}, SIGTERM, listener_.fd(), "NGINX=3;");
        child_.wait_for_line("", 0.5);  // the socket listens already; this catches a rejected configuration
    }
    tcp::endpoint endpoint() const { return listener_.endpoint(); }

private:
    inherited_listener listener_;
    child_process child_;
};

/// The comparison with nginx: a markdown table row, both figures taken warm in the same run.
void compare(boost::asio::io_context& io, server_t& server, const options& opt) {
    daemon_process daemon;
    daemon.start(opt.binary, server.spec(), opt.pool);
    nginx_process nginx(opt.contender("nginx"), opt.pool);
    agents_t agents = connect_agents<agent>(io, daemon.endpoint(), 1);
    fetch_all(agents, 1);  // fills the cache
    close_agents(agents, server);
    const double bytes = double(compare_clients * compare_fetches * file_size);

    // Three rounds, the daemon's and nginx's in turn, so that a disturbance of the machine hits both alike.
    agents = connect_agents<agent>(io, daemon.endpoint(), compare_clients);
    std::vector<boost::shared_ptr<http_client>> clients = connect_agents<http_client>(io, nginx.endpoint(), compare_clients);
    fetch_all(agents, 1), fetch_all(clients, 1);  // warm
    std::vector<double> ours, theirs;
    std::size_t upstream = 0;
    for (int round = 0; round < 3; ++round) {
        ours.push_back(bytes / fetch_all(agents, compare_fetches) / 1e6);
        upstream += g_upstream_requests;
        theirs.push_back(bytes / fetch_all(clients, compare_fetches) / 1e6);
    }
    close_agents(agents, server);
    close_agents(clients, server);
    require(upstream == 0, std::to_string(upstream) + " cache hits went upstream");
    table_row("cache hits MB/s: 64 agents, one cached 16 MiB file (4 each, median of 3)", median(ours), "nginx (HTTP, sendfile)", median(theirs),
              ">= 0.90", median(ours) >= 0.9 * median(theirs));
}

void run(boost::asio::io_context& io, server_t& server, const options& opt) {
    if (!opt.contender("nginx").empty()) return compare(io, server, opt);
    const std::string &binary = opt.binary, &pool = opt.pool;
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

int main(int argc, char** argv) { return driver_main<server_conn>(argc, argv, crowd, {"nginx"}, run); }
