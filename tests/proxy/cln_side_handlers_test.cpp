// The agent's commands: the update request body byte by byte, then each
// handler at work in a real relayed pair on loopback, the test playing both
// the agent and the upstream server.
#include "proxy/cln_side_cmd_handlers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "oslayer/md5.h"
#include "tests/oslayer/test_support.h"
#include "tests/proxy/pair_fixture.h"

namespace {

using boost::asio::ip::tcp;
using proxy_test::outcome;
using proxy_test::relayed_pair_t;

std::string md5_of(const std::string& bytes) {
    md5_t md5;
    md5.update(bytes.size(), bytes.data());
    md5.final();
    return md5.hex();
}

/// `name`, the body marker and `body` as one frame without its number.
std::string with_body(const std::string& name, const std::string& body) {
    return name.substr(0, name.find(' ')) + " T" + std::to_string(body.size()) + name.substr(name.find(' ')) +
           "\r\n" + body + "\r\n";
}

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

TEST_F(ClnSidePair, CommandsAreConsumedRebuiltOrRelayed) {
    negotiate("2 9");
    for (const char* c : {"PONG 1 2\r\n", "ALIVE 3 4 update\r\n", "ACK_RANGE 5 R0:5\r\n", "ANF_STATE lin%Sux  b\r\n",
                          "FOO T3 a  %Sb\r\nxyz\r\n", "GETCONFIG 7 x\r\n", "END N\r\n"})
        from_agent(c);
    ASSERT_TRUE(read_until(server, to_server, "END N\r\n"));
    EXPECT_EQ(to_server, "0 ANF_STATE lin%Sux b\r\n1 FOO T3 a  %Sb\r\nxyz\r\n2 GETCONFIG 7 x\r\n3 END N\r\n");
    EXPECT_EQ(connection->platform(), "lin ux");
    // The answer goes back under the agent's own number of its GETCONFIG.
    from_server("CONFIG 2 7 cfg\r\n");
    EXPECT_TRUE(read_until(agent, to_agent, " CONFIG 5 7 cfg\r\n")) << to_agent;
}

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

TEST_F(ClnSidePair, CommandsMissingWordsOrBodyAreRefusedAndTheAgentStays) {
    for (const char* c : {"ARQ_UPDATE upd\r\n", "ANF_STATE\r\n", "ARQ_UPDATE N upd\r\n", "ARQ_UPDATE T5\r\n1 0 1\r\n",
                          "ARQ_UPDATE T2 upd\r\n12\r\n", "GETCONFIG  \r\n", "END\r\n"})
        from_agent(c);
    ASSERT_TRUE(read_until(server, to_server, "END\r\n"));
    EXPECT_EQ(to_server, "0 END\r\n");
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
        // Anything relayed would have gone up before this answer.
        pair.from_server("PING 1\r\n");
        ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "PONG 1")) << r.command;
        EXPECT_EQ(pair.to_server.find(r.name), std::string::npos) << r.command << ": " << pair.to_server;
    }
}

/// One peer's zlib streams, kept across writes as a compressing peer keeps them.
struct zlib_peer_t {
    zlib_peer_t() {
        deflateInit(&out, Z_DEFAULT_COMPRESSION);
        inflateInit(&in);
    }
    ~zlib_peer_t() {
        deflateEnd(&out);
        inflateEnd(&in);
    }
    std::string pack(const std::string& plain) { return pump(out, plain, deflate); }
    std::string unpack(const std::string& wire) { return pump(in, wire, inflate); }

