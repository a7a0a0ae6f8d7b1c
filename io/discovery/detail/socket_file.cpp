#include "io/discovery/detail/socket_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "oslayer/_kern.h"

namespace io {
namespace discovery {
namespace detail {

bool is_filesystem_path(const std::string& path) {
    return !path.empty() && path[0] != '\0';
}

namespace {

/// Result of a connect attempt to `path` with a fresh socket of `type`.
int probe_connect_errno(const std::string& path, int type) {
    int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    ::sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(::sockaddr_un, sun_path) + path.size());
    int rc = ::connect(fd, reinterpret_cast<const ::sockaddr*>(&addr), len);
    int error = rc == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

}  // namespace

bool remove_stale_socket_file(const std::string& path, int type) {
    TRACE_POINT;
    if (!is_filesystem_path(path) || path.size() >= sizeof(::sockaddr_un().sun_path)) return false;
    struct stat before;
    if (::lstat(path.c_str(), &before) != 0 || !S_ISSOCK(before.st_mode)) return false;
    // Only a refused connect proves that no socket is bound to the file any
    // more; a full backlog (EAGAIN), a wrong type or no permission means the
    // file may well be in use and must stay.
    if (probe_connect_errno(path, type) != ECONNREFUSED) return false;
    struct stat now;
    if (::lstat(path.c_str(), &now) != 0 || now.st_dev != before.st_dev || now.st_ino != before.st_ino) return false;
    return ::unlink(path.c_str()) == 0;
}

void socket_file_owner::claim(const std::string& path) {
    TRACE_POINT;
    release();
    struct stat st;
    if (!is_filesystem_path(path) || ::lstat(path.c_str(), &st) != 0) return;
    path_ = path;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    claimed_ = true;
}

void socket_file_owner::release() {
    if (!claimed_) return;
    claimed_ = false;
    struct stat st;
    // Somebody may have replaced the file since (another server after a
    // stale-file takeover); theirs is not ours to remove.
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) ::unlink(path_.c_str());
}

}  // namespace detail
}  // namespace discovery
}  // namespace io
