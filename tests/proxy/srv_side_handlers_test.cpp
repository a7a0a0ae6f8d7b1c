// The server's commands: the parsers of their words and bodies byte by byte,
// then each handler at work in a real relayed pair on loopback, the test
// playing both the agent and the upstream server.
#include "proxy/srv_side_cmd_handlers.h"
#include "proxy/srv_side_machine.h"
#include "proxy/srv_side_update_handlers.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "cache/cache_download_ctx.h"
#include "tests/proxy/pair_fixture.h"

namespace {

using proxy_test::outcome;
using proxy_test::relayed_pair_t;

TEST(SrvSideHandlers, SnfUpdateBodies) {
    struct row { std::string body, expected; };
    const row rows[] = {
        {"12\n0\n4 aa a.txt\n9 bb  sub dir/b c \r", "12|0|4,aa,a.txt|9,bb,sub dir/b c|"},
        {"12\n-7", "12|-7|"},
        {"18446744073709551615\n2147483647\n  4294967295 m n", "18446744073709551615|2147483647|4294967295,m,n|"},
        {"5\n1\n3", "5|1|3,,|"},  // a size alone: the cache refuses the nameless file
        {"12\r\n0", "fatal"},     // a carriage return breaks the revision line
        {"12\n0x", "fatal"},
        {"12", "fatal"},
        {"", "fatal"},
        {"18446744073709551616\n0", "fatal"},
        {"1\n2147483648", "fatal"},
        {"1\n0\n4 aa a\n\n5 bb b", "protocol"},  // an empty file line
        {"1\n0\nx 4 aa", "protocol"},
        {"1\n0\n-4 aa a", "protocol"},
        {"1\n0\n4294967296 aa a", "protocol"},  // the 32-bit size field would cut it
    };
    for (const row& r : rows) {
        std::string got;
        const std::string result = outcome([&] {
            srv_side::snf_update_body_t parsed =
                srv_side::parse_snf_update_body(std::vector<char>(r.body.begin(), r.body.end()));
            got = std::to_string(parsed.revision) + "|" + std::to_string(parsed.announcement) + "|";
            for (const cache::file_info_t& f : parsed.files)
                got += std::to_string(f.size) + "," + f.md5 + "," + f.name + "|";
        });
        EXPECT_EQ(r.expected, result == "ok" ? got : result) << r.body;
    }
}

TEST(SrvSideHandlers, WholeWordNumbersAndTokens) {
    struct row { std::string kind, word, expected; };
    const row rows[] = {
        {"u32", "4294967295", "4294967295"}, {"u32", "4294967296", "fatal"}, {"u32", "-1", "fatal"},
        {"u32", "+1", "fatal"},              {"u32", " 1", "fatal"},         {"u32", "1 ", "fatal"},
        {"u32", "", "fatal"},                {"i32", "-2147483648", "-2147483648"},
        {"i32", "+7", "7"},                  {"i32", "2147483648", "fatal"}, {"i32", "-", "fatal"},
        {"u64", "18446744073709551615", "18446744073709551615"},             {"u64", "1e3", "fatal"},
        {"range", "R0:100", "0-100"},        {"range", "X5:7", "5-7"},       {"range", "R100", "fatal"},
        {"range", "R:5", "fatal"},           {"range", "", "fatal"},         {"range", "R1:4294967296", "fatal"},
        {"size", "S250", "250"},             {"size", "S", "fatal"},         {"size", "S2x", "fatal"},
    };
    for (const row& r : rows) {
        std::string got;
        const std::string result = outcome([&] {
            uint32_t start = 0, end = 0;
            if (r.kind == "u32") got = std::to_string(srv_side::word_to_uint32("T", r.word));
            if (r.kind == "i32") got = std::to_string(srv_side::word_to_int32("T", r.word));
            if (r.kind == "u64") got = std::to_string(srv_side::word_to_uint64("T", r.word));
            if (r.kind == "size") got = std::to_string(srv_side::parse_size_token(r.word));
            if (r.kind == "range") {
                srv_side::parse_range_token(r.word, start, end);
                got = std::to_string(start) + "-" + std::to_string(end);
            }
        });
        EXPECT_EQ(r.expected, result == "ok" ? got : result) << r.kind << " " << r.word;
    }
}

/// A download that keeps the body it is given and its ends ("T" completed, "F" not).
class probe_download : public srv_side::download_context_t {
public:
    probe_download() : download_context_t(cache::repo_key_t{"upd", 7, "win-nt-32"}, std::vector<char>{'1'}) {}
    void write(const char* data, size_t length) override { locked([&] { body.append(data, length); }); }
    void done(bool completed) override { locked([&] { body += completed ? "|T" : "|F"; }); }
    std::string got() { return locked([&] { return body; }); }

private:
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> g(mutex);
        return f();
    }
    std::mutex mutex;
    std::string body;
};

