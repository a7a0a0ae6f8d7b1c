#include "cache/cache.h"

#include <algorithm>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <unordered_set>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_download_ctx.h"
#include "cache/cache_file_ctx.h"
#include "cache/cache_repo.h"
#include "cache/cache_scan.h"
#include "cache/cache_tree.h"
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

bool cache_events_t::relayed(const repo_key_t&, cache_t::announced_ptr&) const { return false; }

namespace {

bool same_owner(const boost::weak_ptr<cache_events_t>& a, const boost::weak_ptr<cache_events_t>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

const unsigned max_retry_seconds = 60;

// A request that can never be answered is dropped rather than left without
// an answer: its agent asks again, and gets what its server announces then.
void refuse(const boost::weak_ptr<cache_events_t>& requester, uint32_t number, const std::string& reason) {
    if (boost::shared_ptr<cache_events_t> events = requester.lock()) events->update_failed(number, reason);
}

// True when the request asks for a missing file while no download fetches
// any file it asks for: nothing under way will answer it.
bool nothing_fetches(const cache_t::update_request_t& r) {
    bool missing = false, fetched = false;
    for (size_t i = 0; i < r.mask.size() && i < r.files.size(); ++i) {
        if (r.mask[i] != '1') continue;
        int32_t state = r.files[i]->get_state();
        missing = missing || state == cache_t::file_ctx_t::not_existent;
        fetched = fetched || state == cache_t::file_ctx_t::in_download;
    }
    return missing && !fetched;
}

}  // namespace

size_t cache_t::waiting_per_requester = 64;
unsigned cache_t::failed_downloads_limit = 5;

cache_t::cache_t(boost::asio::io_service& service, const tree_ptr& tree,
                 boost::posix_time::time_duration unload_period, boost::posix_time::time_duration clean_period)
    : service_(service),
      root_(tree->root()),
      tree_(tree),
      repo_(boost::make_shared<repo_t>(tree)),
      unload_period_(unload_period),
      clean_period_(clean_period),
      unload_timer_(service),
      clean_timer_(service) {}

cache_t::~cache_t() { stop_checks(); }

boost::shared_ptr<cache_t> cache_t::create(boost::asio::io_service& service, const std::string& root,
                                           boost::posix_time::time_duration unload_period,
                                           boost::posix_time::time_duration clean_period) {
    // Checked on every call, also when the cache is handed out again: a
    // reload must refuse a root that others took control of meanwhile.
    tree_ptr tree = tree_t::open(root);
    // Held weakly: the registry never keeps a cache alive, it only finds
    // the one still alive. Two caches on one root would each let one
    // download write a file, both at once under locks of their own.
    // Keyed by what was opened, not by a name that could lead elsewhere
    // when it is looked up again.
    static std::mutex registry_mutex;
    static std::map<std::pair<dev_t, ino_t>, boost::weak_ptr<cache_t>> registry;
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto it = registry.begin(); it != registry.end();)
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    boost::weak_ptr<cache_t>& entry = registry[tree->identity()];
    if (boost::shared_ptr<cache_t> alive = entry.lock()) {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Cache of %s still in use: kept for the new configuration",
               escape_log_text(tree->root()).c_str());
        // Every reload tells what it cannot look through, and takes what it
        // can again, whichever cache it goes on with.
        alive->look_again();
        return alive;
    }
    boost::shared_ptr<cache_t> cache(new cache_t(service, tree, unload_period, clean_period));
    entry = cache;
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

void cache_t::look_again() {
    {
        xlocker_t guard(mutex_);
        looking_ = true;
    }
    std::exception_ptr failed;
    try {
        unseen_t unseen = scan_tree(*tree_);
        repo_t::tell_unseen(root_, unseen);
        std::vector<repo_t::again_t> again;
        {
            xlocker_t guard(mutex_);
            again = repo_->look_again(std::move(unseen));
        }
        std::vector<repo_t::entity_t> loaded = repo_->load_again(again);
        xlocker_t guard(mutex_);
        repo_->adopt(loaded);
    } catch (...) {
        failed = std::current_exception();
    }
    {
        xlocker_t guard(mutex_);
        end_look();
    }
    if (failed) std::rethrow_exception(failed);
}

void cache_t::end_look() {
    tree_->end_loading();
    looking_ = false;
    if (!clean_skipped_) return;
    clean_skipped_ = false;
    clean_locked();
}

void cache_t::on_clean_timer() {
    xlocker_t guard(mutex_);
    start_timer(clean_timer_, clean_period_, &cache_t::on_clean_timer);
    if (looking_) {
        clean_skipped_ = true;  // cleaned once the reload's look is done
        return;
    }
    clean_locked();
}

