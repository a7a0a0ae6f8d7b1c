// The bound on the cache's memory mappings: least recently used files give
// theirs up, small files are read once the budget is full, replies take a
// file's bytes only when sent, and requests nobody can serve are failed.
#include <gtest/gtest.h>

#include <fstream>

#include <boost/thread/thread.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/mapping_budget.h"
#include "cache_support.h"

using namespace cache_test;
using cache::cache_t;
using cache::mapping_budget_t;
typedef cache_t::file_ctx_t file_ctx_t;

namespace {

/// Sets the budget for one test and puts the default back.
struct budget_guard {
    size_t saved = mapping_budget_t::limit;
    explicit budget_guard(size_t limit) { mapping_budget_t::limit = limit; }
    ~budget_guard() { mapping_budget_t::limit = saved; }
};

/// Mappings of files under `dir` in this process.
size_t mapped_under(const std::string& dir) {
    std::ifstream maps("/proc/self/maps");
    size_t n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find(dir) != std::string::npos;
    return n;
}

/// `count` stored files of `size` bytes (each with its own first bytes) as ready contexts.
std::vector<cache_t::file_ptr> stored_files(const scratch_t& dir, size_t count, size_t size) {
    std::vector<cache_t::file_ptr> files;
    for (size_t i = 0; i < count; ++i) {
        std::string bytes(size, static_cast<char>('a' + i % 26));
        bytes.replace(0, std::to_string(i).size(), std::to_string(i));
        files.push_back(file_ctx_t::create(tree_of(dir), dir.put("~f" + std::to_string(i) + "~m", bytes)));
    }
    return files;
}

std::string text(const cache::mapping_ptr& m) { return m && m->size() ? std::string(m->data(), m->size()) : ""; }

const size_t large = mapping_budget_t::copy_below + 1;

}  // namespace

TEST(MappingBudget, LeastRecentlyUsedGiveUpTheirMappingsAndHandedOutOnesStayValid) {
    budget_guard budget(3);
    scratch_t dir;
    std::vector<cache_t::file_ptr> files = stored_files(dir, 5, large);
    const size_t before = mapping_budget_t::global().held();
    cache::mapping_ptr first = files[0]->map();
    for (size_t i = 1; i < 3; ++i) files[i]->map();
    files[0]->map();  // used again: now the most recent
    files[3]->map();  // over the budget: file 1, the oldest, gives its mapping up
    EXPECT_TRUE(files[0]->mapping);
    EXPECT_FALSE(files[1]->mapping);
    EXPECT_TRUE(files[3]->mapping);
    cache::mapping_ptr last = files[4]->map();  // large files are mapped even when the budget is full
    EXPECT_FALSE(files[2]->mapping);
    EXPECT_EQ(mapping_budget_t::global().held() - before, 3u);
    EXPECT_EQ(mapped_under(dir.path), 3u);
    EXPECT_EQ(text(first).substr(0, 1), "0");
    EXPECT_EQ(text(last).size(), large);
    // A file that goes away leaves the budget with its mapping.
    files.clear();
    first.reset();
    last.reset();
    EXPECT_EQ(mapping_budget_t::global().held(), before);
    EXPECT_EQ(mapped_under(dir.path), 0u);
}

TEST(MappingBudget, SmallFilesAreReadOnceTheBudgetIsFull) {
    budget_guard budget(1);
    scratch_t dir;
    std::vector<cache_t::file_ptr> big = stored_files(dir, 1, large);
    cache_t::file_ptr small = file_ctx_t::create(tree_of(dir), dir.put("~small~m", "small bytes"));
    cache_t::file_ptr empty = file_ctx_t::create(tree_of(dir), dir.put("~empty~m", ""));
    big[0]->map();
    const size_t copies = mapping_budget_t::global().copies();
    cache::mapping_ptr bytes = small->map();
    EXPECT_EQ(text(bytes), "small bytes");
    EXPECT_FALSE(bytes->mapped());
    EXPECT_FALSE(small->mapping);  // a copy is never kept
    EXPECT_TRUE(big[0]->mapping);
    EXPECT_EQ(mapping_budget_t::global().copies(), copies + 1);
    EXPECT_EQ(mapped_under(dir.path), 1u);
    EXPECT_EQ(empty->map()->size(), 0u);
}

