// The bound on the memory mappings the cache's files hold. The kernel lets a
// process have about 65,000 mappings; a cache that kept one per file it ever
// served ran out of them (and with them of memory for anything else) after
// one large announcement. The most recently used files keep their mapping,
// up to a budget; beyond it the least recently used one is dropped (a reply
// still sending it keeps it alive until sent), and a small file is read
// instead of taking a mapping at all.
#pragma once

#include <cstddef>
#include <list>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <vector>

#include "cache/cache.h"

namespace cache {

/// Mappings of the cache's files, least recently used dropped first. One
/// for the process, as the kernel's limit is: the caches of two
/// configuration passes share it while the old one winds down. Its lock is
/// taken last of all (under a cache's mutex and under a connection's send
/// lock) and nothing is called out while it is held.
class mapping_budget_t : public virtual noncopyable_t {
public:
    /// The process's budget; never destroyed, so a file context released
    /// during exit still finds it.
    static mapping_budget_t& global();

    /// Mappings the cache's files hold at most: 4096 by default, well under the
    /// kernel's default of 65,530 per process, so that the connections'
    /// buffers, thread stacks and replies in flight keep room. Read when a
    /// mapping is made; tests lower it.
    static size_t limit;
    /// Files below this size are read into memory rather than mapped once the
    /// budget is full (64 KiB, one send batch): a reply then holds at most a
    /// couple of mappings of its own beyond the budget at any time.
    static const size_t copy_below = 64 << 10;

    /// The bytes of a ready file: the mapping the file holds, else a new one
    /// (kept while the budget allows, or while a reply uses it), else a
    /// private copy of a small file. Raises io_error_exception_shell_t for a
    /// file that cannot be read or whose size is not the announced one.
    mapping_ptr bytes(cache_t::file_ctx_t& file);
    /// Drops the file's mapping when unused for longer than `span`.
    void unmap_if_unused(cache_t::file_ctx_t& file, boost::posix_time::time_duration span);
    /// The file is being destroyed: it leaves the list.
    void forget(cache_t::file_ctx_t& file);
    /// Mappings the cache's files hold now.
    size_t held();
    /// Files read rather than mapped since the start, for tests and benchmarks.
    size_t copies();

private:
    /// Puts `file` first, holding `mapping`; returns mappings dropped to stay
    /// within the budget, to be released once the lock is let go.
    std::vector<mapping_ptr> keep_locked(cache_t::file_ctx_t& file, const mapping_ptr& mapping);

    mutex_t mutex_;
    /// Files holding a mapping, most recently used first.
    std::list<cache_t::file_ctx_t*> lru_;
    size_t copies_ = 0;
};

}  // namespace cache
