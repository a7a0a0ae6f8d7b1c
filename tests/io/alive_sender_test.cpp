// The keep-alive sender on a real I/O pool with a short period: line format
// and escaping, counters, a send that fails, and silence once released.
#include "io/alive_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/weak_ptr.hpp>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

using boost::posix_time::milliseconds;

/// The connection side: collects every line handed to the send function.
class line_sink {
public:
    io::proto::alive_sender::send_t sender() {
        return [this](io::request_queue& q) {
            std::string line;
            for (const io::request_queue::request* r = q.front(); r; r = r->next()) {
                boost::asio::const_buffer b = r->const_buffer();
                line.append(static_cast<const char*>(b.data()), b.size());
            }
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(line);
            cv_.notify_all();
        };
    }
    /// Waits (at most 10 s) for a line that starts with `prefix`; returns it or "".
    std::string wait_for(const std::string& prefix) {
        std::unique_lock<std::mutex> g(m_);
        std::string found;
        cv_.wait_for(g, std::chrono::seconds(10), [&] {
            for (const std::string& l : lines_)
                if (l.compare(0, prefix.size(), prefix) == 0) return !(found = l).empty();
            return false;
        });
        return found;
    }
    /// Waits (at most 10 s) until `n` lines have arrived.
    bool wait_count(std::size_t n) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::seconds(10), [&] { return lines_.size() >= n; });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

/// Waits (at most 10 s) until the sender is destroyed.
bool wait_gone(const boost::weak_ptr<io::proto::alive_sender>& w) {
    for (int i = 0; i < 1000 && !w.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return w.expired();
}

TEST(AliveSenderTest, LinesCarryLatestCountersAndEscapedText) {
    // Sinks outlive the pool, so a line still in flight never finds them gone.
    line_sink sink, empty_text;
    io::pool pool(2, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "big file\t#1", sink.sender(), milliseconds(10));
    EXPECT_EQ("ALIVE 0 0 big%Sfile%T#1\r\n", sink.wait_for("ALIVE"));

    io::proto::progress_watcher_iface& watcher = *sender;
    watcher.set_first_counter(4294967295u);
    watcher.set_second_counter(45);
    EXPECT_EQ("ALIVE 4294967295 45 big%Sfile%T#1\r\n", sink.wait_for("ALIVE 4294967295 45 "));
    sender.reset();

    auto plain = io::proto::alive_sender::create(pool.get_io_service(), "", empty_text.sender(), milliseconds(10));
    EXPECT_EQ("ALIVE 0 0 %Z\r\n", empty_text.wait_for("ALIVE"));
}

TEST(AliveSenderTest, SilentOnceTheLastOwnerLetsGo) {
    line_sink sink;
    io::pool pool(2, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "update", sink.sender(), milliseconds(5));
    ASSERT_TRUE(sink.wait_count(3));
    boost::weak_ptr<io::proto::alive_sender> weak(sender);
    sender.reset();
    ASSERT_TRUE(wait_gone(weak)) << "the timer must not keep the sender alive";
    std::size_t sent = sink.lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent, sink.lines().size());
}

TEST(AliveSenderTest, DroppedBeforeFirstPeriodSendsNothing) {
    line_sink sink;
    io::pool pool(2, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "update", sink.sender(), milliseconds(50));
    boost::weak_ptr<io::proto::alive_sender> weak(sender);
    sender.reset();
    EXPECT_TRUE(weak.expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(sink.lines().empty());
}

TEST(AliveSenderTest, FailingSendKeepsThePeriod) {
    io_test::log_capture log(LOG_LEVEL_ERROR);
    line_sink sink;
    io::proto::alive_sender::send_t record = sink.sender();
    std::mutex m;
    int calls = 0;
    auto flaky = [&](io::request_queue& q) {
        {
            std::lock_guard<std::mutex> g(m);
            if (calls++ == 0) throw std::runtime_error("connection is busy");
        }
        record(q);
    };
    io::pool pool(1, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "update", flaky, milliseconds(5));
    EXPECT_EQ("ALIVE 0 0 update\r\n", sink.wait_for("ALIVE"));
}

}  // namespace