void cache_t::clean_locked() {
    // Revisions with running downloads the repository sees in their files.
    std::set<revision_id_t> waited_for;
    for (const update_request_t& r : pending_)
        if (!r.finished()) waited_for.insert(revision_id_t(r.key.name, r.key.rev));
    repo_->clean_revisions(waited_for);
}

cache_t::announced_ptr cache_t::merge(const repo_key_t& key, const std::vector<file_info_t>& files) {
    xlocker_t guard(mutex_);
    return repo_->merge(key, files);
}

void cache_t::request_update(const repo_key_t& key, const std::vector<char>& mask,
                             const boost::weak_ptr<cache_events_t>& requester, uint32_t number) {
    xlocker_t guard(mutex_);
    // A name the cache could never store is refused as such, not merely as unannounced.
    repo_->check_repository(key.name);
    boost::shared_ptr<cache_events_t> events = requester.lock();
    if (!events) return;
    file_list_t files = relayed_files(key, *events);
    // Looked into only when the key holds no list: a request for a held revision pays nothing.
    if (!mask.empty() && files.empty() && repo_->no_longer_held(key))
        return refuse(requester, number, "revision " + std::to_string(key.rev) + " of " + shown_text(key.name) +
                                     " is no longer in the cache: newer ones took its place");
    if (mask.size() != files.size())
        D_THROW(unmatched_request_error, "Different files count in update request and repo: %d vs %d",
                static_cast<int>(mask.size()), static_cast<int>(files.size()));
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == '1' && files[i]->refused)
            return refuse(requester, number, "file \"" + shown_text(files[i]->info.name) +
                                         "\" was refused at its announcement: an empty file with md5 " +
                                         files[i]->info.md5 + " can never be served");
    // Only the same request asked again replaces the waiting one: its answer
    // carries the same number. Any other request waits on its own and is
    // answered with its own number, whatever key the two share.
    position_t position = std::find_if(pending_.begin(), pending_.end(), [&](const update_request_t& r) {
        return !r.finished() && same_owner(r.requester, requester) && r.key == key && r.number == number;
    });
    if (position != pending_.end()) {
        position->mask = mask;
        position->files = files;
    }
    const bool may_download = !retry_delayed(key);
    serve_update_request(key, files, mask, requester, number, position, may_download);
    if (may_download) fail_orphans(key);
}

cache_t::file_list_t cache_t::relayed_files(const repo_key_t& key, const cache_events_t& events) {
    announced_ptr list;
    const file_list_t* files = nullptr;
    if (events.relayed(key, list))
        files = list ? repo_->held_files(key, *list) : nullptr;
    else
        // A connection that relayed no list of the key (its agent came back
        // on a new one, or saw it on another connection of the server) is
        // answered from the one list the cache holds; of two servers' lists,
        // from neither: which its server's is cannot be told.
        files = repo_->only_list(key);
    return files ? *files : file_list_t();
}

