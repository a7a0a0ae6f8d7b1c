// The repository tree: loading, hard links between revisions, cleaning, and
// names that must never leave the cache root.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/cache_repo.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;
using cache::cache_t;
namespace fs = boost::filesystem;

namespace {

// Merges `files` under the key and downloads them all through the cache's own contexts.
void store(cache_t& c, const cache::repo_key_t& key, const std::vector<blob_t>& files) {
    c.merge(key, infos(files));
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    c.request_update(key, mask(std::string(files.size(), '1')), r);
    if (r->download_count()) reply(r->take_download(), files);
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    for (fs::directory_iterator it(dir), end; it != end; ++it) out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(Repo, LoadSkipsEmptyDirectoriesAndRefusesBadRevisions) {
    scratch_t dir;
    fs::create_directories(dir.path + "/upd/5");
    fs::create_directories(dir.path + "/upd/6");
    dir.put("upd/5/~e~0", "");                  // size 0: deleted
    dir.put("upd/6/~t~0~", "unfinished only");  // ignored, then removed with its directory
    dir.put("loose-file", "ignored");
    {
        cache_t::repo_t repo(tree_of(dir));
        EXPECT_TRUE(repo.entities().empty());
    }
    EXPECT_FALSE(exists(dir.path + "/upd/5"));
    EXPECT_FALSE(exists(dir.path + "/upd/6"));
    EXPECT_TRUE(exists(dir.path + "/loose-file"));
    fs::create_directories(dir.path + "/other/latest");
    EXPECT_ANY_THROW(cache_t::repo_t repo(tree_of(dir)));
}

TEST(Repo, IdenticalFileOfANewRevisionIsHardLinkedAndOutlivesItsSource) {
    fixture_t f;
    scratch_t& dir = f.dir;
    boost::shared_ptr<cache_t> c = f.cache;
    blob_t shared = blob("lib/x.dll", "shared content");
    store(*c, {"upd", 1, "p"}, {shared});
    for (cache::rev_t rev : {2, 3, 4, 10}) c->merge({"upd", rev, "p"}, infos({shared}));
    std::string first = dir.path + "/upd/1/lib~x.dll~" + shared.info.md5;
    std::string last = dir.path + "/upd/10/lib~x.dll~" + shared.info.md5;
    EXPECT_EQ(inode_of(first), inode_of(last));
    // Ready through the link: served without any download.
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    c->request_update({"upd", 10, "p"}, mask("1"), r);
    EXPECT_EQ(r->download_count(), 0u);
    ASSERT_EQ(r->served_count(), 1u);

    cache_t::repo_t repo(tree_of(dir));
    repo.clean_revisions();
    EXPECT_EQ(entries(dir.path + "/upd"), (std::vector<std::string>{"10", "3", "4"}));
    EXPECT_EQ(read_file(last), shared.bytes);
}

TEST(Repo, NamesThatWouldLeaveTheRootAreRefusedAndCreateNothing) {
    scratch_t dir;
    std::string root = dir.path + "/root";
    boost::asio::io_service service;
    io_test::log_capture log(LOG_LEVEL_ERROR);
    boost::shared_ptr<cache_t> c = cache_t::create(service, root, boost::posix_time::minutes(10),
                                                   boost::posix_time::hours(1));
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    for (const char* name : {"..", ".", "", "a/b", "../x", "/abs"}) {
        EXPECT_THROW(c->merge({name, 1, "p"}, infos({blob("f", "x")})), cache::cache_error_shell_t) << name;
        EXPECT_THROW(c->request_update({name, 1, "p"}, mask(""), r), cache::cache_error_shell_t) << name;
    }
    // One bad file refuses the whole announcement: the list keeps its old content.
    c->merge({"upd", 1, "p"}, infos({blob("good", "g")}));
    EXPECT_THROW(c->merge({"upd", 1, "p"}, infos({blob("ok", "o"), blob("a/../../x", "evil")})),
                 cache::cache_error_shell_t);
    c->request_update({"upd", 1, "p"}, mask("1"), r);
    EXPECT_EQ(r->download_count(), 1u);
    EXPECT_EQ(entries(dir.path), std::vector<std::string>{"root"});
    EXPECT_EQ(entries(root), std::vector<std::string>{"upd"});
    // Refused twice in a row: the logger writes the repeat as a count.
    EXPECT_EQ(log.count("[Repo] Refused repository name \"..\": it would leave the cache root"), 1u);
    EXPECT_EQ(log.count("[Repo] Refused file \"a/../../x\" with md5 \"" + blob("", "evil").info.md5 +
                        "\": its path would leave " + root + "/upd/1"),
              1u);
}
