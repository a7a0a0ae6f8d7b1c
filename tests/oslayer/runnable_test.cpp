// Thread registry, per-thread named objects and the /proc statistics.
#include "oslayer/runnable.h"

#include <time.h>

#include <set>

#include "tests/oslayer/test_support.h"

using kern_n::runnable_t;
using oslayer_test::on_fresh_thread;
using oslayer_test::strings;

namespace {

class worker_t : public runnable_t {
public:
    // Registered last thing in its own constructor and unregistered first in
    // its destructor, so a listing never meets a half-built object.
    explicit worker_t(const std::string& n = "", int32_t p = 0) : runnable_t(n) {
        pid = p;
        register_self();
    }
    worker_t(const worker_t& other) = default;
    ~worker_t() override { unregister_self(); }
    const char* type_name() const override { return "thr"; }
};

/// Records its destruction in a shared journal.
class journalled_t : public if_root_t {
public:
    journalled_t(strings& j, std::string t) : journal(j), tag(std::move(t)) {}
    ~journalled_t() override { journal.push_back(tag); }
    strings& journal;
    std::string tag;
};

strings listed() {
    strings out;
    runnable_t::running_list(out);
    return out;
}

/// The root logger's messages that start with `marker`.
strings messages(const oslayer_test::captured_root_t& log, const std::string& marker) {
    strings out;
    for (const std::string& m : log.messages())
        if (m.rfind(marker, 0) == 0) out.push_back(m);
    return out;
}

}  // namespace

TEST(RunnableRegistry, RegisteredFromConstructionUntilDestructionCopiesNever) {
    ASSERT_TRUE(listed().empty());
    worker_t a("one", 42);
    auto b = std::make_unique<worker_t>("two");
    EXPECT_EQ(0xFFFFFFFFu, b->handle);
    EXPECT_EQ(a.seqid + 1, b->seqid);
    EXPECT_EQ((strings{"thr#000042/ffffffff one", "thr#000000/ffffffff two"}), listed());
    b.reset();
    a.handle = 0x1234;
    {
        worker_t copy(a);
        EXPECT_EQ(a.seqid, copy.seqid);
        EXPECT_EQ(1u, listed().size());
    }
    // The copy's destructor must not have removed the original's entry.
    EXPECT_EQ(strings{"thr#000042/00001234 one"}, listed());
    // Names with blanks are quoted; the list is appended to.
    worker_t spaced("io pool:3", 7);
    spaced.handle = 0xABC;
    worker_t unnamed;
    strings out{"kept"};
    runnable_t::running_list(out);
    EXPECT_EQ((strings{"kept", "thr#000042/00001234 one", "thr#000007/00000abc \"io pool:3\"", "thr#000000/ffffffff "}),
              out);
}

// Objects are listed from inside their base constructor and destructor; a
// listing thread running meanwhile must never reach a half-built object's
// abstract kind, and objects made at once must never share a sequence id.
TEST(RunnableRegistry, ListingWhileObjectsComeAndGoOnManyThreadsIsSafeAndSeqIdsStayUnique) {
    const int threads = 8, per_thread = 1000;
    std::vector<std::vector<uint32_t>> seen(threads);
    std::atomic<bool> stop{false};
    std::thread lister([&] {
        while (!stop.load()) listed();
    });
    oslayer_test::run_threads(threads, [&seen](int t) {
        for (int i = 0; i < per_thread; ++i) seen[t].push_back(worker_t("churn").seqid);
    });
    stop = true;
    lister.join();
    std::set<uint32_t> all;
    for (auto& v : seen) all.insert(v.begin(), v.end());
    EXPECT_EQ(static_cast<size_t>(threads * per_thread), all.size());
    EXPECT_TRUE(listed().empty());
}

