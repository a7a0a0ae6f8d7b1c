// zlib filters against an independent zlib stream of the test's own.
#include "io/zlib_filters.h"

#include <random>

#include "tests/io/test_support.h"

namespace {

using io_test::bytes_of;
using io_test::journal;
// The far end of a connection: zlib streams that owe nothing to the filters.
typedef io_test::zlib_inflater peer_inflater;
typedef io_test::zlib_deflater peer_deflater;

std::vector<std::size_t> block_sizes(const io::request_queue& q) {
    std::vector<std::size_t> out;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) out.push_back(r->const_buffer().size());
    return out;
}

/// Marks every request as written, or every one but the last.
void mark(io::request_queue& q, bool last_too = true) {
    for (io::request_queue::request* r = q.front(); r; r = r->next())
        if (last_too || r->next()) r->mark_as_send();
}

std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

bool ends_at_sync_point(const std::string& s) {
    return s.size() >= 4 && s.compare(s.size() - 4, 4, std::string("\x00\x00\xff\xff", 4)) == 0;
}

TEST(ZlibDeflateTest, RequestWithCallbackEndsAtSyncPointInFullBlocksCallbackOnTheLast) {
    std::mt19937 rng(3);
    for (const std::string& data : {std::string("0 PING hello\r\n"), random_bytes(rng, 100000)}) {
        io::zlib_deflate_filter deflater;
        journal j;
        io::request_queue in = io::make_const_request(data.data(), data.size(), j.callback("cmd"));
        io::request_queue out = deflater.process(in);
        in.clear();
        EXPECT_TRUE(j.events.empty()) << "the callback must have left the input request";
        const std::string wire = bytes_of(out);
        EXPECT_TRUE(ends_at_sync_point(wire));
        const std::vector<std::size_t> sizes = block_sizes(out);
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(8192u, sizes[i]);
        peer_inflater peer;
        EXPECT_EQ(data, peer.feed(wire));
        // Only the last block carries it: all but the last written is not yet sent.
        mark(out, data.size() < 100);
        out.clear();
        EXPECT_EQ(std::vector<std::string>{data.size() < 100 ? "cmd:true" : "cmd:false"}, j.events);
    }
}

TEST(ZlibDeflateTest, EveryBatchDecodesCompletelyAtItsFlushPoint) {
    std::mt19937 rng(7);
    io::zlib_deflate_filter deflater;
    peer_inflater peer;
    journal j;
    std::size_t expected_callbacks = 0;
    for (int batch = 0; batch < 40; ++batch) {
        std::vector<std::string> storage;
        for (int i = 0, requests = 1 + static_cast<int>(rng() % 6); i < requests; ++i) {
            std::size_t n = rng() % 3 == 0 ? rng() % 30000 : rng() % 200;
            storage.push_back(rng() % 2 ? random_bytes(rng, n) : std::string(n, static_cast<char>('a' + i)));
        }
        io::request_queue in;
        std::string sent;
        for (const std::string& part : storage) {
            const bool with_cb = rng() % 2 == 0;
            expected_callbacks += with_cb;
            in.push_back(
                io::make_const_request(part.data(), part.size(), with_cb ? j.callback("b") : io::request_callback()));
            sent += part;
        }
        io::request_queue out = deflater.process(in);
        out.push_back(deflater.flush());
        in.clear();
        for (std::size_t size : block_sizes(out)) EXPECT_LE(size, 8192u);
        ASSERT_EQ(sent, peer.feed(bytes_of(out))) << "batch " << batch;
        mark(out);
    }
    EXPECT_EQ(expected_callbacks, j.events.size());
    for (const std::string& e : j.events) EXPECT_EQ("b:true", e);
}

TEST(ZlibDeflateTest, RequestWithoutCallbackWaitsForTheFlushAndAnEmptyOneIsStillTold) {
    io::zlib_deflate_filter deflater;
    peer_inflater peer;
    io::request_queue in = io::make_const_request("0 NOOP\r\n");
    EXPECT_EQ("", peer.feed(bytes_of(deflater.process(in))));
    io::request_queue flushed = deflater.flush();
    EXPECT_TRUE(ends_at_sync_point(bytes_of(flushed)));
    EXPECT_EQ("0 NOOP\r\n", peer.feed(bytes_of(flushed)));
    EXPECT_TRUE(deflater.flush().empty()) << "a flush right after a flush has nothing to say";
    // A callback with nothing to compress behind it is still carried and told once.
    journal j;
    io::request_queue empty = io::make_const_request("", 0, j.callback("empty"));
    io::request_queue out = deflater.process(empty);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(0u, out.size());
    mark(out);
    out.clear();
    empty.clear();
    EXPECT_EQ(std::vector<std::string>{"empty:true"}, j.events);
}

