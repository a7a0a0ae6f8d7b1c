#include "proxy/proxy_connection.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "cache/cache_download_ctx.h"
#include "io/cmd_builder.h"
#include "io/detail/binders.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"
#include "proxy/cln_side_layer.h"
#include "proxy/cmd_args.h"
#include "proxy/defaults.h"
#include "proxy/listener.h"
#include "proxy/srv_side_layer.h"

using io::detail::make_weak_binder;

uint32_t proxy_connection_t::send_high_water = 4 << 20;
uint32_t proxy_connection_t::send_low_water = 2 << 20;
boost::posix_time::time_duration proxy_connection_t::half_close_limit = boost::posix_time::seconds(30);

proxy_connection_t::proxy_connection_t(boost::asio::io_service& service, const boost::weak_ptr<listener_t>& listener,
                                       const boost::shared_ptr<cache::cache_t>& cache)
    : service_(service),
      listener_(listener),
      cache_(cache),
      major_min_(INT_MAX),
      minor_min_(INT_MAX),
      platform_("win-nt-32"),
      name_("<noname>") {}

proxy_connection_t::~proxy_connection_t() = default;

namespace {

// Reads and send batches of 64 KiB instead of 8: update bodies and relayed
// bodies cross the daemon in a quarter of the system calls, while an idle
// pair still touches only the pages it uses.
io::proto::text_protocol_layer_options relay_options() {
    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = 64 << 10;
    options.send_batch_size = 64 << 10;
    options.body_memory_limit = quarnel::body_memory_limit;
    options.send_high_water = proxy_connection_t::send_high_water;
    options.send_low_water = proxy_connection_t::send_low_water;
    // A peer's end of stream ends only its direction: what it sent before
    // is handed on whole, and its partner may still answer it.
    options.half_close = true;
    return options;
}

typedef void (cln_side::layer_t::*relay_fn)(const std::string&, bool, const cln_side::args_range&,
                                            std::vector<char>&&);

/// A slot of a relay signal that hands the body on to the agent side without
/// copying it; skipped once that side is gone.
boost::function<void(const std::string&, bool, const cln_side::args_range&, std::vector<char>&)> relay_slot(
    relay_fn fn, const boost::weak_ptr<cln_side::layer_t>& client) {
    return [fn, client](const std::string& name, bool binary, const cln_side::args_range& args,
                        std::vector<char>& body) {
        if (boost::shared_ptr<cln_side::layer_t> layer = client.lock())
            ((*layer).*fn)(name, binary, args, std::move(body));
    };
}

/// What getpeername reports for an agent that has already closed or reset.
bool agent_gone(const boost::system::error_code& error) {
    return error == boost::asio::error::not_connected || error == boost::asio::error::connection_reset ||
           error == boost::asio::error::bad_descriptor;
}

}  // namespace

void proxy_connection_t::start(const io::accepted_socket& socket, const std::string& upstream) {
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    client_ = cln_side::layer_t::create(service_, me, relay_options());
    server_ = srv_side::layer_t::create(service_, me, relay_options());
    // Not attached yet: whatever the agent sends waits in the socket until
    // there is a server to relay it to.
    client_socket_ = socket;
    connect_signals();
    server_->connect(upstream);
}

void proxy_connection_t::connect_signals() {
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    boost::weak_ptr<cln_side::layer_t> client(client_);
    boost::weak_ptr<srv_side::layer_t> server(server_);
    server_->relay_forward.connect(relay_slot(&cln_side::layer_t::forward, client));
    server_->relay_disable_parser.connect(relay_slot(&cln_side::layer_t::forward_disable_parser, client));
    server_->relay_enable_filters.connect(relay_slot(&cln_side::layer_t::forward_enable_filters, client));
    client_->to_server_signal.connect(make_weak_binder(&srv_side::layer_t::forward, server));
    server_->lower()->sig_raw_data.connect(make_weak_binder(&cln_side::layer_t::relay_raw, client));
    client_->lower()->sig_raw_data.connect(make_weak_binder(&proxy_connection_t::on_client_raw, me));
    server_->snf_update_signal.connect(make_weak_binder(&proxy_connection_t::on_snf_update, me));
    client_->anf_state_signal.connect(make_weak_binder(&proxy_connection_t::on_anf_state, me));
    client_->arq_update_signal.connect(make_weak_binder(&proxy_connection_t::on_update_request, me));
    server_->lower()->sig_connected.connect(make_weak_binder(&proxy_connection_t::on_server_connected, me));
    server_->lower()->sig_disconnected.connect(make_weak_binder(&proxy_connection_t::on_server_closed, me));
    client_->lower()->sig_disconnected.connect(make_weak_binder(&proxy_connection_t::on_client_closed, me));
    client_->lower()->set_read_end_handler(make_weak_binder(&proxy_connection_t::on_client_read_end, me));
    server_->lower()->set_read_end_handler(make_weak_binder(&proxy_connection_t::on_server_read_end, me));
    // What the half-close limit counts as delivering: bytes on their way
    // from one side to the other, a body's parts included (a large relayed
    // command is handed on only once whole), stamped per direction. A PING
    // the daemon answers itself passes none of these.
    auto to_agent = [me](auto&&...) {
        if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->note_relayed(pair->relayed_to_agent_ms_);
    };
    auto to_server = [me](auto&&...) {
        if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->note_relayed(pair->relayed_to_server_ms_);
    };
    server_->relay_forward.connect(to_agent);
    server_->relay_disable_parser.connect(to_agent);
    server_->relay_enable_filters.connect(to_agent);
    client_->to_server_signal.connect(to_server);
    server_->lower()->sig_raw_data.connect(to_agent);
    client_->lower()->sig_raw_data.connect(to_server);
    server_->lower()->sig_cmd_progress.connect(to_agent);
    client_->lower()->sig_cmd_progress.connect(to_server);
    connect_backlog_signals();
}

