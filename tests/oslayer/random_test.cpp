// The ISAAC generator, draws under a lock, and the temporary directory lookup.

#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

namespace {

/// Fixed seed words, so that two states can be brought to the same point.
std::vector<uint32_t> fixed_seed() {
    std::vector<uint32_t> seed(256);
    for (uint32_t i = 0; i < 256; ++i) seed[i] = i * 2654435761u + 17u;
    return seed;
}

std::unique_ptr<sysrnd_state_t> seeded_state(const std::vector<uint32_t>& seed, if_lock_t* lock) {
    std::unique_ptr<sysrnd_state_t> s(new sysrnd_state_t);
    isaac_init(*s, seed.empty() ? nullptr : seed.data());
    s->lock = lock;
    return s;
}

}  // namespace

TEST(RandomIsaac, MatchesPublishedVectorForZeroSeedNullSeedIsFixed) {
    // The reference program seeds with zeros, then prints the block after
    // the one that seeding generated.
    std::unique_ptr<sysrnd_state_t> s(new sysrnd_state_t);
    std::vector<uint32_t> zeros(256, 0);
    isaac_init(*s, zeros.data());
    EXPECT_EQ(s->remaining, 256u);
    isaac_generate(*s);
    const uint32_t expected[8] = {0xf650e4c8, 0xe448e96d, 0x98db2fb4, 0xf5fad54f,
                                  0x433f1afb, 0xedec154a, 0xd8370487, 0x46ca4f9a};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s->results[i], expected[i]) << "word " << i;
    EXPECT_EQ(s->c, 2u);
    // A null seed is deterministic and differs from the zero seed.
    std::unique_ptr<sysrnd_state_t> a = seeded_state({}, nullptr), b = seeded_state({}, nullptr);
    std::unique_ptr<sysrnd_state_t> z = seeded_state(zeros, nullptr);
    EXPECT_TRUE(std::equal(a->results, a->results + 256, b->results));
    EXPECT_TRUE(std::equal(a->memory, a->memory + 256, b->memory));
    EXPECT_FALSE(std::equal(a->results, a->results + 256, z->results));
}

TEST(RandomDraws, HandOutBlockFromTopThenRegenerate) {
    std::vector<uint32_t> seed = fixed_seed();
    std::unique_ptr<sysrnd_state_t> drawn = seeded_state(seed, nullptr);  // null lock: no locking
    std::unique_ptr<sysrnd_state_t> by_hand = seeded_state(seed, nullptr);
    EXPECT_EQ(sysrnd_next(*drawn), by_hand->results[255]);
    EXPECT_EQ(sysrnd_next(*drawn), by_hand->results[254]);
    for (int i = 253; i >= 0; --i) ASSERT_EQ(sysrnd_next(*drawn), by_hand->results[i]) << "index " << i;
    EXPECT_EQ(drawn->remaining, 0u);
    // The 257th draw needs a new block.
    isaac_generate(*by_hand);
    EXPECT_EQ(sysrnd_next(*drawn), by_hand->results[255]);
    EXPECT_EQ(drawn->remaining, 255u);
    EXPECT_EQ(sysrnd_next(*drawn), by_hand->results[254]);
    EXPECT_NE(by_hand->results[255], 0u);
}

TEST(RandomDraws, ConcurrentDrawsHandOutEachResultOnce) {
    const int threads = 4;
    const int per_thread = 2000;
    std::vector<uint32_t> seed = fixed_seed();
    mutex_t lock;
    std::unique_ptr<sysrnd_state_t> shared = seeded_state(seed, &lock);
    std::vector<std::vector<uint32_t>> got(threads);
    oslayer_test::run_threads(threads, [&](int t) {
        for (int i = 0; i < per_thread; ++i) got[t].push_back(sysrnd_next(*shared));
    });
    std::unique_ptr<sysrnd_state_t> single = seeded_state(seed, nullptr);
    std::vector<uint32_t> expected;
    for (int i = 0; i < threads * per_thread; ++i) expected.push_back(sysrnd_next(*single));
    std::vector<uint32_t> all;
    for (const std::vector<uint32_t>& g : got) all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(shared->remaining, single->remaining);
}

TEST(RandomSeed, SeedsFromClockAndStoresLockProcessOneBeforeMain) {
    mutex_t lock;
    std::unique_ptr<sysrnd_state_t> a(new sysrnd_state_t), b(new sysrnd_state_t);
    a->seed_counter.set(41);
    sysrnd_seed(*a, &lock);
    sysrnd_seed(*b, nullptr);
    EXPECT_TRUE(a->lock == &lock && b->lock == nullptr && a->remaining == 256u);
    EXPECT_EQ(a->seed_counter.read(), 1u);  // reset, then counted once
    // Separate clock readings make separate sequences.
    EXPECT_FALSE(std::equal(a->results, a->results + 256, b->results));
    sysrnd_next(*a);
    EXPECT_EQ(a->remaining, 255u);
    // The process generator was seeded before main.
    EXPECT_EQ(sysrnd.lock, &sysrnd_guard);
    EXPECT_EQ(sysrnd.seed_counter.read(), 1u);
    uint32_t before = sysrnd.remaining;
    EXPECT_LE(before, 256u);
    sysrnd_next(sysrnd);
    EXPECT_EQ(sysrnd.remaining, before == 0 ? 255u : before - 1);
}

TEST(RandomTempDirectory, EnvironmentOrderAndFallback) {
    oslayer_test::env_guard_t temp("TEMP", "/velmo/temp"), tmp("TMP", "/velmo/tmp");
    EXPECT_STREQ(temp_directory(), "/velmo/temp");
    temp.set("");  // present but empty still wins
    EXPECT_STREQ(temp_directory(), "");
    temp.set(nullptr);
    EXPECT_STREQ(temp_directory(), "/velmo/tmp");
    tmp.set("");
    EXPECT_STREQ(temp_directory(), "");
    tmp.set(nullptr);
    const char* expected = "";
    for (const char* dir : {"/usr/tmp", "/tmp", "/var/tmp"})
        if (access(dir, F_OK) == 0) expected = dir;
    EXPECT_STREQ(temp_directory(), expected);
}
