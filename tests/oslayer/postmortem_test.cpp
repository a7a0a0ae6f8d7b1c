// The fatal-signal report, always in a forked child whose standard error is
// read through a pipe: the child faults for real (or is sent the signal) and
// the parent checks the text line by line and how the child ended.

#include <poll.h>
#include <sys/resource.h>
#include <ucontext.h>

#include <regex>

#include "oslayer/postmortem.h"
#include "tests/oslayer/test_support.h"

namespace {

struct child_t {
    std::vector<std::string> lines;
    int status = -1;
    pid_t pid = -1;
    bool finished = false;
};

/// Runs body in a forked child with standard error on a pipe. A child that
/// outlives the body exits with 99; one still running after 30 s is killed.
template <class F>
child_t run_child(F body) {
    child_t result;
    int fds[2];
    if (pipe(fds) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);  // a dying child must not leave core files
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        body();
        _exit(99);
    }
    close(fds[1]);
    result.pid = pid;
    std::string text;
    char buf[4096];
    pollfd p = {fds[0], POLLIN, 0};
    while (poll(&p, 1, 30000) > 0) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (pid > 0) {
        // The pipe closes a moment before the child can be reaped.
        for (int tries = 0; tries < 3000 && !result.finished; ++tries) {
            result.finished = waitpid(pid, &result.status, WNOHANG) == pid;
            if (!result.finished) usleep(10000);
        }
        if (!result.finished) {
            kill(pid, SIGKILL);
            waitpid(pid, &result.status, 0);
        }
    }
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        result.lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) result.lines.push_back(text.substr(start) + "<no newline>");
    return result;
}

/// True when the child ended by exactly that signal.
bool died_by(const child_t& c, int signo) {
    return c.finished && WIFSIGNALED(c.status) && WTERMSIG(c.status) == signo;
}

/// A load from address 0, written as an instruction so that no sanitizer
/// check stands between the program and the hardware fault.
void load_from_address_zero() {
    unsigned long value;
    asm volatile("movq 0, %0" : "=r"(value) : : "memory");
    (void)value;
}

/// Checks that the seven lines from `first` on are register dumps ("NAME=hex" pairs).
void expect_register_lines(const std::vector<std::string>& lines, size_t first) {
    ASSERT_GE(lines.size(), first + 7);
    const std::regex shape(R"(( *[A-Za-z0-9:]+=[0-9a-f:]+)+)");
    for (size_t k = first; k < first + 7; ++k) EXPECT_TRUE(std::regex_match(lines[k], shape)) << lines[k];
}

}  // namespace

TEST(PostmortemReport, NullLoadReportsAndEndsBySegv) {
    child_t c = run_child([] {
        install_fatal_signal_handlers();
        load_from_address_zero();
    });
    ASSERT_EQ(c.lines.size(), 10u) << ::testing::PrintToString(c.lines);
    EXPECT_EQ(c.lines[0], "Fatal error \"Segmentation fault\"");
    EXPECT_EQ(c.lines[1], "Signo=11 Errno=0 Code=1 from unknown #1");
    // The address word is zero, so there is no sender line.
    EXPECT_EQ(c.lines[2], "\"Address not mapped to object\" ocurred at address 00000000");
    expect_register_lines(c.lines, 3);
    // A page fault (trap 14) on a user-mode read at address 0, from user code (CS 0x33).
    EXPECT_NE(c.lines[3].find("CR2=0000000000000000"), std::string::npos) << c.lines[3];
    EXPECT_EQ(c.lines[8].substr(0, 26), "  TRAP=000000000000000e   ");
    EXPECT_EQ(c.lines[9].substr(0, 12), "CS:RIP=0033:");
    EXPECT_TRUE(died_by(c, SIGSEGV)) << c.status;
}

TEST(PostmortemReport, TwoThreadsFaultingTogetherGiveOneReport) {
    for (int round = 0; round < 3; ++round) {
        child_t c = run_child([] {
            install_fatal_signal_handlers();
            std::atomic<int> ready(0);
            auto fault = [&ready] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                load_from_address_zero();
            };
            std::thread a(fault), b(fault);
            a.join();
            b.join();
        });
        ASSERT_EQ(c.lines.size(), 10u) << ::testing::PrintToString(c.lines);
        EXPECT_EQ(c.lines[0], "Fatal error \"Segmentation fault\"");
        EXPECT_TRUE(died_by(c, SIGSEGV)) << c.status;
    }
}

TEST(PostmortemReport, SignalSentToItselfNamesSenderAndValueAndEndsTheProcess) {
    const struct { int signo; void (*send)(); const char *name, *origin, *value; } cases[] = {
        {SIGABRT, [] { tgkill(getpid(), gettid(), SIGABRT); }, "Aborted", "Signo=6 Errno=0 Code=-6 from kernel #-6",
         "00000000:0"},
        {SIGXCPU,
         [] {
             sigval value;
             value.sival_int = 0x1234;
             sigqueue(getpid(), SIGXCPU, value);
             // Normally the report has run before sigqueue returns. A sanitizer that
             // defers asynchronous signals (ThreadSanitizer) runs the handler at its
             // next safe point, such as this blocking wait.
             sleep(20);
         },
         "CPU time limit exceeded", "Signo=24 Errno=0 Code=-1 from sigqueue()", "00001234:4660"}};
    for (const auto& k : cases) {
        child_t c = run_child([&k] {
            install_fatal_signal_handlers();
            k.send();
            _exit(3);  // the report raises the signal again, so this is never reached
        });
        ASSERT_EQ(c.lines.size(), 11u) << ::testing::PrintToString(c.lines);
        EXPECT_EQ(c.lines[0], std::string("Fatal error \"") + k.name + "\"");
        EXPECT_EQ(c.lines[1], k.origin);
        EXPECT_EQ(c.lines[2], "Signal from PID " + std::to_string(c.pid) + " UID " + std::to_string(getuid()) +
                                  ", value " + k.value);
        EXPECT_EQ(c.lines[3], "No more information about unknown signal #" + std::to_string(k.signo));
        expect_register_lines(c.lines, 4);
        EXPECT_TRUE(died_by(c, k.signo)) << c.status;
    }
}

