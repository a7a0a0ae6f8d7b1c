// The level scale, the line prefix, the descriptor logger (repeat
// suppression, whole lines under concurrency, large writes) and the root
// logger's start-up state.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "oslayer/loggers.h"
#include "oslayer/runnable.h"

// Outside any namespace so that their run-time type names read plainly.
class log_test_worker_t : public kern_n::runnable_t {
public:
    const char* type_name() const override { return "tst"; }
};
class log_probe_a_t : public fd_logger_t {
public:
    explicit log_probe_a_t(int fd) : fd_logger_t(fd) {}
};
class log_probe_b_t : public fd_logger_t {
public:
    explicit log_probe_b_t(int fd) : fd_logger_t(fd) {}
};

namespace {

// A file in a fresh temp dir, opened for appending; both removed at the end.
class temp_log_t {
public:
    temp_log_t() {
        char dir_pattern[] = "/tmp/velmod-log-XXXXXX";
        dir = mkdtemp(dir_pattern) ? dir_pattern : "";
        name = dir + "/test.log";
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    ~temp_log_t() {
        if (fd >= 0) ::close(fd);
        ::unlink(name.c_str());
        ::rmdir(dir.c_str());
    }
    std::string text() const {
        std::ifstream in(name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

    std::string dir;
    std::string name;
    int fd;
};

// The message after a prefix whose thread name is at most six characters.
std::string message_of(const std::string& line) {
    size_t bracket = line.find("] ");
    return bracket == std::string::npos || line.size() < bracket + 9 ? std::string() : line.substr(bracket + 9);
}

std::string prefix_of(const std::string& line) { return line.substr(0, line.size() - message_of(line).size()); }

std::string local_stamp(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

const std::regex prefix_re(
    R"(^(\d{8})\.(\d{6})\.(\d{2}) (\S{3}) \[( *\d+) ( *\d+)\] (.{6,}?) (.*)$)");

struct parsed_line_t {
    std::string stamp, hundredths, code, pid, tid, name, text;
};

parsed_line_t parse(const std::string& line) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, prefix_re)) << line;
    if (m.empty()) return parsed_line_t();
    return {m[1].str() + m[2].str(), m[3], m[4], m[5], m[6], m[7], m[8]};
}

std::string formatted_tid() {
    char buf[32];
    snprintf(buf, sizeof buf, "%5lu", static_cast<unsigned long>(syscall(SYS_gettid)));
    return buf;
}

// Makes `replacement` the root logger for the guard's lifetime.
class root_swap_t {
public:
    explicit root_swap_t(if_logger_t* replacement) : saved(if_logger_t::Log) { if_logger_t::Log = replacement; }
    ~root_swap_t() {
        if (if_logger_t::Log != saved) delete if_logger_t::Log;
        if_logger_t::Log = saved;
    }
    if_logger_t* const saved;
};

std::string bug_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const BUG_exception_shell_t& e) {
        return e.what();
    }
    return "nothing raised";
}

std::vector<std::string> texts_of(const temp_log_t& f) {
    std::vector<std::string> out;
    for (const std::string& l : f.lines()) out.push_back(parse(l).text);
    return out;
}

}  // namespace

TEST(LoggerLevels, NamesCodesAndOutOfRange) {
    fd_logger_t l(-1);
    EXPECT_STREQ("CRIT", level_name(0));
    EXPECT_STREQ("WARNING", level_name(2));
    EXPECT_STREQ("TRACE3", level_name(8));
    EXPECT_STREQ("DEBUG3", level_name(12));
    EXPECT_STREQ("ALL", level_name(13));
    EXPECT_STREQ("ALL", level_name(-1));
    const char* codes[] = {"FTL", "ERR", "wrn", "ntc", "inf", "tr0", "tr1", "tr2", "tr3", "db0", "db1", "db2", "db3"};
    for (int i = 0; i <= 12; ++i) EXPECT_STREQ(codes[i], l.level_code(i)) << i;
    EXPECT_STREQ("db3", l.level_code(13));
    EXPECT_STREQ("db3", l.level_code(-1));
    EXPECT_STREQ("db3", l.level_code(1 << 30));
}

