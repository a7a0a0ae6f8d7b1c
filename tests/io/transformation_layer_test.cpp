// The transformation layer over loopback TCP facing another layer or a raw socket
// decoded with zlib directly. Many sending threads and inflating a received stream
// are driven through the whole text protocol stack in its own tests.
#include "io/transformation_layer.h"

#include <boost/asio/write.hpp>
#include <cstdlib>
#include <cstring>
#include <map>

#include "io/pool.h"
#include "io/zlib_filters.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
using io_test::bytes_of;
using io_test::outcome;
using io_test::read_exactly;
using io_test::sample;
typedef boost::shared_ptr<io::transformation_layer> xform_ptr;

/// Records every event of the layer above.
class xform_sink : public io::transformation_layer_events, public io_test::waitable {
public:
    void on_connect(const boost::system::error_code& e) override { note([&] { connects += e ? 0 : 1; }); }
    void on_disconnect() override { note([&] { ++disconnects; }); }
    void on_data_arrived(io::request_queue& data) override { note([&] { received += bytes_of(data); }); }
    void on_violation(const char*) override {}
    std::string text() {
        std::lock_guard<std::mutex> g(mutex);
        return received;
    }
    int connects = 0, disconnects = 0;
    std::string received;
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

/// Bytes that must not be read in place once filters run (a mapping of a
/// file that may be cut short): they come through copy_to alone, which
/// fails from `fail_at` on, as a read of a file cut short there does.
class copied_request final : public io::request_queue::request {
public:
    copied_request(const std::string& bytes, std::size_t fail_at, const callback_t& callback)
        : request(callback), bytes_(bytes), fail_at_(fail_at) {}
    boost::asio::const_buffer const_buffer() const override {
        ++in_place;
        return boost::asio::buffer(bytes_);
    }
    boost::asio::mutable_buffer mutable_buffer() override { throw std::logic_error("read only"); }
    std::size_t size() const override { return bytes_.size(); }
    bool read_by_copy() const override { return true; }
    void copy_to(std::size_t offset, void* out, std::size_t length) const override {
        if (offset + length > fail_at_) throw std::runtime_error("the file became shorter");
        std::memcpy(out, bytes_.data() + offset, length);
    }
    static std::atomic<int> in_place;

private:
    const std::string& bytes_;
    std::size_t fail_at_;
};
std::atomic<int> copied_request::in_place{0};

io::request_queue copied(const std::string& bytes, std::size_t fail_at, outcome& o) {
    void* block = std::malloc(sizeof(copied_request));
    return io::request_queue(::new (block) copied_request(bytes, fail_at, o.callback()));
}

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

/// A request for `text` (which must outlive it) telling `o`.
io::request_queue req(const std::string& text, outcome& o) {
    return io::make_const_request(text.data(), text.size(), o.callback());
}
void send(const xform_ptr& b, io::request_queue q) { b->send(q); }
void send_then_zip(const xform_ptr& b, io::request_queue q) {
    b->send_then_add_outcoming_filter(q, boost::make_shared<io::zlib_deflate_filter>());
}

/// Sends `texts` one queue each, every one with its own outcome; the texts must outlive the sends.
void send_each(const xform_ptr& b, const std::vector<std::string>& texts, std::vector<outcome>& outcomes) {
    for (std::size_t i = 0; i < texts.size(); ++i) send(b, req(texts[i], outcomes[i]));
}

void expect_sent_once(std::initializer_list<outcome*> some, std::vector<outcome>& more) {
    for (outcome* o : some) o->expect_once();
    for (outcome& o : more) o.expect_once();
}

class Transformation : public ::testing::Test {
protected:
    xform_ptr make(const boost::shared_ptr<xform_sink>& s, uint32_t batch = 8192) {
        io::proto::text_protocol_layer_options options;
        options.send_batch_size = batch;
        xform_ptr layer = io::transformation_layer::create(pool.get_io_service(), options);
        layer->set_events(s);
        return layer;
    }
    /// Connects `layer` through its client specification; returns the accepted socket.
    boost::shared_ptr<tcp::socket> connect(const xform_ptr& layer, const boost::shared_ptr<xform_sink>& s,
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
    boost::shared_ptr<xform_sink> up_a = boost::make_shared<xform_sink>(), up_b = boost::make_shared<xform_sink>();
};

TEST_F(Transformation, LargeRequestsAreSlicedAndArriveIntactWithAnyBatchSize) {
    for (uint32_t batch : {8192u, 0u, 1u}) {
        auto in = boost::make_shared<xform_sink>(), out = boost::make_shared<xform_sink>();
        xform_ptr b = make(out, batch), a = make(in);
        a->attach(connect(b, out));
        const std::string big = sample(batch == 1 ? 3000 : 3 << 20, batch), small = "tail";
        const std::string mid = sample(batch == 1 ? 2000 : 20000, 3);
        outcome ob, om, os;
        io::request_queue q = req(big, ob);
        q.push_back(req(mid, om));
        send(b, std::move(q));
        send(b, req(small, os));
        const std::string all = big + mid + small;
        ASSERT_TRUE(in->wait([&] { return in->received.size() >= all.size(); })) << batch;
        EXPECT_TRUE(in->text() == all) << batch;
        for (outcome* o : {&ob, &om, &os}) o->expect_once();
    }
}

// The compressor reads copies of such bytes, a batch at most at a time, and
// never the bytes in place; a copy that fails ends the connection, its
// request told it was not sent.
TEST_F(Transformation, BytesReadByCopyReachFiltersOnlyAsCopies) {
    const std::string big = sample(3 << 20, 5);
    for (uint32_t batch : {8192u, 0u}) {
        auto out = boost::make_shared<xform_sink>();
        xform_ptr b = make(out, batch);
        auto peer = connect(b, out);
        b->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
        outcome o;
        copied_request::in_place = 0;
        send(b, copied(big, big.size(), o));
        EXPECT_TRUE(inflate_from(*peer, "", big.size()) == big) << batch;
        o.expect_once();
        EXPECT_EQ(0, copied_request::in_place.load()) << batch;
    }
    auto out = boost::make_shared<xform_sink>();
    xform_ptr b = make(out);
    auto peer = connect(b, out);
    b->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
    outcome o;
    try {
        send(b, copied(big, 1 << 20, o));
    } catch (const std::runtime_error&) {
        // Raised from the send when the failing slice is taken on this thread.
    }
    ASSERT_TRUE(out->wait([&] { return out->disconnects == 1; }));
    o.expect_once(false);
}

TEST_F(Transformation, DisconnectTellsPendingCallbacksFalseOnceInOrder) {
    xform_ptr b = make(up_b);
    auto peer = connect(b, up_b);  // never read: the writes stall in the kernel buffers
    const std::string block = sample(1 << 20, 1);
    std::vector<outcome> outcomes(64);
    for (auto& o : outcomes) send(b, req(block, o));
    b->disconnect();
    ASSERT_TRUE(up_b->wait([&] { return up_b->disconnects == 1; }));
    bool seen_false = false;
    for (auto& o : outcomes) {
        ASSERT_TRUE(o.wait());
        EXPECT_EQ(1, o.calls.load());
        // What was written is a prefix of what was sent.
        EXPECT_TRUE(!seen_false || o.trues.load() == 0);
        seen_false = seen_false || o.trues.load() == 0;
    }
    EXPECT_TRUE(seen_false);
    // With no connection below, a send is told false at once instead of waiting forever.
    for (xform_ptr l : {b, make(up_a)}) {
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

TEST_F(Transformation, FiltersRunInTheirOrderAndAreRemovedNewestFirst) {
    xform_ptr b = make(up_b);
    auto peer = connect(b, up_b);
    auto swallow = boost::make_shared<tag_filter>(0, "swallow");
    auto round = [&](const std::string& in, const std::string& expected) {
        boost::asio::write(*peer, boost::asio::buffer(in));
        EXPECT_TRUE(up_b->wait([&] { return up_b->received.size() >= expected.size(); }));
        EXPECT_EQ(expected, up_b->text());
        up_b->note([&] { up_b->received.clear(); });
    };
    b->add_incoming_filter(boost::make_shared<tag_filter>('A', "tag-A"));
    b->add_incoming_filter(boost::make_shared<tag_filter>('B', "tag-B"));
    round("x", "xBA");
    // A swallowing filter stops delivery; what follows its removal shows nothing came through.
    b->add_incoming_filter(swallow);
    boost::asio::write(*peer, boost::asio::buffer(std::string("x")));
    ASSERT_TRUE(up_b->wait([&] { return swallow->calls.load() > 0; }));
    b->remove_incoming_filter();
    round("y", "yBA");
    b->remove_incoming_filter();
    round("x", "xA");
    b->remove_incoming_filter();
    EXPECT_THROW(b->remove_incoming_filter(), io::transformation_layer::internal_error);
    b->add_outcoming_filter(boost::make_shared<upper_filter>());
    send(b, io::make_const_request("abc"));
    EXPECT_EQ("ABC", read_exactly(*peer, 3));
    b->remove_outcoming_filter();
    send(b, io::make_const_request("def"));
    EXPECT_EQ("def", read_exactly(*peer, 3));
    EXPECT_THROW(b->remove_outcoming_filter(), io::transformation_layer::internal_error);
}

// Each switch applies at its point: its queue (and what precedes it) leaves
// as before and everything after it transformed, even while far more than the
// kernel holds is queued ahead (the peer reads only once all has been sent).
TEST_F(Transformation, SwitchesInARowApplyEachAtItsPointBehindABatchInFlight) {
    for (uint32_t batch : {8192u, 0u, 100u}) {
        auto s = boost::make_shared<xform_sink>();
        xform_ptr b = make(s, batch);
        auto peer = connect(b, s, true);
        const std::string tag = "[Layer/Transformation] " + b->name() + ": ";
        // Far more than the kernel holds goes ahead (kept small with tiny batches);
        // the first switching queue is larger than a batch, or than many.
        const std::string ahead = sample(batch == 100 ? 1000 : 8 << 20, 4), payload = sample(30000, 5);
        const std::string first = "1 up\r\n", mid = "2 mid\r\n", second = "3 zip\r\n";
        outcome oa, op, o1, om, o2;
        send(b, req(ahead, oa));
        io::request_queue q1 = req(payload, op);
        q1.push_back(req(first, o1));
        b->send_then_add_outcoming_filter(q1, boost::make_shared<upper_filter>());
        send(b, req(mid, om));
        send_then_zip(b, req(second, o2));
        if (batch != 100) {  // still queued behind the payload: nothing switched yet
            EXPECT_EQ(0u, log.count(tag + "upper added to outcoming stream")) << batch;
            EXPECT_EQ(0, o1.calls.load());
        }
        std::vector<std::string> after;
        std::vector<outcome> outcomes(30);
        std::string expected;
        for (int i = 0; i < 30; ++i) {
            after.push_back(std::to_string(i + 4) + " cmd " + sample(i == 7 ? 100000 : i * 300, i) + "\r\n");
            expected += upper(after.back());
        }
        send_each(b, after, outcomes);
        const std::string plain = ahead + payload + first + "2 MID\r\n3 ZIP\r\n";
        EXPECT_TRUE(read_exactly(*peer, plain.size()) == plain) << batch;
        EXPECT_TRUE(inflate_from(*peer, "", expected.size()) == expected) << batch;
        expect_sent_once({&oa, &op, &o1, &om, &o2}, outcomes);
        b->disconnect();
        ASSERT_TRUE(s->wait([&] { return s->disconnects == 1; }));
    }
}

TEST_F(Transformation, SendsRacingASwitchLandOnTheirSideOfIt) {
    xform_ptr b = make(up_b, 100);  // many batches and slices around the switch point
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
                send(b, req(texts[k], outcomes[k]));
                side[k] = !started.load() ? -1 : late ? 1 : 0;
                ++sent;
            }
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sent.load() < total / 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    started = true;
    send_then_zip(b, io::make_const_request("<ZIP>", outcomes[total].callback()));
    returned = true;
    for (auto& s : senders) s.join();
    send(b, io::make_const_request("<END>", outcomes[total + 1].callback()));
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
            EXPECT_TRUE(side[k] == 0 || (side[k] < 0) == (pass == 0)) << token;
        }
    for (int k = 0; k < total; ++k) EXPECT_EQ(1, seen[k]) << k;
    EXPECT_GE(before.size(), std::size_t(total / 2));
    expect_sent_once({}, outcomes);
}

TEST_F(Transformation, DisconnectDropsAPendingSwitch) {
    xform_ptr b = make(up_b);
    auto peer = connect(b, up_b, true);  // never read: the first batch stays in flight
    const std::string big = sample(8 << 20, 6);
    outcome ob, sw, later;
    send(b, req(big, ob));
    send_then_zip(b, io::make_const_request("1 ZIP\r\n", sw.callback()));
    send(b, io::make_const_request("2 LATER\r\n", later.callback()));
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
    send_then_zip(b, io::make_const_request("3 ZIP\r\n", late.callback()));
    EXPECT_EQ(1, late.calls.load());
    EXPECT_EQ(0, late.trues.load());
    EXPECT_EQ(0u, lines_ending(": ZLIB deflation filter added to outcoming stream"));
    EXPECT_EQ(1u, removed());
}

/// Counts the congestion reports of the layer it watches.
class water_sink : public xform_sink {
public:
    void on_send_congested() override {
        // Raised under the layer's (recursive) send lock: the count is the one
        // that crossed the mark, whatever the writer does next.
        std::size_t queued = 0;
        if (auto l = layer.lock()) queued = l->queued_bytes();
        note([&] {
            events += "C";
            at_congestion = queued;
        });
    }
    void on_send_drained() override { note([&] { events += "D"; }); }
    std::string events;
    boost::weak_ptr<io::transformation_layer> layer;
    std::size_t at_congestion = 0;
};

// What waits to be sent is counted before the outgoing filters; crossing the
// high-water mark is reported once, draining to the low-water mark once, and
// a disconnect drains whatever was still queued.
TEST_F(Transformation, CongestionIsReportedOnceAboveHighWaterAndDrainedOnceAtLowWater) {
    auto s = boost::make_shared<water_sink>();
    io::proto::text_protocol_layer_options options;
    options.send_batch_size = 64 << 10;
    options.send_high_water = 256 << 10;
    options.send_low_water = 64 << 10;
    for (bool zipped : {false, true}) {
        s->note([&] { s->events.clear(); s->connects = 0; });
        xform_ptr b = io::transformation_layer::create(pool.get_io_service(), options);
        b->set_events(s);
        s->layer = b;
        auto peer = connect(b, s, true);
        if (zipped) b->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
        // Zeros deflate to almost nothing, yet count in full.
        const std::string chunk(100 << 10, zipped ? '\0' : 'x');
        // One send of all 40: the writer cannot drain any of them before the
        // mark is crossed, however the threads are scheduled.
        auto forty = [&] {
            io::request_queue q;
            for (int i = 0; i < 40; ++i) q.push_back(io::make_const_request(chunk.data(), chunk.size()));
            return q;
        };
        send(b, forty());
        // Raised inside the send that crossed the mark.
        EXPECT_EQ('C', s->events.at(0));
        EXPECT_TRUE(s->wait([&] { return s->at_congestion > (std::size_t(256) << 10); })) << s->at_congestion;
        std::string wire;
        if (zipped) {
            io_test::zlib_inflater inflater;
            while (wire.size() < 40 * chunk.size()) wire += inflater.feed(read_exactly(*peer, 1));
        } else {
            wire = read_exactly(*peer, 40 * chunk.size());
        }
        EXPECT_TRUE(wire == std::string(40 * chunk.size(), chunk[0]));
        ASSERT_TRUE(s->wait([&] { return s->events == "CD"; })) << s->events << " zipped " << zipped;
        // Polled outside the sink's lock: the layer reports to the sink under its own.
        for (int i = 0; i < 5000 && b->queued_bytes() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(0u, b->queued_bytes());
        send(b, forty());
        ASSERT_TRUE(s->wait([&] { return s->events.compare(0, 3, "CDC") == 0; })) << s->events << " zipped " << zipped;
        // Written out or dropped by the disconnect: either way it drains once.
        b->disconnect();
        ASSERT_TRUE(s->wait([&] { return s->events == "CDCD"; }));
        EXPECT_EQ(0u, b->queued_bytes());
    }
}

/// Everything `peer` reads until the end of stream; a read error fails the test.
std::string read_to_end(tcp::socket& peer) {
    std::string all;
    for (;;) {
        char chunk[1 << 16];
        boost::system::error_code ec;
        std::size_t got = peer.read_some(boost::asio::buffer(chunk), ec);
        all.append(chunk, got);
        if (ec == boost::asio::error::eof) return all;
        EXPECT_FALSE(ec) << ec.message();
        if (ec) return all;
    }
}

// The end goes out behind everything accepted before it, compressed bytes
// flushed; what is sent after it is dropped and leaves the connection, which
// still reads, as it was.
TEST_F(Transformation, EndSendingWritesEverythingQueuedThenEndsTheStream) {
    xform_ptr b = make(up_b);
    auto peer = connect(b, up_b, true);  // read only after the end was asked for
    b->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
    // Barely compressible, and far more than the kernel holds.
    std::string noise(8 << 20, '\0');
    uint32_t x = 12345;
    for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::vector<outcome> outcomes(32);
    const std::size_t piece = noise.size() / outcomes.size();
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        send(b, io::make_const_request(noise.data() + i * piece, piece, outcomes[i].callback()));
    std::atomic<int> ended{0};
    b->end_sending([&] { ++ended; });
    b->end_sending([&] { ++ended; });
    EXPECT_EQ(0, ended.load());
    io_test::zlib_inflater inflater;
    const std::string decoded = inflater.feed(read_to_end(*peer));
    EXPECT_FALSE(inflater.broken);
    EXPECT_TRUE(decoded == noise) << decoded.size();
    ASSERT_TRUE(up_b->wait([&] { return ended.load() == 1; }));
    expect_sent_once({}, outcomes);
    outcome late;
    send(b, io::make_const_request("late", late.callback()));
    late.expect_once(false);
    char c;
    boost::system::error_code ec;
    EXPECT_EQ(0u, peer->read_some(boost::asio::buffer(&c, 1), ec));
    EXPECT_EQ(boost::asio::error::eof, ec);
    boost::asio::write(*peer, boost::asio::buffer("still read", 10));
    ASSERT_TRUE(up_b->wait([&] { return up_b->received == "still read"; }));
    EXPECT_EQ(0, up_b->disconnects);
    EXPECT_EQ(1, ended.load());
    EXPECT_EQ(1u, lines_ending(": Sending ended"));
}

}  // namespace
