// Whole-file read and write with plain descriptor I/O. Every failure leaves
// as an I/O error whose message names the file the caller passed.
#include "filestr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "_kern.h"
#include "utilities.h"

namespace {

/// Closes the descriptor on every way out of a function.
class fd_guard_t {
public:
    explicit fd_guard_t(int d) : fd(d) {}
    ~fd_guard_t() {
        if (fd >= 0) ::close(fd);
    }
    fd_guard_t(const fd_guard_t&) = delete;
    fd_guard_t& operator=(const fd_guard_t&) = delete;
    int fd;
};

/// A zero-terminated heap copy of a view.
std::unique_ptr<char[]> zcopy(const lstr_t& v) {
    std::unique_ptr<char[]> out(new char[v.length + 1]);
    if (v.length != 0) memcpy(out.get(), v.ptr, v.length);
    out[v.length] = 0;
    return out;
}

void drop_tail_create_path(char* path, char* end);

/// Makes the directory named by `path` (zero-terminated at `end`), parents first.
void create_path(char* path, char* end) {
    TRACE_POINT;
    int rc;
    while ((rc = ::mkdir(path, 0755)) < 0 && errno == EINTR) {}
    if (rc == 0) return;
    if (errno != ENOENT)
        D_THROW(dir_create_exception, "cannot create directory <%s> because of %s", path, get_last_error().c_str());
    drop_tail_create_path(path, end);
    while ((rc = ::mkdir(path, 0755)) < 0 && errno == EINTR) {}
    if (rc != 0)
        D_THROW(dir_create_exception, "cannot create directory <%s> because of %s", path, get_last_error().c_str());
}

/// Creates the directory that holds the last component before `end`; the
/// text is cut in place and restored before returning.
void drop_tail_create_path(char* path, char* end) {
    TRACE_POINT;
    char* slash = end;
    while (slash > path && *slash != '/') --slash;
    if (slash == path) D_THROW(dir_create_exception, "cannot create path because of parse failed");
    *slash = 0;
    try {
        create_path(path, slash);
    } catch (...) {
        *slash = '/';
        throw;
    }
    *slash = '/';
}

/// Opens `name` read-only and returns its size.
off_t open_for_read(const char* name, fd_guard_t& file) {
    while ((file.fd = ::open(name, O_RDONLY | O_LARGEFILE)) < 0 && errno == EINTR) {}
    if (file.fd < 0) {
        if (errno == ENOENT)
            D_THROW(noent_exception, "cannot open file \"%s\" because of %s", name, get_last_error().c_str());
        D_THROW(io_error_exception, "cannot open file \"%s\" because of %s", name, get_last_error().c_str());
    }
    struct stat st;
    int rc;
    while ((rc = ::fstat(file.fd, &st)) < 0 && errno == EINTR) {}
    if (rc < 0)
        D_THROW(io_error_exception, "cannot get information about file \"%s\" because of %s", name,
                get_last_error().c_str());
    return st.st_size;
}

/// Reads exactly `size` bytes into `to`; the kernel hands out large files in
/// pieces (at most about 2 GiB per call), so a short read is only an error
/// when the file ends first.
void read_all(int fd, const char* name, char* to, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, to + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            D_THROW(io_error_exception, "cannot read file \"%s\" because of %s", name, get_last_error().c_str());
        }
        if (n == 0) D_THROW(invalid_io_range_exception, "short data has been readed from file \"%s\"", name);
        done += static_cast<size_t>(n);
    }
}

void file2mbuf_body(mbuf_t& buf, const char* name, size_t offset, size_t size) {
    fd_guard_t file(-1);
    const size_t file_size = static_cast<size_t>(open_for_read(name, file));
    if (offset != 0) {
        if (offset >= file_size) D_THROW(invalid_io_range_exception, "read start point is out of file \"%s\"", name);
        off_t rc;
        while ((rc = ::lseek(file.fd, static_cast<off_t>(offset), SEEK_SET)) < 0 && errno == EINTR) {}
        if (rc < 0)
            D_THROW(io_error_exception, "cannot set file \"%s\" read pointer because of %s", name,
                    get_last_error().c_str());
    }
    // The whole-file marker means the rest of the file after the offset.
    if (size == file2mbuf_whole) size = file_size - offset;
    if (size > file_size - offset) D_THROW(invalid_io_range_exception, "cannot read after end of file \"%s\"", name);
    if (size == 0) return;
    const size_t old_used = buf.used;
    char* to = buf.extend(size);
    try {
        read_all(file.fd, name, to, size);
    } catch (...) {
        // The caller's bytes stay as they were; no undefined tail is left.
        buf.used = old_used;
        throw;
    }
}

