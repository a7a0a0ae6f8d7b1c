// Whole text protocol stacks over loopback TCP: two facing each other, or one facing
// a raw socket whose bytes the test writes itself (zlib used directly).

#include <atomic>

#include <boost/asio/write.hpp>

#include "io/pool.h"
#include "io/text_protocol_layer.h"
#include "io/zlib_filters.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;
typedef io::proto::text_protocol_layer stack_layer_t;
typedef boost::shared_ptr<stack_layer_t> stack_ptr;

/// One stack's signals, recorded under a lock.
struct record : io_test::waitable {
    size_t received() {
        std::lock_guard<std::mutex> g(mutex);
        return commands.size();
    }
    int connects = 0, disconnects = 0;
    std::vector<unsigned> numbers;
    std::vector<std::string> commands, violations;
    std::string raw;
};

/// A layer and its record. The slots share the record, so events that come
/// from the pool after a test has ended still find it alive.
struct endpoint {
    explicit endpoint(const stack_ptr& l) : layer(l), rec(std::make_shared<record>()) {
        std::shared_ptr<record> r = rec;
        layer->sig_connected.connect([r](const boost::system::error_code& e) { r->note([&] { r->connects += !e; }); });
        layer->sig_disconnected.connect([r] { r->note([&] { ++r->disconnects; }); });
        layer->sig_cmd_complete.connect([r](unsigned n, const std::string& name, boost::optional<unsigned> size,
                                            const stack_layer_t::args_range& args, std::vector<char>& body) {
            r->note([&] {
                r->numbers.push_back(n);
                r->commands.push_back(name + " " + (size ? std::to_string(*size) : "-") + " [" +
                                      std::string(args.begin(), args.end()) + "] " +
                                      std::string(body.begin(), body.end()));
            });
        });
        layer->sig_violation.connect([r](const char* text) { r->note([&] { r->violations.push_back(text); }); });
        layer->sig_raw_data.connect([r](io::request_queue& q) {
            r->note([&] { r->raw += io_test::bytes_of(q); });
        });
    }
    record* operator->() const { return rec.get(); }
    stack_ptr layer;
    std::shared_ptr<record> rec;
};

using io_test::command;

std::string binary_body(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed + i / 1000) % 256);
    return s;
}

/// Adds the inflater to `e`'s incoming chain at its command named ZIP.
void inflate_from_zip(endpoint& e) {
    stack_layer_t* layer = e.layer.get();  // its own slot: the layer outlives it
    layer->sig_cmd_complete.connect([layer](unsigned, const std::string& name, boost::optional<unsigned>,
                                            const stack_layer_t::args_range&, std::vector<char>&) {
        if (name == "ZIP") layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
    });
}

/// Commands "N CMD" with a 200-byte argument, numbered from `count` on, until
/// they make at least `bytes`; `count` ends one past the last number.
std::string numbered_padded(unsigned& count, size_t bytes) {
    std::string plain;
    while (plain.size() < bytes) plain += std::to_string(count++) + " CMD " + std::string(200, 'p') + "\r\n";
    return plain;
}

class TextProtoStack : public ::testing::Test {
protected:
    stack_ptr make(uint32_t batch = 8192) {
        io::proto::text_protocol_layer_options options;
        options.send_batch_size = batch;
        return stack_layer_t::create(pool.get_io_service(), options);
    }
    /// `client` connects by its specification; returns the accepted socket.
    boost::shared_ptr<tcp::socket> connect(endpoint& client) {
        const int before = client->connects;
        auto peer = io_test::accept_dialed(pool.get_io_service(), [&](const std::string& spec) { client.layer->connect(spec); });
        EXPECT_TRUE(client->wait([&] { return client->connects == before + 1; }));
        return peer;
    }
    /// Two stacks facing each other: `server` attached to what `client` connected to.
    void pair(endpoint& client, endpoint& server) { server.layer->attach(io::accepted_socket(connect(client))); }
    io_test::log_capture log{LOG_LEVEL_TRACE3};  // first: outlives the pool's last lines
    io::pool pool{4, "tps"};
};