void proxy_connection_t::connect_backlog_signals() {
    typedef boost::weak_ptr<io::proto::text_protocol_layer> weak_stack;
    // Per direction: a side with too much to send stops the reading of its
    // partner, whose bytes would only add to it. Its own reading goes on, so
    // a peer that writes a large request before it reads is never held
    // back by its own unread replies, unless it asks for the daemon's
    // answers (its layer holds it back for those).
    auto handler = [](const weak_stack& peer) {
        return [peer](bool congested) {
            boost::shared_ptr<io::proto::text_protocol_layer> stack = peer.lock();
            if (!stack) return;
            if (congested)
                stack->pause_reading(io::pause_peer_backlog);
            else
                stack->resume_reading(io::pause_peer_backlog);
        };
    };
    client_->lower()->set_backlog_handler(handler(weak_stack(server_->lower())));
    server_->lower()->set_backlog_handler(handler(weak_stack(client_->lower())));
}

std::string proxy_connection_t::name() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return name_;
}

void proxy_connection_t::on_server_connected(const boost::system::error_code& error) {
    if (error) {
        remove_from_listener();
        return;
    }
    try {
        client_->lower()->attach(client_socket_);
    } catch (const boost::system::system_error& e) {
        // The agent left (or reset) while the server was being reached: an
        // ordinary end with nothing to relay, not a fault of the daemon.
        LOG_AT(agent_gone(e.code()) ? LOG_LEVEL_DEBUG : LOG_LEVEL_WARNING,
               "[Proxy] Cannot attach the agent's connection because of %s", e.what());
        remove_from_listener();
        return;
    } catch (const std::exception& e) {
        pretty_print_exception(LOG_LEVEL_WARNING, "[Proxy] Cannot attach the agent's connection because of %s",
                               e.what(), dynamic_cast<const d_exception_t_shell_t*>(&e));
        remove_from_listener();
        return;
    }
    client_socket_ = io::accepted_socket();
    std::string name = client_->name() + "-" + server_->name();
    boost::mutex::scoped_lock guard(state_mutex_);
    name_ = name;
}

void proxy_connection_t::on_server_closed() {
    const bool reset = server_->lower()->peer_reset();
    const gone_outcome_t outcome = side_gone(server_end_, reset, agent_end_, client_->lower());
    if (outcome == gone_outcome_t::end_passed_on) pass_ends_on();
    // A download running there fails: the server's doing.
    if (outcome == gone_outcome_t::pair_ends) remove_from_listener();
    end_when_done();
}

void proxy_connection_t::on_client_closed() {
    const bool reset = client_->lower()->peer_reset();
    const gone_outcome_t outcome = side_gone(agent_end_, reset, server_end_, server_->lower());
    if (outcome == gone_outcome_t::end_passed_on) pass_ends_on();
    if (outcome == gone_outcome_t::pair_ends) remove_for_agent();
    end_when_done();
}

void proxy_connection_t::remove_for_agent() {
    // The agent's going is no failure of the server's: the download running
    // there is withdrawn first, on the upstream strand, so the agents
    // waiting for its files are served through another connection at once.
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    server_->post_agent_left([me] {
        if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->remove_from_listener();
    });
}

