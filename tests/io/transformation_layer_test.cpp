// The transformation layer in real stacks over loopback TCP run by a real I/O
// pool: two layers facing each other, or one layer facing a raw socket whose
// bytes the test writes or decodes itself (with zlib used directly).
#include "io/transformation_layer.h"

#include <gtest/gtest.h>

#include <boost/asio/write.hpp>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "io/pool.h"
#include "io/zlib_filters.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
using io_test::bytes_of;
using io_test::outcome;
using io_test::read_exactly;
using io_test::sample;
typedef boost::shared_ptr<io::transformation_layer> layer_ptr;

/// Records every event of the layer above.
class sink : public io::transformation_layer_events, public io_test::waitable {
public:
    void on_connect(const boost::system::error_code& e) override { note([&] { connects += e ? 0 : 1; }); }
    void on_disconnect() override { note([&] { ++disconnects; }); }
    void on_data_arrived(io::request_queue& data) override { note([&] { received += bytes_of(data); }); }
    void on_violation(const char* text) override { note([&] { violations.push_back(text); }); }
    std::string text() {
        std::lock_guard<std::mutex> g(mutex);
        return received;
    }
    int connects = 0, disconnects = 0;
    std::string received;
    std::vector<std::string> violations;
};

/// Appends its tag to every chunk it passes; tag 0 swallows everything.
class tag_filter : public io::transformation_layer::incoming_filter {
public:
    tag_filter(char tag, const char* name) : tag_(tag), name_(name) {}
    io::request_queue process(io::request_queue& data) override {
        ++calls;
        if (tag_ == 0) return io::request_queue();
        const std::string bytes = bytes_of(data) + tag_;
        return io::make_cloned_request(bytes.data(), bytes.size());
    }
    const char* name() const override { return name_; }
    std::atomic<int> calls{0};

private:
    char tag_;
    const char* name_;
};

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

/// Upper-cases what it passes (the callbacks of a queue move to its one output request).
class upper_filter : public io::transformation_layer::outcoming_filter {
public:
    io::request_queue process(io::request_queue& data) override {
        const std::string bytes = upper(bytes_of(data));
        return io::make_cloned_request(bytes.data(), bytes.size(), data.front()->take_callback());
    }
    io::request_queue flush() override { return io::request_queue(); }
    const char* name() const override { return "upper"; }
};

/// Inflates what `peer` sends, after the already received `rest`, until `n` bytes came out.
std::string inflate_from(tcp::socket& peer, const std::string& rest, std::size_t n) {
    io_test::zlib_inflater z;
    std::string decoded = z.feed(rest);
    while (decoded.size() < n && !z.broken) {
        char chunk[4096];
        boost::system::error_code ec;
        std::size_t got = peer.read_some(boost::asio::buffer(chunk), ec);
        EXPECT_FALSE(ec) << ec.message();
        if (ec) break;
        decoded += z.feed(std::string(chunk, got));
    }
    EXPECT_FALSE(z.broken);
    return decoded;
}

/// Reads plain bytes up to and including `mark`; whatever came behind it goes to `rest`.
std::string read_plain_through(tcp::socket& peer, const std::string& mark, std::string& rest) {
    std::string plain;
    std::size_t end;
    while ((end = plain.find(mark)) == std::string::npos) {
        char chunk[4096];
        boost::system::error_code ec;
        std::size_t got = peer.read_some(boost::asio::buffer(chunk), ec);
        EXPECT_FALSE(ec) << ec.message();
        if (ec) return plain;
        plain.append(chunk, got);
    }
    end += mark.size();
    rest = plain.substr(end);
    plain.resize(end);
    return plain;
}

/// Splits "<a><b>..." into its tokens; false when the text is not made of whole tokens.
bool tokens_of(const std::string& text, std::vector<std::string>& out) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t close = text.find('>', at);
        if (text[at] != '<' || close == std::string::npos) return false;
        out.push_back(text.substr(at, close + 1 - at));
        at = close + 1;
    }
    return true;
}

