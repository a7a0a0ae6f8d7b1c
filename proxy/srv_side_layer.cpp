#include "proxy/srv_side_layer.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_download_ctx.h"
#include "io/detail/binders.h"
#include "io/zlib_filters.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"
#include "proxy/proxy_connection.h"
// The handler classes register from static initialisers of the units that
// define them; including them here links them wherever this layer is linked.
#include "proxy/srv_side_cmd_handlers.h"
#include "proxy/srv_side_machine.h"
#include "proxy/srv_side_update_handlers.h"

namespace srv_side {

boost::shared_ptr<layer_t> layer_t::create(boost::asio::io_service& service,
                                           const boost::weak_ptr<proxy_connection_t>& owner,
                                           const io::proto::text_protocol_layer_options& options) {
    TRACE_POINT;
    boost::shared_ptr<layer_t> layer(new layer_t(service, owner, options));
    layer->postconstruct(layer);
    // The server decides when the upstream connection ends, never idleness.
    layer->lower_->set_idle_timeout(boost::posix_time::pos_infin);
    return layer;
}

layer_t::layer_t(boost::asio::io_service& service, const boost::weak_ptr<proxy_connection_t>& owner,
                 const io::proto::text_protocol_layer_options& options)
    : base_type(io::proto::text_protocol_layer::create(service, options)),
      owner_(owner),
      stall_timer_(service),
      machine_(*this) {
    machine_.initiate();
}

layer_t::~layer_t() = default;

void layer_t::derived_postconstruct() {
    // Weakly bound: the stack below can outlive this layer for the length of
    // one emission running on another thread.
    lower_->sig_connected.connect(io::detail::make_weak_binder(&layer_t::on_connected, self_));
    lower_->sig_disconnected.connect(io::detail::make_weak_binder(&layer_t::on_disconnected, self_));
    lower_->sig_violation.connect(io::detail::make_weak_binder(&layer_t::on_violation, self_));
}

void layer_t::connect(const std::string& client_spec) { lower_->connect(client_spec); }

void layer_t::forward(io::request_queue& queue) { lower_->send(queue); }

void layer_t::forward_raw(io::request_queue& queue) {
    if (!switch_waiting_) return lower_->send_raw(queue);
    // Behind the INSTALL that waits: raw bytes in front of it would reach
    // the server as garbled commands.
    io::request_queue taken(std::move(queue));
    held_raw_.push_back(taken);
}

void layer_t::forward_then_raw(io::request_queue& queue) { lower_->send_then_disable_parser(queue); }

void layer_t::send_text(io::request_queue& queue) {
    if (sending_ending_.load()) {
        // A command behind the end would be dropped below, yet logged as sent.
        queue.clear();
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/SrvSide] %s: Command of the proxy's own not sent: the sending has ended",
               name().c_str());
        return;
    }
    // Dropped as well once the upstream stream is raw: it is the agent's then.
    lower_->send_framed(queue);
}

void layer_t::end_sending(const boost::function<void()>& done) {
    if (switch_waiting_) {
        // Behind the agent's INSTALL and raw bytes, which wait.
        end_held_ = true;
        held_end_ = done;
        return;
    }
    sending_ending_.store(true);
    lower_->end_sending(done);
}

void layer_t::enable_filters() {
    TRACE_POINT;
    boost::shared_ptr<proxy_connection_t> owner = owner_.lock();
    if (!owner || !owner->compression_allowed()) return;
    lower_->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
    lower_->add_outcoming_filter(boost::make_shared<io::zlib_deflate_filter>());
}

template <class Event>
void layer_t::process(const Event& event) {
    machine_.process_event(event);
}

template <class Event>
void layer_t::post_event(const Event& event) {
    auto call = io::detail::make_weak_binder(&layer_t::process<Event>, self_);
    lower_->get_strand()->post([call, event] { call(event); });
}

void layer_t::post_switch_to_raw() { post_event(ev_agent_raw_t()); }

void layer_t::post_agent_switch(io::request_queue& install, const boost::function<void()>& switched) {
    // Set before anything is posted: a download request already on its way
    // to the machine finds it and is dropped, so its agents are served
    // through another connection.
    switch_asked_.store(true);
    boost::shared_ptr<io::request_queue> held = boost::make_shared<io::request_queue>(std::move(install));
    boost::weak_ptr<layer_t> self(self_);
    // Posted: the agent's raw bytes and its end are posted behind it, and
    // the machine runs only on this strand.
    lower_->get_strand()->post([self, held, switched] {
        if (boost::shared_ptr<layer_t> layer = self.lock()) layer->begin_agent_switch(*held, switched);
    });
}