proxy_connection_t::gone_outcome_t proxy_connection_t::side_gone(side_end_t& side, bool reset, side_end_t& partner_end,
                                                                 const stack_ptr& partner) {
    bool cut;
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        side.gone = true;
        if (side.unreached_ms == 0) side.unreached_ms = io::steady_ms();
        if (side.read_ended) return gone_outcome_t::already_ended;
        if (!reset) {
            // Dropped by the daemon (a bad command, a time limit): what it
            // sent before still reaches the other side, then that side ends.
            side.read_ended = true;
            return gone_outcome_t::end_passed_on;
        }
        cut = !partner_end.send_ended;
    }
    // A reset ends the pair at once; what was queued towards either side
    // goes. The stream towards the partner breaks off where the reset came
    // (bytes of it may still have been on their way to us, or inside the
    // daemon): unless its end was passed on whole before, the partner is
    // reset too when the pair's end closes it, so that it never reads an
    // orderly end behind a cut stream. Only marked here: a disconnect from
    // this thread would meet the partner's own handlers on its strand.
    if (cut) partner->mark_cut();
    return gone_outcome_t::pair_ends;
}

void proxy_connection_t::on_client_read_end() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        agent_end_.read_ended = true;
    }
    pass_ends_on();
    end_when_done();
}

void proxy_connection_t::on_server_read_end() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        server_end_.read_ended = true;
    }
    // Nothing more can come from this server: a download it runs fails now
    // and its agents are served through another connection.
    server_->read_ended();
    pass_ends_on();
    end_when_done();
}

bool proxy_connection_t::update_reply_owed() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        // The cache's pending list is walked only for an agent that asked.
        if (!update_asked_) return false;
    }
    // Asked outside `state_mutex_`: the cache calls this pair with its own
    // mutex held, and takes `state_mutex_` then (can_download).
    return cache_ && cache_->request_waits(boost::weak_ptr<cache::cache_events_t>(shared_from_this()));
}

void proxy_connection_t::pass_ends_on() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        if (!end_due()) return;
    }
    // Once the agent's end has been read no new request can come, so a reply
    // found not owed stays so; a download is only ever started for a
    // request of this agent's, so none can start either.
    const bool owed = update_reply_owed();
    bool to_server = false, to_agent = false;
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        // Only an agent that half-closed is held for its reply: one whose
        // server went first ends as it did, right behind what it was sent.
        const bool agent_waits = owed && agent_end_.read_ended && !agent_end_.gone;
        // Towards the server: the download running there (or queued) would
        // lose its acknowledgements and requests behind the end, and a
        // server that closes on it would fail the download. Held too while
        // the agent waits for its reply: a download retried for it may have
        // to go through this connection, the only one left that can.
        if (agent_end_.read_ended && !server_end_.end_asked && downloads_ == 0 && !agent_waits)
            to_server = server_end_.end_asked = true;
        // Towards the agent: its update reply, from the cache or from a
        // download through any connection, comes before its end of stream.
        if (server_end_.read_ended && !agent_end_.end_asked && !agent_waits) to_agent = agent_end_.end_asked = true;
    }
    if (to_server) end_toward_server();
    if (to_agent) end_toward_agent();
}

bool proxy_connection_t::end_due() const {
    return (agent_end_.read_ended && !server_end_.end_asked) || (server_end_.read_ended && !agent_end_.end_asked);
}

void proxy_connection_t::download_left() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        if (downloads_ > 0) --downloads_;
    }
    pass_ends_on();
}

void proxy_connection_t::end_toward_server() {
    // Posted, unlike the end towards the agent: the agent's raw bytes and
    // its switch to raw are posted to the upstream strand (on_client_raw,
    // switch_to_raw) and reach the upstream side only there; an end asked
    // for directly could overtake them, and they would be dropped behind it.
    boost::function<void()> done = sending_ended(&proxy_connection_t::server_end_);
    boost::weak_ptr<srv_side::layer_t> server(server_);
    server_->lower()->get_strand()->post([server, done] {
        if (boost::shared_ptr<srv_side::layer_t> layer = server.lock()) layer->end_sending(done);
    });
}

void proxy_connection_t::end_toward_agent() {
    // Direct, unlike the end towards the server: everything towards the
    // agent (relayed commands, raw bytes, update replies) is queued on its
    // stack at once, from whatever thread, never posted; so it is all ahead
    // of this end already.
    client_->end_sending(sending_ended(&proxy_connection_t::agent_end_));
}

boost::function<void()> proxy_connection_t::sending_ended(side_end_t proxy_connection_t::*side) {
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    return [me, side] {
        boost::shared_ptr<proxy_connection_t> pair = me.lock();
        if (!pair) return;
        {
            boost::mutex::scoped_lock guard(pair->state_mutex_);
            ((*pair).*side).send_ended = true;
        }
        pair->end_when_done();
    };
}

