// The service process: the body in the foreground and detached into the
// background (checked from a forked test child), the launcher's exit status
// from the detached body's report (also after a start with the standard
// descriptors closed, and when the launcher is interrupted), and the PID-file
// guard against live, dead, unreadable and odd process ids.

#include <poll.h>
#include <signal.h>

#include <stdexcept>
#include <string>

#include "oslayer/service.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::read_file;

/// True when some line the root logger wrote carries `text`.
bool logged(const oslayer_test::captured_root_t& root, const std::string& text) {
    return root.text().find(text) != std::string::npos;
}

/// A service as the daemon makes it.
struct service_t : base_n::service_process_t {
    service_t() : base_n::service_process_t("velmod-proxy", false, false, true, true) {}
};

/// The id of a process that has ended and been reaped.
pid_t dead_pid() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

char** g_body_argv = nullptr;
pid_t g_body_pid = -1;

void recording_body(int argc, char** argv) {
    g_body_argv = argc == 2 ? argv : nullptr;
    g_body_pid = ::getpid();
}

// Where the detached body writes its facts, the process that called go, and
// the service that runs the body.
char g_result_path[256];
pid_t g_caller_pid = -1;
base_n::service_process_t* g_service = nullptr;

bool same_file_as_dev_null(int fd) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat("/dev/null", &b) == 0 && a.st_rdev == b.st_rdev && a.st_ino == b.st_ino;
}

/// Runs detached: records its situation, then leaves without any exit handler.
void detached_body(int, char**) {
    char cwd[4096];
    std::string facts = ::getsid(0) == ::getpid() ? "session-leader " : "not-leader ";
    facts += ::getpid() != g_caller_pid ? "other-process " : "same-process ";
    for (int fd = 0; fd <= 2; ++fd) facts += same_file_as_dev_null(fd) ? "null " : "not-null ";
    facts += ::getcwd(cwd, sizeof cwd) ? cwd : "?";
    // Written aside and renamed so that the test never sees half of it.
    std::string tmp = std::string(g_result_path) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0 && ::write(fd, facts.data(), facts.size()) == static_cast<ssize_t>(facts.size()))
        ::rename(tmp.c_str(), g_result_path);
    g_service->report_started();
    ::_exit(0);
}

/// Runs `body` detached from a forked test child whose standard error goes to
/// `stderr_path`; the exit status of that child, the launcher.
int launcher_status(const std::string& stderr_path, base_n::service_process_t::body_t* body) {
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        // The test child plays the program: it must never return into the test runner.
        int fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(3);
        service_t svc;
        g_service = &svc;
        svc.background = true;
        svc.go(body, 0, nullptr, base_n::start_report_t::awaited);
        ::_exit(4);
    }
    int status = -1;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// The exit status of a forked test child that runs `body` detached, as
/// `report` says, after `prepare`; the child never returns into the runner.
int caller_status(base_n::service_process_t::body_t* body, base_n::start_report_t report, void (*prepare)(),
                  void (*meanwhile)(pid_t) = nullptr) {
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        prepare();
        g_caller_pid = ::getpid();
        service_t svc;
        g_service = &svc;
        svc.background = true;
        svc.go(body, 0, nullptr, report);
        ::_exit(4);
    }
    if (meanwhile) meanwhile(child);
    // Bounded: a caller that waits for a body that never reports must fail
    // the test, not hang it.
    int status = -1;
    for (int i = 0; i < 1000; ++i) {
        pid_t got = ::waitpid(child, &status, WNOHANG);
        if (got == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -2;
}

/// Waits (bounded) until `path` exists and returns its content.
std::string awaited_file(const std::string& path) {
    for (int i = 0; i < 1000 && ::access(path.c_str(), F_OK) != 0; ++i) ::usleep(10000);
    return read_file(path);
}

/// Writes `facts` to the result file, aside and renamed so that the test
/// never sees half of it.
void record(const std::string& facts) {
    std::string tmp = std::string(g_result_path) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0 && ::write(fd, facts.data(), facts.size()) == static_cast<ssize_t>(facts.size()))
        ::rename(tmp.c_str(), g_result_path);
    if (fd >= 0) ::close(fd);
}

void set_result_path(const std::string& path) {
    ASSERT_LT(path.size(), sizeof g_result_path);
    snprintf(g_result_path, sizeof g_result_path, "%s", path.c_str());
}

// The pipe a detached body waits on (read end) and the test holds (write end).
int g_gate[2] = {-1, -1};

}  // namespace