TEST(LoggerLevels, FromNameAcceptsNamesInAnyCaseOnly) {
    int level = -7;
    for (int i = 0; i <= 12; ++i) {
        std::string lower = level_name(i);
        for (char& c : lower) c = static_cast<char>(tolower(c));
        ASSERT_TRUE(level_from_name(lower.c_str(), level)) << lower;
        EXPECT_EQ(i, level);
        ASSERT_TRUE(level_from_name(level_name(i), level));
        EXPECT_EQ(i, level);
    }
    EXPECT_TRUE(level_from_name("aLl", level));
    EXPECT_EQ(12, level);
    level = 3;
    for (const char* bad : {"db0", "inf", "FTL", "4", "", "INFO ", "DEBUG4", "AL"}) {
        EXPECT_FALSE(level_from_name(bad, level)) << bad;
        EXPECT_EQ(3, level);
    }
    EXPECT_FALSE(level_from_name(nullptr, level));
}

TEST(LoggerLevels, EnabledComparisonIsSigned) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    EXPECT_EQ(4, l.get_level());
    EXPECT_TRUE(l.is_enabled(4));
    EXPECT_FALSE(l.is_enabled(5));
    l.set_level(12);
    EXPECT_FALSE(l.is_enabled(13));
    EXPECT_TRUE(l.is_enabled(-5));
    l.print(13, "never");
    l.print(-1, "negative");
    l.debug3("deepest");
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("db3", parse(lines[0]).code);
    EXPECT_EQ("negative", parse(lines[0]).text);
    EXPECT_EQ("db3", parse(lines[1]).code);
}

TEST(LoggerPrefix, LayoutOfAnUnregisteredThread) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    std::string before = local_stamp(time(nullptr));
    l.crit("first %d", 1);
    l.info("second");
    std::string after = local_stamp(time(nullptr));
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(2u, lines.size());
    parsed_line_t p = parse(lines[0]);
    EXPECT_LE(before, p.stamp);
    EXPECT_GE(after, p.stamp);
    EXPECT_EQ("FTL", p.code);
    EXPECT_EQ("first 1", p.text);
    char pid[16];
    snprintf(pid, sizeof pid, "%5lu", static_cast<unsigned long>(getpid()));
    EXPECT_EQ(pid, p.pid);
    EXPECT_EQ(formatted_tid(), p.tid);
    EXPECT_EQ("noname", p.name);
    EXPECT_EQ("inf", parse(lines[1]).code);
    // Date, time and hundredths are fixed-width: the bracket is at column 23.
    EXPECT_EQ(' ', lines[0][18]);
    EXPECT_EQ('[', lines[0][23]);
}

TEST(LoggerPrefix, NameOfARegisteredThreadIsPadded) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    std::string tid;
    std::thread t([&] {
        log_test_worker_t w;
        w.name = "io";
        ASSERT_EQ(0, pthread_setspecific(kern_n::runnable_t::self_key, &w));
        l.info("from worker");
        tid = formatted_tid();
        pthread_setspecific(kern_n::runnable_t::self_key, nullptr);
    });
    t.join();
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(1u, lines.size());
    parsed_line_t p = parse(lines[0]);
    EXPECT_EQ(tid, p.tid);
    EXPECT_EQ("io    ", p.name);
    EXPECT_EQ("from worker", p.text);
}

TEST(LoggerRepeat, CountAndPrefixOfTheLastRepeat) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    l.set_level(12);
    l.error("same");
    l.warning("same");
    l.notice("same");  // identical text at other levels is still a repeat
    l.info("other");
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("ERR", parse(lines[0]).code);
    EXPECT_EQ("same", parse(lines[0]).text);
    parsed_line_t r = parse(lines[1]);
    EXPECT_EQ("ntc", r.code);
    EXPECT_EQ("[Logger] Last message repeated 3 times", r.text);
    EXPECT_EQ("other", parse(lines[2]).text);
}

