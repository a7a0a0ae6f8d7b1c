#include "cache/cache_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cache/cache_root.h"
#include "oslayer/utilities.h"

namespace cache {

namespace {

const int scan_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

/// One directory being looked through: its name in the one above, what it
/// is, to know it again from below, and the names of it still to look at.
struct scan_level_t {
    std::string name;
    std::string path;
    dev_t dev;
    ino_t ino;
    std::vector<std::string> names;
    size_t next = 0;
};

bool gone_or_replaced(int error) { return error == ENOENT || error == ELOOP || error == ENOTDIR; }

class scan_t {
public:
    explicit scan_t(const tree_t& tree) : tree_(tree) {}

    unseen_t run() {
        fd_t top = open_top();
        struct stat st;
        if (::fstat(top.get(), &st) != 0) fail("cannot open it: %s", strerror(errno));
        shown_ = tree_.root();
        while (shown_.size() > 1 && shown_.back() == '/') shown_.pop_back();
        if (!searchable(top.get())) fail("%s", cannot_search(shown_).c_str());
        enter(std::move(top), std::string(), shown_, st);
        while (!levels_.empty()) {
            scan_level_t& level = levels_.back();
            if (level.next == level.names.size()) {
                leave();
                continue;
            }
            const std::string name = level.names[level.next++];
            look_at(name);
        }
        return std::move(unseen_);
    }

private:
    template <class... Args>
    [[noreturn]] void fail(const char* format, Args... args) const {
        refuse_root(tree_.root(), format_string(format, args...));
    }

    [[noreturn]] void moved(const std::string& path) const {
        fail("%s moved while it was looked through", escape_log_text(path).c_str());
    }

    fd_t open_top() const {
        fd_t top = tree_.open_dir(tree_.root(), false);
        if (!top) fail("cannot open it: %s", strerror(errno));
        return top;
    }

    // What cannot be looked through below the root is left to the load to
    // leave as it is, with what was seen below it; a root that cannot be
    // looked through is no root to use.
    void not_seen(const std::string& path, const std::string& why) {
        if (path.size() <= shown_.size()) fail("%s", why.c_str());
        const std::string rel = path.substr(shown_.size() + 1), in = rel + "/";
        auto it = unseen_.lower_bound(in);
        while (it != unseen_.end() && it->first.compare(0, in.size(), in) == 0) it = unseen_.erase(it);
        unseen_[rel] = why;
    }

