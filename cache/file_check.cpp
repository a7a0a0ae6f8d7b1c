// A stored file examined against what the cache verified when it stored or
// loaded it, before each use: an administrator's tool may truncate or
// overwrite it in place, and the cache must neither send those bytes for the
// announced MD5 nor crash on a mapped page that is gone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/cache_file_ctx.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

namespace {

// MD5 of the whole open file, read with pread so that the descriptor's
// position stays where a reader left it; false when it cannot be read or
// `stop` was raised meanwhile.
bool hash_whole(int fd, md5_t& md5, uint64_t& size, const std::atomic<bool>* stop) {
    static thread_local std::vector<char> buffer(256 << 10);
    size = 0;
    for (;;) {
        if (stop && stop->load()) return false;
        ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        md5.update(static_cast<size_t>(n), buffer.data());
        size += static_cast<uint64_t>(n);
    }
    md5.final();
    return true;
}

// True for the errors of an open that say nothing of the file itself: the
// process is short of descriptors or memory for now.
bool short_of_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS || error == EAGAIN ||
           error == EINTR;
}

}  // namespace

file_stamp_t cache_t::file_ctx_t::stamp() const {
    std::lock_guard<std::mutex> lock(download_mutex_);
    return stamp_;
}

void cache_t::file_ctx_t::restamp(const file_stamp_t& was, const struct stat& st) {
    std::lock_guard<std::mutex> lock(download_mutex_);
    if (stamp_ == was) stamp_ = file_stamp_t::of(st);
}

cache_t::file_ctx_t::match_t cache_t::file_ctx_t::matches_stamp(int fd, const struct stat& st,
                                                                const reading_t& reading) {
    const file_stamp_t was = stamp();
    if (!was.same_content(st)) return match_t::no;
    if (was.same(st)) return match_t::yes;
    // Only the change time moved. The cache's own links move it, and so
    // does an older revision's removal: those it recorded. Anything else
    // takes a second look at the content, which tells a change of status
    // from one whose modification time was put back.
    struct stat now;
    if (tree_->own_changes().explain(fd, was, now)) {
        restamp(was, now);
        return match_t::yes;
    }
    if (!reading.allowed) return match_t::unread;
    md5_t md5;
    uint64_t size = 0;
    struct stat after;
    if (!hash_whole(fd, md5, size, reading.stop))
        return reading.stop && reading.stop->load() ? match_t::unread : match_t::no;
    if (size != info.size || md5.hex() != info.md5) return match_t::no;
    if (::fstat(fd, &after) != 0 || !was.same_content(after)) return match_t::no;
    // Its status changed again while it was read, perhaps by an overwrite
    // whose times were put back: what was read proves nothing, and the
    // checking thread reads it again for the request that waits.
    if (reading.stop && !file_stamp_t::of(st).same(after)) return match_t::unread;
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] File %s was examined again after a change of its status",
           escape_log_text(path).c_str());
    restamp(was, after);
    return match_t::yes;
}

fd_t cache_t::file_ctx_t::examine_stored(found_t& found, struct stat& st, const reading_t& reading) {
    fd_t fd(tree_->open_file(path));
    if (!fd && !not_there(errno) && !short_of_resources(errno)) {
        // A mode taken away, a directory on its way that cannot be searched:
        // as long as it stays so, every reply of it would be broken off.
        const int error = errno;
        found = found_t::unreadable;
        set_back_unreadable(error);
        errno = error;
        return fd_t();
    }
    if ((!fd && !not_there(errno)) || (fd && ::fstat(fd.get(), &st) != 0)) {
        found = found_t::unknown;
        return fd_t();
    }
    if (fd && S_ISREG(st.st_mode) && tree_t::cache_owned(st)) {
        const match_t match = matches_stamp(fd.get(), st, reading);
        if (match == match_t::yes) {
            found = found_t::same;
            return fd;
        }
        if (match == match_t::unread) {
            found = found_t::unread;
            return fd_t();
        }
        found = found_t::changed;
        if (turn_back()) say_changed();
        return fd_t();
    }
    fd.reset();
    std::string leaf;
    fd_t dir = tree_->open_parent(path, false, leaf);
    found = set_back(dir ? dir.get() : -1, leaf) ? found_t::gone : found_t::foreign;
    return fd_t();
}

