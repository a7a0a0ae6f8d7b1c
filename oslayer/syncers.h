// Atomic words behind run-time selectable operation tables, and the locks and
// waits built on them: one lock interface with a plain mutex, a readers-writer
// lock and a do-nothing lock, the scoped guard, a condition variable with an
// absolute deadline, and the semaphore, event and barrier built on it.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "oslayer/_kern.h"
#include "oslayer/time-objs.h"

// ------------------------------------------------------------------ atomics

/// A 32-bit word changed only through `atomic32_t::tbl`.
class atomic32_t {
public:
    /// The four primitive operations; every other operation is a cas loop.
    struct table_t {
        /// Returns the value found; stores desired exactly when it equals expected.
        uint32_t (*cas)(uint32_t* word, uint32_t expected, uint32_t desired);
        /// Returns the previous value.
        uint32_t (*swap)(uint32_t* word, uint32_t value);
        /// Returns the previous value; the word becomes previous + delta (wrapping).
        uint32_t (*fetch_add)(uint32_t* word, uint32_t delta);
        /// True when previous + delta is not zero.
        bool (*add_and_test)(uint32_t* word, uint32_t delta);
    };
    /// The process-wide table, chosen once by init_atomics before other threads exist.
    static table_t tbl;

    constexpr atomic32_t() : word(0) {}
    constexpr explicit atomic32_t(uint32_t v) : word(v) {}
    atomic32_t(const atomic32_t&) = delete;
    atomic32_t& operator=(const atomic32_t&) = delete;

    uint32_t cas(uint32_t expected, uint32_t desired) { return tbl.cas(&word, expected, desired); }
    uint32_t swap(uint32_t value) { return tbl.swap(&word, value); }
    uint32_t fetch_add(uint32_t delta) { return tbl.fetch_add(&word, delta); }
    bool add_and_test(uint32_t delta) { return tbl.add_and_test(&word, delta); }
    /// Atomic read: a cas of 0 by 0 changes nothing and returns the value.
    uint32_t read() { return tbl.cas(&word, 0, 0); }

    /// Stores value; returns it.
    uint32_t set(uint32_t value) {
        update([value](uint32_t) { return value; });
        return value;
    }
    /// Sets the lowest byte to 1, keeps the other three; returns true.
    bool set_flag() {
        update([](uint32_t old) { return (old & 0xFFFFFF00u) | 1u; });
        return true;
    }
    /// Sequence increment: returns the new value.
    uint32_t increment() {
        return update([](uint32_t old) { return old + 1; });
    }

    uint32_t word;

private:
    /// Retry loop over cas; the first read may be stale, a failed cas supplies the current value.
    template <class F>
    uint32_t update(F next) {
        uint32_t seen = __atomic_load_n(&word, __ATOMIC_RELAXED);
        for (;;) {
            uint32_t wanted = next(seen);
            uint32_t found = tbl.cas(&word, seen, wanted);
            if (found == seen) return wanted;
            seen = found;
        }
    }
};

/// A 64-bit word (low half first) changed only through `atomic64_t::tbl`.
class atomic64_t {
public:
    struct table_t {
        uint64_t (*cas)(uint64_t* word, uint64_t expected, uint64_t desired);
        uint64_t (*swap)(uint64_t* word, uint64_t value);
        uint64_t (*fetch_add)(uint64_t* word, uint64_t delta);
        /// True when previous + delta is not zero in either half.
        bool (*add_and_test)(uint64_t* word, uint64_t delta);
    };
    static table_t tbl;

    constexpr atomic64_t() : word(0) {}
    constexpr explicit atomic64_t(uint64_t v) : word(v) {}
    atomic64_t(const atomic64_t&) = delete;
    atomic64_t& operator=(const atomic64_t&) = delete;

    uint64_t cas(uint64_t expected, uint64_t desired) { return tbl.cas(&word, expected, desired); }
    uint64_t swap(uint64_t value) { return tbl.swap(&word, value); }
    uint64_t fetch_add(uint64_t delta) { return tbl.fetch_add(&word, delta); }
    bool add_and_test(uint64_t delta) { return tbl.add_and_test(&word, delta); }
    uint64_t read() { return tbl.cas(&word, 0, 0); }

    /// Adds delta (wrapping); returns the new value.
    uint64_t add(uint64_t delta) {
        uint64_t seen = __atomic_load_n(&word, __ATOMIC_RELAXED);
        for (;;) {
            uint64_t wanted = seen + delta;
            uint64_t found = tbl.cas(&word, seen, wanted);
            if (found == seen) return wanted;
            seen = found;
        }
    }

    alignas(8) uint64_t word;
};

