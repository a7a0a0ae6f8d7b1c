// Explorations on loopback and local datagram sockets against real discovery servers.
#include "io/discovery/explorer.h"


#include <boost/system/system_error.hpp>

#include "io/discovery/local_address.h"
#include "io/discovery/server.h"
#include "io/pool.h"
#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using local_dgram = asio::local::datagram_protocol;

/// Collects what one exploration reports and checks the order of reports.
struct exploration : io_test::waitable {
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
    void explore_udp(const io::discovery::explorer::settings& s, const udp::endpoint& target, exploration& out) {
        auto socket = boost::make_shared<udp::socket>(pool.get_io_service(), udp::v4());
        io::discovery::explore(pool.get_io_service(), s, socket, target, out.on_record(), out.on_finish());
    }
    /// Starts a discovery server on loopback that records every request and
    /// answers each with `reply`; returns where it listens.
    udp::endpoint answering(const std::string& reply) {
        const udp::endpoint any_port(asio::ip::address_v4::loopback(), 0);
        answerer = io::discovery::server::create(
            pool.get_io_service(), io::discovery_descriptor<udp::endpoint>(any_port),
            [this, reply](const boost::iterator_range<const char*>& request, std::vector<char>& answer) {
                requests.note([&] { requests.texts.emplace_back(request.begin(), request.end()); });
                answer.assign(reply.begin(), reply.end());
                return true;
            });
        const std::string port = log.last_match(R"(^\[Discovery/Server\] udp/127\.0\.0\.1:(\d+): Starts listen$)");
        EXPECT_FALSE(port.empty()) << "the answerer did not start";
        return udp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::atoi(port.c_str())));
    }
    std::vector<std::string> requests_seen() {
        std::lock_guard<std::mutex> g(requests.mutex);
        return requests.texts;
    }
    io_test::log_capture log;
    struct : io_test::waitable {
        std::vector<std::string> texts;
    } requests;  // outlives the pool threads that fill it
    io::pool pool{2, "expl"};
    boost::shared_ptr<io::discovery::server> answerer;
};

// Stopping at the first answer, and ending a silent exploration after its
// last attempt, are driven through the discovery layer's tests.
TEST_F(Explorer, WithoutStopFlagEveryAnswerBecomesATcpTwinRecordAndLongAnswersAreCut) {
    std::string long_answer;
    for (int i = 0; i < 300; ++i) long_answer += static_cast<char>('a' + i % 26);
    const udp::endpoint peer = answering(long_answer);
    exploration out;
    explore_udp(settings(250, 2, false, "Hub"), peer, out);
    ASSERT_TRUE(out.wait_finished());
    EXPECT_FALSE(out.result);
    EXPECT_EQ(std::vector<std::string>(2, "Hub"), requests_seen());
    ASSERT_EQ(2u, out.records.size());
    for (const auto& r : out.records) {
        EXPECT_EQ(long_answer.substr(0, 256), r.answer);
        ASSERT_EQ(0, r.endpoint.which());
        EXPECT_EQ(asio::ip::tcp::endpoint(peer.address(), peer.port()),
                  boost::get<asio::ip::tcp::endpoint>(r.endpoint));
        EXPECT_FALSE(r.elapsed.is_negative());
    }
}

TEST_F(Explorer, EndWaitsForSlowRecordCallbackAfterStopAndAfterExpiry) {
    const udp::endpoint peer = answering("S");
    // Stop flag: the cancelled timer completes while the record is delivered.
    exploration stopped;
    stopped.record_delay_ms = 200;
    explore_udp(settings(1000, 3, true, ""), peer, stopped);
    ASSERT_TRUE(stopped.wait_finished());
    EXPECT_FALSE(stopped.finish_overtook_record);
    EXPECT_EQ(1u, stopped.records.size());
    // No stop flag, one short attempt: the timer expires during the delivery.
    exploration expired;
    expired.record_delay_ms = 200;
    explore_udp(settings(20, 1, false, ""), peer, expired);
    ASSERT_TRUE(expired.wait_finished());
    EXPECT_FALSE(expired.finish_overtook_record);
    EXPECT_EQ(1u, expired.records.size());
}

TEST_F(Explorer, FirstRequestThatCannotBeSentIsThrownAndNothingRuns) {
    exploration out;
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

TEST_F(Explorer, LocalTargetIsAskedAtItsDiscoveryAddressFromAnUnpredictableNameThatTakesNoFile) {
    io_test::temp_dir dir;
    const std::string path = dir.path("hub");
    auto server = io::discovery::server::create(pool.get_io_service(), io::discovery::local_discovery_address(path),
                                                "Hub");
    std::vector<std::string> own;
    for (int i = 0; i < 2; ++i) {
        exploration out;
        auto socket = boost::make_shared<local_dgram::socket>(pool.get_io_service(), local_dgram());
        io::discovery::explore(pool.get_io_service(), settings(200, 2, true, ""), socket, local_dgram::endpoint(path),
                               out.on_record(), out.on_finish());
        ASSERT_TRUE(out.wait_finished());
        ASSERT_EQ(1u, out.records.size());
        EXPECT_EQ("Hub", out.records[0].answer);
        ASSERT_EQ(2, out.records[0].endpoint.which());
        EXPECT_EQ(path, boost::get<asio::local::stream_protocol::endpoint>(out.records[0].endpoint).path());
        own.push_back(log.last_match(R"(^\[Discovery/Server\] udx/.*: Request from udx/(.+), answering it$)"));
    }
    for (const std::string& name : own) EXPECT_EQ(0u, name.find("\\x00velmod-explorer:")) << name;
    EXPECT_NE(own[0], own[1]);
    EXPECT_FALSE(io_test::path_exists(path));
}

}  // namespace