TEST(LoggerRepeat, FlushWritesOnlyRealRepeatsAndForgetsTheText) {
    temp_log_t f;
    {
        fd_logger_t l(f.fd);
        l.info("once");
        l.flush_repeats();  // a count of 1 writes nothing
        l.info("once");     // the stored text was forgotten: written again
        l.info("once");
    }  // the destructor reports the pending repeat
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("once", parse(lines[0]).text);
    EXPECT_EQ("once", parse(lines[1]).text);
    EXPECT_EQ("[Logger] Last message repeated 2 times", parse(lines[2]).text);
    EXPECT_EQ(prefix_of(lines[1]).substr(19), prefix_of(lines[2]).substr(19));
}

TEST(LoggerRepeat, EmptyTextWithNothingStoredIsARepeat) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    l.info("%s", "");
    EXPECT_EQ("", f.text());
    EXPECT_EQ(2u, l.repeat_count);
    l.info("next");
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("[Logger] Last message repeated 2 times", parse(lines[0]).text);
    EXPECT_EQ("next", parse(lines[1]).text);
    l.info("%s", "");  // empty after a real line is an ordinary line
    ASSERT_EQ(3u, f.lines().size());
    EXPECT_EQ("", parse(f.lines()[2]).text);
}

TEST(LoggerWrite, DescriptorEdgeCasesAndErrno) {
    fd_logger_t none(-1);
    errno = ERANGE;
    none.info("goes nowhere");
    none.write("nothing");
    EXPECT_EQ(ERANGE, errno);

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    {
        fd_logger_t l(fds[1]);
        l.write("");
        l.write("raw line\n");
    }
    close(fds[1]);
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    EXPECT_EQ("raw line\n", std::string(buf, n > 0 ? size_t(n) : 0));

    // A failing descriptor loses the line silently and keeps the caller's errno.
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) {
        fd_logger_t l(full);
        errno = EDOM;
        l.info("lost");
        EXPECT_EQ(EDOM, errno);
        close(full);
    }
}

TEST(LoggerWrite, TextLongerThanOnePieceIsWrittenWhole) {
    temp_log_t f;
    fd_logger_t l(f.fd);
    std::string big(0x7FFFFF * 2 + 1234, 'x');
    for (size_t i = 0; i < big.size(); i += 4093) big[i] = char('a' + i % 26);
    big += '\n';
    l.write(big.c_str());
    EXPECT_TRUE(f.text() == big);
}

