// The cache root and every access below it. The daemon runs as root and the
// default root lies under a directory every local user may write into, so a
// link or a foreign directory planted in the tree must never lead a write,
// a rename, a deletion or a reply outside it: nothing below the root is
// reached through a symbolic link, and what stands where the cache keeps a
// file or a directory but is not one of its own is removed, not used.
#pragma once

#include <sys/stat.h>

#include <string>

#include <boost/shared_ptr.hpp>

#include "oslayer/_kern.h"

namespace cache {

/// Something stands where the cache keeps a file or a directory and cannot
/// be removed, or a downloaded file cannot take its place: the cache's own
/// trouble, which fails that file alone.
D_DECLARE_EXCEPTION(obstruction_error, io_error_exception, io_error_exception_shell_t);

/// An open descriptor, closed with its holder.
class fd_t {
public:
    fd_t() = default;
    explicit fd_t(int fd) : fd_(fd) {}
    fd_t(fd_t&& other) noexcept : fd_(other.release()) {}
    fd_t& operator=(fd_t&& other) noexcept;
    fd_t(const fd_t&) = delete;
    fd_t& operator=(const fd_t&) = delete;
    ~fd_t() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

class tree_t;
typedef boost::shared_ptr<const tree_t> tree_ptr;

/// The parent directory of the last path asked for, kept open while the
/// next path lies in the same directory: one announcement links thousands
/// of files into one revision directory.
class dir_cache_t {
public:
    /// As tree_t::open_parent; -1 (errno set) when there is no such directory.
    int parent(const tree_t& tree, const std::string& path, bool create, std::string& leaf);

private:
    std::string dir_;
    fd_t fd_;
};

class tree_t : public virtual noncopyable_t {
public:
    /// Checks the root, creating it (mode 0700) and its missing parents
    /// (0755) when missing. An existing root must be a directory owned by
    /// the daemon's user that no other user may write into, reached through
    /// no symbolic link of another user; cache_error says why it is refused.
    static tree_ptr open(const std::string& root);

    /// The root as configured; paths below it begin with it.
    const std::string& root() const { return root_; }
    /// The root with every link resolved: one directory, one name.
    const std::string& canonical() const { return canonical_; }
    /// `path` (the root or below it) relative to the root; "" for the root.
    std::string relative(const std::string& path) const;

    /// Opens the file at `path` below the root for reading without following
    /// any link on the way and without blocking (a named pipe put there opens
    /// at once); -1 with errno (ELOOP for a link) when it cannot.
    int open_file(const std::string& path) const;
    /// Opens the directory at `path` (the root or below it), following no
    /// link. With `create`, missing directories are made and an obstruction
    /// (a link, a file, a foreign directory) is removed first with a
    /// WARNING; a failure raises obstruction_error. Without, an empty fd_t
    /// (errno set) stands for a directory that is not there as the cache's own.
    fd_t open_dir(const std::string& path, bool create) const;
    /// The parent directory of `path`, opened as open_dir does, and its leaf.
    fd_t open_parent(const std::string& path, bool create, std::string& leaf) const;

    /// Makes room for a file at `name` in `dir` (whose path is `path`):
    /// whatever stands there and is not a regular file of the daemon's user,
    /// nor writable by others, is removed with one WARNING; so is a regular
    /// one when `stale` (a temporary file left behind), silently. Raises
    /// obstruction_error when it cannot be removed.
    static void clear(int dir, const std::string& name, const std::string& path, bool stale);
    /// Removes `name` in `dir` and, for a directory, everything in it,
    /// following no link; false with errno when something stays.
    static bool remove_tree(int dir, const std::string& name);
    /// True for an entry the cache may use as its own: owned by the daemon's
    /// user and writable by nobody else.
    static bool own(const struct stat& st);
    /// "a symbolic link", "a directory", ... for a WARNING.
    static const char* kind_of(const struct stat& st);

private:
    tree_t(const std::string& root, const std::string& canonical, fd_t fd);
    fd_t open_below(int dir, const std::string& relative, bool create) const;

    std::string root_;
    std::string canonical_;
    /// Length of the prefix that paths below the root share ("root/").
    size_t prefix_;
    fd_t fd_;
};

}  // namespace cache
