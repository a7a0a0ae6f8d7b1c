// zlib filters against an independent zlib stream of the test's own: every
// batch decodable at its flush point, callbacks carried exactly once, input
// split at every position, corrupted streams refused.
#include "io/zlib_filters.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/io/test_support.h"

namespace {

using io_test::journal;
using io_test::bytes_of;

std::vector<std::size_t> block_sizes(const io::request_queue& q) {
    std::vector<std::size_t> out;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) out.push_back(r->const_buffer().size());
    return out;
}

void mark_all(io::request_queue& q) {
    for (io::request_queue::request* r = q.front(); r; r = r->next()) r->mark_as_send();
}

std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// The far end of a connection: zlib streams that owe nothing to the filters.
typedef io_test::zlib_inflater peer_inflater;
typedef io_test::zlib_deflater peer_deflater;

const std::string kSyncMarker("\x00\x00\xff\xff", 4);

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ZlibDeflateTest, CommandWithCallbackEndsAtSyncPointAndCarriesCallbackOnce) {
    io::zlib_deflate_filter deflater;
    EXPECT_STREQ("ZLIB deflation filter", deflater.name());
    journal j;
    const std::string cmd = "0 PING hello\r\n";
    io::request_queue in = io::make_const_request(cmd.data(), cmd.size(), j.callback("ping"));
    io::request_queue out = deflater.process(in);
    in.clear();
    EXPECT_TRUE(j.events.empty()) << "the callback must have left the input request";

    std::string wire = bytes_of(out);
    ASSERT_GE(wire.size(), 6u);
    EXPECT_EQ('\x78', wire[0]);  // zlib format, 32 KiB window
    EXPECT_EQ(0, (static_cast<unsigned char>(wire[0]) * 256 + static_cast<unsigned char>(wire[1])) % 31);
    EXPECT_TRUE(ends_with(wire, kSyncMarker));
    peer_inflater peer;
    EXPECT_EQ(cmd, peer.feed(wire));

    // Only the last block carries it: marking it alone reports sent.
    io::request_queue::request* last = out.front();
    while (last->next()) last = last->next();
    last->mark_as_send();
    out.clear();
    ASSERT_EQ(std::vector<std::string>{"ping:true"}, j.events);
}

TEST(ZlibDeflateTest, EveryBatchDecodesCompletelyAtItsFlushPoint) {
    std::mt19937 rng(7);
    io::zlib_deflate_filter deflater;
    peer_inflater peer;
    journal j;
    std::size_t expected_callbacks = 0;
    for (int batch = 0; batch < 120; ++batch) {
        std::vector<std::string> storage;
        io::request_queue in;
        int requests = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < requests; ++i) {
            std::size_t n = rng() % 3 == 0 ? rng() % 30000 : rng() % 200;
            storage.push_back(rng() % 2 ? random_bytes(rng, n) : std::string(n, static_cast<char>('a' + i)));
        }
        std::string sent;
        for (int i = 0; i < requests; ++i) {
            bool with_cb = rng() % 2 == 0;
            expected_callbacks += with_cb;
            in.push_back(io::make_const_request(storage[i].data(), storage[i].size(),
                                                with_cb ? j.callback("b") : io::request_callback()));
            sent += storage[i];
        }
        io::request_queue out = deflater.process(in);
        out.push_back(deflater.flush());
        in.clear();
        for (std::size_t size : block_sizes(out)) EXPECT_LE(size, 8192u);
        ASSERT_EQ(sent, peer.feed(bytes_of(out))) << "batch " << batch;
        mark_all(out);
    }
    EXPECT_EQ(expected_callbacks, j.events.size());
    for (const std::string& e : j.events) EXPECT_EQ("b:true", e);
}

TEST(ZlibDeflateTest, LargeRequestComesInFullBlocksWithCallbackOnTheLast) {
    std::mt19937 rng(3);
    const std::string data = random_bytes(rng, 100000);
    io::zlib_deflate_filter deflater;
    journal j;
    io::request_queue in = io::make_const_request(data.data(), data.size(), j.callback("big"));
    io::request_queue out = deflater.process(in);
    std::vector<std::size_t> sizes = block_sizes(out);
    ASSERT_GE(sizes.size(), 13u);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(8192u, sizes[i]);
    peer_inflater peer;
    EXPECT_EQ(data, peer.feed(bytes_of(out)));
    // Every block but the last written: the request is not through yet.
    for (io::request_queue::request* r = out.front(); r->next(); r = r->next()) r->mark_as_send();
    out.clear();
    EXPECT_EQ(std::vector<std::string>{"big:false"}, j.events);
}

