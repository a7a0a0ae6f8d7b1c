// Update requests against a changing repository: downloads that fail while
// others run, lists that change under a waiting request or name a file
// twice, and keys the server never announced.
#include <gtest/gtest.h>

#include <future>

#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "cache_support.h"
#include "io/test_support.h"

using namespace cache_test;
using cache::cache_t;

namespace {

std::vector<std::string> dir_entries(const std::string& dir) {
    std::vector<std::string> out;
    for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it)
        out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

/// The lines that count a failed download.
size_t failure_lines(const io_test::log_capture& log) {
    size_t n = 0;
    for (const std::string& m : log.messages()) n += m.find("time(s) in a row") != std::string::npos;
    return n;
}

/// Sets the failed-downloads bound for one test and puts it back after.
struct failed_limit_t {
    explicit failed_limit_t(unsigned limit) { cache_t::failed_downloads_limit = limit; }
    ~failed_limit_t() { cache_t::failed_downloads_limit = saved; }
    const unsigned saved = cache_t::failed_downloads_limit;
};

}  // namespace

/// Download A fails on a wrong byte; before A's context is gone, another
/// agent's request starts download B of the same file. A's end must neither
/// cancel B nor touch its temporary file, and B alone completes the file.
TEST(CacheRequests, AFailedDownloadLeavesALaterDownloadOfItsFilesAlone) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    blob_t x = blob("x", std::string(1000, 'x')), y = blob("y", "yyyy");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({x, y}));
    auto first = boost::make_shared<requester_t>(), second = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("11"), first);
    boost::shared_ptr<srv_side::download_context_t> a = first->take_download();
    std::string spoilt = x.bytes;
    spoilt[500] = 'X';
    EXPECT_THROW(a->write(spoilt.data(), spoilt.size()), cache::cache_error_shell_t);
    f.cache->request_update(key, mask("10"), second);
    ASSERT_EQ(second->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> b = second->take_download();
    EXPECT_EQ(b->mask(), mask("10"));
    b->write(x.bytes.data(), 400);
    EXPECT_THROW(a->write(x.bytes.data(), 10), cache::cache_error_shell_t);  // no longer A's file
    a->done(false);
    a.reset();  // A ends while B runs
    b->write(x.bytes.data() + 400, 600);
    b->done(true);
    b.reset();
    ASSERT_TRUE(wait_until([&] { return second->served_count() == 1; }));
    EXPECT_EQ(second->served[0], std::vector<std::string>{x.bytes});
    EXPECT_EQ(second->download_count(), 0u);  // B was not cancelled: no new attempt
    // A's failure counts once; the first agent gets y (and x) from the next download.
    ASSERT_TRUE(wait_until([&] { return first->download_count() == 1; }));
    EXPECT_EQ(first->downloads[0]->mask(), mask("01"));
    reply(first->take_download(), {x, y});
    ASSERT_TRUE(wait_until([&] { return first->served_count() == 1; }));
    EXPECT_EQ(first->served[0], (std::vector<std::string>{x.bytes, y.bytes}));
    EXPECT_EQ(log.count("[Repo] Download of upd/7 failed 1 time(s) in a row, next attempt in 1 s"), 1u);
    EXPECT_EQ(log.count("[Repo] Download of upd/7 failed 2 time(s) in a row, next attempt in 2 s"), 0u);
}

/// A new announcement of the same revision while a request waits: the
/// request is answered against the list it was made for; when one of its
/// missing files is in the new list, it is fetched through that list; when
/// it is gone from it, the request ends and its requester is told.
TEST(CacheRequests, AWaitingRequestIsAnsweredAgainstItsOwnList) {
    fixture_t f;
    blob_t a = blob("a", "aaaa"), b = blob("b", "bbbbbbb"), c = blob("c", "cc"), d = blob("d", "dddddd");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({a, b}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("11"), r);
    boost::shared_ptr<srv_side::download_context_t> first = r->take_download();
    f.cache->merge(key, infos({c, a, b}));  // the list grows and moves
    reply(first, {a, b});
    first.reset();
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{a.bytes, b.bytes}));

    // f fails; the list changes to {c, d, f}: f is downloaded again at its new place.
    b = blob("f", "fffff");
    cache::repo_key_t key2{"upd", 8, "p"};
    f.cache->merge(key2, infos({a, b}));
    auto r2 = boost::make_shared<requester_t>();
    f.cache->request_update(key2, mask("01"), r2);
    boost::shared_ptr<srv_side::download_context_t> failing = r2->take_download();
    f.cache->merge(key2, infos({c, d, b}));
    failing->done(false);
    failing.reset();
    ASSERT_TRUE(wait_until([&] { return r2->download_count() == 1; }));
    boost::shared_ptr<srv_side::download_context_t> again = r2->take_download();
    EXPECT_EQ(again->mask(), mask("001"));
    reply(again, {c, d, b});
    again.reset();
    ASSERT_TRUE(wait_until([&] { return r2->served_count() == 1; }));
    EXPECT_EQ(r2->served[0], std::vector<std::string>{b.bytes});

    // The same, but the missing file is gone from the new list: the request ends, told.
    cache::repo_key_t key3{"upd", 9, "p"};
    f.cache->merge(key3, infos({a, blob("e", "eee")}));
    auto r3 = boost::make_shared<requester_t>();
    f.cache->request_update(key3, mask("01"), r3);
    boost::shared_ptr<srv_side::download_context_t> lost = r3->take_download();
    f.cache->merge(key3, infos({a, c}));
    lost->done(false);
    lost.reset();
    ASSERT_TRUE(wait_until([&] { return r3->failure_count() == 1; }));
    EXPECT_EQ(r3->served_count(), 0u);
    EXPECT_EQ(r3->download_count(), 0u);
}