    // The listing alone needs no right to search, and only an entry examined
    // in it would show that right missing: the root, and a repository, which
    // the load keeps, would pass while they hold nothing (a revision or a
    // directory in one that holds nothing is removed, whatever its mode).
    // The lookup of "." asks for that right, as the system decides it.
    static bool searchable(int dir) {
        struct stat st;
        return ::fstatat(dir, ".", &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

    static std::string cannot_search(const std::string& path) {
        return format_string("cannot search %s: %s", escape_log_text(path).c_str(), strerror(errno));
    }

    void enter(fd_t dir, const std::string& name, const std::string& path, const struct stat& st) {
        std::vector<std::string> names;
        if (!names_in(dir.get(), names))
            return not_seen(path, format_string("cannot list %s: %s", escape_log_text(path).c_str(), strerror(errno)));
        if (names.empty() && levels_.size() == 1 && !searchable(dir.get())) return not_seen(path, cannot_search(path));
        levels_.push_back(scan_level_t{name, path, st.st_dev, st.st_ino, std::move(names)});
        current_ = std::move(dir);
    }

    // Back to the directory above, known again by its device and inode.
    void leave() {
        const std::string left = levels_.back().path;
        levels_.pop_back();
        if (levels_.empty()) return;
        fd_t up(::openat(current_.get(), "..", scan_flags));
        // One that can no longer be searched (its mode taken away) has no
        // way up: the way down from the root is taken again.
        if (!up && errno != ENOENT) return reopen();
        struct stat st;
        if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != levels_.back().dev || st.st_ino != levels_.back().ino)
            moved(left);
        current_ = std::move(up);
    }

    // Opens every level again from the root by its name, each still the one
    // entered (else it moved while it was looked through).
    void reopen() {
        fd_t at = open_top();
        for (size_t i = 1; i < levels_.size(); ++i) {
            const scan_level_t& level = levels_[i];
            fd_t next(::openat(at.get(), level.name.c_str(), scan_flags));
            if (!next && !gone_or_replaced(errno)) return cannot_reopen(at.get(), i);
            struct stat st;
            if (!next || ::fstat(next.get(), &st) != 0 || st.st_dev != level.dev || st.st_ino != level.ino)
                moved(level.path);
            at = std::move(next);
        }
        current_ = std::move(at);
    }

    // A level that can no longer be opened is not seen, with what was
    // entered below it, once what stands at its name is known to be that
    // level: anything put in its place (a directory of no mode as well)
    // moved it. Where the level above can no longer be searched, that one
    // is not seen.
    void cannot_reopen(int at, size_t i) {
        const scan_level_t& level = levels_[i];
        const std::string why =
            format_string("cannot open %s: %s", escape_log_text(level.path).c_str(), strerror(errno));
        struct stat st;
        if (::fstatat(at, level.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (st.st_dev != level.dev || st.st_ino != level.ino) moved(level.path);
            not_seen(level.path, why);
        } else if (errno == EACCES) {
            not_seen(levels_[i - 1].path,
                     format_string("cannot examine %s: %s", escape_log_text(level.path).c_str(), strerror(errno)));
            --i;
        } else {
            moved(level.path);
        }
        levels_.resize(i);
        reopen();
    }

    void look_at(const std::string& name) {
        scan_level_t& level = levels_.back();
        const std::string path = level.path + "/" + name;
        struct stat st;
        if (::fstatat(current_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return;
            const std::string why =
                format_string("cannot examine %s: %s", escape_log_text(path).c_str(), strerror(errno));
            if (errno != EACCES) return not_seen(path, why);
            // The directory cannot be searched: none of its entries can be seen.
            level.next = level.names.size();
            return not_seen(level.path, why);
        }
        if (st.st_uid != daemon_user())
            fail("%s in it belongs to user %u", escape_log_text(path).c_str(), static_cast<unsigned>(st.st_uid));
        if (!S_ISDIR(st.st_mode)) return;
        // Whatever its mode: the load removes a directory of the daemon's
        // user that others may write into with all it holds, so what it
        // holds must pass the same rules first.
        rev_t rev = 0;
        if (levels_.size() == 2 && !revision_of(name, rev))
            fail("revision directory %s is not named by a number", escape_log_text(path).c_str());
        fd_t sub(::openat(current_.get(), name.c_str(), scan_flags));
        struct stat opened;
        if (!sub || ::fstat(sub.get(), &opened) != 0) {
            if (gone_or_replaced(errno)) return;
            return not_seen(path, format_string("cannot open %s: %s", escape_log_text(path).c_str(), strerror(errno)));
        }
        if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return;  // replaced since it was examined
        // A mount point is the cache's own where the load takes it as a
        // repository or a revision; anywhere else, and where the load would
        // remove it as not its own, nothing is removed in it or loaded from
        // it, so it is never looked into.
        const bool taken = levels_.size() <= 2 && tree_t::cache_owned(opened);
        if (!taken && !tree_t::same_mount(current_.get(), sub.get())) return;
        enter(std::move(sub), name, path, opened);
    }

    // False, with errno set, when the listing fails.
    static bool names_in(int dir, std::vector<std::string>& names) {
        DIR* listing = tree_t::open_listing(dir);
        if (!listing) return false;
        errno = 0;
        while (struct dirent* e = ::readdir(listing)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            errno = 0;
        }
        const int error = errno;
        ::closedir(listing);
        errno = error;
        return error == 0;
    }

    const tree_t& tree_;
    /// The root as paths below it begin.
    std::string shown_;
    std::vector<scan_level_t> levels_;
    fd_t current_;
    unseen_t unseen_;
};

}  // namespace

bool revision_of(const std::string& text, rev_t& rev) {
    rev = 0;
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9' || rev > (UINT64_MAX - static_cast<rev_t>(c - '0')) / 10) return false;
        rev = rev * 10 + static_cast<rev_t>(c - '0');
    }
    return true;
}

unseen_t scan_tree(const tree_t& tree) { return scan_t(tree).run(); }

}  // namespace cache
