#include "cache/cache_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/cache.h"
#include "cache/cache_root.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

fd_t& fd_t::operator=(fd_t&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int fd_t::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void fd_t::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uid_t daemon_user() {
    static const uid_t me = ::geteuid();
    return me;
}

namespace {

const int dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int copy_of(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

// Whether openat2 with the flags open_beneath uses works below `dir`: a
// filter, an old kernel or one without these flags answers the probe with
// an error, and the step-by-step walk, as safe, is taken from then on.
bool beneath_works(int dir, const std::string& root) {
#ifdef SYS_openat2
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(dir_flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, dir, ".", &how, sizeof how);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
        return true;
    }
    const int error = errno;
#else
    const int error = ENOSYS;
#endif
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Paths below %s are opened step by step: openat2 is not at hand (%s)",
           escape_log_text(root).c_str(), strerror(error));
    return false;
}

}  // namespace

tree_t::tree_t(const std::string& root, fd_t fd, const struct stat& st)
    : root_(root),
      prefix_(!root.empty() && root.back() == '/' ? root.size() : root.size() + 1),
      fd_(std::move(fd)),
      identity_(st.st_dev, st.st_ino),
      beneath_(beneath_works(fd_.get(), root)) {}

size_t tree_t::longest_root = 2048;

tree_ptr tree_t::open(const std::string& root) {
    // Every path below the root counts its text against the system's limit:
    // a root near that limit would be opened and then store nothing at all.
    if (root.size() > longest_root)
        refuse_root(root, format_string("its path has %lu bytes, more than the %lu a cache root may have",
                                        static_cast<unsigned long>(root.size()),
                                        static_cast<unsigned long>(longest_root)));
    struct stat st;
    fd_t fd = open_root(root, st);
    return tree_ptr(new tree_t(root, std::move(fd), st));
}

std::string tree_t::relative(const std::string& path) const {
    if (path.size() + 1 == prefix_ && root_.compare(0, path.size(), path) == 0) return std::string();
    if (path.size() < prefix_ || path.compare(0, prefix_ - 1, root_, 0, prefix_ - 1) != 0 || path[prefix_ - 1] != '/')
        D_THROW(io_error_exception, "%s is not below the cache root %s", escape_log_text(path).c_str(),
                escape_log_text(root_).c_str());
    return path.substr(prefix_);
}

int tree_t::open_beneath(int dir, const std::string& rel, int flags) const {
#ifdef SYS_openat2
    if (beneath_) {
        struct open_how how;
        std::memset(&how, 0, sizeof how);
        how.flags = static_cast<uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        return static_cast<int>(::syscall(SYS_openat2, dir, rel.c_str(), &how, sizeof how));
    }
#endif
    (void)dir;
    (void)rel;
    (void)flags;
    errno = ENOSYS;
    return -1;
}

fd_t tree_t::open_file(const std::string& path) const {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    if (beneath_) return fd_t(open_beneath(fd_.get(), relative(path), flags));
    std::string leaf;
    fd_t dir = open_parent(path, false, leaf);
    if (!dir) return dir;
    return fd_t(::openat(dir.get(), leaf.c_str(), flags));
}

fd_t tree_t::open_dir(const std::string& path, bool create) const {
    const std::string rel = relative(path);
    if (rel.empty()) return fd_t(copy_of(fd_.get()));
    return open_below(fd_.get(), rel, create);
}

fd_t tree_t::open_parent(const std::string& path, bool create, std::string& leaf) const {
    const std::string rel = relative(path);
    // Whatever stands at the file's names is cleared for it.
    if (create) {
        keep_unseen(rel, true);
        keep_unseen(rel + "~", true);
    }
    const size_t slash = rel.rfind('/');
    leaf = rel.substr(slash == std::string::npos ? 0 : slash + 1);
    if (slash == std::string::npos) return fd_t(copy_of(fd_.get()));
    return open_below(fd_.get(), rel.substr(0, slash), create);
}

