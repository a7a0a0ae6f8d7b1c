// Locks, the scoped guard and the waits, with real threads. Steps are ordered
// by the waits themselves or by the lock's own counters; a short pause is
// only used to check that something has NOT happened yet.

#include <chrono>
#include <stdexcept>

#include "oslayer/syncers.h"
#include "tests/oslayer/test_support.h"

namespace {

const timegap_t ten_seconds(10 * ticks_per_second);

/// Spins until pred holds; fails (instead of hanging) after ten seconds.
template <class P>
bool eventually(P pred) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

void short_pause() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

/// True when another thread cannot take the mutex right now.
bool busy_elsewhere(mutex_t& m) {
    bool taken = false;
    std::thread([&] {
        taken = m.trylock();
        if (taken) m.unlock();
    }).join();
    return !taken;
}

/// Sets the process-wide preference for one test and restores it.
struct preference_t {
    bool saved;
    explicit preference_t(bool writers) : saved(rwlock_t::write_prefered) { rwlock_t::write_prefered = writers; }
    ~preference_t() { rwlock_t::write_prefered = saved; }
};

}  // namespace

TEST(SyncMutex, TrylockSlockScopedGuardAndTheLogMutex) {
    mutex_t m;
    ASSERT_TRUE(m.trylock());
    EXPECT_TRUE(busy_elsewhere(m));
    m.unlock();
    EXPECT_FALSE(busy_elsewhere(m));
    // A shared request on a plain mutex is exclusive.
    if_lock_t& as_lock = m;
    as_lock.slock();
    EXPECT_TRUE(busy_elsewhere(m));
    as_lock.unlock();
    try {
        xlocker_t g(m);
        EXPECT_TRUE(busy_elsewhere(m));
        throw std::runtime_error("the guard releases when an exception passes");
    } catch (std::runtime_error&) {
    }
    EXPECT_FALSE(busy_elsewhere(m));
    log_mutex_t lm;  // excludes nobody
    xlocker_t mine(lm);
    bool passed = false;
    std::thread([&] {
        xlocker_t theirs(lm);
        lm.slock();
        lm.unlock();
        passed = true;
    }).join();
    EXPECT_TRUE(passed);
}

TEST(SyncRwlock, SharedAndExclusiveHoldsAndAGuardHeldUntilItsLastOwnerLetsGo) {
    rwlock_t rw;
    rw.slock();
    EXPECT_TRUE(rw.try_slock());
    EXPECT_FALSE(rw.try_xlock());
    EXPECT_EQ(rw.state().holds, 2);
    rw.unlock();
    rw.unlock();
    rw.unlock();  // unlock on a free lock keeps it free
    EXPECT_EQ(rw.state().holds, 0);
    ASSERT_TRUE(rw.try_xlock());
    EXPECT_EQ(rw.state().holds, -1);
    EXPECT_FALSE(rw.try_slock() || rw.try_xlock());
    rw.unlock();
    EXPECT_TRUE(rw.try_slock());
    rw.unlock();
    // A guard on the heap is held until its last owner lets go, which may be
    // another thread, as when the rotation lock is handed to the packing
    // thread: the holds of this lock are counters any thread may release.
    auto first = std::make_shared<xlocker_t>(rw);
    std::shared_ptr<xlocker_t> second = first;
    first.reset();
    EXPECT_EQ(rw.state().holds, -1);
    std::thread([owner = std::move(second)]() mutable { owner.reset(); }).join();
    EXPECT_EQ(rw.state().holds, 0);
}

/// One reader holds, one writer waits; then a second reader arrives.
class SyncRwlockPreference : public ::testing::TestWithParam<bool> {
protected:
    rwlock_t rw;
    std::atomic<int> order{0};
    std::atomic<int> writer_at{0}, reader_at{0};
    std::thread start_writer() {
        std::thread w([this] {
            rw.xlock();
            writer_at = ++order;
            rw.unlock();
        });
        EXPECT_TRUE(eventually([this] { return rw.state().writers_waiting == 1; }));
        return w;
    }
};

INSTANTIATE_TEST_SUITE_P(SyncPrefer, SyncRwlockPreference, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "writers" : "readers"; });

