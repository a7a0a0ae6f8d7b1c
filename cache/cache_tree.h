// The cache root and every access below it. The daemon runs as root and the
// default root lies under a directory every local user may write into, so a
// link or a foreign directory planted in the tree must never lead a write,
// a rename, a deletion or a reply outside it: the root is opened once, from
// "/" down, on checked descriptors; nothing below it is reached through a
// symbolic link; and what stands where the cache keeps a file or a
// directory but is not one of its own is removed, not used.
//
// A place in the tree is named by a path that begins with the configured
// root (root()): that text is what messages show, and it is only ever
// resolved below the root's descriptor, never looked up again from "/".
//
// How failures are told, one way for each kind of call:
// - opening the root raises cache_error saying why the root is refused;
// - a lookup (open_file; open_dir, open_parent and dir_cache_t::parent
//   without `create`) never raises for what the tree holds: it answers with
//   no descriptor and errno set (ENOENT: nothing there; ELOOP: something
//   there that is not the cache's own);
// - a change (open_dir, open_parent and dir_cache_t::parent with `create`,
//   clear_for_file, remove_leftover) raises obstruction_error naming the
//   path and the system's reason;
// - the primitives under the changes, remove_tree and open_listing, answer
//   false or null with errno and leave the message to their caller, which
//   knows what the entry was.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "cache/file_stamp.h"
#include "cache/link_index.h"
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

/// What a load could not look through below the root (see scan_tree), by
/// path relative to the root, each with why ("cannot open PATH: REASON").
typedef std::map<std::string, std::string> unseen_t;

/// The parent directory of the last path asked for, kept open while the
/// next path lies in the same directory: one announcement links thousands
/// of files into one revision directory.
class dir_cache_t {
public:
    /// As tree_t::open_parent, but the descriptor stays this cache's: it is
    /// valid until the next call or the cache's end, and -1 (errno set)
    /// stands for the empty descriptor of a lookup.
    int parent(const tree_t& tree, const std::string& path, bool create, std::string& leaf);

private:
    std::string dir_;
    fd_t fd_;
};

class tree_t : public virtual noncopyable_t {
public:
    /// Opens the root from "/" one directory at a time, following no link
    /// it has not checked, and checks each directory on its descriptor. On
    /// the way, every directory belongs to the system (user 0) or to the
    /// daemon's user and no other user may write into it, unless it is
    /// sticky (other users then cannot move what those two own in it); a
    /// link is followed only when one of those two owns it, and what it
    /// leads to is checked the same way. The root itself is a directory of
    /// the daemon's user that no other user may write into. Missing
    /// directories are made (the root 0700, its parents 0755). cache_error
    /// says why a root is refused.
    static tree_ptr open(const std::string& root);
    /// Bytes a root's path may have, at most (2048): every path below it
    /// counts them, and names need the rest of the system's path limit.
    static size_t longest_root;

    /// The root as configured; paths below it begin with it.
    const std::string& root() const { return root_; }
    /// The opened root's device and inode: what it is, whatever its name.
    std::pair<dev_t, ino_t> identity() const { return identity_; }
    /// `path` (the root or below it) relative to the root; "" for the root.
    std::string relative(const std::string& path) const;

    /// Opens the file at `path` below the root for reading, non-blocking
    /// (a named pipe put in its place cannot hold the caller), without
    /// following any link on the way; ELOOP for a link.
    fd_t open_file(const std::string& path) const;
    /// Opens the directory at `path` (the root or below it), following no
    /// link. With `create`, missing directories are made and an obstruction
    /// (a link, a file, a foreign directory) is removed first with a
    /// WARNING. Without, a directory that is not there as the cache's own
    /// is a failed lookup.
    fd_t open_dir(const std::string& path, bool create) const;
    /// The parent directory of `path`, opened as open_dir does, and its
    /// leaf; with `create`, for a file to be written there and at its
    /// temporary name (the leaf with "~" appended).
    fd_t open_parent(const std::string& path, bool create, std::string& leaf) const;

