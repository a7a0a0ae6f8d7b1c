// Whole-file read and write: byte ranges, error kinds and texts, directory
// creation, hard links, modes under a narrow umask, files past 4 GiB.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "oslayer/filestr.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::error_of;
using oslayer_test::scratch_t;
using oslayer_test::sys_text;

std::string slurp(const std::string& name) {
    mbuf_t buf;
    file2mbuf(buf, name.c_str());
    return buf.view().str();
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

/// Sets the umask for the guard's lifetime.
struct umask_guard_t {
    mode_t saved;
    explicit umask_guard_t(mode_t m) : saved(::umask(m)) {}
    ~umask_guard_t() { ::umask(saved); }
};

}  // namespace

TEST(FilestrRead, WholeFileAppendsRangesInsideAndAtTheEdges) {
    scratch_t t;
    std::string ten = t.put("ten", "0123456789");
    mbuf_t buf;
    buf.append(5, "abcde");
    file2mbuf(buf, ten.c_str());
    EXPECT_EQ(buf.view().str(), "abcde0123456789");

    std::string empty = t.put("empty", "");
    file2mbuf(buf, empty.c_str());
    EXPECT_EQ(buf.used, 15u);

    // The view form reads the same file; its name needs no terminating zero.
    std::string padded = ten + "XYZ";
    mbuf_t other;
    file2mbuf(other, lstr_t(ten.size(), padded.c_str()));
    EXPECT_EQ(other.view().str(), "0123456789");

    buf.clear();
    file2mbuf(buf, ten.c_str(), 4, 6);
    EXPECT_EQ(buf.view().str(), "456789");
    buf.clear();
    file2mbuf(buf, ten.c_str(), 9, 1);
    EXPECT_EQ(buf.view().str(), "9");
    buf.clear();
    file2mbuf(buf, ten.c_str(), 0, 0);
    EXPECT_EQ(buf.used, 0u);
    // The whole-file marker with an offset means the rest of the file.
    file2mbuf(buf, ten.c_str(), 7, file2mbuf_whole);
    EXPECT_EQ(buf.view().str(), "789");

    buf.clear();
    buf.append(2, "xy");
    for (auto range : {std::make_pair(4, 7), std::make_pair(0, 11)}) {
        EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>(
                      [&] { file2mbuf(buf, ten.c_str(), range.first, range.second); }),
                  "cannot read after end of file \"" + ten + "\"");
    }
    for (size_t offset : {size_t(10), size_t(11), ~size_t(0)}) {
        EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>([&] { file2mbuf(buf, ten.c_str(), offset, 0); }),
                  "read start point is out of file \"" + ten + "\"");
    }
    EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>([&] { file2mbuf(buf, empty.c_str(), 0, 1); }),
              "cannot read after end of file \"" + empty + "\"");
    EXPECT_EQ(buf.view().str(), "xy");
}

TEST(FilestrRead, OpenAndReadFailuresNameTheFileAndTheReason) {
    scratch_t t;
    std::string missing = t.path + "/missing";
    mbuf_t buf;
    EXPECT_EQ(error_of<noent_exception_shell_t>([&] { file2mbuf(buf, missing.c_str()); }),
              "cannot open file \"" + missing + "\" because of " + sys_text(ENOENT));
    EXPECT_EQ(error_of<noent_exception_shell_t>([&] { file2mbuf(buf, lstr_t(missing)); }),
              "cannot open file \"" + missing + "\" because of " + sys_text(ENOENT));

    // A directory opens read-only but cannot be read; the buffer keeps only its old bytes.
    buf.append(3, "old");
    struct stat st;
    ASSERT_EQ(::stat(t.path.c_str(), &st), 0);
    ASSERT_GT(st.st_size, 0) << "this file system gives directories no size";
    EXPECT_EQ(error_of<io_error_exception_shell_t>([&] { file2mbuf(buf, t.path.c_str()); }),
              "cannot read file \"" + t.path + "\" because of " + sys_text(EISDIR));
    EXPECT_EQ(buf.view().str(), "old");
}

TEST(FilestrRead, FileEndingBeforeItsAnnouncedSizeIsShortData) {
    // sysfs attributes announce a size of a page but hold a line or two:
    // the same as a file shortened between the status query and the read.
    const char* attr = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st;
    if (::stat(attr, &st) != 0 || st.st_size <= 200) GTEST_SKIP() << "no sysfs attribute with a padded size here";
    mbuf_t buf;
    buf.append(1, "z");
    EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>([&] { file2mbuf(buf, attr); }),
              std::string("short data has been readed from file \"") + attr + "\"");
    EXPECT_EQ(buf.view().str(), "z");
}