void layer_t::begin_agent_switch(io::request_queue& install, const boost::function<void()>& switched) {
    switch_waiting_ = true;
    held_install_ = std::move(install);
    switched_ = switched;
    if (!reply_owed_) return switch_for_agent();
    // A reply owed to the daemon, begun or not, would reach the agent's raw
    // stream, which could not tell it apart: the switch waits until it has
    // been read and dropped, whatever became of its download (running,
    // given up, failed, finished elsewhere). The download running here, if
    // any, is withdrawn now, its agents served through another connection.
    withdraw_download();
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/SrvSide] %s: The agent's switch to raw waits for the reply owed to a download",
           name().c_str());
    // Bounded as the download itself was: the limit counts from the last
    // byte of the reply, header included. Should it run out in the middle
    // of the reply, the switch drops the reply to the end of its frame.
    lower_->set_own_reply(cmd_srs_update_t::command_name);
    start_stall_watch();
}

void layer_t::withdraw_download() {
    if (reply_owed_) abandoned_reply_ = true;
    machine_.process_event(ev_download_withdrawn_t());
}

void layer_t::post_agent_left(const boost::function<void()>& then) {
    // Set before anything is posted: a download request already on its way
    // to the machine finds it and is dropped unsent.
    agent_left_.store(true);
    boost::weak_ptr<layer_t> self(self_);
    // On the strand, in the order of the machine's own events: a download
    // the server ended first (its close, its reset, a stall, a broken
    // reply) was counted then, and is no longer there to withdraw.
    lower_->get_strand()->post([self, then] {
        if (boost::shared_ptr<layer_t> layer = self.lock()) layer->withdraw_download();
        then();
    });
}

void layer_t::switch_if_nothing_owed() {
    if (switch_waiting_ && !reply_owed_) switch_for_agent();
}

void layer_t::switch_for_agent() {
    if (!switch_waiting_) return;
    switch_waiting_ = false;
    stop_stall_watch();
    // The INSTALL goes up numbered and nothing after it is; the machine
    // turns raw behind it.
    io::request_queue install(std::move(held_install_));
    lower_->send_then_disable_parser(install);
    process(ev_agent_raw_t());
    if (!held_raw_.empty()) lower_->send_raw(held_raw_);
    if (end_held_) {
        end_held_ = false;
        boost::function<void()> done;
        done.swap(held_end_);
        end_sending(done);
    }
    boost::function<void()> switched;
    switched.swap(switched_);
    if (switched) switched();
}

void layer_t::post_download_request(const boost::shared_ptr<download_context_t>& download) {
    post_event(ev_download_update_request_t(download));
}

boost::shared_ptr<download_context_t> layer_t::running_download() const {
    return machine_.find_async_cmd<download_context_t>();
}

void layer_t::note_download_progress() { last_progress_ = boost::posix_time::microsec_clock::universal_time(); }

void layer_t::start_stall_watch() {
    ++stall_generation_;
    note_download_progress();
    arm_stall_timer(last_progress_ + st_ready_update_in_progress_t::stall_limit);
}

void layer_t::stop_stall_watch() {
    // A completion already queued sees another generation and does nothing.
    ++stall_generation_;
    boost::system::error_code ignored;
    stall_timer_.cancel(ignored);
}

void layer_t::arm_stall_timer(boost::posix_time::ptime deadline) {
    // One wait per limit rather than one per body piece: progress only
    // stamps the time, and an expiry that finds a recent stamp waits again.
    stall_timer_.expires_at(deadline);
    auto call = io::detail::make_weak_binder(&layer_t::on_stall_timer, self_);
    const unsigned generation = stall_generation_;
    stall_timer_.async_wait(lower_->get_strand()->wrap(
        [call, generation](const boost::system::error_code& error) { call(generation, error); }));
}

void layer_t::discount_held_reading() {
    // The clock stands still while the daemon itself holds this server's
    // reading back (its agent slow to read, the body budget full): that
    // silence is not the server's.
    if (lower_->reading_paused()) {
        last_progress_ = boost::posix_time::microsec_clock::universal_time();
        return;
    }
    progress_at(lower_->reading_released_ms());
}

