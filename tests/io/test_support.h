// Helpers shared by the io tests: a temp directory, and a capture of the
// process log into a file of it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

/// Polls `done` every few milliseconds for at most five seconds.
inline bool wait_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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
