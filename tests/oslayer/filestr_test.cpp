// Whole-file read and write: byte ranges, error kinds and texts, directory
// creation, hard links, modes under a narrow umask, files past 4 GiB.

#include "oslayer/filestr.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::error_of;
using oslayer_test::scratch_t;
using oslayer_test::sys_text;
using range_error_t = invalid_io_range_exception_shell_t;

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
    std::string ten = t.put("ten", "0123456789"), empty = t.put("empty", "");
    mbuf_t buf;
    buf.append(5, "abcde");
    file2mbuf(buf, ten.c_str());
    file2mbuf(buf, empty.c_str());
    EXPECT_EQ(buf.view().str(), "abcde0123456789");
    // The view form reads the same file; its name needs no terminating zero.
    std::string padded = ten + "XYZ";
    mbuf_t other;
    file2mbuf(other, lstr_t(ten.size(), padded.c_str()));
    EXPECT_EQ(other.view().str(), "0123456789");
    // The whole-file marker with an offset means the rest of the file.
    const struct { size_t offset, length; const char* read; } ranges[] = {
        {4, 6, "456789"}, {9, 1, "9"}, {0, 0, ""}, {7, file2mbuf_whole, "789"}};
    for (const auto& r : ranges) {
        buf.clear();
        file2mbuf(buf, ten.c_str(), r.offset, r.length);
        EXPECT_EQ(buf.view().str(), r.read) << r.offset;
    }
    buf.clear();
    buf.append(2, "xy");
    EXPECT_EQ(error_of<invalid_io_range_exception_shell_t>([&] { file2mbuf(buf, ten.c_str(), 4, 7); }),
              "cannot read after end of file \"" + ten + "\"");
    const struct { std::string file; size_t offset, length; } errors[] = {
        {ten, 0, 11}, {empty, 0, 1}, {ten, 10, 0}, {ten, ~size_t(0), 0}};
    for (const auto& e : errors)
        EXPECT_THROW(file2mbuf(buf, e.file.c_str(), e.offset, e.length), range_error_t) << e.offset;
    EXPECT_EQ(buf.view().str(), "xy");
    std::string missing = t.path + "/missing";
    std::string gone = "cannot open file \"" + missing + "\" because of " + sys_text(ENOENT);
    EXPECT_EQ(error_of<noent_exception_shell_t>([&] { file2mbuf(buf, missing.c_str()); }), gone);
    EXPECT_EQ(error_of<noent_exception_shell_t>([&] { file2mbuf(buf, lstr_t(missing)); }), gone);
    // A directory opens read-only but cannot be read; the buffer keeps only its old bytes.
    struct stat st;
    ASSERT_EQ(::stat(t.path.c_str(), &st), 0);
    ASSERT_GT(st.st_size, 0) << "this file system gives directories no size";
    EXPECT_THROW(file2mbuf(buf, t.path.c_str()), io_error_exception_shell_t);
    EXPECT_EQ(buf.view().str(), "xy");
}

TEST(FilestrRead, FileEndingBeforeItsAnnouncedSizeIsShortData) {
    // sysfs attributes announce a size of a page but hold a line or two:
    // the same as a file shortened between the status query and the read.
    const char* attr = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st;
    if (::stat(attr, &st) != 0 || st.st_size <= 200) GTEST_SKIP() << "no sysfs attribute with a padded size here";
    mbuf_t buf;
    buf.append(1, "z");
    EXPECT_THROW(file2mbuf(buf, attr), range_error_t);
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
    EXPECT_THROW(file2mbuf(buf, big.c_str(), static_cast<size_t>(file_size - 4), 5), range_error_t);
    EXPECT_THROW(file2mbuf(buf, big.c_str(), static_cast<size_t>(file_size), 1), range_error_t);
}

TEST(FilestrWrite, ReplacesContentWritesEmptyFilesLeavesOtherHardLinks) {
    scratch_t t;
    std::string f = t.path + "/f";
    lstr2file(f, "a longer first content");
    EXPECT_EQ(slurp(f), "a longer first content");
    lstr2file(f, "short", lstr2file_sync);
    EXPECT_EQ(slurp(f), "short");
    lstr2file(f, lstr_t());
    EXPECT_EQ(slurp(f), "");
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
    struct stat st;
    ASSERT_EQ(::stat(original.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST(FilestrWrite, ModesIgnoreTheUmaskMissingDirectoriesFailOrAreCreated) {
    scratch_t t;
    umask_guard_t narrow(0077);
    std::string pub = t.path + "/public", priv = t.put("private", "y");
    lstr2file(pub, "x");
    EXPECT_EQ(mode_of(pub), 0644u);
    ASSERT_EQ(::chmod(priv.c_str(), 0666), 0);
    lstr2file(priv, "z", lstr2file_private);
    EXPECT_EQ(mode_of(priv), 0600u);
    EXPECT_EQ(slurp(priv), "z");
    lstr2file(priv, "w");  // without the flag it becomes 0644 again
    EXPECT_EQ(mode_of(priv), 0644u);
    std::string deep = t.path + "/a/b/c/f";
    EXPECT_THROW(lstr2file(deep, "data"), io_error_exception_shell_t);
    EXPECT_NE(::access((t.path + "/a").c_str(), F_OK), 0);
    umask_guard_t usual(0022);
    lstr2file(deep, "data", lstr2file_create_path);
    EXPECT_EQ(slurp(deep), "data");
    for (const char* d : {"/a", "/a/b", "/a/b/c"}) EXPECT_EQ(mode_of(t.path + d), 0755u) << d;
    lstr2file(deep, "again", lstr2file_create_path);  // with the directories there the flag changes nothing
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