TEST(ServiceProcess, ForegroundRunsTheBodyHereAndPassesItsExceptionOn) {
    service_t svc;
    EXPECT_FALSE(svc.must_detach() || svc.background);
    char arg0[] = "velmod-proxy", arg1[] = "--config";
    char* argv[] = {arg0, arg1, nullptr};
    EXPECT_EQ(svc.go(recording_body, 2, argv), 0);
    EXPECT_EQ(g_body_argv, argv);
    EXPECT_EQ(g_body_pid, ::getpid());
    EXPECT_EQ(oslayer_test::error_of<std::runtime_error>(
                  [&] { svc.go([](int, char**) { throw std::runtime_error("body failed"); }, 0, nullptr); }),
              "body failed");
}

TEST(ServiceProcess, BackgroundBodyRunsDetachedWithNullDescriptors) {
    oslayer_test::scratch_t t;
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
        service_t svc;
        g_service = &svc;
        svc.background = true;
        svc.go(detached_body, 0, nullptr);
        ::_exit(3);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int i = 0; i < 1000 && ::access(result.c_str(), F_OK) != 0; ++i) ::usleep(10000);
    EXPECT_EQ(read_file(result), std::string("session-leader other-process null null null ") + cwd);
}

// The launcher waits for the detached body's first report and ends with its
// status; a body that ends or dies without one has failed.
TEST(ServiceProcess, LauncherEndsWithTheDetachedBodysReport) {
    oslayer_test::scratch_t t;
    const std::string died = "The service ended before it had started\n";
    const std::string big(256 * 1024, 'e');
    struct {
        const char* name;
        base_n::service_process_t::body_t* body;
        int status;
        std::string stderr_text;
    } cases[] = {
        {"started", [](int, char**) { g_service->report_started(); }, 0, ""},
        {"started, then failed",
         [](int, char**) {
             g_service->report_started();
             g_service->report_failure("too late\n");
         },
         0, ""},
        {"failed", [](int, char**) { g_service->report_failure("no listener\n  port taken\n"); }, 1,
         "no listener\n  port taken\n"},
        {"failed at length, more than a socket buffer",
         [](int, char**) { g_service->report_failure(std::string(256 * 1024, 'e')); }, 1, big},
        {"returned without a report", [](int, char**) {}, 1, died},
        {"exited without a report", [](int, char**) { ::_exit(0); }, 1, died},
        {"killed", [](int, char**) { ::raise(SIGKILL); }, 1, died},
    };
    for (const auto& c : cases) {
        std::string path = t.path + "/stderr";
        EXPECT_EQ(launcher_status(path, c.body), c.status) << c.name;
        EXPECT_EQ(read_file(path), c.stderr_text) << c.name;
    }
}