void write_all(int fd, const char* name, const lstr_t& data) {
    size_t done = 0;
    while (done < data.length) {
        ssize_t n = ::write(fd, data.ptr + done, data.length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            D_THROW(io_error_exception, "cannot write into file \"%s\" because of %s", name, get_last_error().c_str());
        }
        if (n == 0) D_THROW(io_error_exception, "short data has been written into file \"%s\"", name);
        done += static_cast<size_t>(n);
    }
}

/// Opens the new file, creating missing directories once when asked to.
void open_for_write(const char* name, size_t name_len, int& flags, mode_t mode, fd_guard_t& file) {
    for (;;) {
        file.fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, mode);
        if (file.fd >= 0) return;
        if (errno == EINTR) continue;
        if (errno == ENOENT && (flags & lstr2file_create_path) != 0 && name_len != 0) {
            std::unique_ptr<char[]> copy = zcopy(lstr_t(name_len, name));
            drop_tail_create_path(copy.get(), copy.get() + name_len - 1);
            flags &= ~lstr2file_create_path;
            continue;
        }
        D_THROW(io_error_exception, "cannot open file \"%s\" because of %s", name, get_last_error().c_str());
    }
}

void lstr2file_body(const char* name, const lstr_t& data, int flags) {
    int rc;
    // Always a new file: other hard links to the old one keep their content.
    while ((rc = ::unlink(name)) < 0 && errno == EINTR) {}
    const mode_t mode = (flags & lstr2file_private) != 0 ? 0600 : 0644;
    fd_guard_t file(-1);
    open_for_write(name, strlen(name), flags, mode, file);
    // The umask may have narrowed the mode given to open.
    while ((rc = ::fchmod(file.fd, mode)) < 0 && errno == EINTR) {}
    write_all(file.fd, name, data);
    if ((flags & lstr2file_sync) != 0 && ::fsync(file.fd) < 0)
        D_THROW(io_error_exception, "cannot synchronize file \"%s\" because of %s", name, get_last_error().c_str());
    // A file system may report a failed write-back only at close: that is a
    // failed write, not a success. close(2) is not retried on EINTR on Linux.
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) < 0 && errno != EINTR)
        D_THROW(io_error_exception, "cannot write into file \"%s\" because of %s", name, get_last_error().c_str());
}

}  // namespace

void file2mbuf(mbuf_t& buf, const lstr_t& name, size_t offset, size_t size) {
    TRACE_POINT;
    std::unique_ptr<char[]> zname = zcopy(name);
    file2mbuf(buf, zname.get(), offset, size);
}

void file2mbuf(mbuf_t& buf, const char* name, size_t offset, size_t size) {
    TRACE_POINT;
    try {
        file2mbuf_body(buf, name, offset, size);
    } catch (const d_exception_t_shell_t&) {
        throw;
    } catch (const std::bad_alloc&) {
        D_THROW(io_error_exception, "cannot open file \"%s\" because of %s", name,
                "no enough memory to store entire file");
    } catch (const std::exception& e) {
        D_THROW(io_error_exception, "cannot open file \"%s\" because of %s", name, e.what());
    }
}

void lstr2file(const lstr_t& name, const lstr_t& data, int flags) {
    TRACE_POINT;
    std::unique_ptr<char[]> zname = zcopy(name);
    try {
        lstr2file_body(zname.get(), data, flags);
    } catch (dir_create_exception_shell_t& e) {
        const char* why = e.what();
        std::string reason = why != nullptr && *why != 0 ? why : "Unknown error while create directory";
        D_THROW_CAUSE(io_error_exception, e.release(), "cannot open file \"%s\" because of %s", zname.get(),
                      reason.c_str());
    }
}