TEST_P(SyncRwlockPreference, LateOrTryingReaderPassesWaitingWriterOnlyWithoutWriterPreference) {
    preference_t pref(GetParam());
    rw.slock();
    std::thread w = start_writer();
    EXPECT_EQ(rw.try_slock(), !GetParam());
    if (!GetParam()) rw.unlock();
    std::thread r([this] {
        rw.slock();
        reader_at = ++order;
        rw.unlock();
    });
    if (GetParam()) {
        ASSERT_TRUE(eventually([this] { return rw.state().readers_waiting == 1; }));
        EXPECT_EQ(reader_at.load(), 0);
    } else {
        // The reader passes the waiting writer while we still hold shared.
        ASSERT_TRUE(eventually([this] { return reader_at.load() != 0; }));
        EXPECT_EQ(writer_at.load(), 0);
    }
    rw.unlock();
    w.join();
    r.join();
    if (GetParam())
        EXPECT_LT(writer_at.load(), reader_at.load());
    else
        EXPECT_LT(reader_at.load(), writer_at.load());
    EXPECT_EQ(rw.state().holds, 0);
}

TEST_P(SyncRwlockPreference, WriterUnlockWakesReadersOrOneWriter) {
    preference_t pref(GetParam());
    rw.xlock();
    semaphore_t readers_in(0), readers_go(0);
    std::atomic<int> readers_after_writer{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i)
        readers.emplace_back([&] {
            rw.slock();
            if (writer_at.load() != 0) ++readers_after_writer;
            readers_in.post();
            EXPECT_TRUE(readers_go.wait(timegap_t::infinite()));
            rw.unlock();
        });
    std::thread w = start_writer();
    ASSERT_TRUE(eventually([this] { return rw.state().readers_waiting == 2; }));
    rw.unlock();
    if (!GetParam()) {
        // Both readers get in; the writer waits for the last of them.
        EXPECT_TRUE(readers_in.wait(ten_seconds));
        EXPECT_TRUE(readers_in.wait(ten_seconds));
        EXPECT_EQ(rw.state().holds, 2);
        short_pause();
        EXPECT_EQ(writer_at.load(), 0);
        // A spurious wake-up may take the writer out of its wait for a moment.
        EXPECT_TRUE(eventually([this] { return rw.state().writers_waiting == 1; }));
        readers_go.post();
        readers_go.post();
        w.join();
        EXPECT_NE(writer_at.load(), 0);
    } else {
        // Only the writer gets in; its own unlock then lets both readers in.
        w.join();
        EXPECT_NE(writer_at.load(), 0);
        EXPECT_TRUE(readers_in.wait(ten_seconds));
        EXPECT_TRUE(readers_in.wait(ten_seconds));
        EXPECT_EQ(readers_after_writer.load(), 2);
        readers_go.post();
        readers_go.post();
    }
    for (auto& r : readers) r.join();
    EXPECT_EQ(rw.state().holds, 0);
}

TEST(SyncCondvar, PastDeadlinesTimeOutAtOnceFutureOnesPassOrASignalWakes) {
    condlock_t m;
    xlocker_t g(m);
    EXPECT_FALSE(m.cond.wait(m, timestamp_t(1)));  // before 1970: clamped to second 0
    EXPECT_FALSE(m.cond.wait(m, timestamp_t(-5)));  // negative: long past, not an error
    EXPECT_FALSE(m.cond.wait(m, timestamp_t::now() - timegap_t(ticks_per_second)));
    EXPECT_TRUE(busy_elsewhere(m));  // held again after each time-out
    timestamp_t deadline = timestamp_t::now() + timegap_t(ticks_per_second / 20);
    EXPECT_FALSE(m.cond.wait(m, deadline));
    EXPECT_GE(timestamp_t::now(), deadline);
    bool ready = false;
    std::thread t([&] {
        xlocker_t in(m);  // gets in only while we wait
        ready = true;
        m.cond.signal();
    });
    bool woken = true;
    while (!ready && woken) woken = m.cond.wait(m, timestamp_t::now() + ten_seconds);
    EXPECT_TRUE(woken && ready);
    t.join();
}

TEST(SyncSemaphore, CountsNegativeStartsAndPastDeadlinesThatStillTakeAPendingPost) {
    semaphore_t two(2);
    EXPECT_TRUE(two.try_wait() && two.try_wait());
    EXPECT_FALSE(two.try_wait());
    two.post();
    EXPECT_TRUE(two.try_wait());
    EXPECT_FALSE(two.try_wait());
    semaphore_t owed(-1);
    EXPECT_FALSE(owed.try_wait() || owed.wait(timestamp_t(1)));
    owed.post();
    EXPECT_FALSE(owed.try_wait());
    owed.post();
    EXPECT_TRUE(owed.try_wait());
    semaphore_t s(0);
    EXPECT_FALSE(s.wait(timestamp_t(1)) || s.wait(timegap_t(0)) || s.wait(timegap_t(-ticks_per_second)));
    s.post();
    EXPECT_TRUE(s.wait(timestamp_t(1)));
    s.post();
    EXPECT_TRUE(s.wait(timegap_t(-ticks_per_second)));
    EXPECT_FALSE(s.try_wait());
}