TEST(ServicePidFile, LivePidStopsLoadingAndKeepsTheFile) {
    oslayer_test::scratch_t t;
    std::string path = t.path + "/proxy.pid";
    const std::string content = std::to_string(::getppid());
    t.put("proxy.pid", content);
    oslayer_test::captured_root_t capture;
    {
        service_t svc;
        // Descriptor 2 goes into a file while the guard answers.
        fflush(stderr);
        int saved = ::dup(2), fd = ::open((t.path + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
        EXPECT_FALSE(svc.create_pid(path));
        fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        EXPECT_EQ(read_file(t.path + "/stderr"),
                  "Process with PID " + content + " exists, abort loading (" + path + ")\n");
        EXPECT_EQ(read_file(path), content);
        // The second call answers the same without looking at the file again.
        const std::string second = std::to_string(dead_pid());
        t.put("proxy.pid", second);
        EXPECT_FALSE(svc.create_pid(path));
        EXPECT_EQ(read_file(path), second);
    }
    // Not created by this service, so not removed by it either.
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

TEST(ServicePidFile, DeadPidOrMissingFileIsWrittenAndRemovedAtTheEnd) {
    oslayer_test::scratch_t t;
    const std::string own = std::to_string(::getpid());
    // A missing file is created with its directories, and without a warning.
    for (std::string name : {"proxy.pid", "run/dir/proxy.pid"}) {
        std::string path = t.path + "/" + name;
        if (name == "proxy.pid") t.put(name, std::to_string(dead_pid()));
        oslayer_test::captured_root_t capture;
        {
            service_t svc;
            EXPECT_TRUE(svc.create_pid(path));
            EXPECT_EQ(read_file(path), own);
            EXPECT_EQ(logged(capture, "Stalled PID file \"" + path + "\" will be overwritten"), name == "proxy.pid");
            t.put(name, own + " touched");
            EXPECT_TRUE(svc.create_pid(path));
            EXPECT_EQ(read_file(path), own + " touched");
        }
        EXPECT_NE(::access(path.c_str(), F_OK), 0);
    }
}

TEST(ServicePidFile, UnreadableOrOddContentIsOverwrittenAFailedWriteIsLogged) {
    oslayer_test::scratch_t t;
    std::string path = t.path + "/proxy.pid";
    const std::string own = std::to_string(::getpid());
    const std::string stalled = "Stalled PID file \"" + path + "\" will be overwritten";
    // 0, -1 and ids past the pid range would make kill() address whole
    // process groups and always "succeed"; they are no live process.
    const std::pair<std::string, std::string> cases[] = {
        {"12ab", "Unable to read existing PID file \"" + path + "\" because of invalid symbol \\x61"},
        {"", "Unable to read existing PID file \"" + path + "\" because of scanned number empty"},
        {"0", stalled},
        {"-1", stalled},
        {std::to_string(static_cast<unsigned>(INT_MAX) + 1u), stalled},
    };
    for (const auto& c : cases) {
        t.put("proxy.pid", c.first);
        oslayer_test::captured_root_t capture;
        service_t svc;
        EXPECT_TRUE(svc.create_pid(path)) << c.first;
        EXPECT_TRUE(logged(capture, c.second)) << c.first;
        EXPECT_EQ(read_file(path), own) << c.first;
    }
    // Loading goes on without a PID file.
    oslayer_test::captured_root_t capture;
    service_t svc;
    EXPECT_TRUE(svc.create_pid("/dev/null/proxy.pid"));
    EXPECT_TRUE(logged(capture, "\"/dev/null/proxy.pid\" because of " + oslayer_test::sys_text(ENOTDIR)));
}

// A body that asks for no report runs detached, and the process that called
// go ends with 0 without waiting for it, whether it later reports, returns
// or never ends.
TEST(ServiceProcess, BackgroundCallerEndsWith0WithoutAwaitingABodyThatAsksNoReport) {
    oslayer_test::scratch_t t;
    set_result_path(t.path + "/facts");
    ASSERT_EQ(::pipe(g_gate), 0);
    auto gated_body = [](int, char**) {
        // Runs on only once the caller has been seen to end.
        ::close(g_gate[1]);
        char byte;
        while (::read(g_gate[0], &byte, 1) < 0 && errno == EINTR) {}
        record(::getpid() != g_caller_pid ? "other-process" : "same-process");
    };
    int status = caller_status(gated_body, base_n::start_report_t::none, [] {});
    ::close(g_gate[1]);
    ::close(g_gate[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(awaited_file(t.path + "/facts"), "other-process");
}

// Started with descriptors 0 to 2 closed (as some init scripts do), the
// report channel must not take one of them: the detached body's /dev/null
// would replace it, and its reports would go nowhere.
TEST(ServiceProcess, StartReportArrivesWhenTheCallerHadItsStandardDescriptorsClosed) {
    oslayer_test::scratch_t t;
    set_result_path(t.path + "/facts");
    auto reporting_body = [](int, char**) {
        std::string facts;
        for (int fd = 0; fd <= 2; ++fd) facts += same_file_as_dev_null(fd) ? "null " : "not-null ";
        record(facts);
        g_service->report_started();
        ::_exit(0);
    };
    auto close_standard = [] {
        for (int fd = 0; fd <= 2; ++fd) ::close(fd);
    };
    EXPECT_EQ(caller_status(reporting_body, base_n::start_report_t::awaited, close_standard), 0);
    EXPECT_EQ(awaited_file(t.path + "/facts"), "null null null ");
}

// An interrupt (Ctrl-C) of the waiting launcher reaches the starting body as
// its stop request, and the launcher ends by the interrupt as an interrupted
// command does: nothing comes up behind the back of whoever interrupted it.
TEST(ServiceProcess, InterruptedLauncherPassesTheInterruptToTheStartingBody) {
    oslayer_test::scratch_t t;
    set_result_path(t.path + "/facts");
    ASSERT_EQ(::pipe(g_gate), 0);
    auto interruptible_body = [](int, char**) {
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        ::sigprocmask(SIG_BLOCK, &interrupt, nullptr);
        // Ready: the interrupt can no longer end this process unseen.
        (void)!::write(g_gate[1], "r", 1);
        const struct timespec bound = {10, 0};
        record(::sigtimedwait(&interrupt, nullptr, &bound) == SIGINT ? "interrupted" : "not interrupted");
        ::_exit(0);
    };
    auto interrupt_when_ready = [](pid_t caller) {
        struct pollfd ready = {g_gate[0], POLLIN, 0};
        if (::poll(&ready, 1, 10000) == 1) ::kill(caller, SIGINT);
    };
    int status = caller_status(interruptible_body, base_n::start_report_t::awaited, [] {}, interrupt_when_ready);
    ::close(g_gate[0]);
    ::close(g_gate[1]);
    EXPECT_EQ(status, 128 + SIGINT);
    EXPECT_EQ(awaited_file(t.path + "/facts"), "interrupted");
}
