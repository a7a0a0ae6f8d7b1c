// The repository tree: loading, hard links between revisions, cleaning, and
// names that must never leave the cache root.
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <set>

#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/cache_repo.h"
#include "cache/cache_scan.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;
using cache::cache_t;
namespace fs = boost::filesystem;

namespace {

// Merges `files` under the key and downloads them all through the cache's own contexts.
void store(cache_t& c, const cache::repo_key_t& key, const std::vector<blob_t>& files) {
    c.merge(key, infos(files));
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    c.request_update(key, mask(std::string(files.size(), '1')), r);
    if (r->download_count()) reply(r->take_download(), files);
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    for (fs::directory_iterator it(dir), end; it != end; ++it) out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(Repo, LoadSkipsEmptyDirectoriesAndRefusesBadRevisions) {
    scratch_t dir;
    fs::create_directories(dir.path + "/upd/5");
    fs::create_directories(dir.path + "/upd/6");
    dir.put("upd/5/~e~0", "");                  // size 0: deleted
    dir.put("upd/6/~t~0~", "unfinished only");  // ignored, then removed with its directory
    dir.put("loose-file", "ignored");
    {
        cache_t::repo_t repo(tree_of(dir));
        EXPECT_TRUE(repo.entities().empty());
    }
    EXPECT_FALSE(exists(dir.path + "/upd/5"));
    EXPECT_FALSE(exists(dir.path + "/upd/6"));
    EXPECT_TRUE(exists(dir.path + "/loose-file"));
    fs::create_directories(dir.path + "/other/latest");
    EXPECT_ANY_THROW(cache_t::repo_t repo(tree_of(dir)));
}

/// A revision of an administrator's files alone is no leftover: it stays,
/// counted among its repository's revisions, until the cleaner takes it.
TEST(Repo, ARevisionOfOtherFilesAloneStaysUntilTheCleanerTakesIt) {
    scratch_t dir;
    for (const char* sub : {"1", "2/backup", "3/empty", "4", "5", "6", "7"})
        fs::create_directories(dir.path + "/upd/" + sub);
    dir.put("upd/1/notes.txt", "what was done");
    dir.put("upd/2/backup/important.db", "SQLite format 3");
    dir.put("upd/4/~t~" + md5_of("the whole file"), "the whole");  // cut short: the cache's own
    for (const std::string rev : {"5", "6", "7"}) dir.put("upd/" + rev + "/~f~" + md5_of(rev), rev);
    cache_t::repo_t repo(tree_of(dir));
    EXPECT_EQ(entries(dir.path + "/upd"), (std::vector<std::string>{"1", "2", "5", "6", "7"}));
    repo.clean_revisions();
    EXPECT_EQ(entries(dir.path + "/upd"), (std::vector<std::string>{"5", "6", "7"}));
}

/// What the load cannot look into (its mode taken away) is left as it is,
/// and so is what holds it; nothing is written there until a load can look
/// through it, which then loads it as usual.
TEST(Repo, DirectoriesTheLoadCannotLookIntoAreLeftAsTheyAreUntilALoadCan) {
    scratch_t dir;
    const std::vector<std::string> hidden = {"other/3", "upd/6", "upd/7/a~b", "upd/8"};
    for (const std::string& sub : hidden) fs::create_directories(dir.path + "/" + sub);
    fs::create_directories(dir.path + "/upd/5");
    for (const std::string rev : {"5", "6", "7", "8"}) dir.put("upd/" + rev + "/~f~" + md5_of(rev), rev);
    dir.put("upd/7/a~b/c~" + md5_of("c"), "c");
    ::chmod((dir.path + "/other").c_str(), 0777);  // not the cache's own: removed whole, unless it hides something
    const mode_t modes[] = {0100, 0, 0, 0400};
    for (size_t i = 0; i < hidden.size(); ++i) ::chmod((dir.path + "/" + hidden[i]).c_str(), modes[i]);
    {
        modes_bind_t bound;
        if (cache::fd_t(::open((dir.path + "/upd/6").c_str(), O_RDONLY | O_CLOEXEC)))
            GTEST_SKIP() << "modes do not bind this test's thread";
        cache::tree_ptr tree = tree_of(dir);
        cache::unseen_t expected;
        for (size_t i = 0; i < hidden.size(); ++i)
            expected[hidden[i]] = "cannot open " + dir.path + "/" + hidden[i] + ": Permission denied";
        expected["upd/8"] = "cannot examine " + dir.path + "/upd/8/~f~" + md5_of("8") + ": Permission denied";
        EXPECT_EQ(cache::scan_tree(*tree), expected);
        cache_t::repo_t repo(tree);
        ASSERT_EQ(repo.entities().size(), 2u);
        ASSERT_TRUE(repo.find_entity("upd", 7));
        EXPECT_EQ(repo.find_entity("upd", 7)->files.size(), 1u);
        EXPECT_ANY_THROW(repo.merge({"upd", 6, "p"}, infos({blob("f", "6")})));
        std::string leaf;
        EXPECT_ANY_THROW(tree->open_parent(dir.path + "/upd/7/a~b/c~" + md5_of("c"), true, leaf));
        EXPECT_TRUE(exists(dir.path + "/other"));
    }
    for (const std::string& sub : hidden) ::chmod((dir.path + "/" + sub).c_str(), 0755);
    cache_t::repo_t repo(tree_of(dir));
    EXPECT_EQ(repo.entities().size(), 4u);
    EXPECT_EQ(repo.find_entity("upd", 7)->files.size(), 2u);
    EXPECT_FALSE(exists(dir.path + "/other"));
}

/// A root that cannot be searched is refused, whatever it holds: nothing
/// in it shows the right missing when it holds nothing.
TEST(Repo, AnEmptyRootThatCannotBeSearchedIsRefused) {
    scratch_t dir;
    ::chmod(dir.path.c_str(), 0400);
    modes_bind_t bound;
    if (cache::fd_t(::open((dir.path + "/.").c_str(), O_RDONLY | O_CLOEXEC)))
        GTEST_SKIP() << "modes do not bind this test's thread";
    const cache::tree_ptr tree = tree_of(dir);
    EXPECT_EQ(oslayer_test::error_of<cache::cache_error_shell_t>([&] { cache::scan_tree(*tree); }),
              "cache root " + dir.path + " refused: cannot search " + dir.path + ": Permission denied");
}

/// So is a repository that holds nothing, which the load would keep and
/// announcements would fail in; a revision that holds nothing goes as ever.
TEST(Repo, AnEmptyRepositoryThatCannotBeSearchedIsLeftAsItIs) {
    scratch_t dir;
    for (const char* sub : {"upd", "new/5"}) {
        fs::create_directories(dir.path + "/" + sub);
        ::chmod((dir.path + "/" + sub).c_str(), 0400);
    }
    modes_bind_t bound;
    if (cache::fd_t(::open((dir.path + "/upd/.").c_str(), O_RDONLY | O_CLOEXEC)))
        GTEST_SKIP() << "modes do not bind this test's thread";
    const cache::tree_ptr tree = tree_of(dir);
    const cache::unseen_t expected = {{"upd", "cannot search " + dir.path + "/upd: Permission denied"}};
    EXPECT_EQ(cache::scan_tree(*tree), expected);
    cache_t::repo_t repo(tree);
    EXPECT_FALSE(exists(dir.path + "/new/5"));
}

/// The scan walks down again from the root past x, which it cannot leave
/// upwards; a revision renamed away meanwhile, a directory of no mode in its
/// place, is a level moved, not one to leave.
TEST(Repo, ALevelReplacedWhileTheScanWalksDownAgainRefusesTheRoot) {
    scratch_t dir;
    const std::string revision = dir.path + "/upd/5", x = revision + "/x";
    fs::create_directories(x);
    ::chmod(x.c_str(), 0400);
    modes_bind_t bound;
    // The scan's open of x waits while the revision is replaced.
    cache::fd_t fan(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC));
    if (cache::fd_t(::open((x + "/.").c_str(), O_RDONLY | O_CLOEXEC)) || !fan ||
        ::fanotify_mark(fan.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD, x.c_str()) != 0)
        GTEST_SKIP() << "modes do not bind this test's thread, or no permission events here";
    std::atomic<bool> woken{false};
    boost::thread replace([&] {
        struct fanotify_event_metadata event;
        const bool read = ::read(fan.get(), &event, sizeof event) == sizeof event;
        woken = true;
        if (!read) return;
        EXPECT_EQ(::rename(revision.c_str(), (dir.path + "/upd/moved").c_str()), 0);
        EXPECT_EQ(::mkdir(revision.c_str(), 0), 0);
        struct fanotify_response allow = {event.fd, FAN_ALLOW};
        EXPECT_EQ(::write(fan.get(), &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
        ::close(event.fd);
    });
    const cache::tree_ptr tree = tree_of(dir);
    EXPECT_EQ(oslayer_test::error_of<cache::cache_error_shell_t>([&] { cache::scan_tree(*tree); }),
              "cache root " + dir.path + " refused: " + revision + " moved while it was looked through");
    if (!woken) cache::fd_t(::open(x.c_str(), O_RDONLY | O_CLOEXEC));  // lets the thread end
    replace.join();
}

/// A pass that goes on with the cache in use looks through its tree again:
/// what it can no longer look into is set aside with its WARNING and nothing
/// is written there; what it can again is loaded and served without a download.
TEST(Repo, APassThatKeepsTheCacheLooksThroughItsTreeAgain) {
    scratch_t dir;
    blob_t a = blob("a", "first"), b = blob("b", "second");
    for (const char* rev : {"7", "8"}) fs::create_directories(dir.path + "/upd/" + rev);
    dir.put("upd/7/~a~" + a.info.md5, a.bytes);
    dir.put("upd/8/~b~" + b.info.md5, b.bytes);
    const std::string seven = dir.path + "/upd/7", eight = dir.path + "/upd/8";
    boost::asio::io_service service;
    auto pass = [&] {
        return cache_t::create(service, dir.path, boost::posix_time::minutes(10), boost::posix_time::hours(1));
    };
    io_test::log_capture log(LOG_LEVEL_WARNING);
    boost::shared_ptr<cache_t> c;
    {
        modes_bind_t bound;
        ::chmod(eight.c_str(), 0);
        if (cache::fd_t(::open(eight.c_str(), O_RDONLY | O_CLOEXEC)))
            GTEST_SKIP() << "modes do not bind this test's thread";
        c = pass();
        ::chmod(eight.c_str(), 0755);
        ::chmod(seven.c_str(), 0);
        EXPECT_EQ(pass(), c);
        std::string leaf, refused;
        try {
            c->tree()->open_parent(seven + "/~c~" + a.info.md5, true, leaf);
        } catch (const cache::obstruction_error_shell_t& e) {
            refused = e.what();
        }
        EXPECT_EQ(refused, seven + " is left as it is until a reload can look through it");
    }
    ::chmod(seven.c_str(), 0755);
    const std::vector<std::string> said = log.messages();
    for (const std::string& left : {eight, seven}) {
        const std::string warning = "[Repo] " + left + " is not loaded and is left as it is because of ";
        EXPECT_EQ(std::count(said.begin(), said.end(), warning), 1) << left;
    }
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    c->merge({"upd", 8, "p"}, infos({b}));
    c->request_update({"upd", 8, "p"}, mask("1"), r);
    ASSERT_EQ(r->served_count(), 1u);
    EXPECT_EQ(r->served[0][0], b.bytes);
    // The next pass looks through 7 again, held all along: a file stored
    // there meanwhile joins it, and it is written into again.
    blob_t d = blob("d", "third");
    dir.put("upd/7/~d~" + d.info.md5, d.bytes);
    EXPECT_EQ(pass(), c);
    std::string leaf;
    EXPECT_NO_THROW(c->tree()->open_parent(seven + "/~e~" + a.info.md5, true, leaf));
    c->merge({"upd", 7, "p"}, infos({a, d}));
    c->request_update({"upd", 7, "p"}, mask("11"), r);
    EXPECT_EQ(r->download_count(), 0u);
    ASSERT_EQ(r->served_count(), 2u);
    EXPECT_EQ(r->served[1], (std::vector<std::string>{a.bytes, d.bytes}));
}

// Names of more than one '/' are stored below directories of their
// revision: the load finds them again, by their names, down to the depth
// bound, and a name that would lie deeper is refused where it comes in.
TEST(Repo, FilesBelowDirectoriesOfTheirRevisionAreLoadedAgainDownToTheBound) {
    fixture_t f;
    const size_t bound = cache_t::repo_t::stored_depth;
    std::string deepest, deeper;
    for (size_t i = 0; i <= bound; ++i) deepest += "d/";
    deeper = deepest + "d/f";
    deepest += "f";
    blob_t one = blob("a/b/one", "one directory down"), last = blob(deepest, "as deep as stored");
    store(*f.cache, {"upd", 1, "p"}, {one, last});
    EXPECT_THROW(f.cache->merge({"upd", 2, "p"}, infos({blob("top", "t"), blob(deeper, "too deep")})),
                 cache::cache_error_shell_t);
    f.cache.reset();
    cache_t::repo_t repo(tree_of(f.dir));
    ASSERT_EQ(repo.entities().size(), 1u);
    EXPECT_EQ(repo.entities()[0].files.size(), 2u);
    for (const blob_t& b : {one, last}) {
        cache_t::file_ptr ctx = repo.find_ctx(b.info);
        ASSERT_TRUE(ctx) << b.info.name;
        cache::mapping_ptr bytes = ctx->map();
        EXPECT_EQ(std::string(bytes->data(), bytes->size()), b.bytes);
    }
}

TEST(Repo, IdenticalFileOfANewRevisionIsHardLinkedAndOutlivesItsSource) {
    fixture_t f;
    scratch_t& dir = f.dir;
    boost::shared_ptr<cache_t> c = f.cache;
    blob_t shared = blob("lib/x.dll", "shared content");
    store(*c, {"upd", 1, "p"}, {shared});
    for (cache::rev_t rev : {2, 3, 4, 10}) c->merge({"upd", rev, "p"}, infos({shared}));
    std::string first = dir.path + "/upd/1/lib~x.dll~" + shared.info.md5;
    std::string last = dir.path + "/upd/10/lib~x.dll~" + shared.info.md5;
    EXPECT_EQ(inode_of(first), inode_of(last));
    // Ready through the link: served without any download.
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    c->request_update({"upd", 10, "p"}, mask("1"), r);
    EXPECT_EQ(r->download_count(), 0u);
    ASSERT_EQ(r->served_count(), 1u);

    cache_t::repo_t repo(tree_of(dir));
    repo.clean_revisions();
    EXPECT_EQ(entries(dir.path + "/upd"), (std::vector<std::string>{"10", "3", "4"}));
    EXPECT_EQ(read_file(last), shared.bytes);
}

TEST(Repo, NamesThatWouldLeaveTheRootAreRefusedAndCreateNothing) {
    scratch_t dir;
    std::string root = dir.path + "/root";
    boost::asio::io_service service;
    io_test::log_capture log(LOG_LEVEL_ERROR);
    boost::shared_ptr<cache_t> c = cache_t::create(service, root, boost::posix_time::minutes(10),
                                                   boost::posix_time::hours(1));
    boost::shared_ptr<requester_t> r = boost::make_shared<requester_t>();
    for (const char* name : {"..", ".", "", "a/b", "../x", "/abs"}) {
        EXPECT_THROW(c->merge({name, 1, "p"}, infos({blob("f", "x")})), cache::cache_error_shell_t) << name;
        EXPECT_THROW(c->request_update({name, 1, "p"}, mask(""), r), cache::cache_error_shell_t) << name;
    }
    // One bad file refuses the whole announcement: the list keeps its old content.
    c->merge({"upd", 1, "p"}, infos({blob("good", "g")}));
    EXPECT_THROW(c->merge({"upd", 1, "p"}, infos({blob("ok", "o"), blob("a/../../x", "evil")})),
                 cache::cache_error_shell_t);
    c->request_update({"upd", 1, "p"}, mask("1"), r);
    EXPECT_EQ(r->download_count(), 1u);
    EXPECT_EQ(entries(dir.path), std::vector<std::string>{"root"});
    EXPECT_EQ(entries(root), std::vector<std::string>{"upd"});
    // Refused twice in a row: the logger writes the repeat as a count.
    EXPECT_EQ(log.count("[Repo] Refused repository name \"..\": it would leave the cache root"), 1u);
    EXPECT_EQ(log.count("[Repo] Refused file \"a/../../x\" with md5 \"" + blob("", "evil").info.md5 +
                        "\": its path would leave " + root + "/upd/1"),
              1u);
}

/// The cleaner keeps a revision while a file of it downloads or a request
/// waits for it, and removes it at the first clean after; a request for a
/// revision cleaned meanwhile ends, told, where one never announced is refused.
TEST(Repo, RevisionsInUseOutliveCleaningAndRequestsForCleanedOnesEnd) {
    scratch_t dir;
    cache_t::repo_t repo(tree_of(dir));
    blob_t a = blob("a", "first"), b = blob("b", "second");
    repo.merge({"upd", 1, "p"}, infos({a}));
    for (cache::rev_t rev : {2, 3, 4}) repo.merge({"upd", rev, "p"}, infos({b}));
    cache_t::file_ptr file = repo.find_files({"upd", 1, "p"})->front();
    file->download_started(9);
    repo.clean_revisions();
    ASSERT_TRUE(repo.find_entity("upd", 1));
    EXPECT_TRUE(exists(dir.path + "/upd/1"));
    file->download_cancelled(9);
    repo.clean_revisions({{"upd", 1}});
    ASSERT_TRUE(repo.find_entity("upd", 1));
    EXPECT_FALSE(repo.no_longer_held({"upd", 1, "p"}));
    repo.clean_revisions({{"upd", 2}, {"other", 1}});
    EXPECT_FALSE(repo.find_entity("upd", 1));
    EXPECT_EQ(entries(dir.path + "/upd"), (std::vector<std::string>{"2", "3", "4"}));
    // Cleaned, or older than a cleaned one: never to be answered. Newer,
    // another name, another platform of a held revision: merely unannounced.
    EXPECT_TRUE(repo.no_longer_held({"upd", 1, "p"}));
    EXPECT_TRUE(repo.no_longer_held({"upd", 0, "q"}));
    EXPECT_FALSE(repo.no_longer_held({"upd", 2, "p"}));
    EXPECT_FALSE(repo.no_longer_held({"upd", 2, "q"}) && repo.find_files({"upd", 2, "q"}));
    EXPECT_FALSE(repo.no_longer_held({"upd", 5, "p"}));
    EXPECT_FALSE(repo.no_longer_held({"other", 1, "p"}));
    // Announced again, it is held again.
    repo.merge({"upd", 1, "p"}, infos({a}));
    EXPECT_FALSE(repo.no_longer_held({"upd", 1, "p"}));

    // Through the cache, with its own timer.
    io_test::log_capture log;
    fixture_t f(boost::posix_time::minutes(10), boost::posix_time::milliseconds(50));
    f.cache->merge({"upd", 1, "p"}, infos({a}));
    auto waiting = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("1"), waiting);
    ASSERT_EQ(waiting->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = waiting->take_download();
    for (cache::rev_t rev : {2, 3, 4}) f.cache->merge({"upd", rev, "p"}, infos({b}));
    ASSERT_TRUE(wait_until([&] { return log.count("[Repo] Keep upd/1 while requests wait for it or it downloads") > 0; }));
    reply(d, {a});
    d.reset();
    ASSERT_TRUE(wait_until([&] { return waiting->served_count() == 1; }));
    EXPECT_EQ(waiting->served[0], std::vector<std::string>{a.bytes});
    ASSERT_TRUE(wait_until([&] { return log.count("[Repo] Remove files in upd/1") == 1; }));
    ASSERT_TRUE(wait_until([&] { return !exists(f.dir.path + "/upd/1"); }));
    auto late = boost::make_shared<requester_t>();
    EXPECT_NO_THROW(f.cache->request_update({"upd", 1, "p"}, mask("1"), late));
    ASSERT_EQ(late->failure_count(), 1u);
    EXPECT_NE(late->failures[0].find("revision 1 of upd is no longer in the cache"), std::string::npos);
    EXPECT_EQ(late->download_count(), 0u);
    EXPECT_FALSE(exists(f.dir.path + "/upd/1"));
    EXPECT_THROW(f.cache->request_update({"upd", 5, "p"}, mask("1"), late), cache::cache_error_shell_t);
}

/// A file of an older revision that is gone from the disk, whole directory
/// or file alone, is downloaded for the new revision instead of failing the
/// announcement; the old context is set back with one WARNING per file.
TEST(Repo, AnnouncementsLinkingFilesGoneFromTheDiskDownloadThemInstead) {
    io_test::log_capture log(LOG_LEVEL_WARNING);
    fixture_t f;
    blob_t a = blob("a", "alpha"), b = blob("d/b", "beta"), c = blob("c", "gamma");
    store(*f.cache, {"upd", 1, "p"}, {a, b, c});
    const std::string gone = f.dir.path + "/upd/1/~a~" + a.info.md5;
    ASSERT_EQ(::unlink(gone.c_str()), 0);
    f.cache->merge({"upd", 2, "p"}, infos({a, b, c}));
    EXPECT_EQ(inode_of(f.dir.path + "/upd/2/d~b~" + b.info.md5), inode_of(f.dir.path + "/upd/1/d~b~" + b.info.md5));
    EXPECT_EQ(log.count("[Repo] File " + gone + " is gone from the disk: it is downloaded again"), 1u);
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 2, "p"}, mask("111"), r);
    ASSERT_EQ(r->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
    EXPECT_EQ(d->mask(), mask("100"));
    reply(d, {a, b, c});
    d.reset();
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{a.bytes, b.bytes, c.bytes}));
    // The old revision asks for its lost file again: as after a failed
    // download, only once the delay of one failure has passed.
    auto old = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 1, "p"}, mask("100"), old);
    EXPECT_EQ(old->download_count(), 0u);
    EXPECT_TRUE(wait_until([&] { return old->download_count() == 1; }));

    // A whole revision directory removed: every file it lent downloads anew.
    fs::remove_all(f.dir.path + "/upd/1");
    f.cache->merge({"upd", 3, "p"}, infos({b, c}));
    auto r3 = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 3, "p"}, mask("11"), r3);
    ASSERT_EQ(r3->download_count(), 1u);
    EXPECT_EQ(r3->take_download()->mask(), mask("11"));
    for (const std::string& leaf : {"d~b~" + b.info.md5, "~c~" + c.info.md5})
        EXPECT_EQ(log.count("[Repo] File " + f.dir.path + "/upd/1/" + leaf +
                            " is gone from the disk: it is downloaded again"), 1u) << leaf;
    EXPECT_FALSE(exists(f.dir.path + "/upd/1"));  // nothing downloads into it: not made again
    EXPECT_EQ(read_file(f.dir.path + "/upd/2/~c~" + c.info.md5), c.bytes);
}

