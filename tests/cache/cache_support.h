// Helpers of the update cache's tests: a scratch cache root, announced files
// with real content and MD5, and a requester that records what it is handed.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "cache/cache.h"
#include "cache/cache_download_ctx.h"
#include "cache/cache_tree.h"
#include "oslayer/md5.h"
#include "io/test_support.h"
#include "oslayer/test_support.h"

namespace cache_test {

using oslayer_test::read_file;
using oslayer_test::scratch_t;

inline std::string md5_of(const std::string& bytes) {
    md5_t md5;
    md5.update(bytes.size(), bytes.data());
    md5.final();
    return md5.hex();
}

/// An announced file with its content.
struct blob_t {
    cache::file_info_t info;
    std::string bytes;
};

inline blob_t blob(const std::string& name, const std::string& bytes) {
    blob_t b;
    b.info.name = name;
    b.info.size = static_cast<uint32_t>(bytes.size());
    b.info.md5 = md5_of(bytes);
    b.bytes = bytes;
    return b;
}

inline std::vector<cache::file_info_t> infos(const std::vector<blob_t>& blobs) {
    std::vector<cache::file_info_t> out;
    for (const blob_t& b : blobs) out.push_back(b.info);
    return out;
}

inline std::vector<char> mask(const std::string& text) { return std::vector<char>(text.begin(), text.end()); }


/// The inode of `path`, 0 when there is none.
inline ino_t inode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
inline bool exists(const std::string& path) { return inode_of(path) != 0; }

using io_test::wait_until;

/// Sets or clears the immutable flag of a file or directory; false where
/// the file system has no such flag.
inline bool set_immutable(const std::string& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

/// While it lives, modes bind the calling thread as they bind any user but
/// root: the capabilities that pass them leave its effective set (each
/// thread has its own).
struct modes_bind_t {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {}, bound[2] = {};
    bool dropped = false;
    modes_bind_t() {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &head, saved) != 0) return;
        std::copy(saved, saved + 2, bound);
        bound[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped = ::syscall(SYS_capset, &head, bound) == 0;
    }
    ~modes_bind_t() {
        if (dropped) ::syscall(SYS_capset, &head, saved);
    }
};

/// The scratch directory as a checked cache root.
inline cache::tree_ptr tree_of(const scratch_t& dir) { return cache::tree_t::open(dir.path); }

/// Records ready files (as their bytes) and the downloads it is asked to run.
class requester_t : public cache::cache_events_t, public boost::enable_shared_from_this<requester_t> {
public:
    void files_ready(uint32_t request, const std::vector<cache::served_file_t>& files) override {
        std::lock_guard<std::mutex> lock(mutex);
        numbers.push_back(request);
        std::vector<std::string> bytes;
        for (const cache::served_file_t& f : files) {
            cache::mapping_ptr m = f.bytes();
            bytes.push_back(m && m->size() ? std::string(m->data(), m->size()) : "");
            mappings.push_back(m);
        }
        served.push_back(bytes);
        static std::atomic<int> sequence{0};
        order.push_back(++sequence);
        handed.insert(handed.end(), files.begin(), files.end());
    }
    bool can_download() const override { return downloads_allowed.load(); }
    bool can_download_later() const override { return downloads_later.load(); }
    void update_failed(uint32_t request, const std::string& reason) override {
        locked([&] {
            failed_numbers.push_back(request);
            failures.push_back(reason);
        });
    }
    size_t failure_count() { return locked([&] { return failures.size(); }); }
    void download_needed(const boost::shared_ptr<srv_side::download_context_t>& download) override {
        locked([&] { downloads.push_back(download); });
    }
    size_t served_count() { return locked([&] { return served.size(); }); }
    size_t download_count() { return locked([&] { return downloads.size(); }); }
    /// Takes the oldest download out (the test then owns it).
    boost::shared_ptr<srv_side::download_context_t> take_download() {
        return locked([&] {
            boost::shared_ptr<srv_side::download_context_t> d = downloads.front();
            downloads.erase(downloads.begin());
            return d;
        });
    }
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

    std::mutex mutex;
    std::vector<std::vector<std::string>> served;
    /// A process-wide sequence number per answer: who was served first.
    std::vector<int> order;
    /// The bytes taken when the files came, as a reply would hold them.
    std::vector<cache::mapping_ptr> mappings;
    std::vector<cache::served_file_t> handed;
    std::vector<std::string> failures;
    /// The request number each answer (`served`) and each failure carried.
    std::vector<uint32_t> numbers, failed_numbers;
    std::atomic<bool> downloads_allowed{true};
    std::atomic<bool> downloads_later{false};
    std::vector<boost::shared_ptr<srv_side::download_context_t>> downloads;
};

/// Plays the server's reply: the flagged files' bytes in list order, in
/// pieces of `chunk` bytes, then reports the body whole.
inline void reply(const boost::shared_ptr<srv_side::download_context_t>& d, const std::vector<blob_t>& list,
                  size_t chunk = 7) {
    std::string body;
    for (size_t i = 0; i < list.size(); ++i)
        if (d->mask()[i] == '1') body += list[i].bytes;
    for (size_t pos = 0; pos < body.size(); pos += chunk) d->write(body.data() + pos, std::min(chunk, body.size() - pos));
    d->done(true);
}

/// A cache on a scratch root with its I/O service run by a thread of its own.
struct fixture_t {
    scratch_t dir;
    boost::asio::io_service service;
    boost::asio::io_service::work work{service};
    boost::thread runner{[this] { service.run(); }};
    boost::shared_ptr<cache::cache_t> cache;

    explicit fixture_t(boost::posix_time::time_duration unload = boost::posix_time::minutes(10),
                       boost::posix_time::time_duration clean = boost::posix_time::hours(1)) {
        cache = cache::cache_t::create(service, dir.path, unload, clean);
    }
    ~fixture_t() {
        cache.reset();
        service.stop();
        runner.join();
    }
};

}  // namespace cache_test
