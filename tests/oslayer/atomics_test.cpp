// Atomic words: the table selection, the edge values of every operation, and
// both implementations under real contention; and the readers-writer
// preference that the same start-up code reads from the environment.

#include <fstream>

#include "oslayer/syncers.h"
#include "tests/oslayer/test_support.h"

namespace {

bool cpuinfo_has_cx8() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("flags", 0) == 0) return (line + " ").find(" cx8 ") != std::string::npos;
    return false;
}

const int threads_n = 8;
const int per_thread = 20000;

}  // namespace

TEST(AtomicSelection, StartupPickedLockPrefixedTablesForceGiantSwapsBoth) {
    ASSERT_EQ(cpu_has_cmpxchg8b(), cpuinfo_has_cx8() ? 1 : 0);
    ASSERT_EQ(cpu_has_cmpxchg8b(), 1) << "x86-64 always has CMPXCHG8B";
    EXPECT_STREQ(the_atomic_type, "x86 multiprocessor");
    const atomic32_t::table_t fast32 = atomic32_t::tbl;
    const atomic64_t::table_t fast64 = atomic64_t::tbl;
    init_atomics(true);
    EXPECT_STREQ(the_atomic_type, "giant locked");
    EXPECT_TRUE(atomic32_t::tbl.cas != fast32.cas && atomic32_t::tbl.add_and_test != fast32.add_and_test);
    EXPECT_TRUE(atomic64_t::tbl.swap != fast64.swap && atomic64_t::tbl.fetch_add != fast64.fetch_add);
    init_atomics(false);
    EXPECT_STREQ(the_atomic_type, "x86 multiprocessor");
    EXPECT_TRUE(atomic32_t::tbl.cas == fast32.cas && atomic32_t::tbl.add_and_test == fast32.add_and_test);
    EXPECT_TRUE(atomic64_t::tbl.swap == fast64.swap && atomic64_t::tbl.fetch_add == fast64.fetch_add);
}

/// Runs each case once with the giant-locked tables and once with the
/// lock-prefixed ones, never both at once.
class AtomicOps : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { init_atomics(GetParam()); }
    void TearDown() override { init_atomics(false); }
};

INSTANTIATE_TEST_SUITE_P(AtomicImpl, AtomicOps, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "giant" : "x86"; });

TEST_P(AtomicOps, CasReturnsFoundValueAndStoresOnlyOnMatch) {
    atomic32_t w(5);
    EXPECT_EQ(w.cas(4, 9), 5u);
    EXPECT_EQ(w.read(), 5u);
    EXPECT_EQ(w.cas(5, 9), 5u);
    EXPECT_EQ(w.read(), 9u);
    // Both halves must match before either is written.
    atomic64_t d(0x100000005ull);
    EXPECT_EQ(d.cas(0x000000005ull, 7), 0x100000005ull);
    EXPECT_EQ(d.cas(0x200000005ull, 7), 0x100000005ull);
    EXPECT_EQ(d.read(), 0x100000005ull);
    EXPECT_EQ(d.cas(0x100000005ull, 0xFFFFFFFF00000000ull), 0x100000005ull);
    EXPECT_EQ(d.read(), 0xFFFFFFFF00000000ull);
}

TEST_P(AtomicOps, SwapAndFetchAddReturnPreviousAndWrap) {
    atomic32_t w(0xFFFFFFFFu);
    EXPECT_EQ(w.fetch_add(1), 0xFFFFFFFFu);
    EXPECT_EQ(w.read(), 0u);
    EXPECT_EQ(w.swap(42), 0u);
    EXPECT_EQ(w.fetch_add(static_cast<uint32_t>(-2)), 42u);
    EXPECT_EQ(w.read(), 40u);
    atomic64_t d(0xFFFFFFFFull);
    EXPECT_EQ(d.fetch_add(1), 0xFFFFFFFFull);
    EXPECT_EQ(d.read(), 0x100000000ull);
    EXPECT_EQ(d.swap(~0ull), 0x100000000ull);
    EXPECT_EQ(d.fetch_add(1), ~0ull);
    EXPECT_EQ(d.read(), 0u);
}

