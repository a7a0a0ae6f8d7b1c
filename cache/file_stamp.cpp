// What the cache verified of a stored file, and what its own changes since
// left of the file's status.
#include "cache/file_stamp.h"

#include <unistd.h>

namespace cache {

namespace {

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

file_stamp_t file_stamp_t::of(const struct stat& st) {
    file_stamp_t stamp;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtime = st.st_mtim;
    stamp.ctime = st.st_ctim;
    return stamp;
}

bool file_stamp_t::same_content(const struct stat& st) const {
    return size >= 0 && dev == st.st_dev && ino == st.st_ino && size == st.st_size && same_time(mtime, st.st_mtim);
}

bool file_stamp_t::same(const struct stat& st) const { return same_content(st) && same_time(ctime, st.st_ctim); }

bool file_stamp_t::operator==(const file_stamp_t& other) const {
    return dev == other.dev && ino == other.ino && size == other.size && same_time(mtime, other.mtime) &&
           same_time(ctime, other.ctime);
}

bool own_changes_t::made(const struct stat& st) const {
    auto found = made_.find(key_t(st.st_dev, st.st_ino));
    return found != made_.end() && found->second.same(st);
}

bool own_changes_t::change_t::vouched(const file_stamp_t& verified, const struct stat& before) const {
    return verified.same(before) || (verified.same_content(before) && changes_.made(before));
}

void own_changes_t::change_t::done(const struct stat& after, bool vouched) {
    const key_t key(after.st_dev, after.st_ino);
    // Its last name gone: no other name is left to judge by the record.
    if (vouched && after.st_nlink > 0)
        changes_.made_[key] = file_stamp_t::of(after);
    else
        changes_.made_.erase(key);
}

bool own_changes_t::explain(int fd, const file_stamp_t& stamp, struct stat& now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Looked at again under the lock: a change under way has its record by now.
    return ::fstat(fd, &now) == 0 && stamp.same_content(now) && made(now);
}

void own_changes_t::forget(dev_t dev, ino_t ino) {
    std::lock_guard<std::mutex> lock(mutex_);
    made_.erase(key_t(dev, ino));
}

size_t own_changes_t::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_.size();
}

}  // namespace cache
