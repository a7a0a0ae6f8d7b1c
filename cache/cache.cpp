#include "cache/cache.h"

#include <algorithm>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_download_ctx.h"
#include "cache/cache_file_ctx.h"
#include "cache/cache_repo.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

bool operator==(const file_info_t& a, const file_info_t& b) {
    return a.size == b.size && a.name == b.name && a.md5 == b.md5;
}

bool operator==(const repo_key_t& a, const repo_key_t& b) {
    return a.rev == b.rev && a.name == b.name && a.platform == b.platform;
}

cache_events_t::~cache_events_t() {}

namespace {

bool same_owner(const boost::weak_ptr<cache_events_t>& a, const boost::weak_ptr<cache_events_t>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

const unsigned max_retry_seconds = 60;

/// Runs `body`; an error it raises is logged with `fmt` and its text put in
/// `reason`. True when it failed.
template <class Body>
bool failed(const char* fmt, std::string& reason, Body&& body) {
    try {
        body();
        return false;
    } catch (const d_exception_t_shell_t& e) {
        reason = e.what();
        pretty_print_exception(LOG_LEVEL_ERROR, fmt, e.what(), &e);
    } catch (const std::exception& e) {
        reason = e.what();
        pretty_print_exception(LOG_LEVEL_ERROR, fmt, e.what(), nullptr);
    } catch (...) {
        reason = "general error";
        pretty_print_exception(LOG_LEVEL_ERROR, fmt, "general error", nullptr);
    }
    return true;
}

}  // namespace

cache_t::cache_t(boost::asio::io_service& service, const std::string& root,
                 boost::posix_time::time_duration unload_period, boost::posix_time::time_duration clean_period)
    : service_(service),
      root_(root),
      repo_(boost::make_shared<repo_t>(root)),
      unload_period_(unload_period),
      clean_period_(clean_period),
      unload_timer_(service),
      clean_timer_(service) {}

cache_t::~cache_t() {}

boost::shared_ptr<cache_t> cache_t::create(boost::asio::io_service& service, const std::string& root,
                                           boost::posix_time::time_duration unload_period,
                                           boost::posix_time::time_duration clean_period) {
    boost::shared_ptr<cache_t> cache(new cache_t(service, root, unload_period, clean_period));
    cache->self_ = cache;
    xlocker_t guard(cache->mutex_);
    cache->start_timer(cache->unload_timer_, unload_period, &cache_t::on_unload_timer);
    cache->start_timer(cache->clean_timer_, clean_period, &cache_t::on_clean_timer);
    return cache;
}

void cache_t::start_timer(boost::asio::deadline_timer& timer, boost::posix_time::time_duration period,
                          void (cache_t::*handler)()) {
    timer.expires_from_now(period);
    boost::weak_ptr<cache_t> weak = self_;
    timer.async_wait([weak, handler](const boost::system::error_code&) {
        if (boost::shared_ptr<cache_t> me = weak.lock()) ((*me).*handler)();
    });
}

void cache_t::on_unload_timer() {
    xlocker_t guard(mutex_);
    start_timer(unload_timer_, unload_period_, &cache_t::on_unload_timer);
    repo_->unload_files(unload_period_);
}

void cache_t::on_clean_timer() {
    xlocker_t guard(mutex_);
    start_timer(clean_timer_, clean_period_, &cache_t::on_clean_timer);
    repo_->clean_revisions();
}

void cache_t::merge(const repo_key_t& key, const std::vector<file_info_t>& files) {
    xlocker_t guard(mutex_);
    repo_->merge(key, files);
}

void cache_t::request_update(const repo_key_t& key, const std::vector<char>& mask,
                             const boost::weak_ptr<cache_events_t>& requester) {
    xlocker_t guard(mutex_);
    // A finished entry (served, or failed) is no longer a request to join.
    position_t position = std::find_if(pending_.begin(), pending_.end(), [&](const update_request_t& r) {
        return !r.finished() && same_owner(r.requester, requester) && r.key == key;
    });
    const bool may_download = !retry_delayed(key);
    serve_update_request(key, mask, requester, position, may_download);
    if (may_download) fail_orphans(key);
}

void cache_t::get_nonready_files(const repo_key_t& key, const std::vector<char>& mask, std::vector<char>& not_ready,
                                 std::vector<char>& to_download) {
    file_list_t files = repo_->get_files(key);
    if (mask.size() != files.size())
        D_THROW(cache_error, "Different files count in update request and repo: %d vs %d",
                static_cast<int>(mask.size()), static_cast<int>(files.size()));
    not_ready.assign(mask.size(), '0');
    to_download.assign(mask.size(), '0');
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] != '1') continue;
        int32_t state = files[i]->get_state();
        if (state == file_ctx_t::ready) continue;
        not_ready[i] = '1';
        if (state != file_ctx_t::in_download) to_download[i] = '1';
    }
}

