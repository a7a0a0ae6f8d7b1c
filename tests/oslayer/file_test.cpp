// File paths: splitting and joining, status caching, links, owner text,
// removal, whole-file writes (also to a full device), moves within and
// across file systems, and the content digest.
#include "oslayer/accounts.h"
#include "oslayer/file.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::read_file;
using oslayer_test::scratch_t;

bool present(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

/// Some bytes longer than one copy block, not a repeat of one block.
std::string sample_bytes(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

}  // namespace

TEST(FilePath, SplitsAndJoinsDirectoryNameAndExtension) {
    const size_t none = ~size_t(0);
    const struct { file_t f; const char *fullpath, *dir, *name, *ext; size_t dot_pos; } cases[] = {
        {file_t("/var/x/y.conf"), "/var/x/y.conf", "/var/x", "y.conf", "conf", 1},
        {file_t("y.tar.gz"), "y.tar.gz", "", "y.tar.gz", "gz", 5},
        {file_t("/x"), "/x", "", "x", "", none},
        {file_t("a.b/c"), "a.b/c", "a.b", "c", "", none},  // a dot in a directory is no extension
        {file_t(".hidden"), ".hidden", "", ".hidden", "hidden", 0},
        {file_t("/d/sub/"), "/d/sub/", "/d/sub", "", "", none},
        {file_t("f", "/d"), "/d/f", "/d", "f", "", none},
        {file_t("f", "/d/"), "/d/f", nullptr, "f", "", none},
        {file_t("a.txt", "/d.dir"), "/d.dir/a.txt", "/d.dir", "a.txt", "txt", 1},
        {file_t("s/n", "/d"), "/d/s/n", "/d", "s/n", "", none},  // the name is taken as given
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.f.fullpath, c.fullpath);
        EXPECT_EQ(c.f.dir, c.dir ? c.dir : c.f.dir) << c.fullpath;
        EXPECT_EQ(c.f.name + "|" + c.f.ext, std::string(c.name) + "|" + c.ext) << c.fullpath;
        EXPECT_EQ(c.f.dot_pos, c.dot_pos) << c.fullpath;
    }
    EXPECT_EQ(file_t("", "/d").fullpath, "/d");
    EXPECT_THROW(file_t(""), BUG_exception_shell_t);
    for (const auto& c : {std::make_pair("/a/b", "b"), std::make_pair("/a/", ""), std::make_pair("plain", "plain")}) {
        std::string p = c.first;
        file_t::strip_dir(p);
        EXPECT_EQ(p, c.second) << c.first;
    }
}

TEST(FilePath, ResolvesCanonicalPaths) {
    scratch_t t;
    std::string canon = file_t::resolve_path(t.path);
    ASSERT_EQ(::mkdir((t.path + "/real").c_str(), 0755), 0);
    std::string target = t.put("real/f.txt", "x");
    ASSERT_EQ(::symlink((t.path + "/real").c_str(), (t.path + "/alias").c_str()), 0);
    EXPECT_EQ(file_t::resolve_path(t.path + "/alias/./f.txt"), canon + "/real/f.txt");
    EXPECT_EQ(file_t::resolve_path(t.path + "/nothing/here"), t.path + "/nothing/here");
    EXPECT_EQ(file_t::dir_of((t.path + "/alias/f.txt").c_str()), canon + "/real");
    file_t via_alias(t.path + "/alias/../alias/f.txt");
    EXPECT_EQ(via_alias.real_path(), canon + "/real/f.txt");
    // Computed once: moving the file later does not change the answer.
    ASSERT_EQ(::rename(target.c_str(), (t.path + "/g").c_str()), 0);
    EXPECT_EQ(via_alias.real_path(), canon + "/real/f.txt");
}

TEST(FileStatus, CachedUntilRefreshed) {
    scratch_t t;
    std::string path = t.put("grows", "");
    file_t f(path);
    EXPECT_TRUE(f.is_file() && f.size() == 0u);
    t.put("grows", "12345");
    EXPECT_EQ(f.size(), 5u);  // a cached size of 0 is queried again
    t.put("grows", "1234567890");
    EXPECT_EQ(f.size(), 5u);  // a non-zero size comes from the cache
    EXPECT_GT(f.mtime(), 0u);
    // The type answer stays old until a refreshing call.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_TRUE(f.is_file() && !f.is_dir());
    EXPECT_TRUE(f.exists());
    EXPECT_TRUE(f.is_dir() && !f.is_file());
    file_t missing(t.path + "/missing");
    EXPECT_FALSE(missing.exists() || missing.is_file() || missing.is_dir());
    EXPECT_EQ(missing.size() + missing.atime() + missing.mtime() + missing.ctime(), 0u);
    // A failed status is not cached: appearing later is seen by the next query.
    t.put("missing", "abc");
    EXPECT_EQ(missing.size(), 3u);
    // Sizes past 4 GiB.
    int fd = ::open((t.path + "/big").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t(1) << 32) + 17;
    int rc = ::ftruncate(fd, size);
    ::close(fd);
    if (rc != 0) GTEST_SKIP() << "the file system refuses a sparse file of 4 GiB";
    EXPECT_EQ(file_t(t.path + "/big").size(), static_cast<uint64_t>(size));
}