class SrvSidePair : public ::testing::Test, protected relayed_pair_t {};

TEST_F(SrvSidePair, PingIsAnsweredWithTheTimeOnlyFromVersion24) {
    from_server({"PROTOCOL 2 4 NONE\r\n", "PING 17\r\n", "PROTOCOL 2 3 NONE\r\n", "PING 17\r\n", "PING\r\n",
                 "CHALLENGE c\r\n"});
    ASSERT_TRUE(read_until(agent, to_agent, "CHALLENGE c\r\n"));
    // Never relayed: the agent sees the negotiation only.
    EXPECT_EQ("0 PROTOCOL 2 4 NONE\r\n1 PROTOCOL 2 3 NONE\r\n2 CHALLENGE c\r\n", to_agent);
    ASSERT_TRUE(read_until(server, to_server, "2 PONG\r\n"));
    EXPECT_TRUE(std::regex_match(to_server, std::regex("0 PONG 17 [0-9]{17,}\r\n1 PONG 17\r\n2 PONG\r\n")))
        << to_server;
}

TEST(SrvSideAuthorize, OnlyOkEndsTheNegotiationAndCryptTurnsItRaw) {
    struct row { const char* offers; const char* authorize; const char* outcome; };
    const row rows[] = {
        {"NONE", "OK", "ready"}, {"NONE", "oK x", "ready"}, {"NONE", "OKAY", "waiting"},
        {"NONE", "", "waiting"}, {"NONE", "NO", "waiting"}, {"CRYPT", "OK", "raw"}, {"CRYPT", "NO", "waiting"},
    };
    for (const row& r : rows) {
        relayed_pair_t pair;
        pair.from_server("PING 0\r\n");  // not relayed: from here the two sides' numbers differ
        pair.from_server(std::string("PROTOCOL 2 9 ") + r.offers + "\r\n");
        pair.from_server(std::string("AUTHORIZE ") + r.authorize + "\r\n");
        pair.from_server("GOTIT g\r\n");  // leaves the first ready state for the one that downloads
        ASSERT_TRUE(pair.read_until(pair.agent, pair.to_agent, "GOTIT g\r\n"));
        std::string outcome = "raw";  // the server's own numbering reached the agent untouched
        if (pair.to_agent.find("3 GOTIT g\r\n") == std::string::npos) {
            // The request is on the strand before the PING: its ARQ_UPDATE, if any, leaves first.
            pair.connection->download_needed(boost::make_shared<probe_download>());
            pair.from_server("PING 5\r\n");
            EXPECT_TRUE(pair.read_until(pair.server, pair.to_server, "PONG 5"));
            outcome = pair.to_server.find("ARQ_UPDATE") != std::string::npos ? "ready" : "waiting";
        }
        EXPECT_EQ(r.outcome, outcome) << r.offers << " " << r.authorize << ": " << pair.to_agent;
    }
}

