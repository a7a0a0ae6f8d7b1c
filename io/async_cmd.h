// Commands this system sends itself and that a later reply completes, kept
// inside a boost::statechart machine: an event carries the command in, the
// state it enters holds it while the reply is awaited, and leaving that state
// (reply complete, disconnection, any transition) tells the command it is done.
#pragma once

#include <memory>
#include <string>

#include <boost/mpl/list.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/statechart/event.hpp>
#include <boost/statechart/state.hpp>
#include <boost/statechart/state_machine.hpp>

#include "io/request_queue.h"

namespace io {
namespace proto {

/// A command sent upstream whose reply completes it.
class async_cmd {
public:
    /// The command to send.
    virtual request_queue make_request() = 0;
    /// A property whose meaning belongs to the command class.
    virtual bool flag() const = 0;
    /// The name of the command that completes this one.
    virtual std::string reply_name() const { return std::string(); }
    /// A text whose meaning belongs to the command class.
    virtual std::string text() const { return std::string(); }
    /// Called once when the state holding the command is left.
    virtual void done(bool /*completed*/) {}
    virtual ~async_cmd() = default;

    /// Set by the reply's handler once the whole reply has arrived.
    void set_completed(bool completed) { completed_ = completed; }
    bool completed() const { return completed_; }

private:
    bool completed_ = false;
};

/// Something that carries an asynchronous command.
class async_cmd_holder_iface {
public:
    virtual boost::shared_ptr<async_cmd> get_cmd() const = 0;

protected:
    ~async_cmd_holder_iface() = default;
};

/// An event that brings a command into the machine.
template <class Event, class Allocator = std::allocator<void>>
class event_with_async_cmd : public boost::statechart::event<Event, Allocator>, public async_cmd_holder_iface {
public:
    explicit event_with_async_cmd(const boost::shared_ptr<async_cmd>& cmd) : cmd_(cmd) {}
    boost::shared_ptr<async_cmd> get_cmd() const override { return cmd_; }

private:
    boost::shared_ptr<async_cmd> cmd_;
};

namespace detail {
/// Calls `done` with the command's flag, logging what it throws.
void finish_async_cmd(async_cmd& cmd) noexcept;
}  // namespace detail

/// A state that holds the command of the event that entered it while it is active.
template <class State, class Outer, class InnerInitial = boost::mpl::list<>>
class state_with_async_cmd : public boost::statechart::state<State, Outer, InnerInitial>,
                             public async_cmd_holder_iface {
    typedef boost::statechart::state<State, Outer, InnerInitial> base_type;

public:
    boost::shared_ptr<async_cmd> get_cmd() const override { return cmd_; }

protected:
    explicit state_with_async_cmd(typename base_type::my_context ctx) : base_type(ctx) {
        const async_cmd_holder_iface* holder = dynamic_cast<const async_cmd_holder_iface*>(this->triggering_event());
        // Entered by an event without a command (a wiring mistake): the state
        // holds none, the lookup finds none and leaving calls nothing. Throwing
        // here instead would unwind through a transition half done.
        if (holder) cmd_ = holder->get_cmd();
    }
    ~state_with_async_cmd() override {
        if (cmd_) detail::finish_async_cmd(*cmd_);
    }

private:
    boost::shared_ptr<async_cmd> cmd_;
};

/// A machine that can find the command its active states hold.
template <class Machine, class InitialState, class Allocator = std::allocator<void>,
          class ExceptionTranslator = boost::statechart::null_exception_translator>
class state_machine_with_async_cmds
    : public boost::statechart::state_machine<Machine, InitialState, Allocator, ExceptionTranslator> {
    typedef boost::statechart::state_machine<Machine, InitialState, Allocator, ExceptionTranslator> base_type;

public:
    /// The command of the first holding state met from each innermost active
    /// state outward, as `Cmd`; empty when none is held or it is another type.
    template <class Cmd>
    boost::shared_ptr<Cmd> find_async_cmd() const {
        for (typename base_type::state_iterator it = this->state_begin(); it != this->state_end(); ++it) {
            for (const typename base_type::state_base_type* s = &*it; s; s = s->outer_state_ptr()) {
                if (const async_cmd_holder_iface* holder = dynamic_cast<const async_cmd_holder_iface*>(s))
                    return boost::dynamic_pointer_cast<Cmd>(holder->get_cmd());
            }
        }
        return boost::shared_ptr<Cmd>();
    }
};

}  // namespace proto
}  // namespace io
