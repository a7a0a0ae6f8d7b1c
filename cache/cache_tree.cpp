#include "cache/cache_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace fs = boost::filesystem;

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

namespace {

const int dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void refuse(const std::string& root, const std::string& why) {
    D_THROW(cache_error, "cache root %s refused: %s", escape_log_text(root).c_str(), why.c_str());
}

// Every link on the way to the root must be the daemon's own or the
// system's; missing directories are made, the root itself private.
void walk_to_root(const std::string& root, const fs::path& absolute) {
    const uid_t me = ::geteuid();
    fs::path prefix;
    fs::path::iterator last = absolute.end();
    while (last != absolute.begin() && (*std::prev(last) == "." || std::prev(last)->empty())) --last;
    for (fs::path::iterator it = absolute.begin(); it != last; ++it) {
        prefix /= *it;
        if (*it == "." || prefix == prefix.root_path()) continue;
        const bool is_root = std::next(it) == last;
        struct stat st;
        for (int attempt = 0; ::lstat(prefix.c_str(), &st) != 0; ++attempt) {
            if (errno != ENOENT || attempt > 0) refuse(root, format_string("cannot examine %s: %s", escape_log_text(prefix.string()).c_str(), strerror(errno)));
            if (::mkdir(prefix.c_str(), is_root ? 0700 : 0755) != 0 && errno != EEXIST)
                refuse(root, format_string("cannot create %s: %s", escape_log_text(prefix.string()).c_str(), strerror(errno)));
        }
        if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != me)
            refuse(root, format_string("it is reached through the symbolic link %s of user %u",
                                       escape_log_text(prefix.string()).c_str(), static_cast<unsigned>(st.st_uid)));
    }
}

// Opens `rel` below `dir` in one call that refuses every link on the way,
// where the kernel has openat2; -1 with ENOSYS where it has not.
int open_beneath(int dir, const std::string& rel, int flags) {
#ifdef SYS_openat2
    static std::atomic<bool> missing{false};
    if (!missing.load(std::memory_order_relaxed)) {
        struct open_how how;
        std::memset(&how, 0, sizeof how);
        how.flags = static_cast<uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = ::syscall(SYS_openat2, dir, rel.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        missing = true;
    }
#endif
    errno = ENOSYS;
    return -1;
}

}  // namespace

tree_t::tree_t(const std::string& root, const std::string& canonical, fd_t fd)
    : root_(root),
      canonical_(canonical),
      prefix_(!root.empty() && root.back() == '/' ? root.size() : root.size() + 1),
      fd_(std::move(fd)) {}

tree_ptr tree_t::open(const std::string& root) {
    const fs::path absolute = fs::absolute(fs::path(root));
    walk_to_root(root, absolute);
    struct stat st;
    if (::stat(absolute.c_str(), &st) != 0) refuse(root, strerror(errno));
    if (!S_ISDIR(st.st_mode)) refuse(root, "it is not a directory");
    if (st.st_uid != ::geteuid())
        refuse(root, format_string("it is owned by user %u, not by the daemon's user %u",
                                   static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid())));
    if (!own(st))
        refuse(root, format_string("other users may write into it (mode %04o)", static_cast<unsigned>(st.st_mode & 07777)));
    fd_t fd(::open(absolute.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat opened;
    if (!fd || ::fstat(fd.get(), &opened) != 0) refuse(root, strerror(errno));
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) refuse(root, "it changed while it was checked");
    char* resolved = ::realpath(absolute.c_str(), nullptr);
    if (!resolved) refuse(root, strerror(errno));
    std::string canonical(resolved);
    std::free(resolved);
    return tree_ptr(new tree_t(root, canonical, std::move(fd)));
}

std::string tree_t::relative(const std::string& path) const {
    if (path.size() + 1 == prefix_ && root_.compare(0, path.size(), path) == 0) return std::string();
    if (path.size() < prefix_ || path.compare(0, prefix_ - 1, root_, 0, prefix_ - 1) != 0 || path[prefix_ - 1] != '/')
        D_THROW(io_error_exception, "%s is not below the cache root %s", escape_log_text(path).c_str(),
                escape_log_text(root_).c_str());
    return path.substr(prefix_);
}

int tree_t::open_file(const std::string& path) const {
    const std::string rel = relative(path);
    int fd = open_beneath(fd_.get(), rel, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0 || errno != ENOSYS) return fd;
    std::string leaf;
    fd_t dir = open_parent(path, false, leaf);
    if (!dir) return -1;
    return ::openat(dir.get(), leaf.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

fd_t tree_t::open_dir(const std::string& path, bool create) const {
    const std::string rel = relative(path);
    if (rel.empty()) return fd_t(::dup(fd_.get()));
    return open_below(fd_.get(), rel, create);
}

fd_t tree_t::open_parent(const std::string& path, bool create, std::string& leaf) const {
    const std::string rel = relative(path);
    const size_t slash = rel.rfind('/');
    leaf = rel.substr(slash == std::string::npos ? 0 : slash + 1);
    if (slash == std::string::npos) return fd_t(::dup(fd_.get()));
    return open_below(fd_.get(), rel.substr(0, slash), create);
}

fd_t tree_t::open_below(int top, const std::string& rel, bool create) const {
    {
        // The usual case in one call: the directory is there, as the cache's own.
        fd_t fd(open_beneath(top, rel, dir_flags));
        struct stat st;
        if (fd && ::fstat(fd.get(), &st) == 0 && own(st)) return fd;
    }
    // Else piece by piece, to make, clear or refuse what is in the way.
    fd_t current(::dup(top));
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
        if (next && ::fstat(next.get(), &st) == 0 && own(st)) {
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
        if (!next || ::fstat(next.get(), &st) != 0 || !own(st))
            D_THROW(obstruction_error, "cannot open %s as a directory of the cache: %s", escape_log_text(shown).c_str(),
                    next ? "it changed meanwhile" : strerror(errno));
        current = std::move(next);
    }
    return current;
}

void tree_t::clear(int dir, const std::string& name, const std::string& path, bool stale) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
        D_THROW(io_error_exception, "cannot examine %s: %s", escape_log_text(path).c_str(), strerror(errno));
    }
    const bool usable = S_ISREG(st.st_mode) && own(st);
    if (usable && !stale) return;
    if (!remove_tree(dir, name))
        D_THROW(obstruction_error, "cannot remove %s \"%s\", which stands where the cache keeps a file: %s",
                kind_of(st), escape_log_text(path).c_str(), strerror(errno));
    if (!usable)
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Removed %s \"%s\" where the cache keeps a file", kind_of(st),
               escape_log_text(path).c_str());
}

bool tree_t::remove_tree(int dir, const std::string& name) {
    if (::unlinkat(dir, name.c_str(), 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    int sub = ::openat(dir, name.c_str(), dir_flags);
    if (sub < 0) return false;
    DIR* listing = ::fdopendir(sub);
    if (!listing) {
        ::close(sub);
        return false;
    }
    bool emptied = true;
    while (struct dirent* entry = ::readdir(listing)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        emptied = remove_tree(::dirfd(listing), entry->d_name) && emptied;
    }
    int error = errno;
    ::closedir(listing);
    if (!emptied) {
        errno = error;
        return false;
    }
    return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

bool tree_t::own(const struct stat& st) {
    static const uid_t me = ::geteuid();
    return st.st_uid == me && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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
    if (!own(st)) return S_ISDIR(st.st_mode) ? "a directory other users control" : "a file other users control";
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISREG(st.st_mode)) return "a file";
    return "a special file";
}

}  // namespace cache
