// The bounded writer follows its descriptor: a file put on its number (a
// detach's /dev/null, another pipe) is written from then on, and its copy of
// the earlier pipe is closed, so that pipe's reader sees its end; a console
// it cannot open again holds no write past its bound.
#include <poll.h>
#include <sys/fsuid.h>

#include "oslayer/bounded-write.h"
#include "test_support.h"

namespace {

/// What a pipe's reader sees within a second: its bytes, "<end>" once no writer is left, or "<open>".
std::string read_pipe(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    char buffer[64];
    ssize_t n = ::poll(&p, 1, 1000) == 1 ? ::read(fd, buffer, sizeof buffer) : -1;
    return n < 0 ? "<open>" : n == 0 ? "<end>" : std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

TEST(BoundedWrite, FollowsItsDescriptorAndKeepsNoCopyOfWhatItWas) {
    int first[2], second[2], null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(::pipe2(first, O_CLOEXEC) == 0 && ::pipe2(second, O_CLOEXEC) == 0 && null_fd >= 0);
    const int console = ::fcntl(first[1], F_DUPFD_CLOEXEC, 3);
    bounded_writer_t writer(console), silent(console);
    EXPECT_EQ(writer.write("1", 1, 0), 1u);
    EXPECT_EQ(read_pipe(first[0]), "1");
    // Another pipe on the number, which nobody reads: written there, within the bound.
    ::dup2(second[1], console);
    ::fcntl(second[1], F_SETPIPE_SZ, 4096);
    std::string flood(1 << 16, 'x');
    ::alarm(30);  // a writer that waits on the full pipe fails the test here rather than hang it
    EXPECT_LT(writer.write(flood.data(), flood.size(), 100), flood.size());
    ::alarm(0);
    // /dev/null on the number: told so, also the writer that wrote nothing since keeps no copy.
    ::dup2(null_fd, console);
    bounded_writer_t::follow_descriptors();
    ::close(first[1]);
    ::close(second[1]);
    EXPECT_EQ(read_pipe(first[0]), "<end>");
    ::fcntl(second[0], F_SETFL, O_NONBLOCK);
    size_t taken = 0;
    for (ssize_t n; (n = ::read(second[0], &flood[0], flood.size())) > 0;) taken += static_cast<size_t>(n);
    EXPECT_GT(taken, 0u);
    EXPECT_EQ(read_pipe(second[0]), "<end>");
    EXPECT_EQ(silent.write("2", 1, 0), 1u);
    for (int fd : {first[0], second[0], null_fd, console}) ::close(fd);
}

TEST(BoundedWrite, ATerminalNobodyReadsThatCannotBeOpenedAgainHoldsNoWritePastItsBound) {
    const int terminal_side = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(terminal_side >= 0 && ::grantpt(terminal_side) == 0 && ::unlockpt(terminal_side) == 0);
    const int console = ::open(::ptsname(terminal_side), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(console, 0);
    // Another user's terminal: its mode lets nobody open it, and root here opens it as nobody.
    ASSERT_EQ(::fchmod(console, 0), 0);
    const int user = ::setfsuid(65534);
    bounded_writer_t writer(console);
    ::setfsuid(user);
    std::string flood;
    while (flood.size() < (1 << 20)) flood += std::string(99, 'x') + '\n';  // lines, which the terminal ends with CR LF
    ::alarm(30);  // a write that waits for the terminal fails the test here rather than hang it
    EXPECT_LT(writer.write(flood.data(), flood.size(), 100), flood.size());
    EXPECT_LT(writer.write(flood.data(), flood.size(), 0), flood.size());
    ::alarm(0);
    EXPECT_EQ(::fcntl(console, F_GETFL) & O_NONBLOCK, 0) << "the shared file description keeps its flags";
    for (int fd : {console, terminal_side}) ::close(fd);
}