/// Sends `texts` one queue each, every one with its own outcome; the texts must outlive the sends.
void send_each(const layer_ptr& b, const std::vector<std::string>& texts, std::vector<outcome>& outcomes) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        io::request_queue q = io::make_const_request(texts[i].data(), texts[i].size(), outcomes[i].callback());
        b->send(q);
    }
}

void expect_sent_once(std::initializer_list<outcome*> some, std::vector<outcome>& more) {
    for (outcome* o : some) o->expect_once();
    for (outcome& o : more) o.expect_once();
}

class Transformation : public ::testing::Test {
protected:
    layer_ptr make(const boost::shared_ptr<sink>& s, uint32_t batch = 8192) {
        io::proto::text_protocol_layer_options options;
        options.send_batch_size = batch;
        layer_ptr layer = io::transformation_layer::create(pool.get_io_service(), options);
        layer->set_events(s);
        return layer;
    }
    /// Connects `layer` through its client specification; returns the accepted socket.
    boost::shared_ptr<tcp::socket> connect(const layer_ptr& layer, const boost::shared_ptr<sink>& s,
                                           bool small_window = false) {
        auto peer = io_test::accept_dialed(pool.get_io_service(), [&](const std::string& spec) { layer->connect(spec); },
                                           small_window);
        EXPECT_TRUE(s->wait([&] { return s->connects == 1; }));
        return peer;
    }
    /// Lines of this layer's log ending with `tail`, whatever the connection name.
    std::size_t lines_ending(const std::string& tail) const {
        std::size_t n = 0;
        for (const std::string& m : log.messages())
            n += m.rfind("[Layer/Transformation] ", 0) == 0 && m.size() > tail.size() &&
                 m.compare(m.size() - tail.size(), tail.size(), tail) == 0;
        return n;
    }

    io_test::log_capture log;  // first: outlives the pool's last lines
    io::pool pool{4, "thr"};
    boost::shared_ptr<sink> up_a = boost::make_shared<sink>(), up_b = boost::make_shared<sink>();
};

TEST_F(Transformation, ManyThreadsKeepTheirOrderAndEveryCallbackRunsOnce) {
    for (bool zip : {false, true}) {
        // Small batches force many batches and slices of the larger messages.
        auto rx = boost::make_shared<sink>(), tx = boost::make_shared<sink>();
        layer_ptr b = make(tx, 100), a = make(rx);
        a->attach(connect(b, tx));
        if (zip) {
            a->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
            b->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
        }
        const int threads = 4, per_thread = 300;
        std::vector<outcome> outcomes(threads * per_thread);
        std::vector<std::string> texts(outcomes.size());
        std::size_t total = 0;
        for (int k = 0; k < threads * per_thread; ++k) {
            texts[k] = "<" + std::to_string(k / per_thread) + ":" + std::to_string(k % per_thread) +
                       sample(k % per_thread % 7 * 60, k % per_thread) + ">";
            total += texts[k].size();
        }
        std::vector<std::thread> senders;
        for (int t = 0; t < threads; ++t)
            senders.emplace_back([&, t] {
                for (int k = t * per_thread; k < (t + 1) * per_thread; ++k) {
                    io::request_queue q = io::make_const_request(texts[k].data(), texts[k].size(), outcomes[k].callback());
                    b->send(q);
                }
            });
        for (auto& s : senders) s.join();
        ASSERT_TRUE(rx->wait([&] { return rx->received.size() >= total; })) << zip;
        const std::string got = rx->text();
        ASSERT_EQ(total, got.size());
        // Each thread's messages arrive whole and in the order it sent them.
        std::vector<std::size_t> at(threads, 0);
        for (int k = 0; k < threads * per_thread; ++k) {
            std::size_t found = got.find(texts[k], at[k / per_thread]);
            ASSERT_NE(std::string::npos, found) << k;
            at[k / per_thread] = found + texts[k].size();
        }
        expect_sent_once({}, outcomes);
    }
}

