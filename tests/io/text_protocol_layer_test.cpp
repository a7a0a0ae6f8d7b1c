// The text protocol parser driven by deliveries alone: frames fed as crafted
// request queues, split at every position, with every framing violation and
// every body sink, and the switches that command slots make in the middle of
// a delivery. No socket is opened, a violation's disconnect finds none;
// only the body limit's case runs on loopback, to see the connection end.
#include "io/text_protocol_layer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/write.hpp>
#include <boost/iostreams/device/mapped_file.hpp>
#include <boost/make_shared.hpp>

#include "io/pool.h"
#include "io/zlib_filters.h"
#include "tests/io/test_support.h"

namespace {

typedef boost::shared_ptr<io::proto::text_protocol_layer> layer_ptr;
typedef io::proto::text_protocol_layer layer_t;

/// Every signal of one layer as text lines, bodies included.
struct recorder {
    explicit recorder(const layer_ptr& layer) {
        layer->sig_cmd_begin.connect([this](unsigned n, const std::string& name, boost::optional<unsigned> size,
                                            const layer_t::args_range& args) {
            events.push_back("begin " + describe(n, name, size, args));
        });
        layer->sig_cmd_complete.connect([this](unsigned n, const std::string& name, boost::optional<unsigned> size,
                                               const layer_t::args_range& args, std::vector<char>& body) {
            events.push_back("complete " + describe(n, name, size, args) + " {" +
                             std::string(body.begin(), body.end()) + "}");
        });
        layer->sig_cmd_progress.connect([this](unsigned size, unsigned got) { progress.emplace_back(size, got); });
        layer->sig_violation.connect([this](const char* text) { violations.push_back(text); });
        layer->sig_raw_data.connect([this](io::request_queue& q) {
            for (auto* r = q.front(); r; r = r->next())
                raw.append(static_cast<const char*>(r->const_buffer().data()), r->const_buffer().size());
        });
    }
    static std::string describe(unsigned n, const std::string& name, boost::optional<unsigned> size,
                                const layer_t::args_range& args) {
        return std::to_string(n) + " " + name + " " + (size ? std::to_string(*size) : "-") + " [" +
               std::string(args.begin(), args.end()) + "]";
    }
    std::vector<std::string> events;
    std::vector<std::pair<unsigned, unsigned>> progress;
    std::vector<std::string> violations;
    std::string raw;
};

class TextProtoParser : public ::testing::Test {
protected:
    layer_ptr make() { return layer_t::create(service, io::proto::text_protocol_layer_options()); }
    /// One delivery whose requests are the given pieces.
    static void deliver(const layer_ptr& layer, const std::vector<std::string>& pieces) {
        io::request_queue q;
        for (const std::string& p : pieces) q.push_back(io::make_cloned_request(p.data(), p.size()));
        layer->on_data_arrived(q);
    }
    static void deliver(const layer_ptr& layer, const std::string& bytes) { deliver(layer, std::vector<std::string>{bytes}); }
    /// `bytes` cut at `cut`: two requests of one delivery, or two deliveries.
    static void deliver_cut(const layer_ptr& layer, const std::string& bytes, size_t cut, bool same_delivery) {
        if (same_delivery) return deliver(layer, std::vector<std::string>{bytes.substr(0, cut), bytes.substr(cut)});
        deliver(layer, bytes.substr(0, cut));
        deliver(layer, bytes.substr(cut));
    }