TEST_F(TextProtoStack, CommandsFlowBothWaysAndNumberingRestartsWithTheConnection) {
    endpoint a(make()), b(make());
    pair(b, a);
    for (int round = 0; round < 2; ++round) {
        const std::string body = binary_body(3000, round);
        io::request_queue ping = command("PING", "x"), put = command("PUT", "a  b", &body), quit = command("QUIT", "");
        a.layer->send(ping);
        a.layer->send(put);
        a.layer->send(quit);
        io::request_queue reply = command("PONG", "y");
        b.layer->send(reply);
        ASSERT_TRUE(b->wait([&] { return b->commands.size() == 3u * (round + 1); }));
        ASSERT_TRUE(a->wait([&] { return a->commands.size() == 1u * (round + 1); }));
        EXPECT_EQ("PUT 3000 [a  b] " + body, b->commands[3 * round + 1]);
        EXPECT_EQ((std::vector<unsigned>{0, 1, 2}), std::vector<unsigned>(b->numbers.begin() + 3 * round, b->numbers.end()));
        EXPECT_EQ(0u, a->numbers.back());
        if (round == 0) {
            // A new connection on the same layers: both directions number from 0 again.
            b.layer->disconnect();
            ASSERT_TRUE(a->wait([&] { return a->disconnects == 1; }));
            ASSERT_TRUE(b->wait([&] { return b->disconnects == 1; }));
            pair(b, a);
        }
    }
    EXPECT_TRUE(a->violations.empty());
    EXPECT_TRUE(b->violations.empty());
}

TEST_F(TextProtoStack, NumbersFromManySendingThreadsLeaveInOrder) {
    endpoint a(make(256)), b(make());
    pair(b, a);
    const int threads = 8, per_thread = 400;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                io::request_queue q = command("CMD", std::to_string(t) + " " + std::to_string(i));
                a.layer->send(q);
            }
        });
    for (auto& s : senders) s.join();
    // Any number out of order would have been a violation closing the connection.
    ASSERT_TRUE(b->wait([&] { return b->commands.size() == threads * per_thread || !b->violations.empty(); }));
    EXPECT_TRUE(b->violations.empty()) << b->violations.front();
    ASSERT_EQ(size_t(threads * per_thread), b->numbers.size());
    for (unsigned i = 0; i < b->numbers.size(); ++i) ASSERT_EQ(i, b->numbers[i]);
}

TEST_F(TextProtoStack, CompressionSwitchedOnBehindACommandInBothDirections) {
    endpoint a(make()), b(make());
    pair(b, a);
    // b follows a's switch and answers with its own, which leaves uncompressed.
    b.layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                          const stack_layer_t::args_range&, std::vector<char>&) {
        if (name != "ZIP") return;
        b.layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
        io::request_queue ok = command("ZIPOK", "");
        b.layer->send_then_add_outcoming_filter(ok, boost::make_shared<io::zlib_deflate_filter>());
    });
    a.layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                          const stack_layer_t::args_range&, std::vector<char>&) {
        if (name == "ZIPOK") a.layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
    });
    io::request_queue zip = command("ZIP", "");
    a.layer->send_then_add_outcoming_filter(zip, boost::make_shared<io::zlib_deflate_filter>());
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == 1; }));
    std::vector<std::string> bodies;
    for (int i = 0; i < 40; ++i) bodies.push_back(binary_body(i * 997, i));
    for (int i = 0; i < 40; ++i) {
        io::request_queue to_b = command("DATA", std::to_string(i), &bodies[i]);
        a.layer->send(to_b);
        io::request_queue to_a = command("BACK", std::to_string(i), &bodies[39 - i]);
        b.layer->send(to_a);
    }
    ASSERT_TRUE(b->wait([&] { return b->commands.size() == 41 || !b->violations.empty(); }));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == 41 || !a->violations.empty(); }));
    EXPECT_TRUE(a->violations.empty());
    EXPECT_TRUE(b->violations.empty());
    for (int i = 0; i < 40; ++i) {
        const std::string size = bodies[i].empty() ? "0" : std::to_string(bodies[i].size());
        EXPECT_EQ("DATA " + size + " [" + std::to_string(i) + "] " + bodies[i], b->commands[i + 1]);
    }
    EXPECT_EQ("BACK 0 [39] ", a->commands.back());
}

