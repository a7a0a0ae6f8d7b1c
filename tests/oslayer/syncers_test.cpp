// Locks, the scoped guard and the waits, with real threads. Steps are ordered
// by the waits themselves or by the lock's own counters; a short pause is
// only used to check that something has NOT happened yet.
#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "oslayer/syncers.h"

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

// ------------------------------------------------------------- plain locks

TEST(SyncMutex, TrylockSlockAndScopedGuard) {
    mutex_t m;
    ASSERT_TRUE(m.trylock());
    EXPECT_TRUE(busy_elsewhere(m));
    m.unlock();
    EXPECT_FALSE(busy_elsewhere(m));
    {
        xlocker_t g(m);
        EXPECT_TRUE(busy_elsewhere(m));
    }
    EXPECT_FALSE(busy_elsewhere(m));
    // A shared request on a plain mutex is exclusive.
    if_lock_t& as_lock = m;
    as_lock.slock();
    EXPECT_TRUE(busy_elsewhere(m));
    as_lock.unlock();
    EXPECT_FALSE(busy_elsewhere(m));
}

TEST(SyncMutex, GuardReleasesWhenAnExceptionPasses) {
    condlock_t m;
    try {
        xlocker_t g(m);
        throw std::runtime_error("x");
    } catch (std::runtime_error&) {
    }
    EXPECT_FALSE(busy_elsewhere(m));
}

TEST(SyncMutex, LogMutexExcludesNobody) {
    log_mutex_t lm;
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

TEST(SyncMutex, HeapGuardHeldUntilLastOwnerLetsGo) {
    // The last owner may be another thread, as when the rotation lock is
    // handed to the packing thread. That lock is a readers-writer lock, whose
    // holds are counters any thread may release; a plain mutex must be
    // released by the thread that locked it, so it is not handed over here.
    rwlock_t rw;
    auto first = std::make_shared<xlocker_t>(rw);
    std::shared_ptr<xlocker_t> second = first;
    EXPECT_EQ(rw.state().holds, -1);
    first.reset();
    EXPECT_EQ(rw.state().holds, -1);
    std::thread([owner = std::move(second)]() mutable { owner.reset(); }).join();
    EXPECT_EQ(rw.state().holds, 0);
    EXPECT_TRUE(rw.try_xlock());
    rw.unlock();
}

// ---------------------------------------------------- readers-writer lock

TEST(SyncRwlock, SharedAndExclusiveHolds) {
    rwlock_t rw;
    rw.slock();
    EXPECT_TRUE(rw.try_slock());
    EXPECT_FALSE(rw.try_xlock());
    EXPECT_EQ(rw.state().holds, 2);
    rw.unlock();
    rw.unlock();
    EXPECT_EQ(rw.state().holds, 0);
    // unlock on a free lock keeps it free.
    rw.unlock();
    EXPECT_EQ(rw.state().holds, 0);
    ASSERT_TRUE(rw.try_xlock());
    EXPECT_EQ(rw.state().holds, -1);
    EXPECT_FALSE(rw.try_slock());
    EXPECT_FALSE(rw.try_xlock());
    rw.unlock();
    EXPECT_TRUE(rw.try_slock());
    rw.unlock();
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

TEST_P(SyncRwlockPreference, TrySlockWithWriterWaiting) {
    preference_t pref(GetParam());
    rw.slock();
    std::thread w = start_writer();
    EXPECT_EQ(rw.try_slock(), !GetParam());
    if (!GetParam()) rw.unlock();
    rw.unlock();
    w.join();
    EXPECT_EQ(rw.state().holds, 0);
}

TEST_P(SyncRwlockPreference, LateReaderPassesWaitingWriterOnlyWithoutWriterPreference) {
    preference_t pref(GetParam());
    rw.slock();
    std::thread w = start_writer();
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

// ---------------------------------------------------------------- condvar

TEST(SyncCondvar, DeadlinesInThePastTimeOutAtOnce) {
    condlock_t m;
    xlocker_t g(m);
    EXPECT_FALSE(m.cond.wait(m, timestamp_t(1)));  // before 1970: clamped to second 0
    EXPECT_FALSE(m.cond.wait(m, timestamp_t(-5)));  // negative: long past, not an error
    EXPECT_FALSE(m.cond.wait(m, timestamp_t::now() - timegap_t(ticks_per_second)));
    // The mutex is held again after each time-out.
    EXPECT_TRUE(busy_elsewhere(m));
}

TEST(SyncCondvar, FutureDeadlinePassesOrSignalWakes) {
    condlock_t m;
    xlocker_t g(m);
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
    EXPECT_TRUE(woken);
    EXPECT_TRUE(ready);
    t.join();
}

// -------------------------------------------------------------- semaphore

TEST(SyncSemaphore, CountLimitsTryWait) {
    semaphore_t s(2);
    EXPECT_TRUE(s.try_wait());
    EXPECT_TRUE(s.try_wait());
    EXPECT_FALSE(s.try_wait());
    s.post();
    EXPECT_TRUE(s.try_wait());
    EXPECT_FALSE(s.try_wait());
}

TEST(SyncSemaphore, NegativeStartOwesPosts) {
    semaphore_t s(-1);
    EXPECT_FALSE(s.try_wait());
    EXPECT_FALSE(s.wait(timestamp_t(1)));
    s.post();
    EXPECT_FALSE(s.try_wait());
    s.post();
    EXPECT_TRUE(s.try_wait());
}

TEST(SyncSemaphore, PastDeadlineStillTakesAPendingPost) {
    semaphore_t s(0);
    EXPECT_FALSE(s.wait(timestamp_t(1)));
    EXPECT_FALSE(s.wait(timegap_t(0)));
    EXPECT_FALSE(s.wait(timegap_t(-ticks_per_second)));
    s.post();
    EXPECT_TRUE(s.wait(timestamp_t(1)));
    s.post();
    EXPECT_TRUE(s.wait(timegap_t(-ticks_per_second)));
    EXPECT_FALSE(s.try_wait());
}

TEST(SyncSemaphore, NoDeadlineWaitsUntilPosted) {
    semaphore_t s(0);
    std::atomic<int> done{0};
    std::thread by_stamp([&] {
        EXPECT_TRUE(s.wait(timestamp_t::infinite()));
        ++done;
    });
    std::thread by_gap([&] {
        EXPECT_TRUE(s.wait(timegap_t::infinite()));
        ++done;
    });
    short_pause();
    EXPECT_EQ(done.load(), 0);
    s.post();
    s.post();
    by_stamp.join();
    by_gap.join();
    EXPECT_EQ(done.load(), 2);
}

TEST(SyncSemaphore, HugeGapIsALongWaitNotAPastDeadline) {
    semaphore_t s(0);
    std::thread poster([&] {
        short_pause();
        s.post();
    });
    // now + this gap does not fit in 64 bits; it must not wrap into the past.
    EXPECT_TRUE(s.wait(timegap_t(no_deadline - 1)));
    poster.join();
}

TEST(SyncSemaphore, ContendedPostsAreEachConsumedOnce) {
    semaphore_t s(0);
    const int per = 2000;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < per; ++k)
                if (s.wait(ten_seconds)) ++taken;
        });
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < per; ++k) s.post();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(taken.load(), 4 * per);
    EXPECT_FALSE(s.try_wait());
}