TEST(RunnableShowThreads, CountAgreesInNumberAndLinesBreakPast64Characters) {
    ASSERT_TRUE(listed().empty());
    oslayer_test::captured_root_t log(LOG_LEVEL_NOTICE);
    runnable_t::show_threads();
    {
        worker_t w("thr:0", 4711);
        runnable_t::show_threads();
    }
    // Entries of 30 characters: two with separators make exactly 64 (kept
    // together), the third passes the limit and closes the line. An entry of
    // 63 characters fills a line alone; one of 62 still takes a neighbour.
    std::string x63(43, 'x'), y62(42, 'y');
    std::vector<std::unique_ptr<worker_t>> workers;
    for (const std::string& n : {std::string("name-00001"), std::string("name-00002"), std::string("name-00003"), x63,
                                 y62, std::string("name-00004")})
        workers.push_back(std::make_unique<worker_t>(n));
    runnable_t::show_threads();
    std::string e = "thr#000000/ffffffff ";
    EXPECT_EQ((strings{"[Stat] There are 0 running threads ", "[Stat] There is 1 running thread ",
                       "[Stat] Threads: thr#004711/ffffffff thr:0", "[Stat] There are 6 running threads ",
                       "[Stat] Threads: " + e + "name-00001, " + e + "name-00002, " + e + "name-00003",
                       "[Stat] Threads: " + e + x63, "[Stat] Threads: " + e + y62 + ", " + e + "name-00004"}),
              messages(log, "[Stat]"));
}

TEST(RunnableTls, KeysCompareByTextMapsArePerThreadReplacingDeletesOnlyAnotherObject) {
    strings journal;
    on_fresh_thread([&] {
        runnable_t::cleanup_tls();  // no map yet: nothing to do
        EXPECT_EQ(nullptr, runnable_t::get_tls_value("ICONV-Utf8-2-Local"));
        auto* obj = new journalled_t(journal, "first");
        runnable_t::set_tls_value("ICONV-Utf8-2-Local", obj);
        char same_text[] = "ICONV-Utf8-2-Local";
        EXPECT_EQ(obj, runnable_t::get_tls_value(same_text));
        EXPECT_EQ(nullptr, runnable_t::get_tls_value("ICONV-Utf8-2-Loca"));
        on_fresh_thread([] { EXPECT_EQ(nullptr, runnable_t::get_tls_value("ICONV-Utf8-2-Local")); });
        auto* second = new journalled_t(journal, "second");
        runnable_t::set_tls_value(same_text, second);
        runnable_t::set_tls_value(same_text, second);  // the same object stays alive
        EXPECT_EQ(strings{"first"}, journal);
        EXPECT_EQ(second, runnable_t::get_tls_value("ICONV-Utf8-2-Local"));
        for (const char* k : {"c", "a", "b"}) runnable_t::set_tls_value(k, new journalled_t(journal, k));
        runnable_t::set_tls_value("null", nullptr);
        runnable_t::cleanup_tls();
        EXPECT_EQ((strings{"first", "second", "a", "b", "c"}), journal);  // in key order
        EXPECT_EQ(nullptr, runnable_t::get_tls_value("a"));
        runnable_t::cleanup_tls();  // nothing left: no second deletion
    });
    EXPECT_EQ(5u, journal.size());
}

TEST(RunnableTls, DestroyingARunnableCleansTheCallingThread) {
    strings journal;
    on_fresh_thread([&] {
        auto w = std::make_unique<worker_t>("w");
        runnable_t::set_tls_value("x", new journalled_t(journal, "x"));
        w.reset();
        EXPECT_EQ(strings{"x"}, journal);
        EXPECT_EQ(nullptr, runnable_t::get_tls_value("x"));
    });
}

TEST(RunnableTls, FailedStoreNamesThreadKeyAndReason) {
    std::string message;
    on_fresh_thread([&] {
        worker_t me("pool:5");
        pthread_setspecific(runnable_t::self_key, &me);
        // A key number past the system's limit makes pthread_setspecific
        // fail the way it would for a key that was never created.
        pthread_key_t saved = runnable_t::tls_key;
        runnable_t::tls_key = PTHREAD_KEYS_MAX;
        strings journal;
        journalled_t* value = new journalled_t(journal, "v");
        message = oslayer_test::error_of<thread_exception_shell_t>(
            [&] { runnable_t::set_tls_value("ICONV-Local-2-Utf8", value); });
        runnable_t::tls_key = saved;
        pthread_setspecific(runnable_t::self_key, nullptr);
        EXPECT_EQ(nullptr, runnable_t::get_tls_value("ICONV-Local-2-Utf8"));
        EXPECT_TRUE(journal.empty());  // the caller still owns the object
        delete value;
    });
    errno = EINVAL;
    EXPECT_EQ("[pool:5] cannot set TLS value for key \"ICONV-Local-2-Utf8\" because of " + get_last_error(), message);
}

