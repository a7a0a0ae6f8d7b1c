// The cache root's check and the no-follow access below it: links and other
// obstructions in the tree are removed, never followed, and nothing outside
// the root is ever written, removed or read.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/cache_tree.h"
#include "cache_support.h"

using namespace cache_test;
using cache::cache_t;
using cache::tree_t;
typedef cache_t::file_ctx_t file_ctx_t;
namespace fs = boost::filesystem;

namespace {

const uid_t nobody = 65534;

/// A file and a directory outside the cache root, for links to point at.
struct outside_t {
    scratch_t dir;
    std::string file = dir.put("victim", "precious");
    std::string subdir = dir.path + "/victim-dir";
    outside_t() { fs::create_directory(subdir); }
    bool unchanged() const { return read_file(file) == "precious" && fs::is_empty(subdir); }
};

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::pair<dev_t, ino_t> identity_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? std::make_pair(st.st_dev, st.st_ino) : std::pair<dev_t, ino_t>();
}

std::string refusal(const std::string& root) {
    try {
        tree_t::open(root);
    } catch (const cache::cache_error_shell_t& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Tree, ARootIsMadePrivateWhenMissingAndRefusedWhenOthersControlIt) {
    scratch_t dir;
    std::string root = dir.path + "/a/b/root";
    cache::tree_ptr tree = tree_t::open(root);
    EXPECT_EQ(mode_of(root), 0700u);
    EXPECT_EQ(mode_of(dir.path + "/a"), 0755u);
    EXPECT_EQ(tree->identity(), identity_of(fs::canonical(root).string()));
    // A link of the daemon's own user is followed to the same root.
    ASSERT_EQ(::symlink(root.c_str(), (dir.path + "/own-link").c_str()), 0);
    EXPECT_EQ(tree_t::open(dir.path + "/own-link")->identity(), tree->identity());

    ASSERT_EQ(::chmod(root.c_str(), 0775), 0);
    EXPECT_NE(refusal(root).find("other users may write into it (mode 0775)"), std::string::npos);
    ASSERT_EQ(::chmod(root.c_str(), 0700), 0);
    dir.put("file-root", "x");
    EXPECT_NE(refusal(dir.path + "/file-root").find("it is not a directory"), std::string::npos);
    if (::geteuid() != 0) return;  // another user's root or link needs root to be made
    ASSERT_EQ(::lchown((dir.path + "/own-link").c_str(), nobody, nobody), 0);
    EXPECT_NE(refusal(dir.path + "/own-link").find("symbolic link " + dir.path + "/own-link of user 65534"),
              std::string::npos);
    ASSERT_EQ(::chown(root.c_str(), nobody, nobody), 0);
    EXPECT_NE(refusal(root).find("owned by user 65534"), std::string::npos);
}

TEST(Tree, DirectoriesAreReachedWithoutLinksAndObstructionsGo) {
    scratch_t dir;
    outside_t outside;
    cache::tree_ptr tree = tree_of(dir);
    io_test::log_capture log(LOG_LEVEL_WARNING);
    ASSERT_EQ(::symlink(outside.subdir.c_str(), (dir.path + "/repo").c_str()), 0);
    // Looked up without creating: a link is no directory of the cache.
    EXPECT_FALSE(tree->open_dir(dir.path + "/repo/7", false));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_TRUE(fs::is_symlink(dir.path + "/repo"));
    // Made: the link goes, with a WARNING, and real directories take its place.
    EXPECT_TRUE(tree->open_dir(dir.path + "/repo/7", true));
    EXPECT_EQ(log.count("[Repo] Removed a symbolic link \"" + dir.path + "/repo\" where the cache keeps a directory"), 1u);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir.path + "/repo/7")));
    EXPECT_EQ(mode_of(dir.path + "/repo"), 0755u);
    // A file on the way, and a directory that others may write into.
    dir.put("repo/7/sub", "in the way");
    ASSERT_EQ(::mkdir((dir.path + "/open").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((dir.path + "/open").c_str(), 0777), 0);
    EXPECT_TRUE(tree->open_dir(dir.path + "/repo/7/sub/x", true));
    EXPECT_TRUE(tree->open_dir(dir.path + "/open", true));
    EXPECT_EQ(mode_of(dir.path + "/open"), 0755u);
    EXPECT_EQ(log.count("[Repo] Removed a file \"" + dir.path + "/repo/7/sub\" where the cache keeps a directory"), 1u);
    EXPECT_EQ(log.count("[Repo] Removed a directory other users control \"" + dir.path +
                        "/open\" where the cache keeps a directory"),
              1u);
    // Files are opened through no link, wherever it stands on the way.
    dir.put("repo/7/f", "cached");
    ASSERT_EQ(::symlink(outside.file.c_str(), (dir.path + "/repo/7/to-file").c_str()), 0);
    ASSERT_EQ(::symlink((dir.path + "/repo/7").c_str(), (dir.path + "/via").c_str()), 0);
    cache::fd_t good(tree->open_file(dir.path + "/repo/7/f"));
    EXPECT_TRUE(good);
    EXPECT_EQ(tree->open_file(dir.path + "/repo/7/to-file").get(), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(tree->open_file(dir.path + "/via/f").get(), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_THROW(tree->open_file(outside.file), io_error_exception_shell_t);
    EXPECT_TRUE(outside.unchanged());
}

TEST(Tree, ATreeIsRemovedWithoutFollowingTheLinksInIt) {
    scratch_t dir;
    outside_t outside;
    fs::create_directories(dir.path + "/gone/a/b");
    dir.put("gone/a/b/file", "x");
    ASSERT_EQ(::symlink(outside.file.c_str(), (dir.path + "/gone/a/to-file").c_str()), 0);
    ASSERT_EQ(::symlink(outside.subdir.c_str(), (dir.path + "/gone/to-dir").c_str()), 0);
    cache::fd_t top(::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_TRUE(tree_t::remove_tree(top.get(), "gone"));
    EXPECT_FALSE(exists(dir.path + "/gone"));
    EXPECT_TRUE(outside.unchanged());
    EXPECT_TRUE(exists(outside.subdir));
}

TEST(FileCtx, DownloadsWriteThroughNoLinkAndClearTheWayForTheFinalFile) {
    scratch_t dir;
    outside_t outside;
    cache::tree_ptr tree = tree_of(dir);
    io_test::log_capture log(LOG_LEVEL_WARNING);
    blob_t a = blob("a", "first file"), b = blob("b/c", "second file");
    cache_t::file_ptr fa = file_ctx_t::create_not_existent(tree, dir.path + "/upd/1", a.info);
    cache_t::file_ptr fb = file_ctx_t::create_not_existent(tree, dir.path + "/upd/1", b.info);
    fs::create_directories(dir.path + "/upd/1");
    // A link at the temporary name of one, a link and a directory at the final names.
    ASSERT_EQ(::symlink(outside.file.c_str(), fa->temp_path().c_str()), 0);
    ASSERT_EQ(::symlink(outside.file.c_str(), fa->path.c_str()), 0);
    fs::create_directories(fb->path + "/inner");
    ASSERT_EQ(::symlink(outside.subdir.c_str(), (fb->path + "/inner/to-dir").c_str()), 0);
    for (const auto& pair : {std::make_pair(fa, a), std::make_pair(fb, b)}) {
        pair.first->download_started(1);
        pair.first->write(1, pair.second.bytes.data(), pair.second.bytes.size());
        ASSERT_EQ(pair.first->get_state(), file_ctx_t::ready);
        EXPECT_FALSE(fs::is_symlink(pair.first->path));
        EXPECT_EQ(read_file(pair.first->path), pair.second.bytes);
    }
    EXPECT_TRUE(outside.unchanged());
    EXPECT_EQ(log.count("[Repo] Removed a symbolic link \"" + fa->temp_path() + "\" where the cache keeps a file"), 1u);
    EXPECT_EQ(log.count("[Repo] Removed a symbolic link \"" + fa->path + "\" where the cache keeps a file"), 1u);
    EXPECT_EQ(log.count("[Repo] Removed a directory \"" + fb->path + "\" where the cache keeps a file"), 1u);

    // A ready file replaced by a link: never read, removed, and downloaded again.
    ASSERT_EQ(::unlink(fa->path.c_str()), 0);
    ASSERT_EQ(::symlink(outside.file.c_str(), fa->path.c_str()), 0);
    EXPECT_THROW(fa->map(), io_error_exception_shell_t);
    EXPECT_EQ(fa->get_state(), file_ctx_t::not_existent);
    EXPECT_FALSE(exists(fa->path));
    EXPECT_TRUE(outside.unchanged());
    EXPECT_EQ(log.count("[Repo] Removed a symbolic link \"" + fa->path + "\" where the cache keeps a file"), 2u);
    // At load, a link where a stored file belongs is removed as well.
    ASSERT_EQ(::symlink(outside.file.c_str(), fa->path.c_str()), 0);
    cache_t::repo_t repo(tree);
    ASSERT_EQ(repo.entities().size(), 1u);
    EXPECT_EQ(repo.entities()[0].files.size(), 1u);  // b alone: a's link is gone
    EXPECT_FALSE(exists(fa->path));
    EXPECT_TRUE(outside.unchanged());
}

TEST(FileCtx, AFileThatCannotBeStoredFailsAloneAndTheReplyGoesOn) {
    fixture_t f;
    blob_t a = blob("a", std::string(5000, 'a')), b = blob("b", std::string(3000, 'b'));
    f.cache->merge({"upd", 1, "p"}, infos({a, b}));
    std::string in_the_way = f.dir.path + "/upd/1/~a~" + a.info.md5;
    fs::create_directories(in_the_way);
    if (!set_immutable(in_the_way, true)) GTEST_SKIP() << "no immutable flag on this file system";
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("11"), r);
    ASSERT_EQ(r->download_count(), 1u);
    io_test::log_capture log(LOG_LEVEL_ERROR);
    {
        boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
        EXPECT_NO_THROW(reply(d, {a, b}, 1000));
    }
    EXPECT_EQ(log.count("[Repo] File a cannot be stored, its download failed because of "), 1u);
    EXPECT_EQ(read_file(f.dir.path + "/upd/1/~b~" + b.info.md5), b.bytes);
    // The request waits for the next download, which stores the file once
    // the way is clear again.
    set_immutable(in_the_way, false);
    EXPECT_TRUE(wait_until([&] { return r->download_count() == 1; }));
    reply(r->take_download(), {a, b});
    EXPECT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{a.bytes, b.bytes}));
    EXPECT_EQ(r->failure_count(), 0u);
}