void layer_t::progress_at(int64_t steady) {
    if (steady == 0) return;
    const boost::posix_time::ptime at = boost::posix_time::microsec_clock::universal_time() -
                                        boost::posix_time::milliseconds(io::steady_ms() - steady);
    if (at > last_progress_) last_progress_ = at;
}

void layer_t::on_stall_timer(unsigned generation, const boost::system::error_code& error) {
    if (error || generation != stall_generation_) return;
    discount_held_reading();
    // The body stamps its progress as it comes; the header and the closing
    // CR LF of the reply the switch waits for are told by the parser.
    if (switch_waiting_) progress_at(lower_->own_reply_progress_ms());
    const boost::posix_time::ptime deadline = last_progress_ + st_ready_update_in_progress_t::stall_limit;
    if (boost::posix_time::microsec_clock::universal_time() < deadline) {
        arm_stall_timer(deadline);
        return;
    }
    if (switch_waiting_) {
        // The limit ran out while the agent's switch waited for a reply:
        // should it still come, it is the agent's now.
        reply_owed_ = false;
        LOG_AT(LOG_LEVEL_WARNING, "[Layer/SrvSide] %s: The reply owed to a download made no progress for %ld ms; "
               "the agent's switch to raw waits no longer", name().c_str(),
               static_cast<long>(st_ready_update_in_progress_t::stall_limit.total_milliseconds()));
        return switch_for_agent();
    }
    boost::shared_ptr<download_context_t> download = running_download();
    // The repository name is the server's text.
    const std::string what = download ? escape_log_text(download->key().name) + "/" +
                                            std::to_string(download->key().rev)
                                      : std::string("<none>");
    LOG_AT(LOG_LEVEL_ERROR,
           "[Layer/SrvSide] %s: Download of %s made no progress for %ld ms, given up; "
           "this server gets no more downloads",
           name().c_str(), what.c_str(),
           static_cast<long>(st_ready_update_in_progress_t::stall_limit.total_milliseconds()));
    // Whatever else the server sends (PINGs keep the connection alive), the
    // agents waiting for these files are served by a download elsewhere; a
    // late reply to this one is dropped when it comes. It stays owed: an
    // agent's switch made before it ends waits for it as for any other.
    stalled_.store(true);
    abandoned_reply_ = true;
    machine_.process_event(ev_download_stalled_t());
}

void layer_t::on_connected(const boost::system::error_code& error) {
    // A failed connect is the proxy connection's business; the machine stays disconnected.
    if (error) return;
    // Connection reports normally come on the strand and run at once; one that
    // does not (a transport reporting from its own teardown) is serialized
    // with the machine's other events instead of racing them.
    auto call = io::detail::make_weak_binder(&layer_t::process<ev_connected_t>, self_);
    lower_->get_strand()->dispatch([call] { call(ev_connected_t()); });
}

void layer_t::read_ended() {
    ended_.store(true);
    // The machine leaves its connected states as on a lost connection; the
    // connection itself stays until the agent's last bytes are written.
    auto call = io::detail::make_weak_binder(&layer_t::leave_connected, self_);
    lower_->get_strand()->dispatch([call] { call(); });
}

void layer_t::on_disconnected() {
    auto call = io::detail::make_weak_binder(&layer_t::leave_connected, self_);
    lower_->get_strand()->dispatch([call] { call(); });
}

void layer_t::leave_connected() {
    process(ev_disconnected_t());
    // No reply can come any more: the agent's waiting switch goes on.
    reply_owed_ = false;
    switch_if_nothing_owed();
}

void layer_t::on_violation(const char* text) {
    LOG_AT(LOG_LEVEL_ERROR, "[Layer/SrvSide] %s: Violation: %s", lower_->name().c_str(), text);
    // Nothing is parsed once this side is raw, so a violation behind the
    // switch comes from the very command that made it and was then refused
    // (a broken SNF_UPDATE during the negotiation): it never went through the
    // relay that would have switched the agent side, which follows here.
    if (!lower_->raw_mode()) return;
    if (boost::shared_ptr<proxy_connection_t> owner = owner_.lock()) owner->client_follows_raw();
}

}  // namespace srv_side