using io_test::zlib_deflate;

// The outgoing side against an independent zlib is the transformation layer's test.
TEST_F(TextProtoStack, IncomingCompressedCommandsAreParsedAndACorruptStreamEndsTheConnection) {
    endpoint a(make());
    boost::shared_ptr<tcp::socket> peer = connect(a);
    a.layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
    boost::asio::write(*peer, boost::asio::buffer(zlib_deflate({"0 HELLO x\r\n1 PUT T3\r\na", "bc\r\n"})));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"HELLO - [x] ", "PUT 3 [] abc"}), a->commands);
    // A corrupt stream delivers nothing more and ends the connection.
    boost::asio::write(*peer, boost::asio::buffer(std::string("\xff\xfe garbage 2 LOST\r\n", 19)));
    ASSERT_TRUE(a->wait([&] { return a->disconnects == 1; }));
    EXPECT_EQ(2u, a->received());
    ASSERT_EQ(1u, a->violations.size());
    EXPECT_NE(std::string::npos, a->violations[0].find("cannot inflate")) << a->violations[0];
}

TEST_F(TextProtoStack, SwitchesInsideOneReadTakeEffectAtTheirCommand) {
    endpoint a(make());
    boost::shared_ptr<tcp::socket> peer = connect(a);
    a.layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                          const stack_layer_t::args_range&, std::vector<char>&) {
        if (name == "ZIP") a.layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
        if (name == "UP") a.layer->disable_parser();
    });
    const std::string tail("3 AFTER\r\n\0raw", 14);
    // One write, so both switches usually fall inside a single read; where the
    // read splits instead, the filter's stream goes on in the chain below.
    boost::asio::write(*peer,
                       boost::asio::buffer("0 ZIP\r\n" + zlib_deflate({"1 DATA T5\r\nhello\r\n2 UP\r\n", tail})));
    ASSERT_TRUE(a->wait([&] { return a->raw.size() >= tail.size() || !a->violations.empty(); }));
    EXPECT_EQ(tail, a->raw);
    EXPECT_EQ((std::vector<std::string>{"ZIP - [] ", "DATA 5 [] hello", "UP - [] "}), a->commands);
    EXPECT_TRUE(a->violations.empty());
}

TEST_F(TextProtoStack, RawModeAfterAProtocolSwitch) {
    endpoint a(make()), b(make());
    pair(b, a);
    b.layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                          const stack_layer_t::args_range&, std::vector<char>&) {
        if (name != "UPGRADE") return;
        b.layer->disable_parser();
        io::request_queue raw = io::make_cloned_request("raw from b\r\n");
        b.layer->send(raw);  // raw mode: not numbered
    });
    io::request_queue up = command("UPGRADE", "");
    a.layer->send_then_disable_parser(up);
    ASSERT_TRUE(a->wait([&] { return a->raw == "raw from b\r\n"; }));
    io::request_queue back = io::make_cloned_request("0 NOT A COMMAND\r\n");
    a.layer->send(back);
    ASSERT_TRUE(b->wait([&] { return b->raw == "0 NOT A COMMAND\r\n"; }));
    EXPECT_EQ(std::vector<std::string>{"UPGRADE - [] "}, b->commands);
    EXPECT_TRUE(a->commands.empty());
}