    boost::asio::io_service service;
};

const std::string sample_frames = "0 PING\r\n1 GET N x\r\n2 PUT T3 a  b\r\nxyz\r\n3 ZIP\tT0\r\n";
const std::vector<std::string> sample_events = {
    "begin 0 PING - []",           "complete 0 PING - [] {}",         "begin 1 GET 0 [x]",
    "complete 1 GET 0 [x] {}",     "begin 2 PUT 3 [a  b]",            "complete 2 PUT 3 [a  b] {xyz}",
    "begin 3 ZIP 0 []",            "complete 3 ZIP 0 [] {}"};

TEST_F(TextProtoParser, FramesSplitAtEveryPositionGiveTheSameCommands) {
    for (size_t cut = 0; cut <= sample_frames.size(); ++cut) {
        for (int same_delivery = 0; same_delivery < 2; ++same_delivery) {
            layer_ptr layer = make();
            recorder rec(layer);
            deliver_cut(layer, sample_frames, cut, same_delivery);
            EXPECT_EQ(sample_events, rec.events) << "cut at " << cut;
            EXPECT_TRUE(rec.violations.empty()) << "cut at " << cut;
            ASSERT_FALSE(rec.progress.empty());
            EXPECT_EQ(std::make_pair(3u, 3u), rec.progress.back());
            for (size_t i = 1; i < rec.progress.size(); ++i) EXPECT_LT(rec.progress[i - 1].second, rec.progress[i].second);
        }
    }
    // One request per byte: each body byte raises its own progress.
    layer_ptr layer = make();
    recorder rec(layer);
    std::vector<std::string> bytes;
    for (char c : sample_frames) bytes.push_back(std::string(1, c));
    deliver(layer, bytes);
    EXPECT_EQ(sample_events, rec.events);
    EXPECT_EQ((std::vector<std::pair<unsigned, unsigned>>{{3, 1}, {3, 2}, {3, 3}}), rec.progress);
}

TEST_F(TextProtoParser, SecondTokensThatAreNoSizeMarkerAreArgumentsAndZerosLeadUpToTheBound) {
    layer_ptr layer = make();
    recorder rec(layer);
    deliver(layer, "0 A T\r\n1 B Tx 1\r\n2 C NN\r\n3 D T5x\r\n4 E T0 z\r\n00005 \t NAME \t \r\n0000000000000006 F\r\n");
    EXPECT_EQ((std::vector<std::string>{"begin 0 A - [T]", "complete 0 A - [T] {}", "begin 1 B - [Tx 1]",
                                        "complete 1 B - [Tx 1] {}", "begin 2 C - [NN]", "complete 2 C - [NN] {}",
                                        "begin 3 D - [T5x]", "complete 3 D - [T5x] {}", "begin 4 E 0 [z]",
                                        "complete 4 E 0 [z] {}", "begin 5 NAME - []", "complete 5 NAME - [] {}",
                                        "begin 6 F - []", "complete 6 F - [] {}"}),
              rec.events);
    EXPECT_TRUE(rec.violations.empty());
}

/// A frame and the one violation it must raise.
struct violation_case {
    std::string bytes;
    std::string message;
};

TEST_F(TextProtoParser, ViolationsStopTheDeliveryAndResetTheParser) {
    const std::vector<violation_case> cases = {
        {"1 A\r\n0 B\r\n", "invalid sequence number 1, must be 0"},
        {"abc A\r\n", "cannot convert sequence number \"abc\" to uint"},
        {" A\r\n", "cannot convert sequence number \"\" to uint"},
        {"0 \r\n", "empty request without even command name"},
        {"0  \t \x0b\r\n", "empty request without even command name"},
        {"0 A\rX\r\n", "didn`t got \\n symbol after \\r"},
        {"0 A T2\r\nxyZ\r\n", "didn`t got \\r after command body"},
        {"0 A T2\r\nxy\rZ\n", "didn`t got \\n after command body"},
        {"00000000000000000 A\r\n", "sequence number longer than 16 characters"},
    };
    for (const violation_case& c : cases) {
        for (size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            layer_ptr layer = make();
            recorder rec(layer);
            deliver(layer, c.bytes.substr(0, cut));
            // A violation closes the connection: no later delivery would come.
            if (rec.violations.empty()) deliver(layer, c.bytes.substr(cut));
            ASSERT_EQ(1u, rec.violations.size()) << c.bytes << " cut at " << cut;
            EXPECT_EQ(c.message, rec.violations[0]);
            for (const std::string& e : rec.events) EXPECT_EQ(std::string::npos, e.find("complete")) << e;
            // The disconnect that follows a violation starts both numberings over.
            layer->on_disconnect();
            rec.events.clear();
            deliver(layer, "0 OK\r\n");
            EXPECT_EQ((std::vector<std::string>{"begin 0 OK - []", "complete 0 OK - [] {}"}), rec.events);
        }
    }
}

TEST_F(TextProtoParser, HeaderOfMaximumSizeIsAcceptedOneMoreIsNot) {
    const std::string name = "N" + std::string(16383, 'x');
    layer_ptr layer = make();
    recorder rec(layer);
    deliver(layer, "0 " + name + "\r\n");
    ASSERT_EQ(2u, rec.events.size());
    EXPECT_TRUE(rec.violations.empty());

    // 16385 header bytes pass; the violation comes with the next byte, whichever delivery brings it.
    deliver(layer, "1 " + name + "y");
    EXPECT_TRUE(rec.violations.empty());
    deliver(layer, "\r\n2 LOST\r\n");
    EXPECT_EQ(std::vector<std::string>{"command header exceed maximum header size"}, rec.violations);
    EXPECT_EQ(2u, rec.events.size());
}

TEST_F(TextProtoParser, RejectedCommandsAreReportedAndParsingGoesOn) {
    layer_ptr layer = make();
    recorder rec(layer);
    layer->sig_cmd_begin.connect([](unsigned, const std::string& name, boost::optional<unsigned>,
                                    const layer_t::args_range&) {
        if (name == "BADBEGIN") D_THROW(io::proto::text_protocol_error, "bad begin %d", 1);
    });
    layer->sig_cmd_complete.connect([](unsigned, const std::string& name, boost::optional<unsigned>,
                                       const layer_t::args_range&, std::vector<char>&) {
        if (name == "BADEND") D_THROW(io::proto::text_protocol_error, "bad end");
    });
    deliver(layer, "0 BADEND\r\n1 BADBEGIN T2\r\nok\r\n2 FINE\r\n");
    EXPECT_EQ((std::vector<std::string>{"bad end", "bad begin 1"}), rec.violations);
    EXPECT_EQ("complete 1 BADBEGIN 2 [] {ok}", rec.events[3]);
    EXPECT_EQ("complete 2 FINE - [] {}", rec.events.back());
}

TEST_F(TextProtoParser, OtherErrorsLeaveTheLayerAfterAReset) {
    layer_ptr layer = make();
    recorder rec(layer);
    layer->sig_cmd_begin.connect([](unsigned, const std::string& name, boost::optional<unsigned>,
                                    const layer_t::args_range&) {
        if (name == "BOOM") throw std::logic_error("boom");
    });
    EXPECT_THROW(deliver(layer, "0 BOOM T5\r\nab"), std::logic_error);
    deliver(layer, "1 AFTER\r\n");
    EXPECT_EQ("complete 1 AFTER - [] {}", rec.events.back());
    EXPECT_TRUE(rec.violations.empty());
}

/// Frames ending with a command whose slot turns the parser off, and the signals they raise.
struct raw_switch_case {
    std::string frames;
    std::vector<std::string> events;
};

/// Turns the parser off from the slots: UP and SEND at completion, UPB at the beginning.
void switch_in_slots(const layer_ptr& owner) {
    layer_t* layer = owner.get();  // the layer raises these slots; a shared pointer would keep it forever
    layer->sig_cmd_begin.connect([layer](unsigned, const std::string& name, boost::optional<unsigned>,
                                         const layer_t::args_range&) {
        if (name == "UPB") layer->disable_parser();
    });
    layer->sig_cmd_complete.connect([layer](unsigned, const std::string& name, boost::optional<unsigned>,
                                            const layer_t::args_range&, std::vector<char>&) {
        if (name == "UP") layer->disable_parser();
        if (name != "SEND") return;
        io::request_queue reply = io::make_cloned_request("OK\r\n");
        layer->send_then_disable_parser(reply);
    });
}

TEST_F(TextProtoParser, BytesAfterTheSwitchingCommandPassRawWhereverTheDeliveriesSplit) {
    const std::vector<raw_switch_case> cases = {
        {"0 A\r\n1 UP\r\n", {"begin 0 A - []", "complete 0 A - [] {}", "begin 1 UP - []", "complete 1 UP - [] {}"}},
        {"0 UP T4\r\n\r\n\r\n\r\n", {"begin 0 UP 4 []", "complete 0 UP 4 [] {\r\n\r\n}"}},
        {"0 UPB x\r\n", {"begin 0 UPB - [x]", "complete 0 UPB - [x] {}"}},
        {"0 SEND\r\n", {"begin 0 SEND - []", "complete 0 SEND - [] {}"}},
    };
    const std::vector<std::string> tails = {"2 LOOKS LIKE A COMMAND\r\n3 B\r\n", "\r\n\r\n\n",
                                            std::string("\0\xff\r\x01 T3\r\n\x9c", 11)};
    for (const raw_switch_case& c : cases) {
        for (const std::string& tail : tails) {
            const std::string bytes = c.frames + tail;
            for (size_t cut = 0; cut <= bytes.size(); ++cut) {
                for (int same_delivery = 0; same_delivery < 2; ++same_delivery) {
                    layer_ptr layer = make();
                    switch_in_slots(layer);
                    recorder rec(layer);
                    deliver_cut(layer, bytes, cut, same_delivery);
                    const std::string where = c.frames + " cut at " + std::to_string(cut);
                    EXPECT_EQ(c.events, rec.events) << where;
                    EXPECT_EQ(tail, rec.raw) << where;
                    EXPECT_TRUE(rec.violations.empty()) << where;
                }
            }
        }
    }
}

TEST_F(TextProtoParser, FilterAddedByASlotInflatesTheRestOfTheDelivery) {
    const std::string raw_tail("raw\0\r\n4 X\r\n", 12);
    const std::string bytes = "0 ZIP\r\n" + io_test::zlib_deflate({"1 A\r\n2 B T3\r\nabc\r\n3 UP\r\n" + raw_tail});
    // Later deliveries would need the chain below, which these deliveries bypass:
    // the whole stream comes as one delivery, cut into two requests anywhere.
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        layer_ptr layer = make();
        switch_in_slots(layer);
        layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                            const layer_t::args_range&, std::vector<char>&) {
            if (name == "ZIP") layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
        });
        recorder rec(layer);
        deliver(layer, std::vector<std::string>{bytes.substr(0, cut), bytes.substr(cut)});
        ASSERT_EQ(8u, rec.events.size()) << "cut at " << cut;
        EXPECT_EQ("complete 2 B 3 [] {abc}", rec.events[5]);
        EXPECT_EQ("complete 3 UP - [] {}", rec.events[7]);
        EXPECT_EQ(raw_tail, rec.raw) << "cut at " << cut;
        EXPECT_TRUE(rec.violations.empty()) << "cut at " << cut;
    }

    // Bytes the new filter cannot inflate end the connection like any corrupt stream.
    layer_ptr layer = make();
    layer->sig_cmd_complete.connect([&](unsigned, const std::string&, boost::optional<unsigned>,
                                        const layer_t::args_range&, std::vector<char>&) {
        layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
    });
    recorder rec(layer);
    deliver(layer, "0 ZIP\r\n\xff\xfe 1 LOST\r\n");
    EXPECT_EQ(2u, rec.events.size());
    ASSERT_EQ(1u, rec.violations.size());
    EXPECT_EQ(0u, rec.violations[0].find("cannot inflate received data"));
}

