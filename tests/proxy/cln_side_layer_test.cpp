// The agent side of a proxy connection over a real loopback connection:
// relayed frames, the SRS_UPDATE reply, the compression switch and the
// keep-alive with its lifetime, seen from a plain socket playing the agent.
#include "proxy/cln_side_layer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

#include "io/pool.h"
#include "proxy/proxy_connection.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
typedef cln_side::layer_t layer_t;

/// An argument range over a string that outlives the call.
cln_side::args_range range_of(std::string& text) { return cln_side::args_range(&text[0], &text[0] + text.size()); }

/// Restores the keep-alive interval a test shortened.
struct ping_interval_guard {
    explicit ping_interval_guard(boost::posix_time::time_duration d) : saved(layer_t::ping_interval) {
        layer_t::ping_interval = d;
    }
    ~ping_interval_guard() { layer_t::ping_interval = saved; }
    boost::posix_time::time_duration saved;
};

class ClnSide : public testing::Test {
protected:
    /// A layer over an accepted loopback connection whose other end is `agent`.
    void open(const boost::weak_ptr<proxy_connection_t>& owner = boost::weak_ptr<proxy_connection_t>()) {
        layer = layer_t::create(pool.get_io_service(), owner, io::proto::text_protocol_layer_options());
        layer->to_server_signal.connect([this](io::request_queue& q) {
            std::lock_guard<std::mutex> g(mutex);
            to_server.push_back(io_test::bytes_of(q));
        });
        agent.connect(acceptor.local_endpoint());
        boost::shared_ptr<tcp::socket> accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
        acceptor.accept(*accepted);
        layer->lower()->attach(io::accepted_socket(accepted));
    }

    /// What the agent receives within `ms`, or until the connection ends.
    std::string read_for(int ms) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            pollfd p{agent.native_handle(), POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0) return got;
            char buf[4096];
            ssize_t n = ::recv(agent.native_handle(), buf, sizeof buf, 0);
            if (n <= 0) {
                closed = true;
                return got;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    }

    /// Reads until `needle` has arrived and the data ends at a line end (at most ten seconds).
    std::string read_until(const std::string& needle) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.find(needle) == std::string::npos || got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n")) {
            if (std::chrono::steady_clock::now() > deadline || closed) break;
            got += read_for(20);
        }
        return got;
    }

    std::vector<std::string> server_bound() {
        std::lock_guard<std::mutex> g(mutex);
        return to_server;
    }

    io_test::log_capture log{LOG_LEVEL_TRACE3};
    std::mutex mutex;
    std::vector<std::string> to_server;
    io::pool pool{2, "clnt"};
    tcp::acceptor acceptor{pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
    tcp::socket agent{pool.get_io_service()};
    bool closed = false;
    boost::shared_ptr<layer_t> layer;
};

TEST(ClnSideFormat, RelayedCommandsKeepNameMarkerArgumentsAndBody) {
    struct row {
        const char* name;
        bool binary;
        std::string args, body, expected;
    } rows[] = {
        {"A", false, "", "", "A\r\n"},
        {"A", true, "", "", "A N\r\n"},
        {"A", false, "x", "dropped", "A x\r\n"},
        {"SNF", true, "a%Sb  c", "x\r\nz", "SNF T4 a%Sb  c\r\nx\r\nz\r\n"},
    };
    for (row& r : rows) {
        std::vector<char> body(r.body.begin(), r.body.end());
        io::request_queue q = cln_side::format_cmd(r.name, r.binary, range_of(r.args), body, {});
        EXPECT_EQ(io_test::bytes_of(q), r.expected) << r.name << " " << r.args;
    }
}

TEST_F(ClnSide, AgentCommandsAreRebuiltForTheServer) {
    open();
    boost::asio::write(agent, boost::asio::buffer(std::string("0 FOO T3 a  %Sb\r\nxyz\r\n1 BAR\r\n2 EMPTY N\r\n")));
    ASSERT_TRUE(io_test::wait_until([&] { return server_bound().size() == 3; }));
    EXPECT_EQ(server_bound(), (std::vector<std::string>{"FOO T3 a  %Sb\r\nxyz\r\n", "BAR\r\n", "EMPTY N\r\n"}));
    for (const std::string& m : log.messages()) EXPECT_EQ(m.find("Violation"), std::string::npos) << m;
}

