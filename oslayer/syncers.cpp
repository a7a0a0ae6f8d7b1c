// Locks, the scoped guard, the condition variable and the waits built on it.
#include "oslayer/syncers.h"

#include <cerrno>

namespace {

/// now + gap without signed overflow: a gap too large to add becomes the
/// no-deadline value (a long wait stays a long wait instead of wrapping into
/// the past), one too negative becomes the earliest time.
timestamp_t deadline_after(timegap_t gap) {
    int64_t now = timestamp_t::now().ticks;
    int64_t sum = 0;
    if (__builtin_add_overflow(now, gap.ticks, &sum)) sum = gap.ticks > 0 ? no_deadline : INT64_MIN;
    return timestamp_t(sum);
}

}  // namespace

// ----------------------------------------------------------------- if_lock_t

if_lock_t::~if_lock_t() = default;

void if_lock_t::slock() { xlock(); }

log_mutex_t::~log_mutex_t() = default;
void log_mutex_t::xlock() {}
void log_mutex_t::unlock() {}

// ------------------------------------------------------------------- mutex_t

mutex_t::mutex_t() { pthread_mutex_init(&mtx, nullptr); }
mutex_t::~mutex_t() { pthread_mutex_destroy(&mtx); }
void mutex_t::xlock() { pthread_mutex_lock(&mtx); }
void mutex_t::unlock() { pthread_mutex_unlock(&mtx); }
bool mutex_t::trylock() { return pthread_mutex_trylock(&mtx) == 0; }

condlock_t::condlock_t() : cond(false) {}
condlock_t::~condlock_t() = default;

// ----------------------------------------------------------------- condvar_t

condvar_t::condvar_t(bool broadcast_all) : broadcast(broadcast_all) { pthread_cond_init(&cond, nullptr); }
condvar_t::~condvar_t() { pthread_cond_destroy(&cond); }

void condvar_t::signal() {
    TRACE_POINT;
    if (broadcast)
        pthread_cond_broadcast(&cond);
    else
        pthread_cond_signal(&cond);
}

bool condvar_t::wait(mutex_t& m, timestamp_t deadline) {
    TRACE_POINT;
    if (deadline.ticks == no_deadline) {
        int rc = pthread_cond_wait(&cond, &m.mtx);
        if (rc != 0) D_THROW(BUG_exception, "pthread_cond_%swait retcode %d", "", rc);
        return true;
    }
    // The clock's wall time; the seconds are clamped to 0..2^31-1, so a
    // deadline past 2038 is still a long wait. A negative deadline is long
    // past: its fraction is dropped rather than made an invalid time.
    timespec abs_time;
    abs_time.tv_sec = to_time_t(deadline);
    abs_time.tv_nsec = deadline.ticks < 0 ? 0 : static_cast<long>(deadline.ticks % ticks_per_second) * 10;
    int rc = pthread_cond_timedwait(&cond, &m.mtx, &abs_time);
    if (rc == ETIMEDOUT) return false;
    if (rc != 0) D_THROW(BUG_exception, "pthread_cond_%swait retcode %d", "timed", rc);
    return true;
}

void condvar_t::wait(mutex_t& m) { pthread_cond_wait(&cond, &m.mtx); }

// ------------------------------------------------------------------ rwlock_t

rwlock_t::rwlock_t() : readers_cv(true), writers_cv(false), readers_waiting(0), writers_waiting(0), holds(0) {}
rwlock_t::~rwlock_t() = default;

bool rwlock_t::reader_must_wait() const { return holds < 0 || (write_prefered && writers_waiting > 0); }

void rwlock_t::slock() {
    TRACE_POINT;
    xlocker_t g(guard);
    while (reader_must_wait()) {
        ++readers_waiting;
        readers_cv.wait(guard);
        --readers_waiting;
    }
    ++holds;
}

void rwlock_t::xlock() {
    TRACE_POINT;
    xlocker_t g(guard);
    while (holds != 0) {
        ++writers_waiting;
        writers_cv.wait(guard);
        --writers_waiting;
    }
    holds = -1;
}