TEST_F(TextProtoParser, SwitchesFromAnotherThreadPassTheRestOfTheDeliveryRaw) {
    // Made while the strand parses: nothing after the point the parser has
    // reached is parsed, renumbered or reframed; it all passes raw, in order.
    layer_ptr layer = make();
    recorder rec(layer);
    layer->sig_cmd_complete.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                        const layer_t::args_range&, std::vector<char>&) {
        if (name != "A") return;
        std::thread other([&] {
            layer->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
            layer->disable_parser();
        });
        other.join();
    });
    deliver(layer, "0 A\r\n1 B\r\n");
    deliver(layer, "2 C\r\n");
    EXPECT_EQ("complete 0 A - [] {}", rec.events.back());
    EXPECT_EQ("1 B\r\n2 C\r\n", rec.raw);
    EXPECT_TRUE(rec.violations.empty());
}

TEST_F(TextProtoParser, SwitchFromAnotherThreadPassesTheUnfinishedCommandAsReceived) {
    // Odd blanks and a body with CR LF in it: the bytes as they came, not a rebuilt frame.
    const std::string bytes = "0 A\r\n1  DATA \tT7  x  y \r\nhe\r\nllo\r\n2 C\r\n";
    const size_t a_end = 5, header_end = bytes.find("\r\n", a_end) + 2, data_end = bytes.size() - 5;
    for (size_t cut = a_end; cut <= bytes.size(); ++cut) {
        for (int posted_first = 0; posted_first < 2; ++posted_first) {
            layer_ptr layer = make();
            recorder rec(layer);
            deliver(layer, bytes.substr(0, cut));
            std::thread([&] { layer->stop_parsing(); }).join();
            const size_t handed = cut < data_end ? a_end : cut < bytes.size() ? data_end : bytes.size();
            const std::string where = "cut at " + std::to_string(cut);
            // The strand's own turn hands the held bytes on without waiting for more input.
            if (posted_first) {
                service.poll();
                service.restart();
                EXPECT_EQ(bytes.substr(handed, cut - handed), rec.raw) << where;
            }
            if (cut < bytes.size()) deliver(layer, bytes.substr(cut));
            EXPECT_EQ(bytes.substr(handed), rec.raw) << where;
            // A begun command was only announced (its begin signal); it completes nowhere.
            const size_t begun = handed == a_end && cut >= header_end ? 1 : 0;
            EXPECT_EQ((handed == a_end ? 2u : handed == data_end ? 4u : 6u) + begun, rec.events.size()) << where;
            EXPECT_TRUE(rec.violations.empty()) << where;
            service.poll();
            service.restart();
            EXPECT_EQ(bytes.substr(handed), rec.raw) << where;
        }
    }
}

