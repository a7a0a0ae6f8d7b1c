// Update requests: matching against the repository, one download for every
// waiting agent, retries after failures, the timers, and many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include <boost/thread/thread.hpp>

#include "cache/cache_file_ctx.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;
using cache::cache_t;

namespace {

bool mapped_in_process(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find(path) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(Cache, WaitingRequestersShareOneDownloadAndAreServedInOrder) {
    fixture_t f;
    std::vector<blob_t> files = {blob("a", "aaaa"), blob("b", "bbbbbbbbb"), blob("c", "cc")};
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos(files));
    auto first = boost::make_shared<requester_t>(), second = boost::make_shared<requester_t>();
    auto gone = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("101"), first);
    f.cache->request_update(key, mask("111"), gone);  // starts a download of b only
    f.cache->request_update(key, mask("101"), second);
    f.cache->request_update(key, mask("101"), first);  // repeated: no second entry, no download
    ASSERT_EQ(first->download_count(), 1u);
    EXPECT_EQ(second->download_count(), 0u);
    EXPECT_EQ(f.cache->pending_requests(), 3u);
    boost::shared_ptr<srv_side::download_context_t> d = first->take_download();
    EXPECT_EQ(io_test::bytes_of(d->make_request()), "ARQ_UPDATE T8 upd\r\n7 -1 101\r\n");
    gone->take_download()->done(false);  // the agent went away before its download ran
    gone.reset();
    reply(d, files, 3);
    d.reset();
    ASSERT_TRUE(wait_until([&] { return first->served_count() == 1 && second->served_count() == 1; }));
    EXPECT_EQ(first->served[0], (std::vector<std::string>{"aaaa", "cc"}));
    EXPECT_EQ(second->served[0], first->served[0]);
    EXPECT_LT(first->order[0], second->order[0]);  // oldest request first
}

TEST(Cache, RequestsAnsweredAtOnceOrRefused) {
    fixture_t f;
    cache::repo_key_t key{"upd", 3, "p"};
    f.cache->merge(key, infos({blob("a", "1"), blob("b", "2")}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("00"), r);  // nothing asked: an empty answer
    ASSERT_EQ(r->served_count(), 1u);
    EXPECT_TRUE(r->served[0].empty());
    // A mask longer than the list; the reason's text is checked where the connection logs it.
    EXPECT_THROW(f.cache->request_update(key, mask("111"), r), cache::cache_error_shell_t);
    // A key never announced has an empty list, and leaves nothing behind.
    EXPECT_THROW(f.cache->request_update({"upd", 4, "p"}, mask("1"), r), cache::cache_error_shell_t);
    EXPECT_THROW(f.cache->request_update({"upd", 3, "other"}, mask("1"), r), cache::cache_error_shell_t);
    f.cache->request_update({"new", 1, "p"}, mask(""), r);
    EXPECT_EQ(r->served_count(), 2u);
    EXPECT_FALSE(exists(f.dir.path + "/upd/4"));
    EXPECT_FALSE(exists(f.dir.path + "/new"));
    EXPECT_EQ(f.cache->pending_requests(), 0u);
}

TEST(Cache, FailedDownloadsAreRetriedAfterAGrowingDelay) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    blob_t b = blob("x", "right bytes");
    cache::repo_key_t key{"upd", 1, "p"};
    f.cache->merge(key, infos({b}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), r);
    ASSERT_EQ(r->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
    EXPECT_ANY_THROW(d->write("wrong bytes", 11));
    d.reset();
    ASSERT_TRUE(wait_until([&] {
        return log.count("[Repo] Download of upd/1 failed 1 time(s) in a row, next attempt in 1 s") == 1;
    }));
    EXPECT_EQ(r->download_count(), 0u);  // not asked again at once
    ASSERT_TRUE(wait_until([&] { return r->download_count() == 1; }));
    reply(r->take_download(), {b});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0][0], b.bytes);
    EXPECT_FALSE(exists(f.dir.path + "/upd/1/~x~" + b.info.md5 + "~"));
}

/// A body reported whole completes the files it holds, flagged empty files
/// after its last byte included; a short one leaves the files it did not fill
/// to a new download.
TEST(Cache, ABodyReportedWholeCompletesTheFilesItHolds) {
    struct {
        std::vector<blob_t> files;
        std::string body;
        const char* again;  // the mask of the download that follows, "" for none
    } rows[] = {
        {{blob("a", "aaaa"), blob("e", "")}, "aaaa", ""},
        {{blob("e", "")}, "", ""},
        {{blob("a", "aaaa"), blob("b", "bbbb")}, "aaaabb", "01"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body);
        fixture_t f;
        cache::repo_key_t key{"upd", 5, "p"};
        f.cache->merge(key, infos(row.files));
        auto r = boost::make_shared<requester_t>();
        f.cache->request_update(key, mask(std::string(row.files.size(), '1')), r);
        boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
        if (!row.body.empty()) d->write(row.body.data(), row.body.size());
        d->done(true);
        d.reset();
        if (*row.again) {
            ASSERT_TRUE(wait_until([&] { return r->download_count() == 1; }));
            d = r->take_download();
            EXPECT_EQ(d->mask(), mask(row.again));
            reply(d, row.files);
            d.reset();
        }
        ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
        EXPECT_EQ(r->served[0].back(), row.files.back().bytes);
        EXPECT_EQ(r->download_count(), 0u);
    }
}

TEST(Cache, UnloadTimerDropsIdleMappingsButNotHandedOutOnes) {
    io_test::log_capture log;  // outlives the fixture's I/O thread
    fixture_t f(boost::posix_time::seconds(1));
    blob_t b = blob("m", "mapped content");
    cache::repo_key_t key{"upd", 1, "p"};
    f.cache->merge(key, infos({b}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), r);
    reply(r->take_download(), {b});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    std::string path = f.dir.path + "/upd/1/~m~" + b.info.md5;
    ASSERT_TRUE(mapped_in_process(path));
    ASSERT_TRUE(wait_until([&] { return log.count("[Repo] File mapping of " + path + " was unmapped") == 1; }));
    EXPECT_EQ(std::string(r->mappings[0]->data(), r->mappings[0]->size()), b.bytes);
    r->mappings.clear();
    EXPECT_FALSE(mapped_in_process(path));
}

TEST(Cache, ManyThreadsMergingAndRequestingAtOnce) {
    fixture_t f;
    std::vector<blob_t> files;
    for (int i = 0; i < 8; ++i) files.push_back(blob("f" + std::to_string(i), std::string(100 + i, 'a' + i)));
    std::atomic<int> served{0};
    const int threads = 8, rounds = 20;
    boost::thread_group group;
    for (int t = 0; t < threads; ++t) {
        group.create_thread([&, t] {
            for (int i = 0; i < rounds; ++i) {
                cache::repo_key_t key{"upd", static_cast<cache::rev_t>(i % 4), "p" + std::to_string(t % 2)};
                f.cache->merge(key, infos(files));
                auto r = boost::make_shared<requester_t>();
                f.cache->request_update(key, mask("10110111"), r);
                while (r->served_count() == 0) {
                    if (r->download_count()) reply(r->take_download(), files, 50);
                    boost::this_thread::yield();
                }
                for (const std::string& bytes : r->served[0]) EXPECT_EQ(bytes[0], bytes.back());
                ++served;
            }
        });
    }
    group.join_all();
    EXPECT_EQ(served.load(), threads * rounds);
}
