// Account names from real system lookups: ids with and without an entry,
// the one-entry caches, names back to ids, and lookups from several threads.

#include <grp.h>
#include <pwd.h>

#include "oslayer/accounts.h"
#include "tests/oslayer/test_support.h"

namespace {

/// The first id from 4000000000 up that `lookup` finds no entry for.
template <class L>
uint32_t unused_id(L lookup) {
    uint32_t id = 4000000000u;
    while (lookup(id)) ++id;
    return id;
}

template <class F>
std::string name_by(F name_of, uint32_t id) {
    std::string out;
    name_of(id, out);
    return out;
}

}  // namespace

TEST(AccountsNames, IdWithoutEntryIsDecimalAndCachedForUsersAndGroups) {
    struct kind_t {
        void (*name_of)(uint32_t, std::string&);
        uint32_t unused;
        mutex_t& guard;
        uint32_t& cached_id;
        std::string& cached_name;
    } kinds[] = {{user_name, unused_id(getpwuid), unxs_n::unx_sec_user_guard, unxs_n::unx_sec_uid,
                  unxs_n::unx_sec_user},
                 {group_name, unused_id(getgrgid), unxs_n::unx_sec_group_guard, unxs_n::unx_sec_gid,
                  unxs_n::unx_sec_group}};
    for (kind_t& k : kinds) {
        EXPECT_EQ(name_by(k.name_of, k.unused), std::to_string(k.unused));
        {
            xlocker_t lock(k.guard);
            EXPECT_EQ(k.cached_id, k.unused);
            EXPECT_EQ(k.cached_name, std::to_string(k.unused));
            // A marker the system could never give proves the next answer is the cache's.
            k.cached_name = "from-cache";
        }
        EXPECT_EQ(name_by(k.name_of, k.unused), "from-cache");
        // Another id replaces the entry; the first one is then asked for again.
        EXPECT_EQ(name_by(k.name_of, 0), "root");
        EXPECT_EQ(name_by(k.name_of, k.unused), std::to_string(k.unused));
    }
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
    EXPECT_TRUE(user_id("root", uid) && group_id("root", gid));
    EXPECT_EQ(uid + gid, 0u);
    if (const passwd* nobody = getpwnam("nobody")) {
        EXPECT_TRUE(user_id("nobody", uid));
        EXPECT_EQ(uid, nobody->pw_uid);
    }
    uid = gid = 77;
    for (const char* bad : {"no-such-velmo-name", "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(user_id(bad, uid));
        EXPECT_FALSE(group_id(bad, gid));
    }
    EXPECT_EQ(uid + gid, 154u);
}

TEST(AccountsConcurrency, ThreadsAlternatingIdsAlwaysGetTheirOwnName) {
    const uid_t uid = unused_id(getpwuid);
    const gid_t gid = unused_id(getgrgid);
    const std::string expected_other = std::to_string(uid) + ":" + std::to_string(gid);
    std::vector<int> wrong(4, 0);
    oslayer_test::run_threads(4, [&](int t) {
        for (int i = 0; i < 200; ++i) {
            std::string out;
            bool root = (i + t) % 2 == 0;
            account_name(root ? 0 : uid, root ? 0 : gid, out);
            if (out != (root ? "root:root" : expected_other)) ++wrong[t];
        }
    });
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}
