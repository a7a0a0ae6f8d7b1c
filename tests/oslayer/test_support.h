// Helpers shared by the platform library's tests, and the headers most of
// them use.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oslayer/loggers.h"

extern char** environ;

namespace oslayer_test {

using strings = std::vector<std::string>;

/// The whole content of a file, or "<missing>" when it cannot be opened.
inline std::string read_file(const std::string& name) {
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return "<missing>";
    std::string out;
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) out.append(block, n);
    fclose(f);
    return out;
}

/// A scratch directory under `base`, removed with everything in it (also
/// when a test left parts of it without write permission).
struct scratch_t {
    std::string path;
    explicit scratch_t(const char* base = "/tmp") {
        std::string tmpl = std::string(base) + "/velmod-test.XXXXXX";
        const char* made = mkdtemp(&tmpl[0]);
        EXPECT_NE(made, nullptr) << base;
        path = made ? made : "";
    }
    ~scratch_t() {
        if (!path.empty()) (void)system(("chmod -R u+rwx '" + path + "'; rm -rf '" + path + "'").c_str());
    }
    scratch_t(const scratch_t&) = delete;
    scratch_t& operator=(const scratch_t&) = delete;
    /// Writes `bytes` as the file `name` in the directory; returns its path.
    std::string put(const std::string& name, const std::string& bytes) const {
        std::string full = path + "/" + name;
        FILE* f = fopen(full.c_str(), "wb");
        EXPECT_NE(f, nullptr) << full;
        if (f) {
            EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            fclose(f);
        }
        return full;
    }
};

/// The system's text for `err` as get_last_error words it.
inline std::string sys_text(int err) { return std::string(strerror(err)) + " (errno=" + std::to_string(err) + ")"; }

/// The message of the error of shell type E that `f` raises, or "no error".
template <class E, class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "no error";
}

/// Runs `body` on a thread of its own and waits for it.
template <class F>
void on_fresh_thread(F body) {
    std::thread(body).join();
}

/// Runs `body(t)` for t in [0, n) on n threads at once and waits for all.
template <class F>
void run_threads(int n, F body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (std::thread& th : threads) th.join();
}

/// The lines of `text`, without their line ends.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

/// Sets (null: removes) an environment variable; the old state comes back.
class env_guard_t {
public:
    explicit env_guard_t(const char* name, const char* value = nullptr) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        set(value);
    }
    ~env_guard_t() { set(had_ ? old_.c_str() : nullptr); }
    void set(const char* value) { value ? setenv(name_, value, 1) : unsetenv(name_); }
    env_guard_t(const env_guard_t&) = delete;
    env_guard_t& operator=(const env_guard_t&) = delete;

private:
    const char* name_;
    bool had_;
    std::string old_;
};

/// The text after a log line's prefix (thread names of at most six characters).
inline std::string message_of(const std::string& line) {
    size_t bracket = line.find("] ");
    return bracket == std::string::npos || line.size() < bracket + 9 ? std::string() : line.substr(bracket + 9);
}

/// A file in a scratch directory opened for appending, as loggers use it.
struct log_file_t {
    scratch_t dir;
    std::string name = dir.path + "/test.log";
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ~log_file_t() {
        if (fd >= 0) ::close(fd);
    }
    std::string text() const { return read_file(name); }
    std::vector<std::string> lines() const { return split_lines(text()); }
    /// The messages of the lines, prefixes cut off.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const std::string& l : lines()) out.push_back(message_of(l));
        return out;
    }
};

/// Makes `replacement` the root logger while it lives; whatever root is
/// installed at the end (unless the old one) is deleted.
class root_swap_t {
public:
    explicit root_swap_t(if_logger_t* replacement) : saved(if_logger_t::Log) {
        xlocker_t g(if_logger_t::LogMutex);
        if_logger_t::Log = replacement;
    }
    ~root_swap_t() {
        xlocker_t g(if_logger_t::LogMutex);
        if (if_logger_t::Log != saved) delete if_logger_t::Log;
        if_logger_t::Log = saved;
    }
    if_logger_t* const saved;
};

/// A descriptor logger on a scratch file is the root logger while it lives.
struct captured_root_t : log_file_t {
    explicit captured_root_t(int level = LOG_LEVEL_DEBUG3) : logger(new fd_logger_t(fd)), swap(logger) {
        logger->set_level(level);
    }
    fd_logger_t* const logger;
    root_swap_t swap;
};

struct child_result_t {
    int status = -1;  ///< exit code, 1000 + signal, -1 when it could not run
    std::string out, err;
};

/// Runs the single test `test` of this program again in a child process.
/// `env` entries "NAME=value" replace the inherited ones, a bare "NAME" removes it.
inline child_result_t run_self(const std::string& test, const std::vector<std::string>& env) {
    std::vector<std::string> keep;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const std::string& v : env) {
            std::string name = v.substr(0, v.find('=')) + "=";
            replaced = replaced || strncmp(*e, name.c_str(), name.size()) == 0;
        }
        if (!replaced) keep.push_back(*e);
    }
    for (const std::string& v : env)
        if (v.find('=') != std::string::npos) keep.push_back(v);
    std::vector<char*> envp;
    for (std::string& s : keep) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=" + test;
    char* argv[] = {&self[0], &filter[0], nullptr};
    scratch_t dir;
    std::string out = dir.path + "/out", err = dir.path + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t pid = 0;
    child_result_t r;
    int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

}  // namespace oslayer_test
