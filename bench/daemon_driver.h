// What the daemon benchmark drivers share: the real velmod-proxy as a child
// process, the command framing spoken on both of its sides, a stand-in upstream
// server inside the driver, and the driver's main with its I/O threads.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <arpa/inet.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>

namespace daemon_driver {

using boost::asio::ip::tcp;
typedef std::chrono::steady_clock clock_type;
typedef std::chrono::duration<double> seconds_d;

/// Set by the first broken rule; every wait gives up and the driver exits with 1.
inline std::atomic<bool> g_failed{false};

/// A phase that cannot finish: main reports it and ends every process it started.
inline void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

/// A connection broke a rule; the first report is printed and every wait gives up.
inline void fail(const std::string& what) {
    if (!g_failed.exchange(true)) std::fprintf(stderr, "failure: %s\n", what.c_str());
}

/// A count raised by the I/O threads that the main thread waits for.
class counter {
public:
    /// Raises the count by one and wakes the waiter.
    void add() {
        std::lock_guard<std::mutex> g(mutex_);
        ++value_;
        cv_.notify_all();
    }
    /// False on timeout or once a connection has failed.
    bool wait_for(std::size_t target, int seconds) {
        auto deadline = clock_type::now() + std::chrono::seconds(seconds);
        std::unique_lock<std::mutex> g(mutex_);
        while (value_ < target && !g_failed && clock_type::now() < deadline) cv_.wait_for(g, std::chrono::milliseconds(100));
        return value_ >= target;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t value_ = 0;
};

/// A child process (the daemon or a contender) with a temporary directory for
/// its configuration and its log; it dies with the driver (PR_SET_PDEATHSIG).
class child_process {
public:
    child_process() {
        char dir[] = "/tmp/velmod-bench-XXXXXX";
        require(mkdtemp(dir) != nullptr, std::string("mkdtemp: ") + std::strerror(errno));
        dir_ = dir;
        chmod(dir, 0755);  // nginx workers run as another user and read from here
    }
    /// Stops the process with `stop_signal`, then SIGKILL after 15 seconds; removes the directory.
    ~child_process() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    /// The temporary directory, for configuration files.
    const std::string& dir() const { return dir_; }
    /// The console log: stdout and stderr of the process.
    std::string log() const { return dir_ + "/console.log"; }
    /// Starts `args`; `inherit` (if not -1) is passed on as descriptor 3, `env` ("NAME=value") added.
    void start(const std::vector<std::string>& args, int stop_signal, int inherit = -1, const std::string& env = "") {
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        std::string env_copy = env;
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        if (!env.empty()) envp.push_back(&env_copy[0]);
        envp.push_back(nullptr);
        int out = open(log().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        require(out >= 0, "cannot create " + log() + ": " + std::strerror(errno));
        stop_signal_ = stop_signal;
        name_ = std::filesystem::path(args.at(0)).filename();
        pid_ = fork();
        if (pid_ == 0) {  // only async-signal-safe calls until exec
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(out, 1), dup2(out, 2);
            if (inherit == 3) fcntl(3, F_SETFD, 0);
            else if (inherit >= 0) dup2(inherit, 3);  // dup2 clears close-on-exec on the copy
            close_range(inherit >= 0 ? 4 : 3, ~0U, 0);  // no other socket of the driver leaks into the child
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out);
        require(pid_ > 0, std::string("fork: ") + std::strerror(errno));
    }
    /// Polls the log until it holds `line` (or, for "", until `seconds` have passed); its text.
    /// Throws when the process ends first or when `line` is not there within `seconds`.
    std::string wait_for_line(const std::string& line, double seconds = 30) {
        std::string text;
        auto deadline = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(seconds_d(seconds));
        for (; line.empty() || text.find(line) == std::string::npos;) {
            bool late = clock_type::now() > deadline;
            if (late && line.empty()) break;
            if (late || waitpid(pid_, nullptr, WNOHANG) != 0) {
                if (!late) pid_ = 0;  // reaped: nothing left to stop
                throw std::runtime_error(args0() + " did not start; its log ends:\n" + text.substr(text.size() - std::min<std::size_t>(text.size(), 3000)));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::ifstream in(log());
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return text;
    }
    /// Ends the process and reaps it; the log stays until destruction.
    void stop() {
        if (pid_ > 0) kill(pid_, stop_signal_);
        for (auto deadline = clock_type::now() + std::chrono::seconds(15); pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;) {
            if (clock_type::now() > deadline) {
                std::fprintf(stderr, "%s ignored signal %d for 15 s: killed\n", args0().c_str(), stop_signal_);
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = 0;
    }
    pid_t pid() const { return pid_; }
    /// Resident set size from /proc/PID/status, in KiB.
    long rss_kib() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
        throw std::runtime_error("no VmRSS for process " + std::to_string(pid_));
    }

private:
    std::string args0() const { return name_ + " (pid " + std::to_string(pid_) + ")"; }
    std::string dir_, name_;
    pid_t pid_ = 0;
    int stop_signal_ = SIGTERM;
};

/// A listening socket on 127.0.0.1 at a port the system chose, to hand to a
/// contender that cannot listen on port 0 itself; the descriptor closes with it.
class inherited_listener {
public:
    inherited_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);  // nginx takes an inherited socket as it finds it
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        require(fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(fd_, 4096) == 0 &&
                getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0, std::string("listening socket: ") + std::strerror(errno));
        port_ = ntohs(a.sin_port);
    }
    ~inherited_listener() { close(fd_); }
    inherited_listener(const inherited_listener&) = delete;
    inherited_listener& operator=(const inherited_listener&) = delete;
    int fd() const { return fd_; }
    tcp::endpoint endpoint() const { return tcp::endpoint(boost::asio::ip::address_v4::loopback(), port_); }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

/// The daemon as a child process, its console log in its directory.
class daemon_process {
public:
    /// Starts it relaying to `upstream` and waits for its start-up line and listening port.
    void start(const std::string& binary, const std::string& upstream, const std::string& pool) {
        std::string conf = child_.dir() + "/velmod-proxy.xml";
        std::ofstream(conf) << "<velmod-proxy><cache-root>" << child_.dir() << "/cache</cache-root><listen spec=\"ip(127.0.0.1),port(0)\">"
                            << "<forward to=\"" << upstream << "\"/></listen></velmod-proxy>\n";
        child_.start({binary, "--conf", conf, "--use-console-log", "--verbosity", "INFO", "--pool-size", pool}, SIGINT);
        std::string text = child_.wait_for_line("Proxy started, wait for client connections");
        std::size_t end = text.find(": Started listen");
        std::size_t colon = end == std::string::npos || end == 0 ? std::string::npos : text.rfind(':', end - 1);
        require(colon != std::string::npos, "no \"Started listen\" line in " + child_.log());
        port_ = static_cast<unsigned short>(std::stoul(text.substr(colon + 1, end - colon - 1)));
    }
    /// Stops the daemon and passes its error lines and any sanitizer report on; a report fails the run.
    ~daemon_process() {
        child_.stop();
        std::ifstream in(child_.log());
        int shown = 0;
        for (std::string line; std::getline(in, line);) {
            bool sanitizer = line.find("Sanitizer") != std::string::npos || line.find("runtime error:") != std::string::npos;
            if (sanitizer) g_failed = true;
            if ((sanitizer || line.find(" ERR [") != std::string::npos) && shown++ < 20) std::fprintf(stderr, "daemon: %s\n", line.c_str());
        }
    }
    /// Where agents reach the daemon: its listening port on 127.0.0.1.
    tcp::endpoint endpoint() const { return tcp::endpoint(boost::asio::ip::address_v4::loopback(), port_); }
    /// Resident set size in KiB.
    long rss_kib() const { return child_.rss_kib(); }
    pid_t pid() const { return child_.pid(); }

private:
    child_process child_;
    unsigned short port_ = 0;
};

/// One received command header; its body goes to the sink in pieces.
struct frame {
    uint32_t number = 0, size = 0;
    bool binary = false;
    std::string name, args;
};

/// Reads "<n> NAME [T<len>|N] [args]\r\n[body\r\n]" frames, checking that the numbers count up from 0.
class frame_parser {
public:
    /// Hands `sink` begin(frame), body(bytes, count) in pieces and end(frame) for each command;
    /// stops after a command whose end() left `sink.raw` set. The bytes it used.
    template <class Sink>
    std::size_t feed(const char* p, std::size_t n, Sink& sink) {
        const std::size_t all = n;
        while (n > 0 && !sink.raw) {
            if (left_ > 2) {  // body bytes, handed on without a copy
                std::size_t k = std::min<std::size_t>(left_ - 2, n);
                sink.body(p, k);
                p += k, n -= k, left_ -= k;
            } else if (left_ > 0) {
                require(*p == "\r\n"[2 - left_], "no CR LF after a body");
                ++p, --n;
                if (--left_ == 0) sink.end(f_);
            } else {
                const char* lf = static_cast<const char*>(std::memchr(p, '\n', n));
                std::size_t k = lf ? std::size_t(lf - p) + 1 : n;
                line_.append(p, k);
                p += k, n -= k;
                require(line_.size() <= 16400, "header too long");
                if (!lf) break;
                parse_line();
                sink.begin(f_);
                left_ = f_.size ? f_.size + 2 : 0;
                if (!left_) sink.end(f_);
            }
        }
        return all - n;
    }

private:
    void parse_line() {
        std::size_t sp = line_.find(' ');
        require(line_.size() > 2 && line_[line_.size() - 2] == '\r' && sp != std::string::npos, "bad header: " + line_);
        require(line_.compare(0, sp, std::to_string(expected_++)) == 0, "frame number out of order: " + line_);
        std::string head = line_.substr(sp + 1, line_.size() - sp - 3);  // the peers here separate words by one blank
        line_.clear();
        f_ = frame();
        f_.number = expected_ - 1;
        std::size_t b = head.find(' '), c = head.find(' ', b + 1);
        f_.name = head.substr(0, b);
        std::string marker = b == std::string::npos ? "" : head.substr(b + 1, c - b - 1);
        f_.binary = marker == "N" || (marker.size() > 1 && marker[0] == 'T' && marker.find_first_not_of("0123456789", 1) == std::string::npos);
        if (f_.binary) f_.size = marker == "N" ? 0 : uint32_t(std::stoul(marker.substr(1)));
        if (f_.binary) b = c;
        f_.args = b == std::string::npos ? "" : head.substr(b + 1);
    }

    std::string line_;
    frame f_;
    std::size_t left_ = 0;  // body bytes and its CR LF still to come
    uint32_t expected_ = 0;
};

/// One command connection on the driver's I/O threads: frames go to the derived
/// class's handlers on its strand; sends are numbered and written in order.
class peer : public boost::enable_shared_from_this<peer> {
public:
    explicit peer(boost::asio::io_context& io) : socket(io), strand_(boost::asio::make_strand(io)) {}
    virtual ~peer() = default;
    /// Public so that an acceptor can fill it before start().
    tcp::socket socket;

    /// Starts reading a connected socket; Nagle is off so that the driver adds no delay of its own.
    void start() {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        boost::asio::dispatch(strand_, [self = shared_from_this()] { self->read(); });
    }
    /// Connects as an agent and opens the negotiation at version 2.9 offering `options`
    /// ("%Z": none; "CRYPT": raw bytes both ways once authorized).
    void connect(const tcp::endpoint& to, const std::string& options = "%Z") {
        socket.async_connect(to, boost::asio::bind_executor(strand_, [to, options, self = shared_from_this()](const boost::system::error_code& e) {
            if (e) return fail("connect to " + to.address().to_string() + ":" + std::to_string(to.port()) + ": " + e.message());
            self->start();
            self->send("PROTOCOL", "2 9 " + options);
        }));
    }
    /// Queues bytes to go out as they are, after the commands queued before them.
    void send_raw(boost::asio::const_buffer bytes, std::shared_ptr<const void> owner) {
        boost::asio::dispatch(strand_, [=, self = shared_from_this()] {
            queue_.push_back({std::string(), bytes, owner});
            write_next();
        });
    }
    /// Queues a command; a body is sent from the owner's bytes without a copy.
    void send(const std::string& name, const std::string& args, bool binary = false,
              boost::asio::const_buffer body = {}, std::shared_ptr<const void> owner = {}) {
        boost::asio::dispatch(strand_, [=, self = shared_from_this()] {
            std::string head = std::to_string(out_number_++) + " " + name;
            if (binary) head += body.size() ? " T" + std::to_string(body.size()) : std::string(" N");
            queue_.push_back({head + (args.empty() ? "" : " ") + args + "\r\n", body, owner});
            write_next();
        });
    }
    /// Closes the socket on the strand; closed() follows when the pending read ends.
    void close() {
        boost::asio::post(strand_, [self = shared_from_this()] {
            boost::system::error_code ignored;
            self->socket.close(ignored);
        });
    }
    /// A command's header has arrived; its body follows in body() calls.
    virtual void begin(const frame&) {}
    /// The next piece of the current command's body.
    virtual void body(const char*, std::size_t) {}
    /// The current command is complete.
    virtual void end(const frame& f) = 0;
    /// The connection has ended (closed, broken or a framing fault).
    virtual void closed() {}
    /// Bytes that arrived after the negotiation switched the connection to raw bytes.
    virtual void raw_bytes(const char*, std::size_t) {}
    /// Set on the strand once both sides offered CRYPT and the server said AUTHORIZE OK:
    /// from then on the bytes go to raw_bytes() unparsed, as they pass the daemon.
    bool raw = false;

protected:
    /// The server's part of the negotiation and keep-alive; false for any other command.
    bool answer_as_server(const frame& f) {
        if (f.name == "PROTOCOL") {  // offers what the agent offered
            crypt_ = f.args.find("CRYPT") != std::string::npos;
            send("PROTOCOL", f.args);
            send("CHALLENGE", "0123456789abcdef");
        } else if (f.name == "SIGNATURE") {
            send("GOTIT", "");
            send("AUTHORIZE", "OK");
            raw = crypt_;
        } else if (f.name == "PING") {
            send("PONG", f.args);
        } else {
            return false;
        }
        return true;
    }
    /// The agent's part of the negotiation and keep-alive; false for any other command.
    bool answer_as_agent(const frame& f) {
        if (f.name == "PROTOCOL") crypt_ = f.args.find("CRYPT") != std::string::npos;
        else if (f.name == "CHALLENGE") send("SIGNATURE", "bench");
        else if (f.name == "PING") send("PONG", f.args);
        else {
            if (f.name == "AUTHORIZE" && f.args == "OK") raw = crypt_;  // the caller counts the agent ready
            return false;
        }
        return true;
    }

    boost::asio::strand<boost::asio::io_context::executor_type> strand_;

private:
    struct out_cmd {
        std::string head;
        boost::asio::const_buffer body;
        std::shared_ptr<const void> owner;
    };
    void read() {
        socket.async_read_some(boost::asio::buffer(rbuf_), boost::asio::bind_executor(strand_,
            [self = shared_from_this()](const boost::system::error_code& e, std::size_t n) {
                if (e) return self->closed();
                try {
                    std::size_t k = self->raw ? 0 : self->parser_.feed(self->rbuf_.data(), n, *self);
                    if (k < n) self->raw_bytes(self->rbuf_.data() + k, n - k);
                } catch (const std::exception& x) {
                    fail(x.what());
                    return self->closed();
                }
                self->read();
            }));
    }
    void write_next() {
        if (!writing_.empty() || queue_.empty()) return;
        static const char crlf[] = "\r\n";
        std::vector<boost::asio::const_buffer> buffers;
        while (!queue_.empty() && writing_.size() < 64) {  // small commands go out together
            writing_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            if (writing_.back().head.empty()) {  // raw bytes
                buffers.push_back(writing_.back().body);
                continue;
            }
            buffers.push_back(boost::asio::buffer(writing_.back().head));
            if (writing_.back().body.size()) buffers.insert(buffers.end(), {writing_.back().body, boost::asio::buffer(crlf, 2)});
        }
        boost::asio::async_write(socket, buffers, boost::asio::bind_executor(strand_,
            [self = shared_from_this()](const boost::system::error_code& e, std::size_t) {
                self->writing_.clear();
                if (!e) self->write_next();
            }));
    }

    frame_parser parser_;
    bool crypt_ = false;  // the peer offered CRYPT
    std::array<char, 65536> rbuf_;
    std::deque<out_cmd> queue_, writing_;
    uint32_t out_number_ = 0;
};

/// The stand-in server's side of one connection; `closed` counts it once it has ended.
class server_peer : public peer {
public:
    server_peer(boost::asio::io_context& io, counter& closed) : peer(io), closed_(closed) {}
    /// Counts the connection as ended.
    void closed() override { closed_.add(); }

private:
    counter& closed_;
};

/// An agent's connection: `ready` counts it once negotiated, `done` once its workload is answered.
class agent_peer : public peer {
public:
    agent_peer(boost::asio::io_context& io, counter& ready) : peer(io), ready_(ready) {}
    /// A connection that ends with answers still due fails the run.
    void closed() override {
        if (received_ != count_) fail("an agent's connection ended in the middle of its workload");
    }

protected:
    counter& ready_;
    counter* done_ = nullptr;
    std::size_t count_ = 0, received_ = 0;  // answers expected and received in the current workload
};

/// The stand-in upstream server on a loopback port chosen by the system; `Conn(io, closed)` serves one connection.
template <class Conn>
class standin_server {
public:
    explicit standin_server(boost::asio::io_context& io) : io_(io), acceptor_(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
        accept();
    }
    /// The daemon's forward target.
    std::string spec() const { return "tcp/127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()); }
    /// Where agents reach the server directly.
    tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
    /// Waits until every accepted connection has ended.
    bool wait_all_closed(int seconds) { return closed_.wait_for(accepted_, seconds); }

private:
    void accept() {
        auto conn = boost::make_shared<Conn>(io_, closed_);
        acceptor_.async_accept(conn->socket, [this, conn](const boost::system::error_code& e) {
            if (e) return;
            ++accepted_;
            conn->start();
            accept();
        });
    }
    boost::asio::io_context& io_;
    tcp::acceptor acceptor_;
    std::atomic<std::size_t> accepted_{0};
    counter closed_;
};

/// Connects `n` agents `Agent(io, ready)` to `to` offering `options` in batches of 100 and waits until all are ready.
template <class Agent>
std::vector<boost::shared_ptr<Agent>> connect_agents(boost::asio::io_context& io, const tcp::endpoint& to, std::size_t n,
                                                     const std::string& options = "%Z") {
    std::vector<boost::shared_ptr<Agent>> agents;
    counter ready;
    while (agents.size() < n) {
        for (std::size_t i = std::min<std::size_t>(100, n - agents.size()); i > 0; --i) {
            agents.push_back(boost::make_shared<Agent>(io, ready));
            agents.back()->connect(to, options);
        }
        require(ready.wait_for(agents.size(), 60), std::to_string(agents.size()) + " agents not " + Agent::ready_means + " within 60 s");
    }
    return agents;
}

/// Closes the agents and waits until the server has seen every connection to it end.
template <class Agent, class Conn>
void close_agents(std::vector<boost::shared_ptr<Agent>>& agents, standin_server<Conn>& server) {
    for (auto& a : agents) a->close();
    agents.clear();
    require(server.wait_all_closed(60), "upstream connections still open 60 s after their agents left");
}

/// The median of a few figures taken one after another: one disturbed run does not move it.
inline double median(std::vector<double> figures) {
    std::sort(figures.begin(), figures.end());
    return figures.at(figures.size() / 2);
}

/// One markdown row of the comparison table that bench/compare.sh assembles; `met` is
/// empty when the measure has no target.
inline void table_row(const std::string& measure, double ours, const std::string& contender, double theirs,
                      const std::string& target, std::optional<bool> met) {
    std::printf("| %s | %.1f | %s | %.1f | %.2f | %s | %s |\n", measure.c_str(), ours, contender.c_str(), theirs, ours / theirs,
                target.c_str(), met ? (*met ? "yes" : "**no**") : "-");
    std::fflush(stdout);
}

/// What a driver's command line names: the daemon, its pool size and the contenders to compare with.
struct options {
    std::string binary, pool = "2";
    std::map<std::string, std::string> contenders;  // "haproxy" -> its binary
    /// The binary given for `name` with --name, or "" when there is none.
    std::string contender(const std::string& name) const {
        auto i = contenders.find(name);
        return i == contenders.end() ? std::string() : i->second;
    }
};

/// A driver's main: argv is [velmod-proxy binary] [daemon pool size (default 2)], then
/// "--NAME binary" for each contender of `names` to compare with; the descriptor limit is
/// raised for `peak` agents, and `run(io, server, options)` goes with four I/O threads.
template <class Conn, class Run>
int driver_main(int argc, char** argv, std::size_t peak, const std::vector<std::string>& names, Run run) {
    std::error_code e;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", e);
    options opt;
    opt.binary = (self.parent_path().parent_path() / "proxy" / "velmod-proxy").string();
    bool ok = true;
    for (int i = 1, positional = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a.compare(0, 2, "--") == 0 && std::find(names.begin(), names.end(), a.substr(2)) != names.end() && i + 1 < argc)
            opt.contenders[a.substr(2)] = argv[++i];
        else if (positional < 2 && a.compare(0, 1, "-") != 0)
            (positional++ == 0 ? opt.binary : opt.pool) = a;
        else
            ok = false;
    }
    for (auto& c : opt.contenders) ok = ok && access(c.second.c_str(), X_OK) == 0;
    if (!ok || access(opt.binary.c_str(), X_OK) != 0 || opt.pool.empty() || opt.pool.find_first_not_of("0123456789") != std::string::npos) {
        std::string usage;
        for (auto& n : names) usage += " [--" + n + " binary]";
        std::fprintf(stderr, "usage: %s [velmod-proxy binary (%s)] [daemon pool size]%s\n", argv[0], opt.binary.c_str(), usage.c_str());
        return 2;
    }
    // An interrupted run gives up its waits, so that every process started is stopped and every directory removed.
    for (int sig : {SIGINT, SIGTERM}) signal(sig, [](int) { g_failed = true; });
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;  // the daemon inherits it
    // Each pair holds an agent's and a server's socket here, and as many in the proxy.
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2 * peak + 100)
        std::fprintf(stderr, "warning: descriptor limit %lu may be too low for %zu agents\n", (unsigned long)limit.rlim_cur, peak);

    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&io] { io.run(); });
    int rc = 0;
    {
        standin_server<Conn> server(io);
        try {
            run(io, server, opt);
        } catch (const std::exception& x) {
            std::fprintf(stderr, "%s: %s\n", std::filesystem::path(argv[0]).filename().c_str(), x.what());
            rc = 1;
        }
        work.reset();
        io.stop();
        for (auto& t : threads) t.join();
    }
    return g_failed ? 1 : rc;
}

}  // namespace daemon_driver