TEST_P(AtomicOps, AddAndTestLooksAtTheWholeNewValue) {
    atomic32_t one(1), two(2);
    EXPECT_FALSE(one.add_and_test(static_cast<uint32_t>(-1)));
    EXPECT_EQ(one.read(), 0u);
    EXPECT_TRUE(two.add_and_test(static_cast<uint32_t>(-1)));
    EXPECT_EQ(two.read(), 1u);
    atomic64_t high(0x100000000ull);
    EXPECT_FALSE(high.add_and_test(static_cast<uint64_t>(-0x100000000ll)));
    EXPECT_EQ(high.read(), 0u);
    atomic64_t carry(0x1FFFFFFFFull);  // becomes low half 0, high half 2
    EXPECT_TRUE(carry.add_and_test(1));
    EXPECT_EQ(carry.read(), 0x200000000ull);
}

TEST_P(AtomicOps, InlineLoopsComputeTheirNewValues) {
    // set_flag sets the lowest byte to 1 and keeps the others.
    const std::pair<uint32_t, uint32_t> flags[] = {{0x200u, 0x201u}, {0xFFu, 1u}, {0xABCDEF00u, 0xABCDEF01u}};
    for (const auto& c : flags) {
        atomic32_t f(c.first);
        EXPECT_TRUE(f.set_flag());
        EXPECT_EQ(f.read(), c.second);
    }
    atomic32_t s(3);
    EXPECT_EQ(s.set(0xDEADBEEFu), 0xDEADBEEFu);
    EXPECT_EQ(s.read(), 0xDEADBEEFu);
    atomic32_t seq(0xFFFFFFFEu);
    EXPECT_EQ(seq.increment(), 0xFFFFFFFFu);
    EXPECT_EQ(seq.increment(), 0u);
    atomic64_t a(0xFFFFFFFFull);
    EXPECT_EQ(a.add(1), 0x100000000ull);
    EXPECT_EQ(a.add(static_cast<uint64_t>(-1)), 0xFFFFFFFFull);
    EXPECT_EQ(a.read(), 0xFFFFFFFFull);
}

TEST_P(AtomicOps, ContendedIncrementsAllLandCountdownReachesZeroOnce) {
    const uint64_t total = static_cast<uint64_t>(threads_n) * per_thread;
    atomic32_t by_xadd, by_cas, down32(static_cast<uint32_t>(total)), zeros32, zeros64;
    // Starts below the 32-bit boundary so the halves carry under contention.
    const uint64_t start64 = 0xFFFFFFFFull - total / 2;
    atomic64_t by_add(start64), by_fetch(start64), down64(total);
    oslayer_test::run_threads(threads_n, [&](int) {
        for (int i = 0; i < per_thread; ++i) {
            by_xadd.fetch_add(1);
            by_cas.increment();
            by_add.add(1);
            by_fetch.fetch_add(1);
            if (!down32.add_and_test(static_cast<uint32_t>(-1))) zeros32.fetch_add(1);
            if (!down64.add_and_test(~0ull)) zeros64.fetch_add(1);
        }
    });
    EXPECT_EQ((std::vector<uint64_t>{by_xadd.read(), by_cas.read(), by_add.read(), by_fetch.read()}),
              (std::vector<uint64_t>{total, total, start64 + total, start64 + total}));
    EXPECT_EQ((std::vector<uint64_t>{zeros32.read(), zeros64.read(), down32.read(), down64.read()}),
              (std::vector<uint64_t>{1, 1, 0, 0}));
}

// The preference comes from the environment at start-up: run this program
// again with and without the variable and read the flag from the exit status.
TEST(SyncRwlockEnv, ProbeExitsWithStartupPreference) {
    if (!getenv("VELMO_SYNC_TEST_PROBE")) GTEST_SKIP() << "only run as a child of SyncRwlockEnv";
    _exit(rwlock_t::write_prefered ? 40 : 41);
}

namespace {

int probe_with(const char* variable) {
    return oslayer_test::run_self("SyncRwlockEnv.ProbeExitsWithStartupPreference",
                                  {"VELMO_SYNC_TEST_PROBE=1", variable ? variable : "VELMO_RWLOCK_READPREFERED"})
        .status;
}

}  // namespace

TEST(SyncRwlockEnv, VariablePresentEvenEmptySelectsWriters) {
    EXPECT_EQ(probe_with(nullptr), 41);
    EXPECT_EQ(probe_with("VELMO_RWLOCK_READPREFERED="), 40);
    EXPECT_EQ(probe_with("VELMO_RWLOCK_READPREFERED=0"), 40);
}