TEST(LoggerThreads, LinesFromManyThreadsStayWhole) {
    temp_log_t f;
    const int threads = 8, per_thread = 2000;
    {
        fd_logger_t l(f.fd);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&l, t] {
                for (int i = 0; i < per_thread; ++i) {
                    int len = (i * 37 + t * 11) % 300;
                    l.info("t%d n%d %s|", t, i, std::string(size_t(len), char('a' + t)).c_str());
                }
            });
        for (auto& th : pool) th.join();
    }
    std::vector<std::string> lines = f.lines();
    ASSERT_EQ(size_t(threads * per_thread), lines.size());
    std::map<int, int> next;
    const std::regex body(R"(t(\d) n(\d+) ([a-h]*)\|)");
    for (const std::string& line : lines) {
        std::smatch m;
        std::string text = parse(line).text;
        ASSERT_TRUE(std::regex_match(text, m, body)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(next[t], i) << "thread " << t << " lost or reordered a line";
        next[t] = i + 1;
        EXPECT_EQ(std::string(size_t((i * 37 + t * 11) % 300), char('a' + t)), m[3].str());
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(per_thread, next[t]);
}

TEST(LoggerRoot, ExistsBeforeMainOnStderr) {
    ASSERT_NE(nullptr, if_logger_t::Log);
    fd_logger_t* root = dynamic_cast<fd_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(2, root->fd);
    EXPECT_EQ(4, root->get_level());
    EXPECT_EQ(default_exception_printer, &default_print_exception);
    EXPECT_NE(nullptr, callstack_t::log_hook);
}

TEST(LoggerChain, HoldsTwoChildrenWithTheirOwnLevels) {
    temp_log_t fa, fb;
    fd_logger_t* a = new fd_logger_t(fa.fd);
    chain_logger_t same(a, a);  // deleted once at the end (ASan would see twice)
    EXPECT_EQ(nullptr, same.second);

    fd_logger_t* b = new fd_logger_t(fb.fd);
    chain_logger_t both(new fd_logger_t(fa.fd), b);
    both.first->set_level(1);
    EXPECT_TRUE(both.is_enabled(3));
    EXPECT_FALSE(both.is_enabled(5));
    both.print(1, "to both %d", 1);
    both.print(3, "only b");
    EXPECT_EQ(std::vector<std::string>({"to both 1"}), texts_of(fa));
    EXPECT_EQ(std::vector<std::string>({"to both 1", "only b"}), texts_of(fb));
    both.set_level(9);
    EXPECT_EQ(9, both.get_level());
    EXPECT_EQ(9, both.first->get_level());
    EXPECT_EQ(9, b->get_level());
    EXPECT_EQ("chain_logger_t::write( const char* ) called", bug_text([&] { both.write("x\n"); }));
}

TEST(LoggerChain, HasStderrAgainLooksThroughNestedChains) {
    temp_log_t f;
    chain_logger_t plain(new fd_logger_t(f.fd), new fd_logger_t(-1));
    EXPECT_FALSE(plain.has_stderr_again());
    chain_logger_t nested(new fd_logger_t(f.fd), new chain_logger_t(new fd_logger_t(-1), new log_probe_a_t(2)));
    EXPECT_TRUE(nested.has_stderr_again());
    chain_logger_t first(new fd_logger_t(2), nullptr);
    EXPECT_TRUE(first.has_stderr_again());
}

TEST(LoggerChain, AddRemoveAndCollectInfoOnTheRoot) {
    root_swap_t swap(new fd_logger_t(-1));
    std::string info;
    chain_logger_t::collect_info(info);
    EXPECT_EQ("root is not chain: fd_logger_t", info);
    log_probe_a_t* a = new log_probe_a_t(-1);
    log_probe_b_t* b = new log_probe_b_t(-1);
    chain_logger_t::add(a);
    chain_logger_t::add(b);
    chain_logger_t::collect_info(info);
    EXPECT_EQ("chain_logger_t( log_probe_b_t, chain_logger_t ); chain_logger_t( log_probe_a_t, fd_logger_t )", info);

    chain_logger_t::remove(a);  // deeper in the chain
    chain_logger_t::collect_info(info);
    EXPECT_EQ("chain_logger_t( log_probe_b_t, fd_logger_t )", info);
    chain_logger_t::remove(b);  // at the root
    chain_logger_t::collect_info(info);
    EXPECT_EQ("root is not chain: fd_logger_t", info);
    chain_logger_t::remove(nullptr);
    // Removed loggers come back undeleted and usable.
    a->info("still alive");
    delete a;
    delete b;

    delete if_logger_t::Log;
    if_logger_t::Log = nullptr;
    chain_logger_t::collect_info(info);
    EXPECT_EQ("zero logger", info);
    if_logger_t::Log = swap.saved;  // so that the guard deletes nothing
}

TEST(LoggerChain, RemoveReportsBrokenChains) {
    root_swap_t swap(nullptr);
    log_probe_a_t a(-1);
    EXPECT_EQ("zero logger", bug_text([&] { chain_logger_t::remove(&a); }));
    if_logger_t::Log = new log_probe_b_t(-1);
    EXPECT_EQ("bad root: log_probe_b_t", bug_text([&] { chain_logger_t::remove(&a); }));
    delete if_logger_t::Log;
    if_logger_t::Log = new chain_logger_t(new fd_logger_t(-1), nullptr);
    EXPECT_EQ("zero chain", bug_text([&] { chain_logger_t::remove(&a); }));
    delete if_logger_t::Log;
    if_logger_t::Log = new chain_logger_t(new fd_logger_t(-1), new log_probe_b_t(-1));
    EXPECT_EQ("bad chain: log_probe_b_t", bug_text([&] { chain_logger_t::remove(&a); }));
    delete if_logger_t::Log;
    chain_logger_t* lone = new chain_logger_t(&a, nullptr);
    if_logger_t::Log = lone;
    EXPECT_EQ("zero new root", bug_text([&] { chain_logger_t::remove(&a); }));
    EXPECT_EQ(lone, if_logger_t::Log);  // a failed removal changes nothing
    lone->first = nullptr;              // `a` lives on the stack
}

namespace {

void raise_bug_for_report() {
    TRACE_POINT;
    D_THROW(BUG_exception, "inner fault");
}

void catch_and_report(bool with_shell) {
    TRACE_POINT;
    try {
        raise_bug_for_report();
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(1, "outer failed because of %s", e.what(), with_shell ? &e : nullptr);
    }
}

struct backtraces_on_t {
    backtraces_on_t() { _d_exception_t::backtrace_enabled = true; }
    ~backtraces_on_t() { _d_exception_t::backtrace_enabled = false; }
};

}  // namespace

TEST(LoggerReport, PrettyPrintSplitsAtBecauseOf) {
    temp_log_t f;
    fd_logger_t* l = new fd_logger_t(f.fd);
    root_swap_t swap(l);
    pretty_print_exception(1, "no pieces %s", "here", nullptr);
    pretty_print_exception(1, "a because of %s", "b because of c", nullptr);
    pretty_print_exception(1, nullptr, "trailing because of ", nullptr);
    pretty_print_exception(1, "literal %s kept", nullptr, nullptr);
    pretty_print_exception(1, nullptr, nullptr, nullptr);
    pretty_print_exception(5, "above the level", nullptr, nullptr);
    EXPECT_EQ(std::vector<std::string>({"no pieces here", "a because of ", "  b because of ", "  c", "trailing",
                                        "literal %s kept", "BUG! pretty_print_exception() without any message"}),
              texts_of(f));
}

TEST(LoggerReport, PrettyPrintWithShellAndBacktraces) {
    temp_log_t f;
    fd_logger_t* l = new fd_logger_t(f.fd);
    root_swap_t swap(l);
    try {
        raise_bug_for_report();
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(1, nullptr, nullptr, &e);
    }
    catch_and_report(true);  // back-traces off: message lines only
    EXPECT_EQ(std::vector<std::string>({"General error \"inner fault\" detected", "outer failed because of ",
                                        "  inner fault"}),
              texts_of(f));

    backtraces_on_t on;
    temp_log_t g;
    l->fd = g.fd;
    catch_and_report(true);
    catch_and_report(false);
    std::vector<std::string> t = texts_of(g);
    ASSERT_EQ(9u, t.size()) << g.text();
    EXPECT_EQ("outer failed because of ", t[0]);
    EXPECT_EQ("  inner fault", t[1]);
    EXPECT_EQ(0u, t[2].find("BUG_exception: inner fault @ loggers_test.cpp:")) << t[2];
    EXPECT_EQ(0u, t[3].find("  at void {anonymous}::raise_bug_for_report() @ loggers_test.cpp:")) << t[3];
    EXPECT_EQ(0u, t[4].find("  by void {anonymous}::catch_and_report(bool) @ loggers_test.cpp:")) << t[4];
    size_t caught = 0;
    while (caught < t.size() && t[caught] != "Last message cought at following point") ++caught;
    ASSERT_LT(caught + 1, t.size()) << g.text();
    EXPECT_EQ("outer failed because of ", t[caught - 2]);
    EXPECT_EQ(0u, t[caught + 1].find("  at void {anonymous}::catch_and_report(bool) @ loggers_test.cpp:"));
}

TEST(LoggerReport, DefaultPrinterAndFrameLogging) {
    temp_log_t f;
    fd_logger_t* l = new fd_logger_t(f.fd);
    root_swap_t swap(l);
    void* info = reinterpret_cast<void*>(intptr_t(4));
    default_print_exception(info, "with line", nullptr, 7);
    default_print_exception(info, "text only", nullptr, 0);
    default_print_exception(info, "line zero", "f.cpp", 0);
    default_print_exception(reinterpret_cast<void*>(intptr_t(5)), "too deep", "f.cpp", 1);
    {
        callstack_t quiet("q.cpp", 1, "quiet", false);
        callstack_t loud("x.cpp", 12, "fn()", true);
    }
    l->set_level(8);
    {
        callstack_t loud("x.cpp", 12, "fn()", true);
        callstack_t unnamed(nullptr, 3, nullptr, true);
    }
    EXPECT_EQ(std::vector<std::string>({"with line @ UNKNOWN:7", "text only", "line zero @ f.cpp:0",
                                        "Enter x.cpp:12 fn()", "Enter UNKNOWN:3 UNNAMED", "Leave UNKNOWN:3 UNNAMED",
                                        "Leave x.cpp:12 fn()"}),
              texts_of(f));
    std::vector<std::string> lines = f.lines();
    EXPECT_EQ("tr3", parse(lines[3]).code);
    if_logger_t::Log = nullptr;  // no root: the printer does nothing
    default_print_exception(info, "dropped", nullptr, 0);
    pretty_print_exception(0, "dropped", nullptr, nullptr);
    if_logger_t::Log = l;
    EXPECT_EQ(7u, f.lines().size());
}

TEST(LoggerInit, LevelsAndTheConsoleRoot) {
    temp_log_t f;
    fd_logger_t* l = new fd_logger_t(f.fd);
    root_swap_t swap(l);
    EXPECT_FALSE(init_logger("loud", "-", "", nullptr));
    EXPECT_EQ(std::vector<std::string>({"Illegal loglevel -- loud"}), texts_of(f));
    EXPECT_EQ(l, if_logger_t::Log);

    // A root that is not on the console is replaced by one that is.
    ASSERT_TRUE(init_logger("notice", "-", "", nullptr));
    fd_logger_t* console = dynamic_cast<fd_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, console);
    EXPECT_EQ(2, console->fd);
    EXPECT_EQ(3, console->get_level());

    // The console root stays, takes the new level and the extra logger.
    fd_logger_t* extra = new fd_logger_t(-1);
    ASSERT_TRUE(init_logger("Debug", "-", "", extra));
    chain_logger_t* chain = dynamic_cast<chain_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, chain);
    EXPECT_EQ(console, chain->first);
    EXPECT_EQ(extra, chain->second);
    EXPECT_EQ(9, console->get_level());
}