namespace {

/// The spacing of the half-close limit's looks at what peers have taken.
boost::posix_time::time_duration half_close_look(int64_t limit_ms) {
    return boost::posix_time::milliseconds(std::max<int64_t>(1, limit_ms / 4));
}

}  // namespace

void proxy_connection_t::end_when_done() {
    boost::mutex::scoped_lock guard(state_mutex_);
    // A direction is done once its receiver has read its sender's end of
    // stream behind every byte, or once the receiver is gone.
    const bool to_server = server_end_.gone || (agent_end_.read_ended && server_end_.send_ended);
    const bool to_agent = agent_end_.gone || (server_end_.read_ended && agent_end_.send_ended);
    if (to_server && to_agent) {
        // A peer that still sends, its partner gone, may still be owed what
        // its system has not acknowledged: closing now would let its next
        // bytes meet a closed socket, whose reset throws those away.
        const bool server_sends = !server_end_.gone && !server_end_.read_ended;
        const bool agent_sends = !agent_end_.gone && !agent_end_.read_ended;
        guard.unlock();
        const bool server_owed = server_sends && server_->lower()->delivery().owed;
        if (!server_owed && !(agent_sends && client_->lower()->delivery().owed)) {
            remove_from_listener();
            return;
        }
        look_at_delivery_later();
        guard.lock();
    }
    if (!(to_server || to_agent) || half_closed_ || half_close_limit.is_special()) return;
    half_closed_ = true;
    half_closed_ms_ = io::steady_ms();
    guard.unlock();
    // Only this call gets here, once: the flag above keeps every other out.
    // Made only now: most pairs end both ways at once, or never half-close.
    half_close_timer_.reset(new boost::asio::deadline_timer(service_));
    last_delivery_ms(io::steady_ms());
    arm_half_close_timer(half_close_look(half_close_limit.total_milliseconds()));
}

void proxy_connection_t::look_at_delivery_later() {
    boost::mutex::scoped_lock guard(state_mutex_);
    if (delivery_looking_) return;
    delivery_looking_ = true;
    // The acknowledgement raises no event: its count is looked at as often
    // as a held-back reader looks for its peer's end.
    if (!delivery_timer_) delivery_timer_.reset(new boost::asio::deadline_timer(service_));
    delivery_timer_->expires_from_now(io::transport_layer::peer_watch_interval);
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    delivery_timer_->async_wait([me](const boost::system::error_code& error) {
        boost::shared_ptr<proxy_connection_t> pair = me.lock();
        if (!pair) return;
        {
            boost::mutex::scoped_lock guard(pair->state_mutex_);
            pair->delivery_looking_ = false;
        }
        if (!error) pair->end_when_done();
    });
}

void proxy_connection_t::arm_half_close_timer(boost::posix_time::time_duration delay) {
    // A few looks per limit rather than work per byte: relayed bytes only
    // stamp the time, and what a peer has taken is looked at here.
    half_close_timer_->expires_from_now(delay);
    half_close_timer_->async_wait(make_weak_binder(&proxy_connection_t::on_half_close_limit,
                                                  boost::weak_ptr<proxy_connection_t>(shared_from_this())));
}

void proxy_connection_t::on_half_close_limit(const boost::system::error_code& error) {
    if (error) return;
    const int64_t limit = half_close_limit.is_special() ? -1 : half_close_limit.total_milliseconds();
    if (limit < 0) return;
    const int64_t now = io::steady_ms();
    const int64_t idle = now - last_delivery_ms(now);
    if (idle < limit) {
        // The count starts at the last delivery; a peer's taking shows only
        // at a look, so there are a few of them in each limit.
        const boost::posix_time::time_duration rest = boost::posix_time::milliseconds(limit - idle);
        arm_half_close_timer(std::min(rest, half_close_look(limit)));
        return;
    }
    LOG_AT(LOG_LEVEL_WARNING, "[Proxy] %s: One direction ended %s ms ago and the other did not, disconnect",
           name().c_str(), std::to_string(limit).c_str());
    bool agent_gone;
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        agent_gone = agent_end_.gone;
    }
    // A download still running here outlived its agent, whom the daemon
    // dropped (a violation, a write stall) or who closed with bytes unread:
    // the pair ends for the agent, not for its server.
    if (agent_gone) return remove_for_agent();
    remove_from_listener();
}

void proxy_connection_t::note_relayed(std::atomic<int64_t>& toward) { toward.store(io::steady_ms()); }