/// A link into a new revision that cannot be made downloads that file
/// instead, with a WARNING, and the rest of the announcement is stored:
/// whether its temporary name is taken by something that survives clearing
/// (an immutable directory) or the file system refuses the link itself (an
/// immutable source, EPERM).
TEST(Repo, ALinkThatCannotBeMadeDownloadsItsFileInstead) {
    io_test::log_capture log(LOG_LEVEL_WARNING);
    fixture_t f;
    blob_t a = blob("a", "alpha"), b = blob("d/b", "beta"), c = blob("c", "gamma");
    store(*f.cache, {"upd", 1, "p"}, {a, b, c});
    const std::string one = f.dir.path + "/upd/1/", two = f.dir.path + "/upd/2/";
    const std::string taken = two + "~a~" + a.info.md5 + "~", source = one + "~c~" + c.info.md5;
    fs::create_directories(taken);
    struct thawed_t {  // a failed check must not leave what the scratch cannot remove
        std::vector<std::string> paths;
        ~thawed_t() {
            for (const std::string& p : paths) set_immutable(p, false);
        }
    } thawed{{taken, source}};
    if (!set_immutable(taken, true) || !set_immutable(source, true))
        GTEST_SKIP() << "no immutable flag on this file system";
    ASSERT_NO_THROW(f.cache->merge({"upd", 2, "p"}, infos({a, b, c})));
    EXPECT_EQ(inode_of(two + "d~b~" + b.info.md5), inode_of(one + "d~b~" + b.info.md5));
    for (const blob_t* x : {&a, &c})
        EXPECT_EQ(log.count("[Repo] File " + x->info.name + " is not linked from " + one + "~" + x->info.name + "~" +
                            x->info.md5 + ", it is downloaded instead because of "), 1u) << x->info.name;
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update({"upd", 2, "p"}, mask("111"), r);
    ASSERT_EQ(r->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
    EXPECT_EQ(d->mask(), mask("101"));
    reply(d, {a, b, c});
    d.reset();
    // c is stored; a's place stays taken, so its download fails alone and
    // the request waits for the next attempt, which stores it once it is free.
    EXPECT_EQ(read_file(two + "~c~" + c.info.md5), c.bytes);
    set_immutable(taken, false);
    ASSERT_TRUE(wait_until([&] { return r->download_count() == 1; }));
    EXPECT_EQ(r->downloads[0]->mask(), mask("100"));
    reply(r->take_download(), {a, b, c});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{a.bytes, b.bytes, c.bytes}));
    EXPECT_EQ(r->failure_count(), 0u);
}

