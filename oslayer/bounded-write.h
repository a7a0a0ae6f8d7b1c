// Writes to a descriptor that may wait on a reader (a pipe, a FIFO, a socket,
// a terminal) with a bound on how long a write may wait: a console that
// nobody reads must hold a writer, and every thread that waits for it, no
// longer than that bound.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "syncers.h"

class bounded_writer_t {
public:
    /// For `fd`, which stays the caller's: a descriptor that never waits is
    /// written as it is; a pipe, FIFO or terminal is
    /// written through a non-blocking open file description of its own
    /// (the one shared with other processes keeps its flags), a socket with
    /// MSG_DONTWAIT, and where no copy can be had (no /proc, another user's
    /// terminal) only once a poll says it takes bytes, a pipe's atomic size
    /// at a time, each write ended at the deadline by a timer's real-time
    /// signal to the writing thread (a terminal polls writable with any room
    /// at all, and its write waits until every byte is taken). It follows
    /// what `fd` becomes: once another file stands at that number (a
    /// detach's /dev/null), it writes that one, and its copy of the earlier
    /// one is closed.
    explicit bounded_writer_t(int fd);
    ~bounded_writer_t();
    bounded_writer_t(const bounded_writer_t&) = delete;
    bounded_writer_t& operator=(const bounded_writer_t&) = delete;

    /// How long a write that cannot be made non-blocking may still take when
    /// it begins at (or within this of) its deadline, and how often one that
    /// outlives its deadline is interrupted again: 1 ms, at least 1.
    static uint32_t late_write_ms;

    /// True when a write to `fd` may wait on a reader: a pipe, a FIFO, a
    /// socket or a terminal (files and other devices never do).
    static bool may_block(int fd);
    /// Writes until all of `text` is taken, a write fails, or `wait_ms`
    /// pass without the descriptor taking the rest; the count written. With
    /// 0 only what the descriptor takes at once is written.
    size_t write(const char* text, size_t len, uint32_t wait_ms);
    /// Every live writer looks at its descriptor now and closes its copy of
    /// a file that no longer stands there: for whoever has just put another
    /// file on a descriptor (a detach), so that the process keeps nothing of
    /// the earlier one even when no line is written afterwards.
    static void follow_descriptors();

    /// Take and give back every writer's lock around a fork (the list's
    /// lock first, as follow_descriptors does).
    static void hold_all();
    static void release_all();

private:
    enum kind_t { direct, own_copy, socket, polled };
    /// Takes the kind, and the copy, for the file that `fd_` holds now. Under `lock_`.
    void settle();
    /// settle, when another file than the one settled on stands at `fd_`. Under `lock_`.
    void follow();

    int fd_;
    int copy_;
    kind_t kind_;
    /// The file settled on: `fd_` was open, with this device and inode.
    bool settled_open_;
    dev_t dev_;
    ino_t ino_;
    /// Serialises a write with follow_descriptors from another thread.
    mutex_t lock_;
};