    static std::string pump(z_stream& z, const std::string& input, int (*step)(z_streamp, int)) {
        std::string output;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        z.avail_in = static_cast<uInt>(input.size());
        do {
            char buffer[4096];
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            step(&z, Z_SYNC_FLUSH);
            output.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
        return output;
    }
    z_stream out{}, in{};
};

/// Reads `s` until `text` is among the bytes seen, inflated by `z` when there is one.
bool read_unpacked(tcp::socket& s, zlib_peer_t* z, std::string& seen, const std::string& text) {
    char buffer[4096];
    while (seen.find(text) == std::string::npos) {
        ssize_t n = ::recv(s.native_handle(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        const std::string wire(buffer, static_cast<size_t>(n));
        seen += z ? z->unpack(wire) : wire;
    }
    return true;
}

TEST(ClnSideInstall, IsRelayedFramedAndEverythingAfterItRawAuthorizedOrNot) {
    struct row { const char* name; const char* before; };
    const row rows[] = {
        {"INSTALL", "negotiating"}, {"INSTALLEX", "negotiating"}, {"INSTALL", "authorized"}, {"INSTALLEX", "compressed"},
    };
    for (const row& r : rows) {
        relayed_pair_t pair;
        zlib_peer_t agent_z, server_z;
        const bool packed = std::string(r.before) == "compressed";
        if (std::string(r.before) == "authorized") pair.negotiate("2 9");
        if (packed) {
            pair.from_agent("PROTOCOL 2 9 COMP\r\n");
            ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "COMP\r\n"));
            pair.from_server("PROTOCOL 2 9 COMP\r\n");
            pair.from_server("AUTHORIZE OK\r\n");
            ASSERT_TRUE(pair.read_until(pair.agent, pair.to_agent, "AUTHORIZE OK\r\n"));
            // Compressed from here on; the GOTIT leaves the first ready state.
            boost::asio::write(pair.server, boost::asio::buffer(server_z.pack("2 GOTIT g\r\n")));
            std::string got;
            ASSERT_TRUE(read_unpacked(pair.agent, &agent_z, got, "2 GOTIT g\r\n")) << got;
        }
        auto write = [packed](tcp::socket& s, zlib_peer_t& z, const std::string& bytes) {
            boost::asio::write(s, boost::asio::buffer(packed ? z.pack(bytes) : bytes));
        };
        // In the same write as the command: the bytes behind it must not be framed upstream.
        const std::string raw("\x01 7 FOO\r\n\0bytes", 15), number = std::to_string(pair.agent_number);
        write(pair.agent, agent_z, number + " " + r.name + " a\r\n" + raw);
        write(pair.agent, agent_z, "tail");
        std::string up, down;
        ASSERT_TRUE(read_unpacked(pair.server, packed ? &server_z : nullptr, up, "tail")) << r.name << r.before;
        EXPECT_EQ(up, number + " " + r.name + " a\r\n" + raw + "tail") << r.before;
        // The server side went raw as well: its bytes reach the agent unframed.
        write(pair.server, server_z, "srv\x02raw\r\n");
        ASSERT_TRUE(read_unpacked(pair.agent, packed ? &agent_z : nullptr, down, "raw\r\n")) << r.before;
        EXPECT_EQ(down, "srv\x02raw\r\n") << r.before;
    }
}

/// Files missing from the cache are downloaded once and then served from it.
TEST(ClnSideUpdates, RequestsAreAnsweredFromTheCache) {
    oslayer_test::scratch_t root;
    relayed_pair_t pair(root.path);
    pair.negotiate("2 9");
    const std::string a = "alpha bytes", b = "the second file";
    const std::string announcement = "7\n3\n" + std::to_string(a.size()) + " " + md5_of(a) + " a\n" +
                                     std::to_string(b.size()) + " " + md5_of(b) + " b\n";
    pair.from_server(with_body("SNF_UPDATE upd", announcement));
    pair.from_server("GOTIT merged\r\n");  // handled after the announcement is merged
    ASSERT_TRUE(pair.read_until(pair.agent, pair.to_agent, "GOTIT merged\r\n"));

    pair.from_agent(with_body("ARQ_UPDATE upd", "7 0 11"));
    ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "0 ARQ_UPDATE T6 upd\r\n7 3 11\r\n")) << pair.to_server;
    const std::string both = a + b, size = std::to_string(both.size());
    pair.from_server(with_body("SRS_UPDATE 0 R0:" + size + " S" + size, both));
    ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "1 ACK_RANGE 5 R0:" + size + "\r\n"));
    const std::string reply = " SRS_UPDATE T" + size + " 0 R0:" + size + " S" + size + "\r\n" + both + "\r\n";
    EXPECT_TRUE(pair.read_until(pair.agent, pair.to_agent, reply)) << pair.to_agent;

    pair.from_agent(with_body("ARQ_UPDATE upd", "7 0 01"));
    const std::string second = " SRS_UPDATE T15 1 R0:15 S15\r\n" + b + "\r\n";
    EXPECT_TRUE(pair.read_until(pair.agent, pair.to_agent, second)) << pair.to_agent;
    pair.from_server("PING 9\r\n");
    ASSERT_TRUE(pair.read_until(pair.server, pair.to_server, "PONG 9"));
    EXPECT_EQ(pair.to_server.find("ARQ_UPDATE", pair.to_server.find("ACK_RANGE")), std::string::npos)
        << pair.to_server;
}

}  // namespace