/// An empty file announced with the md5 of something else is refused with
/// an ERROR line, once; the other files of the list are served, and a request
/// for the refused one ends at once without asking the server.
TEST(Repo, AnEmptyFileWithAnotherMd5IsRefusedAndTheOthersServed) {
    io_test::log_capture log(LOG_LEVEL_ERROR);
    fixture_t f;
    blob_t a = blob("a", "alpha"), empty = blob("e", ""), bad = empty;
    bad.info.md5 = a.info.md5;
    cache::repo_key_t key{"upd", 1, "p"};
    f.cache->merge(key, infos({a, bad, empty}));
    f.cache->merge(key, infos({a, bad, empty}));
    EXPECT_EQ(log.count("[Repo] Refused file \"e\" with md5 \"" + a.info.md5 +
                        "\": an empty file can only have md5 d41d8cd98f00b204e9800998ecf8427e"),
              1u);
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("101"), r);
    ASSERT_EQ(r->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
    EXPECT_EQ(d->mask(), mask("101"));
    reply(d, {a, bad, empty});
    d.reset();
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{a.bytes, ""}));
    for (const char* asked : {"010", "111"}) {
        auto refused = boost::make_shared<requester_t>();
        f.cache->request_update(key, mask(asked), refused);
        ASSERT_EQ(refused->failure_count(), 1u) << asked;
        EXPECT_NE(refused->failures[0].find("file \"e\" was refused at its announcement"), std::string::npos);
        EXPECT_EQ(refused->download_count() + refused->served_count(), 0u);
    }
}