TEST(ZlibInflateTest, StreamSplitAtEveryPositionInflatesExactly) {
    std::mt19937 rng(11);
    peer_deflater peer;
    const std::string plain =
        "0 PROTOCOL 3 COMP\r\n1 ALIVE 100 5 update\r\n" + random_bytes(rng, 700) + std::string(20000, 'z');
    std::string wire = peer.feed(plain.substr(0, 300));
    wire += peer.feed(plain.substr(300));
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        io::zlib_inflate_filter inflater;
        io::request_queue a = io::make_const_request(wire.data(), cut);
        io::request_queue b = io::make_const_request(wire.data() + cut, wire.size() - cut);
        std::string got = bytes_of(inflater.process(a));
        got += bytes_of(inflater.process(b));
        ASSERT_EQ(plain, got) << "cut at " << cut;
    }
    io::zlib_inflate_filter inflater;
    io::request_queue bytewise;
    for (char& c : wire) bytewise.push_back(io::make_const_request(&c, 1));
    EXPECT_EQ(plain, bytes_of(inflater.process(bytewise)));
}

TEST(ZlibInflateTest, CorruptGarbageAndTrailingBytesAreRefusedAndStayRefused) {
    peer_deflater peer;
    std::string good = peer.feed("0 PING\r\n"), more = peer.feed("1 PING\r\n");
    io::zlib_inflate_filter inflater;
    io::request_queue first = io::make_const_request(good.data(), good.size());
    EXPECT_EQ("0 PING\r\n", bytes_of(inflater.process(first)));
    std::string bad = more;
    bad[0] = static_cast<char>(bad[0] | 0x06);  // block type 3 does not exist
    io::request_queue broken = io::make_const_request(bad.data(), bad.size());
    EXPECT_THROW(inflater.process(broken), io::incoming_filter_error);
    io::request_queue after = io::make_const_request(more.data(), more.size());
    EXPECT_THROW(inflater.process(after), io::incoming_filter_error);
    peer_deflater ending;
    for (const std::string& wire : {std::string("0 PING\r\n"), ending.feed("0 BYE\r\n", Z_FINISH) + "trailing"}) {
        io::zlib_inflate_filter fresh;
        io::request_queue in = io::make_const_request(wire.data(), wire.size());
        EXPECT_THROW(fresh.process(in), io::incoming_filter_error) << wire;
    }
}

// A few kilobytes on the wire may inflate to megabytes: each call gives at
// most one step (plus one inflation area), keeps the rest, and input that
// arrives meanwhile follows the held bytes in order.
TEST(ZlibInflateTest, EachCallGivesAtMostOneStepAndTheRestFollowsInOrder) {
    const std::size_t step = io::zlib_inflate_filter::step_bytes;
    std::mt19937 rng(5);
    const std::string zeros(4 << 20, '\0'), tail = random_bytes(rng, 200000);
    peer_deflater peer;
    const std::string bomb = peer.feed(zeros), rest = peer.feed(tail);
    ASSERT_LT(bomb.size(), 64u << 10);
    io::zlib_inflate_filter inflater;
    std::string out;
    std::size_t calls = 0;
    for (const std::string* wire : {&bomb, &rest}) {
        io::request_queue in = io::make_const_request(wire->data(), wire->size());
        do {
            io::request_queue piece = inflater.process(in);
            in.clear();
            EXPECT_LE(piece.size(), step + 4096);
            out += bytes_of(piece);
            ++calls;
        } while (inflater.has_pending() && out.size() < zeros.size() / 2);
    }
    // Halfway through the zeros the rest of the stream came in; it waits its turn.
    while (inflater.has_pending()) {
        io::request_queue none;
        io::request_queue piece = inflater.process(none);
        EXPECT_LE(piece.size(), step + 4096);
        out += bytes_of(piece);
        ++calls;
    }
    EXPECT_TRUE(out == zeros + tail);
    EXPECT_GE(calls, (zeros.size() + tail.size()) / (step + 4096));
}

}  // namespace