TEST_F(Transformation, LargeRequestsAreSlicedAndArriveIntactWithAnyBatchSize) {
    for (uint32_t batch : {8192u, 0u, 1u}) {
        auto in = boost::make_shared<sink>(), out = boost::make_shared<sink>();
        layer_ptr b = make(out, batch), a = make(in);
        a->attach(connect(b, out));
        const std::string big = sample(batch == 1 ? 3000 : 3 << 20, batch), small = "tail";
        const std::string mid = sample(batch == 1 ? 2000 : 20000, 3);
        outcome ob, om, os;
        io::request_queue q = io::make_const_request(big.data(), big.size(), ob.callback());
        q.push_back(io::make_const_request(mid.data(), mid.size(), om.callback()));
        b->send(q);
        io::request_queue q2 = io::make_const_request(small.data(), small.size(), os.callback());
        b->send(q2);
        const std::string all = big + mid + small;
        ASSERT_TRUE(in->wait([&] { return in->received.size() >= all.size(); })) << batch;
        EXPECT_TRUE(in->text() == all) << batch;
        for (outcome* o : {&ob, &om, &os}) o->expect_once();
    }
}

TEST_F(Transformation, DisconnectTellsPendingCallbacksFalseOnceInOrder) {
    layer_ptr b = make(up_b);
    auto peer = connect(b, up_b);  // never read: the writes stall in the kernel buffers
    const std::string block = sample(1 << 20, 1);
    std::vector<outcome> outcomes(64);
    for (auto& o : outcomes) {
        io::request_queue q = io::make_const_request(block.data(), block.size(), o.callback());
        b->send(q);
    }
    b->disconnect();
    ASSERT_TRUE(up_b->wait([&] { return up_b->disconnects == 1; }));
    bool seen_false = false;
    for (auto& o : outcomes) {
        ASSERT_TRUE(o.wait());
        EXPECT_EQ(1, o.calls.load());
        // What was written is a prefix of what was sent.
        if (seen_false) {
            EXPECT_EQ(0, o.trues.load());
        }
        seen_false = seen_false || o.trues.load() == 0;
    }
    EXPECT_TRUE(seen_false);
    // With no connection below, a send is told false at once instead of waiting forever.
    for (layer_ptr l : {b, make(up_a)}) {
        for (int i = 0; i < 2; ++i) {  // the second proves that nothing stays marked in flight
            outcome late;
            io::request_queue q = io::make_const_request("late", late.callback());
            l->send(q);
            EXPECT_EQ(1, late.calls.load());
            EXPECT_EQ(0, late.trues.load());
            if (late.calls.load() == 0) l->clear();  // the request must not outlive `late`
        }
    }
}

TEST_F(Transformation, InflateBehindACommandThenACorruptStreamIsAViolation) {
    layer_ptr b = make(up_b);
    auto peer = connect(b, up_b);
    boost::asio::write(*peer, boost::asio::buffer(std::string("0 GO\r\n")));
    ASSERT_TRUE(up_b->wait([&] { return up_b->received == "0 GO\r\n"; }));
    b->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());

    const std::string text = sample(50000, 9), packed = io_test::zlib_deflate({text});
    for (std::size_t at = 0; at < packed.size(); at += 777)  // odd pieces: boundaries carry no meaning
        boost::asio::write(*peer, boost::asio::buffer(packed.data() + at, std::min<std::size_t>(777, packed.size() - at)));
    ASSERT_TRUE(up_b->wait([&] { return up_b->received.size() >= 6 + text.size(); }));
    EXPECT_TRUE(up_b->text() == "0 GO\r\n" + text);

    const std::string name = b->name();
    boost::asio::write(*peer, boost::asio::buffer(std::string("\xff\xfe garbage that is no deflate block")));
    ASSERT_TRUE(up_b->wait([&] { return up_b->disconnects == 1; }));
    ASSERT_EQ(1u, up_b->violations.size());
    EXPECT_NE(std::string::npos, up_b->violations[0].find("cannot inflate"));
    char byte;
    boost::system::error_code ec;
    peer->read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_EQ(boost::asio::error::eof, ec);  // the connection was dropped
    EXPECT_EQ(1u, log.count("[Layer/Transformation] " + name + ": ZLIB inflation filter added to incoming stream"));
    // Dropping the connection dropped the filters; by then the name may be gone too.
    // (The sink hears of the disconnect before the filters go, so wait for the line.)
    const auto removed = [&] { return lines_ending(": All filter removed from incoming  and outcoming streams"); };
    EXPECT_TRUE(up_b->wait([&] { return removed() > 0; }));
    EXPECT_EQ(1u, removed());
}

