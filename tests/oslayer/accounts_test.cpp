// Account names from real system lookups: ids with and without an entry,
// the one-entry caches, names back to ids, and lookups from several threads.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

#include <string>
#include <thread>
#include <vector>

#include "oslayer/accounts.h"

namespace {

/// The first id from 4000000000 up that has no user entry.
uid_t unused_uid() {
    uid_t id = 4000000000u;
    while (getpwuid(id)) ++id;
    return id;
}

/// The first id from 4000000000 up that has no group entry.
gid_t unused_gid() {
    gid_t id = 4000000000u;
    while (getgrgid(id)) ++id;
    return id;
}

std::string name_of_user(uid_t uid) {
    std::string out;
    user_name(uid, out);
    return out;
}

std::string name_of_group(gid_t gid) {
    std::string out;
    group_name(gid, out);
    return out;
}

}  // namespace

TEST(AccountsNames, IdWithoutEntryIsDecimalAndCached) {
    const uid_t uid = unused_uid();
    EXPECT_EQ(name_of_user(uid), std::to_string(uid));
    {
        xlocker_t lock(unxs_n::unx_sec_user_guard);
        EXPECT_EQ(unxs_n::unx_sec_uid, uid);
        EXPECT_EQ(unxs_n::unx_sec_user, std::to_string(uid));
        // A marker the system could never give proves the next answer is the cache's.
        unxs_n::unx_sec_user = "from-cache";
    }
    EXPECT_EQ(name_of_user(uid), "from-cache");
    // Another id replaces the entry; the first one is then asked for again.
    EXPECT_EQ(name_of_user(0), "root");
    EXPECT_EQ(name_of_user(uid), std::to_string(uid));

    const gid_t gid = unused_gid();
    EXPECT_EQ(name_of_group(gid), std::to_string(gid));
    {
        xlocker_t lock(unxs_n::unx_sec_group_guard);
        EXPECT_EQ(unxs_n::unx_sec_gid, gid);
        unxs_n::unx_sec_group = "from-cache";
    }
    EXPECT_EQ(name_of_group(gid), "from-cache");
    EXPECT_EQ(name_of_group(0), "root");
    EXPECT_EQ(name_of_group(gid), std::to_string(gid));
}

TEST(AccountsNames, HighestIdIsNotMistakenForTheEmptyCache) {
    // 0xFFFFFFFF is also the id an unfilled cache holds.
    ASSERT_EQ(getpwuid(0xFFFFFFFFu), nullptr);
    ASSERT_EQ(getgrgid(0xFFFFFFFFu), nullptr);
    {
        xlocker_t u(unxs_n::unx_sec_user_guard), g(unxs_n::unx_sec_group_guard);
        unxs_n::unx_sec_uid = unxs_n::unx_sec_gid = 0xFFFFFFFFu;
        unxs_n::unx_sec_user.clear();
        unxs_n::unx_sec_group.clear();
    }
    std::string out;
    account_name(0xFFFFFFFFu, 0xFFFFFFFFu, out);
    EXPECT_EQ(out, "4294967295:4294967295");
}

TEST(AccountsIds, RootBothWaysNamesAppendedUnknownNamesLeaveTheId) {
    std::string out = "as ";
    user_name(0, out);
    group_name(0, out);
    account_name(0, 0, out);
    EXPECT_EQ(out, "as rootrootroot:root");
    uid_t uid = 77;
    gid_t gid = 77;
    EXPECT_TRUE(user_id("root", uid));
    EXPECT_TRUE(group_id("root", gid));
    EXPECT_EQ(uid + gid, 0u);
    if (const passwd* nobody = getpwnam("nobody")) {
        EXPECT_TRUE(user_id("nobody", uid));
        EXPECT_EQ(uid, nobody->pw_uid);
    }
    uid = gid = 77;
    EXPECT_FALSE(user_id("no-such-velmo-user", uid));
    EXPECT_FALSE(group_id("no-such-velmo-group", gid));
    EXPECT_FALSE(user_id("", uid));
    EXPECT_FALSE(user_id(nullptr, uid));
    EXPECT_FALSE(group_id(nullptr, gid));
    EXPECT_EQ(uid + gid, 154u);
}

TEST(AccountsConcurrency, ThreadsAlternatingIdsAlwaysGetTheirOwnName) {
    const uid_t uid = unused_uid();
    const gid_t gid = unused_gid();
    const std::string unknown_user = std::to_string(uid);
    const std::string expected_other = unknown_user + ":" + std::to_string(gid);
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string out;
                bool root = (i + t) % 2 == 0;
                if (root)
                    account_name(0, 0, out);
                else
                    account_name(uid, gid, out);
                if (out != (root ? "root:root" : expected_other)) ++wrong[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}
