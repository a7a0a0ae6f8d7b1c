// The service process: the body in the foreground and detached into the
// background (checked from a forked test child), and the PID-file guard
// against live, dead, unreadable and odd process ids.
#include <gtest/gtest.h>

#include "tests/oslayer/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "oslayer/loggers.h"
#include "oslayer/service.h"

namespace {

using oslayer_test::scratch_t;

std::string read_text(const std::string& name) {
    std::string out;
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return "<missing>";
    char block[512];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out.append(block, n);
    fclose(f);
    return out;
}

void write_text(const std::string& name, const std::string& text) {
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

/// Collects every log line while it is the root logger.
class capture_logger_t : public if_logger_t {
public:
    capture_logger_t() { level = LOG_LEVEL_DEBUG3; }
    void write(const char* line) override { lines.emplace_back(line); }
    /// True when some line carries `text`.
    bool has(const std::string& text) const {
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> lines;
};

/// Makes a capture logger the root logger for the guard's lifetime.
class capture_guard_t {
public:
    capture_guard_t() : saved(if_logger_t::Log) { if_logger_t::Log = &log; }
    ~capture_guard_t() { if_logger_t::Log = saved; }
    capture_logger_t log;

private:
    if_logger_t* const saved;
};

/// Sends descriptor 2 into a file while it lives; `text` reads what came.
class stderr_capture_t {
public:
    explicit stderr_capture_t(const std::string& file) : name(file) {
        fflush(stderr);
        saved = ::dup(2);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~stderr_capture_t() { restore(); }
    void restore() {
        if (saved < 0) return;
        fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }
    std::string text() {
        restore();
        return read_text(name);
    }

private:
    std::string name;
    int saved;
};

/// The id of a process that has ended and been reaped.
pid_t dead_pid() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// Facts the foreground body records.
int g_body_argc = -1;
std::string g_body_arg;
pid_t g_body_pid = -1;

void recording_body(int argc, char** argv) {
    g_body_argc = argc;
    g_body_arg = argc > 1 ? argv[1] : "";
    g_body_pid = ::getpid();
}

void throwing_body(int, char**) { throw std::runtime_error("body failed"); }

// Where the detached body writes its facts, and the process that called go.
char g_result_path[256];
pid_t g_caller_pid = -1;

bool same_file_as_dev_null(int fd) {
    struct stat a, b;
    if (::fstat(fd, &a) != 0 || ::stat("/dev/null", &b) != 0) return false;
    return a.st_rdev == b.st_rdev && a.st_ino == b.st_ino;
}

/// Runs detached: records its situation, then leaves without any exit handler.
void detached_body(int, char**) {
    char cwd[4096];
    std::string facts;
    facts += ::getsid(0) == ::getpid() ? "session-leader " : "not-leader ";
    facts += ::getpid() != g_caller_pid ? "other-process " : "same-process ";
    for (int fd = 0; fd <= 2; ++fd) facts += same_file_as_dev_null(fd) ? "null " : "not-null ";
    facts += ::getcwd(cwd, sizeof cwd) ? cwd : "?";
    // Written aside and renamed so that the test never sees half of it.
    std::string tmp = std::string(g_result_path) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        if (::write(fd, facts.data(), facts.size()) == static_cast<ssize_t>(facts.size()))
            ::rename(tmp.c_str(), g_result_path);
        ::close(fd);
    }
    ::_exit(0);
}

}  // namespace

TEST(ServiceProcess, ForegroundRunsTheBodyInThisProcess) {
    base_n::service_process_t svc("velmod-proxy", false, false, true, true);
    EXPECT_FALSE(svc.must_detach());
    EXPECT_FALSE(svc.background);
    char arg0[] = "velmod-proxy";
    char arg1[] = "--config";
    char* argv[] = {arg0, arg1, nullptr};
    EXPECT_EQ(svc.go(recording_body, 2, argv), 0);
    EXPECT_EQ(g_body_argc, 2);
    EXPECT_EQ(g_body_arg, "--config");
    EXPECT_EQ(g_body_pid, ::getpid());

    try {
        svc.go(throwing_body, 0, nullptr);
        ADD_FAILURE() << "the body's exception was swallowed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "body failed");
    }
}

TEST(ServiceProcess, BackgroundBodyRunsDetachedWithNullDescriptors) {
    scratch_t t;
    std::string result = t.path + "/facts";
    ASSERT_LT(result.size(), sizeof g_result_path);
    snprintf(g_result_path, sizeof g_result_path, "%s", result.c_str());
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The test child plays the program: it must never return into the test runner.
        g_caller_pid = ::getpid();
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        svc.background = true;
        svc.go(detached_body, 0, nullptr);
        ::_exit(3);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    for (int i = 0; i < 1000 && ::access(result.c_str(), F_OK) != 0; ++i) ::usleep(10000);
    EXPECT_EQ(read_text(result), std::string("session-leader other-process null null null ") + cwd);
}

TEST(ServicePidFile, LivePidStopsLoadingAndKeepsTheFile) {
    scratch_t t;
    std::string path = t.path + "/proxy.pid";
    const std::string content = std::to_string(::getppid());
    write_text(path, content);
    capture_guard_t capture;
    {
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        stderr_capture_t err(t.path + "/stderr");
        EXPECT_FALSE(svc.create_pid(path));
        EXPECT_EQ(err.text(),
                  "Process with PID " + content + " exists, abort loading (" + path + ")\n");
        EXPECT_TRUE(capture.log.has("Found PID file \"" + path + "\" and process with PID " + content +
                                    " exists, abort loading"));
        EXPECT_EQ(read_text(path), content);
        // The second call answers the same without looking at the file again.
        write_text(path, std::to_string(dead_pid()));
        const std::string second = read_text(path);
        EXPECT_FALSE(svc.create_pid(path));
        EXPECT_EQ(read_text(path), second);
    }
    // Not created by this service, so not removed by it either.
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

TEST(ServicePidFile, DeadPidIsOverwrittenAndRemovedAtTheEnd) {
    scratch_t t;
    std::string path = t.path + "/proxy.pid";
    write_text(path, std::to_string(dead_pid()));
    capture_guard_t capture;
    const std::string own = std::to_string(::getpid());
    {
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_text(path), own);
        EXPECT_TRUE(capture.log.has("Stalled PID file \"" + path + "\" will be overwritten"));
        EXPECT_TRUE(capture.log.has("Created PID file \"" + path + "\""));
        write_text(path, own + " touched");
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_text(path), own + " touched");
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(capture.log.has("PID file \"" + path + "\" removed"));
}

TEST(ServicePidFile, MissingFileIsCreatedWithDirectories) {
    scratch_t t;
    std::string path = t.path + "/run/dir/proxy.pid";
    capture_guard_t capture;
    {
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_text(path), std::to_string(::getpid()));
        EXPECT_FALSE(capture.log.has("Stalled"));
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(ServicePidFile, UnreadableOrOddContentIsOverwritten) {
    scratch_t t;
    std::string path = t.path + "/proxy.pid";
    const std::string own = std::to_string(::getpid());
    struct case_t {
        std::string content;
        std::string warning;
    };
    // 0, -1 and ids past the pid range would make kill() address whole
    // process groups and always "succeed"; they are no live process.
    const case_t cases[] = {
        {"12ab", "Unable to read existing PID file \"" + path + "\" because of invalid symbol \\x61"},
        {"", "Unable to read existing PID file \"" + path + "\" because of scanned number empty"},
        {"0", "Stalled PID file \"" + path + "\" will be overwritten"},
        {"-1", "Stalled PID file \"" + path + "\" will be overwritten"},
        {std::to_string(static_cast<unsigned>(INT_MAX) + 1u), "Stalled PID file \"" + path + "\" will be overwritten"},
    };
    for (const case_t& c : cases) {
        write_text(path, c.content);
        capture_guard_t capture;
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path)) << c.content;
        EXPECT_TRUE(capture.log.has(c.warning)) << c.content;
        EXPECT_EQ(read_text(path), own) << c.content;
    }
}

TEST(ServicePidFile, FailedWriteIsLoggedAndLoadingGoesOn) {
    capture_guard_t capture;
    const std::string path = "/dev/null/proxy.pid";
    base_n::service_process_t svc("velmod-proxy", false, false, true, true);
    EXPECT_TRUE(svc.create_pid(path));
    EXPECT_TRUE(capture.log.has("Unable to create PID file \"" + path + "\" because of " + strerror(ENOTDIR) +
                                " (errno=" + std::to_string(ENOTDIR) + ")"));
    EXPECT_FALSE(capture.log.has("Created PID file"));
}
