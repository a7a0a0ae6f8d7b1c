#include "cache/cache_download_ctx.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "cache/cache_file_ctx.h"
#include "cache/cache_tree.h"
#include "io/cmd_builder.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace srv_side {

download_context_t::download_context_t(const cache::repo_key_t& key, const std::vector<char>& mask)
    : key_(key), mask_(mask) {}

download_context_t::~download_context_t() {
    if (!end_hook_) return;
    // A destructor lets nothing out: a failure to pass the news on is logged.
    log_failure(LOG_LEVEL_ERROR, "[Repo] Telling a connection its download ended failed because of %s",
                [this] { end_hook_(); });
}

io::request_queue download_context_t::make_request() {
    std::string payload = std::to_string(key_.rev) + " " + std::to_string(announcement) + " ";
    payload.append(mask_.begin(), mask_.end());
    io::proto::cmd_builder builder("ARQ_UPDATE", true);
    builder.append_argument(key_.name);
    io::request_queue body = io::make_cloned_request(payload.data(), payload.size());
    builder.append_payload(body);
    return builder.build();
}

}  // namespace srv_side

namespace cache {

namespace {

// Never 0 (a file no download owns) and never reused, unlike an address.
uint64_t next_download_id() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

}  // namespace

cache_t::download_context_t::download_context_t(const repo_key_t& key, const std::vector<char>& mask,
                                                const file_list_t& files, const boost::shared_ptr<cache_t>& owner)
    : srv_side::download_context_t(key, mask), id_(next_download_id()), files_(files), cache_(owner) {}

io::request_queue cache_t::download_context_t::make_request() {
    sent_ = true;
    return srv_side::download_context_t::make_request();
}

void cache_t::download_context_t::done(bool completed) {
    sent_ = true;
    done_ = completed;
    if (!completed) return;
    // An empty file takes no byte of the body, so one that follows the
    // body's last byte is only complete once the whole body has come.
    for (size_t i = current_; i < files_.size() && i < mask_.size(); ++i) {
        file_ctx_t& file = *files_[i];
        if (mask_[i] == '1' && file.info.size == 0 && file.downloaded_by(id_)) write_file(file, nullptr, 0);
    }
}

void cache_t::download_context_t::write_file(file_ctx_t& file, const char* data, size_t length) {
    try {
        file.write(id_, data, length);
    } catch (const obstruction_error_shell_t& e) {
        // Something in the file's way that cannot be removed: not the
        // server's fault, so the reply goes on for the other files and the
        // connection stays. The file is
        // not_existent again; its waiting requests get the next download.
        failed_ = true;
        skipping_ = true;
        std::string name;
        for (char c : shown_text(file.info.name)) name.append(c == '%' ? 2 : 1, c);  // a format, taken literally
        std::string text = "[Repo] File " + name + " cannot be stored, its download failed because of %s";
        pretty_print_exception(LOG_LEVEL_ERROR, text.c_str(), e.what(), &e);
    } catch (...) {
        failed_ = true;
        throw;
    }
}

void cache_t::download_context_t::write(const char* data, size_t length) {
    sent_ = true;
    size_t left = length;
    while (left > 0 && current_ < files_.size()) {
        if (current_ >= mask_.size() || mask_[current_] != '1') {
            ++current_;
            continue;
        }
        file_ctx_t& file = *files_[current_];
        // Counted here, not asked of the file: the bytes of a file that
        // could not be stored still have to be passed over.
        size_t k = std::min<size_t>(file.info.size - taken_, left);
        if (!skipping_) write_file(file, data + (length - left), k);
        left -= k;
        taken_ += k;
        if (taken_ == file.info.size) {
            ++current_;
            taken_ = 0;
            skipping_ = false;
        }
    }
}

cache_t::download_context_t::~download_context_t() {
    log_failure(LOG_LEVEL_ERROR, "Error in download_context_t dtor because of %s", [this] {
        // Every flagged file the body did not complete is cancelled, whether
        // or not the reply was reported whole: a file left in_download would
        // hold its waiting agents for the life of the cache. Only files this
        // download still owns: one that failed here may already be another
        // connection's download.
        bool failed = failed_;
        for (size_t i = 0; i < files_.size() && i < mask_.size(); ++i) {
            if (mask_[i] != '1') continue;
            failed = files_[i]->download_cancelled(id_) || failed;
        }
        if (cache_) {
            // Re-served by a handler of the I/O service rather than inline:
            // this destructor may run while the cache's mutex is held on this
            // thread. Not on a thread of its own either: such a thread could
            // outlive the I/O service and touch its timers after it is gone.
            boost::weak_ptr<cache_t> owner = cache_;
            repo_key_t key = key_;
            const bool after_loss = this->after_loss;
            // Dropped unsent (its connection could not send it after all),
            // or withdrawn by its connection with nothing wrong found in
            // what came: no failure of the server's. Its unfinished files
            // were cancelled above, so the next download starts them anew.
            const download_end_t end = !sent_ || (withdrawn_ && !failed_) ? download_end_t::dropped
                                       : failed ? download_end_t::failed : download_end_t::completed;
            cache_->download_ending(key);
            cache_->service().post([owner, key, end, after_loss]() {
                boost::shared_ptr<cache_t> me = owner.lock();
                if (!me) return;
                log_failure(LOG_LEVEL_ERROR, "[Repo] Serving waiting requests failed because of %s",
                            [&] { me->download_ended(key, end, after_loss); });
            });
        }
    });
}

}  // namespace cache