TEST_F(TextProtoParser, SwitchKeepsSendingFramedUnlessItIsRaw) {
    // stop_parsing leaves sending to the other direction's reader; the
    // daemon's own commands are dropped once the stream is raw.
    layer_ptr layer = make();
    layer->stop_parsing();
    EXPECT_TRUE(layer->raw_mode());
    EXPECT_FALSE(layer->sending_raw());
    io::request_queue own = io::make_cloned_request("PING\r\n");
    EXPECT_TRUE(layer->send_framed(own));
    io::request_queue raw = io::make_cloned_request("raw");
    layer->send_raw(raw);
    EXPECT_TRUE(layer->sending_raw());
    bool told = true;
    io::request_queue late = io::make_cloned_request("PING\r\n", [&](bool sent) { told = sent; });
    EXPECT_FALSE(layer->send_framed(late));
    EXPECT_FALSE(told);
}

TEST_F(TextProtoParser, SendThenDisableParserMakesLaterDeliveriesRaw) {
    layer_ptr layer = make();
    recorder rec(layer);
    io::request_queue q = io::make_cloned_request("UPGRADE\r\n");
    layer->send_then_disable_parser(q);
    deliver(layer, "0 OK\r\n");
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ("0 OK\r\n", rec.raw);
}

/// Collects a body chunk by chunk, as a handler's own sink would.
class collecting_writer : public layer_t::writer_iface {
public:
    void write(const char* data, size_t length) override {
        bytes.append(data, length);
        ++chunks;
    }
    std::string bytes;
    int chunks = 0;
};

