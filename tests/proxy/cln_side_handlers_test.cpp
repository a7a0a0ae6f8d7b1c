// The agent's commands: the update request body byte by byte, then each
// handler at work in a real relayed pair on loopback, the test playing both
// the agent and the upstream server.
#include "proxy/cln_side_cmd_handlers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/proxy/pair_fixture.h"

namespace {

using boost::asio::ip::tcp;
using proxy_test::outcome;
using proxy_test::relayed_pair_t;

TEST(ClnSideHandlers, UpdateRequestBodies) {
    struct row { std::string body, expected; };
    const row rows[] = {
        {"12 0 1101", "12|0|1101"},
        {"12 -5 1101 more", "12|-5|1101"},  // the mask ends at the next blank
        {"12 0", "12|0|"},
        {"12 0 ", "12|0|"},
        {"18446744073709551615 2147483647 1", "18446744073709551615|2147483647|1"},
        {"12  0 1", "fatal"},  // two blanks: an empty integer
        {"12 ", "fatal"},
        {" 12 0", "fatal"},
        {"12 0x 1", "fatal"},
        {"18446744073709551616 0 1", "fatal"},
        {"12", "protocol"},
        {"", "protocol"},
    };
    for (const row& r : rows) {
        std::string got;
        const std::string result = outcome([&] {
            cln_side::update_request_body_t parsed =
                cln_side::parse_update_request_body(std::vector<char>(r.body.begin(), r.body.end()));
            got = std::to_string(parsed.revision) + "|" + std::to_string(parsed.integer) + "|" +
                  std::string(parsed.mask.begin(), parsed.mask.end());
        });
        EXPECT_EQ(r.expected, result == "ok" ? got : result) << r.body;
    }
}

class ClnSidePair : public ::testing::Test, protected relayed_pair_t {};

TEST(ClnSideProtocol, NarrowsTheNegotiationThenIsRelayed) {
    struct row { const char* args; bool at_2_9, compression, crypt; };
    const row rows[] = {
        {"2 9 comp,crypt", true, true, true},
        {"2 8 COMP", false, true, false},
        {"3 0 ,CRYPT", true, false, true},
        {"2 9", true, true, true},  // two words: looked at no further
        {"1", true, true, true},
    };
    for (const row& r : rows) {
        relayed_pair_t pair;
        const std::string frame = std::string("PROTOCOL ") + r.args + "\r\n";
        pair.from_agent(frame);
        ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, frame)) << r.args;
        EXPECT_EQ(pair.to_server, "0 " + frame);
        EXPECT_EQ(pair.connection->version_at_least(2, 9), r.at_2_9) << r.args;
        EXPECT_EQ(pair.connection->compression_allowed(), r.compression) << r.args;
        EXPECT_EQ(pair.connection->crypt_allowed(), r.crypt) << r.args;
    }
}

TEST_F(ClnSidePair, CommandsAreConsumedRebuiltRelayedOrRefusedAndTheAgentStays) {
    negotiate("2 9");
    // Missing words or body: refused, never relayed.
    from_agent({"ARQ_UPDATE upd\r\n", "ANF_STATE\r\n", "ARQ_UPDATE N upd\r\n", "ARQ_UPDATE T5\r\n1 0 1\r\n",
                "ARQ_UPDATE T2 upd\r\n12\r\n", "GETCONFIG  \r\n"});
    from_agent({"PONG 1 2\r\n", "ALIVE 3 4 update\r\n", "ACK_RANGE 5 R0:5\r\n", "ANF_STATE lin%Sux  b\r\n",
                "FOO T3 a  %Sb\r\nxyz\r\n", "GETCONFIG 7 x\r\n", "END N\r\n"});
    ASSERT_TRUE(read_until(server, to_server, "END N\r\n"));
    EXPECT_EQ(to_server, "0 ANF_STATE lin%Sux b\r\n1 FOO T3 a  %Sb\r\nxyz\r\n2 GETCONFIG 7 x\r\n3 END N\r\n");
    EXPECT_EQ(connection->platform(), "lin ux");
    // The answer goes back under the agent's own number of its GETCONFIG.
    from_server("CONFIG 2 7 cfg\r\n");
    EXPECT_TRUE(read_until(agent, to_agent, " CONFIG 11 7 cfg\r\n")) << to_agent;
    const std::pair<const char*, size_t> refusals[] = {
        {": Violation: ANF_STATE with 0 argument(s) refused: it needs at least 1", 1},
        {": Violation: ARQ_UPDATE with 0 argument(s) refused: it needs at least 1", 1},
        {": Violation: ARQ_UPDATE refused: it has no body", 2},
        {": Violation: ARQ_UPDATE refused: body \"12\" has no integer after the revision", 1},
        {": Violation: GETCONFIG with 0 argument(s) refused: it needs at least 1", 1},
        {"ends the connection", 0},
    };
    for (const auto& r : refusals) EXPECT_EQ(logged(r.first), r.second) << r.first;
}

