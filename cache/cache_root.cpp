#include "cache/cache_root.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "cache/cache.h"
#include "oslayer/utilities.h"

namespace fs = boost::filesystem;

namespace cache {

namespace {

const int walk_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

/// Symbolic links followed on the way to the root at most: the kernel's own
/// bound on one path lookup, so a root the system resolves is not refused.
const int max_root_links = 40;

[[noreturn]] void refuse(const std::string& root, const std::string& why) { refuse_root(root, why); }

/// The walk from "/" to the root: the directory reached so far, its path as
/// walked (what a refusal names) and the names still ahead.
struct root_walk_t {
    const std::string& root;
    fd_t dir;
    struct stat st;
    std::string at;
    std::deque<std::string> ahead;
    int links = 0;

    std::string shown(const std::string& path) const { return escape_log_text(path); }
    std::string below(const std::string& name) const { return at == "/" ? "/" + name : at + "/" + name; }

    // Puts the names of `path` in front of those still ahead.
    void prepend(const std::string& path) {
        std::vector<std::string> names;
        size_t start = 0;
        while (start <= path.size()) {
            size_t slash = path.find('/', start);
            if (slash == std::string::npos) slash = path.size();
            if (slash > start && path.compare(start, slash - start, ".") != 0)
                names.push_back(path.substr(start, slash - start));
            start = slash + 1;
        }
        ahead.insert(ahead.begin(), names.begin(), names.end());
    }

    void enter(fd_t next, const std::string& path) {
        if (!next || ::fstat(next.get(), &st) != 0)
            refuse(root, format_string("cannot open %s: %s", shown(path).c_str(), strerror(errno)));
        dir = std::move(next);
        at = path;
    }

    void start_at_top() { enter(fd_t(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), "/"); }

    // Another user who may write into a directory on the way could move the
    // rest of the way elsewhere; a sticky directory lets them move only
    // their own entries, and those are never entered.
    void check_ancestor() const {
        if (st.st_uid != 0 && st.st_uid != daemon_user())
            refuse(root, format_string("%s on the way to it belongs to user %u", shown(at).c_str(),
                                       static_cast<unsigned>(st.st_uid)));
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
            refuse(root, format_string("other users may write into %s on the way to it (mode %04o)", shown(at).c_str(),
                                       static_cast<unsigned>(st.st_mode & 07777)));
    }

    void check_root() const {
        if (st.st_uid != daemon_user())
            refuse(root, format_string("it is owned by user %u, not by the daemon's user %u",
                                       static_cast<unsigned>(st.st_uid), static_cast<unsigned>(daemon_user())));
        if (!tree_t::cache_owned(st))
            refuse(root, format_string("other users may write into it (mode %04o)",
                                       static_cast<unsigned>(st.st_mode & 07777)));
    }

    // The next directory, made when missing; empty when something else
    // (a link, a file) stands there.
    fd_t open_next(const std::string& name, bool last) {
        for (int attempt = 0;; ++attempt) {
            fd_t next(::openat(dir.get(), name.c_str(), walk_flags));
            if (next || errno == ELOOP || errno == ENOTDIR) return next;
            if (errno != ENOENT || attempt > 0)
                refuse(root, format_string("cannot open %s: %s", shown(below(name)).c_str(), strerror(errno)));
            if (::mkdirat(dir.get(), name.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST)
                refuse(root, format_string("cannot create %s: %s", shown(below(name)).c_str(), strerror(errno)));
        }
    }

    // What stands at `name` is no directory: a link of the system or of the
    // daemon's user is followed (its target walked and checked as the rest),
    // anything else refused.
    void follow(const std::string& name, bool last) {
        const std::string path = below(name);
        struct stat link;
        if (::fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0)
            refuse(root, format_string("cannot examine %s: %s", shown(path).c_str(), strerror(errno)));
        if (!S_ISLNK(link.st_mode))
            refuse(root, last ? std::string("it is not a directory")
                              : format_string("%s on the way to it is not a directory", shown(path).c_str()));
        if (link.st_uid != 0 && link.st_uid != daemon_user())
            refuse(root, format_string("it is reached through the symbolic link %s of user %u", shown(path).c_str(),
                                       static_cast<unsigned>(link.st_uid)));
        if (++links > max_root_links)
            refuse(root, format_string("it is reached through more than %d symbolic links", max_root_links));
        std::vector<char> target(PATH_MAX + 1);
        ssize_t n = ::readlinkat(dir.get(), name.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size())
            refuse(root, format_string("cannot read the symbolic link %s: %s", shown(path).c_str(),
                                       n < 0 ? strerror(errno) : "its target is empty or too long"));
        const std::string to(target.data(), static_cast<size_t>(n));
        if (to[0] == '/') start_at_top();
        prepend(to);
    }

    void step(const std::string& name) {
        const bool last = ahead.empty();
        if (name == "..") {
            const size_t slash = at.rfind('/');
            return enter(fd_t(::openat(dir.get(), "..", walk_flags)), slash == 0 ? "/" : at.substr(0, slash));
        }
        fd_t next = open_next(name, last);
        if (next) return enter(std::move(next), below(name));
        follow(name, last);
    }
};

}  // namespace

void refuse_root(const std::string& root, const std::string& why) {
    D_THROW(cache_error, "cache root %s refused: %s", escape_log_text(root).c_str(), why.c_str());
}

fd_t open_root(const std::string& root, struct stat& st) {
    root_walk_t walk{root, fd_t(), {}, std::string(), {}, 0};
    walk.start_at_top();
    walk.prepend(root);
    if (root.empty() || root[0] != '/') {
        boost::system::error_code ec;
        const fs::path cwd = fs::current_path(ec);
        if (ec) refuse(root, "the current directory is unknown: " + ec.message());
        walk.prepend(cwd.string());
    }
    while (!walk.ahead.empty()) {
        walk.check_ancestor();
        const std::string name = walk.ahead.front();
        walk.ahead.pop_front();
        walk.step(name);
    }
    walk.check_root();
    st = walk.st;
    return std::move(walk.dir);
}

}  // namespace cache