TEST_F(Transformation, FiltersRunInTheirOrderAndAreRemovedNewestFirst) {
    layer_ptr b = make(up_b);
    auto peer = connect(b, up_b);
    const std::string name = b->name();
    auto swallow = boost::make_shared<tag_filter>(0, "swallow");
    auto round = [&](const std::string& expected) {
        up_b->note([&] { up_b->received.clear(); });
        boost::asio::write(*peer, boost::asio::buffer(std::string("x")));
        if (expected.empty()) {
            // A swallowing filter stops delivery; prove it by what follows it.
            ASSERT_TRUE(up_b->wait([&] { return swallow->calls.load() > 0; }));
            b->remove_incoming_filter();
            boost::asio::write(*peer, boost::asio::buffer(std::string("y")));
            EXPECT_TRUE(up_b->wait([&] { return !up_b->received.empty(); }));
            EXPECT_EQ("yBA", up_b->text());
            return;
        }
        EXPECT_TRUE(up_b->wait([&] { return up_b->received.size() >= expected.size(); }));
        EXPECT_EQ(expected, up_b->text());
    };
    b->add_incoming_filter(boost::make_shared<tag_filter>('A', "tag-A"));
    b->add_incoming_filter(boost::make_shared<tag_filter>('B', "tag-B"));
    round("xBA");
    b->add_incoming_filter(swallow);
    round("");
    b->remove_incoming_filter();
    round("xA");
    b->remove_incoming_filter();
    EXPECT_THROW(b->remove_incoming_filter(), io::transformation_layer::internal_error);

    b->add_outcoming_filter(boost::make_shared<upper_filter>());
    io::request_queue q = io::make_const_request("abc");
    b->send(q);
    EXPECT_EQ("ABC", read_exactly(*peer, 3));
    b->remove_outcoming_filter();
    io::request_queue q2 = io::make_const_request("def");
    b->send(q2);
    EXPECT_EQ("def", read_exactly(*peer, 3));
    EXPECT_THROW(b->remove_outcoming_filter(), io::transformation_layer::internal_error);
    b->remove_all_filters();

    const std::string tag = "[Layer/Transformation] " + name + ": ";
    for (const char* line :
         {"tag-A added to incoming stream", "tag-B added to incoming stream", "swallow removed from incoming stream",
          "tag-B removed from incoming stream", "tag-A removed from incoming stream", "upper added to outcoming stream",
          "upper removed from outcoming stream", "All filter removed from incoming  and outcoming streams"})
        EXPECT_EQ(1u, log.count(tag + line)) << line;
}

// A switch whose queue (and what precedes it) leaves plain, and everything
// after it compressed, even while far more than the kernel holds is queued ahead.
TEST_F(Transformation, SwitchBehindABatchInFlightTakesEffectAtItsPoint) {
    for (uint32_t batch : {8192u, 0u}) {
        auto s = boost::make_shared<sink>();
        layer_ptr b = make(s, batch);
        auto peer = connect(b, s, true);  // not read before everything has been sent
        const std::string added =
            "[Layer/Transformation] " + b->name() + ": ZLIB deflation filter added to outcoming stream";
        const std::size_t added_before = log.count(added);
        const std::string big = sample(8 << 20, 4), command = "1 ZIP\r\n";
        outcome ob, sw;
        io::request_queue q = io::make_const_request(big.data(), big.size(), ob.callback());
        b->send(q);
        io::request_queue c = io::make_const_request(command.data(), command.size(), sw.callback());
        b->send_then_add_outcoming_filter(c, boost::make_shared<io::zlib_deflate_filter>());
        EXPECT_EQ(added_before, log.count(added)) << batch;
        EXPECT_EQ(0, sw.calls.load());

        std::vector<std::string> after;
        std::vector<outcome> outcomes(30);
        for (int i = 0; i < 30; ++i) after.push_back(std::to_string(i + 2) + " CMD " + sample(i == 7 ? 100000 : i * 30, i) + "\r\n");
        send_each(b, after, outcomes);
        std::string expected;
        for (const std::string& a : after) expected += a;
        EXPECT_TRUE(read_exactly(*peer, big.size() + command.size()) == big + command) << batch;
        EXPECT_TRUE(inflate_from(*peer, "", expected.size()) == expected) << batch;
        expect_sent_once({&ob, &sw}, outcomes);
        EXPECT_EQ(added_before + 1, log.count(added));
    }
}