/// Requests for keys never announced leave nothing on disk or in memory, and
/// the cleaning timer, firing on its own, keeps the announced revisions.
TEST(CacheRequests, UnannouncedKeysCreateNothingAndTheCleaningTimerKeepsAnnouncedRevisions) {
    io_test::log_capture log;  // outlives the fixture's I/O thread
    fixture_t f(boost::posix_time::minutes(10), boost::posix_time::milliseconds(200));
    blob_t x = blob("x", "content");
    auto r = boost::make_shared<requester_t>();
    for (cache::rev_t rev : {1, 2, 3, 4}) {
        cache::repo_key_t key{"upd", rev, "p"};
        f.cache->merge(key, infos({x}));
        f.cache->request_update(key, mask("1"), r);
        if (r->download_count()) reply(r->take_download(), {x});
    }
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 4; }));
    // Higher revisions, another name, another platform: none announced.
    for (cache::rev_t rev = 5; rev < 5000; ++rev) {
        EXPECT_THROW(f.cache->request_update({"upd", rev, "p"}, mask("1"), r), cache::cache_error_shell_t);
        f.cache->request_update({"other" + std::to_string(rev), rev, "p"}, mask(""), r);
    }
    EXPECT_THROW(f.cache->request_update({"upd", 4, "q"}, mask("1"), r), cache::cache_error_shell_t);
    ASSERT_TRUE(wait_until([&] { return log.count("[Repo] Remove files in upd/1") == 1; }));
    // The line comes before the removal it announces, on the timer's thread.
    const std::vector<std::string> kept{"2", "3", "4"};
    ASSERT_TRUE(wait_until([&] { return dir_entries(f.dir.path + "/upd") == kept; }));
    EXPECT_EQ(dir_entries(f.dir.path), std::vector<std::string>{"upd"});
    f.cache->request_update({"upd", 4, "p"}, mask("1"), r);
    EXPECT_EQ(r->served_count(), 4u + 4995u + 1u);
}

/// A list that names one file twice: asking for its second place (and the
/// file between) downloads it once, flagged where the list holds it first,
/// and the answer carries it at the place asked for.
TEST(CacheRequests, AFileTheListNamesTwiceIsDownloadedOnceAtItsFirstPlace) {
    fixture_t f;
    blob_t x = blob("x", "first and last"), y = blob("y", "between");
    cache::repo_key_t key{"upd", 3, "p"};
    f.cache->merge(key, infos({x, y, x}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("011"), r);
    ASSERT_EQ(r->download_count(), 1u);
    boost::shared_ptr<srv_side::download_context_t> d = r->take_download();
    EXPECT_EQ(d->mask(), mask("110"));
    reply(d, {x, y, x});
    d.reset();
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    EXPECT_EQ(r->served[0], (std::vector<std::string>{y.bytes, x.bytes}));
    EXPECT_EQ(r->download_count(), 0u);
}

/// A download its requester's connection drops unsent (its server side could
/// not send it after all) goes at once to the next waiting request that can
/// download, and is no failure of the server's: no delay, no failure line.
TEST(CacheRequests, ADownloadDroppedUnsentGoesToTheNextRequesterAtOnce) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    blob_t x = blob("x", "the bytes of x");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({x}));
    auto dropping = boost::make_shared<requester_t>(), able = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), dropping, 2);
    f.cache->request_update(key, mask("1"), able, 5);  // waits for the first one's download
    ASSERT_EQ(dropping->download_count(), 1u);
    EXPECT_EQ(able->download_count(), 0u);
    // The machine left its ready state before it came to the request.
    dropping->downloads_allowed = false;
    dropping->take_download().reset();
    ASSERT_TRUE(wait_until([&] { return able->download_count() == 1; }));
    reply(able->take_download(), {x});
    ASSERT_TRUE(wait_until([&] { return able->served_count() == 1 && dropping->served_count() == 1; }));
    EXPECT_EQ(able->numbers, std::vector<uint32_t>{5});
    EXPECT_EQ(dropping->numbers, std::vector<uint32_t>{2});
    EXPECT_EQ(failure_lines(log), 0u);
    // With nobody else to take it, a dropped download of a requester still
    // able to download goes back to it, also at once.
    cache::repo_key_t key2{"upd", 8, "p"};
    f.cache->merge(key2, infos({x, blob("y", "yy")}));
    f.cache->request_update(key2, mask("01"), able, 6);
    able->take_download().reset();
    ASSERT_TRUE(wait_until([&] { return able->download_count() == 1; }));
    EXPECT_EQ(failure_lines(log), 0u);
}

