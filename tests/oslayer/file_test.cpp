// File paths: splitting and joining, status caching, links, owner text,
// removal, whole-file writes (also to a full device), moves within and
// across file systems, and the content digest.
#include <gtest/gtest.h>

#include "tests/oslayer/test_support.h"

#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oslayer/_kern.h"
#include "oslayer/accounts.h"
#include "oslayer/file.h"
#include "oslayer/md5.h"

namespace {

using oslayer_test::scratch_t;

std::string read_all(const std::string& name) {
    std::string out;
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return "<missing>";
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out.append(block, n);
    fclose(f);
    return out;
}

bool present(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string md5_of(const std::string& text) {
    md5_t m;
    m.update(text.size(), text.data());
    m.final();
    return m.hex();
}

std::string sys_text(int err) { return std::string(strerror(err)) + " (errno=" + std::to_string(err) + ")"; }

/// Some bytes longer than one copy block, not a repeat of one block.
std::string sample(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

}  // namespace

TEST(FilePath, SplitsDirectoryNameAndExtension) {
    file_t conf("/var/x/y.conf");
    EXPECT_EQ(conf.dir, "/var/x");
    EXPECT_EQ(conf.name, "y.conf");
    EXPECT_EQ(conf.ext, "conf");
    EXPECT_EQ(conf.dot_pos, 1u);

    file_t tgz("y.tar.gz");
    EXPECT_EQ(tgz.dir, "");
    EXPECT_EQ(tgz.name, "y.tar.gz");
    EXPECT_EQ(tgz.ext, "gz");
    EXPECT_EQ(tgz.dot_pos, 5u);

    file_t root_child("/x");
    EXPECT_EQ(root_child.dir, "");
    EXPECT_EQ(root_child.name, "x");

    // A dot in a directory is not an extension.
    file_t dotted_dir("a.b/c");
    EXPECT_EQ(dotted_dir.dir, "a.b");
    EXPECT_EQ(dotted_dir.name, "c");
    EXPECT_EQ(dotted_dir.ext, "");
    EXPECT_EQ(dotted_dir.dot_pos, ~size_t(0));

    file_t hidden(".hidden");
    EXPECT_EQ(hidden.name, ".hidden");
    EXPECT_EQ(hidden.dot_pos, 0u);
    EXPECT_EQ(hidden.ext, "hidden");

    file_t trailing("/d/sub/");
    EXPECT_EQ(trailing.dir, "/d/sub");
    EXPECT_EQ(trailing.name, "");

    try {
        file_t empty("");
        ADD_FAILURE() << "no error for an empty path";
    } catch (const BUG_exception_shell_t& e) {
        EXPECT_STREQ(e.what(), "empty fullpath");
    }
}

TEST(FilePath, JoinsNameAndDirectory) {
    EXPECT_EQ(file_t("f", "/d").fullpath, "/d/f");
    EXPECT_EQ(file_t("f", "/d/").fullpath, "/d/f");
    EXPECT_EQ(file_t("f", "").fullpath, "f");
    EXPECT_EQ(file_t("", "/d").fullpath, "/d");
    file_t joined("a.txt", "/d.dir");
    EXPECT_EQ(joined.name, "a.txt");
    EXPECT_EQ(joined.dir, "/d.dir");
    EXPECT_EQ(joined.ext, "txt");
    // The name is taken as given, even with a slash in it.
    file_t nested("s/n", "/d");
    EXPECT_EQ(nested.name, "s/n");
    EXPECT_EQ(nested.fullpath, "/d/s/n");

    std::string p = "/a/b";
    file_t::strip_dir(p);
    EXPECT_EQ(p, "b");
    p = "/a/";
    file_t::strip_dir(p);
    EXPECT_EQ(p, "");
    p = "plain";
    file_t::strip_dir(p);
    EXPECT_EQ(p, "plain");
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
    EXPECT_TRUE(f.is_file());
    EXPECT_EQ(f.size(), 0u);
    t.put("grows", "12345");
    // A cached size of 0 is queried again.
    EXPECT_EQ(f.size(), 5u);
    t.put("grows", "1234567890");
    EXPECT_EQ(f.size(), 5u);  // a non-zero size comes from the cache
    const uint32_t mtime = f.mtime();
    EXPECT_GT(mtime, 0u);

    // The type answer stays old until a refreshing call.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_TRUE(f.is_file());
    EXPECT_FALSE(f.is_dir());
    EXPECT_TRUE(f.exists());
    EXPECT_TRUE(f.is_dir());
    EXPECT_FALSE(f.is_file());

    file_t missing(t.path + "/missing");
    EXPECT_FALSE(missing.exists());
    EXPECT_FALSE(missing.is_file());
    EXPECT_FALSE(missing.is_dir());
    EXPECT_EQ(missing.size(), 0u);
    EXPECT_EQ(missing.atime(), 0u);
    EXPECT_EQ(missing.mtime(), 0u);
    EXPECT_EQ(missing.ctime(), 0u);
    // Appearing later is seen by the next query, since a failed status is not cached.
    t.put("missing", "abc");
    EXPECT_EQ(missing.size(), 3u);
}

TEST(FileStatus, SizesPastFourGibibytes) {
    scratch_t t;
    std::string big = t.path + "/big";
    int fd = ::open(big.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t(1) << 32) + 17;
    int rc = ::ftruncate(fd, size);
    ::close(fd);
    if (rc != 0) GTEST_SKIP() << "the file system refuses a sparse file of 4 GiB";
    file_t f(big);
    EXPECT_TRUE(f.exists());
    EXPECT_EQ(f.size(), static_cast<uint64_t>(size));
}

TEST(FileStatus, SymbolicLinks) {
    scratch_t t;
    std::string target = t.put("target", "x");
    std::string link = t.path + "/link";
    ASSERT_EQ(::symlink("target", link.c_str()), 0);
    file_t l(link);
    EXPECT_TRUE(l.is_symlink());
    EXPECT_EQ(l.link_target(), "target");
    EXPECT_TRUE(l.is_file());  // status follows the link

    file_t plain(target);
    EXPECT_FALSE(plain.is_symlink());
    EXPECT_EQ(plain.link_target(), target);
    file_t missing(t.path + "/none");
    EXPECT_FALSE(missing.is_symlink());
    EXPECT_EQ(missing.link_target(), t.path + "/none");
}

TEST(FileStatus, OwnerText) {
    scratch_t t;
    file_t missing(t.path + "/none");
    EXPECT_EQ(missing.owner(), "Unknown");
    t.put("none", "now here");
    EXPECT_EQ(missing.owner(), "Unknown");  // computed once

    std::string mine = t.put("mine", "x");
    std::string expected;
    user_name(::getuid(), expected);
    expected += ":";
    group_name(::getgid(), expected);
    EXPECT_EQ(file_t(mine).owner(), expected);

    struct stat st;
    ASSERT_EQ(::stat("/", &st), 0);
    if (st.st_uid != 0 || st.st_gid != 0 || getpwuid(0) == nullptr || getgrgid(0) == nullptr)
        GTEST_SKIP() << "/ is not owned by root:root here";
    EXPECT_EQ(file_t("/").owner(), "root:root");
}

TEST(FileContent, RemoveFilesAndDirectories) {
    scratch_t t;
    file_t missing(t.path + "/none");
    EXPECT_TRUE(missing.remove());

    std::string ro = t.put("readonly", "x");
    ASSERT_EQ(::chmod(ro.c_str(), 0400), 0);
    EXPECT_TRUE(file_t(ro).remove());
    EXPECT_FALSE(present(ro));

    std::string full_dir = t.path + "/full";
    ASSERT_EQ(::mkdir(full_dir.c_str(), 0755), 0);
    t.put("full/f", "x");
    EXPECT_FALSE(file_t(full_dir).remove());
    EXPECT_TRUE(present(full_dir + "/f"));
    // The mode was set to 0664 on the way.
    struct stat st;
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
    EXPECT_EQ(read_all(t.path + "/a/b/c.txt"), "hello");
    struct stat st;
    ASSERT_EQ(::stat((t.path + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((t.path + "/a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ::umask(saved);

    EXPECT_TRUE(deep.write(""));
    EXPECT_EQ(read_all(deep.fullpath), "");

    // Repeated and trailing slashes: only "x" is a parent; "y" is the last component.
    file_t slashes(t.path + "/x//y/");
    EXPECT_FALSE(slashes.write("data"));
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

TEST(FileContent, MoveWithinOneFileSystemRenames) {
    scratch_t t;
    std::string src = t.put("src", sample(3000));
    struct stat before;
    ASSERT_EQ(::stat(src.c_str(), &before), 0);
    file_t f(src);
    EXPECT_TRUE(f.move(t.path + "/new/dir/dst"));
    EXPECT_FALSE(present(src));
    std::string dst = t.path + "/new/dir/dst";
    EXPECT_EQ(read_all(dst), sample(3000));
    struct stat after;
    ASSERT_EQ(::stat(dst.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, not a copy

    file_t gone(t.path + "/absent");
    EXPECT_FALSE(gone.move(t.path + "/elsewhere"));
    EXPECT_FALSE(present(t.path + "/elsewhere"));
}

TEST(FileContent, MoveAcrossFileSystemsCopies) {
    scratch_t disk("/tmp");
    struct stat a, b;
    if (::stat("/dev/shm", &b) != 0 || ::stat(disk.path.c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "/dev/shm is not a file system of its own here";
    scratch_t shm("/dev/shm");
    for (size_t n : {size_t(0), size_t(1024), size_t(5000)}) {
        std::string name = "src" + std::to_string(n);
        std::string src = disk.put(name, sample(n));
        std::string dst = shm.path + "/sub/" + name;
        EXPECT_TRUE(file_t(src).move(dst)) << n;
        EXPECT_FALSE(present(src)) << n;
        EXPECT_EQ(read_all(dst), sample(n)) << n;
    }

    // A destination that refuses the data keeps the source.
    struct stat full;
    if (::stat("/dev/full", &full) != 0 || full.st_dev == a.st_dev) return;
    std::string src = disk.put("kept", sample(5000));
    EXPECT_FALSE(file_t(src).move("/dev/full"));
    EXPECT_EQ(read_all(src), sample(5000));
}

TEST(FileContent, Md5OfTheContent) {
    scratch_t t;
    EXPECT_EQ(file_t(t.put("empty", "")).md5(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(file_t(t.put("abc", "abc")).md5(), "900150983cd24fb0d6963f7d28e17f72");
    std::string big = sample(1024 * 3 + 5);
    file_t f(t.put("big", big));
    EXPECT_EQ(f.md5(), md5_of(big));
    t.put("big", "changed");
    EXPECT_EQ(f.md5(), md5_of(big));  // computed once

    std::string missing = t.path + "/missing";
    try {
        file_t(missing).md5();
        ADD_FAILURE() << "no error for a missing file";
    } catch (const open_io_error_exception_shell_t& e) {
        EXPECT_EQ(std::string(e.what()), "unable to open file \"" + missing + "\" because of " + sys_text(ENOENT));
    }
    try {
        file_t(t.path).md5();
        ADD_FAILURE() << "no error for a directory";
    } catch (const read_io_error_exception_shell_t& e) {
        EXPECT_EQ(std::string(e.what()), "unable to read file \"" + t.path + "\" because of " + sys_text(EISDIR));
    }
}