void cache_t::serve_update_request(const repo_key_t& key, const file_list_t& files, const std::vector<char>& mask,
                                   const boost::weak_ptr<cache_events_t>& requester, uint32_t number,
                                   position_t position, bool may_download) {
    boost::shared_ptr<cache_events_t> events = requester.lock();
    if (!events) return;
    bool waits = false;
    file_list_t needed;
    for (size_t i = 0; i < mask.size() && i < files.size(); ++i) {
        if (mask[i] != '1') continue;
        int32_t state = files[i]->get_state();
        // Examined before the reply's sizes go out: a file changed or gone
        // on disk is set back here, and the request waits for its download
        // instead of being broken off half-way; one whose content must be
        // read again waits for that check.
        if (state == file_ctx_t::ready && !examine_before_reply(key, files[i])) state = files[i]->get_state();
        waits = waits || state != file_ctx_t::ready || files[i]->checking;
        if (state == file_ctx_t::not_existent) needed.push_back(files[i]);
    }
    if (waits) {
        if (position == pending_.end()) {
            update_request_t entry;
            entry.key = key;
            entry.mask = mask;
            entry.requester = requester;
            entry.number = number;
            if (waiting_full(requester)) {
                end_request(entry, "its agent has " + std::to_string(waiting_per_requester) +
                                       " other update requests waiting");
                return;
            }
            entry.files = files;
            position = pending_.insert(pending_.end(), entry);
        }
        // Files already in_download by another context are waited for, not
        // downloaded twice. A requester whose server cannot send a download
        // starts none: another waiting request does, the requester does once
        // its server is ready (requester_ready), or the request fails
        // (fail_orphans).
        if (!may_download || needed.empty() || !events->can_download() || lost_files_wait(key, needed)) return;
        if (!start_download(key, needed, *events))
            end_request(*position, "a file it asks for is no longer in the announced list");
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
    events->files_ready(number, served);
}

bool cache_t::waiting_full(const boost::weak_ptr<cache_events_t>& requester) {
    size_t waiting = 0;
    for (const update_request_t& r : pending_)
        if (!r.finished() && same_owner(r.requester, requester)) ++waiting;
    return waiting >= waiting_per_requester;
}

bool cache_t::start_download(const repo_key_t& key, const file_list_t& needed, cache_events_t& events) {
    // The server reads the download's mask against the list it announced
    // last, so the files are flagged where that list holds them; a file the
    // list names twice is asked for once. The list is the one this
    // requester's connection relayed: another server's list of the revision
    // may hold other files, and its md5s would judge this server's bytes.
    file_list_t current = relayed_files(key, events);
    std::vector<char> to_download(current.size(), '0');
    // Hashed: searching the needed list once per announced file held the
    // cache's lock for over a second on an announcement of 100,000 files.
    std::unordered_set<const file_ctx_t*> wanted, flagged;
    for (const file_ptr& file : needed) wanted.insert(file.get());
    for (size_t i = 0; i < current.size(); ++i) {
        const file_ctx_t* file = current[i].get();
        if (!wanted.count(file) || !flagged.insert(file).second) continue;
        to_download[i] = '1';
    }
    if (flagged.size() != wanted.size()) return false;
    boost::shared_ptr<download_context_t> download =
        boost::make_shared<download_context_t>(key, to_download, current, self_.lock());
    for (size_t i = 0; i < current.size(); ++i) {
        if (to_download[i] != '1') continue;
        int32_t noted = file_ctx_t::noted;
        if (current[i]->loss.compare_exchange_strong(noted, file_ctx_t::refetched)) download->after_loss = true;
        current[i]->download_started(download->owner_id());
    }
    events.download_needed(download);
    return true;
}

void cache_t::end_request(update_request_t& request, const std::string& reason) {
    request.served = true;
    LOG_AT(LOG_LEVEL_ERROR, "[Repo] Pending update request for %s/%s dropped because of %s",
           shown_text(request.key.name).c_str(), std::to_string(request.key.rev).c_str(), reason.c_str());
    if (boost::shared_ptr<cache_events_t> events = request.requester.lock()) events->update_failed(request.number, reason);
}

void cache_t::fail_orphans(const repo_key_t& key) {
    // A request whose missing files nobody fetches, because its own
    // requester can never download and no other could start it, is over.
    // One whose server is still negotiating waits for requester_ready. Not
    // judged while a download of the revision ended uncounted: its retry,
    // through another connection, is not set yet (download_ended judges).
    if (download_end_uncounted(key)) return;
    for (update_request_t& r : pending_) {
        if (r.finished() || r.key.rev != key.rev || r.key.name != key.name) continue;
        boost::shared_ptr<cache_events_t> events = r.requester.lock();
        if (!events || events->can_download() || events->can_download_later()) continue;
        if (nothing_fetches(r))
            end_request(r, "no connection can download its files: its own server takes no more downloads");
    }
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
            waiting = waiting || (it->mask[i] == '1' && (it->files[i]->get_state() == file_ctx_t::in_download ||
                                                         it->files[i]->checking));
        if (waiting) continue;
        // Against the list it was made for, even when a newer announcement
        // changed the key's list meanwhile: its mask indexes that list.
        std::string reason;
        try {
            serve_update_request(it->key, it->files, it->mask, it->requester, it->number, it, may_download);
            continue;
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "general error";
        }
        // Nobody else would report it, and its agent must not wait for ever
        // (also when the answer itself failed half-way).
        log_failure(LOG_LEVEL_ERROR, "[Repo] Telling a requester failed because of %s", [&] {
            end_request(*it, reason);
        });
    }
    if (may_download) fail_orphans(key);
}

bool cache_t::retry_delayed(const repo_key_t& key) {
    auto found = retries_.find(revision_id_t(key.name, key.rev));
    if (found == retries_.end()) return false;
    return boost::posix_time::microsec_clock::universal_time() < found->second.not_before;
}

void cache_t::requester_ready(const boost::weak_ptr<cache_events_t>& requester) {
    xlocker_t guard(mutex_);
    std::vector<repo_key_t> keys;
    for (const update_request_t& r : pending_)
        if (!r.finished() && same_owner(r.requester, requester)) keys.push_back(r.key);
    process_revisions_locked(keys);
}

void cache_t::process_revisions_locked(const std::vector<repo_key_t>& keys) {
    std::vector<const repo_key_t*> done;
    for (const repo_key_t& key : keys) {
        const bool seen = std::any_of(done.begin(), done.end(),
                                      [&](const repo_key_t* k) { return k->rev == key.rev && k->name == key.name; });
        if (seen) continue;
        done.push_back(&key);
        process_locked(key);
    }
}

void cache_t::download_ending(const repo_key_t& key) {
    boost::mutex::scoped_lock guard(ending_mutex_);
    ending_.insert(revision_id_t(key.name, key.rev));
}