// A filter added by a command in the middle of a read inflates the rest of
// that read to several steps: all of it is parsed without the peer sending more.
TEST_F(TextProtoStack, RestInflatedByAFilterAddedMidReadIsParsedWithoutMoreInput) {
    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = 1 << 16;  // the whole write in one read
    endpoint a(stack_layer_t::create(pool.get_io_service(), options));
    boost::shared_ptr<tcp::socket> peer = connect(a);
    inflate_from_zip(a);
    unsigned count = 1;
    const std::string plain = numbered_padded(count, 6 * io::zlib_inflate_filter::step_bytes);
    const std::string wire = "0 ZIP\r\n" + zlib_deflate({plain});
    ASSERT_LT(wire.size(), options.read_buffer_size);
    boost::asio::write(*peer, boost::asio::buffer(wire));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == count || !a->violations.empty(); }, 10))
        << a->received() << " of " << count;
    EXPECT_TRUE(a->violations.empty());
    EXPECT_EQ(count - 1, a->numbers.back());
}

// A peer that half-closes behind compressed commands while the partner's
// backlog holds its reading back: its end lets the socket be read, but the
// inflater's rest goes up only once the backlog lets it, then the end.
TEST_F(TextProtoStack, FinishedPeersInflatedRestWaitsForThePartnersBacklog) {
    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = 1 << 16;  // the whole write in one read
    options.half_close = true;
    endpoint a(stack_layer_t::create(pool.get_io_service(), options));
    std::atomic<int> ends{0};
    a.layer->set_read_end_handler([&] { ++ends; });
    boost::shared_ptr<tcp::socket> peer = connect(a);
    inflate_from_zip(a);
    unsigned count = 1;
    const std::string plain = numbered_padded(count, 16 * io::zlib_inflate_filter::step_bytes);
    const std::string wire = "0 ZIP\r\n" + zlib_deflate({plain});
    ASSERT_LT(wire.size(), options.read_buffer_size);
    // The partner's backlog holds reading back; the read under way brings the write.
    a.layer->pause_reading(io::pause_peer_backlog);
    boost::asio::write(*peer, boost::asio::buffer(wire));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() > 1; }, 10));
    peer->shutdown(tcp::socket::shutdown_send);
    // The watch sees the end; a resume of another reason asks for the rest.
    std::this_thread::sleep_for(
        3 * std::chrono::milliseconds(io::transport_layer::peer_watch_interval.total_milliseconds()));
    a.layer->resume_reading(io::pause_own_backlog);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t held = a->received();
    EXPECT_LT(held, count / 4) << "inflated past the backlog";
    EXPECT_EQ(0, ends.load());
    a.layer->resume_reading(io::pause_peer_backlog);
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == count; }, 10)) << a->received() << " of " << count;
    ASSERT_TRUE(a->wait([&] { return ends.load() == 1; }, 10));
    EXPECT_TRUE(a->violations.empty());
    a.layer->disconnect();
}

class TextProtoRefused : public ::testing::Test {
protected:
    /// `client` connects by its specification; returns the accepted socket.
    boost::shared_ptr<tcp::socket> connect(endpoint& client) {
        auto peer = io_test::accept_dialed(pool.get_io_service(), [&](const std::string& spec) { client.layer->connect(spec); });
        EXPECT_TRUE(client->wait([&] { return client->connects == 1; }));
        return peer;
    }
    /// A finished peer whose end has been read while its inflated rest
    /// waits for the partner's backlog (and, with `own_backlog`, for the
    /// answers it asked for, which will never leave), and whose system then
    /// refuses what is written to it: it closed for good. What it sent
    /// before its end is no less its own: the rest still goes up at the
    /// partner's pace, then the end, and only then does the connection go.
    void run(bool own_backlog);
    // The transport's own lines tell when the end was read and a write
    // refused; first, so that the pool's threads never see it change.
    io_test::log_capture log{LOG_LEVEL_DEBUG3};
    io::pool pool{4, "tpr"};
};

