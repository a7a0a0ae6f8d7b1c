#include "cache/mapping_budget.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_file_ctx.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

size_t mapping_budget_t::limit = 4096;

namespace {

// Second resolution, as the unload timer compares it.
boost::posix_time::ptime use_time() { return boost::posix_time::second_clock::local_time(); }

}  // namespace

mapping_budget_t& mapping_budget_t::global() {
    static mapping_budget_t* const budget = new mapping_budget_t;
    return *budget;
}

mapping_ptr mapping_budget_t::bytes(cache_t::file_ctx_t& file) {
    bool room = false;
    {
        xlocker_t guard(mutex_);
        file.last_use_ = use_time();
        if (file.mapping) {
            lru_.splice(lru_.begin(), lru_, file.lru_);
            return file.mapping;
        }
        if (file.get_state() != cache_t::file_ctx_t::ready) return mapping_ptr();
        room = lru_.size() < limit;
        if (!room && file.info.size < copy_below) ++copies_;
    }
    // Made outside the lock: mapping a large file populates its pages, and
    // the other connections' replies must not wait for that.
    const bool copy = !room && file.info.size < copy_below;
    mapping_ptr made = file.read_bytes(copy);
    if (made->size() != file.info.size)
        D_THROW(io_error_exception, "%s has %lu bytes on disk, %lu announced", escape_log_text(file.path).c_str(),
                static_cast<unsigned long>(made->size()), static_cast<unsigned long>(file.info.size));
    if (copy || !made->mapped()) return made;
    std::vector<mapping_ptr> dropped;
    mapping_ptr kept;
    {
        xlocker_t guard(mutex_);
        // Another reply may have mapped the same file meanwhile: one mapping
        // is kept, the other ends with this call.
        if (file.mapping) {
            lru_.splice(lru_.begin(), lru_, file.lru_);
            return file.mapping;
        }
        dropped = keep_locked(file, made);
    }
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File %s was mapped to memory", escape_log_text(file.path).c_str());
    return made;
}

std::vector<mapping_ptr> mapping_budget_t::keep_locked(cache_t::file_ctx_t& file, const mapping_ptr& mapping) {
    file.mapping = mapping;
    lru_.push_front(&file);
    file.lru_ = lru_.begin();
    file.listed_ = true;
    std::vector<mapping_ptr> dropped;
    // The least recently used files give theirs up; a reply still sending
    // one keeps it until its bytes are out.
    while (lru_.size() > limit && lru_.back() != &file) {
        cache_t::file_ctx_t* oldest = lru_.back();
        dropped.push_back(oldest->mapping);
        oldest->mapping.reset();
        oldest->listed_ = false;
        lru_.pop_back();
    }
    return dropped;
}

void mapping_budget_t::unmap_if_unused(cache_t::file_ctx_t& file, boost::posix_time::time_duration span) {
    mapping_ptr dropped;
    {
        xlocker_t guard(mutex_);
        if (!file.mapping) return;
        boost::posix_time::time_duration idle = use_time() - file.last_use_;
        if (idle.is_special() || idle <= span) return;
        dropped.swap(file.mapping);
        lru_.erase(file.lru_);
        file.listed_ = false;
    }
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File mapping of %s was unmapped", escape_log_text(file.path).c_str());
}

void mapping_budget_t::forget(cache_t::file_ctx_t& file) {
    mapping_ptr dropped;
    xlocker_t guard(mutex_);
    if (!file.listed_) return;
    dropped.swap(file.mapping);
    lru_.erase(file.lru_);
    file.listed_ = false;
}

size_t mapping_budget_t::held() {
    xlocker_t guard(mutex_);
    return lru_.size();
}

size_t mapping_budget_t::copies() {
    xlocker_t guard(mutex_);
    return copies_;
}

}  // namespace cache
