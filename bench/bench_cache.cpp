// The update cache: answering requests for ready files and for missing ones,
// merging large announcements, cleaning an old revision, and loading a
// stored tree at start-up (MD5 over the stored files beside md5_t alone on
// the same bytes in memory).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache.h"
#include "cache/cache_download_ctx.h"
#include "cache/cache_repo.h"
#include "cache/cache_tree.h"
#include "oslayer/md5.h"

namespace {

namespace fs = boost::filesystem;

struct scratch_t {
    std::string path;
    scratch_t() {
        char pattern[] = "/tmp/velmod-bench-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~scratch_t() { fs::remove_all(path); }
};

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

std::string md5_text(const std::string& bytes) {
    md5_t h;
    h.update(bytes.size(), bytes.data());
    h.final();
    return h.hex();
}

struct requester_t : cache::cache_events_t {
    size_t files = 0;
    boost::shared_ptr<srv_side::download_context_t> download;
    void files_ready(uint32_t, const std::vector<cache::served_file_t>& f) override { files = f.size(); }
    void update_failed(uint32_t, const std::string&) override { files = 0; }
    void download_needed(const boost::shared_ptr<srv_side::download_context_t>& d) override { download = d; }
};

// Writes `count` files of `size` bytes as a stored revision upd/1 and
// returns their infos.
std::vector<cache::file_info_t> write_tree(const std::string& root, size_t count, size_t size) {
    std::string dir = root + "/upd/1";
    fs::create_directories(dir);
    std::string bytes = random_bytes(size, 7);
    std::vector<cache::file_info_t> infos;
    for (size_t i = 0; i < count; ++i) {
        bytes[0] = static_cast<char>(i);
        bytes[1] = static_cast<char>(i >> 8);
        cache::file_info_t info{"f" + std::to_string(i), static_cast<uint32_t>(size), md5_text(bytes)};
        std::ofstream(dir + "/~" + info.name + "~" + info.md5, std::ios::binary) << bytes;
        infos.push_back(info);
    }
    return infos;
}

void BM_serve_ready_files(benchmark::State& state) {
    scratch_t dir;
    std::vector<cache::file_info_t> infos = write_tree(dir.path, 100, 1 << 20);
    boost::asio::io_service service;
    boost::shared_ptr<cache::cache_t> c =
        cache::cache_t::create(service, dir.path, boost::posix_time::minutes(10), boost::posix_time::hours(1));
    cache::repo_key_t key{"upd", 1, "p"};
    c->merge(key, infos);
    std::vector<char> mask(infos.size(), '1');
    auto r = boost::make_shared<requester_t>();
    for (auto _ : state) {
        c->request_update(key, mask, r);
        if (r->files != infos.size()) state.SkipWithError("not served at once");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_serve_ready_files)->Unit(benchmark::kMicrosecond);

// Arg: files announced and none stored, all asked for at once: the cache
// flags each for the download. Per-file cost must stay flat from 10,000 to
// 100,000 files.
void BM_request_missing_files(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    scratch_t dir;
    std::vector<cache::file_info_t> infos;
    for (size_t i = 0; i < count; ++i) infos.push_back({"f" + std::to_string(i), 64, md5_text(std::to_string(i))});
    boost::asio::io_service service;
    cache::repo_key_t key{"upd", 1, "p"};
    std::vector<char> mask(count, '1');
    for (auto _ : state) {
        state.PauseTiming();
        boost::shared_ptr<cache::cache_t> c =
            cache::cache_t::create(service, dir.path, boost::posix_time::minutes(10), boost::posix_time::hours(1));
        c->merge(key, infos);
        auto r = boost::make_shared<requester_t>();
        state.ResumeTiming();
        c->request_update(key, mask, r);
        state.PauseTiming();
        if (!r->download) state.SkipWithError("no download started");
        // Released untimed: the download cancels every file it flagged.
        r.reset();
        c.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(count));
}
BENCHMARK(BM_request_missing_files)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// Arg 0: the same list announced again (every context reused);
// arg 1: a new revision of identical files (every file hard-linked).
void BM_merge_10000(benchmark::State& state) {
    scratch_t dir;
    std::vector<cache::file_info_t> infos = write_tree(dir.path, 10000, 64);
    cache::cache_t::repo_t repo(cache::tree_t::open(dir.path));
    cache::rev_t rev = 2;
    repo.merge({"upd", 1, "p"}, infos);
    for (auto _ : state) {
        repo.merge({"upd", state.range(0) ? rev++ : 1, "p"}, infos);
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_merge_10000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// The cleaner's removal of an old revision of 10,000 files whose names the
// three newer revisions share: each removal moves the others' change time.
void BM_clean_10000(benchmark::State& state) {
    scratch_t dir;
    std::vector<cache::file_info_t> infos = write_tree(dir.path, 10000, 64);
    cache::cache_t::repo_t repo(cache::tree_t::open(dir.path));
    repo.merge({"upd", 1, "p"}, infos);
    cache::rev_t rev = 2;
    for (; rev <= 4; ++rev) repo.merge({"upd", rev, "p"}, infos);
    for (auto _ : state) {
        state.PauseTiming();
        repo.merge({"upd", rev++, "p"}, infos);
        state.ResumeTiming();
        repo.clean_revisions();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_clean_10000)->Unit(benchmark::kMillisecond)->Iterations(5);

// `count` announced files of 64 bytes, none stored yet, named `prefix`N,
// whose md5s no other `seed` gives.
std::vector<cache::file_info_t> announced_files(const std::string& prefix, size_t count, size_t seed) {
    std::vector<cache::file_info_t> infos;
    for (size_t i = 0; i < count; ++i)
        infos.push_back({prefix + std::to_string(i), 64, md5_text(std::to_string(seed) + "/" + std::to_string(i))});
    return infos;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

// Arg 0: repositories already stored, 100 announced files each and none
// downloaded; arg 1: 1 when their files are the first 100 of the timed
// list (same names and md5s), 0 when they are files of their own. Timed:
// the announcement of a new repository of 1,000 files, whose cost must not
// grow with the repositories stored before it. bytes_per_file: the heap
// the stored repositories take, per announced file.
void BM_announce_beside_stored(benchmark::State& state) {
    const size_t repositories = static_cast<size_t>(state.range(0)), per_repository = 100;
    scratch_t dir;
    cache::cache_t::repo_t repo(cache::tree_t::open(dir.path));
    const std::vector<cache::file_info_t> list = announced_files("file-", 1000, 0);
    const std::vector<cache::file_info_t> shared(list.begin(), list.begin() + per_repository);
    const size_t before = heap_in_use();
    for (size_t r = 0; r < repositories; ++r)
        repo.merge({"stored-" + std::to_string(r), 1, "p"},
                   state.range(1) ? shared : announced_files("file-", per_repository, r + 1));
    state.counters["bytes_per_file"] = double(heap_in_use() - before) / double(repositories * per_repository);
    size_t next = 0;
    for (auto _ : state) repo.merge({"new-" + std::to_string(next++), 1, "p"}, list);
    state.SetItemsProcessed(state.iterations() * int64_t(list.size()));
}
BENCHMARK(BM_announce_beside_stored)
    ->ArgsProduct({{10, 100, 1000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

const size_t tree_files = 10000, tree_file_size = 32 << 10;

void BM_load_tree_10000(benchmark::State& state) {
    scratch_t dir;
    write_tree(dir.path, tree_files, tree_file_size);
    for (auto _ : state) {
        cache::cache_t::repo_t repo(cache::tree_t::open(dir.path));
        benchmark::DoNotOptimize(repo.entities().size());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(tree_files * tree_file_size));
}
BENCHMARK(BM_load_tree_10000)->Unit(benchmark::kMillisecond)->Iterations(3);

// The baseline: md5_t alone over the same number of bytes, already in memory.
void BM_md5_same_bytes(benchmark::State& state) {
    std::string bytes = random_bytes(tree_file_size, 7);
    for (auto _ : state) {
        for (size_t i = 0; i < tree_files; ++i) {
            md5_t h;
            h.update(bytes.size(), bytes.data());
            h.final();
            benchmark::DoNotOptimize(h.hex());
        }
    }
    state.SetBytesProcessed(state.iterations() * int64_t(tree_files * tree_file_size));
}
BENCHMARK(BM_md5_same_bytes)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