TEST_F(ClnSide, SrsUpdateCarriesTheWholeRangeOnlyFromVersion29) {
    io_test::temp_dir dir;
    std::string path = dir.path("file");
    std::ofstream(path) << "abcde";
    cache::mapping_ptr file = boost::make_shared<const cache::mapped_file_t>(path);
    auto owner = boost::make_shared<proxy_connection_t>(pool.get_io_service(), boost::weak_ptr<listener_t>(),
                                                        boost::shared_ptr<cache::cache_t>());
    open(owner);
    layer->send_srs_update(7, {file});
    layer->send_srs_update(8, {});
    owner->lower_version(2);
    owner->lower_minor_version(8);
    layer->send_srs_update(9, {file, file});
    owner.reset();
    layer->send_srs_update(10, {file});  // the owner is gone: nothing
    layer->forward("END", false, cln_side::args_range(), {});
    EXPECT_EQ(read_until("END\r\n"),
              "0 SRS_UPDATE T5 7 R0:5 S5\r\nabcde\r\n"
              "1 SRS_UPDATE N 8 R0:0 S0\r\n"
              "2 SRS_UPDATE T10 9\r\nabcdeabcde\r\n"
              "3 END\r\n");
}

/// The command completing the negotiation leaves plain; after it both
/// directions are compressed exactly when both sides offered compression.
TEST_F(ClnSide, CompressionStartsBehindTheAuthorizationWhenBothOfferedIt) {
    for (bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "offered" : "not offered");
        auto owner = boost::make_shared<proxy_connection_t>(pool.get_io_service(), boost::weak_ptr<listener_t>(),
                                                            boost::shared_ptr<cache::cache_t>());
        owner->restrict_offers(offered, false);
        agent = tcp::socket(pool.get_io_service());
        closed = false;
        {
            std::lock_guard<std::mutex> g(mutex);
            to_server.clear();
        }
        open(owner);
        std::string ok = "OK";
        layer->forward_enable_filters("AUTHORIZE", false, range_of(ok), {});
        EXPECT_EQ(read_until("AUTHORIZE OK\r\n"), "0 AUTHORIZE OK\r\n");
        layer->forward("NEXT", false, cln_side::args_range(), {});
        std::string next = read_for(300);
        EXPECT_EQ(offered ? io_test::zlib_inflater().feed(next) : next, "1 NEXT\r\n");
        std::string up = "0 UP\r\n";
        boost::asio::write(agent, boost::asio::buffer(offered ? io_test::zlib_deflate({up}) : up));
        ASSERT_TRUE(io_test::wait_until([&] { return server_bound().size() == 1; }));
        EXPECT_EQ(server_bound()[0], "UP\r\n");
    }
}

TEST_F(ClnSide, PingOnlyAfterTheNegotiationAndNeverOnceRaw) {
    ping_interval_guard short_interval(boost::posix_time::milliseconds(100));
    open();
    layer->forward("A", false, cln_side::args_range(), {});
    EXPECT_EQ(read_for(400), "0 A\r\n");  // no keep-alive before the negotiation completed
    layer->forward_enable_filters("AUTH", false, cln_side::args_range(), {});
    std::string got = read_until("PING");
    EXPECT_TRUE(std::regex_match(got, std::regex("1 AUTH\r\n2 PING [0-9]+\r\n"))) << got;
    layer->forward_disable_parser("RAW", false, cln_side::args_range(), {});
    EXPECT_TRUE(std::regex_search(read_until("RAW\r\n"), std::regex("[0-9]+ RAW\r\n$")));
    EXPECT_EQ(read_for(400), "");
    EXPECT_FALSE(layer->ping_pending());
}

TEST_F(ClnSide, AClosedAgentNeitherKeepsItsLayerNorGetsPinged) {
    ping_interval_guard short_interval(boost::posix_time::milliseconds(100));
    open();
    layer->forward_enable_filters("AUTH", false, cln_side::args_range(), {});
    ASSERT_NE(read_until("PING").find("PING"), std::string::npos);
    agent.close();
    ASSERT_TRUE(io_test::wait_until([&] { return !layer->ping_pending(); }));
    boost::weak_ptr<layer_t> weak(layer);
    layer.reset();
    EXPECT_TRUE(io_test::wait_until([&] { return weak.expired(); }));
}

TEST_F(ClnSide, ADroppedLayerClosesTheAgentConnectionThoughAPingIsPending) {
    open();
    layer->forward_enable_filters("AUTH", false, cln_side::args_range(), {});
    ASSERT_EQ(read_until("AUTH\r\n"), "0 AUTH\r\n");
    ASSERT_TRUE(io_test::wait_until([&] { return layer->ping_pending(); }));
    layer.reset();
    read_for(5000);
    EXPECT_TRUE(closed);
}

}  // namespace
