// Command dispatch by name to handler classes registered before main, by hand-raised
// signals and over two real stacks on loopback TCP.
#include "io/app_layer_base.h"

#include "io/detail/proto_utility.h"
#include "io/pool.h"
#include "oslayer/utilities.h"
#include "tests/io/test_support.h"

namespace {

typedef io::proto::text_protocol_layer text_layer_t;
typedef text_layer_t::args_range args_range;

/// What handlers did, in order, across threads.
struct journal_t : io_test::waitable {
    void add(const std::string& entry) { note([&] { entries.push_back(entry); }); }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        note([&] { out.swap(entries); });
        return out;
    }
    std::vector<std::string> entries;
};
journal_t handler_journal;
std::atomic<int> live_handlers{0};

std::string words(const args_range& args) {
    std::string out;
    for (const std::string& w : io::proto::split_arguments(args)) out += (out.empty() ? "" : "|") + w;
    return out;
}

/// Journals its life; `Tag` names it in the journal.
template <class Handler, class Layer, bool is_default = false>
class traced : public io::proto::cmd_handler_base<Handler, Layer, is_default> {
    typedef io::proto::cmd_handler_base<Handler, Layer, is_default> base;

public:
    traced() { ++live_handlers; }
    ~traced() override {
        --live_handlers;
        handler_journal.add("dtor " + tag_);
    }
    void begin(unsigned n, const std::string& name, boost::optional<unsigned> size, const args_range& args) override {
        base::begin(n, name, size, args);
        tag_ = name + "#" + std::to_string(n);
        handler_journal.add("begin " + tag_ + " size=" + (size ? std::to_string(*size) : "-") + " [" + words(args) + "]" +
                    (this->begin_time_.is_not_a_date_time() ? "" : " clock"));
    }
    void end(std::vector<char>& body) override {
        this->body_.swap(body);
        handler_journal.add("end " + tag_ + " " + std::string(this->body_.begin(), this->body_.end()));
    }
    std::string tag_;
};

/// An application layer over `lower`; each instantiation has handlers of its own.
template <int N>
class side : public io::proto::app_layer_base<side<N>> {
public:
    static boost::shared_ptr<side> create(const boost::shared_ptr<text_layer_t>& lower) {
        boost::shared_ptr<side> self(new side(lower));
        self->postconstruct(self);
        return self;
    }
    void derived_postconstruct() { bound_before_derived = this->lower_->sig_cmd_begin.num_slots() == 1; }
    bool bound_before_derived = false;

private:
    explicit side(const boost::shared_ptr<text_layer_t>& lower) : io::proto::app_layer_base<side<N>>(lower) {}
};
typedef side<1> side_one;  // with a default handler
typedef side<2> side_two;  // without one

// ---------------------------------------------------- side one

class cmd_ping_t : public traced<cmd_ping_t, side_one> {
public:
    static constexpr const char* command_name = "PING";
    void end(std::vector<char>& body) override {
        traced::end(body);
        handler_journal.add(std::string("layer ") + (layer_ && layer_->lower() ? "set" : "unset"));
    }
};

/// Reports progress to the watchers the test hands it, its clock moved by `shift`.
class cmd_data_t : public traced<cmd_data_t, side_one> {
public:
    static constexpr const char* command_name = "DATA";
    void begin(unsigned n, const std::string& name, boost::optional<unsigned> size, const args_range& args) override {
        traced::begin(n, name, size, args);
        watchers_ = next_watchers;
        begin_time_ += shift;
    }
    static std::vector<boost::shared_ptr<io::proto::progress_watcher_iface>> next_watchers;
    static boost::posix_time::time_duration shift;
};
std::vector<boost::shared_ptr<io::proto::progress_watcher_iface>> cmd_data_t::next_watchers;
boost::posix_time::time_duration cmd_data_t::shift;