std::string body_of(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 % 256);  // CR and LF included
    return s;
}

TEST_F(TextProtoParser, SwitchDuringABodyAWriterTakesDropsTheRestOfThatCommand) {
    // The daemon's own reply (a download's body): none of it passes raw,
    // wherever the switch and the deliveries fall; what follows it does.
    const std::string body = body_of(3000);
    const std::string bytes = "0 OWN T3000\r\n" + body + "\r\n" + "after\r\n";
    const size_t header = 13, end = header + body.size() + 2;
    for (size_t cut = header; cut <= end; cut += 1) {
        if (cut > header + 8 && cut < end - 8) cut = end - 8;  // the ends of the body are the cases
        for (size_t second = cut; second <= bytes.size(); second += bytes.size() - cut > 3 ? 3 : 1) {
            layer_ptr layer = make();
            recorder rec(layer);
            auto sink = boost::make_shared<collecting_writer>();
            layer->sig_cmd_begin.connect([&](unsigned, const std::string&, boost::optional<unsigned>,
                                             const layer_t::args_range&) { layer->set_custom_writer(sink); });
            deliver(layer, bytes.substr(0, cut));
            std::thread([&] { layer->stop_parsing(); }).join();
            deliver(layer, bytes.substr(cut, second - cut));
            deliver(layer, bytes.substr(second));
            const std::string where = "cut at " + std::to_string(cut) + ", then " + std::to_string(second);
            EXPECT_EQ("after\r\n", rec.raw) << where;
            EXPECT_EQ(body.substr(0, cut - header), sink->bytes) << where;
            EXPECT_TRUE(rec.violations.empty()) << where;
        }
    }
}

