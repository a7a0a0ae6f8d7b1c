// Explorations on real loopback and local datagram sockets run by a real I/O
// pool: what a request carries, how answers become records, attempts and the
// end of an exploration, and that the end is never reported before an answer.
#include "io/discovery/explorer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "io/discovery/server.h"
#include "io/pool.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using local_dgram = asio::local::datagram_protocol;
using clock_type = std::chrono::steady_clock;

/// A UDP peer on its own thread that records every request and answers
/// each with `reply` (nothing when the reply is unset).
class responder {
public:
    explicit responder(const char* reply = nullptr) : socket_(service_, udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        if (reply) reply_ = reply, answering_ = true;
        socket_.non_blocking(true);
        thread_ = std::thread([this] { run(); });
    }
    ~responder() {
        stop_ = true;
        thread_.join();
    }
    udp::endpoint at() const { return socket_.local_endpoint(); }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(mutex_);
        return requests_;
    }
    std::string reply_;
    bool answering_ = false;

private:
    void run() {
        char buf[1024];
        while (!stop_) {
            udp::endpoint from;
            boost::system::error_code ec;
            std::size_t n = socket_.receive_from(asio::buffer(buf), from, 0, ec);
            if (ec) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            {
                std::lock_guard<std::mutex> g(mutex_);
                requests_.emplace_back(buf, n);
            }
            if (answering_) socket_.send_to(asio::buffer(reply_), from, 0, ec);
        }
    }
    asio::io_service service_;
    udp::socket socket_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

/// Collects what one exploration reports and checks the order of reports.
struct outcome : io_test::waitable {
    std::vector<io::discovery::explorer::record> records;
    int finishes = 0;
    boost::system::error_code result;
    bool finish_overtook_record = false;
    std::atomic<int> records_in_flight{0};
    int record_delay_ms = 0;

    io::discovery::explorer::record_callback on_record() {
        return [this](const io::discovery::explorer::record& r) {
            ++records_in_flight;
            std::this_thread::sleep_for(std::chrono::milliseconds(record_delay_ms));
            note([&] { records.push_back(r); });
            --records_in_flight;
        };
    }
    io::discovery::explorer::finish_callback on_finish() {
        return [this](const boost::system::error_code& ec) {
            note([&] {
                finish_overtook_record = finish_overtook_record || records_in_flight != 0;
                ++finishes;
                result = ec;
            });
        };
    }
    bool wait_finished() { return wait([this] { return finishes > 0; }, 10); }
};

class Explorer : public ::testing::Test {
protected:
    io::discovery::explorer::settings settings(int wait_ms, uint32_t attempts, bool stop, const std::string& text) {
        io::discovery::explorer::settings s;
        s.wait_us = wait_ms * 1000;
        s.attempts = attempts;
        s.stop_on_first = stop;
        s.request = text;
        return s;
    }
    void explore_udp(const io::discovery::explorer::settings& s, const udp::endpoint& target, outcome& out) {
        auto socket = boost::make_shared<udp::socket>(pool.get_io_service(), udp::v4());
        io::discovery::explore(pool.get_io_service(), s, socket, target, out.on_record(), out.on_finish());
    }
    static std::string udp_text(const udp::endpoint& at) { return "udp/127.0.0.1:" + std::to_string(at.port()); }

    io_test::log_capture log;
    io::pool pool{2, "expl"};
};

TEST_F(Explorer, UdpAnswerBecomesTcpTwinAndFirstAnswerStops) {
    responder peer("Velmo");
    outcome out;
    explore_udp(settings(300, 3, true, "Hub"), peer.at(), out);
    ASSERT_TRUE(out.wait_finished());
    EXPECT_FALSE(out.result);
    ASSERT_EQ(1u, out.records.size());
    const io::discovery::explorer::record& r = out.records[0];
    ASSERT_EQ(0, r.endpoint.which());
    EXPECT_EQ(asio::ip::tcp::endpoint(peer.at().address(), peer.at().port()), boost::get<asio::ip::tcp::endpoint>(r.endpoint));
    EXPECT_EQ("Velmo", r.answer);
    EXPECT_FALSE(r.elapsed.is_negative());
    EXPECT_EQ("Hub", peer.requests().at(0));
    EXPECT_EQ(1u, log.count("[Discovery/Explorer] Send request to " + udp_text(peer.at()) + ", 2 attemps left"));
    EXPECT_EQ(1u, log.count("[Discovery/Explorer] Recieved answer from " + udp_text(peer.at())));
    EXPECT_EQ(1u, log.count("[Discovery/Explorer] Stopped listening because server has found"));
}