fd_t tree_t::open_below(int top, const std::string& rel, bool create) const {
    if (create) keep_unseen(rel, false);
    if (beneath_) {
        // The usual case in one call: the directory is there, as the cache's own.
        fd_t fd(open_beneath(top, rel, dir_flags));
        struct stat st;
        if (fd && ::fstat(fd.get(), &st) == 0 && cache_owned(st)) return fd;
    }
    // Else piece by piece, to make, clear or refuse what is in the way.
    fd_t current(copy_of(top));
    size_t start = 0;
    while (current && start < rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) slash = rel.size();
        const std::string name = rel.substr(start, slash - start);
        const std::string shown = root_.substr(0, prefix_ - 1) + "/" + rel.substr(0, slash);
        start = slash + 1;
        if (name.empty()) continue;
        fd_t next(::openat(current.get(), name.c_str(), dir_flags));
        struct stat st;
        if (next && ::fstat(next.get(), &st) == 0 && cache_owned(st)) {
            current = std::move(next);
            continue;
        }
        const bool missing = !next && errno == ENOENT;
        if (!create) {
            errno = missing ? ENOENT : ELOOP;
            return fd_t();
        }
        next.reset();
        if (!missing) {
            // A link, a file or a directory of another user: never entered.
            keep_unseen(rel.substr(0, slash), true);
            if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !remove_tree(current.get(), name))
                D_THROW(obstruction_error, "cannot remove %s, which stands where the cache keeps a directory: %s",
                        escape_log_text(shown).c_str(), strerror(errno));
            LOG_AT(LOG_LEVEL_WARNING, "[Repo] Removed %s \"%s\" where the cache keeps a directory", kind_of(st),
                   escape_log_text(shown).c_str());
        }
        if (::mkdirat(current.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
            D_THROW(obstruction_error, "cannot create %s: %s", escape_log_text(shown).c_str(), strerror(errno));
        next = fd_t(::openat(current.get(), name.c_str(), dir_flags));
        if (!next || ::fstat(next.get(), &st) != 0 || !cache_owned(st))
            D_THROW(obstruction_error, "cannot open %s as a directory of the cache: %s", escape_log_text(shown).c_str(),
                    next ? "it changed meanwhile" : strerror(errno));
        current = std::move(next);
    }
    return current;
}

namespace {

// Removes what stands at `name`, unless it is a regular file the cache owns
// and `keep_own` holds; false when nothing had to go.
bool clear_entry(int dir, const std::string& name, const std::string& shown, bool keep_own) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        D_THROW(obstruction_error, "cannot examine %s: %s", escape_log_text(shown).c_str(), strerror(errno));
    }
    const bool usable = S_ISREG(st.st_mode) && tree_t::cache_owned(st);
    if (usable && keep_own) return false;
    if (!tree_t::remove_tree(dir, name))
        D_THROW(obstruction_error, "cannot remove %s \"%s\", which stands where the cache keeps a file: %s",
                tree_t::kind_of(st), escape_log_text(shown).c_str(), strerror(errno));
    if (!usable)
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Removed %s \"%s\" where the cache keeps a file", tree_t::kind_of(st),
               escape_log_text(shown).c_str());
    return true;
}

/// One directory being emptied: where it is, to know it again from below.
struct level_t {
    std::string name;
    dev_t dev;
    ino_t ino;
};

// Opens the directory `name` in `dir` on the mount of `top`, and describes it.
fd_t enter_dir(int dir, const std::string& name, int top, int unlink_error, level_t& level) {
    fd_t sub(::openat(dir, name.c_str(), dir_flags));
    struct stat st;
    if (!sub) {
        // Not a directory after all: what refused the unlink is the reason.
        if (errno == ENOTDIR) errno = unlink_error;
        return sub;
    }
    if (::fstat(sub.get(), &st) != 0) return fd_t();
    if (!tree_t::same_mount(top, sub.get())) {
        errno = EXDEV;
        return fd_t();
    }
    level = level_t{name, st.st_dev, st.st_ino};
    return sub;
}