TEST_F(TextProtoParser, BodiesGoToTheWriterInstalledAtTheirBeginning) {
    io_test::temp_dir dir;
    const std::string file = dir.path("body.bin"), mapped = dir.path("mapped.bin");
    const std::string body = body_of(5000);
    std::ofstream(mapped, std::ios::binary) << std::string(6000, '-');
    auto mapping = boost::make_shared<boost::iostreams::mapped_file>(mapped, boost::iostreams::mapped_file::readwrite);
    auto custom = boost::make_shared<collecting_writer>();
    custom->written = 77;  // installing resets the count

    layer_ptr layer = make();
    recorder rec(layer);
    layer->sig_cmd_begin.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                     const layer_t::args_range&) {
        if (name == "FILE") layer->set_file_writer(file.c_str(), false);
        if (name == "MAP") layer->set_mapped_file_writer(mapping, 1000);
        if (name == "CUSTOM") layer->set_custom_writer(custom);
    });
    const std::string frame = "0 FILE T5000\r\n" + body + "\r\n1 MAP T5000\r\n" + body + "\r\n2 CUSTOM T5000\r\n" +
                              body + "\r\n3 MEM T5000\r\n" + body + "\r\n";
    for (size_t at = 0; at < frame.size(); at += 1500) deliver(layer, frame.substr(at, 1500));

    EXPECT_TRUE(rec.violations.empty());
    ASSERT_EQ(8u, rec.events.size());
    EXPECT_EQ("complete 0 FILE 5000 [] {}", rec.events[1]);  // the writer took the body
    EXPECT_EQ("complete 2 CUSTOM 5000 [] {}", rec.events[5]);
    EXPECT_EQ("complete 3 MEM 5000 [] {" + body + "}", rec.events[7]);
    std::ifstream in(file, std::ios::binary);  // complete and closed with its command
    EXPECT_EQ(body, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    EXPECT_EQ(std::string(1000, '-') + body, std::string(mapping->const_data(), mapping->size()));
    EXPECT_EQ(body, custom->bytes);
    EXPECT_EQ(5000u, custom->written);
    EXPECT_GT(custom->chunks, 2);
    unsigned finished = 0;
    for (const auto& p : rec.progress) {
        EXPECT_EQ(5000u, p.first);
        finished += p.second == 5000u;
    }
    EXPECT_EQ(4u, finished);
}

TEST_F(TextProtoParser, WriterFailuresAreViolations) {
    io_test::temp_dir dir;
    const std::string mapped = dir.path("small.bin");
    std::ofstream(mapped, std::ios::binary) << std::string(100, '-');
    auto mapping = boost::make_shared<boost::iostreams::mapped_file>(mapped, boost::iostreams::mapped_file::readwrite);
    const std::string missing = dir.path("no-such-dir") + "/x";
    layer_ptr layer = make();
    recorder rec(layer);
    layer->sig_cmd_begin.connect([&](unsigned, const std::string& name, boost::optional<unsigned>,
                                     const layer_t::args_range&) {
        if (name == "MAP") layer->set_mapped_file_writer(mapping, 60);
        if (name == "OPEN") layer->set_file_writer(missing.c_str(), true);
    });
    // 40 bytes fit behind position 60; the chunk that would end at 101 is refused whole.
    deliver(layer, "0 MAP T41\r\n" + std::string(40, 'a'));
    EXPECT_TRUE(rec.violations.empty());
    deliver(layer, "b\r\n");
    EXPECT_EQ(std::vector<std::string>{"command body does not fit into its mapped file"}, rec.violations);
    EXPECT_EQ(std::string(60, '-') + std::string(40, 'a'), std::string(mapping->const_data(), mapping->size()));

    layer->on_disconnect();
    deliver(layer, "0 OPEN T3\r\nabc\r\n");
    ASSERT_EQ(2u, rec.violations.size());
    EXPECT_EQ("cannot open file " + missing, rec.violations[1]);
}

/// What one connection's layer reported, filled from the pool's threads.
struct limit_record : io_test::waitable {
    std::vector<std::string> completed, violations;
    unsigned progress = 0;
    int disconnects = 0;
};

