// Helpers shared by the io tests: waiting on what pool threads record, loopback
// peers, an independent zlib, a temp directory and a capture of the process log.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/make_shared.hpp>

#include "io/cmd_builder.h"
#include "io/request_queue.h"
#include "oslayer/loggers.h"

namespace io_test {

/// Records "<tag>:<sent>" for every request callback run.
struct journal {
    std::vector<std::string> events;
    io::request_callback callback(const std::string& tag) {
        return [this, tag](bool sent) { events.push_back(tag + (sent ? ":true" : ":false")); };
    }
};

/// The bytes of a queue, request after request.
inline std::string bytes_of(const io::request_queue& q) {
    std::string out;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) {
        boost::asio::const_buffer b = r->const_buffer();
        out.append(static_cast<const char*>(b.data()), b.size());
    }
    return out;
}

/// A command built the way handlers build them: name, raw arguments, optional body.
inline io::request_queue command(const char* name, const std::string& args, const std::string* body = nullptr) {
    io::proto::cmd_builder b(name, body != nullptr);
    if (!args.empty()) b.append_raw_argument(args.data(), args.size());
    if (body && !body->empty()) {
        io::request_queue payload = io::make_cloned_request(body->data(), body->size());
        b.append_payload(payload);
    }
    return b.build();
}

/// Polls `done` every few milliseconds for at most five seconds.
inline bool wait_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// A lock and condition for records that pool threads fill and tests wait on.
struct waitable {
    std::mutex mutex;
    std::condition_variable cv;
    template <class F>
    void note(F f) {
        std::lock_guard<std::mutex> g(mutex);
        f();
        cv.notify_all();
    }
    /// Waits at most `seconds` for `pred`, checked under the lock; rechecks every
    /// few milliseconds, so conditions on state outside the record are seen too.
    template <class Pred>
    bool wait(Pred pred, int seconds = 30) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::unique_lock<std::mutex> g(mutex);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            cv.wait_for(g, std::chrono::milliseconds(5));
        }
        return true;
    }
};

/// Counts every callback of one request, to prove it runs exactly once.
struct outcome {
    std::atomic<int> calls{0}, trues{0};
    io::request_callback callback() {
        return [this](bool ok) {
            trues += ok;
            ++calls;
        };
    }
    /// Waits (at most 30 s) until the callback has run.
    bool wait() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (calls.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return calls.load() != 0;
    }
    /// Told once, and told `sent`.
    void expect_once(bool sent = true) {
        ASSERT_TRUE(wait());
        EXPECT_EQ(1, calls.load());
        EXPECT_EQ(sent ? 1 : 0, trues.load());
    }
};

/// Deterministic text of `n` bytes, CR and LF included.
inline std::string sample(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>("abcdefgh \r\n0123"[(seed + i * 7 + i / 13) % 16]);
    return s;
}

inline bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

/// Reads exactly `n` bytes from `peer`; an error fails the test.
template <class Socket>
std::string read_exactly(Socket& peer, std::size_t n) {
    std::string out(n, '\0');
    boost::system::error_code ec;
    boost::asio::read(peer, boost::asio::buffer(&out[0], n), ec);
    EXPECT_FALSE(ec) << ec.message();
    return out;
}