/// Once a revision's downloads failed `failed_downloads_limit` times in a
/// row (empty replies count at once), each failure ends the requests that
/// wait for its missing files; one whose files another download still
/// fetches is left to it, and a download that completes starts the count anew.
TEST(CacheRequests, RequestsEndOnceTheirRevisionsDownloadsFailedTooOftenInARow) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    failed_limit_t limit(2);
    fixture_t f;
    blob_t x = blob("x", "the bytes of x"), y = blob("y", "the bytes of y");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({x, y}));
    auto missing = boost::make_shared<requester_t>(), fetched = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("10"), missing, 3);
    f.cache->request_update(key, mask("11"), fetched, 4);
    boost::shared_ptr<srv_side::download_context_t> other = fetched->take_download();
    EXPECT_EQ(other->mask(), mask("01"));
    for (unsigned failures = 1; failures <= 2; ++failures) {
        ASSERT_TRUE(wait_until([&] { return missing->download_count() == 1; }));
        boost::shared_ptr<srv_side::download_context_t> empty = missing->take_download();
        empty->done(true);  // the whole reply, without one byte of x
    }
    ASSERT_TRUE(wait_until([&] { return missing->failure_count() == 1; }));
    EXPECT_EQ(missing->failed_numbers, std::vector<uint32_t>{3});
    EXPECT_EQ(missing->failures[0], "its downloads failed 2 time(s) in a row");
    EXPECT_EQ(log.count("[Repo] Pending update request for upd/7 dropped because of its downloads failed 2 "
                        "time(s) in a row"), 1u);
    EXPECT_EQ(fetched->failure_count(), 0u);
    reply(other, {x, y});
    other.reset();
    // y completed: the count starts anew, and x is asked for again at once.
    ASSERT_TRUE(wait_until([&] { return fetched->download_count() == 1; }));
    EXPECT_EQ(fetched->downloads[0]->mask(), mask("10"));
    for (std::string n : {"1", "2"})
        EXPECT_EQ(log.count("[Repo] Download of upd/7 failed " + n + " time(s) in a row, next attempt in " + n + " s"),
                  1u);
}

/// A failed download may lose its last owner before its failure is counted
/// (the count is posted to the I/O service): a request judged in between,
/// whose own server takes no downloads, must wait for the retry through a
/// connection that can, not be dropped as if nobody could ever fetch it.
TEST(CacheRequests, ARequestJudgedBeforeAFailureIsCountedWaitsForTheRetry) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    blob_t x = blob("x", "the bytes of x");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({x}));
    auto stalled = boost::make_shared<requester_t>(), other = boost::make_shared<requester_t>(),
         late = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), stalled, 1);
    boost::shared_ptr<srv_side::download_context_t> failing = stalled->take_download();
    stalled->downloads_allowed = false;  // its server stalled: no more downloads there
    late->downloads_allowed = false;
    f.cache->request_update(key, mask("1"), other, 2);
    EXPECT_EQ(other->download_count(), 0u);  // x is in download already
    // The I/O service is held, so the failure's count waits behind it.
    std::promise<void> gate;
    std::shared_future<void> opened(gate.get_future());
    f.service.post([opened] { opened.wait(); });
    failing->done(false);
    failing.reset();
    // Judged now: nothing fetches x, and neither requester can download itself.
    f.cache->request_update(key, mask("1"), late, 3);
    EXPECT_EQ(stalled->failure_count(), 0u);
    EXPECT_EQ(late->failure_count(), 0u);
    gate.set_value();
    // The retry goes through the one connection that can download, for all three.
    ASSERT_TRUE(wait_until([&] { return other->download_count() == 1; }));
    reply(other->take_download(), {x});
    for (auto* r : {stalled.get(), other.get(), late.get()}) {
        ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
        EXPECT_EQ(r->served[0], std::vector<std::string>{x.bytes});
        EXPECT_EQ(r->failure_count(), 0u);
    }
    EXPECT_EQ(log.count("[Repo] Download of upd/7 failed 1 time(s) in a row, next attempt in 1 s"), 1u);
}