TEST(ClnSideFailures, BadNumbersOrEscapesEndTheAgentsConnection) {
    struct row { const char* command; const char* name; };
    const row rows[] = {
        {"PROTOCOL x 9 NONE\r\n", "PROTOCOL"},     {"PROTOCOL 2 9x NONE\r\n", "PROTOCOL"},
        {"GETCONFIG seven\r\n", "GETCONFIG"},      {"GETCONFIG -1\r\n", "GETCONFIG"},
        {"ARQ_UPDATE T7 upd\r\n12  0 1\r\n", "ARQ_UPDATE"},
        {"ARQ_UPDATE T5 upd\r\n1 x 1\r\n", "ARQ_UPDATE"},
        {"ANF_STATE a%\r\n", "ANF_STATE"},
    };
    for (const row& r : rows) {
        relayed_pair_t pair;
        pair.from_agent(r.command);
        std::string seen;
        EXPECT_FALSE(pair.read_until(pair.agent, seen, "never")) << r.command;
        EXPECT_TRUE(io_test::wait_until([&] {
            return pair.logged(std::string(r.name) + " from the agent ends the connection") == 1;
        })) << r.command;
        // The server then reads its end of stream, behind anything relayed.
        EXPECT_FALSE(pair.read_until(pair.server, pair.to_server, "never")) << r.command;
        EXPECT_EQ(pair.to_server.find(r.name), std::string::npos) << r.command << ": " << pair.to_server;
    }
}

TEST(ClnSideInstall, IsRelayedFramedAndEverythingAfterItRawAuthorizedOrNot) {
    struct row { const char* name; const char* before; };
    const row rows[] = {
        {"INSTALL", "negotiating"}, {"INSTALLEX", "negotiating"}, {"INSTALL", "authorized"}, {"INSTALLEX", "compressed"},
    };
    for (const row& r : rows) {
        relayed_pair_t pair;
        // Each peer's own zlib streams, kept across writes once compressed.
        io_test::zlib_deflater agent_out, server_out;
        io_test::zlib_inflater agent_in, server_in;
        const bool packed = std::string(r.before) == "compressed";
        if (std::string(r.before) == "authorized") pair.negotiate("2 9");
        if (packed) {
            pair.from_agent("PROTOCOL 2 9 COMP\r\n");
            ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "COMP\r\n"));
            pair.from_server("PROTOCOL 2 9 COMP\r\n");
            pair.from_server("AUTHORIZE OK\r\n");
            ASSERT_TRUE(pair.read_until(pair.agent, pair.to_agent, "AUTHORIZE OK\r\n"));
            // Compressed from here on; the GOTIT leaves the first ready state.
            boost::asio::write(pair.server, boost::asio::buffer(server_out.feed("2 GOTIT g\r\n")));
            std::string got;
            ASSERT_TRUE(pair.read_until(pair.agent, got, "2 GOTIT g\r\n", &agent_in)) << got;
        }
        auto write = [packed](tcp::socket& s, io_test::zlib_deflater& z, const std::string& bytes) {
            boost::asio::write(s, boost::asio::buffer(packed ? z.feed(bytes) : bytes));
        };
        // In the same write as the command: the bytes behind it must not be framed upstream.
        const std::string raw("\x01 7 FOO\r\n\0bytes", 15), number = std::to_string(pair.agent_number);
        write(pair.agent, agent_out, number + " " + r.name + " a\r\n" + raw);
        write(pair.agent, agent_out, "tail");
        std::string up, down;
        ASSERT_TRUE(pair.read_until(pair.server, up, "tail", packed ? &server_in : nullptr)) << r.name << r.before;
        EXPECT_EQ(up, number + " " + r.name + " a\r\n" + raw + "tail") << r.before;
        // The server side went raw as well: its bytes reach the agent unframed.
        write(pair.server, server_out, "srv\x02raw\r\n");
        ASSERT_TRUE(pair.read_until(pair.agent, down, "raw\r\n", packed ? &agent_in : nullptr)) << r.before;
        EXPECT_EQ(down, "srv\x02raw\r\n") << r.before;
    }
}

}  // namespace