TEST_F(TextProtoRefused, WriteBehindAReadEndKeepsTheInflatedRest) { run(false); }

TEST_F(TextProtoRefused, WriteBehindAReadEndLeavesNoOwnBacklogHoldingTheRest) { run(true); }

void TextProtoRefused::run(bool own_backlog) {
    const auto logged = [&](const std::string& text) {
        for (const std::string& m : log.messages())
            if (m.find(text) != std::string::npos) return true;
        return false;
    };
    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = 1 << 16;  // the whole write in one read
    options.half_close = true;
    endpoint a(stack_layer_t::create(pool.get_io_service(), options));
    std::atomic<int> ends{0};
    std::atomic<size_t> received_at_end{0};
    a.layer->set_read_end_handler([&] {
        received_at_end = a->received();
        ++ends;
    });
    boost::shared_ptr<tcp::socket> peer = connect(a);
    inflate_from_zip(a);
    // The read under way from the start takes the first command and the
    // one started behind it the second; the partner's backlog holds the
    // next one back.
    boost::asio::write(*peer, boost::asio::buffer(std::string("0 NOP\r\n")));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == 1; }, 10));
    a.layer->pause_reading(io::pause_peer_backlog);
    if (own_backlog) a.layer->pause_reading(io::pause_own_backlog);
    boost::asio::write(*peer, boost::asio::buffer(std::string("1 NOP\r\n")));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == 2; }, 10));
    unsigned count = 3;
    const std::string plain = numbered_padded(count, 16 * io::zlib_inflate_filter::step_bytes);
    const std::string wire = "2 ZIP\r\n" + zlib_deflate({plain});
    ASSERT_LT(wire.size(), options.read_buffer_size);
    boost::asio::write(*peer, boost::asio::buffer(wire));
    peer->shutdown(tcp::socket::shutdown_send);
    // The watch finds the end behind every byte: one read takes them all,
    // and the read started before the rest is handed on takes the end.
    ASSERT_TRUE(a->wait([&] { return logged(": Peer ended its sending"); }, 10));
    EXPECT_EQ(0, ends.load());
    // Closed with nothing unread: its system answers the next bytes with a
    // reset, and a write after that fails.
    peer->close();
    for (int i = 0; i < 500 && !logged("Send operation failed"); ++i) {
        io::request_queue late = command("LATE", "");
        a.layer->send(late);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(logged("Send operation failed"));
    // Answers to it are dropped from here on, not queued: the connection
    // stays for the rest, and these could only pile up.
    auto told = std::make_shared<std::atomic<int>>(0);
    io::request_queue dropped = io::make_const_request("9 LATE\r\n", [told](bool sent) { *told += sent ? 2 : 1; });
    a.layer->send(dropped);
    EXPECT_TRUE(a->wait([&] { return told->load() == 1; }, 5)) << "told " << told->load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(a->wait([&] { return a->disconnects == 0; }, 1)) << "the rest went with the connection";
    EXPECT_LT(a->received(), count / 4) << "inflated past the backlog";
    EXPECT_EQ(0, ends.load());
    a.layer->resume_reading(io::pause_peer_backlog);
    EXPECT_TRUE(a->wait([&] { return a->commands.size() == count; }, 10)) << a->received() << " of " << count;
    ASSERT_TRUE(a->wait([&] { return ends.load() == 1; }, 10));
    EXPECT_EQ(count, received_at_end.load());
    // It goes by itself once its end went up: nothing can be written to it.
    ASSERT_TRUE(a->wait([&] { return a->disconnects == 1; }, 10));
    EXPECT_FALSE(a.layer->peer_reset());
    EXPECT_TRUE(a->violations.empty());
}

/// `count` numbered commands named `name`, from number `first` on.
std::string numbered(const char* name, unsigned first, unsigned count) {
    std::string out;
    for (unsigned i = first; i < first + count; ++i) out += std::to_string(i) + " " + name + "\r\n";
    return out;
}