/// A requester whose server still negotiates waits, neither failed nor
/// handed a download, and downloads once its server is ready; one whose
/// server will never download again fails when nobody else can fetch.
TEST(CacheRequests, ARequesterStillNegotiatingWaitsUntilItsServerIsReady) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    fixture_t f;
    blob_t x = blob("x", "xxxxxxxx");
    cache::repo_key_t key{"upd", 3, "p"};
    f.cache->merge(key, infos({x}));
    auto early = boost::make_shared<requester_t>();
    early->downloads_allowed = false;
    early->downloads_later = true;
    f.cache->request_update(key, mask("1"), early, 9);
    f.cache->process_update_requests(key);
    EXPECT_EQ(early->download_count(), 0u);
    EXPECT_EQ(early->failure_count(), 0u);
    EXPECT_EQ(f.cache->pending_requests(), 1u);
    f.cache->requester_ready(early);  // too soon: nothing changes
    EXPECT_EQ(early->download_count(), 0u);
    early->downloads_allowed = true;
    early->downloads_later = false;
    f.cache->requester_ready(early);
    ASSERT_EQ(early->download_count(), 1u);
    reply(early->take_download(), {x});
    ASSERT_TRUE(wait_until([&] { return early->served_count() == 1; }));
    EXPECT_EQ(early->numbers, std::vector<uint32_t>{9});

    cache::repo_key_t key2{"upd", 4, "p"};
    f.cache->merge(key2, infos({blob("z", "zz")}));
    auto raw = boost::make_shared<requester_t>();
    raw->downloads_allowed = false;
    f.cache->request_update(key2, mask("1"), raw, 11);
    EXPECT_EQ(raw->failed_numbers, std::vector<uint32_t>{11});
    EXPECT_EQ(failure_lines(log), 0u);
}

