// Descriptor-level file reading, the uptime text and the owning list.
#include "common-utils.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "utilities.h"

namespace {

/// Reads happen in pieces of this size: large enough for any /proc file in
/// one call, small enough not to matter on the heap.
const size_t read_piece = 524288;

/// Closes the descriptor on every way out of a file routine.
class fd_closer_t {
public:
    explicit fd_closer_t(int fd) : fd(fd) {}
    ~fd_closer_t() { ::close(fd); }
    fd_closer_t(const fd_closer_t&) = delete;
    fd_closer_t& operator=(const fd_closer_t&) = delete;

private:
    int fd;
};

/// lseek, retried while a signal interrupts it.
off_t seek_retrying(int fd, off_t offset, int whence) {
    off_t r;
    do {
        r = ::lseek(fd, offset, whence);
    } while (r == static_cast<off_t>(-1) && errno == EINTR);
    return r;
}

}  // namespace

int open_file(const char* path) {
    TRACE_POINT;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_LARGEFILE);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1)
        D_THROW(io_error_exception, "cannot open file \"%s\" for read because of %s", path, get_last_error().c_str());
    return fd;
}

void write_fully(int fd, const char* data, size_t size, bool socket) {
    while (size > 0) {
        ssize_t n = socket ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

std::string& read_entire_file(std::string& out, const char* path) {
    TRACE_POINT;
    int fd = open_file(path);
    fd_closer_t closer(fd);
    // The result does not matter: a fresh descriptor already stands at 0,
    // and descriptors that cannot seek (pipes) are read from where they are.
    (void)seek_retrying(fd, 0, SEEK_SET);
    std::unique_ptr<char[]> buffer(new char[read_piece]);
    for (;;) {
        ssize_t n = ::read(fd, buffer.get(), read_piece);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            D_THROW(io_error_exception, "cannot read file \"%s\" because of %s", path, get_last_error().c_str());
        }
        out.append(buffer.get(), static_cast<size_t>(n));
    }
    return out;
}

size_t get_file_length(const char* path) {
    TRACE_POINT;
    int fd = open_file(path);
    fd_closer_t closer(fd);
    off_t end = seek_retrying(fd, 0, SEEK_END);
    if (end == static_cast<off_t>(-1))
        D_THROW(io_error_exception, "cannot seek file \"%s\" beyond EOF because of %s", path, get_last_error().c_str());
    return static_cast<size_t>(end);
}

void format_uptime(timegap_t gap, std::string& out) {
    TRACE_POINT;
    out.reserve(out.size() + 80);
    // An uptime cannot be negative; a clock stepped back would otherwise
    // print every component as a huge unsigned number.
    int64_t ticks = gap.ticks < 0 ? 0 : gap.ticks;
    unsigned days = static_cast<unsigned>(to_units(ticks, time_unit::day));
    unsigned hours = static_cast<unsigned>(to_units(ticks, time_unit::hour, 1));
    unsigned minutes = static_cast<unsigned>(to_units(ticks, time_unit::minute, 1));
    unsigned seconds = static_cast<unsigned>(to_units(ticks, time_unit::second, 1));
    std::string text;
    if (days != 0) text = format_string("%02u-", days);
    text += format_string("%02u:%02u:%02u", hours, minutes, seconds);
    out += text;
}

removing_root_list_t::~removing_root_list_t() {
    TRACE_POINT;
    for (auto it = rbegin(); it != rend(); ++it) delete *it;
    clear();
}