TEST(FilestrRead, RangesPastFourGibibytesOfASparseFile) {
    scratch_t t;
    std::string big = t.path + "/big";
    const off_t four_gib = off_t(1) << 32;
    const off_t file_size = four_gib + 4096;
    int fd = ::open(big.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (::ftruncate(fd, file_size) != 0) {
        ::close(fd);
        GTEST_SKIP() << "the file system refuses a sparse file of 4 GiB";
    }
    ASSERT_EQ(::pwrite(fd, "MARK", 4, four_gib + 100), 4);
    ASSERT_EQ(::pwrite(fd, "END!", 4, file_size - 4), 4);
    ::close(fd);

    mbuf_t buf;
    file2mbuf(buf, big.c_str(), static_cast<size_t>(four_gib + 98), 8);
    EXPECT_EQ(buf.view().str(), std::string("\0\0MARK\0\0", 8));
    buf.clear();
    file2mbuf(buf, big.c_str(), static_cast<size_t>(file_size - 4), file2mbuf_whole);
    EXPECT_EQ(buf.view().str(), "END!");
    EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>(
                  [&] { file2mbuf(buf, big.c_str(), static_cast<size_t>(file_size - 4), 5); }),
              "cannot read after end of file \"" + big + "\"");
    EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>(
                  [&] { file2mbuf(buf, big.c_str(), static_cast<size_t>(file_size), 1); }),
              "read start point is out of file \"" + big + "\"");
}

TEST(FilestrWrite, ReplacesContentWritesEmptyFilesLeavesOtherHardLinks) {
    scratch_t t;
    std::string f = t.path + "/f";
    lstr2file(f, "a longer first content");
    EXPECT_EQ(slurp(f), "a longer first content");
    lstr2file(f, "short", lstr2file_sync);
    EXPECT_EQ(slurp(f), "short");
    lstr2file(f, lstr_t());
    struct stat st;
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    std::string binary("\0\1\2\xff zero inside", 16);
    lstr2file(f, binary, lstr2file_sync | lstr2file_private);
    EXPECT_EQ(slurp(f), binary);

    // Other hard links keep the old content.
    std::string original = t.put("original", "old content");
    std::string link = t.path + "/link";
    ASSERT_EQ(::link(original.c_str(), link.c_str()), 0);
    lstr2file(link, "new content");
    EXPECT_EQ(slurp(link), "new content");
    EXPECT_EQ(slurp(original), "old content");
    ASSERT_EQ(::stat(original.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST(FilestrWrite, ModesIgnoreTheUmask) {
    scratch_t t;
    umask_guard_t narrow(0077);
    std::string pub = t.path + "/public";
    lstr2file(pub, "x");
    EXPECT_EQ(mode_of(pub), 0644u);

    std::string priv = t.put("private", "y");
    ASSERT_EQ(::chmod(priv.c_str(), 0666), 0);
    lstr2file(priv, "z", lstr2file_private);
    EXPECT_EQ(mode_of(priv), 0600u);
    EXPECT_EQ(slurp(priv), "z");

    // A private file written again without the flag becomes 0644.
    lstr2file(priv, "w");
    EXPECT_EQ(mode_of(priv), 0644u);
}

TEST(FilestrWrite, MissingDirectoriesFailOrAreCreated) {
    scratch_t t;
    umask_guard_t usual(0022);
    std::string deep = t.path + "/a/b/c/f";
    EXPECT_EQ(error_of<io_error_exception_shell_t>([&] { lstr2file(deep, "data"); }),
              "cannot open file \"" + deep + "\" because of " + sys_text(ENOENT));
    EXPECT_NE(::access((t.path + "/a").c_str(), F_OK), 0);

    lstr2file(deep, "data", lstr2file_create_path);
    EXPECT_EQ(slurp(deep), "data");
    for (const char* d : {"/a", "/a/b", "/a/b/c"}) EXPECT_EQ(mode_of(t.path + d), 0755u) << d;

    // With the directories there the flag changes nothing.
    lstr2file(deep, "again", lstr2file_create_path);
    EXPECT_EQ(slurp(deep), "again");
}

TEST(FilestrWrite, DirectoryCreationFailureBecomesAnOpenErrorWithItsCause) {
    scratch_t t;
    const std::string too_long(300, 'n');
    std::string dir = t.path + "/made/" + too_long;
    std::string name = dir + "/f";
    std::string expected = "cannot open file \"" + name + "\" because of cannot create directory <" + dir +
                           "> because of " + sys_text(ENAMETOOLONG);
    try {
        lstr2file(name, "data", lstr2file_create_path);
        ADD_FAILURE() << "no error raised";
    } catch (const dir_create_exception_shell_t& e) {
        ADD_FAILURE() << "the directory error escaped unwrapped: " << e.what();
    } catch (const io_error_exception_shell_t& e) {
        EXPECT_EQ(std::string(e.what()), expected);
        ASSERT_NE(e.record(), nullptr);
        ASSERT_NE(e.record()->cause, nullptr);
        EXPECT_NE(dynamic_cast<dir_create_exception*>(e.record()->cause), nullptr);
    }
    // The parent that could be made was made before the failing one.
    EXPECT_EQ(::access((t.path + "/made").c_str(), F_OK), 0);
}
