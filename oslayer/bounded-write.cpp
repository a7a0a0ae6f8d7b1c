#include "bounded-write.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

// write(2) may refuse larger counts on some systems; 0x7FFFFF is safe everywhere.
const size_t max_piece = 0x7FFFFF;

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// True once `fd` takes bytes (or has an error a write will tell), false
// when `deadline` passes first; a deadline passed still asks once.
bool wait_writable(int fd, int64_t deadline) {
    for (;;) {
        int64_t left = std::max<int64_t>(deadline - now_ms(), 0);
        struct pollfd p = {fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

// The file of `fd` opened again, non-blocking: -1 when it cannot be (no
// /proc, a FIFO without a reader, a file of another user's), and the
// caller polls instead.
int nonblocking_copy(int fd) {
    char name[40];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    int copy;
    do {
        copy = ::open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (copy < 0 && errno == EINTR);
    // Never a standard number: the root logger is made before the program
    // puts /dev/null on the closed ones, which a daemon replaces later.
    if (copy >= 0 && copy <= 2) {
        int high = ::fcntl(copy, F_DUPFD_CLOEXEC, 3);
        ::close(copy);
        copy = high;
    }
    struct stat a, b;
    if (copy >= 0 && (fstat(fd, &a) != 0 || fstat(copy, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino)) {
        ::close(copy);
        copy = -1;
    }
    return copy;
}

// A blocking write is ended at its deadline by a signal of its own: a
// real-time one, which no thread takes as a request nor waits for.
int deadline_signal() { return SIGRTMIN; }

extern "C" void on_deadline(int) {}

// Without SA_RESTART, so that the write it interrupts returns (a short count
// once some bytes went, EINTR before any); once for the process.
bool deadline_handler_installed() {
    static const bool installed = [] {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_deadline;
        sigemptyset(&action.sa_mask);
        return sigaction(deadline_signal(), &action, nullptr) == 0;
    }();
    return installed;
}

// Raises the deadline signal in the calling thread at `deadline` (or
// `late_ms` from now, whichever comes later), then every `late_ms`: one
// raised just before the write begins is lost, the next one is not.
bool arm_deadline(timer_t& timer, int64_t deadline, uint32_t late_ms) {
    late_ms = std::max<uint32_t>(late_ms, 1);  // 0 would raise it only once
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = deadline_signal();
    event.sigev_notify_thread_id = static_cast<pid_t>(gettid());
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return false;
    int64_t at = std::max(deadline, now_ms() + late_ms);
    struct itimerspec when = {{late_ms / 1000, late_ms % 1000 * 1000000L}, {at / 1000, at % 1000 * 1000000L}};
    if (timer_settime(timer, TIMER_ABSTIME, &when, nullptr) == 0) return true;
    timer_delete(timer);
    return false;
}

// write(2) on a descriptor that blocks, ended near `deadline`; the shared
// file description keeps its flags. -1 with EAGAIN when no timer can be
// had: a write that might wait for ever is not begun.
ssize_t write_until(int fd, const char* text, size_t len, int64_t deadline, uint32_t late_ms) {
    const int signo = deadline_signal();
    sigset_t own, saved;
    sigemptyset(&own);
    sigaddset(&own, signo);
    // Blocked while the timer is made and after the write; taken only in the write.
    pthread_sigmask(SIG_BLOCK, &own, &saved);
    ssize_t n = -1;
    int error = EAGAIN;
    timer_t timer;
    if (deadline_handler_installed() && arm_deadline(timer, deadline, late_ms)) {
        pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
        n = ::write(fd, text, len);
        error = errno;
        pthread_sigmask(SIG_BLOCK, &own, nullptr);
        timer_delete(timer);
    }
    // One raised after the write stays pending here: taken now, it cuts no later call of this thread short.
    struct timespec none = {0, 0};
    while (sigtimedwait(&own, nullptr, &none) == signo) {
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    errno = error;
    return n;
}

// The live writers, for follow_descriptors.
struct writers_t {
    mutex_t lock;
    std::set<bounded_writer_t*> all;
};

writers_t& writers() {
    // Never destroyed: a logger may be deleted at exit after ordinary
    // statics. Held across a fork, every writer's lock with it, so that a
    // detached child that follows its descriptors finds none taken by a
    // thread it no longer has.
    static writers_t* const made = [] {
        writers_t* w = new writers_t();
        pthread_atfork(bounded_writer_t::hold_all, bounded_writer_t::release_all,
                       bounded_writer_t::release_all);
        return w;
    }();
    return *made;
}

}  // namespace

uint32_t bounded_writer_t::late_write_ms = 1;

bounded_writer_t::bounded_writer_t(int fd)
    : fd_(fd), copy_(-1), kind_(direct), settled_open_(false), dev_(0), ino_(0) {
    settle();
    xlocker_t guard(writers().lock);
    writers().all.insert(this);
}

bounded_writer_t::~bounded_writer_t() {
    {
        xlocker_t guard(writers().lock);
        writers().all.erase(this);
    }
    if (copy_ >= 0) ::close(copy_);
}

void bounded_writer_t::settle() {
    if (copy_ >= 0) ::close(copy_);
    copy_ = -1;
    kind_ = direct;
    struct stat st;
    settled_open_ = fstat(fd_, &st) == 0;
    if (!settled_open_) return;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    if (!may_block(fd_))
        kind_ = direct;
    else if (S_ISSOCK(st.st_mode))
        kind_ = socket;
    else if ((copy_ = nonblocking_copy(fd_)) >= 0)
        kind_ = own_copy;
    else
        kind_ = polled;
}

void bounded_writer_t::follow() {
    struct stat st;
    bool open = fstat(fd_, &st) == 0;
    if (open == settled_open_ && (!open || (st.st_dev == dev_ && st.st_ino == ino_))) return;
    settle();
}

void bounded_writer_t::follow_descriptors() {
    xlocker_t guard(writers().lock);
    for (bounded_writer_t* writer : writers().all) {
        xlocker_t own(writer->lock_);
        writer->follow();
    }
}

void bounded_writer_t::hold_all() {
    writers().lock.xlock();
    for (bounded_writer_t* writer : writers().all) writer->lock_.xlock();
}

void bounded_writer_t::release_all() {
    for (bounded_writer_t* writer : writers().all) writer->lock_.unlock();
    writers().lock.unlock();
}

bool bounded_writer_t::may_block(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || (S_ISCHR(st.st_mode) && isatty(fd));
}

size_t bounded_writer_t::write(const char* text, size_t len, uint32_t wait_ms) {
    const int64_t deadline = now_ms() + wait_ms;
    xlocker_t guard(lock_);
    // Also without follow_descriptors: whoever changed the descriptor, a
    // line goes where it points now, never through a copy of what it was.
    follow();
    const int out = kind_ == own_copy ? copy_ : fd_;
    size_t done = 0;
    while (done < len) {
        // A descriptor that blocks is written once a poll says it has room, a
        // pipe's atomic size at a time; a terminal polls writable with any
        // room at all, so the write is also ended at the deadline.
        if (kind_ == polled && !wait_writable(out, deadline)) break;
        size_t piece = std::min(len - done, kind_ == polled ? size_t(PIPE_BUF) : max_piece);
        ssize_t n = kind_ == socket   ? ::send(out, text + done, piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                    : kind_ == polled ? write_until(out, text + done, piece, deadline, late_write_ms)
                                      : ::write(out, text + done, piece);
        if (n > 0) {
            done += static_cast<size_t>(n);
            // Cut short, a polled write was ended by its deadline.
            if (kind_ == polled && static_cast<size_t>(n) < piece && now_ms() >= deadline) break;
        } else if (n < 0 && errno == EINTR) {
            if (kind_ == polled && now_ms() >= deadline) break;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && kind_ != polled && kind_ != direct) {
            if (!wait_writable(out, deadline)) break;
        } else {
            break;  // an error: the rest is lost, there is nowhere to report it
        }
    }
    return done;
}