TEST(Cache, OneCachePerRootWhileItLivesSoOneDownloadWritesAFile) {
    fixture_t f;
    blob_t a = blob("a", std::string(10000, 'a'));
    f.cache->merge({"upd", 1, "p"}, infos({a}));
    boost::shared_ptr<requester_t> first = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("1"), first);
    ASSERT_EQ(first->download_count(), 1u);
    // The next configuration pass, while the old one's download still runs.
    boost::shared_ptr<cache_t> again = cache_t::create(f.service, f.dir.path + "/", boost::posix_time::minutes(10),
                                                       boost::posix_time::hours(1));
    EXPECT_EQ(again, f.cache);
    boost::shared_ptr<requester_t> second = boost::make_shared<requester_t>();
    again->request_update({"upd", 1, "p"}, mask("1"), second);
    EXPECT_EQ(second->download_count(), 0u);  // waits for the running download
    reply(first->take_download(), {a});
    EXPECT_TRUE(wait_until([&] { return first->served_count() == 1 && second->served_count() == 1; }));
    EXPECT_EQ(second->served[0][0], a.bytes);
    // Once nothing holds it, the next pass loads the tree afresh: nothing
    // has been announced to that cache yet.
    again.reset();
    f.cache.reset();
    f.cache = cache_t::create(f.service, f.dir.path, boost::posix_time::minutes(10), boost::posix_time::hours(1));
    EXPECT_THROW(f.cache->request_update({"upd", 1, "p"}, mask("1"), second), cache::cache_error_shell_t);
}