namespace {

// Merges `files` under the key straight into the repository and downloads
// what is missing through the contexts themselves; the key's list.
cache_t::file_list_t filled(cache_t::repo_t& repo, const cache::repo_key_t& key, const std::vector<blob_t>& files) {
    repo.merge(key, infos(files));
    cache_t::file_list_t list = *repo.find_files(key);
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i]->get_state() == cache_t::file_ctx_t::ready) continue;
        list[i]->download_started(9);
        list[i]->write(9, files[i].bytes.data(), files[i].bytes.size());
    }
    return list;
}

std::vector<int32_t> states(const cache_t::file_list_t& list) {
    std::vector<int32_t> out;
    for (const cache_t::file_ptr& f : list) out.push_back(f->get_state());
    return out;
}

void expect_gone_from_disk(cache_t::file_ctx_t& file) {
    try {
        file.read_bytes(false);
        ADD_FAILURE() << file.path << " served";
    } catch (const io_error_exception_shell_t& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open " + file.path), std::string::npos) << e.what();
    }
}

}  // namespace

/// A file found gone when it is read to be served has every other file of
/// its revision that is gone set back with it, one WARNING each, whatever
/// subdirectory it lies in: the next request downloads them all at once.
/// Files still there, mapped or not, and other revisions' links to them stay
/// ready; a cleaned revision's files, gone on purpose, are not looked through.
TEST(Repo, AFileFoundGoneSetsBackTheOthersOfItsRevisionThatAreGone) {
    typedef cache_t::file_ctx_t file_ctx_t;
    const int32_t ready = file_ctx_t::ready, gone = file_ctx_t::not_existent;
    io_test::log_capture log(LOG_LEVEL_WARNING);
    scratch_t dir;
    cache_t::repo_t repo(tree_of(dir));
    const std::vector<blob_t> files = {blob("a", "alpha"), blob("x/y/b", "beta"), blob("c", "gamma"),
                                       blob("d/e", "delta")};
    cache_t::file_list_t one = filled(repo, {"upd", 1, "p"}, files);
    cache_t::file_list_t two = filled(repo, {"upd", 2, "p"}, files);
    ASSERT_EQ(states(two), (std::vector<int32_t>{ready, ready, ready, ready}));
    auto warned = [&](const cache_t::file_ptr& f) {
        return log.count("[Repo] File " + f->path + " is gone from the disk: it is downloaded again");
    };

    // Files alone, one of them below a subdirectory of the revision.
    ASSERT_EQ(::unlink(one[0]->path.c_str()), 0);
    ASSERT_EQ(::unlink(one[1]->path.c_str()), 0);
    EXPECT_TRUE(one[2]->read_bytes(false));  // still there: nothing else is looked at
    EXPECT_TRUE(log.messages().empty());
    expect_gone_from_disk(*one[0]);
    EXPECT_EQ(states(one), (std::vector<int32_t>{gone, gone, ready, ready}));
    EXPECT_EQ(states(two), (std::vector<int32_t>{ready, ready, ready, ready}));
    EXPECT_EQ(warned(one[0]) + warned(one[1]), 2u);
    EXPECT_EQ(log.messages().size(), 2u);

    // The whole directory: every file, the mapped one too, and no other revision's.
    ASSERT_TRUE(two[2]->map());
    fs::remove_all(dir.path + "/upd/2");
    expect_gone_from_disk(*two[3]);
    EXPECT_EQ(states(two), (std::vector<int32_t>{gone, gone, gone, gone}));
    EXPECT_FALSE(two[2]->mapping);
    for (const cache_t::file_ptr& f : two) EXPECT_EQ(warned(f), 1u) << f->path;
    EXPECT_EQ(states(one), (std::vector<int32_t>{gone, gone, ready, ready}));
    EXPECT_EQ(log.messages().size(), 6u);
    expect_gone_from_disk(*two[0]);  // already set back: said once only
    EXPECT_EQ(log.messages().size(), 6u);

    // Cleaned: a reply still holding one of its files finds it gone alone.
    for (cache::rev_t rev : {3, 4, 5}) repo.merge({"upd", rev, "p"}, infos(files));
    repo.clean_revisions();
    ASSERT_FALSE(exists(dir.path + "/upd/1"));
    expect_gone_from_disk(*one[2]);
    EXPECT_EQ(states(one), (std::vector<int32_t>{gone, gone, gone, ready}));
    EXPECT_EQ(log.messages().size(), 7u);
}