TEST(LoggerInit, FileRootAndItsFailure) {
    temp_log_t f;
    fd_logger_t* l = new fd_logger_t(f.fd);
    root_swap_t swap(l);
    std::string missing = f.dir + "/no-such-dir/x.log";
    ASSERT_TRUE(init_logger("info", missing.c_str(), "", nullptr));
    std::vector<std::string> t = texts_of(f);
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(0u, t[0].find("Cannot open logfile \"" + missing + "\" because of ")) << t[0];
    EXPECT_EQ("Using stderr instead of \"" + missing + "\"", t[1]);
    ASSERT_NE(nullptr, dynamic_cast<fd_logger_t*>(if_logger_t::Log));
    EXPECT_EQ(2, dynamic_cast<fd_logger_t*>(if_logger_t::Log)->fd);

    std::string good = f.dir + "/root.log";
    fd_logger_t* extra = new fd_logger_t(f.fd);
    ASSERT_TRUE(init_logger("trace", good.c_str(), "none", extra));
    chain_logger_t* chain = dynamic_cast<chain_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, chain);
    ASSERT_NE(nullptr, dynamic_cast<file_logger_t*>(chain->first));
    EXPECT_EQ(5, chain->first->get_level());
    EXPECT_EQ(extra, chain->second);
    LOG_AT(LOG_LEVEL_TRACE, "[Test] to the file %d", 5);
    delete if_logger_t::Log;  // closes the file
    if_logger_t::Log = nullptr;
    std::ifstream in(good);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ("[Test] to the file 5", parse(line).text);
    EXPECT_EQ("tr0", parse(line).code);
    ::unlink(good.c_str());
}
