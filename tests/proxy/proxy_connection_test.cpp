// The state a proxy connection keeps for both sides' handlers: version
// minima, offers and the GETCONFIG id map, also when both strands use them;
// announcements and requests on their way to the cache.
#include "proxy/proxy_connection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "tests/oslayer/test_support.h"
#include "tests/proxy/pair_fixture.h"

namespace {

boost::shared_ptr<proxy_connection_t> unstarted(boost::asio::io_service& service) {
    return boost::make_shared<proxy_connection_t>(service, boost::weak_ptr<listener_t>(),
                                                  boost::shared_ptr<cache::cache_t>());
}

TEST(ProxyConnection, VersionMinimaAreLoweredEachOnItsOwn) {
    struct row {
        std::vector<std::pair<int32_t, int32_t>> protocols;
        int32_t major, minor;
        bool expected;
    } rows[] = {
        {{}, 2, 9, true},  // no PROTOCOL: as high as can be
        {{{3, 0}, {2, 9}}, 2, 9, false}, {{{3, 0}, {2, 9}}, 2, 0, true},  // (3,0) and (2,9) give (2,0)
        {{{2, 9}}, 2, 9, true},          {{{2, 9}}, 2, 10, false},
        {{{2, 3}}, 1, 99, true},  // a higher major wins whatever the minor
        {{{2, 3}, {2, 7}}, 2, 4, false},
    };
    boost::asio::io_service service;
    for (const row& r : rows) {
        auto c = unstarted(service);
        for (const auto& p : r.protocols) {
            c->lower_version(p.first);
            c->lower_minor_version(p.second);
        }
        EXPECT_EQ(c->version_at_least(r.major, r.minor), r.expected) << r.major << "." << r.minor;
    }
}

/// Sets the kept-ids bound for one test and puts the default back.
struct kept_ids_t {
    explicit kept_ids_t(size_t n) : saved(proxy_connection_t::config_ids_kept) { proxy_connection_t::config_ids_kept = n; }
    ~kept_ids_t() { proxy_connection_t::config_ids_kept = saved; }
    size_t saved;
};

TEST(ProxyConnection, OnlyTheNewestConfigIdsAreKept) {
    EXPECT_EQ(1024u, proxy_connection_t::config_ids_kept);
    boost::asio::io_service service;
    {
        kept_ids_t bound(3);
        auto c = unstarted(service);
        for (uint32_t id = 1; id <= 5; ++id) c->put_config_id(100 + id, id);
        // 1 and 2 are forgotten: their answers read as unknown, like any id never asked for.
        EXPECT_EQ(std::vector<int32_t>({-1, -1, 103, 104, 105, -1}),
                  std::vector<int32_t>({c->take_config_id(1), c->take_config_id(2), c->take_config_id(3),
                                        c->take_config_id(4), c->take_config_id(5), c->take_config_id(3)}));
        // An id asked for again is the newest, with the later number; a
        // taken id leaves room.
        c->put_config_id(1, 10);
        c->put_config_id(2, 20);
        c->put_config_id(3, 30);
        c->put_config_id(4, 10);
        c->put_config_id(5, 40);  // forgets 20, the oldest now
        EXPECT_EQ(-1, c->take_config_id(20));
        EXPECT_EQ(3, c->take_config_id(30));
        c->put_config_id(6, 50);  // room left by 30: nothing forgotten
        EXPECT_EQ(std::vector<int32_t>({4, 5, 6}), std::vector<int32_t>({c->take_config_id(10), c->take_config_id(40),
                                                                         c->take_config_id(50)}));
    }
    {
        kept_ids_t bound(0);  // read as 1: the latest request is always answerable
        auto c = unstarted(service);
        c->put_config_id(7, 70);
        c->put_config_id(8, 80);
        EXPECT_EQ(-1, c->take_config_id(70));
        EXPECT_EQ(8, c->take_config_id(80));
    }
    // The default holds 1,024: the 1,025th request forgets the first.
    auto c = unstarted(service);
    for (uint32_t id = 0; id <= 1024; ++id) c->put_config_id(id, id);
    EXPECT_EQ(-1, c->take_config_id(0));
    EXPECT_EQ(1, c->take_config_id(1));
    EXPECT_EQ(1024, c->take_config_id(1024));
}

// Both sides' handlers run on different strands; under ThreadSanitizer this
// test finds any access that is not synchronised.
TEST(ProxyConnection, BothStrandsMayUseTheSharedStateAtOnce) {
    boost::asio::io_service service;
    auto c = unstarted(service);
    const int rounds = 20000;
    std::thread agent_side([&] {
        for (int i = 0; i < rounds; ++i) {
            c->lower_version(rounds - i);
            c->restrict_offers(true, i < rounds / 2);
            c->put_config_id(static_cast<uint32_t>(i), static_cast<uint32_t>(i % 16));
        }
    });
    for (int i = 0; i < rounds; ++i) {
        c->lower_minor_version(rounds - i);
        c->version_at_least(2, 9);
        c->compression_allowed();
        c->crypt_allowed();
        c->take_config_id(static_cast<uint32_t>(i % 16));
        c->last_snf_update();
        c->update_request_number();
    }
    agent_side.join();
    EXPECT_FALSE(c->version_at_least(2, 0));
    EXPECT_TRUE(c->version_at_least(1, 1));
    EXPECT_FALSE(c->version_at_least(1, 2));
    EXPECT_TRUE(c->compression_allowed());
    EXPECT_FALSE(c->crypt_allowed());
}

TEST(ProxyConnection, AnAgentStartingOverGetsTheSameAnnouncementAgain) {
    proxy_test::relayed_pair_t pair(std::string(), LOG_LEVEL_TRACE3);
    const boost::shared_ptr<proxy_connection_t>& c = pair.connection;
    std::string args = "upd";
    const proxy_connection_t::args_range range(&args[0], &args[0] + args.size());
    const std::vector<char> body{'b'};
    const std::vector<cache::file_info_t> files{{"f", 4, "0123"}};
    c->on_snf_update("upd", 5, 1, files, range, body);
    c->on_snf_update("upd", 5, 2, files, range, body);  // only the server's integer differs: a repeat
    EXPECT_EQ(c->last_snf_update().announcement, 1);
    c->on_anf_state("linux", {"linux", "a b"});
    c->on_snf_update("upd", 5, 3, files, range, body);
    EXPECT_TRUE(pair.read_until(pair.agent, pair.to_agent, "1 SNF_UPDATE T1 upd\r\nb\r\n")) << pair.to_agent;
    EXPECT_EQ(pair.to_agent, "0 SNF_UPDATE T1 upd\r\nb\r\n1 SNF_UPDATE T1 upd\r\nb\r\n");
    EXPECT_TRUE(pair.read_until(pair.server, pair.to_server, "0 ANF_STATE linux a%Sb\r\n")) << pair.to_server;
    EXPECT_EQ(c->platform(), "linux");
    EXPECT_EQ(c->last_snf_update().announcement, 3);
    EXPECT_EQ(pair.logged(": Ignore same SNF_UPDATE from server"), 1u);
}

/// What the cache refuses is logged and left out; neither peer is dropped for
/// it, but for a request no announced list matches, whose agent is let go.
TEST(ProxyConnection, CacheRefusalsEndOnlyTheAgentOfAnUnmatchedRequest) {
    oslayer_test::scratch_t root;
    proxy_test::relayed_pair_t pair(root.path);
    pair.negotiate("2 9");
    const std::string md5 = "0123456789abcdef0123456789abcdef";
    const std::string unsafe_repository = "1\n0\n4 " + md5 + " f\n";
    const std::string unsafe_file = "1\n0\n4 " + md5 + " a/../../f\n";
    const std::string unmatchable_md5 = "1\n0\n4 0123 f\n";
    pair.from_server("SNF_UPDATE T" + std::to_string(unsafe_repository.size()) + " ..\r\n" + unsafe_repository +
                     "\r\n");
    pair.from_server("SNF_UPDATE T" + std::to_string(unsafe_file.size()) + " upd\r\n" + unsafe_file + "\r\n");
    pair.from_server("SNF_UPDATE T" + std::to_string(unmatchable_md5.size()) + " upd\r\n" + unmatchable_md5 +
                     "\r\n");
    // The server's refusals are all logged before the agent's begin: the
    // logger folds a line that repeats the one before it, whichever thread
    // wrote them, so two threads' identical reasons side by side would count once.
    pair.from_server("GOTIT after\r\n");
    EXPECT_TRUE(pair.read_until(pair.agent, pair.to_agent, " GOTIT after\r\n")) << pair.to_agent;
    pair.from_agent({"ARQ_UPDATE T5 %2E%2E\r\n1 0 1\r\n", "AFTER\r\n"});
    EXPECT_TRUE(pair.read_until(pair.server, pair.to_server, " AFTER\r\n")) << pair.to_server;
    // upd/1 holds no file: the mask does not fit, and no reply would ever come.
    pair.from_agent("ARQ_UPDATE T5 upd\r\n1 0 1\r\n");
    char byte;
    const ssize_t n = ::recv(pair.agent.native_handle(), &byte, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << errno;
    EXPECT_EQ(pair.to_server.find("ARQ_UPDATE"), std::string::npos);
    // Each refusal is one line and its reason the next one of the same thread.
    const std::pair<std::string, size_t> lines[] = {
        {"[Proxy] ", 5},
        {": SNF_UPDATE for .. not stored because of ", 1},
        {": SNF_UPDATE for upd not stored because of ", 2},
        {": ARQ_UPDATE for upd not served because of ", 1},
        {": ARQ_UPDATE for .. not served because of ", 1},
        {"  unsafe repository name \"..\"", 2},
        {"  unsafe file name \"a/../../f\" with md5 \"" + md5 + "\"", 1},
        {"  md5 \"0123\" of file \"f\" is not 32 lower-case hexadecimal digits", 1},
        {"  Different files count in update request and repo: 1 vs 0", 1},
    };
    for (const auto& l : lines) EXPECT_EQ(pair.logged(l.first), l.second) << l.first;
}

}  // namespace

namespace {

/// Once the agent's end of stream has been passed on to the server, a
/// download request sent there would be dropped behind it: the connection
/// takes none, although the server keeps its own side open.
TEST(ProxyConnection, NoDownloadGoesToAServerWhoseSendingEnded) {
    proxy_test::relayed_pair_t pair;
    pair.negotiate("2 9");
    EXPECT_TRUE(pair.connection->can_download());
    ASSERT_EQ(::shutdown(pair.agent.native_handle(), SHUT_WR), 0);
    // The server reads its end of stream.
    EXPECT_FALSE(pair.read_until(pair.server, pair.to_server, "never sent"));
    EXPECT_TRUE(io_test::wait_until([&] { return !pair.connection->can_download(); }));
}

}  // namespace