/// Through announcements: the second list of a revision that needs a file
/// of the first as a directory is refused whole, its ERROR naming both, and
/// the first list stays as it was.
TEST(Repo, AListNeedingAFileOfAnEarlierListAsADirectoryIsRefused) {
    io_test::log_capture log(LOG_LEVEL_ERROR);
    fixture_t f;
    blob_t file = blob("a/b", "bytes of a/b");
    blob_t below = blob("a/b~" + file.info.md5 + "/c", "bytes of c");
    cache::repo_key_t key{"upd", 7, "p"};
    cache::cache_t::announced_ptr first = f.cache->merge(key, infos({file}));
    EXPECT_EQ(f.cache->merge(key, infos({file})), first);  // the same list is kept once
    EXPECT_THROW(f.cache->merge(key, infos({blob("z", "z"), below})), cache::cache_error_shell_t);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("\"a/b\""), std::string::npos) << log.messages()[0];
    EXPECT_NE(log.messages()[0].find("\"" + below.info.name + "\""), std::string::npos) << log.messages()[0];
    EXPECT_FALSE(exists(f.dir.path + "/upd/7/~z~" + md5_of("z")));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), r);
    ASSERT_EQ(r->download_count(), 1u);
    EXPECT_EQ(r->take_download()->mask(), mask("1"));
}