// The first entry of `dir` that unlink cannot take (a directory, or what
// fails, then with `error` set); "" once every other entry is gone.
std::string empty_files(int dir, int& error) {
    error = 0;
    DIR* listing = tree_t::open_listing(dir);
    if (!listing) {
        error = errno;
        return std::string();
    }
    std::string left;
    errno = 0;
    while (struct dirent* entry = ::readdir(listing)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        if (::unlinkat(dir, entry->d_name, 0) != 0) {
            error = errno;
            left = entry->d_name;
            break;
        }
        errno = 0;
    }
    if (left.empty() && errno) error = errno;
    ::closedir(listing);
    return left;
}

}  // namespace

DIR* tree_t::open_listing(int dir) {
    const int copy = copy_of(dir);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!listing) {
        const int error = errno;
        if (copy >= 0) ::close(copy);
        errno = error;
        return nullptr;
    }
    // The copy shares the position of `dir`, which may have been listed before.
    ::rewinddir(listing);
    return listing;
}

void tree_t::clear_for_file(int dir, const std::string& leaf, const std::string& shown) {
    clear_entry(dir, leaf, shown, true);
}

void tree_t::remove_leftover(int dir, const std::string& leaf, const std::string& shown) {
    clear_entry(dir, leaf, shown, false);
}