TEST_F(SrvSidePair, ConfigGoesBackUnderTheAgentsNumber) {
    negotiate("2 9");
    connection->put_config_id(40, 7);
    connection->put_config_id(41, 7);  // the later request wins
    // "CONFIG 3" is refused; the connection goes on.
    from_server({"CONFIG 3 7 x%Sy\r\n", "CONFIG 3 7 x\r\n", "CONFIG 3\r\n", "CONFIG T2 9 7\r\nzz\r\n"});
    ASSERT_TRUE(read_until(agent, to_agent, "CONFIG 4294967295 7\r\n"));
    const std::string expected = "3 CONFIG 41 7 x%Sy\r\n4 CONFIG 4294967295 7 x\r\n5 CONFIG 4294967295 7\r\n";
    EXPECT_NE(std::string::npos, to_agent.find(expected)) << to_agent;
    EXPECT_EQ(1u, logged(": Violation: CONFIG with 1 argument(s) refused: it needs at least 2"));
    // A word 2 that is no number ends the upstream connection, and says why.
    from_server("CONFIG 3 seven\r\n");
    EXPECT_FALSE(read_until(server, to_server, "never"));
    EXPECT_TRUE(io_test::wait_until([&] { return logged("CONFIG from the server ends the connection") == 1; }));
}

TEST(SrvSideRawSwitch, AServerCommandDuringTheNegotiationTurnsTheAgentSideRawRightBehindIt) {
    const std::string body = "12\n0\n4 aa a b \n";
    struct row { std::string command, relayed, logged; };
    const row rows[] = {
        {"CONFIG 3 7 x\r\n", "0 CONFIG 4294967295 7 x\r\n", ""},
        {"NEWS T2 n\r\nab\r\n", "0 NEWS T2 n\r\nab\r\n", ""},
        {"SNF_UPDATE T15 upd\r\n" + body + "\r\n", "0 SNF_UPDATE T14 upd\r\n12\n0\n4 aa a b \r\n", ""},
        // Nothing reaches the agent framed, yet the switch must.
        {"SNF_UPDATE T4 %Z\r\n0\n0\n\r\n", "", "Ignore same SNF_UPDATE"},  // the empty record again
        {"SNF_UPDATE T9 upd\r\n1\n0\nx y z\r\n", "", "Violation: SNF_UPDATE refused"},
    };
    for (const row& r : rows) {
        relayed_pair_t pair(std::string(), LOG_LEVEL_TRACE3);
        // Behind the command in the same write: raw already on the way in.
        const std::string down("5 PING 1\r\n\0", 11), up = "7 PONG 1\r\n";
        pair.from_server(r.command + down);
        ASSERT_TRUE(pair.read_until(pair.agent, pair.to_agent, down)) << r.command;
        EXPECT_EQ(pair.to_agent, r.relayed + down) << r.command;
        // A framed agent side would consume the PONG.
        boost::asio::write(pair.agent, boost::asio::buffer(up));
        ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, up)) << r.command;
        EXPECT_EQ(pair.to_server, up) << r.command;
        if (!r.logged.empty()) {
            EXPECT_EQ(pair.logged(r.logged), 1u) << r.command;
        }
    }
}

TEST_F(SrvSidePair, AnnouncementsAreRelayedOnceAndBrokenOnesRefused) {
    negotiate("2 9");
    const std::string body = "12\n0\n4 aa a b \n";
    const std::string snf = "SNF_UPDATE T" + std::to_string(body.size()) + " upd\r\n" + body + "\r\n";
    // NEWS is unregistered: relayed as it came, a marker without body included.
    from_server({snf, snf, "SNF_UPDATE T9 upd\r\n1\n0\nx y z\r\n", "SNF_UPDATE upd\r\n", "SNF_UPDATE T2\r\n1\n\r\n",
                 "NEWS N\r\n", "GOTIT end\r\n"});
    ASSERT_TRUE(read_until(agent, to_agent, "GOTIT end\r\n"));
    // The final line feed is not passed on.
    EXPECT_NE(std::string::npos,
              to_agent.find("3 SNF_UPDATE T14 upd\r\n12\n0\n4 aa a b \r\n4 NEWS N\r\n5 GOTIT end\r\n"))
        << to_agent;
    for (const char* refusal : {"SNF_UPDATE refused: file line 3 \"x%Sy%Sz\" does not start with a size",
                                "SNF_UPDATE for upd refused: it has no body",
                                "SNF_UPDATE with 0 argument(s) refused: it needs at least 1"})
        EXPECT_EQ(1u, logged(refusal)) << refusal << ::testing::PrintToString(log.messages());
}