bool rwlock_t::try_slock() {
    TRACE_POINT;
    xlocker_t g(guard);
    if (reader_must_wait()) return false;
    ++holds;
    return true;
}

bool rwlock_t::try_xlock() {
    TRACE_POINT;
    xlocker_t g(guard);
    if (holds != 0) return false;
    holds = -1;
    return true;
}

void rwlock_t::unlock() {
    TRACE_POINT;
    xlocker_t g(guard);
    if (holds > 0)
        --holds;
    else if (holds < 0)
        holds = 0;
    if (write_prefered) {
        if (writers_waiting > 0) {
            if (holds == 0) writers_cv.signal();
        } else if (readers_waiting > 0) {
            readers_cv.signal();
        }
    } else if (readers_waiting > 0) {
        readers_cv.signal();
    } else if (writers_waiting > 0 && holds == 0) {
        writers_cv.signal();
    }
}

rwlock_state_t rwlock_t::state() {
    xlocker_t g(guard);
    return rwlock_state_t{readers_waiting, writers_waiting, holds};
}

// --------------------------------------------------------------- semaphore_t

// A wait needs a positive count: a negative initial count then stands for
// posts owed before the first wait may pass, instead of letting every wait
// through while the count runs further below zero.
semaphore_t::semaphore_t(int initial) : count(initial) { TRACE_POINT; }

void semaphore_t::post() {
    TRACE_POINT;
    xlocker_t g(lock);
    ++count;
    lock.cond.signal();
}

bool semaphore_t::try_wait() {
    TRACE_POINT;
    xlocker_t g(lock);
    if (count <= 0) return false;
    --count;
    return true;
}

bool semaphore_t::wait(timestamp_t deadline) {
    TRACE_POINT;
    xlocker_t g(lock);
    while (count <= 0)
        if (!lock.cond.wait(lock, deadline)) return false;
    --count;
    return true;
}

bool semaphore_t::wait(timegap_t gap) {
    TRACE_POINT;
    if (gap.ticks != no_deadline) return wait(deadline_after(gap));
    xlocker_t g(lock);
    while (count <= 0) lock.cond.wait(lock);
    --count;
    return true;
}

// ------------------------------------------------------------------- event_t

event_t::event_t(bool initial) : signalled(initial) { TRACE_POINT; }

void event_t::signal() {
    TRACE_POINT;
    xlocker_t g(lock);
    signalled = true;
    lock.cond.signal();
}

void event_t::reset() {
    TRACE_POINT;
    xlocker_t g(lock);
    signalled = false;
}

bool event_t::try_wait() {
    TRACE_POINT;
    xlocker_t g(lock);
    bool was = signalled;
    signalled = false;
    return was;
}

bool event_t::wait(timestamp_t deadline) {
    TRACE_POINT;
    xlocker_t g(lock);
    while (!signalled)
        if (!lock.cond.wait(lock, deadline)) return false;
    signalled = false;
    return true;
}

bool event_t::wait(timegap_t gap) {
    TRACE_POINT;
    if (gap.ticks != no_deadline) return wait(deadline_after(gap));
    xlocker_t g(lock);
    while (!signalled) lock.cond.wait(lock);
    signalled = false;
    return true;
}

// ----------------------------------------------------------------- barrier_t

barrier_t::barrier_t(uint64_t length) : period(length), counter(0), passed(0) {
    if (period == 0) D_THROW(BUG_exception, "barrier period must not be 0");
}

void barrier_t::signal() {
    TRACE_POINT;
    uint64_t seen = counter.read();
    uint64_t next = 0;
    for (;;) {
        next = (seen + 1) % period;
        uint64_t found = counter.cas(seen, next);
        if (found == seen) break;
        seen = found;
    }
    if (next == 0) passed.post();
}

// ----------------------------------------------------------------- xlocker_t

xlocker_t::xlocker_t(if_lock_t& lock) : held(&lock) { held->xlock(); }
xlocker_t::~xlocker_t() { held->unlock(); }
