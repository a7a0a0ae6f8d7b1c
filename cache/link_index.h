// The ready stored files of a cache root by what linking one into a new
// revision needs: an announced file that a ready file of any revision holds
// already (the same leaf, size and md5) is hard-linked, not downloaded.
// Every announcement looks each of its files up here, under the cache's
// lock: the lookup costs the same however many revisions the cache holds.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/weak_ptr.hpp>

#include "cache/cache.h"

namespace cache {

/// The files that may be linked from, each found by its leaf, size and md5.
/// Files turn ready and stop being ready on any thread (a download that
/// completes, a reply that finds a file changed), so the index has a lock
/// of its own, taken last: it calls nothing while it holds it.
class link_index_t : public virtual noncopyable_t {
public:
    /// `file`, ready and stored under its revision's directory, may be
    /// linked from. Its leaf, size and md5 must not change while it is in
    /// the index (a loaded file takes another name of the same leaf).
    void add(const cache_t::file_ptr& file);
    /// `file` is no longer ready, or no longer stored.
    void remove(cache_t::file_ctx_t& file);
    /// A ready file to link for `info`, whose leaf the load names `stored`
    /// (file_ctx_t::stored_name): one of the same leaf holds the same bytes
    /// when its size and md5 are the same, and its link takes the path that
    /// `info` is stored at. Empty when there is none.
    cache_t::file_ptr find(const file_info_t& info, const std::string& stored);
    /// Files in the index.
    size_t size();

private:
    typedef std::vector<boost::weak_ptr<cache_t::file_ctx_t>> files_t;
    /// The key of every name of one leaf with the size and md5 of `info`.
    static uint64_t key_of(const std::string& stored, const file_info_t& info);
    /// Takes the file at `slot` out: the last takes its place.
    static void take_out(files_t& files, size_t slot);

    std::mutex mutex_;
    /// Per key, the files in any order, each knowing its place (link_slot_),
    /// so that one goes without a walk over the others. Held weakly: the
    /// index keeps no file alive, and one gone from memory is dropped when
    /// a lookup comes upon it.
    std::unordered_map<uint64_t, files_t> files_;
    size_t size_ = 0;
};

}  // namespace cache
