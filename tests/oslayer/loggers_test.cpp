// The level scale, the line prefix, the descriptor logger (repeat
// suppression, whole lines under concurrency, large writes), chains, the
// exception report and the root logger's start-up state.

#include <ctime>
#include <map>
#include <regex>

#include <signal.h>
#include <sys/resource.h>

#include "oslayer/runnable.h"
#include "tests/oslayer/test_support.h"

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

using oslayer_test::captured_root_t;
using oslayer_test::log_file_t;
using oslayer_test::root_swap_t;
using oslayer_test::strings;

std::string local_stamp(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

struct parsed_line_t {
    std::string stamp, code, pid, tid, name, text;
};

parsed_line_t parse(const std::string& line) {
    static const std::regex prefix_re(R"(^(\d{8})\.(\d{6})\.(\d{2}) (\S{3}) \[( *\d+) ( *\d+)\] (.{6,}?) (.*)$)");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, prefix_re)) << line;
    if (m.empty()) return parsed_line_t();
    return {m[1].str() + m[2].str(), m[4], m[5], m[6], m[7], m[8]};
}

/// "code text" of every line.
strings coded(const log_file_t& f) {
    strings out;
    for (const std::string& l : f.lines()) out.push_back(parse(l).code + " " + parse(l).text);
    return out;
}

std::string formatted_id(unsigned long id) {
    char buf[32];
    snprintf(buf, sizeof buf, "%5lu", id);
    return buf;
}

std::string bug_text(const std::function<void()>& f) {
    return oslayer_test::error_of<BUG_exception_shell_t>(f);
}

}  // namespace

TEST(LoggerLevels, NamesCodesParsingAndOutOfRange) {
    log_file_t f;
    fd_logger_t l(f.fd);
    for (int i : {13, -1, 1 << 30}) EXPECT_STREQ(l.level_code(12), l.level_code(i)) << i;
    EXPECT_STREQ(level_name(13), level_name(-1));
    // Names parse back in any case; codes, numbers and near misses do not.
    int level = -7;
    for (int i = 0; i <= 12; ++i) {
        std::string lower = level_name(i);
        for (char& c : lower) c = static_cast<char>(tolower(c));
        EXPECT_TRUE(level_from_name(lower.c_str(), level) && level == i) << lower;
        EXPECT_TRUE(level_from_name(level_name(i), level) && level == i) << i;
    }
    EXPECT_TRUE(level_from_name("aLl", level) && level == 12);
    level = 3;
    for (const char* bad : {"db0", "4", "", "INFO ", "AL", (const char*)nullptr}) {
        EXPECT_FALSE(level_from_name(bad, level)) << (bad ? bad : "null");
        EXPECT_EQ(3, level);
    }
    // The comparison is signed: a negative level is always written, as db3.
    EXPECT_TRUE(l.get_level() == 4 && l.is_enabled(4) && !l.is_enabled(5));
    l.set_level(12);
    EXPECT_TRUE(!l.is_enabled(13) && l.is_enabled(-5));
    l.print(13, "never");
    l.print(-1, "negative");
    l.debug3("deepest");
    EXPECT_EQ(strings({"db3 negative", "db3 deepest"}), coded(f));
}