TEST_F(Transformation, SwitchesInARowApplyEachAtItsOwnPoint) {
    // The first switching queue is larger than one batch (or than many).
    for (uint32_t batch : {8192u, 100u}) {
        auto s = boost::make_shared<sink>();
        layer_ptr b = make(s, batch);
        auto peer = connect(b, s);
        const std::string tag = "[Layer/Transformation] " + b->name() + ": ";
        const std::string payload = sample(30000, 5), first = "1 up\r\n", mid = "2 mid\r\n", second = "3 zip\r\n";
        outcome op, o1, om, o2;
        io::request_queue q1 = io::make_const_request(payload.data(), payload.size(), op.callback());
        q1.push_back(io::make_const_request(first.data(), first.size(), o1.callback()));
        b->send_then_add_outcoming_filter(q1, boost::make_shared<upper_filter>());
        io::request_queue qm = io::make_const_request(mid.data(), mid.size(), om.callback());
        b->send(qm);
        io::request_queue q2 = io::make_const_request(second.data(), second.size(), o2.callback());
        b->send_then_add_outcoming_filter(q2, boost::make_shared<io::zlib_deflate_filter>());
        std::vector<std::string> after;
        std::vector<outcome> outcomes(20);
        std::string expected;
        for (int i = 0; i < 20; ++i) {
            after.push_back(std::to_string(i + 4) + " cmd " + sample(i * 500, i) + "\r\n");
            expected += upper(after.back());
        }
        send_each(b, after, outcomes);
        const std::string plain = payload + first + "2 MID\r\n3 ZIP\r\n";
        EXPECT_TRUE(read_exactly(*peer, plain.size()) == plain) << batch;
        EXPECT_TRUE(inflate_from(*peer, "", expected.size()) == expected) << batch;
        expect_sent_once({&op, &o1, &om, &o2}, outcomes);
        // Installed once each, in the order of the switches.
        const std::vector<std::string> lines = log.messages();
        auto at = [&](const std::string& text) { return std::find(lines.begin(), lines.end(), tag + text); };
        ASSERT_NE(lines.end(), at("upper added to outcoming stream"));
        ASSERT_NE(lines.end(), at("ZLIB deflation filter added to outcoming stream"));
        EXPECT_LT(at("upper added to outcoming stream"), at("ZLIB deflation filter added to outcoming stream"));
        EXPECT_EQ(1u, log.count(tag + "upper added to outcoming stream"));
        b->disconnect();
        ASSERT_TRUE(s->wait([&] { return s->disconnects == 1; }));
    }
}

