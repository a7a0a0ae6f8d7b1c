#include "io/discovery/local_address.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include <boost/system/system_error.hpp>

#include "oslayer/utilities.h"

namespace io {
namespace discovery {

namespace {

const std::string discovery_ending(".discovery");
/// The leading zero byte puts a name in the abstract namespace; the word
/// after it keeps this system's names apart from other programs' ones.
const std::string asker_prefix("\0velmod-explorer:", 17);

/// The longest name a local endpoint takes: sun_path less the byte that a
/// path's terminating zero would need.
constexpr std::size_t max_name = sizeof(::sockaddr_un().sun_path) - 1;

void throw_errno(int error, const char* what) {
    throw boost::system::system_error(boost::system::error_code(error, boost::system::system_category()), what);
}

/// Fills `out` from the kernel's generator; the random device where the call
/// is missing or filtered (a filter answers EPERM as often as ENOSYS).
void random_bytes(unsigned char* out, std::size_t size) {
    ssize_t got;
    while ((got = ::getrandom(out, size, 0)) < 0 && errno == EINTR) {}
    if (got == static_cast<ssize_t>(size)) return;
    int fd;
    while ((fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {}
    if (fd < 0) throw_errno(errno, "random source");
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            ::close(fd);
            throw_errno(error, "random source");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

const std::size_t max_local_discovery_path = max_name - discovery_ending.size();

boost::asio::local::datagram_protocol::endpoint local_discovery_address(const std::string& stream_path) {
    if (stream_path.size() > max_local_discovery_path) throw_errno(ENAMETOOLONG, "local discovery address");
    return boost::asio::local::datagram_protocol::endpoint(stream_path + discovery_ending);
}

std::string local_stream_path_of(const boost::asio::local::datagram_protocol::endpoint& source) {
    const std::string name = source.path();
    const std::size_t ending = discovery_ending.size();
    // An abstract name names no file, and an empty stream path none either.
    if (name.size() <= ending || name[0] == '\0' || name.compare(name.size() - ending, ending, discovery_ending) != 0)
        return std::string();
    return name.substr(0, name.size() - ending);
}

boost::asio::local::datagram_protocol::endpoint random_asker_address() {
    unsigned char bytes[12];
    random_bytes(bytes, sizeof bytes);
    std::string name = asker_prefix;
    for (unsigned char b : bytes) name += format_string("%02x", b);
    return boost::asio::local::datagram_protocol::endpoint(name);
}

}  // namespace discovery
}  // namespace io
