// The file that binding a local (unix) socket creates: a file left behind by
// a process that is gone is replaced at bind, and the file a socket created
// is removed again when that socket's owner goes away.
#pragma once

#include <sys/types.h>

#include <string>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

namespace io {
namespace discovery {
namespace detail {

/// True for a path that names a file in the file system (not abstract, not empty).
bool is_filesystem_path(const std::string& path);

/// Removes `path` when it is a socket file that nobody serves any more
/// (a connect of a `type` socket to it is refused); true when removed.
/// Never removes a file that is not a socket or a socket somebody listens on.
bool remove_stale_socket_file(const std::string& path, int type);

/// Binds `socket` to the local `endpoint`; when the path is taken by a stale
/// socket file, that file is replaced once. Errors raise boost::system::system_error.
template <class Socket, class Endpoint>
void bind_local(Socket& socket, const Endpoint& endpoint, int type) {
    boost::system::error_code ec;
    socket.bind(endpoint, ec);
    if (ec == boost::system::errc::address_in_use && remove_stale_socket_file(endpoint.path(), type)) {
        ec.clear();
        socket.bind(endpoint, ec);
    }
    if (ec) throw boost::system::system_error(ec, "bind");
}

/// Remembers the socket file a bind created and unlinks it on destruction,
/// unless the path has meanwhile been taken by another file.
class socket_file_owner {
public:
    socket_file_owner() = default;
    socket_file_owner(const socket_file_owner&) = delete;
    socket_file_owner& operator=(const socket_file_owner&) = delete;
    ~socket_file_owner() { release(); }

    /// Takes ownership of the file now at `path`; call right after a successful bind.
    void claim(const std::string& path);
    /// Unlinks the claimed file if it is still the one claimed.
    void release();

private:
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool claimed_ = false;
};

}  // namespace detail
}  // namespace discovery
}  // namespace io
