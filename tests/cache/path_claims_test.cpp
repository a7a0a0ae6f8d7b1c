// The places the files of one revision claim: a file's path may be no other
// file's directory, whichever is claimed first, its temporary path included.
#include <gtest/gtest.h>

#include "cache/cache_file_ctx.h"
#include "cache/path_claims.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;

TEST(PathClaims, AFileAndADirectoryAtOnePlaceClashWhicheverComesFirst) {
    const std::string dir = "/r/upd/7";
    cache::file_info_t file{"a/b", 1, "m"}, below{"a/b~m/c", 1, "n"}, other{"a/x/c", 1, "o"};
    const std::vector<std::pair<std::string, std::string>> clashing = {
        {dir + "/a~b~m", dir + "/a~b~m/c~n"},     // the stored file as a directory
        {dir + "/a~b~m~", dir + "/a~b~m~/c~n"},   // the temporary file as one
        {dir + "/a~b~m", dir + "/a~b~m/d/e/c~n"}, // several levels below
    };
    for (const auto& pair : clashing) {
        cache::path_claims_t forward, backward;
        EXPECT_EQ(forward.claim(dir, pair.first, file), nullptr);
        EXPECT_EQ(forward.claim(dir, pair.second, below), &file) << pair.second;
        EXPECT_EQ(backward.claim(dir, pair.second, below), nullptr);
        EXPECT_EQ(backward.claim(dir, pair.first, file), &below) << pair.first;
    }
    // Shared directories, one path claimed twice (the same file announced
    // again), a name that only begins like another, and the revision's own
    // directory: no clash.
    cache::path_claims_t claims;
    EXPECT_EQ(claims.claim(dir, dir + "/a~x/c~o", other), nullptr);
    EXPECT_EQ(claims.claim(dir, dir + "/a~x/d~o", other), nullptr);
    EXPECT_EQ(claims.claim(dir, dir + "/a~x/d~o", other), nullptr);
    EXPECT_EQ(claims.claim(dir, dir + "/a~x~o", file), nullptr);
    EXPECT_EQ(claims.claim(dir, dir + "/a~x/c~o/", below), &other);  // never built, yet caught
}

/// Through announcements: the second list of a revision that needs a file
/// of the first as a directory is refused whole, its ERROR naming both, and
/// the first list stays as it was.
TEST(PathClaims, AListClashingWithAnEarlierListOfItsRevisionIsRefused) {
    io_test::log_capture log(LOG_LEVEL_ERROR);
    fixture_t f;
    blob_t file = blob("a/b", "bytes of a/b");
    blob_t below = blob("a/b~" + file.info.md5 + "/c", "bytes of c");
    cache::repo_key_t key{"upd", 7, "p"};
    cache::cache_t::announced_ptr first = f.cache->merge(key, infos({file}));
    EXPECT_EQ(f.cache->merge(key, infos({file})), first);  // the same list is kept once
    EXPECT_THROW(f.cache->merge(key, infos({blob("z", "z"), below})), cache::cache_error_shell_t);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("\"a/b\""), std::string::npos) << log.messages()[0];
    EXPECT_NE(log.messages()[0].find("\"" + below.info.name + "\""), std::string::npos) << log.messages()[0];
    EXPECT_FALSE(exists(f.dir.path + "/upd/7/~z~" + md5_of("z")));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), r);
    ASSERT_EQ(r->download_count(), 1u);
    EXPECT_EQ(r->take_download()->mask(), mask("1"));
}
