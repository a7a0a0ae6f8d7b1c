// What the cache verified of a stored file, and the statuses its own links
// and removals gave the file since: a stored file is examined against them
// before each use.
#pragma once

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <utility>

#include "oslayer/_kern.h"

namespace cache {

/// What the cache verified of a stored file when it stored or loaded it:
/// the file's identity, size and modification and change times. The file is
/// examined against it before each use; a change that keeps all of them
/// (the same size, and times restored or within one tick of the clock)
/// cannot be seen.
struct file_stamp_t {
    dev_t dev = 0;
    ino_t ino = 0;
    /// -1 until stamped: then nothing matches, and the file is downloaded again.
    off_t size = -1;
    struct timespec mtime = {0, 0};
    struct timespec ctime = {0, 0};

    static file_stamp_t of(const struct stat& st);
    /// Identity, size and modification time: what a change of content moves.
    bool same_content(const struct stat& st) const;
    /// All of it, the change time included.
    bool same(const struct stat& st) const;
    bool operator==(const file_stamp_t& other) const;
};

/// The statuses the cache's own changes gave its stored files. Every name of
/// a file shares one change time, and a new revision's link to a file, or
/// the cleaner's removal of one of its names, moves it for all the others:
/// their stamps no longer match, yet their content is the one verified. One
/// record per file (device and inode) holds the status its last such change
/// left, when the cache could vouch for the file just before it; a name whose
/// status moved to that one alone needs no reading. A change holds one lock
/// from the status before it to its record, and a name found moved is judged
/// under the same lock: a reply never finds the new change time without its
/// record. A record goes when the cache removes the file's last name or
/// finds a name of it gone or changed.
class own_changes_t : public virtual noncopyable_t {
public:
    /// Held over one change of the cache's own to a stored file.
    class change_t : public virtual noncopyable_t {
    public:
        explicit change_t(own_changes_t& changes) : changes_(changes), lock_(changes.mutex_) {}
        /// Whether the file of status `before` is one the cache vouches for:
        /// the status `verified` holds, or the one the last own change left.
        bool vouched(const file_stamp_t& verified, const struct stat& before) const;
        /// The file's status after the change: recorded when `vouched`,
        /// else its record (now stale) goes.
        void done(const struct stat& after, bool vouched);

    private:
        own_changes_t& changes_;
        std::lock_guard<std::mutex> lock_;
    };

    /// Whether what `fd` opened, which matches `stamp` but for its change
    /// time, had that moved by the cache's own changes alone; `now` is then
    /// its status.
    bool explain(int fd, const file_stamp_t& stamp, struct stat& now);
    /// The record of the file (device and inode) goes.
    void forget(dev_t dev, ino_t ino);
    /// Files recorded.
    size_t size();

private:
    typedef std::pair<dev_t, ino_t> key_t;
    /// Whether `st` is the status the last own change left; `mutex_` held.
    bool made(const struct stat& st) const;

    std::mutex mutex_;
    /// Guarded by `mutex_`: size, modification and change time after the change.
    std::map<key_t, file_stamp_t> made_;
};

}  // namespace cache