int64_t proxy_connection_t::last_delivery_ms(int64_t now) {
    // A peer whose system refuses our bytes is marked at the first look
    // that sees it, one whose connection is gone when it goes.
    const bool agent_refused = client_->lower()->sending_refused();
    const bool server_refused = server_->lower()->sending_refused();
    int64_t last;
    bool agent_reached, server_reached;
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        // Bytes read towards a side that takes nothing any more reach
        // nobody: they count only up to the moment it went, else a peer
        // that writes on towards it would keep the pair for as long as it
        // writes.
        auto relayed = [now](side_end_t& side, bool refused, const std::atomic<int64_t>& stamp) {
            if (refused && side.unreached_ms == 0) side.unreached_ms = now;
            return side.unreached_ms == 0 ? stamp.load() : std::min(stamp.load(), side.unreached_ms);
        };
        last = std::max({half_closed_ms_, relayed(agent_end_, agent_refused, relayed_to_agent_ms_),
                         relayed(server_end_, server_refused, relayed_to_server_ms_)});
        agent_reached = agent_end_.unreached_ms == 0;
        server_reached = server_end_.unreached_ms == 0;
    }
    // Taken some time since the last look: counted as now, which can only
    // make the pair look less idle than it was.
    if (peers_took(agent_reached, server_reached)) taken_ms_ = now;
    return std::max(last, taken_ms_);
}

bool proxy_connection_t::peers_took(bool agent_reached, bool server_reached) {
    // Bytes taken count only when they were owed at the last look: the
    // daemon's own PING to an agent, sent and taken between two looks,
    // keeps no pair; a reply or relayed bytes still queued do. A peer that
    // refused our bytes takes none: its system dropped them.
    auto took = [](const io::delivery_t& now, io::delivery_t& seen) {
        const bool delivered = seen.owed && now.taken > seen.taken;
        seen.taken = std::max(seen.taken, now.taken);
        seen.owed = now.owed;
        return delivered;
    };
    const bool agent = took(agent_reached ? client_->lower()->delivery() : io::delivery_t(), agent_seen_);
    const bool server = took(server_reached ? server_->lower()->delivery() : io::delivery_t(), server_seen_);
    return agent || server;
}

void proxy_connection_t::remove_from_listener() {
    boost::shared_ptr<listener_t> listener = listener_.lock();
    if (listener) listener->remove(shared_from_this());
}

void proxy_connection_t::lower_version(int32_t major) {
    boost::mutex::scoped_lock guard(state_mutex_);
    if (major < major_min_) major_min_ = major;
}

void proxy_connection_t::lower_minor_version(int32_t minor) {
    boost::mutex::scoped_lock guard(state_mutex_);
    if (minor < minor_min_) minor_min_ = minor;
}

bool proxy_connection_t::version_at_least(int32_t major, int32_t minor) const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return major_min_ > major || (major_min_ == major && minor_min_ >= minor);
}

bool proxy_connection_t::compression_allowed() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return compression_allowed_;
}

bool proxy_connection_t::crypt_allowed() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return crypt_allowed_;
}

void proxy_connection_t::restrict_offers(bool offers_compression, bool offers_crypt) {
    boost::mutex::scoped_lock guard(state_mutex_);
    compression_allowed_ = compression_allowed_ && offers_compression;
    crypt_allowed_ = crypt_allowed_ && offers_crypt;
}

std::string proxy_connection_t::platform() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return platform_;
}

snf_update_record_t proxy_connection_t::last_snf_update() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return last_snf_;
}

uint32_t proxy_connection_t::update_request_number() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return update_request_number_;
}

size_t proxy_connection_t::config_ids_kept = 1024;
size_t proxy_connection_t::relayed_lists_kept = 1024;

void proxy_connection_t::put_config_id(uint32_t number, uint32_t id) {
    boost::mutex::scoped_lock guard(id_mutex_);
    std::map<uint32_t, config_request_t>::iterator found = config_ids_.find(id);
    if (found != config_ids_.end()) {
        found->second.number = static_cast<int32_t>(number);
        config_age_.splice(config_age_.end(), config_age_, found->second.age);
        return;
    }
    // The age list first: should the map's insert fail, the id is taken
    // back out and both stay in step.
    config_age_.push_back(id);
    try {
        config_ids_.emplace(id, config_request_t{static_cast<int32_t>(number), std::prev(config_age_.end())});
    } catch (...) {
        config_age_.pop_back();
        throw;
    }
    // Requests the server never answered would otherwise stay for the life
    // of the pair; their CONFIG, should it still come, reads as unknown.
    while (config_ids_.size() > std::max<size_t>(config_ids_kept, 1)) {
        config_ids_.erase(config_age_.front());
        config_age_.pop_front();
    }
}

int32_t proxy_connection_t::take_config_id(uint32_t id) {
    boost::mutex::scoped_lock guard(id_mutex_);
    std::map<uint32_t, config_request_t>::iterator found = config_ids_.find(id);
    if (found == config_ids_.end()) return -1;
    const int32_t number = found->second.number;
    config_age_.erase(found->second.age);
    config_ids_.erase(found);
    return number;
}