bool tree_t::remove_tree(int dir, const std::string& name) {
    if (::unlinkat(dir, name.c_str(), 0) == 0) return true;
    const int unlink_error = errno;
    if (unlink_error != EISDIR && unlink_error != EPERM) return false;
    // Emptied from the deepest level up, one directory open at a time: the
    // way back up is "..", known again by its device and inode.
    std::vector<level_t> levels(1);
    fd_t current = enter_dir(dir, name, dir, unlink_error, levels.back());
    while (current) {
        int error = 0;
        const std::string left = empty_files(current.get(), error);
        if (!left.empty() && (error == EISDIR || error == EPERM)) {
            levels.emplace_back();
            current = enter_dir(current.get(), left, dir, error, levels.back());
            continue;
        }
        if (error) {
            errno = error;
            return false;
        }
        if (levels.size() == 1) break;
        fd_t up(::openat(current.get(), "..", dir_flags));
        struct stat st;
        const level_t& above = levels[levels.size() - 2];
        if (!up || ::fstat(up.get(), &st) != 0) return false;
        if (st.st_dev != above.dev || st.st_ino != above.ino) {
            errno = ESTALE;  // moved while it was emptied: nothing more is removed
            return false;
        }
        if (::unlinkat(up.get(), levels.back().name.c_str(), AT_REMOVEDIR) != 0) return false;
        levels.pop_back();
        current = std::move(up);
    }
    if (!current) return false;
    current.reset();
    return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

namespace {

/// Where an open file lies: its device, and its mount where the system
/// tells it (a bind mount shows the device of what it shows, but a mount of
/// its own).
struct mount_t {
    dev_t dev = 0;
    bool has_id = false;
    uint64_t id = 0;
    bool root = false;
};

// The mount id the process's own table of descriptors lists for `fd` (the
// "mnt_id" line of /proc/self/fdinfo, Linux 3.15 on): the same number statx
// gives, read without it. False where /proc is not the system's.
bool listed_mount_id(int fd, uint64_t& id) {
    const std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
    fd_t info(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct statfs fs;
    if (!info || ::fstatfs(info.get(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return false;
    char text[1024];
    size_t length = 0;
    ssize_t n = 0;
    while (length + 1 < sizeof text && ((n = ::read(info.get(), text + length, sizeof text - 1 - length)) > 0 ||
                                        (n < 0 && errno == EINTR)))
        if (n > 0) length += static_cast<size_t>(n);
    text[length] = '\0';
    const char* line = std::strstr(text, "\nmnt_id:");
    unsigned long long value = 0;
    if (!line || std::sscanf(line, "\nmnt_id: %llu", &value) != 1) return false;
    id = value;
    return true;
}

bool mount_of(int fd, mount_t& where) {
    struct statx sx;
    // A filter refuses statx (with EPERM, as a container runtime does), or
    // an old kernel lacks it or leaves out the mount: the descriptor table
    // then tells the mount.
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &sx) == 0) {
        where.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        where.has_id = (sx.stx_mask & STATX_MNT_ID) != 0;
        where.id = sx.stx_mnt_id;
        where.root = (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    } else {
        struct stat st;
        if (::fstat(fd, &st) != 0) return false;
        where.dev = st.st_dev;
    }
    if (!where.has_id) where.has_id = listed_mount_id(fd, where.id);
    return true;
}

}  // namespace

bool tree_t::same_mount(int dir, int sub) {
    mount_t top, below;
    if (!mount_of(dir, top) || !mount_of(sub, below)) return false;
    if (below.root || below.dev != top.dev) return false;
    // A bind mount of the same file system shows no other device: where no
    // mount id can be had, every directory is taken for a mount point, so
    // that nothing is removed or loaded below it.
    return top.has_id && below.has_id && top.id == below.id;
}

bool tree_t::cache_owned(const struct stat& st) {
    return st.st_uid == daemon_user() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int dir_cache_t::parent(const tree_t& tree, const std::string& path, bool create, std::string& leaf) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (fd_ && dir == dir_) {
        leaf = path.substr(slash + 1);
        return fd_.get();
    }
    fd_ = tree.open_parent(path, create, leaf);
    dir_ = fd_ ? dir : std::string();
    return fd_.get();
}

const char* tree_t::kind_of(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISFIFO(st.st_mode)) return "a named pipe";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
    if (!cache_owned(st)) return S_ISDIR(st.st_mode) ? "a directory other users control" : "a file other users control";
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISREG(st.st_mode)) return "a file";
    return "a special file";
}

void tree_t::set_unseen(unseen_t unseen, unseen_t loading) const {
    auto now = boost::make_shared<const unseen_t>(std::move(unseen));
    auto again = boost::make_shared<const unseen_t>(std::move(loading));
    std::lock_guard<std::mutex> lock(unseen_mutex_);
    unseen_ = now;
    loading_ = again;
}

unseen_t tree_t::unseen_now() const {
    std::lock_guard<std::mutex> lock(unseen_mutex_);
    return unseen_ ? *unseen_ : unseen_t();
}

void tree_t::end_loading() const {
    std::lock_guard<std::mutex> lock(unseen_mutex_);
    loading_.reset();
}

// What the scan could not look through stays as it is until the next load.
bool tree_t::unseen(const std::string& path, bool holding) const {
    const std::string rel = relative(path);
    boost::shared_ptr<const unseen_t> now;
    {
        std::lock_guard<std::mutex> lock(unseen_mutex_);
        now = unseen_;
    }
    return now && unseen_in(*now, rel, holding);
}

const std::string* tree_t::unseen_in(const unseen_t& set, const std::string& rel, bool holding) {
    if (set.empty()) return nullptr;
    // The path itself, or a directory on its way.
    for (size_t end = rel.find('/');; end = rel.find('/', end + 1)) {
        auto found = set.find(rel.substr(0, end));
        if (found != set.end()) return &found->first;
        if (end == std::string::npos) break;
    }
    const std::string in = rel + "/";
    auto first = set.lower_bound(in);
    return holding && first != set.end() && first->first.compare(0, in.size(), in) == 0 ? &first->first : nullptr;
}

void tree_t::keep_unseen(const std::string& rel, bool holding) const {
    boost::shared_ptr<const unseen_t> sets[2];
    {
        std::lock_guard<std::mutex> lock(unseen_mutex_);
        sets[0] = unseen_;
        sets[1] = loading_;
    }
    for (const boost::shared_ptr<const unseen_t>& set : sets)
        if (const std::string* unseen = set ? unseen_in(*set, rel, holding) : nullptr)
            D_THROW(obstruction_error, "%s is left as it is until a reload can look through it",
                    escape_log_text(root_.substr(0, prefix_ - 1) + "/" + *unseen).c_str());
}

}  // namespace cache
