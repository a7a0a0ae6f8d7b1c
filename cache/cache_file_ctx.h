// The in-memory handle of one update file of the cache: what was announced
// for it, where it lives, whether its content is there, the download that
// fills it, and the read-only mapping through which agents are served.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "cache/cache.h"
#include "oslayer/md5.h"

namespace cache {

class cache_t::file_ctx_t : public virtual noncopyable_t {
public:
    enum state_t : int32_t { ready = 0, in_download = 1, not_existent = 2 };

    /// dir / leaf, where the leaf is the name with its first '/' turned into
    /// '~' (or '~' put before a name without one), then '~' and the md5 text.
    /// Raises cache_error for a name or md5 whose leaf would leave `dir`.
    static std::string build_path(const std::string& dir, const file_info_t& info);
    /// The name a leaf stands for: the inverse of build_path for names without '~'.
    static std::string name_from_leaf(const std::string& leaf);

    /// A stored file found on disk: ready and mapped, its md5 computed from the content.
    static file_ptr create(const std::string& path);
    /// An announced file that is not on disk yet.
    static file_ptr create_not_existent(const std::string& dir, const file_info_t& info);
    /// A hard link in `dir` to a ready file of another revision.
    static file_ptr create_hardlinked(const std::string& dir, const file_ptr& source);

    ~file_ctx_t();

    /// The final path with '~' appended: where the download writes.
    std::string temp_path() const { return path + "~"; }
    /// Turns the file in_download and starts a fresh md5.
    void download_started();
    /// Bytes still expected by the running download.
    uint32_t remaining() const;
    /// Appends downloaded bytes; at the announced size the md5 is checked and
    /// the file takes its final name. Any failure turns the file not_existent,
    /// deletes the temporary file and passes the error on.
    void write(const char* data, size_t length);
    /// Ends an unfinished download: not_existent, temporary file deleted.
    void download_cancelled();
    /// The bytes of a ready file: its shared mapping (made on first use),
    /// within the process's mapping budget; empty when the file is not ready.
    mapping_ptr map();
    /// Drops the context's own mapping when unused for longer than `span`.
    void unmap_if_unused(boost::posix_time::time_duration span);
    /// Deletes the final file; false only when the deletion fails.
    bool remove();

    int32_t get_state() const { return state.load(); }

    file_info_t info;
    std::atomic<int32_t> state{ready};
    /// Guarded by the mapping budget's lock, like the members it keeps below.
    mapping_ptr mapping;
    std::string path;

private:
    friend class mapping_budget_t;
    file_ctx_t() = default;
    void finish();
    void close_temp();
    void open_temp();

    FILE* temp_ = nullptr;
    uint64_t written_ = 0;
    md5_t md5_;
    boost::posix_time::ptime last_use_;
    /// The file's place in the budget's list while it holds a mapping.
    std::list<file_ctx_t*>::iterator lru_;
    bool listed_ = false;
};

}  // namespace cache
