#include "proxy/cln_side_layer.h"

#include <algorithm>
#include <string>

#include <boost/make_shared.hpp>

#include "io/cmd_builder.h"
#include "io/detail/binders.h"
#include "io/zlib_filters.h"
#include "oslayer/loggers.h"
#include "oslayer/time-objs.h"
// Included so that linking the layer links its handlers and their registrations.
#include "proxy/cln_side_cmd_handlers.h"
#include "proxy/proxy_connection.h"

namespace cln_side {

boost::posix_time::time_duration layer_t::ping_interval = boost::posix_time::seconds(50);

io::request_queue format_cmd(const std::string& name, bool binary, const args_range& args, std::vector<char>&& body,
                             const boost::function<void(bool)>& on_sent) {
    io::proto::cmd_builder builder(name.c_str(), binary, on_sent);
    if (!args.empty()) builder.append_raw_argument(args.begin(), args.size());
    if (binary && !body.empty()) {
        // The received body itself goes out: moved into shared storage that
        // the request keeps alive until it is sent.
        const std::size_t size = body.size();
        boost::shared_ptr<std::vector<char>> owned = boost::make_shared<std::vector<char>>(std::move(body));
        builder.append_shared_ptr(boost::shared_ptr<void>(owned, owned->data()), size);
    }
    return builder.build();
}

boost::shared_ptr<layer_t> layer_t::create(boost::asio::io_service& service,
                                           const boost::weak_ptr<proxy_connection_t>& owner,
                                           const io::proto::text_protocol_layer_options& options) {
    boost::shared_ptr<layer_t> layer(new layer_t(service, owner, options));
    layer->postconstruct(layer);
    layer->lower_->set_idle_timeout(boost::posix_time::pos_infin);
    return layer;
}

layer_t::layer_t(boost::asio::io_service& service, const boost::weak_ptr<proxy_connection_t>& owner,
                 const io::proto::text_protocol_layer_options& options)
    : base_type(io::proto::text_protocol_layer::create(service, options)), owner_(owner), ping_timer_(service) {}

layer_t::~layer_t() {
    boost::system::error_code ignored;
    ping_timer_.cancel(ignored);
}

void layer_t::derived_postconstruct() {
    boost::weak_ptr<layer_t> me(shared_from_this());
    lower_->sig_violation.connect(io::detail::make_weak_binder(&layer_t::on_violation, me));
    // The layer stops its own keep-alive when the agent goes; the proxy
    // connection binds the same signal for its own clean-up.
    lower_->sig_disconnected.connect(io::detail::make_weak_binder(&layer_t::on_disconnected, me));
}

void layer_t::on_violation(const char* text) {
    LOG_AT(LOG_LEVEL_ERROR, "[Layer/ClnSide] %s: Violation: %s", name().c_str(), text);
}

void layer_t::on_disconnected() { stop_pinging(); }

void layer_t::forward(const std::string& name, bool binary, const args_range& args, std::vector<char>&& body) {
    boost::function<void(bool)> on_sent;
    if (ping_enabled_.load()) on_sent = arming_callback();
    io::request_queue queue = format_cmd(name, binary, args, std::move(body), on_sent);
    lower_->send(queue);
}

void layer_t::forward_enable_filters(const std::string& name, bool binary, const args_range& args,
                                     std::vector<char>&& body) {
    ping_enabled_.store(true);
    io::request_queue queue = format_cmd(name, binary, args, std::move(body), arming_callback());
    boost::shared_ptr<proxy_connection_t> owner = owner_.lock();
    if (owner && owner->compression_allowed()) {
        // The agent compresses everything after this command, so its inflater
        // must be in place before any later byte of it can arrive.
        lower_->add_incoming_filter(boost::shared_ptr<io::incoming_filter>(new io::zlib_inflate_filter()));
        lower_->send_then_add_outcoming_filter(queue,
                                               boost::shared_ptr<io::outcoming_filter>(new io::zlib_deflate_filter()));
    } else {
        lower_->send(queue);
    }
}

void layer_t::forward_disable_parser(const std::string& name, bool binary, const args_range& args,
                                     std::vector<char>&& body) {
    io::request_queue queue = format_cmd(name, binary, args, std::move(body), boost::function<void(bool)>());
    forward_raw_then_disable_parser(queue);
}

void layer_t::forward_raw(io::request_queue& queue) {
    io::request_queue taken(std::move(queue));
    lower_->send(taken);
}

void layer_t::relay_raw(io::request_queue& queue) {
    io::request_queue taken(std::move(queue));
    lower_->send_raw(taken);
}

void layer_t::forward_raw_then_disable_parser(io::request_queue& queue) {
    // Stopped first: a PING in the middle of raw bytes would corrupt them.
    stop_pinging();
    io::request_queue taken(std::move(queue));
    lower_->send_then_disable_parser(taken);
}

void layer_t::disable_parser() {
    stop_pinging();
    lower_->disable_parser();
}

void layer_t::stop_parsing() {
    stop_pinging();
    lower_->stop_parsing();
}

void layer_t::send_srs_update(uint32_t id, const std::vector<cache::served_file_t>& files) {
    boost::shared_ptr<proxy_connection_t> owner = owner_.lock();
    if (!owner) return;
    io::proto::cmd_builder builder("SRS_UPDATE", true);
    uint64_t total = 0;
    std::vector<cache::served_file_t> refetched;
    for (const cache::served_file_t& file : files) {
        if (file.size() == 0) continue;
        if (file.refetched()) refetched.push_back(file);
        // Sent from the file's mapping, made only when the connection gets
        // to these bytes and let go once they are out.
        io::request_queue bytes = file.request();
        builder.append_payload(bytes);
        total += file.size();
    }
    builder.append_number(id);
    const bool acknowledged = owner->version_at_least(2, 9);
    std::string range;
    if (acknowledged) {
        // The whole set always travels as one range from 0.
        const unsigned long size = static_cast<uint32_t>(total);
        range = "R0:" + std::to_string(size);
        builder.arguments() << " " << range << " S" << size;
    }
    io::request_queue queue = builder.build();
    if (!acknowledged || refetched.empty()) {
        // Dropped once the agent's stream is raw: its end is not the daemon's to write into.
        lower_->send_framed(queue);
        return;
    }
    // Recorded under the lock the number is taken in: an acknowledgement
    // read on the strand at once finds it.
    boost::mutex::scoped_lock guard(unacknowledged_mutex_);
    uint32_t number = 0;
    if (!lower_->send_framed(queue, &number)) return;
    // Replies whose files every one reached the agent since are done with.
    unacknowledged_.erase(std::remove_if(unacknowledged_.begin(), unacknowledged_.end(),
                                         [](const unacknowledged_t& reply) {
                                             return std::none_of(reply.files.begin(), reply.files.end(),
                                                                 [](const cache::served_file_t& file) {
                                                                     return file.refetched();
                                                                 });
                                         }),
                          unacknowledged_.end());
    unacknowledged_.push_back(unacknowledged_t{number, range, std::move(refetched)});
}

void layer_t::range_acknowledged(uint32_t number, const std::string& range) {
    std::vector<cache::served_file_t> files;
    {
        boost::mutex::scoped_lock guard(unacknowledged_mutex_);
        auto found = std::find_if(unacknowledged_.begin(), unacknowledged_.end(),
                                  [number](const unacknowledged_t& reply) { return reply.number == number; });
        if (found == unacknowledged_.end() || found->range != range) return;
        files.swap(found->files);
        unacknowledged_.erase(found);
    }
    for (const cache::served_file_t& file : files) file.received();
}

void layer_t::end_sending(const boost::function<void()>& done) {
    stop_pinging();
    lower_->end_sending(done);
}

bool layer_t::ping_pending() {
    boost::mutex::scoped_lock guard(timer_mutex_);
    return !ping_stopped_ && ping_timer_.expires_at() != boost::posix_time::not_a_date_time &&
           ping_timer_.expires_at() > boost::asio::deadline_timer::traits_type::now();
}

boost::function<void(bool)> layer_t::arming_callback() {
    // Weak: a request still queued below must not keep the layer (and with
    // it the stack that holds the request) alive.
    return io::detail::make_weak_binder(&layer_t::start_timer, boost::weak_ptr<layer_t>(shared_from_this()));
}

void layer_t::start_timer(bool /*sent*/) {
    boost::mutex::scoped_lock guard(timer_mutex_);
    if (ping_stopped_) return;
    ping_timer_.expires_from_now(ping_interval);
    ping_timer_.async_wait(
        io::detail::make_weak_binder(&layer_t::on_ping_timer, boost::weak_ptr<layer_t>(shared_from_this())));
}

void layer_t::on_ping_timer(const boost::system::error_code& error) {
    if (error) return;
    {
        boost::mutex::scoped_lock guard(timer_mutex_);
        // A command sent while this completion was queued has re-armed the
        // timer: the agent is not idle, so this expiry is stale.
        if (ping_stopped_ || ping_timer_.expires_at() > boost::asio::deadline_timer::traits_type::now()) return;
    }
    io::proto::cmd_builder builder("PING", false, arming_callback());
    builder.append_argument(std::to_string(timestamp_t::now().ticks));
    io::request_queue queue = builder.build();
    lower_->send_framed(queue);
}

void layer_t::stop_pinging() {
    boost::mutex::scoped_lock guard(timer_mutex_);
    ping_stopped_ = true;
    boost::system::error_code ignored;
    ping_timer_.cancel(ignored);
}

}  // namespace cln_side
