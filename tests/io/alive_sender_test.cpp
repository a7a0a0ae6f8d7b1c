// The keep-alive sender on a real I/O pool with a short period: line format
// and escaping, counters, a send that fails, and silence once released.
#include "io/alive_sender.h"

#include <stdexcept>

#include <boost/weak_ptr.hpp>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

using boost::posix_time::milliseconds;

/// The connection side: collects every line handed to the send function.
class line_sink : public io_test::waitable {
public:
    io::proto::alive_sender::send_t sender() {
        return [this](io::request_queue& q) { note([&] { lines_.push_back(io_test::bytes_of(q)); }); };
    }
    /// Waits (at most 10 s) for a line that starts with `prefix`; returns it or "".
    std::string wait_for(const std::string& prefix) {
        std::string found;
        wait([&] {
            for (const std::string& l : lines_)
                if (l.compare(0, prefix.size(), prefix) == 0) return !(found = l).empty();
            return false;
        }, 10);
        return found;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> g(mutex);
        return lines_.size();
    }
    std::vector<std::string> lines_;
};

TEST(AliveSenderTest, LinesCarryLatestCountersAndEscapedTextAndSurviveAFailingSend) {
    io_test::log_capture log(LOG_LEVEL_ERROR);
    // Sinks outlive the pool, so a line still in flight never finds them gone.
    line_sink sink, empty_text;
    std::atomic<int> calls{0};
    io::proto::alive_sender::send_t record = sink.sender();
    auto flaky = [&](io::request_queue& q) {
        if (calls++ == 0) throw std::runtime_error("connection is busy");
        record(q);
    };
    io::pool pool(1, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "big file\t#1", flaky, milliseconds(10));
    EXPECT_EQ("ALIVE 0 0 big%Sfile%T#1\r\n", sink.wait_for("ALIVE"));
    EXPECT_GE(calls.load(), 2);  // the period went on after the failure
    io::proto::progress_watcher_iface& watcher = *sender;
    watcher.set_first_counter(4294967295u);
    watcher.set_second_counter(45);
    EXPECT_EQ("ALIVE 4294967295 45 big%Sfile%T#1\r\n", sink.wait_for("ALIVE 4294967295 45 "));
    sender.reset();
    auto plain = io::proto::alive_sender::create(pool.get_io_service(), "", empty_text.sender(), milliseconds(10));
    EXPECT_EQ("ALIVE 0 0 %Z\r\n", empty_text.wait_for("ALIVE"));
}

TEST(AliveSenderTest, SilentOnceTheLastOwnerLetsGo) {
    line_sink sink, early;
    io::pool pool(2, "alv");
    auto sender = io::proto::alive_sender::create(pool.get_io_service(), "update", sink.sender(), milliseconds(5));
    ASSERT_TRUE(sink.wait([&] { return sink.lines_.size() >= 3; }, 10));
    boost::weak_ptr<io::proto::alive_sender> weak(sender);
    sender.reset();
    for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(weak.expired()) << "the timer must not keep the sender alive";
    const std::size_t sent = sink.count();
    // Dropped before its first period: gone at once, and never a line.
    sender = io::proto::alive_sender::create(pool.get_io_service(), "update", early.sender(), milliseconds(50));
    weak = sender;
    sender.reset();
    EXPECT_TRUE(weak.expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sent, sink.count());
    EXPECT_EQ(0u, early.count());
}

}  // namespace
