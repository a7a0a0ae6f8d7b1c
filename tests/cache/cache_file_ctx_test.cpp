// File contexts: the on-disk names, content verification and the download's
// temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache_support.h"

using namespace cache_test;
using cache::cache_t;
typedef cache_t::file_ctx_t file_ctx_t;

namespace {
size_t open_descriptors() {
    size_t n = 0;
    for (boost::filesystem::directory_iterator it("/proc/self/fd"), end; it != end; ++it) ++n;
    return n;
}
}  // namespace

TEST(FileCtx, PathsFollowTheLayoutAndNamesThatWouldLeaveTheRevisionDirectoryAreRefused) {
    struct {
        std::string name, md5;
        const char* leaf;  // null: refused
        const char* read_back;
    } cases[] = {
        {"a/b", "M", "a~b~M", "a/b"},
        {"x", "M", "~x~M", "x"},
        {"a/b/c", "M", "a~b/c~M", "a/b/c"},
        {"../x", "M", "..~x~M", "../x"},  // stays inside: ".." is only part of a leaf
        {"/abs", "M", "~abs~M", "abs"},
        {"a/../../x", "M", nullptr, nullptr},       {"a/b/../../../x", "M", nullptr, nullptr},
        {"a/b//c", "M", nullptr, nullptr},          {"a/b/./c", "M", nullptr, nullptr},
        {"x", "../../M", nullptr, nullptr},         {std::string("a\0b", 3), "M", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const cache::file_info_t info{c.name, 1, c.md5};
        if (!c.leaf) {
            EXPECT_THROW(file_ctx_t::build_path("/r/n/7", info), cache::cache_error_shell_t) << c.name;
            continue;
        }
        EXPECT_EQ(file_ctx_t::build_path("/r/n/7", info), std::string("/r/n/7/") + c.leaf) << c.name;
        EXPECT_EQ(file_ctx_t::name_from_leaf(c.leaf), c.read_back) << c.name;
    }
    EXPECT_EQ(file_ctx_t::name_from_leaf("~a~b~M"), "a");
    EXPECT_EQ(file_ctx_t::create_not_existent("/r/n/7", {"a/b", 1, "M"})->temp_path(), "/r/n/7/a~b~M~");
}

TEST(FileCtx, DownloadVerifiesContentBeforeTheFinalName) {
    scratch_t dir;
    struct {
        std::string bytes;
        std::string announced_md5;
        bool ready;
    } cases[] = {
        {"hello world", md5_of("hello world"), true},
        {"hello world", md5_of("hello worle"), false},
        // Letter case counts: the server's text must match exactly.
        {"hello world", boost::to_upper_copy(md5_of("hello world")), false},
        {"", md5_of(""), true},
        {"", "whatever", true},  // size 0 completes without a check
    };
    int n = 0;
    for (const auto& c : cases) {
        cache::file_info_t info{"f" + std::to_string(n++), static_cast<uint32_t>(c.bytes.size()), c.announced_md5};
        cache_t::file_ptr f = file_ctx_t::create_not_existent(dir.path, info);
        f->download_started();
        EXPECT_EQ(f->get_state(), file_ctx_t::in_download);
        EXPECT_EQ(f->remaining(), c.bytes.size());
        bool raised = false;
        try {
            size_t half = c.bytes.size() / 2;
            f->write(c.bytes.data(), half);
            if (c.bytes.size()) {
                EXPECT_EQ(f->remaining(), c.bytes.size() - half);
            }
            if (f->get_state() == file_ctx_t::in_download) f->write(c.bytes.data() + half, c.bytes.size() - half);
        } catch (const cache::cache_error_shell_t& e) {
            raised = true;
            EXPECT_NE(std::string(e.what()).find("downloaded file has wrong md5"), std::string::npos);
        }
        EXPECT_EQ(raised, !c.ready) << info.name;
        EXPECT_EQ(f->get_state(), c.ready ? file_ctx_t::ready : file_ctx_t::not_existent) << info.name;
        EXPECT_FALSE(exists(f->temp_path())) << info.name;
        EXPECT_EQ(exists(f->path), c.ready) << info.name;
        if (c.ready) {
            EXPECT_EQ(read_file(f->path), c.bytes);
            EXPECT_EQ(f->map()->size(), c.bytes.size());
        }
    }
}

TEST(FileCtx, FailedOrCancelledDownloadsStartOverAndOnlyARunningOneIsCancelled) {
    scratch_t dir;
    blob_t b = blob("x", "0123456789");
    cache_t::file_ptr f = file_ctx_t::create_not_existent(dir.path, b.info);
    f->download_cancelled();  // not_existent: nothing happens
    EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
    // The temporary path taken by a directory: the first write fails at once.
    ASSERT_EQ(::mkdir(f->temp_path().c_str(), 0700), 0);
    f->download_started();
    EXPECT_ANY_THROW(f->write(b.bytes.data(), 3));
    EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
    ASSERT_EQ(::rmdir(f->temp_path().c_str()), 0);
    f->download_started();
    f->write(b.bytes.data(), 4);
    EXPECT_TRUE(exists(f->temp_path()));
    f->download_cancelled();
    EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
    EXPECT_FALSE(exists(f->temp_path()));
    // A later download starts over and completes, replacing a stale file at the final path.
    dir.put("~x~" + b.info.md5, "damaged");
    f->download_started();
    f->write(b.bytes.data(), b.bytes.size());
    ASSERT_EQ(f->get_state(), file_ctx_t::ready);
    f->download_cancelled();  // ready: untouched
    EXPECT_EQ(read_file(f->path), b.bytes);
    EXPECT_TRUE(f->remove());
    EXPECT_TRUE(f->remove());  // already gone: still true
}

TEST(FileCtx, IdleMappingIsDroppedButHandedOutOnesStayValid) {
    scratch_t dir;
    std::string path = dir.put("~x~abc", "mapped bytes");
    size_t descriptors = open_descriptors();
    cache_t::file_ptr f = file_ctx_t::create(path);
    EXPECT_EQ(open_descriptors(), descriptors);  // a mapped file holds no descriptor
    EXPECT_EQ(f->info.name, "x");
    EXPECT_EQ(f->info.md5, md5_of("mapped bytes"));
    cache::mapping_ptr handed = f->map();
    f->unmap_if_unused(boost::posix_time::hours(1));
    EXPECT_TRUE(f->mapping);  // used just now
    f->unmap_if_unused(boost::posix_time::seconds(-1));
    EXPECT_FALSE(f->mapping);
    EXPECT_EQ(std::string(handed->data(), handed->size()), "mapped bytes");
    EXPECT_EQ(f->map()->size(), 12u);  // mapped again on the next use
}