/// Rejects every command at its end, and at its begin too when told "early".
class cmd_fail_t : public traced<cmd_fail_t, side_one> {
public:
    static constexpr const char* command_name = "FAIL";
    void begin(unsigned n, const std::string& name, boost::optional<unsigned> size, const args_range& args) override {
        traced::begin(n, name, size, args);
        if (words(args) == "early") D_THROW(io::proto::text_protocol_error, "FAIL rejected early");
    }
    void end(std::vector<char>& body) override {
        traced::end(body);
        D_THROW(io::proto::text_protocol_error, "FAIL rejected");
    }
};

class cmd_unknown_one_t : public traced<cmd_unknown_one_t, side_one, true> {};

// ---------------------------------------------------- side two

/// Answers "ACK" with its arguments, decoded and joined by "|".
class cmd_pong_t : public traced<cmd_pong_t, side_two> {
public:
    static constexpr const char* command_name = "PONG";
    void begin(unsigned n, const std::string& name, boost::optional<unsigned> size, const args_range& args) override {
        traced::begin(n, name, size, args);
        reply_ = words(args);  // the range dies with begin
    }
    void end(std::vector<char>& body) override {
        traced::end(body);
        io::proto::cmd_builder b("ACK", false);
        const std::string escaped = escape_string(reply_);
        b.append_raw_argument(escaped.data(), escaped.size());
        io::request_queue q = b.build();
        layer_->lower()->send(q);
    }
    std::string reply_;
};

class cmd_reject_t : public traced<cmd_reject_t, side_two> {
public:
    static constexpr const char* command_name = "REJECT";
    void end(std::vector<char>& body) override {
        traced::end(body);
        D_THROW(io::proto::text_protocol_error, "REJECT rejected");
    }
};

/// Records every counter it is given, tagged with its own name.
class recording_watcher : public io::proto::progress_watcher_iface {
public:
    recording_watcher(std::vector<std::string>& log, const std::string& name) : log_(log), name_(name) {}
    void set_first_counter(unsigned v) override { log_.push_back(name_ + ".first=" + std::to_string(v)); }
    void set_second_counter(unsigned v) override { log_.push_back(name_ + ".second=" + std::to_string(v)); }

private:
    std::vector<std::string>& log_;
    std::string name_;
};

/// One unconnected text protocol layer whose signals the tests raise by hand.
class CmdHandler : public ::testing::Test {
protected:
    CmdHandler() : lower(text_layer_t::create(service, io::proto::text_protocol_layer_options())) {
        handler_journal.take();
        lower->sig_violation.connect([this](const char* text) { violations.push_back(text); });
    }
    ~CmdHandler() override {
        cmd_data_t::next_watchers.clear();
        cmd_data_t::shift = boost::posix_time::time_duration();
    }
    /// Raises one whole command on `lower`, as the layer does when it parses one.
    void command(unsigned n, const std::string& name, std::string args, const std::string& body = std::string(),
                 boost::optional<unsigned> size = boost::none) {
        if (!body.empty()) size = static_cast<unsigned>(body.size());
        args_range range(&args[0], &args[0] + args.size());
        lower->sig_cmd_begin(n, name, size, range);
        if (size) lower->sig_cmd_progress(*size, *size);
        std::vector<char> bytes(body.begin(), body.end());
        lower->sig_cmd_complete(n, name, size, range, bytes);
    }
    boost::asio::io_service service;
    boost::shared_ptr<text_layer_t> lower;
    std::vector<std::string> violations;
};

