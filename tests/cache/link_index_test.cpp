// The index of files a new revision links from: kept with the stored files
// as they are loaded, downloaded, linked, set back and cleaned.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/cache_repo.h"
#include "cache/link_index.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;
using cache::cache_t;

namespace {

cache::link_index_t& links(const fixture_t& f) { return f.cache->tree()->links(); }

// Asks for every file of the key and has the missing ones downloaded.
void fetch(fixture_t& f, const cache::repo_key_t& key, const std::vector<blob_t>& files) {
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask(std::string(files.size(), '1')), r);
    if (r->download_count()) reply(r->take_download(), files);
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
}

}  // namespace

/// A file is linked from once its download completes, under any name of
/// its leaf with its size and md5, by no other; no longer once it is set
/// back or its revision cleaned; again once the load finds it.
TEST(LinkIndex, FilesAreLinkedFromWhileTheyAreReadyAndStored) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    const blob_t a = blob("a~b/c", "shared bytes"), same_leaf = blob("a/b~c", a.bytes);
    const blob_t other = blob("a~b/c", "other bytes"), near = blob("a~b/c", "shared bytez");
    const std::string leaf = "/a~b~c~" + a.info.md5;
    f.cache->merge({"upd", 1, "p"}, infos({a}));
    EXPECT_EQ(links(f).size(), 0u);  // announced, not stored
    fetch(f, {"upd", 1, "p"}, {a});
    EXPECT_EQ(links(f).size(), 1u);
    // "a/b~c" shares the leaf a~b~c: stored at the same path, linked; the
    // same name of other bytes, or of another md5 at the same size, is not.
    f.cache->merge({"upd", 2, "p"}, infos({same_leaf, other, near}));
    EXPECT_EQ(inode_of(f.dir.path + "/upd/2" + leaf), inode_of(f.dir.path + "/upd/1" + leaf));
    EXPECT_EQ(boost::filesystem::directory_iterator(f.dir.path + "/upd/2")->path().filename().string(), leaf.substr(1));
    EXPECT_EQ(links(f).size(), 2u);
    // Gone from the disk, and set back by the request that finds it so: the
    // next revision links the other name.
    ASSERT_EQ(::unlink((f.dir.path + "/upd/1" + leaf).c_str()), 0);
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("1"), r);
    EXPECT_EQ(links(f).size(), 1u);
    f.cache->merge({"upd", 3, "p"}, infos({a}));
    EXPECT_EQ(inode_of(f.dir.path + "/upd/3" + leaf), inode_of(f.dir.path + "/upd/2" + leaf));
    EXPECT_EQ(links(f).size(), 2u);
    f.cache.reset();

    // Loaded: revisions 2 and 3 (revision 1 is empty and goes); cleaned:
    // revisions 2 and 3 once three newer ones link the file.
    cache::tree_ptr tree = tree_of(f.dir);
    cache_t::repo_t repo(tree);
    EXPECT_EQ(tree->links().size(), 2u);
    for (cache::rev_t rev : {4, 5, 6}) repo.merge({"upd", rev, "p"}, infos({a}));
    EXPECT_EQ(tree->links().size(), 5u);
    repo.clean_revisions();
    EXPECT_EQ(tree->links().size(), 3u);
    cache_t::file_ptr found = repo.find_ctx(a.info);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->path.substr(found->path.size() - leaf.size()), leaf);
    EXPECT_FALSE(repo.find_ctx(near.info));
    EXPECT_FALSE(repo.find_ctx(other.info));
}