TEST(SyncSemaphore, NoDeadlineOrAHugeGapWaitsUntilPosted) {
    semaphore_t s(0);
    std::atomic<int> done{0};
    // now + the huge gap does not fit in 64 bits; it must not wrap into the past.
    oslayer_test::run_threads(4, [&](int t) {
        if (t == 3) {
            short_pause();
            EXPECT_EQ(done.load(), 0);
            for (int i = 0; i < 3; ++i) s.post();
            return;
        }
        EXPECT_TRUE(t == 0   ? s.wait(timestamp_t::infinite())
                    : t == 1 ? s.wait(timegap_t::infinite())
                             : s.wait(timegap_t(no_deadline - 1)));
        ++done;
    });
    EXPECT_EQ(done.load(), 3);
}

TEST(SyncSemaphore, ContendedPostsAreEachConsumedOnce) {
    semaphore_t s(0);
    const int per = 500;
    std::atomic<int> taken{0};
    oslayer_test::run_threads(8, [&](int t) {
        for (int k = 0; k < per; ++k) {
            if (t % 2)
                s.post();
            else if (s.wait(ten_seconds))
                ++taken;
        }
    });
    EXPECT_EQ(taken.load(), 4 * per);
    EXPECT_FALSE(s.try_wait());
}

TEST(SyncEvent, FlagSetResetAutoClearPastDeadlinesWithoutBlockingFutureOnesPass) {
    event_t e(true);
    EXPECT_TRUE(e.try_wait());
    EXPECT_FALSE(e.try_wait());
    e.signal();
    e.signal();  // two signals leave one signalled state
    EXPECT_TRUE(e.try_wait());
    EXPECT_FALSE(e.try_wait());
    e.signal();
    e.reset();
    EXPECT_FALSE(e.try_wait());
    EXPECT_FALSE(e.wait(timestamp_t(1)) || e.wait(timestamp_t::now() - timegap_t(ticks_per_second)) ||
                 e.wait(timegap_t(0)));
    timestamp_t deadline = timestamp_t::now() + timegap_t(ticks_per_second / 20);
    EXPECT_FALSE(e.wait(deadline));  // a future deadline passes without a signal
    EXPECT_GE(timestamp_t::now(), deadline);
    e.signal();
    EXPECT_TRUE(e.wait(timestamp_t(1)));
    EXPECT_FALSE(e.try_wait());
    e.signal();
    EXPECT_TRUE(e.wait(timegap_t(0)));
}

TEST(SyncEvent, OneSignalReleasesExactlyOneOfTwoWaiters) {
    event_t e(false);
    semaphore_t released(0);
    std::atomic<int> done{0};
    auto waiter = [&](bool untimed) {
        EXPECT_TRUE(untimed ? e.wait(timegap_t::infinite()) : e.wait(timestamp_t::now() + ten_seconds));
        ++done;
        released.post();
    };
    std::thread a(waiter, true), b(waiter, false);
    e.signal();
    ASSERT_TRUE(released.wait(ten_seconds));
    short_pause();
    EXPECT_EQ(done.load(), 1);
    EXPECT_FALSE(released.try_wait());
    e.signal();
    ASSERT_TRUE(released.wait(ten_seconds));
    a.join();
    b.join();
    EXPECT_EQ(done.load(), 2);
    EXPECT_FALSE(e.try_wait());
}

TEST(SyncBarrier, EveryThirdSignalPostsOnceAlsoUnderContentionZeroIsRefused) {
    EXPECT_THROW(barrier_t zero(0), BUG_exception_shell_t);
    barrier_t b(3);
    for (bool post : {false, false, true, false, false, true, false}) {
        b.signal();
        EXPECT_EQ(b.semaphore().try_wait(), post);
        EXPECT_FALSE(b.semaphore().try_wait());
    }
    barrier_t contended(3);
    oslayer_test::run_threads(4, [&](int) {
        for (int k = 0; k < 600; ++k) contended.signal();
    });
    int posts = 0;
    while (contended.semaphore().try_wait()) ++posts;
    EXPECT_EQ(posts, 800);
}