TEST(TextProtoBodyLimit, BodiesAboveTheLimitEndTheConnectionUnlessAWriterTakesThem) {
    const uint32_t limit = 4096;
    struct row {
        const char* name;
        uint32_t size;
        const char* completed;  // the command's body as the complete signal saw it; null when refused
    };
    // BAD is rejected by its begin slot: its body would still be read, so it is bounded too.
    const row rows[] = {{"EXACT", limit, "EXACT 4096"},
                        {"OVER", limit + 1, nullptr},
                        {"BAD", limit + 1, nullptr},
                        {"TAKEN", 4 * limit, "TAKEN 0"},
                        {"HUGE", 4294967295u, nullptr}};
    io_test::log_capture log{LOG_LEVEL_ERROR};  // first: outlives the pool's last lines
    io::pool pool{2, "tpl"};
    for (const row& r : rows) {
        io::proto::text_protocol_layer_options options;
        options.body_memory_limit = limit;
        layer_ptr layer = layer_t::create(pool.get_io_service(), options);
        auto rec = std::make_shared<limit_record>();
        auto sink = boost::make_shared<collecting_writer>();
        layer_t* raw = layer.get();  // the layer raises these slots; a shared pointer would keep it forever
        layer->sig_cmd_begin.connect([raw, sink](unsigned, const std::string& name, boost::optional<unsigned>,
                                                 const layer_t::args_range&) {
            if (name == "TAKEN") raw->set_custom_writer(sink);
            if (name == "BAD") D_THROW(io::proto::text_protocol_error, "BAD refused");
        });
        layer->sig_cmd_complete.connect([rec](unsigned, const std::string& name, boost::optional<unsigned>,
                                              const layer_t::args_range&, std::vector<char>& body) {
            rec->note([&] { rec->completed.push_back(name + " " + std::to_string(body.size())); });
        });
        layer->sig_cmd_progress.connect([rec](unsigned, unsigned) { rec->note([&] { ++rec->progress; }); });
        layer->sig_violation.connect([rec](const char* text) { rec->note([&] { rec->violations.push_back(text); }); });
        layer->sig_disconnected.connect([rec] { rec->note([&] { ++rec->disconnects; }); });
        auto peer =
            io_test::accept_dialed(pool.get_io_service(), [&](const std::string& spec) { layer->connect(spec); });

        // At most 16 KiB of body, then a command that only an intact stream reaches.
        const std::string body = body_of(std::min<uint32_t>(r.size, 4 * limit));
        const std::string frame = "0 " + std::string(r.name) + " T" + std::to_string(r.size) + "\r\n" + body +
                                  (r.size == body.size() ? "\r\n1 NEXT\r\n" : "");
        boost::system::error_code ignored;  // a refused peer may find the connection gone while it writes
        boost::asio::write(*peer, boost::asio::buffer(frame), ignored);
        if (r.completed) {
            ASSERT_TRUE(rec->wait([&] { return rec->completed.size() == 2; })) << r.name;
            EXPECT_EQ((std::vector<std::string>{r.completed, "NEXT 0"}), rec->completed);
            EXPECT_TRUE(rec->violations.empty()) << r.name;
            if (sink->written) {
                EXPECT_EQ(body, sink->bytes);
            }
        } else {
            // The peer reads the end of its connection; not a byte of the body was taken.
            char byte;
            boost::system::error_code closed;
            EXPECT_EQ(0u, peer->read_some(boost::asio::buffer(&byte, 1), closed)) << r.name;
            EXPECT_TRUE(closed == boost::asio::error::eof || closed == boost::asio::error::connection_reset)
                << r.name << ": " << closed.message();
            ASSERT_TRUE(rec->wait([&] { return rec->disconnects == 1; })) << r.name;
            std::lock_guard<std::mutex> g(rec->mutex);
            ASSERT_FALSE(rec->violations.empty()) << r.name;
            EXPECT_EQ("command " + std::string(r.name) + " announces a body of " + std::to_string(r.size) +
                          " bytes, above the limit of 4096 bytes",
                      rec->violations.back());
            EXPECT_TRUE(rec->completed.empty()) << r.name;
            EXPECT_EQ(0u, rec->progress) << r.name;
        }
        layer->disconnect();
    }
}

TEST_F(TextProtoParser, FullDiskShortWriteIsAViolation) {
    FILE* full = fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    setvbuf(full, nullptr, _IONBF, 0);  // report the failure at the write, not at close
    layer_t::file_writer writer(full);
    try {
        writer.write("abc", 3);
        FAIL() << "a short write went unnoticed";
    } catch (const layer_t::internal_parser_violation& e) {
        EXPECT_STREQ("cannot write data piece to file complitely", e.what());
    }
}

}  // namespace