// Each handler is gone before the next one begins.
TEST_F(CmdHandler, NamesAreLookedUpExactlyElseTheDefaultHandlerTakesThem) {
    boost::shared_ptr<side_one> app = side_one::create(lower);
    EXPECT_TRUE(app->bound_before_derived);
    command(0, "PING", "a %20b");
    command(1, "ping", "");
    command(2, "PONG", "x");  // registered on the other side only
    command(3, "DATA", "", "xyz");
    command(4, "DATA", "", std::string(), 0u);  // an "N" marker: size 0, clock started, no body
    const std::vector<std::string> expected{
        "begin PING#0 size=- [a| b]",   "end PING#0 ",    "layer set", "dtor PING#0",  //
        "begin ping#1 size=- []",       "end ping#1 ",    "dtor ping#1",               //
        "begin PONG#2 size=- [x]",      "end PONG#2 ",    "dtor PONG#2",               //
        "begin DATA#3 size=3 [] clock", "end DATA#3 xyz", "dtor DATA#3",               //
        "begin DATA#4 size=0 [] clock", "end DATA#4 ",    "dtor DATA#4"};
    EXPECT_EQ(expected, handler_journal.take());
    EXPECT_TRUE(violations.empty());
    EXPECT_EQ(0, live_handlers);
    // A begin without an end (its command never completed): the next begin drops it.
    lower->sig_cmd_begin(6, "DATA", 10u, args_range());
    lower->sig_cmd_begin(7, "PING", boost::none, args_range());
    EXPECT_EQ((std::vector<std::string>{"begin DATA#6 size=10 [] clock", "dtor DATA#6", "begin PING#7 size=- []"}),
              handler_journal.take());
    EXPECT_EQ(1, live_handlers);
    app.reset();  // the layer owns its current handler
    EXPECT_EQ(0, live_handlers);
}

TEST_F(CmdHandler, AThrowingEndStillDeletesItsHandler) {
    boost::shared_ptr<side_one> app = side_one::create(lower);
    EXPECT_THROW(command(0, "FAIL", "", "abc"), io::proto::text_protocol_error_shell_t);
    EXPECT_EQ((std::vector<std::string>{"begin FAIL#0 size=3 [] clock", "end FAIL#0 abc", "dtor FAIL#0"}),
              handler_journal.take());
    EXPECT_EQ(0, live_handlers);
    // Nothing is current any more: a stray progress or end reaches no handler.
    lower->sig_cmd_progress(5, 1);
    std::vector<char> body;
    lower->sig_cmd_complete(1, "PING", boost::none, args_range(), body);
    command(1, "PING", "");
    EXPECT_EQ(4u, handler_journal.take().size());
    EXPECT_EQ(0, live_handlers);
    // A handler whose begin throws stays current: its body's progress and its end still reach it.
    std::string early = "early";
    args_range range(&early[0], &early[0] + early.size());
    EXPECT_THROW(lower->sig_cmd_begin(2, "FAIL", 3u, range), io::proto::text_protocol_error_shell_t);
    EXPECT_EQ(1, live_handlers);
    body.assign(3, 'z');
    EXPECT_THROW(lower->sig_cmd_complete(2, "FAIL", 3u, range, body), io::proto::text_protocol_error_shell_t);
    EXPECT_EQ((std::vector<std::string>{"begin FAIL#2 size=3 [early] clock", "end FAIL#2 zzz", "dtor FAIL#2"}),
              handler_journal.take());
    EXPECT_EQ(0, live_handlers);
}

TEST_F(CmdHandler, ProgressRateIsSizePerWholeSecondZeroInTheFirstAndWhenTheClockWentBack) {
    boost::shared_ptr<side_one> app = side_one::create(lower);
    std::vector<std::string> seen;
    // The clock has whole seconds; a run that crossed a second boundary proves nothing and is repeated.
    auto run = [&](unsigned size, std::initializer_list<unsigned> counts) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            seen.clear();
            const boost::posix_time::ptime before = boost::posix_time::second_clock::local_time();
            lower->sig_cmd_begin(0, "DATA", size, args_range());
            for (unsigned got : counts) lower->sig_cmd_progress(size, got);
            if (boost::posix_time::second_clock::local_time() == before) break;
        }
    };
    // Every watcher, in order, for every report.
    cmd_data_t::next_watchers = {boost::make_shared<recording_watcher>(seen, "a"),
                                 boost::make_shared<recording_watcher>(seen, "b")};
    run(5000, {1200, 4999});
    EXPECT_EQ((std::vector<std::string>{"a.first=1200", "a.second=0", "b.first=1200", "b.second=0", "a.first=4999",
                                        "a.second=0", "b.first=4999", "b.second=0"}),
              seen);
    cmd_data_t::next_watchers = {boost::make_shared<recording_watcher>(seen, "w")};
    cmd_data_t::shift = boost::posix_time::seconds(-4);  // as if the body began four seconds ago
    run(4003, {7});
    EXPECT_EQ((std::vector<std::string>{"w.first=7", "w.second=1000"}), seen);
    // A local clock set back (the end of daylight saving time) must not yield a huge rate.
    cmd_data_t::shift = boost::posix_time::hours(1);
    run(4003, {9});
    EXPECT_EQ((std::vector<std::string>{"w.first=9", "w.second=0"}), seen);
}