TEST(LoggerPrefix, LayoutOfUnregisteredAndRegisteredThreads) {
    log_file_t f;
    fd_logger_t l(f.fd);
    std::string before = local_stamp(time(nullptr));
    l.crit("first %d", 1);
    std::string after = local_stamp(time(nullptr));
    std::string tid;
    oslayer_test::on_fresh_thread([&] {
        log_test_worker_t w;
        w.name = "io";
        ASSERT_EQ(0, pthread_setspecific(kern_n::runnable_t::self_key, &w));
        l.info("from worker");
        tid = formatted_id(syscall(SYS_gettid));
        pthread_setspecific(kern_n::runnable_t::self_key, nullptr);
    });
    strings lines = f.lines();
    ASSERT_EQ(2u, lines.size());
    parsed_line_t p = parse(lines[0]), q = parse(lines[1]);
    EXPECT_TRUE(before <= p.stamp && p.stamp <= after) << p.stamp;
    const std::string pid = formatted_id(getpid());
    EXPECT_EQ(strings({"FTL", pid, formatted_id(syscall(SYS_gettid)), "noname", "first 1"}),
              strings({p.code, p.pid, p.tid, p.name, p.text}));
    EXPECT_EQ(strings({"inf", pid, tid, "io    ", "from worker"}), strings({q.code, q.pid, q.tid, q.name, q.text}));
    // Date, time and hundredths are fixed-width: the bracket is at column 23.
    EXPECT_EQ(" [", lines[0].substr(18, 1) + lines[0].substr(23, 1));
}

TEST(LoggerRepeat, CountAtAnyLevelAndPrefixOfTheLastRepeat) {
    log_file_t f;
    fd_logger_t l(f.fd);
    l.set_level(12);
    l.error("same");
    l.warning("same");
    l.notice("same");  // identical text at other levels is still a repeat
    l.info("other");
    EXPECT_EQ(strings({"ERR same", "ntc [Logger] Last message repeated 3 times", "inf other"}), coded(f));
}

TEST(LoggerRepeat, FlushWritesOnlyRealRepeatsEmptyTextWithNothingStoredIsOne) {
    log_file_t f;
    {
        fd_logger_t l(f.fd);
        l.info("%s", "");
        EXPECT_EQ("", f.text());
        EXPECT_EQ(2u, l.repeat_count);
        l.info("next");
        l.info("%s", "");  // empty after a real line is an ordinary line
        l.info("once");
        l.flush_repeats();  // a count of 1 writes nothing
        l.info("once");     // the stored text was forgotten: written again
        l.info("once");
    }  // the destructor reports the pending repeat
    strings lines = f.lines();
    ASSERT_EQ(strings({"[Logger] Last message repeated 2 times", "next", "", "once", "once",
                       "[Logger] Last message repeated 2 times"}),
              f.messages());
    auto prefix_of = [](const std::string& l) { return l.substr(0, l.size() - oslayer_test::message_of(l).size()); };
    EXPECT_EQ(prefix_of(lines[4]).substr(19), prefix_of(lines[5]).substr(19));
}

TEST(LoggerLines, ControlBytesOfAMessageNeverStartALineOfItsOwn) {
    log_file_t f;
    {
        fd_logger_t l(f.fd);
        const char forged[] = "x\n20240101.000000.00 ERR [ 1 2] main   SIGINT handled, shutdown";
        l.error("Violation: %s", forged);
        l.error("Violation: %s", forged);  // still counted as a repeat
        l.info("tab\tstays, CR\r and ESC\x1b do not");
    }
    EXPECT_EQ(strings({"ERR Violation: x\\n20240101.000000.00 ERR [ 1 2] main   SIGINT handled, shutdown",
                       "ERR [Logger] Last message repeated 2 times", "inf tab\tstays, CR\\r and ESC\\x1B do not"}),
              coded(f));
    // The exception report splits at its words, never at a line feed it quotes.
    captured_root_t root(LOG_LEVEL_INFO);
    pretty_print_exception(1, "[Proxy] a because of %s", "b\nSIGINT handled, shutdown", nullptr);
    EXPECT_EQ(strings({"[Proxy] a because of ", "  b\\nSIGINT handled, shutdown"}), root.messages());
}