bool cache_t::download_end_uncounted(const repo_key_t& key) const {
    boost::mutex::scoped_lock guard(ending_mutex_);
    return ending_.count(revision_id_t(key.name, key.rev)) != 0;
}

void cache_t::download_ended(const repo_key_t& key, download_end_t end, bool after_loss) {
    xlocker_t guard(mutex_);
    {
        boost::mutex::scoped_lock ending(ending_mutex_);
        auto found = ending_.find(revision_id_t(key.name, key.rev));
        if (found != ending_.end()) ending_.erase(found);
    }
    if (end == download_end_t::completed && !after_loss) retries_.erase(revision_id_t(key.name, key.rev));
    if (end == download_end_t::failed) note_failure(key);
    process_locked(key);
}

bool cache_t::lost_files_wait(const repo_key_t& key, const file_list_t& needed) {
    bool lost = false, again = false;
    for (const file_ptr& file : needed) {
        int32_t first = file_ctx_t::lost, second = file_ctx_t::lost_again;
        lost = file->loss.compare_exchange_strong(first, file_ctx_t::noted) || lost;
        again = file->loss.compare_exchange_strong(second, file_ctx_t::noted) || again;
    }
    if (!lost && !again) return false;
    // Found a moment ago by another request: the delay it set holds this one.
    if (retry_delayed(key)) return true;
    // Files an administrator removed at once are found by as many requests,
    // one after the other: they count once. Only a loop counts on.
    if (!again && failures_in_a_row(key) > 0) return false;
    note_failure(key, setback_t::lost);
    return true;
}

unsigned cache_t::failures_in_a_row(const repo_key_t& key) {
    // Taken here, under the cache's lock: the reply that sent the file
    // whole only raised a flag. Taken also when nothing is counted, so that
    // it cannot cut short a count that begins later.
    const repo_t::entity_t* entity = repo_->find_entity(key.name, key.rev);
    const bool served = entity && entity->revision->take_served_after_loss();
    auto found = retries_.find(revision_id_t(key.name, key.rev));
    if (found == retries_.end()) return 0;
    if (served) found->second.failures = 0;
    return found->second.failures;
}

void cache_t::note_failure(const repo_key_t& key, setback_t what) {
    const unsigned failures = failures_in_a_row(key) + 1;
    retry_t& retry = retries_[revision_id_t(key.name, key.rev)];
    retry.failures = failures;
    unsigned delay = retry.failures > 6 ? max_retry_seconds : std::min(max_retry_seconds, 1u << (retry.failures - 1));
    retry.not_before = boost::posix_time::microsec_clock::universal_time() + boost::posix_time::seconds(delay);
    if (what == setback_t::lost)
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Stored files of %s/%s were lost %u time(s) in a row, next download in %u s",
               escape_log_text(key.name).c_str(), std::to_string(key.rev).c_str(), retry.failures, delay);
    else
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Download of %s/%s failed %u time(s) in a row, next attempt in %u s",
               escape_log_text(key.name).c_str(), std::to_string(key.rev).c_str(), retry.failures, delay);
    if (!retry.timer) retry.timer = boost::make_shared<boost::asio::deadline_timer>(service_);
    retry.timer->expires_at(retry.not_before);
    boost::weak_ptr<cache_t> weak = self_;
    retry.timer->async_wait([weak, key](const boost::system::error_code& ec) {
        if (ec) return;
        if (boost::shared_ptr<cache_t> me = weak.lock()) me->process_update_requests(key);
    });
    if (retry.failures >= failed_downloads_limit) give_up(key, retry.failures, what);
}

void cache_t::give_up(const repo_key_t& key, unsigned failures, setback_t last) {
    // The count goes on: a request that comes later waits for the next
    // attempt, and its failure ends that request too. Requests waiting for
    // another download of the revision still under way are left to it.
    const std::string reason = (last == setback_t::lost ? "its files were lost " : "its downloads failed ") +
                               std::to_string(failures) + " time(s) in a row";
    for (update_request_t& r : pending_) {
        if (r.finished() || r.key.rev != key.rev || r.key.name != key.name) continue;
        if (nothing_fetches(r)) end_request(r, reason);
    }
}

bool cache_t::request_waits(const boost::weak_ptr<cache_events_t>& requester) {
    xlocker_t guard(mutex_);
    return std::any_of(pending_.begin(), pending_.end(), [&](const update_request_t& r) {
        return !r.finished() && same_owner(r.requester, requester);
    });
}

void cache_t::withdraw_requests(const boost::weak_ptr<cache_events_t>& requester) {
    xlocker_t guard(mutex_);
    pending_.remove_if([&](const update_request_t& r) { return r.finished() || same_owner(r.requester, requester); });
}

size_t cache_t::pending_requests() {
    xlocker_t guard(mutex_);
    return pending_.size();
}

}  // namespace cache