namespace {

/// Burns `seconds` of this thread's CPU time.
void burn_cpu(double seconds) {
    timespec ts;
    volatile unsigned long sink = 0;
    do {
        for (int i = 0; i < 100000; ++i) sink = sink + i;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    } while (ts.tv_sec + ts.tv_nsec / 1e9 < seconds);
}

/// Threads that burn CPU, then stay alive until released, so that their
/// /proc task entries exist while the statistics are read.
class parked_threads_t {
public:
    parked_threads_t(int n, double cpu_seconds) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this, cpu_seconds] {
                burn_cpu(cpu_seconds);
                ++ready;
                while (!released) usleep(1000);
            });
        while (ready < n) usleep(1000);
    }
    ~parked_threads_t() {
        released = true;
        for (auto& t : threads) t.join();
    }

private:
    std::atomic<int> ready{0};
    std::atomic<bool> released{false};
    std::vector<std::thread> threads;
};

}  // namespace

TEST(RunnableStats, CpuAndPagingGrowWithWorkIoIsZeroStatusCountsLiveThreads) {
    d_uint64_t user0 = 0, system0 = 0, user1 = 0, system1 = 0, minor0 = 0, major0 = 0, minor1 = 0, other = 77;
    runnable_t::cpu_usage(&user0, &system0);
    runnable_t::paging_usage(&minor0, &major0, &other);
    EXPECT_TRUE(minor0 > 0u && other == 0u);
    parked_threads_t busy(4, 0.25);
    runnable_t::cpu_usage(&user1, &system1);
    // Four threads burnt a quarter second each: at least half a second in
    // 10 ns units, whatever the tick granularity.
    EXPECT_GE((user1 + system1) - (user0 + system0), 50000000u);
    d_uint64_t only_system = 12345;
    runnable_t::cpu_usage(nullptr, &only_system);
    EXPECT_NE(12345u, only_system);
    runnable_t::cpu_usage(nullptr, nullptr);
    EXPECT_EQ(250000000u, runnable_t::jiffies_to_ticks(250, 100));
    std::vector<char> fresh(32 << 20);
    for (size_t i = 0; i < fresh.size(); i += 4096) fresh[i] = 1;
    runnable_t::paging_usage(&minor1, nullptr, nullptr);
    EXPECT_GT(minor1, minor0);
    d_uint64_t r = 5, w = 6;
    runnable_t::io_usage(&r, &w);
    EXPECT_EQ(0u, r + w);
    runnable_t::status_t st;
    memset(&st, 0xAB, sizeof st);
    runnable_t::status_usage(&st);
    EXPECT_GE(st.threads, 5u);
    EXPECT_GT(st.vm_rss, 0u);
    EXPECT_EQ(0u, st.vm_rss % 1024);  // reported in kB
    EXPECT_GE(st.vm_size, st.vm_rss);
    EXPECT_TRUE(st.context_switches > 0u && st.page_faults > 0u);
}

TEST(RunnableStats, WithoutNptlReadsRegisteredPidsAndSkipsMissing) {
    ASSERT_TRUE(listed().empty());
    burn_cpu(0.15);
    worker_t process("main", getpid());
    worker_t gone("gone", 0);
    oslayer_test::captured_root_t log(LOG_LEVEL_DEBUG);
    runnable_t::NPTL = false;
    d_uint64_t user = 0, system = 0, minor = 0;
    runnable_t::cpu_usage(&user, &system);
    runnable_t::paging_usage(&minor, nullptr, nullptr);
    runnable_t::NPTL = true;
    EXPECT_GE(user + system, 10000000u);
    EXPECT_GT(minor, 0u);
    strings failed = messages(log, "Unable to get");
    ASSERT_EQ(2u, failed.size()) << log.text();
    EXPECT_NE(std::string::npos, failed[0].find("\"/proc/0/stat\"")) << failed[0];
}

