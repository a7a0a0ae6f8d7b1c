// The states of the server side's negotiation machine. Each state's entry
// action picks the relay in force, so the command whose event caused the
// transition is itself relayed the new way.
#pragma once

#include "proxy/srv_side_layer.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/mpl/list.hpp>
#include <boost/statechart/custom_reaction.hpp>
#include <boost/statechart/deferral.hpp>
#include <boost/statechart/in_state_reaction.hpp>
#include <boost/statechart/simple_state.hpp>
#include <boost/statechart/state.hpp>
#include <boost/statechart/transition.hpp>

namespace srv_side {

struct layer_t::st_disconnected_t : boost::statechart::simple_state<st_disconnected_t, machine_t> {
    typedef boost::statechart::transition<ev_connected_t, st_connected_t> reactions;
};

/// Every connected state lies inside this one, so a disconnection leaves any of them.
struct layer_t::st_connected_t : boost::statechart::simple_state<st_connected_t, machine_t, st_wait_authorize_t> {
    typedef boost::statechart::transition<ev_disconnected_t, st_disconnected_t> reactions;
    /// Leaving it (a disconnection, the machine's end) sends no download again.
    ~st_connected_t();
};

/// The agent and the server negotiate; commands are relayed plainly.
struct layer_t::st_wait_authorize_t : boost::statechart::state<st_wait_authorize_t, st_connected_t> {
    typedef boost::mpl::list<boost::statechart::in_state_reaction<ev_negotiation_cmd_t>,
                             boost::statechart::transition<ev_authorize_ok_t, st_ready_init_t>,
                             boost::statechart::transition<ev_non_negotiation_cmd_t, st_ready_raw_t>,
                             boost::statechart::transition<ev_switch_raw_t, st_ready_raw_t>,
                             boost::statechart::transition<ev_agent_raw_t, st_ready_raw_t>>
        reactions;
    explicit st_wait_authorize_t(my_context ctx);
};

/// Authorized: compression is on upstream (when negotiated); the AUTHORIZE
/// itself goes to the agent through the relay that switches the agent side.
struct layer_t::st_ready_init_t : boost::statechart::state<st_ready_init_t, st_connected_t> {
    typedef boost::mpl::list<boost::statechart::transition<ev_negotiation_cmd_t, st_ready_t>,
                             boost::statechart::transition<ev_non_negotiation_cmd_t, st_ready_t>,
                             boost::statechart::transition<ev_agent_raw_t, st_ready_raw_t>>
        reactions;
    explicit st_ready_init_t(my_context ctx);
};

/// Raw relaying for the rest of the connection; only a disconnection leaves it.
struct layer_t::st_ready_raw_t : boost::statechart::state<st_ready_raw_t, st_connected_t> {
    explicit st_ready_raw_t(my_context ctx);
};

/// Authorized and idle: a download request is sent at once. Entered first,
/// it has the owner's waiting update requests examined again, as they could
/// not start their downloads through this connection until now.
struct layer_t::st_ready_t : boost::statechart::state<st_ready_t, st_connected_t> {
    typedef boost::mpl::list<boost::statechart::custom_reaction<ev_download_update_request_t>,
                             boost::statechart::transition<ev_agent_raw_t, st_ready_raw_t>>
        reactions;
    explicit st_ready_t(my_context ctx);
    boost::statechart::result react(const ev_download_update_request_t& event);
};

/// One download runs; further requests wait, in order, until it ends. The
/// agent's raw switch ends it unfinished: the agent's bytes must leave
/// unnumbered at once, which takes the parser, and the reply it was reading,
/// off the upstream stream; such a download is withdrawn, no failure of the
/// server's, and its files go to the next connection that can download
/// them. So is one whose pair ends because its agent went. A server that
/// falls silent for `silence_limit` meanwhile loses its connection, so the
/// download fails and the agents waiting for its files are served by a new
/// one instead of waiting for ever.
/// A server that keeps talking (PINGs) without a body byte for `stall_limit`
/// has the download given up, with the same outcome for the agents, and is
/// trusted with no further download.
struct layer_t::st_ready_update_in_progress_t
    : io::proto::state_with_async_cmd<st_ready_update_in_progress_t, st_connected_t> {
    typedef boost::mpl::list<boost::statechart::deferral<ev_download_update_request_t>,
                             boost::statechart::transition<ev_download_done_t, st_ready_t>,
                             boost::statechart::transition<ev_download_stalled_t, st_ready_t>,
                             boost::statechart::custom_reaction<ev_download_withdrawn_t>,
                             boost::statechart::custom_reaction<ev_agent_raw_t>>
        reactions;
    explicit st_ready_update_in_progress_t(my_context ctx);
    ~st_ready_update_in_progress_t();
    boost::statechart::result react(const ev_download_withdrawn_t&);
    boost::statechart::result react(const ev_agent_raw_t&);
    /// Longest silence of the server while a download runs (5 minutes; tests shorten it).
    static boost::posix_time::time_duration silence_limit;
    /// Longest time a running download may go without a byte of its reply's
    /// body, whatever else the server sends (30 seconds; tests shorten it).
    static boost::posix_time::time_duration stall_limit;

private:
    /// Marks the download withdrawn before leaving the state ends it.
    void withdraw();
};

}  // namespace srv_side
