#include "oslayer/platform.h"

#include <gnu/libc-version.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/utsname.h>

#include <regex>

#include "oslayer/runnable.h"
#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

using oslayer_test::captured_root_t;

namespace {

// What the library start-up left behind, read by an ordinary static
// initialiser, that is before main and before any test could change it.
struct before_main_t {
    std::string atomic_type;
    int log_fd = -1;
    int log_level = -1;
    bool self_key_usable = false;
    bool tls_key_usable = false;
    bool keys_distinct = false;
    bool guard_built = false;
    bool sysrnd_locked_by_guard = false;
    uint32_t seed_count = 0;
    uint32_t platform_code = 0;
    bool log_hook_set = false;
    sigset_t blocked;
    before_main_t() {
        atomic_type = the_atomic_type;
        if (auto* root = dynamic_cast<fd_logger_t*>(if_logger_t::Log)) {
            log_fd = root->fd;
            log_level = root->get_level();
        }
        using kern_n::runnable_t;
        // Setting a key to the value it already holds fails only for a key that was never created.
        self_key_usable = pthread_setspecific(runnable_t::self_key, pthread_getspecific(runnable_t::self_key)) == 0;
        tls_key_usable = pthread_setspecific(runnable_t::tls_key, pthread_getspecific(runnable_t::tls_key)) == 0;
        keys_distinct = runnable_t::self_key != runnable_t::tls_key;
        guard_built = runnable_t::runnables_guard != nullptr;
        sysrnd_locked_by_guard = sysrnd.lock == &sysrnd_guard;
        seed_count = sysrnd.seed_counter.read();
        platform_code = platform_t::base.code;
        log_hook_set = callstack_t::log_hook != nullptr;
        blocked = runnable_t::blocked_signals;
    }
};
before_main_t before_main;

// Logs from its destructor, which runs after main, when the spawned probe asks.
struct exit_logger_t {
    bool armed = false;
    ~exit_logger_t() {
        if (armed) LOG_AT(LOG_LEVEL_NOTICE, "logged from a static destructor");
    }
};
exit_logger_t exit_logger;

std::string parsed(const char* text, uint8_t (&v)[3], bool& compatible) {
    compatible = glibc_version_from_text(text, v);
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

std::string os_name_of(uint32_t code) {
    std::string out;
    platform_t::os_name(out, code);
    return out;
}

}  // namespace

TEST(PlatformBase, FilledFromUname) {
    struct utsname u;
    ASSERT_EQ(0, uname(&u));
    const platform_t& p = platform_t::base;
    EXPECT_TRUE(p.code == 0x01010000u && before_main.platform_code == 0x01010000u);
    EXPECT_EQ(std::string(u.sysname) + "|" + u.machine + "|lnx-" + u.machine,
              std::string(p.system) + "|" + p.machine + "|" + p.tag);
    std::string description = std::string(u.sysname) + " " + u.release + " " + u.machine + " (" + (u.version + 1) + ")";
    EXPECT_EQ(description.substr(0, sizeof p.description - 1), p.description);
    platform_t fresh;
    memset(&fresh, 'x', sizeof fresh);
    platform_t::init(fresh);
    EXPECT_EQ(p.code, fresh.code);
    EXPECT_EQ(std::string(p.description) + p.tag + p.system + p.machine,
              std::string(fresh.description) + fresh.tag + fresh.system + fresh.machine);
}

TEST(PlatformOsName, UnknownCodesAndTheNameIsAppended) {
    EXPECT_EQ("unknown", os_name_of(0));
    EXPECT_EQ("unknown", os_name_of(0x80FF0000u));
    std::string out = "os: ";
    platform_t::os_name(out, 0x01010000u);
    EXPECT_EQ("os: Linux", out);
    EXPECT_STREQ("VmWare/255 guest ", virtual_vm_text(255));  // past the table of versions
    EXPECT_STREQ("", virtual_vm_text(0));
}

TEST(PlatformGlibc, VersionTexts) {
    const struct { const char* text; const char* version; bool compatible; } cases[] = {
        {"2.11.3", "2.11.3", true}, {"2.4", "2.4.0", true}, {"2.12", "2.12.0", false}, {"2.3.6", "2.3.6", false},
        {"3.1", "3.1.0", false}, {"", "0.0.0", false}, {".5", "0.0.0", false}, {"2.11..4", "2.11.4", true},
        // Not decimal bytes: 267 would wrap to 11 in one byte and pass as compatible.
        {"2.267", "2.0.0", false}, {"2.255", "2.255.0", false}, {"258.7", "0.0.0", false}, {"-2.7", "0.0.0", false},
        {"2.7.rc1", "2.7.0", false},
    };
    for (const auto& c : cases) {
        uint8_t v[3] = {9, 9, 9};
        bool compatible = !c.compatible;
        EXPECT_EQ(c.version, parsed(c.text, v, compatible)) << '"' << c.text << '"';
        EXPECT_EQ(c.compatible, compatible) << '"' << c.text << '"';
    }
}

TEST(PlatformGlibc, StartupReadTheRunningLibrary) {
    uint8_t v[3];
    EXPECT_EQ(glibc_version_from_text(gnu_get_libc_version(), v), glibc_compatible);
    EXPECT_TRUE(memcmp(v, glibc_version, 3) == 0 && glibc_version[0] == 2);
}

TEST(PlatformReport, CommandLineQuoting) {
    const char* example[] = {"prog", "--conf", "a b", ""};
    std::string out;
    command_line_text(4, example, out);
    EXPECT_EQ("prog --conf \"a b\" ", out);
    const char* odd[] = {"tab\there", "del\x7f", "hi\xc3\xa9", "say\"so\"", "!~", ""};
    out.clear();
    command_line_text(6, odd, out);
    EXPECT_EQ("\"tab\there\" \"del\x7f\" \"hi\xc3\xa9\" say\"so\" !~ ", out);
    out.clear();
    command_line_text(0, example, out);
    EXPECT_EQ("", out);
    const char* leading_empty[] = {"", "x"};
    command_line_text(2, leading_empty, out);
    EXPECT_EQ("x", out) << "an empty first argument leaves the text empty, so no separator follows it";
}

TEST(PlatformReport, StatisticsTexts) {
    struct sysinfo info;
    memset(&info, 0, sizeof info);
    info.uptime = 3 * 86400 + 4 * 3600 + 5 * 60 + 6;
    info.procs = 123;
    info.loads[0] = (1ul << 16) | 0x8000;  // 1.50
    info.loads[1] = 0xFFFF;                // 0.9999 is cut to 0.99
    info.loads[2] = (12ul << 16) | 0x051F; // 12.0200...
    info.mem_unit = 4096;
    info.totalram = 1ul << 20;  // 4 GiB: overflows 32 bits once multiplied
    info.freeram = 3ul << 18;
    info.sharedram = (1ul << 20) - 1;
    info.bufferram = 255;  // less than one MiB
    info.totalswap = 8ul << 20;
    info.freeswap = 1ul << 8;
    EXPECT_EQ(std::vector<std::string>({"[Linux] System uptime is 03-04:05:06",
                                        "[Linux] Now there are 123 processes, load average: 1.50 0.99 12.02",
                                        "[Linux] Low memory: 4096MB total, 3072MB available, 4095MB shared, 0MB "
                                        "buffers",
                                        "[Linux] High memory: 0MB total, 0MB available",
                                        "[Linux] Swap: 32768MB total, 1MB available"}),
              system_stats_texts(info));
}

namespace {

/// The report's messages at `level`, with `vm` as the virtual machine text.
std::vector<std::string> report(int level, const char* vm, int argc, const char** argv) {
    const char* saved_vm = virtual_vm;
    virtual_vm = vm;
    captured_root_t root(level);
    print_system_info(platform_t::base, argc, argv);
    virtual_vm = saved_vm;
    return root.messages();
}

}  // namespace

TEST(PlatformReport, LinesInOrderLibcOnlyAtDebugNoVmQuoteFollowsAt) {
    const char* argv[] = {"prog", "--conf", "a b", ""};
    std::vector<std::string> lines = report(LOG_LEVEL_DEBUG3, "VmWare/WS guest ", 4, argv);
    ASSERT_EQ(9u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("Running at VmWare/WS guest \"" + host_name() + "\" computer", 0)) << lines[0];
    EXPECT_EQ("Using command line: prog --conf \"a b\" ", lines[8]);
    lines = report(LOG_LEVEL_NOTICE, "", 1, argv);
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("Running at \"", 0)) << lines[0];
    EXPECT_EQ("Using command line: prog", lines[7]);
    EXPECT_TRUE(report(LOG_LEVEL_WARNING, "", 1, argv).empty());
}