TEST(ZlibDeflateTest, RequestWithoutCallbackWaitsForTheFlush) {
    io::zlib_deflate_filter deflater;
    peer_inflater peer;
    io::request_queue in = io::make_const_request("0 NOOP\r\n");
    EXPECT_EQ("", peer.feed(bytes_of(deflater.process(in))));
    io::request_queue flushed = deflater.flush();
    EXPECT_TRUE(ends_with(bytes_of(flushed), kSyncMarker));
    EXPECT_EQ("0 NOOP\r\n", peer.feed(bytes_of(flushed)));
    EXPECT_TRUE(deflater.flush().empty()) << "a flush right after a flush has nothing to say";
}

TEST(ZlibDeflateTest, CallbackWithNothingToCompressStillToldOnce) {
    io::zlib_deflate_filter deflater;
    io::request_queue first = io::make_const_request("A\r\n", io::request_callback([](bool) {}));
    io::request_queue ignored = deflater.process(first);
    journal j;
    io::request_queue empty = io::make_const_request("", 0, j.callback("empty"));
    io::request_queue out = deflater.process(empty);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(0u, out.size());
    mark_all(out);
    out.clear();
    empty.clear();
    EXPECT_EQ(std::vector<std::string>{"empty:true"}, j.events);
}

TEST(ZlibInflateTest, StreamSplitAtEveryPositionInflatesExactly) {
    std::mt19937 rng(11);
    peer_deflater peer;
    std::string plain = "0 PROTOCOL 3 COMP\r\n1 ALIVE 100 5 update\r\n" + random_bytes(rng, 700);
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
    EXPECT_STREQ("ZLIB inflation filter", inflater.name());
    io::request_queue bytewise;
    for (char& c : wire) bytewise.push_back(io::make_const_request(&c, 1));
    EXPECT_EQ(plain, bytes_of(inflater.process(bytewise)));
}

TEST(ZlibInflateTest, OutputComesInBlocksOf4096PerRequest) {
    peer_deflater peer;
    std::string wire = peer.feed(std::string(20000, 'z'));
    io::zlib_inflate_filter inflater;
    io::request_queue in = io::make_const_request(wire.data(), wire.size());
    io::request_queue out = inflater.process(in);
    EXPECT_EQ((std::vector<std::size_t>{4096, 4096, 4096, 4096, 3616}), block_sizes(out));
    EXPECT_EQ(std::string(20000, 'z'), bytes_of(out));
}

TEST(ZlibInflateTest, CorruptedStreamIsRefusedAndStaysRefused) {
    peer_deflater peer;
    std::string good = peer.feed("0 PING\r\n");
    std::string more = peer.feed("1 PING\r\n");
    io::zlib_inflate_filter inflater;
    io::request_queue first = io::make_const_request(good.data(), good.size());
    EXPECT_EQ("0 PING\r\n", bytes_of(inflater.process(first)));

    std::string bad = more;
    bad[0] = static_cast<char>(bad[0] | 0x06);  // block type 3 does not exist
    io::request_queue broken = io::make_const_request(bad.data(), bad.size());
    try {
        inflater.process(broken);
        FAIL() << "corruption not reported";
    } catch (const io::incoming_filter_error& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("cannot inflate received data because of ")) << e.what();
    }
    io::request_queue after = io::make_const_request(more.data(), more.size());
    EXPECT_THROW(inflater.process(after), io::incoming_filter_error);
}

TEST(ZlibInflateTest, GarbageAndBytesAfterStreamEndAreRefused) {
    io::zlib_inflate_filter garbage;
    io::request_queue text = io::make_const_request("0 PING\r\n");
    EXPECT_THROW(garbage.process(text), io::incoming_filter_error);

    peer_deflater peer;
    std::string wire = peer.feed("0 BYE\r\n", Z_FINISH) + "trailing";
    io::zlib_inflate_filter inflater;
    io::request_queue in = io::make_const_request(wire.data(), wire.size());
    EXPECT_THROW(inflater.process(in), io::incoming_filter_error);
}

}  // namespace
