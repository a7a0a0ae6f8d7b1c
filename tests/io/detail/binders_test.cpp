// Weak and raw binders: skipped calls, keep-alive during a call, virtual
// dispatch, argument forwarding, and a release racing with pool threads.
#include "io/detail/binders.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/bind/bind.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>

#include "io/pool.h"
#include "io/request_queue.h"

namespace {

struct base_target {
    virtual ~base_target() = default;
    virtual void hit(int n) { calls += n; }
    int calls = 0;
};

struct derived_target : base_target, boost::enable_shared_from_this<derived_target> {
    void hit(int n) override { calls += 100 * n; }
    void take(io::request_queue& q, const std::string& tag) {
        taken.push_back(q);
        last_tag = tag;
    }
    int get_calls() const { return calls; }
    io::request_queue taken;
    std::string last_tag;
};

/// Lets its last owner go from inside a call, then checks it is still whole.
struct self_releasing {
    self_releasing(boost::shared_ptr<self_releasing>* owner, bool* destroyed) : owner(owner), destroyed(destroyed) {}
    ~self_releasing() { *destroyed = true; }
    void drop_owner(bool* alive_after_drop) {
        owner->reset();
        *alive_after_drop = !*destroyed && marker == 0x5eed;
    }
    void drop_owner_and_throw() {
        owner->reset();
        throw std::runtime_error("member failed");
    }
    boost::shared_ptr<self_releasing>* owner;
    bool* destroyed;
    int marker = 0x5eed;
};

/// Counts calls in progress; destruction during one is recorded.
struct guarded {
    explicit guarded(std::atomic<int>* violations) : violations(violations) {}
    ~guarded() {
        if (in_call.load() != 0) ++*violations;
    }
    void work() {
        ++in_call;
        for (int i = 0; i < 50; ++i) spin.fetch_add(1, std::memory_order_relaxed);
        --in_call;
    }
    std::atomic<int> in_call{0}, spin{0};
    std::atomic<int>* violations;
};

}  // namespace

TEST(Binder, BindersCallThroughTheVirtualTableAndWeakOnesSkipGoneObjects) {
    auto object = boost::make_shared<derived_target>();
    auto hit = io::detail::make_weak_binder(&base_target::hit, object);
    hit(2);
    io::detail::make_raw_binder(&base_target::hit, object.get())(1);
    EXPECT_EQ(300, object->calls);
    EXPECT_EQ(300, io::detail::make_raw_binder(&derived_target::get_calls, object.get())());
    io::request_queue q = io::make_cloned_request("x");
    auto take = io::detail::make_weak_binder(&derived_target::take, object->shared_from_this());
    take(q, std::string("tag"));
    EXPECT_TRUE(q.empty());  // the reference reached the member, no copy in between
    EXPECT_EQ("tag", object->last_tag);
    // A gone object, or one never set, is skipped.
    object.reset();
    EXPECT_NO_THROW(hit(1));
    io::detail::weak_binder<void (base_target::*)(int)> never_set(&base_target::hit, boost::weak_ptr<base_target>());
    EXPECT_NO_THROW(never_set(1));
}

TEST(Binder, WeakBinderKeepsTheObjectAliveDuringTheCall) {
    bool destroyed = false, alive_after_drop = false;
    boost::shared_ptr<self_releasing> owner = boost::make_shared<self_releasing>(&owner, &destroyed);
    auto call = io::detail::make_weak_binder(&self_releasing::drop_owner, owner);
    call(&alive_after_drop);
    EXPECT_TRUE(alive_after_drop);
    EXPECT_TRUE(destroyed);
    destroyed = false;
    owner = boost::make_shared<self_releasing>(&owner, &destroyed);
    auto failing = io::detail::make_weak_binder(&self_releasing::drop_owner_and_throw, owner);
    bool destroyed_when_caught = false;
    try {
        failing();
    } catch (const std::runtime_error&) {
        destroyed_when_caught = destroyed;
    }
    EXPECT_TRUE(destroyed_when_caught);
}

TEST(Binder, WeakBindersRaceWithTheLastOwnerSafely) {
    std::atomic<int> violations{0}, finished{0};
    const int posts = 5000;
    {
        io::pool p(4, "thr");
        auto object = boost::make_shared<guarded>(&violations);
        auto work = io::detail::make_weak_binder(&guarded::work, object);
        for (int i = 0; i < posts; ++i) {
            p.get_io_service().post(boost::bind(work));
            p.get_io_service().post([&finished] { ++finished; });
            if (i == posts / 2) object.reset();  // released while calls are running
        }
        while (finished.load() < posts) std::this_thread::yield();
    }
    EXPECT_EQ(0, violations.load());
}