TEST(StartupOrder, StateBeforeMain) {
    EXPECT_EQ(cpu_has_cmpxchg8b() ? "x86 multiprocessor" : "giant locked", before_main.atomic_type);
    EXPECT_TRUE(before_main.log_fd == 2 && before_main.log_level == LOG_LEVEL_INFO);
    EXPECT_TRUE(before_main.self_key_usable && before_main.tls_key_usable && before_main.keys_distinct);
    EXPECT_TRUE(before_main.guard_built && before_main.sysrnd_locked_by_guard && before_main.log_hook_set);
    EXPECT_EQ(1u, before_main.seed_count);
    EXPECT_STREQ("noname", kern_n::runnable_t::unknown_name);
    unsigned long pid = static_cast<unsigned long>(getpid());
    std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
    EXPECT_EQ(access(task.c_str(), R_OK) == 0, kern_n::runnable_t::NPTL);
    EXPECT_FALSE(library_banner.empty());
    EXPECT_EQ(library_banner.c_str(), get_library_banner());
}

TEST(StartupOrder, BlockedSignalsAreExactlyTheListedOnes) {
    const int listed[] = {SIGURG, SIGIO, SIGPOLL, SIGWINCH, SIGUSR1, SIGUSR2,
                          SIGHUP, SIGTERM, SIGQUIT, SIGINT, SIGPIPE, SIGCHLD};
    for (int signo = 1; signo < NSIG; ++signo) {
        bool expected = std::find(std::begin(listed), std::end(listed), signo) != std::end(listed);
        EXPECT_EQ(expected, sigismember(&before_main.blocked, signo) == 1) << "signal " << signo;
    }
}