cache_t::file_ctx_t::stored_t cache_t::file_ctx_t::still_stored() {
    if (get_state() != ready) return stored_t::no;
    found_t found;
    struct stat st;
    examine_stored(found, st, reading_t());
    if (found == found_t::unread) return stored_t::to_read;
    return found == found_t::same || found == found_t::unknown ? stored_t::yes : stored_t::no;
}

void cache_t::file_ctx_t::check_content(const std::atomic<bool>& stop) {
    if (get_state() != ready) return;
    found_t found;
    struct stat st;
    reading_t reading;
    reading.allowed = true;
    reading.stop = &stop;
    // What is not the file stored any more is set back here, with its one
    // WARNING; the waiting requests then start its download.
    examine_stored(found, st, reading);
}

fd_t cache_t::file_ctx_t::open_stored() {
    found_t found;
    struct stat st;
    fd_t fd = examine_stored(found, st, reading_t());
    if (found == found_t::same) return fd;
    if (found == found_t::unknown || found == found_t::unreadable)
        D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(path).c_str(), strerror(errno));
    if (found == found_t::unread) throw_unread();
    D_THROW(io_error_exception, "%s %s: it is not served, and is downloaded again", escape_log_text(path).c_str(),
            found == found_t::changed ? "changed on disk" : found == found_t::gone ? "is gone from the disk"
                                                                                   : "is not a file of the cache");
}

void cache_t::file_ctx_t::throw_unread() const {
    // Stays ready: the next request for it has it read on the checking thread.
    D_THROW(io_error_exception, "%s changed its status on disk: it is examined again before it is served",
            escape_log_text(path).c_str());
}

void cache_t::file_ctx_t::set_back_unreadable(int error) {
    if (turn_back()) say_unreadable(path, error);
}

bool cache_t::file_ctx_t::unchanged(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && matches_stamp(fd, st, reading_t()) == match_t::yes;
}

struct cache_t::checks_t {
    std::mutex mutex;
    /// Guarded by `mutex`, as is `posted`: a handler that takes them all is on its way.
    std::vector<std::pair<repo_key_t, file_ptr>> ended;
    bool posted = false;
    /// Raised when the cache ends: a reading under way stops.
    std::atomic<bool> stop{false};
};

bool cache_t::examine_before_reply(const repo_key_t& key, const file_ptr& file) {
    if (file->checking) return false;
    const file_ctx_t::stored_t found = file->still_stored();
    if (found == file_ctx_t::stored_t::to_read) start_check(key, file);
    return found == file_ctx_t::stored_t::yes;
}

void cache_t::start_check(const repo_key_t& key, const file_ptr& file) {
    if (!checks_) checks_ = boost::make_shared<checks_t>();
    // One thread: checks queue behind one another, never in front of a reply.
    if (!checker_) checker_.reset(new io::pool(1, "chk"));
    file->checking = true;
    boost::shared_ptr<checks_t> checks = checks_;
    boost::asio::io_service& service = service_;
    boost::weak_ptr<cache_t> weak = self_;
    checker_->get_io_service().post([checks, &service, weak, key, file] {
        log_failure(LOG_LEVEL_ERROR, "[Repo] Examining a stored file again failed because of %s",
                    [&] { file->check_content(checks->stop); });
        std::lock_guard<std::mutex> lock(checks->mutex);
        checks->ended.emplace_back(key, file);
        if (checks->posted) return;
        checks->posted = true;
        // The waiting requests are served on the I/O service, many checks at
        // once: this thread never takes the cache's lock, nor holds the cache,
        // whose end joins it.
        service.post([weak] {
            if (boost::shared_ptr<cache_t> me = weak.lock())
                log_failure(LOG_LEVEL_ERROR, "[Repo] Serving waiting requests failed because of %s",
                            [&] { me->checks_ended(); });
        });
    });
}

void cache_t::checks_ended() {
    std::vector<std::pair<repo_key_t, file_ptr>> ended;
    {
        std::lock_guard<std::mutex> lock(checks_->mutex);
        ended.swap(checks_->ended);
        checks_->posted = false;
    }
    xlocker_t guard(mutex_);
    std::vector<repo_key_t> keys;
    for (const auto& check : ended) {
        check.second->checking = false;
        keys.push_back(check.first);
    }
    process_revisions_locked(keys);
}

void cache_t::stop_checks() {
    if (checks_) checks_->stop = true;
    checker_.reset();
}

void cache_t::file_ctx_t::say_changed() const {
    LOG_AT(LOG_LEVEL_WARNING, "[Repo] File %s changed on disk: it is downloaded again", escape_log_text(path).c_str());
}

}  // namespace cache
