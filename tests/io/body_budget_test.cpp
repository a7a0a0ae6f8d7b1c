// The process-wide body budget: grants in first-come order, a body larger than
// the whole budget alone, room released by a finished or abandoned claim, and
// the count back at zero after many threads claimed and released at once.
#include "io/body_budget.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "io/test_support.h"

namespace {

using io::proto::body_budget;

TEST(BodyBudget, GrantsInArrivalOrderAndAloneAboveTheWholeBudget) {
    body_budget budget(100);
    std::vector<int> order;
    auto note = [&](int i) { return [&order, i] { order.push_back(i); }; };
    body_budget::grant_ptr a = budget.request(60, note(1));
    EXPECT_TRUE(a->granted());
    body_budget::grant_ptr b = budget.request(50, note(2));
    // Would fit beside a, but b came first and waits: so does c.
    body_budget::grant_ptr c = budget.request(40, note(3));
    body_budget::grant_ptr huge = budget.request(500, note(4));
    EXPECT_FALSE(b->granted());
    EXPECT_FALSE(c->granted());
    EXPECT_EQ(3u, budget.waiting());
    // A waiter that leaves lets the ones behind it move up, but only in order.
    c.reset();
    EXPECT_EQ(2u, budget.waiting());
    EXPECT_TRUE(order.empty());
    a.reset();
    EXPECT_EQ((std::vector<int>{2}), order);
    EXPECT_TRUE(b->granted());
    EXPECT_EQ(50u, budget.held());
    // Larger than the whole budget: granted once nothing else is held.
    b.reset();
    EXPECT_EQ((std::vector<int>{2, 4}), order);
    EXPECT_TRUE(huge->granted());
    EXPECT_EQ(500u, budget.held());
    body_budget::grant_ptr small = budget.request(1, note(5));
    EXPECT_FALSE(small->granted());
    huge.reset();
    EXPECT_TRUE(small->granted());
    small.reset();
    EXPECT_EQ(0u, budget.held());
    EXPECT_EQ(0u, budget.waiting());
}

TEST(BodyBudget, RaisingTheCapacityGrantsWaiters) {
    body_budget budget(10);
    std::atomic<int> grants{0};
    body_budget::grant_ptr a = budget.request(10, [&] { ++grants; });
    body_budget::grant_ptr b = budget.request(10, [&] { ++grants; });
    EXPECT_FALSE(b->granted());
    budget.set_capacity(20);
    EXPECT_TRUE(b->granted());
    EXPECT_EQ(1, grants.load());
}

// Claims released from other threads than their own, waiters granted from
// releasing threads: nothing held or waiting is left behind.
TEST(BodyBudget, ManyThreadsLeaveNothingHeld) {
    body_budget budget(1000);
    std::atomic<int> granted_later{0};
    // The whole capacity held until every thread waits: at least those
    // waiters are granted later, by the releasing thread, however the
    // threads are scheduled on a busy machine.
    body_budget::grant_ptr all = budget.request(1000, [] {});
    ASSERT_TRUE(all->granted());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                body_budget::grant_ptr claim = budget.request(100 + (i * 37 + t * 11) % 900, [&] { ++granted_later; });
                // A claim dropped while waiting and one dropped once granted.
                if (i % 3 == 0) continue;
                while (!claim->granted()) std::this_thread::yield();
            }
        });
    }
    const bool all_waited = io_test::wait_until([&] { return budget.waiting() == 8; });
    all.reset();
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(all_waited);
    EXPECT_EQ(0u, budget.held());
    EXPECT_EQ(0u, budget.waiting());
    EXPECT_GT(granted_later.load(), 0);
}

}  // namespace