void cache_t::serve_update_request(const repo_key_t& key, const std::vector<char>& mask,
                                   const boost::weak_ptr<cache_events_t>& requester, position_t position,
                                   bool may_download) {
    boost::shared_ptr<cache_events_t> events = requester.lock();
    if (!events) return;
    std::vector<char> not_ready, to_download;
    get_nonready_files(key, mask, not_ready, to_download);
    file_list_t files = repo_->get_files(key);
    if (std::find(not_ready.begin(), not_ready.end(), '1') != not_ready.end()) {
        if (position == pending_.end()) {
            update_request_t entry;
            entry.key = key;
            entry.mask = mask;
            entry.files = files;
            entry.requester = requester;
            pending_.push_back(entry);
        }
        if (!may_download || std::find(to_download.begin(), to_download.end(), '1') == to_download.end()) return;
        // A requester whose server let a download stall gets none: another
        // waiting request starts it, or the request fails (process_locked).
        if (!events->can_download()) return;
        boost::shared_ptr<download_context_t> download =
            boost::make_shared<download_context_t>(key, to_download, files, self_.lock());
        for (size_t i = 0; i < files.size(); ++i)
            if (to_download[i] == '1') files[i]->download_started();
        events->download_needed(download);
        return;
    }
    // Nothing is mapped here: the reply takes each file's bytes as its
    // connection reaches them, so a request for 100,000 files holds no more
    // mappings than one for ten.
    std::vector<served_file_t> served;
    struct mark_served {
        std::list<update_request_t>& pending;
        position_t position;
        ~mark_served() {
            if (position != pending.end()) position->served = true;
        }
    } marker{pending_, position};
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == '1') served.emplace_back(files[i]);
    events->files_ready(served);
}

void cache_t::process_update_requests(const repo_key_t& key) {
    xlocker_t guard(mutex_);
    process_locked(key);
}

void cache_t::process_locked(const repo_key_t& key) {
    pending_.remove_if([](const update_request_t& r) { return r.finished(); });
    bool may_download = !retry_delayed(key);
    for (position_t it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->served || it->key.rev != key.rev || it->key.name != key.name) continue;
        bool waiting = false;
        for (size_t i = 0; i < it->mask.size() && i < it->files.size(); ++i)
            waiting = waiting || (it->mask[i] == '1' && it->files[i]->get_state() == file_ctx_t::in_download);
        if (waiting) continue;
        // Nobody else would report it: a request that cannot be answered any
        // more (its list changed under it) is dropped, and its requester told
        // so, or its agent would wait for ever.
        std::string reason;
        if (failed("[Repo] Pending update request dropped because of %s", reason,
                   [&] { serve_update_request(it->key, it->mask, it->requester, it, may_download); }))
            fail_request(*it, reason);
    }
    if (may_download) fail_orphans(key);
}

void cache_t::fail_request(update_request_t& request, const std::string& reason) {
    request.served = true;
    if (boost::shared_ptr<cache_events_t> events = request.requester.lock()) events->update_failed(reason);
}

void cache_t::fail_orphans(const repo_key_t& key) {
    // A request whose missing files nobody fetches, because its own
    // requester may not download and no other could start it, is over.
    for (update_request_t& r : pending_) {
        if (r.finished() || r.key.rev != key.rev || r.key.name != key.name) continue;
        boost::shared_ptr<cache_events_t> events = r.requester.lock();
        if (!events || events->can_download()) continue;
        bool missing = false, fetched = false;
        for (size_t i = 0; i < r.mask.size() && i < r.files.size(); ++i) {
            if (r.mask[i] != '1') continue;
            int32_t state = r.files[i]->get_state();
            missing = missing || state == file_ctx_t::not_existent;
            fetched = fetched || state == file_ctx_t::in_download;
        }
        if (missing && !fetched)
            fail_request(r, "no connection can download its files: the server of its own let a download stall");
    }
}

bool cache_t::retry_delayed(const repo_key_t& key) {
    auto found = retries_.find(revision_id_t(key.name, key.rev));
    if (found == retries_.end()) return false;
    return boost::posix_time::microsec_clock::universal_time() < found->second.not_before;
}

void cache_t::download_ended(const repo_key_t& key, bool failed) {
    xlocker_t guard(mutex_);
    revision_id_t id(key.name, key.rev);
    if (!failed) {
        retries_.erase(id);
    } else {
        retry_t& retry = retries_[id];
        ++retry.failures;
        unsigned delay = retry.failures > 6 ? max_retry_seconds : std::min(max_retry_seconds, 1u << (retry.failures - 1));
        retry.not_before = boost::posix_time::microsec_clock::universal_time() + boost::posix_time::seconds(delay);
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Download of %s/%s failed %u time(s) in a row, next attempt in %u s",
               escape_log_text(key.name).c_str(), std::to_string(key.rev).c_str(), retry.failures, delay);
        if (!retry.timer) retry.timer = boost::make_shared<boost::asio::deadline_timer>(service_);
        retry.timer->expires_at(retry.not_before);
        boost::weak_ptr<cache_t> weak = self_;
        retry.timer->async_wait([weak, key](const boost::system::error_code& ec) {
            if (ec) return;
            if (boost::shared_ptr<cache_t> me = weak.lock()) me->process_update_requests(key);
        });
    }
    process_locked(key);
}

size_t cache_t::pending_requests() {
    xlocker_t guard(mutex_);
    return pending_.size();
}

}  // namespace cache
