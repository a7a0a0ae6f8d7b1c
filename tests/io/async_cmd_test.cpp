// Asynchronous commands inside a real boost::statechart machine: the state
// that holds a command tells it `done` exactly once, however it is left.
#include "io/async_cmd.h"

#include <stdexcept>

#include <boost/mpl/list.hpp>
#include <boost/statechart/custom_reaction.hpp>
#include <boost/statechart/simple_state.hpp>
#include <boost/statechart/transition.hpp>

#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

namespace sc = boost::statechart;
namespace mpl = boost::mpl;

/// Records every `done`; optionally throws from it.
class probe_cmd : public io::proto::async_cmd {
public:
    enum fault_t { none, shell, standard, unknown };
    io::request_queue make_request() override { return io::make_cloned_request("ARQ 1\r\n"); }
    bool flag() const override { return true; }
    std::string reply_name() const override { return "SRS"; }
    void done(bool completed) override {
        calls.push_back(completed);
        if (fault == shell) D_THROW(BUG_exception, "disk gone");
        if (fault == standard) throw std::runtime_error("bad state");
        if (fault == unknown) throw 42;
    }
    std::vector<bool> calls;
    fault_t fault = none;
};

/// Another command type, to check the typed lookup.
class other_cmd : public io::proto::async_cmd {
public:
    io::request_queue make_request() override { return io::request_queue(); }
    bool flag() const override { return false; }
};

struct ev_request : io::proto::event_with_async_cmd<ev_request> {
    explicit ev_request(const boost::shared_ptr<io::proto::async_cmd>& cmd) : event_with_async_cmd(cmd) {}
};
struct ev_reply_done : sc::event<ev_reply_done> {};
struct ev_other : sc::event<ev_other> {};
struct ev_disconnect : sc::event<ev_disconnect> {};
struct ev_bare : sc::event<ev_bare> {};

struct st_connected;
struct st_idle;
struct st_busy;
struct st_receiving;
struct st_elsewhere;
struct st_disconnected;

struct machine_t : io::proto::state_machine_with_async_cmds<machine_t, st_connected> {
    std::vector<std::string> sent;
};

struct st_connected : sc::simple_state<st_connected, machine_t, st_idle> {
    typedef sc::transition<ev_disconnect, st_disconnected> reactions;
};
struct st_disconnected : sc::simple_state<st_disconnected, machine_t> {};

/// Sends the command of a request, then waits for its reply in st_busy.
struct st_idle : sc::simple_state<st_idle, st_connected> {
    typedef mpl::list<sc::custom_reaction<ev_request>, sc::transition<ev_bare, st_busy>> reactions;
    sc::result react(const ev_request& e) {
        if (boost::shared_ptr<io::proto::async_cmd> cmd = e.get_cmd()) {
            io::request_queue q = cmd->make_request();
            context<machine_t>().sent.push_back(std::to_string(q.size()));
        }
        return transit<st_busy>();
    }
};
struct st_busy : io::proto::state_with_async_cmd<st_busy, st_connected, st_receiving> {
    explicit st_busy(my_context ctx) : state_with_async_cmd(ctx) {}
    typedef mpl::list<sc::transition<ev_reply_done, st_idle>, sc::transition<ev_other, st_elsewhere>> reactions;
};
/// An inner state: the lookup has to walk out of it to find the holder.
struct st_receiving : sc::simple_state<st_receiving, st_busy> {};
struct st_elsewhere : sc::simple_state<st_elsewhere, st_connected> {};

class AsyncCmd : public ::testing::Test {
protected:
    AsyncCmd() : cmd(boost::make_shared<probe_cmd>()) { machine.initiate(); }
    void start() {
        machine.process_event(ev_request(cmd));
        ASSERT_TRUE(machine.state_downcast<const st_receiving*>() != nullptr);
    }
    io_test::log_capture log{LOG_LEVEL_DEBUG3};
    boost::shared_ptr<probe_cmd> cmd;
    machine_t machine;
};