// ------------------------------------------------------------------ event

TEST(SyncEvent, FlagSetResetAndAutoClear) {
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
}

TEST(SyncEvent, PastDeadlineReportsFlagWithoutBlocking) {
    event_t e(false);
    EXPECT_FALSE(e.wait(timestamp_t(1)));
    EXPECT_FALSE(e.wait(timestamp_t::now() - timegap_t(ticks_per_second)));
    EXPECT_FALSE(e.wait(timegap_t(0)));
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

TEST(SyncEvent, SecondWaiterTimesOutWithoutASecondSignal) {
    event_t e(false);
    std::atomic<int> woken{0}, timed_out{0};
    auto waiter = [&] {
        if (e.wait(timestamp_t::now() + timegap_t(ticks_per_second / 5)))
            ++woken;
        else
            ++timed_out;
    };
    std::thread a(waiter), b(waiter);
    e.signal();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(timed_out.load(), 1);
}

// ---------------------------------------------------------------- barrier

TEST(SyncBarrier, EveryThirdSignalPostsOnce) {
    barrier_t b(3);
    const bool expected[] = {false, false, true, false, false, true, false};
    for (bool post : expected) {
        b.signal();
        EXPECT_EQ(b.semaphore().try_wait(), post);
        EXPECT_FALSE(b.semaphore().try_wait());
    }
}

TEST(SyncBarrier, ContendedSignalsPostOncePerPeriod) {
    barrier_t b(3);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < 3000; ++k) b.signal();
        });
    for (auto& t : threads) t.join();
    int posts = 0;
    while (b.semaphore().try_wait()) ++posts;
    EXPECT_EQ(posts, 4000);
}

TEST(SyncBarrier, ZeroPeriodIsRefused) {
    EXPECT_THROW(barrier_t b(0), BUG_exception_shell_t);
}