class TextProtoBacklog : public TextProtoStack {
protected:
    /// A layer whose send queue is congested above 32 KiB; reads of 64 bytes
    /// bring a few commands each.
    stack_ptr make_small() {
        io::proto::text_protocol_layer_options options;
        options.send_high_water = 32 << 10;
        options.send_low_water = 8 << 10;
        options.read_buffer_size = 64;
        return stack_layer_t::create(pool.get_io_service(), options);
    }
    /// `from` answers (or sends) 16 KiB on `to` for every command named `name`.
    void answer_on(endpoint& from, endpoint& to, const char* name) {
        // Held weakly: the recorder's slot runs before this one, so a test
        // may already be tearing `to` down while `from` still answers its
        // last command.
        boost::weak_ptr<stack_layer_t> weak_target = to.layer;
        from.layer->sig_cmd_complete.connect([weak_target, name](unsigned, const std::string& got,
                                                                 boost::optional<unsigned>,
                                                                 const stack_layer_t::args_range&, std::vector<char>&) {
            static const std::string answer(16 << 10, 'a');
            if (got != name) return;
            stack_ptr target = weak_target.lock();
            if (!target) return;
            io::request_queue q = io::make_const_request(answer.data(), answer.size());
            target->send(q);
        });
    }
    /// A connected peer socket whose receive window stays small.
    boost::shared_ptr<tcp::socket> connect_small(endpoint& client) {
        auto peer = io_test::accept_dialed(
            pool.get_io_service(), [&](const std::string& spec) { client.layer->connect(spec); }, true);
        EXPECT_TRUE(client->wait([&] { return client->connects == 1; }));
        return peer;
    }
};

// A peer whose commands are answered on its own connection but who reads
// none of the answers is read no more once they are above the mark, and
// read again once it takes them.
TEST_F(TextProtoBacklog, AnsweredPeerThatReadsNothingIsHeldBackUntilItTakesTheAnswers) {
    const unsigned total = 2000;
    endpoint a(make_small());
    answer_on(a, a, "Q");
    auto peer = connect_small(a);
    boost::asio::write(*peer, boost::asio::buffer(numbered("Q", 0, total)));
    // Held back for a moment whenever the kernel has yet to take the answers;
    // for good once it holds no more of them.
    bool held = false;
    for (int i = 0; i < 30 && !held; ++i) {
        const size_t before = a->received();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held = a.layer->reading_paused() && a->received() == before;
    }
    EXPECT_TRUE(held);
    EXPECT_LT(a->received(), total);
    std::thread reader([&] {
        char chunk[1 << 16];
        boost::system::error_code ec;
        while (!ec) peer->read_some(boost::asio::buffer(chunk), ec);
    });
    EXPECT_TRUE(a->wait([&] { return a->commands.size() == total; }, 20)) << a->received();
    a.layer->disconnect();
    reader.join();
    EXPECT_TRUE(a->violations.empty());
}

// Sends relayed from another connection's commands hold neither that
// connection nor the congested one back: both peers are read to the end.
TEST_F(TextProtoBacklog, RelayedSendsHoldNoConnectionBack) {
    const unsigned total = 1000;
    endpoint a(make_small()), r(make_small());
    answer_on(r, a, "R");
    auto peer_a = connect_small(a);  // never reads: a stays congested
    auto peer_r = connect(r);
    boost::asio::write(*peer_r, boost::asio::buffer(numbered("R", 0, total)));
    ASSERT_TRUE(r->wait([&] { return r->commands.size() == total; }, 10)) << r->received();
    EXPECT_FALSE(r.layer->reading_paused());
    boost::asio::write(*peer_a, boost::asio::buffer(numbered("N", 0, total)));
    ASSERT_TRUE(a->wait([&] { return a->commands.size() == total; }, 10)) << a->received();
    EXPECT_FALSE(a.layer->reading_paused());
    a.layer->disconnect();
}

}  // namespace