/// Every waiting request of one requester is answered with its own number,
/// for one key or for two; the same request asked again (same number) is
/// answered once; beyond the requester's bound a further one is refused.
TEST(CacheRequests, EachWaitingRequestIsAnsweredWithItsOwnNumber) {
    fixture_t f;
    blob_t a = blob("a", "aaaa"), b = blob("b", "bbbbbb"), c = blob("c", "c");
    cache::repo_key_t key{"upd", 7, "p"}, other{"other", 2, "p"};
    f.cache->merge(key, infos({a, b}));
    f.cache->merge(other, infos({c}));
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("10"), r, 2);
    f.cache->request_update(key, mask("01"), r, 3);
    f.cache->request_update(other, mask("1"), r, 4);
    f.cache->request_update(other, mask("1"), r, 4);  // asked again: replaces its waiting self
    EXPECT_EQ(f.cache->pending_requests(), 3u);
    ASSERT_EQ(r->download_count(), 3u);
    reply(r->take_download(), {a, b});  // a
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    reply(r->take_download(), {a, b});  // b
    reply(r->take_download(), {c});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 3; }));
    EXPECT_EQ(r->numbers, (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_EQ(r->served[0], std::vector<std::string>{a.bytes});
    EXPECT_EQ(r->served[1], std::vector<std::string>{b.bytes});
    EXPECT_EQ(r->served[2], std::vector<std::string>{c.bytes});
    EXPECT_EQ(r->failure_count(), 0u);

    // The bound counts waiting requests only: one answered at once passes.
    struct bound_t {
        size_t saved = cache_t::waiting_per_requester;
        ~bound_t() { cache_t::waiting_per_requester = saved; }
    } bound;
    cache_t::waiting_per_requester = 2;
    cache::repo_key_t next{"upd", 9, "p"};
    f.cache->merge(next, infos({blob("d", "d"), blob("e", "ee"), blob("g", "ggg")}));
    auto busy = boost::make_shared<requester_t>(), calm = boost::make_shared<requester_t>();
    f.cache->request_update(next, mask("100"), busy, 20);
    f.cache->request_update(next, mask("010"), busy, 21);
    f.cache->request_update(key, mask("11"), busy, 22);  // ready: answered at once
    f.cache->request_update(next, mask("001"), busy, 23);
    EXPECT_EQ(busy->numbers, std::vector<uint32_t>{22});
    EXPECT_EQ(busy->failed_numbers, std::vector<uint32_t>{23});
    f.cache->request_update(next, mask("001"), calm, 30);  // another requester is not held to it
    EXPECT_EQ(calm->download_count(), 1u);
    EXPECT_EQ(calm->failure_count(), 0u);
}

/// A stored file lost again before it could be served whole is downloaded
/// again only after the delays of the count, and its requests end at the
/// limit instead of fetching it in a loop. One served whole in between
/// starts the count anew, however often it is lost.
TEST(CacheRequests, AFileLostBeforeItIsServedEndsItsRequestsAtTheLimitOneServedWholeDoesNot) {
    io_test::log_capture log(LOG_LEVEL_WARNING);  // outlives the fixture's I/O thread
    failed_limit_t limit(2);
    fixture_t f;
    blob_t x = blob("x", "the bytes of x");
    cache::repo_key_t key{"upd", 7, "p"};
    f.cache->merge(key, infos({x}));
    const std::string stored = f.dir.path + "/upd/7/~x~" + x.info.md5;
    auto r = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), r, 1);
    reply(r->take_download(), {x});
    ASSERT_TRUE(wait_until([&] { return r->served_count() == 1; }));
    for (uint32_t n = 2; n <= 4; ++n) {
        // Lost: fetched again after the delay of one setback.
        ASSERT_EQ(::unlink(stored.c_str()), 0);
        f.cache->request_update(key, mask("1"), r, n);
        EXPECT_EQ(r->download_count(), 0u);
        ASSERT_TRUE(wait_until([&] { return r->download_count() == 1; }));
        reply(r->take_download(), {x});
        ASSERT_TRUE(wait_until([&] { return r->served_count() == n; }));
        if (n == 4) break;
        // As a reply that sends it whole does.
        io::request_queue sent = r->locked([&] { return r->handed.back().request(); });
        sent.front()->const_buffer();
        sent.front()->mark_as_send();
    }
    // Lost again before it was sent whole: the second loss in a row ends the request.
    ASSERT_EQ(::unlink(stored.c_str()), 0);
    f.cache->request_update(key, mask("1"), r, 5);
    EXPECT_EQ(r->failed_numbers, std::vector<uint32_t>{5});
    EXPECT_EQ(r->failures, std::vector<std::string>{"its files were lost 2 time(s) in a row"});
    EXPECT_EQ(r->download_count(), 0u);
    EXPECT_EQ(log.count("[Repo] Stored files of upd/7 were lost 1 time(s) in a row, next download in 1 s"), 3u);
    EXPECT_EQ(log.count("[Repo] Stored files of upd/7 were lost 2 time(s) in a row, next download in 2 s"), 1u);
    EXPECT_EQ(failure_lines(log), 5u);  // the four above and the request's end
}

/// A requester that relayed no list of a key is matched against the key's
/// list while the cache holds no other: a rival list ends a waiting
/// request at its next download, and refuses new ones until its holder lets
/// it go. A list announced again is the one held.
TEST(CacheRequests, ARequesterThatRelayedNoListIsMatchedOnlyWhileOneListIsHeld) {
    fixture_t f;
    cache::repo_key_t key{"upd", 7, "p"};
    cache_t::announced_ptr first = f.cache->merge(key, infos({blob("f", "ONE")}));
    auto early = boost::make_shared<requester_t>(), late = boost::make_shared<requester_t>();
    f.cache->request_update(key, mask("1"), early);
    cache_t::announced_ptr rival = f.cache->merge(key, infos({blob("f", "TWO")}));
    EXPECT_EQ(f.cache->merge(key, infos({blob("f", "ONE")})), first);
    EXPECT_THROW(f.cache->request_update(key, mask("1"), late), cache::unmatched_request_error_shell_t);
    early->take_download()->done(false);
    ASSERT_TRUE(wait_until([&] { return early->failure_count() == 1; }));
    EXPECT_EQ(early->download_count(), 0u);
    rival.reset();
    f.cache->request_update(key, mask("1"), late);
    ASSERT_EQ(late->download_count(), 1u);
    reply(late->take_download(), {blob("f", "ONE")});
    ASSERT_TRUE(wait_until([&] { return late->served_count() == 1; }));
}
