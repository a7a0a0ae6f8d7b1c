// File contexts: the on-disk names, content verification and the download's
// temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache_support.h"

using namespace cache_test;
using cache::cache_t;
using cache::shown_text;
typedef cache_t::file_ctx_t file_ctx_t;

namespace {
size_t open_descriptors() {
    size_t n = 0;
    for (boost::filesystem::directory_iterator it("/proc/self/fd"), end; it != end; ++it) ++n;
    return n;
}
}  // namespace

TEST(FileCtx, PathsFollowTheLayoutAndWhatCannotBeStoredIsRefused) {
    const std::string m = md5_of("m");  // any md5 text a download can match
    const std::string long_piece(NAME_MAX, 'n');
    struct {
        std::string name, md5;
        const char* leaf;  // null: refused
        const char* read_back;
    } cases[] = {
        {"a/b", m, "a~b~M", "a/b"},
        {"x", m, "~x~M", "x"},
        {"a/b/c", m, "a~b/c~M", "a/b/c"},
        {"../x", m, "..~x~M", "../x"},  // stays inside: ".." is only part of a leaf
        {"/abs", m, "~abs~M", "abs"},
        // '~' of the name's own: only the last one is the md5's; a name that
        // shares its leaf with another reads back as that one.
        {"x~y", m, "~x~y~M", "x~y"},              {"t/u~v/w", m, "t~u~v/w~M", "t/u~v/w"},
        {"a~b/c", m, "a~b~c~M", "a/b~c"},         {"~/e~", m, "~~e~~M", "~e~"},
        {"a/../../x", m, nullptr, nullptr},       {"a/b/../../../x", m, nullptr, nullptr},
        {"a/b//c", m, nullptr, nullptr},          {"a/b/./c", m, nullptr, nullptr},
        {std::string("a\0b", 3), m, nullptr, nullptr},
        // md5 texts no download can match: any but 32 lower-case hex digits.
        {"x", "../../M", nullptr, nullptr},       {"x", "", nullptr, nullptr},
        {"x", "..", nullptr, nullptr},            {"x", boost::to_upper_copy(m), nullptr, nullptr},
        {"x", m + "0", nullptr, nullptr},         {"x", m.substr(1), nullptr, nullptr},
        {"x", m.substr(1) + "~", nullptr, nullptr}, {"x", m.substr(1) + "g", nullptr, nullptr},
        // Longer than the file system stores: one piece, or the whole path.
        {long_piece, m, nullptr, nullptr},         {"d/" + long_piece, m, nullptr, nullptr},
        {std::string(300, 'n'), m, nullptr, nullptr}, {"d/" + std::string(4200, 'n'), m, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const cache::file_info_t info{c.name, 1, c.md5};
        SCOPED_TRACE(shown_text(c.name) + " " + c.md5);
        if (!c.leaf) {
            EXPECT_THROW(file_ctx_t::build_path("/r/n/7", info), cache::cache_error_shell_t);
            continue;
        }
        std::string leaf = c.leaf;
        leaf.replace(leaf.size() - 1, 1, m);
        EXPECT_EQ(file_ctx_t::build_path("/r/n/7", info), "/r/n/7/" + leaf);
        EXPECT_EQ(file_ctx_t::name_from_leaf(leaf), c.read_back);
        EXPECT_EQ(file_ctx_t::stored_name(info), c.read_back);
        EXPECT_EQ(file_ctx_t::build_path("/r/n/7", {c.read_back, 1, c.md5}), "/r/n/7/" + leaf);
    }
    // The longest name piece that still fits, with its temporary '~'.
    std::string fits(NAME_MAX - 2 - 32 - 1, 'n');
    EXPECT_NO_THROW(file_ctx_t::build_path("/r/n/7", {fits, 1, m}));
    EXPECT_THROW(file_ctx_t::build_path("/r/n/7", {fits + "n", 1, m}), cache::cache_error_shell_t);
    EXPECT_EQ(file_ctx_t::name_from_leaf("~a~b~M"), "a~b");
    scratch_t dir;
    EXPECT_EQ(file_ctx_t::create_not_existent(tree_of(dir), dir.path + "/n/7", {"a/b", 1, m})->temp_path(),
              dir.path + "/n/7/a~b~" + m + "~");
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
        // No byte to check, but an empty file is ready only with the md5 of no bytes.
        {"", md5_of(""), true},
        {"", md5_of("x"), false},
    };
    int n = 0;
    for (const auto& c : cases) {
        cache::file_info_t info{"f" + std::to_string(n++), static_cast<uint32_t>(c.bytes.size()), c.announced_md5};
        cache_t::file_ptr f = file_ctx_t::create_not_existent(tree_of(dir), dir.path, info);
        f->download_started(1);
        EXPECT_EQ(f->get_state(), file_ctx_t::in_download);
        EXPECT_EQ(f->remaining(), c.bytes.size());
        bool raised = false;
        try {
            size_t half = c.bytes.size() / 2;
            f->write(1, c.bytes.data(), half);
            if (c.bytes.size()) {
                EXPECT_EQ(f->remaining(), c.bytes.size() - half);
            }
            if (f->get_state() == file_ctx_t::in_download) f->write(1, c.bytes.data() + half, c.bytes.size() - half);
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

TEST(FileCtx, FailedOrCancelledDownloadsStartOverAndOnlyTheOwnerWritesOrCancels) {
    scratch_t dir;
    blob_t b = blob("x", "0123456789");
    cache_t::file_ptr f = file_ctx_t::create_not_existent(tree_of(dir), dir.path, b.info);
    EXPECT_FALSE(f->download_cancelled(1));  // not_existent: nothing happens
    EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
    EXPECT_THROW(f->write(1, b.bytes.data(), 3), cache::cache_error_shell_t);  // nobody's download
    EXPECT_FALSE(exists(f->temp_path()));
    // The temporary path taken by a directory: removed, and the download writes.
    ASSERT_EQ(::mkdir(f->temp_path().c_str(), 0700), 0);
    f->download_started(1);
    f->write(1, b.bytes.data(), 3);
    EXPECT_TRUE(f->downloaded_by(1));
    EXPECT_TRUE(f->download_cancelled(1));
    // One that cannot be removed (immutable, where the file system has the
    // flag): the first write fails at once.
    ASSERT_EQ(::mkdir(f->temp_path().c_str(), 0700), 0);
    if (set_immutable(f->temp_path(), true)) {
        f->download_started(1);
        EXPECT_THROW(f->write(1, b.bytes.data(), 3), io_error_exception_shell_t);
        EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
        set_immutable(f->temp_path(), false);
    }
    ASSERT_EQ(::rmdir(f->temp_path().c_str()), 0);
    // Download 2 fails on wrong bytes; download 3 takes the file over before
    // 2 ends: 2's late writes and its cancellation leave 3's download alone.
    f->download_started(2);
    EXPECT_THROW(f->write(2, "9876543210", 10), cache::cache_error_shell_t);
    f->download_started(3);
    f->write(3, b.bytes.data(), 4);
    EXPECT_THROW(f->write(2, b.bytes.data(), 4), cache::cache_error_shell_t);
    EXPECT_FALSE(f->download_cancelled(2));
    EXPECT_TRUE(f->downloaded_by(3));
    EXPECT_EQ(f->remaining(), 6u);
    EXPECT_TRUE(exists(f->temp_path()));
    EXPECT_TRUE(f->download_cancelled(3));
    EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
    EXPECT_FALSE(exists(f->temp_path()));
    // A later download starts over and completes, replacing a stale file at the final path.
    dir.put("~x~" + b.info.md5, "damaged");
    f->download_started(4);
    f->write(4, b.bytes.data(), b.bytes.size());
    ASSERT_EQ(f->get_state(), file_ctx_t::ready);
    EXPECT_FALSE(f->download_cancelled(4));  // ready: untouched
    EXPECT_THROW(f->write(4, "x", 1), cache::cache_error_shell_t);
    EXPECT_EQ(read_file(f->path), b.bytes);
    EXPECT_TRUE(f->remove());
    EXPECT_TRUE(f->remove());  // already gone: still true
}

/// Two threads: one keeps writing for a download the other keeps taking
/// over and cancelling. The file's own bytes and md5 are only ever those of
/// one download (ThreadSanitizer watches the handover).
TEST(FileCtx, TakeoverWhileTheOldOwnerWritesKeepsEachDownloadWhole) {
    scratch_t dir;
    blob_t b = blob("x", std::string(64 << 10, 'q'));
    cache_t::file_ptr f = file_ctx_t::create_not_existent(tree_of(dir), dir.path, b.info);
    std::atomic<uint64_t> current{1};
    std::atomic<bool> stop{false};
    f->download_started(1);
    boost::thread writer([&] {
        while (!stop) {
            uint64_t owner = current;
            try {
                for (size_t pos = 0; pos < b.bytes.size() && !stop; pos += 4096) f->write(owner, b.bytes.data() + pos, 4096);
            } catch (const cache::cache_error_shell_t&) {
            }
        }
    });
    for (uint64_t owner = 2; owner < 200; ++owner) {
        f->download_cancelled(owner - 1);
        f->download_started(owner);
        current = owner;
        boost::this_thread::yield();
    }
    stop = true;
    writer.join();
    // Whatever became ready has the announced content.
    if (f->get_state() == file_ctx_t::ready) {
        EXPECT_EQ(read_file(f->path), b.bytes);
    }
    f->download_cancelled(current);
}

TEST(FileCtx, IdleMappingIsDroppedButHandedOutOnesStayValid) {
    scratch_t dir;
    std::string path = dir.put("~x~abc", "mapped bytes");
    cache::tree_ptr tree = tree_of(dir);  // one descriptor for the whole cache
    size_t descriptors = open_descriptors();
    cache_t::file_ptr f = file_ctx_t::create(tree, path);
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

/// A stored file gone from the disk, or something else put in its place or
/// in its directory's, is set back to download with one WARNING that names
/// what was found; a named pipe never holds the reading thread.
TEST(FileCtx, AStoredFileGoneOrReplacedIsSetBackOnceAndNeverBlocks) {
    const std::string kinds[] = {"gone", "named pipe", "named pipe directory", "link directory", "foreign file"};
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        io_test::log_capture log(LOG_LEVEL_WARNING);
        scratch_t dir;
        scratch_t elsewhere;
        const std::string rev = dir.path + "/r";
        boost::filesystem::create_directories(rev);
        std::string path = dir.put("r/~x~m", "stored bytes");
        cache::tree_ptr tree = tree_of(dir);
        cache_t::file_ptr f = file_ctx_t::create(tree, path);
        ASSERT_TRUE(f);
        std::string expected;
        if (kind == "gone") {
            ::unlink(path.c_str());
            expected = "[Repo] File " + path + " is gone from the disk: it is downloaded again";
        } else if (kind == "named pipe") {
            ::unlink(path.c_str());
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            expected = "[Repo] Removed a named pipe \"" + path + "\" where the cache keeps a file";
        } else if (kind == "foreign file") {
            ::chmod(path.c_str(), 0666);
            expected = "[Repo] Removed a file other users control \"" + path + "\" where the cache keeps a file";
        } else {
            boost::filesystem::remove_all(rev);
            if (kind == "named pipe directory") {
                ASSERT_EQ(::mkfifo(rev.c_str(), 0600), 0);
                expected = "[Repo] File " + path + " lies below a named pipe \"" + rev +
                           "\" where the cache keeps a directory: not served";
            } else {
                ASSERT_EQ(::symlink(elsewhere.path.c_str(), rev.c_str()), 0);
                elsewhere.put("~x~m", "stored bytes");
                expected = "[Repo] File " + path + " is reached through a symbolic link: not served";
            }
        }
        try {
            f->map();
            ADD_FAILURE() << "served";
        } catch (const io_error_exception_shell_t& e) {
            EXPECT_NE(std::string(e.what()).find(kind == "gone" ? "cannot open" : "is not a file of the cache"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_EQ(f->get_state(), file_ctx_t::not_existent);
        EXPECT_FALSE(f->map());  // not ready: nothing read, nothing logged again
        EXPECT_EQ(log.messages(), std::vector<std::string>{expected});
        // At the file's place nothing but what the cache may replace is left.
        struct stat st;
        if (kind == "named pipe" || kind == "foreign file") {
            EXPECT_NE(::lstat(path.c_str(), &st), 0);
        }
        if (kind == "link directory") {
            EXPECT_EQ(read_file(elsewhere.path + "/~x~m"), "stored bytes");
        }
        // The next download stores it again.
        f->download_started(3);
        f->write(3, "stored bytes", 12);
        EXPECT_EQ(f->get_state(), file_ctx_t::ready);
        EXPECT_EQ(read_file(path), "stored bytes");
    }
}