/// Has `dial` connect to a fresh loopback listener given as "tcp/127.0.0.1:<port>"
/// and returns the accepted socket. Its reads give up after 30 s instead of
/// hanging the run; a small receive window keeps the kernel from swallowing
/// large writes, so that they stay in flight until the test reads.
inline boost::shared_ptr<boost::asio::ip::tcp::socket> accept_dialed(
    boost::asio::io_service& service, const std::function<void(const std::string&)>& dial, bool small_window = false) {
    using boost::asio::ip::tcp;
    tcp::acceptor acceptor(service);
    acceptor.open(tcp::v4());
    if (small_window) acceptor.set_option(boost::asio::socket_base::receive_buffer_size(64 << 10));
    acceptor.bind(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    acceptor.listen();
    dial("tcp/127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
    auto peer = boost::make_shared<tcp::socket>(service);
    acceptor.accept(*peer);
    timeval limit{30, 0};
    setsockopt(peer->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return peer;
}

/// Runs zlib itself over `in`: the peer's side, owing nothing to the filters under test.
inline std::string zlib_run(z_stream& z, bool deflating, const std::string& in, int flush, bool* broken = nullptr) {
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    do {
        char area[4096];
        z.next_out = reinterpret_cast<Bytef*>(area);
        z.avail_out = sizeof area;
        const int result = deflating ? deflate(&z, flush) : inflate(&z, flush);
        if (broken && result == Z_DATA_ERROR) *broken = true;
        out.append(area, sizeof area - z.avail_out);
    } while (z.avail_out == 0);
    return out;
}

/// A zlib stream of the peer's: a deflater's `feed` ends at a sync-flush point
/// unless told otherwise; an inflater is `broken` once zlib has rejected the stream.
template <bool Deflating>
class zlib_stream {
public:
    zlib_stream() { Deflating ? deflateInit(&z_, Z_DEFAULT_COMPRESSION) : inflateInit(&z_); }
    ~zlib_stream() { Deflating ? deflateEnd(&z_) : inflateEnd(&z_); }
    std::string feed(const std::string& in, int flush = Z_SYNC_FLUSH) {
        return zlib_run(z_, Deflating, in, flush, &broken);
    }
    bool broken = false;

private:
    z_stream z_{};
};
typedef zlib_stream<true> zlib_deflater;
typedef zlib_stream<false> zlib_inflater;

/// The bytes of one peer stream holding `pieces`, each ending at a sync-flush point.
inline std::string zlib_deflate(const std::vector<std::string>& pieces) {
    zlib_deflater z;
    std::string out;
    for (const std::string& p : pieces) out += z.feed(p);
    return out;
}

/// A fresh directory under /tmp, removed with the files named through `path`.
class temp_dir {
public:
    temp_dir() {
        char pattern[] = "/tmp/velmod-io-XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "";
    }
    ~temp_dir() {
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string path(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }

private:
    std::string dir_;
    std::vector<std::string> files_;
};

/// Makes a descriptor logger on a temp file the root logger for its lifetime.
class log_capture {
public:
    explicit log_capture(int level = LOG_LEVEL_DEBUG3) : file_(dir_.path("capture.log")) {
        int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        logger_ = new fd_logger_t(fd);
        logger_->set_level(level);
        xlocker_t guard(if_logger_t::LogMutex);
        saved_ = if_logger_t::Log;
        if_logger_t::Log = logger_;
    }
    ~log_capture() {
        {
            xlocker_t guard(if_logger_t::LogMutex);
            if_logger_t::Log = saved_;
        }
        int fd = logger_->fd;
        delete logger_;
        ::close(fd);
    }
    /// The message part of every line written so far (the prefix cut off).
    std::vector<std::string> messages() const {
        {
            xlocker_t guard(if_logger_t::LogMutex);
            logger_->flush_repeats();
        }
        std::ifstream in(file_, std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(message_of(line));
        return out;
    }
    /// The first group of the last message that matches `pattern` whole, or "".
    std::string last_match(const std::string& pattern) const {
        const std::regex re(pattern);
        std::smatch m;
        std::string found;
        for (const std::string& line : messages())
            if (std::regex_match(line, m, re)) found = m[1];
        return found;
    }
    /// Lines whose message equals `text`.
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        for (const std::string& m : messages()) n += m == text;
        return n;
    }

private:
    // The prefix is "date.time.hh cod [  pid   tid] name   " with the name padded to six.
    static std::string message_of(const std::string& line) {
        std::size_t bracket = line.find("] ");
        if (bracket == std::string::npos) return line;
        std::size_t name_end = line.find(' ', bracket + 2);
        if (name_end == std::string::npos) return std::string();
        std::size_t start = std::max(bracket + 2 + 7, name_end + 1);
        return start > line.size() ? std::string() : line.substr(start);
    }

    temp_dir dir_;
    std::string file_;
    fd_logger_t* logger_;
    if_logger_t* saved_;
};

}  // namespace io_test
