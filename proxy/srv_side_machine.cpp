#include "proxy/srv_side_machine.h"

#include "cache/cache_download_ctx.h"
#include "oslayer/_kern.h"
#include "proxy/proxy_connection.h"

namespace srv_side {

layer_t::machine_t::~machine_t() {
    // Leaves the active states while the layer's members are all still there:
    // a running download is told it is done before the machine goes.
    terminate();
}

namespace {

/// The machine will never send a download: requests that waited for it to
/// become ready are examined again, so that they fail or go elsewhere
/// rather than wait for a readiness that cannot come.
void never_downloads(layer_t& layer) {
    if (layer.set_download_readiness(layer_t::download_readiness_t::never) != layer_t::download_readiness_t::not_yet)
        return;
    // Only posts: the cache's walk must not run inside a transition.
    if (boost::shared_ptr<proxy_connection_t> owner = layer.owner().lock()) owner->download_readiness_settled();
}

}  // namespace

layer_t::st_connected_t::~st_connected_t() { never_downloads(outermost_context().layer()); }

layer_t::st_wait_authorize_t::st_wait_authorize_t(my_context ctx) : my_base(ctx) {
    machine_t& machine = outermost_context();
    machine.layer().set_download_readiness(download_readiness_t::not_yet);
    machine.set_current_relay(&machine.layer().relay_forward);
}

layer_t::st_ready_init_t::st_ready_init_t(my_context ctx) : my_base(ctx) {
    machine_t& machine = outermost_context();
    machine.layer().set_download_readiness(download_readiness_t::not_yet);
    // The filters first: the AUTHORIZE relayed next must find the upstream
    // side already compressing.
    machine.layer().enable_filters();
    machine.set_current_relay(&machine.layer().relay_enable_filters);
}

layer_t::st_ready_raw_t::st_ready_raw_t(my_context ctx) : my_base(ctx) {
    machine_t& machine = outermost_context();
    // Marked before the requests are examined again: they are withdrawn.
    if (boost::shared_ptr<proxy_connection_t> owner = machine.layer().owner().lock()) owner->turned_raw();
    never_downloads(machine.layer());
    // The parser only: the agent's commands read before its own side
    // switches still go up numbered, and its side turns this one's sending
    // raw with its first raw bytes.
    machine.layer().lower()->stop_parsing();
    machine.set_current_relay(&machine.layer().relay_disable_parser);
}

layer_t::st_ready_t::st_ready_t(my_context ctx) : my_base(ctx) {
    machine_t& machine = outermost_context();
    machine.set_current_relay(&machine.layer().relay_forward);
    if (machine.layer().set_download_readiness(download_readiness_t::now) != download_readiness_t::not_yet) return;
    // Only posts: the cache's walk must not run inside a transition.
    if (boost::shared_ptr<proxy_connection_t> owner = machine.layer().owner().lock()) owner->download_readiness_settled();
}

boost::statechart::result layer_t::st_ready_t::react(const ev_download_update_request_t& event) {
    TRACE_POINT;
    boost::shared_ptr<io::proto::async_cmd> cmd = event.get_cmd();
    // An empty request has nothing to send and nothing to wait for.
    if (!cmd) return discard_event();
    // A server that let a download stall gets none again (one deferred
    // behind the stalled one): dropped here, it fails and its agents are
    // served through another connection.
    if (outermost_context().layer().download_stalled()) return discard_event();
    // The agent's INSTALL turned the sending raw before this machine learnt
    // of it: a request now would land in the agent's raw stream.
    if (outermost_context().layer().lower()->sending_raw()) return discard_event();
    // Nor once the agent asked to switch: its switch waits for every reply
    // owed here, and one more request would only make it wait longer.
    if (outermost_context().layer().agent_switch_asked()) return discard_event();
    // Nor once the pair ends because its agent went: it would go with it.
    if (outermost_context().layer().agent_left()) return discard_event();
    io::request_queue request = cmd->make_request();
    if (!outermost_context().layer().lower()->send_framed(request)) return discard_event();
    outermost_context().layer().expect_reply(true);
    return transit<st_ready_update_in_progress_t>();
}

boost::posix_time::time_duration layer_t::st_ready_update_in_progress_t::silence_limit =
    boost::posix_time::minutes(5);

boost::posix_time::time_duration layer_t::st_ready_update_in_progress_t::stall_limit =
    boost::posix_time::seconds(30);

layer_t::st_ready_update_in_progress_t::st_ready_update_in_progress_t(my_context ctx) : state_with_async_cmd(ctx) {
    outermost_context().layer().set_download_readiness(download_readiness_t::now);
    outermost_context().layer().lower()->set_idle_timeout(silence_limit);
    outermost_context().layer().start_stall_watch();
}

boost::statechart::result layer_t::st_ready_update_in_progress_t::react(const ev_download_withdrawn_t&) {
    withdraw();
    return transit<st_ready_t>();
}

boost::statechart::result layer_t::st_ready_update_in_progress_t::react(const ev_agent_raw_t&) {
    withdraw();
    return transit<st_ready_raw_t>();
}

void layer_t::st_ready_update_in_progress_t::withdraw() {
    if (boost::shared_ptr<download_context_t> download = boost::dynamic_pointer_cast<download_context_t>(get_cmd()))
        download->withdraw();
}

layer_t::st_ready_update_in_progress_t::~st_ready_update_in_progress_t() {
    outermost_context().layer().stop_stall_watch();
    // Outside a download the server may stay silent as long as it likes.
    if (const auto& lower = outermost_context().layer().lower()) lower->set_idle_timeout(boost::posix_time::pos_infin);
}

}  // namespace srv_side