TEST_F(AsyncCmd, HeldCommandIsFoundByItsType) {
    start();
    EXPECT_EQ(1u, machine.sent.size());
    EXPECT_EQ(cmd, machine.find_async_cmd<probe_cmd>());
    EXPECT_EQ(cmd, machine.find_async_cmd<io::proto::async_cmd>());
    EXPECT_FALSE(machine.find_async_cmd<other_cmd>());  // held, but of another type
    EXPECT_TRUE(cmd->calls.empty());
}

TEST_F(AsyncCmd, LeavingTheStateAnyWayCallsDoneOnceWithTheFlagAsItIs) {
    struct way {
        const char* name;
        bool completed_before;  // a reply that completed it, possibly just before the connection dropped
        std::function<void(machine_t&)> leave;
        bool told;
    };
    const way ways[] = {
        {"reply", true, [](machine_t& m) { m.process_event(ev_reply_done()); }, true},
        {"other transition", false, [](machine_t& m) { m.process_event(ev_other()); }, false},
        {"terminate", false, [](machine_t& m) { m.terminate(); }, false},
        {"disconnect", true, [](machine_t& m) { m.process_event(ev_disconnect()); }, true},
    };
    for (const way& w : ways) {
        machine.initiate();
        cmd = boost::make_shared<probe_cmd>();
        start();
        if (w.completed_before) cmd->set_completed(true);
        w.leave(machine);
        EXPECT_EQ(std::vector<bool>{w.told}, cmd->calls) << w.name;
        EXPECT_FALSE(machine.find_async_cmd<probe_cmd>()) << w.name;
        // The state let go of it: only the test holds the command now.
        EXPECT_EQ(1, cmd.use_count()) << w.name;
        // Whatever follows (a reply not handled there, a disconnect) tells it nothing more.
        if (!machine.terminated()) machine.process_event(ev_reply_done());
        if (!machine.terminated()) machine.process_event(ev_disconnect());
        EXPECT_EQ(std::vector<bool>{w.told}, cmd->calls) << w.name;
    }
    // A request arriving while nobody accepts it (disconnected) is dropped without `done`.
    auto late = boost::make_shared<probe_cmd>();
    machine.process_event(ev_request(late));
    EXPECT_TRUE(late->calls.empty());
    EXPECT_EQ(1, late.use_count());
    // Destroying a machine that holds one tells it too.
    auto second = boost::make_shared<probe_cmd>();
    {
        machine_t other;
        other.initiate();
        other.process_event(ev_request(second));
    }
    EXPECT_EQ(std::vector<bool>{false}, second->calls);
    EXPECT_EQ(1, second.use_count());
}

TEST_F(AsyncCmd, FailingDoneIsLoggedAndTheTransitionStillHappens) {
    const probe_cmd::fault_t faults[] = {probe_cmd::shell, probe_cmd::standard, probe_cmd::unknown};
    for (probe_cmd::fault_t fault : faults) {
        cmd = boost::make_shared<probe_cmd>();
        cmd->fault = fault;
        start();
        machine.process_event(ev_reply_done());
        EXPECT_TRUE(machine.state_downcast<const st_idle*>() != nullptr) << fault;
        EXPECT_EQ(std::vector<bool>{false}, cmd->calls) << fault;
    }
    EXPECT_EQ(3u, log.count("[AsyncOp] Operation done handler failed because of "));
}

TEST_F(AsyncCmd, EnteringTheHolderWithoutACommandHoldsNothing) {
    // A plain event, and a carrying event whose pointer is empty.
    machine.process_event(ev_bare());
    ASSERT_TRUE(machine.state_downcast<const st_receiving*>() != nullptr);
    EXPECT_FALSE(machine.find_async_cmd<io::proto::async_cmd>());
    machine.process_event(ev_reply_done());
    EXPECT_TRUE(machine.state_downcast<const st_idle*>() != nullptr);
    machine.process_event(ev_request(boost::shared_ptr<io::proto::async_cmd>()));
    EXPECT_FALSE(machine.find_async_cmd<io::proto::async_cmd>());
    machine.process_event(ev_disconnect());
    EXPECT_TRUE(machine.state_downcast<const st_disconnected*>() != nullptr);
}

}  // namespace
