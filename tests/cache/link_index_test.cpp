// The index of files a new revision links from, kept with the stored files.
#include <gtest/gtest.h>

#include "cache/cache_repo.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;

/// A file is linked from once its download completes, under any name of
/// its leaf with its size and md5; no longer once it is set back or its
/// revision cleaned.
TEST(LinkIndex, FilesAreLinkedFromWhileTheyAreReadyAndStored) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    const blob_t a = blob("a~b/c", "shared bytes"), near = blob("a~b/c", "shared bytez");
    auto path = [&](int rev) { return f.dir.path + "/upd/" + std::to_string(rev) + "/a~b~c~" + a.info.md5; };
    f.cache->merge({"upd", 1, "p"}, infos({a}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("1"), r);
    reply(r->take_download(), {a});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    // "a/b~c" shares the leaf a~b~c; another md5 of the same size does not.
    f.cache->merge({"upd", 2, "p"}, infos({blob("a/b~c", a.bytes), near}));
    EXPECT_EQ(inode_of(path(2)), inode_of(path(1)));
    EXPECT_FALSE(exists(f.dir.path + "/upd/2/a~b~c~" + near.info.md5));
    // Found gone and set back: the next revision links the other name.
    ASSERT_EQ(::unlink(path(1).c_str()), 0);
    f.cache->request_update({"upd", 1, "p"}, mask("1"), r);
    f.cache->merge({"upd", 3, "p"}, infos({a}));
    EXPECT_EQ(inode_of(path(3)), inode_of(path(2)));
    f.cache.reset();
    cache::cache_t::repo_t repo(tree_of(f.dir));
    ASSERT_TRUE(repo.find_ctx(a.info));
    for (cache::rev_t rev : {4, 5, 6}) repo.merge({"upd", rev, "p"}, infos({near}));
    repo.clean_revisions();  // 2 and 3, the only ones holding a's bytes
    EXPECT_FALSE(repo.find_ctx(a.info));
}