TEST(StartupLoggerInit, DeletesWhateverRootIsInstalledAtTheEnd) {
    if_logger_t* saved = if_logger_t::Log;
    auto saved_hook = callstack_t::log_hook;
    oslayer_test::log_file_t file;
    {
        logger_init_t init;
        auto* made = dynamic_cast<fd_logger_t*>(if_logger_t::Log);
        ASSERT_NE(nullptr, made);
        EXPECT_TRUE(made->fd == 2 && made->get_level() == LOG_LEVEL_INFO);
        delete made;
        // A replacement with a pending repeat count: only its destructor writes it.
        auto* replacement = new fd_logger_t(file.fd);
        if_logger_t::Log = replacement;
        replacement->notice("same");
        replacement->notice("same");
    }
    EXPECT_TRUE(if_logger_t::Log == nullptr && callstack_t::log_hook == nullptr);
    EXPECT_EQ(default_exception_printer, &default_print_exception);
    EXPECT_NE(std::string::npos, file.text().find("[Logger] Last message repeated 2 times"));
    if_logger_t::Log = saved;
    callstack_t::log_hook = saved_hook;
}

// Run only as a child of StartupEnv: reports what the start-up found and
// whether it made a child process, then lets the process end normally so
// that the teardown at exit runs too.
TEST(StartupEnv, ProbeReportsStartup) {
    if (!getenv("VELMO_PLATFORM_TEST_PROBE")) GTEST_SKIP() << "only run as a child of StartupEnv";
    struct rusage children;
    ASSERT_EQ(0, getrusage(RUSAGE_CHILDREN, &children));
    // A waited-for child leaves its peak resident size here; none leaves 0.
    printf("probe vm=[%s] child=%d\n", virtual_vm, children.ru_maxrss > 0 ? 1 : 0);
    fflush(stdout);
    exit_logger.armed = true;
}

namespace {

// Runs the probe test in a fresh copy of this program with VELMO_NOVMDETECT
// set to `novmdetect` (or absent when null).
oslayer_test::child_result_t run_probe(const char* novmdetect) {
    std::string setting = novmdetect ? std::string("VELMO_NOVMDETECT=") + novmdetect : "VELMO_NOVMDETECT";
    return oslayer_test::run_self("StartupEnv.ProbeReportsStartup", {"VELMO_PLATFORM_TEST_PROBE=1", setting});
}

std::string probe_line(const oslayer_test::child_result_t& r) {
    std::smatch m;
    std::regex line(R"(probe vm=\[[^\]]*\] child=\d)");
    return std::regex_search(r.out, m, line) ? m.str() : "no probe line in: " + r.out;
}

}  // namespace

TEST(StartupEnv, NoVmDetectEvenEmptySkipsTheProbeWithoutItTheProbeRunsInAChild) {
    for (const char* value : {"", "1"}) {
        oslayer_test::child_result_t r = run_probe(value);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("probe vm=[] child=0", probe_line(r)) << "VELMO_NOVMDETECT=" << value;
    }
    // Probing here as well shows the probe leaves the calling process intact.
    std::string expected = getenv("VELMO_NOVMDETECT") ? "" : detect_virtual_vm();
    EXPECT_TRUE(expected.empty() || (expected.rfind("VmWare/", 0) == 0 && expected.back() == ' ')) << expected;
    oslayer_test::child_result_t r = run_probe(nullptr);
    EXPECT_EQ(0, r.status) << r.err;
    std::string line = probe_line(r);
    EXPECT_EQ("] child=1", line.substr(line.size() - 9)) << line;
    if (!getenv("VELMO_NOVMDETECT")) {
        EXPECT_EQ("probe vm=[" + expected + "] child=1", line);
    }
    // The root logger outlives every ordinary static object.
    EXPECT_NE(std::string::npos, r.err.find("logged from a static destructor")) << r.err;
}