// A process may queue itself a signal with any code, which lets the ends of
// the origin and fault tables be reached without a real fault.
TEST(PostmortemReport, OriginAndFaultTexts) {
    struct row_t {
        int signo;
        int code;
        uintptr_t address;
        const char* expected;
    };
    const row_t rows[] = {
        {SIGSYS, -60, 0, "Signo=31 Errno=0 Code=-60 from asynch name lookup"},
        {SIGSYS, 128, 0, "Signo=31 Errno=0 Code=128 from kernel"},
        {SIGSYS, -9, 0, "Signo=31 Errno=0 Code=-9 from kernel #-9"},
        {SIGSYS, 77, 0, "Signo=31 Errno=0 Code=77 from unknown #77"},
        {SIGILL, 8, 0, "\"Bad stack\" ocurred at address 00000000"},
        {SIGILL, 9, 0, "\"Unknown SIGILL #9\" ocurred at address 00000000"},
        {SIGTRAP, 3, 0, "\"Unknown trap #3\" ocurred at address 00000000"},
        {SIGBUS, 4, 0, "\"Unknown SIGBUS #4\" ocurred at address 00000000"},
        {SIGFPE, 0, 0, "\"Unknown SIGFPE #0\" ocurred at address 00000000"},
        {SIGSEGV, 2, 0x1234000000000000u, "\"Invalid permissions\" ocurred at address 1234000000000000"},
        {SIGSEGV, 3, 0x1000, "\"Unknown SIGSEGV #3\" ocurred at address 00001000"},
    };
    for (const row_t& row : rows) {
        child_t c = run_child([&row] {
            install_fatal_signal_handlers();
            siginfo_t info;
            memset(&info, 0, sizeof info);
            info.si_signo = row.signo;
            info.si_code = row.code;
            info.si_addr = reinterpret_cast<void*>(row.address);
            syscall(SYS_rt_tgsigqueueinfo, getpid(), gettid(), row.signo, &info);
            _exit(3);
        });
        bool seen = false;
        for (const std::string& line : c.lines) seen = seen || line == row.expected;
        EXPECT_TRUE(seen) << row.expected << " in " << ::testing::PrintToString(c.lines);
        EXPECT_TRUE(died_by(c, row.signo)) << row.signo << "/" << row.code << ": " << c.status;
    }
}

TEST(PostmortemReport, MissingSiginfoIsSaidAndTheSignalStillEnds) {
    child_t c = run_child([] {
        ucontext_t context;
        memset(&context, 0, sizeof context);
        getcontext(&context);
        fatal_signal_report(SIGILL, nullptr, &context);
    });
    ASSERT_EQ(c.lines.size(), 8u) << ::testing::PrintToString(c.lines);
    EXPECT_EQ(c.lines[0], "Fatal error \"Illegal instruction\" - zero siginfo_t*");
    expect_register_lines(c.lines, 1);
    EXPECT_TRUE(died_by(c, SIGILL)) << c.status;
}

TEST(PostmortemReport, LaterCallerPrintsNothingAndReturns) {
    child_t c = run_child([] {
        install_fatal_signal_handlers();
        post_morten_dump_flag = true;  // a report is already under way
        tgkill(getpid(), gettid(), SIGSEGV);
        _exit(5);
    });
    EXPECT_TRUE(c.lines.empty()) << ::testing::PrintToString(c.lines);
    ASSERT_TRUE(c.finished && WIFEXITED(c.status)) << c.status;
    EXPECT_EQ(WEXITSTATUS(c.status), 5);
}

TEST(PostmortemActions, InstallAndRestoreCoverEveryFatalSignal) {
    // The child exits with the first signal whose action is not as expected, or 0.
    child_t c = run_child([] {
        const int fatal[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV,
                             SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGPWR, SIGSYS};
        struct sigaction now;
        install_fatal_signal_handlers();
        for (int signo : fatal) {
            sigaction(signo, nullptr, &now);
            if (now.sa_sigaction != fatal_signal_report || !(now.sa_flags & SA_SIGINFO) ||
                sigismember(&now.sa_mask, SIGTERM) != 1 || sigismember(&now.sa_mask, SIGUSR1) != 1)
                _exit(signo);
        }
        set_fatal_signal_action(nullptr, 0);
        for (int signo : fatal) {
            sigaction(signo, nullptr, &now);
            if (now.sa_handler != SIG_DFL) _exit(100 + signo);
        }
        _exit(0);
    });
    ASSERT_TRUE(c.finished && WIFEXITED(c.status)) << c.status;
    EXPECT_EQ(WEXITSTATUS(c.status), 0);
}
