// The service process: the body in the foreground and detached into the
// background (checked from a forked test child), and the PID-file guard
// against live, dead, unreadable and odd process ids.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

#include "oslayer/service.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::scratch_t;

using oslayer_test::read_file;

void write_text(const std::string& name, const std::string& text) {
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

/// True when some line the root logger wrote carries `text`.
bool logged(const oslayer_test::captured_root_t& root, const std::string& text) {
    return root.text().find(text) != std::string::npos;
}

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
        return read_file(name);
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
    EXPECT_EQ(read_file(result), std::string("session-leader other-process null null null ") + cwd);
}

TEST(ServicePidFile, LivePidStopsLoadingAndKeepsTheFile) {
    scratch_t t;
    std::string path = t.path + "/proxy.pid";
    const std::string content = std::to_string(::getppid());
    write_text(path, content);
    oslayer_test::captured_root_t capture;
    {
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        stderr_capture_t err(t.path + "/stderr");
        EXPECT_FALSE(svc.create_pid(path));
        EXPECT_EQ(err.text(),
                  "Process with PID " + content + " exists, abort loading (" + path + ")\n");
        EXPECT_TRUE(logged(capture, "Found PID file \"" + path + "\" and process with PID " + content +
                                    " exists, abort loading"));
        EXPECT_EQ(read_file(path), content);
        // The second call answers the same without looking at the file again.
        write_text(path, std::to_string(dead_pid()));
        const std::string second = read_file(path);
        EXPECT_FALSE(svc.create_pid(path));
        EXPECT_EQ(read_file(path), second);
    }
    // Not created by this service, so not removed by it either.
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

TEST(ServicePidFile, DeadPidOrMissingFileIsWrittenAndRemovedAtTheEnd) {
    scratch_t t;
    std::string path = t.path + "/proxy.pid";
    write_text(path, std::to_string(dead_pid()));
    oslayer_test::captured_root_t capture;
    const std::string own = std::to_string(::getpid());
    {
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_file(path), own);
        EXPECT_TRUE(logged(capture, "Stalled PID file \"" + path + "\" will be overwritten"));
        EXPECT_TRUE(logged(capture, "Created PID file \"" + path + "\""));
        write_text(path, own + " touched");
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_file(path), own + " touched");
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(logged(capture, "PID file \"" + path + "\" removed"));

    // A missing file is created, with its directories, and no warning.
    path = t.path + "/run/dir/proxy.pid";
    {
        oslayer_test::captured_root_t fresh;
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path));
        EXPECT_EQ(read_file(path), own);
        EXPECT_FALSE(logged(fresh, "Stalled"));
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
        oslayer_test::captured_root_t capture;
        base_n::service_process_t svc("velmod-proxy", false, false, true, true);
        EXPECT_TRUE(svc.create_pid(path)) << c.content;
        EXPECT_TRUE(logged(capture, c.warning)) << c.content;
        EXPECT_EQ(read_file(path), own) << c.content;
    }
}

TEST(ServicePidFile, FailedWriteIsLoggedAndLoadingGoesOn) {
    oslayer_test::captured_root_t capture;
    const std::string path = "/dev/null/proxy.pid";
    base_n::service_process_t svc("velmod-proxy", false, false, true, true);
    EXPECT_TRUE(svc.create_pid(path));
    EXPECT_TRUE(logged(capture, "Unable to create PID file \"" + path + "\" because of " + strerror(ENOTDIR) +
                                " (errno=" + std::to_string(ENOTDIR) + ")"));
    EXPECT_FALSE(logged(capture, "Created PID file"));
}
