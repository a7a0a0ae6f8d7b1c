#include "io/body_budget.h"

#include <algorithm>

namespace io {
namespace proto {

std::size_t body_budget::small_body_bytes = 64 << 10;

body_budget& body_budget::process_wide() {
    // Never destroyed: connections released during exit may still give bytes back.
    static body_budget* const budget = new body_budget(default_capacity);
    return *budget;
}

body_budget::grant::~grant() { budget_.drop(*this); }

bool body_budget::grant::granted() const {
    boost::mutex::scoped_lock guard(budget_.mutex_);
    return granted_;
}

body_budget::grant_ptr body_budget::request(std::size_t bytes, const boost::function<void()>& on_grant) {
    grant_ptr claim(new grant(*this, bytes, on_grant));
    boost::mutex::scoped_lock guard(mutex_);
    // First come, first served: a large body at the front is not overtaken
    // for ever by smaller ones that keep fitting beside the others.
    if (waiters_.empty() && fits_locked(bytes)) {
        held_ += bytes;
        claim->granted_ = true;
    } else {
        waiters_.push_back(claim.get());
    }
    return claim;
}

void body_budget::drop(grant& claim) {
    std::list<boost::function<void()>> ready;
    {
        boost::mutex::scoped_lock guard(mutex_);
        if (claim.granted_) {
            held_ -= std::min(held_, claim.bytes_);
        } else {
            waiters_.remove(&claim);
        }
        // Also after a waiter left: the one behind it may fit now.
        grant_waiters_locked(ready);
    }
    for (const boost::function<void()>& call : ready) call();
}

void body_budget::grant_waiters_locked(std::list<boost::function<void()>>& ready) {
    while (!waiters_.empty() && fits_locked(waiters_.front()->bytes_)) {
        grant* next = waiters_.front();
        waiters_.pop_front();
        held_ += next->bytes_;
        next->granted_ = true;
        if (next->on_grant_) ready.push_back(next->on_grant_);
    }
}

void body_budget::set_capacity(std::size_t capacity) {
    std::list<boost::function<void()>> ready;
    {
        boost::mutex::scoped_lock guard(mutex_);
        capacity_ = capacity;
        grant_waiters_locked(ready);
    }
    for (const boost::function<void()>& call : ready) call();
}

std::size_t body_budget::capacity() const {
    boost::mutex::scoped_lock guard(mutex_);
    return capacity_;
}

std::size_t body_budget::held() const {
    boost::mutex::scoped_lock guard(mutex_);
    return held_;
}

std::size_t body_budget::waiting() const {
    boost::mutex::scoped_lock guard(mutex_);
    return waiters_.size();
}

}  // namespace proto
}  // namespace io