void proxy_connection_t::forward_raw_to_client(io::request_queue& queue) {
    note_relayed(relayed_to_agent_ms_);
    client_->forward_raw(queue);
}

void proxy_connection_t::forward_to_client_then_raw(io::request_queue& queue) {
    note_relayed(relayed_to_agent_ms_);
    client_->forward_raw_then_disable_parser(queue);
}

void proxy_connection_t::client_follows_raw() { client_->disable_parser(); }

void proxy_connection_t::switch_to_raw(io::request_queue& install) {
    client_->stop_parsing();
    turned_raw();
    // What the agent sends behind its INSTALL waits unread while the switch
    // waits upstream for the replies owed to the daemon's own download
    // there: what was read already waits there, in order, no more.
    client_->lower()->pause_reading(io::pause_switch_wait);
    boost::weak_ptr<cln_side::layer_t> client(client_);
    // The INSTALL goes up numbered, nothing after it is; the upstream
    // parser goes off on its own strand, handing on first what it holds of
    // a server command.
    server_->post_agent_switch(install, [client] {
        if (boost::shared_ptr<cln_side::layer_t> layer = client.lock())
            layer->lower()->resume_reading(io::pause_switch_wait);
    });
}

void proxy_connection_t::turned_raw() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        if (raw_) return;
        raw_ = true;
        if (!update_asked_ || !cache_) return;
    }
    // Posted: the machine calls from inside a transition, and the cache
    // must not be walked there.
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    service_.post([me] {
        if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->withdraw_requests();
    });
}

void proxy_connection_t::withdraw_requests() {
    log_failure(LOG_LEVEL_ERROR, "[Proxy] Withdrawing update requests failed because of %s",
                [&] { cache_->withdraw_requests(boost::weak_ptr<cache::cache_events_t>(shared_from_this())); });
    // An end held back for a reply goes on now.
    pass_ends_on();
}

void proxy_connection_t::on_client_raw(io::request_queue& queue) {
    // Sent unchanged (forward_raw turns the upstream sending raw), on the
    // upstream strand: the end of the agent's sending is posted there too
    // (end_toward_server), and these bytes, read before it, go ahead of it.
    boost::shared_ptr<io::request_queue> bytes = boost::make_shared<io::request_queue>(std::move(queue));
    boost::weak_ptr<srv_side::layer_t> server(server_);
    server_->lower()->get_strand()->post([server, bytes] {
        if (boost::shared_ptr<srv_side::layer_t> layer = server.lock()) layer->forward_raw(*bytes);
    });
}

void proxy_connection_t::on_snf_update(const std::string& repository, unsigned long long revision, int announcement,
                                       std::vector<cache::file_info_t> files, const args_range& args,
                                       const std::vector<char>& body) {
    std::string platform;
    {
        // Compare and replace in one step: the agent's ANF_STATE resets the
        // revision from the other strand.
        boost::mutex::scoped_lock guard(state_mutex_);
        if (last_snf_.rev == revision && last_snf_.name == repository && last_snf_.files == files) {
            const std::string name = name_;
            guard.unlock();
            LOG_AT(LOG_LEVEL_TRACE3, "[Proxy] %s: Ignore same SNF_UPDATE from server", name.c_str());
            // Not relayed, yet it may have ended the negotiation in raw mode.
            if (server_->current_relay() == &server_->relay_disable_parser) client_follows_raw();
            return;
        }
        last_snf_.name = repository;
        last_snf_.rev = revision;
        last_snf_.announcement = announcement;
        last_snf_.files = files;
        platform = platform_;
    }
    // Stored before the agent is shown it: an agent may ask for the revision
    // the moment it reads the announcement, and its request must find the
    // list, however long the cache's lock is held meanwhile.
    if (cache_) store_announced(repository, revision, platform, files);
    // Through the relay in force: during the negotiation this announcement
    // has just turned the server side raw, and the agent side must follow
    // right behind it. The relay takes the body it is given over, so it gets
    // a copy of this (small) list.
    std::vector<char> relayed(body);
    (*server_->current_relay())("SNF_UPDATE", true, args, relayed);
}