TEST_F(Transformation, SendsRacingASwitchLandOnTheirSideOfIt) {
    layer_ptr b = make(up_b, 100);  // many batches and slices around the switch point
    auto peer = connect(b, up_b);
    const int threads = 4, per_thread = 300, total = threads * per_thread;
    std::vector<std::string> texts(total);
    std::map<std::string, int> index;
    for (int k = 0; k < total; ++k) {
        texts[k] = "<" + std::to_string(k / per_thread) + ":" + std::to_string(k % per_thread) + sample(k % 5 * 70, k) + ">";
        index[texts[k]] = k;
    }
    std::vector<outcome> outcomes(total + 2);
    // -1: the send returned before the switch began, so it must leave plain;
    // +1: it began after the switch returned, so it must be compressed.
    std::vector<int> side(total, 0);
    std::atomic<bool> started{false}, returned{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int k = t * per_thread; k < (t + 1) * per_thread; ++k) {
                const bool late = returned.load();
                io::request_queue q = io::make_const_request(texts[k].data(), texts[k].size(), outcomes[k].callback());
                b->send(q);
                side[k] = !started.load() ? -1 : late ? 1 : 0;
                ++sent;
            }
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sent.load() < total / 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    started = true;
    io::request_queue zip = io::make_const_request("<ZIP>", outcomes[total].callback());
    b->send_then_add_outcoming_filter(zip, boost::make_shared<io::zlib_deflate_filter>());
    returned = true;
    for (auto& s : senders) s.join();
    io::request_queue end = io::make_const_request("<END>", outcomes[total + 1].callback());
    b->send(end);

    std::string rest;
    const std::string plain = read_plain_through(*peer, "<ZIP>", rest);
    std::vector<std::string> before, after;
    ASSERT_TRUE(tokens_of(plain.substr(0, plain.size() - 5), before));
    std::size_t remaining = std::string("<END>").size();
    for (int k = 0; k < total; ++k) remaining += texts[k].size();
    for (const std::string& token : before) remaining -= token.size();
    ASSERT_TRUE(tokens_of(inflate_from(*peer, rest, remaining), after));
    ASSERT_FALSE(after.empty());
    EXPECT_EQ("<END>", after.back());
    after.pop_back();
    // Each message exactly once, whole on one side, each thread's in its order.
    ASSERT_EQ(std::size_t(total), before.size() + after.size());
    std::vector<int> last(threads, -1), seen(total, 0);
    for (int pass = 0; pass < 2; ++pass)
        for (const std::string& token : pass == 0 ? before : after) {
            ASSERT_EQ(1u, index.count(token)) << token;
            const int k = index[token];
            ++seen[k];
            EXPECT_LT(last[k / per_thread], k);
            last[k / per_thread] = k;
            if (side[k] != 0) {
                EXPECT_EQ(side[k] < 0, pass == 0) << token;
            }
        }
    for (int k = 0; k < total; ++k) EXPECT_EQ(1, seen[k]) << k;
    EXPECT_GE(before.size(), std::size_t(total / 2));
    expect_sent_once({}, outcomes);
}

TEST_F(Transformation, DisconnectDropsAPendingSwitch) {
    layer_ptr b = make(up_b);
    auto peer = connect(b, up_b, true);  // never read: the first batch stays in flight
    const std::string big = sample(8 << 20, 6);
    outcome ob, sw, later;
    io::request_queue q = io::make_const_request(big.data(), big.size(), ob.callback());
    b->send(q);
    io::request_queue c = io::make_const_request("1 ZIP\r\n", sw.callback());
    b->send_then_add_outcoming_filter(c, boost::make_shared<io::zlib_deflate_filter>());
    io::request_queue l = io::make_const_request("2 LATER\r\n", later.callback());
    b->send(l);
    EXPECT_EQ(0, sw.calls.load());
    b->disconnect();
    ASSERT_TRUE(up_b->wait([&] { return up_b->disconnects == 1; }));
    for (outcome* o : {&ob, &sw, &later}) o->expect_once(false);
    // The filters are gone with the connection; the dropped switch adds none
    // after it. (By then the connection name may be gone, so lines are matched
    // by their end.)
    const auto removed = [&] { return lines_ending(": All filter removed from incoming  and outcoming streams"); };
    ASSERT_TRUE(up_b->wait([&] { return removed() == 1; }));
    // With no connection a switch is told false at once and adds no filter either.
    outcome late;
    io::request_queue z = io::make_const_request("3 ZIP\r\n", late.callback());
    b->send_then_add_outcoming_filter(z, boost::make_shared<io::zlib_deflate_filter>());
    EXPECT_EQ(1, late.calls.load());
    EXPECT_EQ(0, late.trues.load());
    EXPECT_EQ(0u, lines_ending(": ZLIB deflation filter added to outcoming stream"));
    EXPECT_EQ(1u, removed());
}

}  // namespace