namespace {

// Waits until a change made from now on gives `path` another change time
// than the one it has: the file system takes it from a clock that ticks.
void past_change_time(const std::string& path) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    ASSERT_TRUE(wait_until([&] {
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        return now.tv_sec != st.st_ctim.tv_sec ? now.tv_sec > st.st_ctim.tv_sec : now.tv_nsec > st.st_ctim.tv_nsec;
    }));
}

// What still_stored finds of every ready file of the kept revisions `revs`.
std::vector<cache_t::file_ctx_t::stored_t> examined(cache_t::repo_t& repo, const std::vector<cache::rev_t>& revs) {
    std::vector<cache_t::file_ctx_t::stored_t> out;
    for (cache::rev_t rev : revs)
        for (const cache_t::file_ptr& f : *repo.find_files({"upd", rev, "p"}))
            if (f->get_state() == cache_t::file_ctx_t::ready) out.push_back(f->still_stored());
    return out;
}

}  // namespace

/// Every name of a stored file shares its change time, which the cache's own
/// links and removals move: they leave no name to be read again, not even
/// one a reply examines while a link is made or a name removed (the reply
/// would be broken off). A change by anyone else is still read again, and so
/// is a link made from a file in that state.
TEST(Repo, TheCachesOwnLinksAndRemovalsLeaveNoNameToBeReadAgain) {
    typedef cache_t::file_ctx_t::stored_t stored_t;
    scratch_t dir;
    const cache::tree_ptr tree = tree_of(dir);
    cache_t::repo_t repo(tree);
    const blob_t file = blob("lib/x.dll", "shared content");
    const cache_t::file_ptr first = filled(repo, {"upd", 1, "p"}, {file})[0];
    // A reply's examinations of the first name while the others come and go.
    std::atomic<bool> done{false};
    std::atomic<size_t> refused{0}, examinations{0};
    boost::thread reply([&] {
        while (!done) {
            try {
                first->open_stored();
            } catch (const io_error_exception_shell_t&) {
                ++refused;
            }
            ++examinations;
        }
    });
    const std::set<std::pair<std::string, cache::rev_t>> first_kept = {{"upd", 1}};
    for (cache::rev_t rev = 2; rev <= 60; ++rev) {
        past_change_time(first->path);
        repo.merge({"upd", rev, "p"}, infos({file}));
        // From the fifth on, each clean removes a name the others share.
        repo.clean_revisions(first_kept);
        const std::vector<cache::rev_t> kept = {1, rev, std::max<cache::rev_t>(rev - 1, 1)};
        const std::vector<stored_t> found = examined(repo, kept);
        EXPECT_EQ(found, std::vector<stored_t>(3, stored_t::yes)) << "revision " << rev;
        if (found != std::vector<stored_t>(3, stored_t::yes)) break;
    }
    done = true;
    reply.join();
    EXPECT_EQ(refused.load(), 0u) << "of " << examinations.load();
    EXPECT_GT(examinations.load(), 0u);
    EXPECT_EQ(tree->own_changes().size(), 1u);  // one file, however many names it had
    EXPECT_EQ(inode_of(first->path), inode_of(dir.path + "/upd/60/lib~x.dll~" + file.info.md5));

    // Someone else's chmod: every name is to be read, and so is a new link to it.
    past_change_time(first->path);
    ASSERT_EQ(::chmod(first->path.c_str(), 0640), 0);
    EXPECT_EQ(examined(repo, {1, 59, 60}), std::vector<stored_t>(3, stored_t::to_read));
    past_change_time(first->path);
    repo.merge({"upd", 61, "p"}, infos({file}));
    EXPECT_EQ(examined(repo, {61}), std::vector<stored_t>{stored_t::to_read});
    // A name examined whole again vouches for itself only until the next
    // foreign change; the cache's own link from it then counts again.
    std::atomic<bool> stop{false};
    first->check_content(stop);
    EXPECT_EQ(first->still_stored(), stored_t::yes);
    past_change_time(first->path);
    repo.merge({"upd", 62, "p"}, infos({file}));
    EXPECT_EQ(examined(repo, {1, 62}), std::vector<stored_t>(2, stored_t::yes));
}
