// The agent side of a proxy connection over a real loopback connection: the
// SRS_UPDATE reply per version and the keep-alive with its lifetime, seen from
// a plain socket playing the agent. Relaying and the compression switch are
// driven through whole pairs and the real daemon.
#include "proxy/cln_side_layer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_file_ctx.h"
#include "io/pool.h"
#include "proxy/proxy_connection.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
typedef cln_side::layer_t agent_layer_t;

/// Restores the keep-alive interval a test shortened.
struct ping_interval_guard {
    explicit ping_interval_guard(boost::posix_time::time_duration d) : saved(agent_layer_t::ping_interval) {
        agent_layer_t::ping_interval = d;
    }
    ~ping_interval_guard() { agent_layer_t::ping_interval = saved; }
    boost::posix_time::time_duration saved;
};

class ClnSide : public testing::Test {
protected:
    /// A layer over an accepted loopback connection whose other end is `agent`.
    void open(const boost::weak_ptr<proxy_connection_t>& owner = boost::weak_ptr<proxy_connection_t>()) {
        layer = agent_layer_t::create(pool.get_io_service(), owner, io::proto::text_protocol_layer_options());
        agent.connect(acceptor.local_endpoint());
        boost::shared_ptr<tcp::socket> accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
        acceptor.accept(*accepted);
        layer->lower()->attach(io::accepted_socket(accepted));
    }

    /// What the agent receives within `ms`, or until the connection ends.
    std::string read_for(int ms) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (pollfd p{agent.native_handle(), POLLIN, 0}; !closed && std::chrono::steady_clock::now() < end;) {
            char buf[4096];
            if (::poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = ::recv(agent.native_handle(), buf, sizeof buf, 0);
            closed = n <= 0;
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    /// Reads until `needle` has arrived and the data ends at a line end (at most ten seconds).
    std::string read_until(const std::string& needle) {
        std::string got;
        for (int i = 0; i < 500 && !closed; ++i) {
            got += read_for(20);
            if (got.find(needle) != std::string::npos && got.size() >= 2 && !got.compare(got.size() - 2, 2, "\r\n"))
                break;
        }
        return got;
    }

    io_test::log_capture log{LOG_LEVEL_TRACE3};  // first: outlives the pool's last lines
    io::pool pool{2, "clnt"};
    tcp::acceptor acceptor{pool.get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
    tcp::socket agent{pool.get_io_service()};
    bool closed = false;
    boost::shared_ptr<agent_layer_t> layer;
};

TEST_F(ClnSide, SrsUpdateCarriesTheWholeRangeOnlyFromVersion29) {
    io_test::temp_dir dir;
    std::string path = dir.path("file");
    std::ofstream(dir.path("~file~x")) << "abcde";
    cache::served_file_t file(cache::cache_t::file_ctx_t::create(cache::tree_t::open(dir.path("")), dir.path("~file~x")));
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

/// Whichever end goes first once keep-alives run, the other follows: a closed
/// agent is pinged no more and lets its layer go; a dropped layer closes the
/// agent though its next keep-alive is pending.
TEST_F(ClnSide, AClosedAgentFreesItsLayerAndADroppedLayerClosesTheAgent) {
    for (const bool agent_closes : {true, false}) {
        SCOPED_TRACE(agent_closes ? "agent closes" : "layer dropped");
        // A short interval lets a keep-alive go out before the agent closes.
        ping_interval_guard interval(agent_closes ? boost::posix_time::milliseconds(100) : agent_layer_t::ping_interval);
        agent = tcp::socket(pool.get_io_service());
        closed = false;
        open();
        layer->forward_enable_filters("AUTH", false, cln_side::args_range(), {});
        ASSERT_NE(read_until(agent_closes ? "PING" : "AUTH\r\n").find("0 AUTH\r\n"), std::string::npos);
        boost::weak_ptr<agent_layer_t> weak(layer);
        if (agent_closes) {
            agent.close();
            ASSERT_TRUE(io_test::wait_until([&] { return !layer->ping_pending(); }));
            layer.reset();
            EXPECT_TRUE(io_test::wait_until([&] { return weak.expired(); }));
        } else {
            ASSERT_TRUE(io_test::wait_until([&] { return layer->ping_pending(); }));
            layer.reset();
            read_for(5000);
            EXPECT_TRUE(closed);
        }
    }
}

}  // namespace
