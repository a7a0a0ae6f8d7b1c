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

/// One directory being looked through: what it is, to know it again from
/// below, and the names of it still to look at.
struct scan_level_t {
    std::string path;
    dev_t dev;
    ino_t ino;
    std::vector<std::string> names;
    size_t next = 0;
};

class scan_t {
public:
    explicit scan_t(const tree_t& tree) : tree_(tree) {}

    void run() {
        fd_t top = tree_.open_dir(tree_.root(), false);
        struct stat st;
        if (!top || ::fstat(top.get(), &st) != 0) fail("cannot open it: %s", strerror(errno));
        std::string shown = tree_.root();
        while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
        enter(std::move(top), shown, st);
        while (!levels_.empty()) {
            scan_level_t& level = levels_.back();
            if (level.next == level.names.size()) {
                leave();
                continue;
            }
            const std::string name = level.names[level.next++];
            look_at(name);
        }
    }

private:
    template <class... Args>
    [[noreturn]] void fail(const char* format, Args... args) const {
        refuse_root(tree_.root(), format_string(format, args...));
    }

    void enter(fd_t dir, const std::string& path, const struct stat& st) {
        levels_.push_back(scan_level_t{path, st.st_dev, st.st_ino, names_in(dir.get(), path)});
        current_ = std::move(dir);
    }

    // Back to the directory above, known again by its device and inode.
    void leave() {
        const std::string left = levels_.back().path;
        levels_.pop_back();
        if (levels_.empty()) return;
        fd_t up(::openat(current_.get(), "..", scan_flags));
        struct stat st;
        if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != levels_.back().dev || st.st_ino != levels_.back().ino)
            fail("%s moved while it was looked through", escape_log_text(left).c_str());
        current_ = std::move(up);
    }

    void look_at(const std::string& name) {
        const scan_level_t& level = levels_.back();
        const std::string path = level.path + "/" + name;
        struct stat st;
        if (::fstatat(current_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return;
            fail("cannot examine %s: %s", escape_log_text(path).c_str(), strerror(errno));
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
            if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return;  // gone or replaced meanwhile
            fail("cannot open %s: %s", escape_log_text(path).c_str(), strerror(errno));
        }
        if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return;  // replaced since it was examined
        // A mount point is the cache's own where the load takes it as a
        // repository or a revision; anywhere else, and where the load would
        // remove it as not its own, nothing is removed in it or loaded from
        // it, so it is never looked into.
        const bool taken = levels_.size() <= 2 && tree_t::cache_owned(opened);
        if (!taken && !tree_t::same_mount(current_.get(), sub.get())) return;
        enter(std::move(sub), path, opened);
    }

    std::vector<std::string> names_in(int dir, const std::string& path) const {
        DIR* listing = tree_t::open_listing(dir);
        if (!listing) fail("cannot list %s: %s", escape_log_text(path).c_str(), strerror(errno));
        std::vector<std::string> names;
        errno = 0;
        while (struct dirent* e = ::readdir(listing)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            errno = 0;
        }
        const int error = errno;
        ::closedir(listing);
        if (error) fail("cannot list %s: %s", escape_log_text(path).c_str(), strerror(error));
        return names;
    }

    const tree_t& tree_;
    std::vector<scan_level_t> levels_;
    fd_t current_;
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

void scan_tree(const tree_t& tree) { scan_t(tree).run(); }

}  // namespace cache
