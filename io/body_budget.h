// The process-wide bound on command bodies held in memory. The per-command
// limit keeps one body from growing without end; this one keeps many
// connections, each within that limit, from adding up to more than the host
// can hold. A body that does not fit waits its turn instead of growing the process.
#pragma once

#include <cstddef>
#include <list>

#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

namespace io {
namespace proto {

/// Bytes of in-memory bodies handed out in first-come order.
class body_budget : private boost::noncopyable {
public:
    /// Budget of the process-wide instance, in bytes: 256 MiB.
    static const std::size_t default_capacity = std::size_t(256) << 20;
    /// Bodies up to this size never wait and are not counted: no bigger than
    /// one relay read, which every connection holds anyway. 64 KiB.
    static std::size_t small_body_bytes;

    /// One body's claim: waiting, then granted; dropping it releases the
    /// bytes or leaves the queue. Made only by `request`.
    class grant : private boost::noncopyable {
    public:
        ~grant();
        /// True once the bytes are granted.
        bool granted() const;
        std::size_t bytes() const { return bytes_; }

    private:
        friend class body_budget;
        grant(body_budget& budget, std::size_t bytes, const boost::function<void()>& on_grant)
            : budget_(budget), bytes_(bytes), on_grant_(on_grant) {}
        body_budget& budget_;
        const std::size_t bytes_;
        boost::function<void()> on_grant_;
        bool granted_ = false;
    };
    typedef boost::shared_ptr<grant> grant_ptr;

    explicit body_budget(std::size_t capacity) : capacity_(capacity) {}

    /// The instance every connection of the process shares.
    static body_budget& process_wide();

    /// Asks for `bytes`. Granted at once when nobody waits and they fit, or
    /// when nothing is held at all (so a body larger than the whole budget
    /// still completes, alone); otherwise queued, and `on_grant` runs later,
    /// on the thread whose release made room, without any lock of the budget.
    grant_ptr request(std::size_t bytes, const boost::function<void()>& on_grant);

    void set_capacity(std::size_t capacity);
    std::size_t capacity() const;
    /// Bytes granted and not released.
    std::size_t held() const;
    /// Claims waiting for room.
    std::size_t waiting() const;

private:
    /// Grants waiters from the front while they fit; their callbacks go to `ready`.
    void grant_waiters_locked(std::list<boost::function<void()>>& ready);
    void drop(grant& claim);
    bool fits_locked(std::size_t bytes) const { return held_ == 0 || held_ + bytes <= capacity_; }

    mutable boost::mutex mutex_;
    std::size_t capacity_;
    std::size_t held_ = 0;
    std::list<grant*> waiters_;
};

}  // namespace proto
}  // namespace io