namespace {

const uid_t alice = 1234;

/// A child process, killed and reaped when its holder ends.
struct child_t {
    pid_t pid = -1;
    ~child_t() { stop(); }
    /// Its exit status as waitpid tells it.
    int stop(int sig = SIGKILL) {
        int status = -1;
        if (pid > 0) {
            if (sig) ::kill(pid, sig);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        }
        pid = -1;
        return status;
    }
};

/// Runs `body` in a child process; its exit code (0 for success), or 128
/// plus the signal that ended it.
template <class F>
int in_child(F body) {
    child_t child;
    child.pid = ::fork();
    if (child.pid == 0) ::_exit(body());
    int status = child.stop(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// Makes the calling process's system call `nr` (openat2 unless told) fail
/// with `error`, as a system-call filter of a container runtime or service
/// manager does.
bool deny_openat2(int error, unsigned nr = SYS_openat2) {
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

void make_dir(const std::string& path, mode_t mode, uid_t owner = 0) {
    ASSERT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

}  // namespace

TEST(Tree, EveryDirectoryOnTheWayToTheRootIsCheckedOnWhatWasOpened) {
    scratch_t dir;
    // Group and others may write into a directory on the way only when it is
    // sticky, as /tmp is.
    make_dir(dir.path + "/shared", 0775, ::geteuid());
    EXPECT_NE(refusal(dir.path + "/shared/cache").find("other users may write into " + dir.path +
                                                        "/shared on the way to it (mode 0775)"),
              std::string::npos);
    EXPECT_FALSE(exists(dir.path + "/shared/cache"));
    make_dir(dir.path + "/sticky", 01777, ::geteuid());
    EXPECT_TRUE(tree_t::open(dir.path + "/sticky/cache"));
    // Links of the daemon's user are followed, relative ones and ".." too,
    // and a loop of links ends.
    ASSERT_EQ(::symlink("sticky/../sticky/cache", (dir.path + "/relative").c_str()), 0);
    EXPECT_EQ(tree_t::open(dir.path + "/relative")->identity(), identity_of(dir.path + "/sticky/cache"));
    ASSERT_EQ(::symlink("loop-b", (dir.path + "/loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", (dir.path + "/loop-b").c_str()), 0);
    EXPECT_NE(refusal(dir.path + "/loop-a").find("more than 40 symbolic links"), std::string::npos);
    dir.put("file", "x");
    EXPECT_NE(refusal(dir.path + "/file/cache").find(dir.path + "/file on the way to it is not a directory"),
              std::string::npos);
    if (::geteuid() != 0) GTEST_SKIP() << "directories of another user need root to be made";
    // Another user's directory on the way, also behind a link of root's.
    make_dir(dir.path + "/bob", 0755, nobody);
    make_dir(dir.path + "/bob/cache", 0700, 0);
    const std::string theirs = dir.path + "/bob on the way to it belongs to user 65534";
    EXPECT_NE(refusal(dir.path + "/bob/cache").find(theirs), std::string::npos);
    ASSERT_EQ(::symlink((dir.path + "/bob/cache").c_str(), (dir.path + "/via").c_str()), 0);
    EXPECT_NE(refusal(dir.path + "/via").find(theirs), std::string::npos);
    // In a sticky directory, another user's entry is no way to the root.
    make_dir(dir.path + "/sticky/theirs", 0755, nobody);
    EXPECT_NE(refusal(dir.path + "/sticky/theirs/cache").find(dir.path + "/sticky/theirs on the way to it belongs"),
              std::string::npos);
    EXPECT_FALSE(exists(dir.path + "/sticky/theirs/cache"));
}

// Another user swaps a directory of theirs with their link to a directory of
// root's, as fast as the system lets them, while the root is opened and
// loaded again and again: the linked directory is never taken as the root,
// so the directory of a third user in it is never removed as foreign.
TEST(Tree, ADirectorySwappedForALinkByAnotherUserIsNeverTakenAsTheRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "a race with another user needs root to set it up";
    for (const char* layout : {"below another user's directory", "in a sticky directory"}) {
        SCOPED_TRACE(layout);
        scratch_t dir;
        ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
        make_dir(dir.path + "/home", 0755);
        make_dir(dir.path + "/home/alice", 0755, alice);
        dir.put("home/alice/notes", "kept");
        const std::string parent = dir.path + (layout[0] == 'b' ? "/bob" : "/sticky");
        make_dir(parent, layout[0] == 'b' ? 0755 : 01777, layout[0] == 'b' ? nobody : 0);
        make_dir(parent + "/cache", 0700, nobody);
        ASSERT_EQ(::symlink((dir.path + "/home").c_str(), (parent + "/link").c_str()), 0);
        ASSERT_EQ(::lchown((parent + "/link").c_str(), nobody, nobody), 0);
        child_t swapper;
        swapper.pid = ::fork();
        if (swapper.pid == 0) {
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(1);
            const std::string a = parent + "/cache", b = parent + "/link";
            for (;;) ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }
        int opened = 0;
        for (int attempt = 0; attempt < 2000 && exists(dir.path + "/home/alice/notes"); ++attempt) {
            try {
                cache_t::repo_t repo(tree_t::open(parent + "/cache"));
                ++opened;
            } catch (const std::exception&) {
            }
        }
        swapper.stop();
        EXPECT_EQ(read_file(dir.path + "/home/alice/notes"), "kept");
        EXPECT_EQ(opened, 0);
    }
}

// A system-call filter answers openat2 with an error of its choice: each of
// those that mean "not here" sends every access down the step-by-step walk,
// and the cache stores, finds and serves its files as before.
TEST(Tree, WhereOpenat2IsFilteredTheCacheWalksStepByStep) {
    scratch_t dir;
    blob_t a = blob("sub/a", "stored under a filter");
    for (int error : {EPERM, ENOSYS, EINVAL, E2BIG}) {
        SCOPED_TRACE(strerror(error));
        const std::string root = dir.path + "/" + std::to_string(error);
        const int code = in_child([&] {
            if (!deny_openat2(error)) return 10;
            cache::tree_ptr tree = tree_t::open(root);
            try {
                cache_t::file_ptr fa = file_ctx_t::create_not_existent(tree, root + "/upd/1", a.info);
                fa->download_started(1);
                fa->write(1, a.bytes.data(), a.bytes.size());
                if (fa->get_state() != file_ctx_t::ready) return 11;
                cache::mapping_ptr bytes = fa->map();
                if (!bytes || std::string(bytes->data(), bytes->size()) != a.bytes) return 12;
                cache_t::repo_t repo(tree_t::open(root));  // as after a restart
                if (repo.entities().size() != 1 || repo.entities()[0].files.size() != 1) return 13;
                bytes = repo.entities()[0].files.begin()->second->map();
                if (!bytes || std::string(bytes->data(), bytes->size()) != a.bytes) return 14;
                return cache::fd_t(tree->open_file(root + "/upd/1/nothing")) || errno != ENOENT ? 15 : 0;
            } catch (const std::exception& e) {
                fprintf(stderr, "%s\n", e.what());
                return 16;
            }
        });
        EXPECT_EQ(code, 0);
    }
}

TEST(Tree, StoredFilesOpenWithoutBlockingAndCopiedDescriptorsCloseOnExec) {
    scratch_t dir;
    cache::tree_ptr tree = tree_of(dir);
    ASSERT_EQ(::mkfifo((dir.path + "/pipe").c_str(), 0600), 0);
    // A named pipe with no writer would hold a blocking open for ever.
    EXPECT_EQ(in_child([&] {
                  ::alarm(5);
                  return cache::fd_t(tree->open_file(dir.path + "/pipe")) ? 0 : 1;
              }),
              0);
    std::string leaf;
    for (const cache::fd_t& fd : {tree->open_dir(dir.path, false), tree->open_parent(dir.path + "/f", false, leaf)}) {
        ASSERT_TRUE(fd);
        EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
    }
}

TEST(Tree, ATreeIsRemovedWithFewDescriptorsAndWithinOneFileSystem) {
    scratch_t dir;
    // Deeper than the descriptors the process may hold.
    cache::fd_t level(::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(::mkdirat(level.get(), "deep", 0755), 0);
    level = cache::fd_t(::openat(level.get(), "deep", O_RDONLY | O_DIRECTORY));
    for (int depth = 0; depth < 1500; ++depth) {
        ASSERT_EQ(::mkdirat(level.get(), "d", 0755), 0);
        ASSERT_EQ(::close(::openat(level.get(), "f", O_WRONLY | O_CREAT, 0644)), 0);
        level = cache::fd_t(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY));
        ASSERT_TRUE(level);
    }
    level.reset();
    struct rlimit before;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    struct rlimit few = before;
    few.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    cache::fd_t top(::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY));
    const bool removed = tree_t::remove_tree(top.get(), "deep");
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_TRUE(removed) << strerror(errno);
    EXPECT_FALSE(exists(dir.path + "/deep"));

    if (::geteuid() != 0) GTEST_SKIP() << "a mount point below the root needs root to be made";
    cache::tree_ptr tree = tree_of(dir);
    fs::create_directories(dir.path + "/upd/1/mnt");
    if (::mount("none", (dir.path + "/upd/1/mnt").c_str(), "tmpfs", 0, "mode=0777") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << strerror(errno);
    struct unmount_t {
        std::string at;
        ~unmount_t() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path + "/upd/1/mnt"};
    dir.put("upd/1/mnt/theirs", "on another file system");
    // Removed as the foreign directory it is, it would take what is mounted there.
    EXPECT_FALSE(tree_t::remove_tree(top.get(), "upd"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_THROW(tree->open_dir(dir.path + "/upd/1/mnt/x", true), cache::obstruction_error_shell_t);
    EXPECT_EQ(read_file(dir.path + "/upd/1/mnt/theirs"), "on another file system");

    // Where a filter refuses statx, the device still tells a mount of
    // another file system, and a tree on the same one is removed.
    fs::create_directories(dir.path + "/plain/a/b");
    EXPECT_EQ(in_child([&] {
                  if (!deny_openat2(EPERM, SYS_statx)) return 10;
                  if (tree_t::remove_tree(top.get(), "upd") || errno != EXDEV) return 11;
                  return tree_t::remove_tree(top.get(), "plain") ? 0 : 12;
              }),
              0);
    EXPECT_FALSE(exists(dir.path + "/plain"));
    EXPECT_EQ(read_file(dir.path + "/upd/1/mnt/theirs"), "on another file system");

    // A bind mount of the same file system shows no other device, but is a mount of its own.
    outside_t outside;
    fs::create_directories(dir.path + "/upd/2/bound");
    ASSERT_EQ(::mount(outside.dir.path.c_str(), (dir.path + "/upd/2/bound").c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    unmount_t unbind{dir.path + "/upd/2/bound"};
    cache::fd_t upd(::open((dir.path + "/upd").c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_FALSE(tree_t::remove_tree(upd.get(), "2"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_TRUE(outside.unchanged());
}