/// "undefined" before init_atomics ran, then "giant locked" or "x86 multiprocessor".
extern const char* the_atomic_type;

/// Fills both tables: the giant-locked set when forced or when the processor
/// lacks the 8-byte compare-exchange, else the lock-prefixed set. Must run
/// while no other thread touches an atomic word.
void init_atomics(bool force_giant);

/// 1 when CPUID leaf 1 reports CMPXCHG8B, else 0.
int cpu_has_cmpxchg8b();

// -------------------------------------------------------------------- locks

/// The lock interface: a shared request is exclusive unless the lock says otherwise.
class if_lock_t : public virtual if_root_t {
public:
    ~if_lock_t() override;
    virtual void slock();
    virtual void xlock() = 0;
    virtual void unlock() = 0;
};

/// A lock that excludes nothing (the loggers serialise themselves).
class log_mutex_t : public if_lock_t {
public:
    ~log_mutex_t() override;
    void xlock() override;
    void unlock() override;
};

class condvar_t;

/// A plain, non-recursive POSIX mutex.
class mutex_t : public if_lock_t, public virtual noncopyable_t {
public:
    mutex_t();
    ~mutex_t() override;
    void xlock() override;
    void unlock() override;
    /// True when taken now, false when busy; never blocks.
    bool trylock();

private:
    friend class condvar_t;
    pthread_mutex_t mtx;
};

/// A condition variable whose timed wait takes an absolute deadline.
class condvar_t : public virtual noncopyable_t {
public:
    /// With broadcast on, signal wakes every waiter; else one.
    explicit condvar_t(bool broadcast);
    virtual ~condvar_t();

    void signal();
    /// Caller holds m. True when woken (re-check the condition), false when
    /// the deadline passed; m is held again on return.
    bool wait(mutex_t& m, timestamp_t deadline);
    /// Waits without limit; the result is not checked.
    void wait(mutex_t& m);

private:
    pthread_cond_t cond;
    bool broadcast;
};

/// Snapshot of a readers-writer lock's counters, for diagnostics.
struct rwlock_state_t {
    int32_t readers_waiting;
    int32_t writers_waiting;
    /// Shared holders when positive, -1 while held exclusively, 0 when free.
    int32_t holds;
};

/// A readers-writer lock; the preference is process-wide.
class rwlock_t : public if_lock_t, public virtual noncopyable_t {
public:
    rwlock_t();
    ~rwlock_t() override;
    void slock() override;
    void xlock() override;
    /// Releases one shared hold or the exclusive hold, then wakes waiters.
    void unlock() override;
    bool try_slock();
    bool try_xlock();
    rwlock_state_t state();

    /// True: waiting writers keep new readers out. Set at start-up from the
    /// environment, before other threads exist; read without locking.
    static bool write_prefered;

private:
    bool reader_must_wait() const;

    mutex_t guard;
    condvar_t readers_cv;
    condvar_t writers_cv;
    int32_t readers_waiting;
    int32_t writers_waiting;
    int32_t holds;
};

/// A mutex with a condition variable (single wake) to wait on under it.
class condlock_t : public mutex_t {
public:
    condlock_t();
    ~condlock_t() override;
    condvar_t cond;
};

/// Counting semaphore.
class semaphore_t : public virtual noncopyable_t {
public:
    explicit semaphore_t(int count);
    void post();
    bool try_wait();
    /// True when a post was consumed, false when the deadline passed first.
    bool wait(timestamp_t deadline);
    /// The same with deadline now + gap; the no-deadline gap waits without limit.
    bool wait(timegap_t gap);

private:
    condlock_t lock;
    int32_t count;
};

/// Auto-reset event: a successful wait clears the flag.
class event_t : public virtual noncopyable_t {
public:
    explicit event_t(bool signalled);
    /// Sets the flag and wakes one waiter.
    void signal();
    void reset();
    /// The flag before the call; the flag is cleared.
    bool try_wait();
    bool wait(timestamp_t deadline);
    bool wait(timegap_t gap);

private:
    condlock_t lock;
    bool signalled;
};

/// Cyclic counter: every period-th signal posts the semaphore once.
class barrier_t : public virtual noncopyable_t {
public:
    /// period must not be 0.
    explicit barrier_t(uint64_t period);
    void signal();
    /// Posted once per completed period; wait on it to pass the barrier.
    semaphore_t& semaphore() { return passed; }

private:
    uint64_t period;
    atomic64_t counter;
    semaphore_t passed;
};

/// Scoped guard: xlock() on construction, unlock() on destruction.
class xlocker_t : public virtual noncopyable_t {
public:
    explicit xlocker_t(if_lock_t& lock);
    ~xlocker_t();

private:
    if_lock_t* held;
};