TEST(FileStatus, SymbolicLinksAndOwnerText) {
    scratch_t t;
    std::string target = t.put("target", "x");
    std::string link = t.path + "/link";
    ASSERT_EQ(::symlink("target", link.c_str()), 0);
    file_t l(link);
    EXPECT_TRUE(l.is_symlink() && l.is_file());  // status follows the link
    EXPECT_EQ(l.link_target(), "target");
    file_t missing(t.path + "/none");
    EXPECT_FALSE(file_t(target).is_symlink() || missing.is_symlink());
    EXPECT_EQ(file_t(target).link_target(), target);
    EXPECT_EQ(missing.link_target(), t.path + "/none");
    EXPECT_EQ(missing.owner(), "Unknown");
    t.put("none", "now here");
    EXPECT_EQ(missing.owner(), "Unknown");  // computed once
    std::string expected;
    account_name(::getuid(), ::getgid(), expected);
    EXPECT_EQ(file_t(target).owner(), expected);
}

TEST(FileContent, RemoveFilesAndDirectories) {
    scratch_t t;
    EXPECT_TRUE(file_t(t.path + "/none").remove());
    std::string ro = t.put("readonly", "x");
    ASSERT_EQ(::chmod(ro.c_str(), 0400), 0);
    EXPECT_TRUE(file_t(ro).remove());
    EXPECT_FALSE(present(ro));
    std::string full_dir = t.path + "/full";
    ASSERT_EQ(::mkdir(full_dir.c_str(), 0755), 0);
    t.put("full/f", "x");
    EXPECT_FALSE(file_t(full_dir).remove());
    EXPECT_TRUE(present(full_dir + "/f"));
    struct stat st;  // the mode was set to 0664 on the way
    ASSERT_EQ(::stat(full_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    ASSERT_EQ(::chmod(full_dir.c_str(), 0755), 0);
    std::string empty_dir = t.path + "/empty";
    ASSERT_EQ(::mkdir(empty_dir.c_str(), 0755), 0);
    EXPECT_TRUE(file_t(empty_dir).remove());
    EXPECT_FALSE(present(empty_dir));
}

TEST(FileContent, WriteCreatesDirectoriesAndReportsFailures) {
    scratch_t t;
    mode_t saved = ::umask(0022);
    file_t deep(t.path + "/a/b/c.txt");
    EXPECT_TRUE(deep.write("hello"));
    ::umask(saved);
    EXPECT_EQ(read_file(deep.fullpath), "hello");
    struct stat st;
    for (const char* d : {"/a", "/a/b"}) {
        ASSERT_EQ(::stat((t.path + d).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
    }
    EXPECT_TRUE(deep.write("") && read_file(deep.fullpath).empty());
    // Repeated and trailing slashes: only "x" is a parent; "y" is the last component.
    EXPECT_FALSE(file_t(t.path + "/x//y/").write("data"));
    EXPECT_TRUE(present(t.path + "/x"));
    EXPECT_FALSE(present(t.path + "/x/y"));
    // A parent that is a file cannot be made into a directory.
    t.put("plain", "x");
    EXPECT_FALSE(file_t(t.path + "/plain/sub/f").write("data"));
    // The device takes the bytes into the stream's buffer and refuses them on
    // the flush at close: that is a failed write, not a success.
    if (present("/dev/full")) {
        EXPECT_FALSE(file_t("/dev/full").write("lost bytes"));
    }
}

TEST(FileContent, MoveRenamesWithinAndCopiesAcrossFileSystems) {
    scratch_t disk("/tmp");
    std::string src = disk.put("src", sample_bytes(3000)), dst = disk.path + "/new/dir/dst";
    struct stat before, after;
    ASSERT_EQ(::stat(src.c_str(), &before), 0);
    EXPECT_TRUE(file_t(src).move(dst) && !present(src));
    EXPECT_EQ(read_file(dst), sample_bytes(3000));
    ASSERT_EQ(::stat(dst.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, not a copy
    EXPECT_FALSE(file_t(disk.path + "/absent").move(disk.path + "/elsewhere"));
    EXPECT_FALSE(present(disk.path + "/elsewhere"));
    if (::stat("/dev/shm", &after) != 0 || after.st_dev == before.st_dev)
        GTEST_SKIP() << "/dev/shm is not a file system of its own here";
    scratch_t shm("/dev/shm");
    for (size_t n : {size_t(0), size_t(1024), size_t(5000)}) {
        std::string name = "src" + std::to_string(n);
        src = disk.put(name, sample_bytes(n));
        dst = shm.path + "/sub/" + name;
        EXPECT_TRUE(file_t(src).move(dst) && !present(src)) << n;
        EXPECT_EQ(read_file(dst), sample_bytes(n)) << n;
    }
    // A destination that refuses the data keeps the source.
    if (::stat("/dev/full", &after) != 0 || after.st_dev == before.st_dev) return;
    src = disk.put("kept", sample_bytes(5000));
    EXPECT_FALSE(file_t(src).move("/dev/full"));
    EXPECT_EQ(read_file(src), sample_bytes(5000));
}

TEST(FileContent, Md5OfTheContentComputedOnceAndItsErrors) {
    scratch_t t;
    file_t f(t.put("abc", "abc"));
    EXPECT_EQ(f.md5(), "900150983cd24fb0d6963f7d28e17f72");
    t.put("abc", "changed");
    EXPECT_EQ(f.md5(), "900150983cd24fb0d6963f7d28e17f72");
    std::string missing = t.path + "/missing";
    EXPECT_EQ(oslayer_test::error_of<open_io_error_exception_shell_t>([&] { file_t(missing).md5(); }),
              "unable to open file \"" + missing + "\" because of " + oslayer_test::sys_text(ENOENT));
    EXPECT_THROW(file_t(t.path).md5(), read_io_error_exception_shell_t);
}