TEST(MappingBudget, ServedFilesTakeTheirBytesOnlyWhenSentAndRefuseChangedOnes) {
    scratch_t dir;
    cache_t::file_ptr file = file_ctx_t::create(tree_of(dir), dir.put("~x~m", "twelve bytes"));
    cache::served_file_t served(file);
    io::request_queue queue = served.request();
    EXPECT_EQ(queue.size(), 12u);
    EXPECT_FALSE(file->mapping);  // framing the reply maps nothing
    EXPECT_EQ(std::string(static_cast<const char*>(queue.front()->const_buffer().data()), 12), "twelve bytes");
    EXPECT_TRUE(file->mapping);

    // Gone from disk, or with another size than announced: an error naming
    // the file, never other bytes under the announced size.
    struct {
        const char* name;
        const char* content;  // null: removed
    } cases[] = {{"~gone~m", nullptr}, {"~grown~m", "longer than before"}, {"~shrunk~m", "short"}};
    for (const auto& c : cases) {
        cache_t::file_ptr f = file_ctx_t::create(tree_of(dir), dir.put(c.name, "original"));
        if (c.content)
            dir.put(c.name, c.content);
        else
            ::unlink(f->path.c_str());
        io::request_queue q = cache::served_file_t(f).request();
        EXPECT_EQ(q.size(), 8u) << c.name;
        try {
            q.front()->const_buffer();
            ADD_FAILURE() << c.name << " was served";
        } catch (const io_error_exception_shell_t& e) {
            EXPECT_NE(std::string(e.what()).find(f->path), std::string::npos) << e.what();
        }
    }
}

TEST(MappingBudget, ManyThreadsServingManyFilesStayWithinTheBudget) {
    budget_guard budget(5);
    scratch_t dir;
    std::vector<cache_t::file_ptr> files = stored_files(dir, 40, large);
    std::atomic<int> wrong{0};
    std::atomic<size_t> peak{0};
    std::vector<boost::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                size_t i = static_cast<size_t>(t * 7 + round * 3) % files.size();
                cache::mapping_ptr m = cache::served_file_t(files[i]).bytes();
                if (text(m).substr(0, std::to_string(i).size()) != std::to_string(i)) ++wrong;
                size_t held = mapping_budget_t::global().held();
                for (size_t p = peak.load(); held > p && !peak.compare_exchange_weak(p, held);) {
                }
            }
        });
    }
    for (boost::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(peak.load(), 5u);
    EXPECT_LE(mapped_under(dir.path), 5u);
}

TEST(MappingBudget, ARequestNobodyCanDownloadFailsInsteadOfWaiting) {
    fixture_t f;
    std::vector<blob_t> files = {blob("a", "aaaa"), blob("b", "bbbb")};
    cache::repo_key_t key{"upd", 3, "p"};
    f.cache->merge(key, infos(files));
    auto stalled = boost::make_shared<requester_t>();
    stalled->downloads_allowed = false;
    auto able = boost::make_shared<requester_t>();

    // Alone, a requester that may not download is told its request failed.
    f.cache->request_update(key, mask("10"), stalled);
    EXPECT_EQ(stalled->download_count(), 0u);
    ASSERT_EQ(stalled->failure_count(), 1u);

    // Beside a requester that may, that one downloads for both.
    f.cache->request_update(key, mask("01"), able);
    ASSERT_EQ(able->download_count(), 1u);
    f.cache->request_update(key, mask("01"), stalled);
    EXPECT_EQ(stalled->failure_count(), 1u);  // waits for the running download
    reply(able->take_download(), files);
    ASSERT_TRUE(wait_until([&] { return able->served_count() == 1 && stalled->served_count() == 1; }));
    EXPECT_EQ(stalled->served[0], std::vector<std::string>{"bbbb"});
}