TEST(LoggerWrite, DescriptorEdgeCasesErrnoAndTextsLongerThanOnePiece) {
    fd_logger_t none(-1);
    errno = ERANGE;
    none.info("goes nowhere");
    none.write("nothing");
    EXPECT_EQ(ERANGE, errno);
    log_file_t f;
    std::string big(0x7FFFFF * 2 + 1234, 'x');
    for (size_t i = 0; i < big.size(); i += 4093) big[i] = char('a' + i % 26);
    big += '\n';
    {
        fd_logger_t l(f.fd);
        l.write("");
        l.write("raw line\n");
        l.write(big.c_str());
    }
    EXPECT_TRUE(f.text() == "raw line\n" + big);
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

// A full disk, played by a file size limit: the write that comes short cuts
// a line, and the first message that finds room again ends that line first.
TEST(LoggerWrite, AfterAShortWriteTheNextMessageBeginsALine) {
    log_file_t f;
    fd_logger_t l(f.fd);
    l.write("whole line\n");
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    l.write("cut after five bytes\n");
    l.write("dropped whole: not even the line end fits\n");
    EXPECT_TRUE(l.line_open);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    sigaction(SIGXFSZ, &previous, nullptr);
    l.write("after recovery\n");
    l.write("and on\n");
    EXPECT_EQ(f.text(), "whole line\ncut a\nafter recovery\nand on\n");
    EXPECT_FALSE(l.line_open);
}

TEST(LoggerThreads, LinesFromManyThreadsStayWhole) {
    log_file_t f;
    const int threads = 8, per_thread = 500;
    auto body = [](int t, int i) { return std::string(size_t((i * 37 + t * 11) % 300), char('a' + t)); };
    {
        fd_logger_t l(f.fd);
        oslayer_test::run_threads(threads, [&](int t) {
            for (int i = 0; i < per_thread; ++i) l.info("t%d n%d %s|", t, i, body(t, i).c_str());
        });
    }
    strings lines = f.lines();
    ASSERT_EQ(size_t(threads * per_thread), lines.size());
    std::map<int, int> next;
    const std::regex line_re(R"(t(\d) n(\d+) ([a-h]*)\|)");
    for (const std::string& line : lines) {
        std::smatch m;
        std::string text = parse(line).text;
        ASSERT_TRUE(std::regex_match(text, m, line_re)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(next[t], i) << "thread " << t << " lost or reordered a line";
        next[t] = i + 1;
        EXPECT_EQ(body(t, i), m[3].str());
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(per_thread, next[t]);
}

TEST(LoggerChain, HoldsTwoChildrenWithTheirOwnLevels) {
    log_file_t fa, fb;
    fd_logger_t* a = new fd_logger_t(fa.fd);
    chain_logger_t same(a, a);  // deleted once at the end (ASan would see twice)
    EXPECT_EQ(nullptr, same.second);
    fd_logger_t* b = new fd_logger_t(fb.fd);
    chain_logger_t both(new fd_logger_t(fa.fd), b);
    both.first->set_level(1);
    EXPECT_TRUE(both.is_enabled(3) && !both.is_enabled(5));
    both.print(1, "to both %d", 1);
    both.print(3, "only b");
    EXPECT_EQ(strings({"to both 1"}), fa.messages());
    EXPECT_EQ(strings({"to both 1", "only b"}), fb.messages());
    both.set_level(9);
    EXPECT_TRUE(both.get_level() == 9 && both.first->get_level() == 9 && b->get_level() == 9);
    EXPECT_THROW(both.write("x\n"), BUG_exception_shell_t);
    // Only a descriptor logger on 2, at any depth, counts as stderr.
    chain_logger_t plain(new fd_logger_t(fa.fd), new fd_logger_t(-1));
    chain_logger_t nested(new fd_logger_t(fa.fd), new chain_logger_t(new fd_logger_t(-1), new log_probe_a_t(2)));
    chain_logger_t first(new fd_logger_t(2), nullptr);
    EXPECT_TRUE(!plain.has_stderr_again() && nested.has_stderr_again() && first.has_stderr_again());
}

TEST(LoggerChain, AddRemoveAndCollectInfoOnTheRoot) {
    root_swap_t swap(new fd_logger_t(-1));
    auto info = [] {
        std::string out;
        chain_logger_t::collect_info(out);
        return out;
    };
    EXPECT_EQ("root is not chain: fd_logger_t", info());
    log_probe_a_t* a = new log_probe_a_t(-1);
    log_probe_b_t* b = new log_probe_b_t(-1);
    chain_logger_t::add(a);
    chain_logger_t::add(b);
    EXPECT_EQ("chain_logger_t( log_probe_b_t, chain_logger_t ); chain_logger_t( log_probe_a_t, fd_logger_t )", info());
    chain_logger_t::remove(a);  // deeper in the chain
    EXPECT_EQ("chain_logger_t( log_probe_b_t, fd_logger_t )", info());
    chain_logger_t::remove(b);  // at the root
    EXPECT_EQ("root is not chain: fd_logger_t", info());
    chain_logger_t::remove(nullptr);
    // Removed loggers come back undeleted and usable.
    a->info("still alive");
    delete a;
    delete b;
    delete if_logger_t::Log;
    if_logger_t::Log = nullptr;
    EXPECT_EQ("zero logger", info());
}

TEST(LoggerChain, RemoveReportsBrokenChains) {
    root_swap_t swap(nullptr);
    log_probe_a_t a(-1);
    EXPECT_EQ("zero logger", bug_text([&] { chain_logger_t::remove(&a); }));
    if_logger_t* const roots[] = {new log_probe_b_t(-1), new chain_logger_t(new fd_logger_t(-1), nullptr),
                                  new chain_logger_t(new fd_logger_t(-1), new log_probe_b_t(-1))};
    for (if_logger_t* root : roots) {
        if_logger_t::Log = root;
        EXPECT_THROW(chain_logger_t::remove(&a), BUG_exception_shell_t);
        delete if_logger_t::Log;
    }
    chain_logger_t* lone = new chain_logger_t(&a, nullptr);
    if_logger_t::Log = lone;
    EXPECT_THROW(chain_logger_t::remove(&a), BUG_exception_shell_t);
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

}  // namespace

TEST(LoggerReport, PrettyPrintSplitsAtBecauseOfWithoutBacktraces) {
    captured_root_t root(LOG_LEVEL_INFO);
    pretty_print_exception(1, "no pieces %s", "here", nullptr);
    pretty_print_exception(1, "a because of %s", "b because of c", nullptr);
    pretty_print_exception(1, nullptr, "trailing because of ", nullptr);
    pretty_print_exception(1, "literal %s kept", nullptr, nullptr);
    pretty_print_exception(1, nullptr, nullptr, nullptr);
    pretty_print_exception(5, "above the level", nullptr, nullptr);
    try {
        raise_bug_for_report();
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(1, nullptr, nullptr, &e);
    }
    catch_and_report(true);  // back-traces off: message lines only
    EXPECT_EQ(strings({"no pieces here", "a because of ", "  b because of ", "  c", "trailing", "literal %s kept",
                       "BUG! pretty_print_exception() without any message", "General error \"inner fault\" detected",
                       "outer failed because of ", "  inner fault"}),
              root.messages());
}

TEST(LoggerReport, PrettyPrintWithBacktracesAddsRaiseAndCatchPoints) {
    captured_root_t g(LOG_LEVEL_INFO);
    _d_exception_t::backtrace_enabled = true;
    catch_and_report(true);
    catch_and_report(false);
    _d_exception_t::backtrace_enabled = false;
    strings t = g.messages();
    ASSERT_EQ(9u, t.size()) << g.text();
    EXPECT_NE(std::string::npos, t[3].find("raise_bug_for_report() @ loggers_test.cpp:")) << t[3];
    auto at = std::find(t.begin(), t.end(), "Last message cought at following point");
    ASSERT_TRUE(at != t.end() && at + 1 != t.end()) << g.text();
    EXPECT_NE(std::string::npos, at[1].find("catch_and_report(bool) @ loggers_test.cpp:")) << at[1];
}

TEST(LoggerReport, DefaultPrinterAndFrameLogging) {
    captured_root_t root(LOG_LEVEL_INFO);
    void* info = reinterpret_cast<void*>(intptr_t(4));
    default_print_exception(info, "with line", nullptr, 7);
    default_print_exception(info, "text only", nullptr, 0);
    default_print_exception(info, "line zero", "f.cpp", 0);
    default_print_exception(reinterpret_cast<void*>(intptr_t(5)), "too deep", "f.cpp", 1);
    {
        callstack_t quiet("q.cpp", 1, "quiet", false);
        callstack_t loud("x.cpp", 12, "fn()", true);
    }
    root.logger->set_level(8);
    {
        callstack_t loud("x.cpp", 12, "fn()", true);
        callstack_t unnamed(nullptr, 3, nullptr, true);
    }
    EXPECT_EQ(strings({"with line @ UNKNOWN:7", "text only", "line zero @ f.cpp:0", "Enter x.cpp:12 fn()",
                       "Enter UNKNOWN:3 UNNAMED", "Leave UNKNOWN:3 UNNAMED", "Leave x.cpp:12 fn()"}),
              root.messages());
    EXPECT_EQ("tr3", parse(root.lines()[3]).code);
    if_logger_t::Log = nullptr;  // no root: the printers do nothing
    default_print_exception(info, "dropped", nullptr, 0);
    pretty_print_exception(0, "dropped", nullptr, nullptr);
    if_logger_t::Log = root.logger;
    EXPECT_EQ(7u, root.lines().size());
}

TEST(LoggerInit, LevelsAndTheConsoleRoot) {
    captured_root_t root(LOG_LEVEL_INFO);
    EXPECT_FALSE(init_logger("loud", "-", "", nullptr));
    EXPECT_EQ(1u, root.messages().size());
    EXPECT_EQ(root.logger, if_logger_t::Log);
    // A root that is not on the console is replaced by one that is.
    ASSERT_TRUE(init_logger("notice", "-", "", nullptr));
    fd_logger_t* console = dynamic_cast<fd_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, console);
    EXPECT_TRUE(console->fd == 2 && console->get_level() == 3);
    // The console root stays, takes the new level and the extra logger.
    fd_logger_t* extra = new fd_logger_t(-1);
    ASSERT_TRUE(init_logger("Debug", "-", "", extra));
    chain_logger_t* chain = dynamic_cast<chain_logger_t*>(if_logger_t::Log);
    ASSERT_NE(nullptr, chain);
    EXPECT_TRUE(chain->first == console && chain->second == extra && console->get_level() == 9);
}

TEST(LoggerInit, FileRootAndItsFailure) {
    captured_root_t root(LOG_LEVEL_INFO);
    std::string missing = root.dir.path + "/no-such-dir/x.log";
    ASSERT_TRUE(init_logger("info", missing.c_str(), "", nullptr));
    EXPECT_EQ(2u, root.messages().size()) << root.text();
    auto* console = dynamic_cast<fd_logger_t*>(if_logger_t::Log);
    EXPECT_TRUE(console && console->fd == 2);
    std::string good = root.dir.path + "/root.log";
    fd_logger_t* extra = new fd_logger_t(root.fd);
    ASSERT_TRUE(init_logger("trace", good.c_str(), "none", extra));
    chain_logger_t* chain = dynamic_cast<chain_logger_t*>(if_logger_t::Log);
    ASSERT_TRUE(chain && dynamic_cast<file_logger_t*>(chain->first));
    EXPECT_TRUE(chain->first->get_level() == 5 && chain->second == extra);
    LOG_AT(LOG_LEVEL_TRACE, "[Test] to the file %d", 5);
    delete if_logger_t::Log;  // closes the file
    if_logger_t::Log = nullptr;
    std::string text = oslayer_test::read_file(good);
    parsed_line_t line = parse(text.substr(0, text.find('\n')));
    EXPECT_EQ("tr0 [Test] to the file 5", line.code + " " + line.text);
}