TEST(RunnableParsers, TimesAndPagingFromLastParenthesis) {
    // A stat line: pid, name, state, then fields 4..; utime and stime are
    // fields 14 and 15, minflt and majflt fields 10 and 12. Values are added.
    const char* real_stat = "4711 (we(ird) na)me) S 1 4711 4711 0 -1 4194560 100 7 200 9 250 30 0 0 20 0 1 0 5 0 0\n";
    d_uint64_t u = 5, s = 7, mi = 1, ma = 2;
    runnable_t::parse_times(real_stat, "/p", u, s);
    runnable_t::parse_paging(real_stat, "/p", mi, ma);
    EXPECT_EQ((std::vector<d_uint64_t>{255, 37, 101, 202}), (std::vector<d_uint64_t>{u, s, mi, ma}));
    // Runs of blanks separate like one blank; without ')' the text is whole.
    u = s = 0;
    runnable_t::parse_times("S  1 2 3 4 5   6 7 8 9 10 11 12 13", "/p", u, s);
    EXPECT_EQ(11u, u);
    EXPECT_EQ(12u, s);
}

TEST(RunnableParsers, FailuresNameTheFileAndChangeNothing) {
    d_uint64_t u = 3, s = 4;
    EXPECT_EQ("cannot find utime in \"/proc/9/stat\"", oslayer_test::error_of<getrusage_exception_shell_t>([&] {
                  runnable_t::parse_times("9 (n) S 1 2 3 4 5 6 7 8 9 10  ", "/proc/9/stat", u, s);
              }));
    for (const char* bad : {"9 (name) S 1 2)", "9 (n) S 1 2 3 4 5 6 7 8 9 10", "9 (n) S 1 2 3 4 5 6 7 8 9 10 250",
                            "9 (n) S 1 2 3 4 5 6 7 8 9 10 250  "})
        EXPECT_THROW(runnable_t::parse_times(bad, "/p", u, s), getrusage_exception_shell_t) << bad;
    // A bad number adds nothing, not even the good one before it; the
    // counters keep their 32-bit range.
    EXPECT_THROW(runnable_t::parse_times("(n) S 1 2 3 4 5 6 7 8 9 10 25 3x", "/p", u, s),
                 number_format_exception_shell_t);
    EXPECT_THROW(runnable_t::parse_times("(n) S 1 2 3 4 5 6 7 8 9 10 4294967296 3", "/p", u, s),
                 number_format_exception_shell_t);
    EXPECT_EQ(3u, u);
    EXPECT_EQ(4u, s);
    for (const char* bad : {"1 (a) b)", "1 (a) S 1 2 3 4 5 6", "1 (a) S 1 2 3 4 5 6  ", "1 (a) S 1 2 3 4 5 6 100 7",
                            "1 (a) S 1 2 3 4 5 6 100 7  "})
        EXPECT_THROW(runnable_t::parse_paging(bad, "/x/stat", u, s), getrusage_exception_shell_t) << bad;
    EXPECT_EQ(3u, u);
    EXPECT_EQ(4u, s);
}

TEST(RunnableParsers, StatusSizesAndUnits) {
    const struct { const char* text; uint64_t threads, vm_size, vm_rss; } cases[] = {
        {"Name:\tcat\nThreads:\t7\nVmSize:\t  2 mB\nVmRSS:\t    1234 kB\n", 7, 2u << 20, 1263616},
        {"VmSize: 3 gB\r\nVmRSS: 55", 0, 3ull << 30, 55},
        // Unknown unit: the bare number; labels match exactly, case included;
        // a count that is no number is 0.
        {"VmRSS: 5 pages\nvmsize: 8 kB\nVmSize 8 kB\nThreads: x1\n", 0, 9, 5},
        // The walk stops after three known lines.
        {"Threads: 1\nThreads: 2\nThreads: 3\nVmRSS: 9 kB\n", 3, 9, 0}};
    for (const auto& c : cases) {
        runnable_t::status_t st{};
        st.vm_size = 9;
        runnable_t::parse_status(c.text, st);
        EXPECT_EQ((std::vector<uint64_t>{st.threads, st.vm_size, st.vm_rss}),
                  (std::vector<uint64_t>{c.threads, c.vm_size, c.vm_rss}))
            << c.text;
    }
}