void proxy_connection_t::store_announced(const std::string& repository, unsigned long long revision,
                                         const std::string& platform, const std::vector<cache::file_info_t>& files) {
    cache::repo_key_t key;
    key.name = repository;
    key.rev = revision;
    key.platform = platform;
    cache::cache_t::announced_ptr list;
    try {
        list = cache_->merge(key, files);
    } catch (const std::exception& e) {
        // An announcement the cache refuses (a name or md5 text it cannot
        // store, a file-system error) is no reason to drop the server, nor
        // to keep it from the agent: only this list is not stored, and a
        // list of the key relayed before is no longer the agent's either.
        log_cache_refusal("SNF_UPDATE", repository, "stored", e);
    }
    // Remembered before the agent is shown the list, as the cache holds it.
    boost::mutex::scoped_lock guard(relayed_mutex_);
    relayed_.remove_if([&](const std::pair<cache::repo_key_t, cache::cache_t::announced_ptr>& entry) {
        return entry.first == key;
    });
    forgotten_.remove(key);
    if (!list) return forget(key);
    relayed_.emplace_back(key, list);
    // Revisions of one repository older than those the cache keeps are no
    // use to the agent (their requests are refused as cleaned) and would
    // hold their lists: they go first, so that the bound counts the
    // repositories a server announces rather than its revisions.
    for (;;) {
        auto oldest = relayed_.end();
        size_t same = 0;
        for (auto it = relayed_.begin(); it != relayed_.end(); ++it) {
            if (it->first.name != key.name || it->first.platform != key.platform) continue;
            ++same;
            if (oldest == relayed_.end() || it->first.rev < oldest->first.rev) oldest = it;
        }
        if (same <= cache::cache_t::kept_revisions) break;
        forget(oldest->first);
        relayed_.erase(oldest);
    }
    while (relayed_.size() > std::max<size_t>(relayed_lists_kept, 1)) {
        forget(relayed_.front().first);
        relayed_.pop_front();
    }
}

void proxy_connection_t::forget(const cache::repo_key_t& key) {
    forgotten_.push_back(key);
    while (forgotten_.size() > std::max<size_t>(relayed_lists_kept, 1)) forgotten_.pop_front();
}

bool proxy_connection_t::relayed(const cache::repo_key_t& key, cache::cache_t::announced_ptr& list) const {
    boost::mutex::scoped_lock guard(relayed_mutex_);
    for (const auto& entry : relayed_)
        if (entry.first == key) {
            list = entry.second;
            return true;
        }
    return std::find(forgotten_.begin(), forgotten_.end(), key) != forgotten_.end();
}

void proxy_connection_t::on_anf_state(const std::string& first, const std::vector<std::string>& args) {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        platform_ = first;
        // The agent starts over: the next announcement is relayed even when it repeats.
        last_snf_.rev = 0;
    }
    io::proto::cmd_builder builder("ANF_STATE", false);
    for (const std::string& arg : args) builder.append_argument(arg);
    io::request_queue queue = builder.build();
    server_->forward(queue);
}

void proxy_connection_t::on_update_request(uint32_t number, const std::string& repository,
                                           unsigned long long revision, int /*announcement*/,
                                           const std::vector<char>& mask) {
    cache::repo_key_t key;
    key.name = repository;
    key.rev = revision;
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        update_request_number_ = number;
        update_asked_ = true;
        key.platform = platform_;
        // Read before the switch reached this side's parser: no reply can
        // follow it into a raw stream.
        if (raw_) return;
    }
    if (!cache_) return;
    try {
        // Outside the lock: the cache may answer at once through files_ready.
        cache_->request_update(key, mask, boost::weak_ptr<cache::cache_events_t>(shared_from_this()), number);
    } catch (const cache::unmatched_request_error_shell_t& e) {
        // A mask that does not fit the announced list, a key not announced:
        // no reply will ever come, so the agent is let go to ask again
        // rather than left waiting; unless the pair turned raw meanwhile,
        // whose agent waits for nothing of the daemon's.
        log_cache_refusal("ARQ_UPDATE", repository, "served", e);
        if (!turned_raw_already()) disconnect_agent();
    } catch (const std::exception& e) {
        // Any other refusal (a name the cache could never store) leaves the agent connected.
        log_cache_refusal("ARQ_UPDATE", repository, "served", e);
    }
    // The pair turned raw while the request went in: the withdrawal it
    // posted may have run before, so this request goes now.
    if (turned_raw_already()) withdraw_requests();
}

void proxy_connection_t::log_cache_refusal(const char* command, const std::string& repository, const char* outcome,
                                           const std::exception& error) const {
    const std::string format = cmd_args::literal_format("[Proxy] " + name() + ": " + command + " for " +
                                                        escape_log_text(repository) + " not " + outcome) +
                               " because of %s";
    pretty_print_exception(LOG_LEVEL_ERROR, format.c_str(), error.what(),
                           dynamic_cast<const d_exception_t_shell_t*>(&error));
}

bool proxy_connection_t::turned_raw_already() const {
    boost::mutex::scoped_lock guard(state_mutex_);
    return raw_;
}