TEST_F(SrvSidePair, RepliesFlowIntoTheRunningDownload) {
    negotiate("2 9");
    from_server("SRS_UPDATE T2 id R0:2 S2\r\nzz\r\n");  // nobody waits for it
    ASSERT_TRUE(io_test::wait_until([&] { return logged(": Violation: unexpected SRS_UPDATE") == 1; }));
    auto download = boost::make_shared<probe_download>();
    connection->download_needed(download);
    ASSERT_TRUE(read_until(server, to_server, "0 ARQ_UPDATE T5 upd\r\n7 0 1\r\n"));
    // A newer peer's reply needs its range and size.
    from_server({"SRS_UPDATE T3 id\r\nxyz\r\n", "SRS_UPDATE T3 id R0:3\r\nxyz\r\n",
                 "SRS_UPDATE T3 id R0:3 S6\r\nabc\r\n"});
    ASSERT_TRUE(read_until(server, to_server, " ACK_RANGE 6 R0:3\r\n"));
    EXPECT_EQ("abc", download->got());
    from_server("SRS_UPDATE T3 id R3:6 S6\r\ndef\r\n");
    ASSERT_TRUE(read_until(server, to_server, " ACK_RANGE 7 R3:6\r\n"));
    EXPECT_TRUE(io_test::wait_until([&] { return download->got() == "abcdef|T"; })) << download->got();
    for (const char* words : {"1", "2"})
        EXPECT_EQ(1u, logged(std::string(": Violation: SRS_UPDATE with ") + words +
                             " argument(s) refused: it needs at least 3"));
}

TEST_F(SrvSidePair, AnOlderPeersSlowReplyIsKeptAliveAndCompletesAtOnce) {
    struct restore_t {
        ~restore_t() { srv_side::cmd_srs_update_t::alive_interval = boost::posix_time::seconds(20); }
    } restore;
    srv_side::cmd_srs_update_t::alive_interval = boost::posix_time::milliseconds(50);
    negotiate("2 8");
    auto download = boost::make_shared<probe_download>();
    connection->download_needed(download);
    ASSERT_TRUE(read_until(server, to_server, "ARQ_UPDATE"));
    from_server("SRS_UPDATE T2\r\nzz\r\n");  // refused: even an older peer's reply needs its id
    from_server("SRS_UPDATE T4 id\r\nab");
    ASSERT_TRUE(read_until(server, to_server, " ALIVE 2 0 update\r\n")) << to_server;
    boost::asio::write(server, boost::asio::buffer(std::string("cd\r\n")));
    EXPECT_TRUE(io_test::wait_until([&] { return download->got() == "abcd|T"; })) << download->got();
    EXPECT_EQ(std::string::npos, to_server.find("ACK_RANGE"));
    EXPECT_EQ(1u, logged(": Violation: SRS_UPDATE with 0 argument(s) refused: it needs at least 1"));
}

TEST_F(SrvSidePair, AServerSilentInTheMiddleOfADownloadLosesItsConnection) {
    using state_t = srv_side::layer_t::st_ready_update_in_progress_t;
    struct restore_t {
        ~restore_t() { state_t::silence_limit = boost::posix_time::minutes(5); }
    } restore;
    state_t::silence_limit = boost::posix_time::milliseconds(300);
    negotiate("2 9");
    auto download = boost::make_shared<probe_download>();
    connection->download_needed(download);
    ASSERT_TRUE(read_until(server, to_server, "ARQ_UPDATE"));
    from_server("SRS_UPDATE T4 id R0:4 S4\r\nab");  // then nothing more
    EXPECT_FALSE(read_until(server, to_server, "never sent"));  // the proxy closed the connection
    EXPECT_TRUE(io_test::wait_until([&] { return download->got() == "ab|F"; })) << download->got();
}

}  // namespace