TEST_F(Explorer, SilentTargetGetsEveryAttemptAsEmptyDatagramThenEnds) {
    responder peer;
    outcome out;
    auto started = clock_type::now();
    explore_udp(settings(100, 3, true, ""), peer.at(), out);
    ASSERT_TRUE(out.wait_finished());
    EXPECT_GE(clock_type::now() - started, std::chrono::milliseconds(300));
    EXPECT_FALSE(out.result);
    EXPECT_TRUE(out.records.empty());
    EXPECT_EQ(std::vector<std::string>(3, ""), peer.requests());
    for (const char* left : {"2", "1", "0"})
        EXPECT_EQ(1u, log.count("[Discovery/Explorer] Send request to " + udp_text(peer.at()) + ", " + left +
                                " attemps left"));
}

TEST_F(Explorer, WithoutStopFlagEveryAnswerCountsAndLongAnswersAreCut) {
    std::string long_answer;
    for (int i = 0; i < 300; ++i) long_answer += static_cast<char>('a' + i % 26);
    responder peer(long_answer.c_str());
    outcome out;
    explore_udp(settings(250, 2, false, "x"), peer.at(), out);
    ASSERT_TRUE(out.wait_finished());
    ASSERT_EQ(2u, out.records.size());
    for (const auto& r : out.records) EXPECT_EQ(long_answer.substr(0, 256), r.answer);
    EXPECT_EQ(0u, log.count("[Discovery/Explorer] Stopped listening because server has found"));
}

TEST_F(Explorer, EndWaitsForSlowRecordCallbackAfterStopAndAfterExpiry) {
    responder peer("S");
    // Stop flag: the cancelled timer completes while the record is delivered.
    outcome stopped;
    stopped.record_delay_ms = 200;
    explore_udp(settings(1000, 3, true, ""), peer.at(), stopped);
    ASSERT_TRUE(stopped.wait_finished());
    EXPECT_FALSE(stopped.finish_overtook_record);
    EXPECT_EQ(1u, stopped.records.size());
    // No stop flag, one short attempt: the timer expires during the delivery.
    outcome expired;
    expired.record_delay_ms = 200;
    explore_udp(settings(20, 1, false, ""), peer.at(), expired);
    ASSERT_TRUE(expired.wait_finished());
    EXPECT_FALSE(expired.finish_overtook_record);
    EXPECT_EQ(1u, expired.records.size());
}

TEST_F(Explorer, ZeroAttemptsIsABrokenContractAndSendsNothing) {
    responder peer("x");
    outcome out;
    try {
        explore_udp(settings(100, 0, true, "q"), peer.at(), out);
        FAIL() << "no error";
    } catch (const BUG_exception_shell_t& e) {
        EXPECT_STREQ("retries count in settings cannot be zero", e.what());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_EQ(0, out.finishes);
}

TEST_F(Explorer, FirstRequestThatCannotBeSentIsThrownAndNothingRuns) {
    outcome out;
    EXPECT_THROW(explore_udp(settings(100, 3, true, ""), udp::endpoint(asio::ip::address_v4::loopback(), 0), out),
                 boost::system::system_error);
    io_test::temp_dir dir;
    auto socket = boost::make_shared<local_dgram::socket>(pool.get_io_service(), local_dgram());
    EXPECT_THROW(io::discovery::explore(pool.get_io_service(), settings(100, 3, true, ""), socket,
                                        local_dgram::endpoint(dir.path("nobody")), out.on_record(), out.on_finish()),
                 boost::system::system_error);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, out.finishes);
}

TEST_F(Explorer, LocalDatagramExplorerIsAnsweredAndRemovesItsOwnSocketFile) {
    io_test::temp_dir dir;
    std::string path = dir.path("hub");
    auto server = io::discovery::server::create(pool.get_io_service(), local_dgram::endpoint(path), "Hub");
    outcome out;
    auto socket = boost::make_shared<local_dgram::socket>(pool.get_io_service(), local_dgram());
    io::discovery::explore(pool.get_io_service(), settings(200, 2, true, ""), socket, local_dgram::endpoint(path),
                           out.on_record(), out.on_finish());
    ASSERT_TRUE(out.wait_finished());
    ASSERT_EQ(1u, out.records.size());
    EXPECT_EQ("Hub", out.records[0].answer);
    ASSERT_EQ(2, out.records[0].endpoint.which());
    EXPECT_EQ(path, boost::get<asio::local::stream_protocol::endpoint>(out.records[0].endpoint).path());
    EXPECT_EQ(1u, log.count("[Discovery/Explorer] Recieved answer from udx/" + path));
    // The server names the explorer's own address in its log line.
    std::regex re("^\\[Discovery/Server\\] udx/.*: Request from udx/(.+), answering it$");
    std::string own;
    std::smatch m;
    for (const std::string& line : log.messages())
        if (std::regex_match(line, m, re)) own = m[1];
    ASSERT_FALSE(own.empty());
    EXPECT_TRUE(io_test::wait_until([&] { return !io_test::path_exists(own); }));
}

}  // namespace