TEST_F(CmdHandler, SignalsAreIgnoredOnceTheApplicationLayerIsGone) {
    boost::shared_ptr<side_one> app = side_one::create(lower);
    boost::weak_ptr<side_one> weak = app;
    app.reset();
    EXPECT_TRUE(weak.expired());
    command(0, "PING", "x", "body");
    EXPECT_TRUE(handler_journal.take().empty());
    EXPECT_TRUE(violations.empty());
}

// ------------------------------------------------------- over loopback TCP

/// The peer's stack: collects the commands it receives.
struct peer_t : io_test::waitable {
    explicit peer_t(const boost::shared_ptr<text_layer_t>& l) : layer(l) {
        layer->sig_connected.connect([this](const boost::system::error_code& e) { note([&] { connected += !e; }); });
        layer->sig_cmd_complete.connect([this](unsigned, const std::string& name, boost::optional<unsigned>,
                                               const args_range& args, std::vector<char>&) {
            note([&] { received.push_back(name + " " + words(args)); });
        });
    }
    boost::shared_ptr<text_layer_t> layer;
    int connected = 0;
    std::vector<std::string> received;
};

TEST(CmdHandlerStack, ReceivedCommandsReachTheirHandlersAndAnswersGoBack) {
    io_test::log_capture log{LOG_LEVEL_DEBUG3};
    io::pool pool{2, "cmdh"};
    handler_journal.take();
    io::proto::text_protocol_layer_options options;
    peer_t client(text_layer_t::create(pool.get_io_service(), options));
    boost::shared_ptr<text_layer_t> server_lower = text_layer_t::create(pool.get_io_service(), options);
    std::vector<std::string> violations;
    std::mutex vm;
    server_lower->sig_violation.connect([&](const char* text) {
        std::lock_guard<std::mutex> g(vm);
        violations.push_back(text);
    });
    boost::shared_ptr<side_two> server = side_two::create(server_lower);
    server_lower->attach(io::accepted_socket(
        io_test::accept_dialed(pool.get_io_service(), [&](const std::string& spec) { client.layer->connect(spec); })));
    ASSERT_TRUE(client.wait([&] { return client.connected == 1; }));
    const std::string body(5000, 'q');
    io::request_queue cmds[] = {io_test::command("PONG", "one %41"), io_test::command("REJECT", "", &body),
                                io_test::command("BOGUS", "z", &body), io_test::command("PONG", "two")};
    for (io::request_queue& q : cmds) client.layer->send(q);
    // Both rejected commands were reported, and the connection carried on.
    ASSERT_TRUE(client.wait([&] { return client.received.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"ACK one|A", "ACK two"}), client.received);
    {
        std::lock_guard<std::mutex> g(vm);
        ASSERT_EQ(2u, violations.size());
        EXPECT_NE(std::string::npos, violations[0].find("REJECT rejected")) << violations[0];
        EXPECT_EQ("unknown command BOGUS", violations[1]);
    }
    ASSERT_TRUE(handler_journal.wait([&] { return handler_journal.entries.size() >= 9; }));
    const std::vector<std::string> expected{"begin PONG#0 size=- [one|A]", "end PONG#0 ",  "dtor PONG#0",
                                            "begin REJECT#1 size=5000 [] clock", "end REJECT#1 " + body,
                                            "dtor REJECT#1",
                                            "begin PONG#3 size=- [two]", "end PONG#3 ", "dtor PONG#3"};
    EXPECT_EQ(expected, handler_journal.take());
    EXPECT_EQ(0, live_handlers);
    server_lower->disconnect();
}

}  // namespace