    /// Takes what the load could not look through. Another user's entry may
    /// lie there unseen: until the next load, a change (with `create`
    /// above) that would write there, in it, or remove what holds it raises
    /// obstruction_error, and the load and the cleaner's load of a revision
    /// leave it as it is. A reload that goes on with the tree replaces it
    /// while the tree is shared; what it then looks through again
    /// (`loading`) refuses those changes as well until end_loading, while
    /// the load itself looks through it.
    void set_unseen(unseen_t unseen, unseen_t loading = unseen_t()) const;
    /// What the last load could not look through.
    unseen_t unseen_now() const;
    /// What was looked through again is loaded: changes there go on.
    void end_loading() const;
    /// True when `path` is or lies in what the load could not look through
    /// (with `holding`, or when such a thing lies in `path`).
    bool unseen(const std::string& path, bool holding) const;
    /// The relative path in `set` that `rel` is or lies in (with `holding`,
    /// or that lies in `rel`); null for none.
    static const std::string* unseen_in(const unseen_t& set, const std::string& rel, bool holding);
    /// Raises obstruction_error when a file at `path` would be written in
    /// what the load could not look through: a download that began before
    /// a reload set its directory aside.
    void keep_unseen_file(const std::string& path) const { keep_unseen(relative(path), true); }

    /// A listing of `dir` from its start, on a close-on-exec copy of the
    /// descriptor (closedir closes the copy, never `dir`); null with errno set.
    static DIR* open_listing(int dir);
    /// Makes room for a file at `leaf` in `dir`: whatever stands there and
    /// is not a regular file the cache owns is removed, with one WARNING
    /// that names it as `shown`.
    static void clear_for_file(int dir, const std::string& leaf, const std::string& shown);
    /// Removes a temporary file left behind at `leaf` in `dir`, whatever it
    /// is: silently when it is a regular file the cache owns, else with the
    /// WARNING of clear_for_file.
    static void remove_leftover(int dir, const std::string& leaf, const std::string& shown);
    /// Removes `name` in `dir` and, for a directory, everything in it,
    /// following no link, with three descriptors at most whatever the depth,
    /// and staying on the mount of `dir`: no mount point is entered (a bind
    /// mount of the same file system neither), what lies there stays, and
    /// the call fails with EXDEV.
    static bool remove_tree(int dir, const std::string& name);
    /// True when the open directory `sub` lies on the same mount as `dir`
    /// and is no mount point itself, told by the device and the mount id
    /// (from statx, else from /proc/self/fdinfo); false where no mount id
    /// can be had, as for a mount point.
    static bool same_mount(int dir, int sub);
    /// True for an entry the cache may use as its own: owned by the daemon's
    /// user and writable by nobody else.
    static bool cache_owned(const struct stat& st);
    /// "a symbolic link", "a directory", ... for a WARNING.
    static const char* kind_of(const struct stat& st);
    /// What the cache's own links and removals left of its files' status.
    own_changes_t& own_changes() const { return own_changes_; }
    /// The ready stored files that a new revision's identical file is linked from.
    link_index_t& links() const { return links_; }

private:
    tree_t(const std::string& root, fd_t fd, const struct stat& st);
    /// Opens `rel` below `dir` in one call that refuses every link on the
    /// way; -1 (errno set) when it cannot, or where no such call is at hand.
    int open_beneath(int dir, const std::string& rel, int flags) const;
    fd_t open_below(int dir, const std::string& relative, bool create) const;
    /// Raises obstruction_error naming what the load could not look
    /// through, or a reload looks through again, that `rel` is or lies in.
    void keep_unseen(const std::string& rel, bool holding) const;

    std::string root_;
    /// Length of the prefix that paths below the root share ("root/").
    size_t prefix_;
    fd_t fd_;
    std::pair<dev_t, ino_t> identity_;
    /// Whether openat2 with the flags open_beneath needs works here: decided
    /// once, when the root is opened. A system-call filter answers it with
    /// EPERM, an old kernel with ENOSYS, one without the flags with EINVAL
    /// or E2BIG; the cache then walks step by step, which is as safe.
    bool beneath_ = false;
    /// Shared by every file of the tree, whatever revision names it.
    mutable own_changes_t own_changes_;
    mutable link_index_t links_;
    /// Replaced whole by a reload while readers search their own copy.
    mutable std::mutex unseen_mutex_;
    mutable boost::shared_ptr<const unseen_t> unseen_;
    mutable boost::shared_ptr<const unseen_t> loading_;
};

}  // namespace cache