void proxy_connection_t::files_ready(uint32_t request, const std::vector<cache::served_file_t>& files) {
    // Withdrawn, or about to be: a reply would land in the raw stream.
    if (turned_raw_already()) return pass_ends_on_later();
    try {
        // The number of the request answered: a later request of the same
        // agent, waiting or not, has its own reply.
        client_->send_srs_update(request, files);
        note_relayed(relayed_to_agent_ms_);
    } catch (const std::exception& e) {
        // A file that could not be read when its bytes were due (removed or
        // changed on disk): the reply is broken off, never completed wrong.
        drop_agent(e.what(), dynamic_cast<const d_exception_t_shell_t*>(&e));
    }
    pass_ends_on_later();
}

void proxy_connection_t::update_failed(uint32_t /*request*/, const std::string& reason) {
    // A raw pair's requests are withdrawn, not failed: its agent stays.
    if (!turned_raw_already()) drop_agent(reason.c_str(), nullptr);
    pass_ends_on_later();
}

void proxy_connection_t::pass_ends_on_later() {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        if (!end_due()) return;
    }
    // Posted: the cache calls with its mutex held, and counts this request
    // answered only once the call has returned.
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    service_.post([me] {
        if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->pass_ends_on();
    });
}

void proxy_connection_t::drop_agent(const char* reason, const d_exception_t_shell_t* shell) {
    const std::string format = cmd_args::literal_format("[Proxy] " + name() +
                                                        ": Update request not served, agent disconnected") +
                               " because of %s";
    pretty_print_exception(LOG_LEVEL_ERROR, format.c_str(), reason, shell);
    disconnect_agent();
}

void proxy_connection_t::disconnect_agent() {
    // Posted: the cache may call with its mutex held, and the disconnection's
    // clean-up must not run under it.
    boost::weak_ptr<cln_side::layer_t> client(client_);
    client_->lower()->get_strand()->post([client] {
        if (boost::shared_ptr<cln_side::layer_t> layer = client.lock()) layer->lower()->disconnect();
    });
}

bool proxy_connection_t::can_download() const {
    // A download posted to a machine that cannot send it would be dropped
    // unsent; the files must come through a connection that can.
    if (server_->download_readiness() != srv_side::layer_t::download_readiness_t::now ||
        server_->download_stalled() || server_->ended() || server_->agent_left())
        return false;
    // Kept apart from the server's own state: a request sent behind the end
    // of the agent's sending would be dropped unsent and its agents wait.
    boost::mutex::scoped_lock guard(state_mutex_);
    // Nor once the pair turned raw or its agent asked to: a reply would
    // reach the agent's raw stream, or hold its switch back.
    return !server_end_.end_asked && !raw_;
}

bool proxy_connection_t::can_download_later() const {
    return server_->download_readiness() == srv_side::layer_t::download_readiness_t::not_yet &&
           !server_->download_stalled() && !server_->ended();
}

void proxy_connection_t::download_readiness_settled() {
    if (!cache_) return;
    {
        // Only an agent that asked can have requests waiting: every other
        // connection's negotiation stays clear of the cache's lock. One that
        // asks after this look finds the machine ready already.
        boost::mutex::scoped_lock guard(state_mutex_);
        if (!update_asked_) return;
    }
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    boost::shared_ptr<cache::cache_t> cache = cache_;
    // Posted: the machine calls from inside a transition, on its strand.
    service_.post([me, cache] {
        boost::shared_ptr<proxy_connection_t> pair = me.lock();
        if (!pair) return;
        // A raw pair's requests are withdrawn, never examined again.
        if (pair->turned_raw_already()) return pair->withdraw_requests();
        log_failure(LOG_LEVEL_ERROR, "[Proxy] Serving waiting update requests failed because of %s",
                    [&] { cache->requester_ready(boost::weak_ptr<cache::cache_events_t>(pair)); });
    });
}

void proxy_connection_t::download_needed(const boost::shared_ptr<srv_side::download_context_t>& download) {
    {
        boost::mutex::scoped_lock guard(state_mutex_);
        download->announcement = last_snf_.announcement;
        // Counted before it is queued: the end of the agent's sending waits
        // for it from now on, not only once it runs.
        ++downloads_;
    }
    // The download's end may come with the cache's mutex held: the pair
    // learns of it on a handler of its own.
    boost::weak_ptr<proxy_connection_t> me(shared_from_this());
    boost::asio::io_service& service = service_;
    download->set_end_hook([me, &service] {
        service.post([me] {
            if (boost::shared_ptr<proxy_connection_t> pair = me.lock()) pair->download_left();
        });
    });
    server_->post_download_request(download);
}
