// Candidates are connected one at a time, in the order in which they became
// known; explorers add candidates while the layer connects or waits. The
// mutex is held while a connect is started but never while an event goes up.
#include "io/discovery_layer.h"

#include <iterator>
#include <list>
#include <sstream>
#include <utility>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "io/detail/binders.h"
#include "io/discovery/explorer.h"
#include "io/discovery/server.h"
#include "io/spec_parser.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {

namespace {

typedef boost::asio::local::stream_protocol::endpoint unx_endpoint;

std::string stream_text(const boost::asio::ip::tcp::endpoint& at) {
    std::ostringstream text;
    text << "tcp/" << at;
    return text.str();
}
std::string stream_text(const detail::ipx::spx::endpoint& at) { return detail::ipx::spx_endpoint_to_string(at); }
std::string stream_text(const unx_endpoint& at) { return "unx/" + escape_log_text(at.path()); }

std::string datagram_text(const boost::asio::ip::udp::endpoint& at) { return discovery::udp_endpoint_to_string(at); }
std::string datagram_text(const detail::ipx::ipx::endpoint& at) { return detail::ipx::ipx_endpoint_to_string(at); }
std::string datagram_text(const boost::asio::local::datagram_protocol::endpoint& at) {
    return discovery::udx_endpoint_to_string(at);
}

/// The stream part of a parsed endpoint; empty for a datagram one.
struct as_stream : boost::static_visitor<boost::optional<stream_endpoint>> {
    result_type operator()(const boost::asio::ip::tcp::endpoint& at) const { return stream_endpoint(at); }
    result_type operator()(const detail::ipx::spx::endpoint& at) const { return stream_endpoint(at); }
    result_type operator()(const unx_endpoint& at) const { return stream_endpoint(at); }
    template <class Datagram>
    result_type operator()(const Datagram&) const {
        return boost::none;
    }
};

const boost::system::error_code host_unreachable(boost::system::errc::host_unreachable,
                                                 boost::system::generic_category());

}  // namespace

struct discovery_layer::state_t {
    boost::mutex mutex;
    std::list<stream_endpoint> candidates;
    /// The candidate being connected, or the list's end.
    std::list<stream_endpoint>::iterator cursor = candidates.end();
    /// Each explorer's socket; the socket's address is the explorer's key.
    std::vector<boost::shared_ptr<void>> explorers;
    bool waiting = false;
    /// Guards only the sink, which the pass-through events read without `mutex`.
    mutable boost::mutex events_mutex;

    /// Back to idle; running explorers are forgotten, not stopped.
    void reset() {
        waiting = false;
        candidates.clear();
        cursor = candidates.end();
        explorers.clear();
    }
};

/// Sorts the endpoints of one parsed item; the layer's mutex is held.
struct discovery_layer::item_visitor : boost::static_visitor<void> {
    explicit item_visitor(discovery_layer& owner) : layer(owner) {}
    void operator()(const boost::asio::ip::tcp::endpoint& at) const { layer.add_stream_endpoint(at); }
    void operator()(const detail::ipx::spx::endpoint& at) const { layer.add_stream_endpoint(at); }
    void operator()(const unx_endpoint& at) const { layer.add_stream_endpoint(at); }
    void operator()(const boost::asio::ip::udp::endpoint& at) const {
        layer.start_explorer<boost::asio::ip::udp::socket>(at);
    }
    void operator()(const detail::ipx::ipx::endpoint& at) const { layer.start_explorer<detail::ipx::ipx::socket>(at); }
    void operator()(const boost::asio::local::datagram_protocol::endpoint& at) const {
        layer.start_explorer<discovery::udx_socket>(at);
    }
    discovery_layer& layer;
};

boost::shared_ptr<discovery_layer> discovery_layer::create(boost::asio::io_service& service,
                                                           const proto::text_protocol_layer_options& options) {
    TRACE_POINT;
    boost::shared_ptr<discovery_layer> made(new discovery_layer(service, options));
    made->transport_->set_events_sink(made);
    return made;
}

discovery_layer::discovery_layer(boost::asio::io_service& service, const proto::text_protocol_layer_options& options)
    : service_(service),
      explorer_(options.explorer),
      stop_on_first_(options.discovery_stop_on_first),
      discovery_text_(options.discovery_text),
      transport_(transport_layer::create(service, options)),
      state_(boost::make_shared<state_t>()) {}

discovery_layer::~discovery_layer() {}

void discovery_layer::set_events(const boost::weak_ptr<discovery_layer_events>& events) {
    boost::mutex::scoped_lock guard(state_->events_mutex);
    events_ = events;
}

boost::weak_ptr<discovery_layer_events> discovery_layer::events() const {
    boost::mutex::scoped_lock guard(state_->events_mutex);
    return events_;
}

void discovery_layer::connect(const std::string& client_spec) {
    TRACE_POINT;
    transport_->disconnect();
    state_t& st = *state_;
    boost::mutex::scoped_lock guard(st.mutex);
    st.reset();
    st.waiting = true;
    try {
        // A leading or trailing run of white space yields an empty item, which
        // the parser reads as the default TCP address.
        std::vector<std::string> items;
        boost::algorithm::split(items, client_spec, boost::algorithm::is_any_of(" \t\n\v\f\r"),
                                boost::algorithm::token_compress_on);
        for (const std::string& item : items)
            for (const client_endpoint& at : parse_client_spec(service_, lstr_t(item)))
                boost::apply_visitor(item_visitor(*this), at);
        if (!st.candidates.empty()) {
            st.cursor = st.candidates.begin();
            st.waiting = false;
            transport_->connect(*st.cursor);
        }
    } catch (...) {
        st.reset();
        throw;
    }
    if (st.candidates.empty() && st.explorers.empty()) {
        // Nothing to connect and nobody to ask: never leave the caller waiting.
        st.reset();
        auto report = detail::make_weak_binder(&discovery_layer::report_connect, shared_from_this());
        service_.post([report] { report(host_unreachable); });
    }
}

void discovery_layer::add_stream_endpoint(const stream_endpoint& endpoint) {
    state_->candidates.push_back(endpoint);
    std::string text = boost::apply_visitor([](const auto& at) { return stream_text(at); }, endpoint);
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Discovery] Got stream endpoint <%s>", text.c_str());
}

template <class Socket, class Endpoint>
void discovery_layer::start_explorer(const Endpoint& target) {
    TRACE_POINT;
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Discovery] Got datagram endpoint <%s>", datagram_text(target).c_str());
    boost::shared_ptr<Socket> socket = boost::make_shared<Socket>(service_);
    socket->open(target.protocol());
    state_->explorers.push_back(socket);
    const void* key = socket.get();
    auto found = detail::make_weak_binder(&discovery_layer::server_found, shared_from_this());
    auto finished = detail::make_weak_binder(&discovery_layer::explorer_finished, shared_from_this());
    discovery::explorer::settings settings;
    settings.wait_us = explorer_.wait.total_microseconds();
    settings.attempts = explorer_.retries;
    settings.stop_on_first = stop_on_first_;
    settings.request = discovery_text_;
    discovery::explore(
        service_, settings, socket, target,
        [found, key](const discovery::explorer::record& answer) { found(key, answer); },
        [finished, key](const boost::system::error_code&) { finished(key); });
}

boost::system::error_code discovery_layer::connect_cursor_locked() {
    try {
        transport_->connect(*state_->cursor);
    } catch (const boost::system::system_error& e) {
        state_->reset();
        return e.code();
    }
    return boost::system::error_code();
}

void discovery_layer::on_connect(const boost::system::error_code& error) {
    TRACE_POINT;
    state_t& st = *state_;
    boost::system::error_code up = error;
    {
        boost::mutex::scoped_lock guard(st.mutex);
        // Nothing of ours is being connected: the outcome of an attempt that a
        // later connect or attach has already replaced.
        if (st.cursor == st.candidates.end()) return;
        if (!error) {
            st.reset();
        } else if (++st.cursor != st.candidates.end()) {
            st.waiting = false;
            up = connect_cursor_locked();
            if (!up) return;
        } else if (st.explorers.empty()) {
            st.reset();
        } else {
            st.waiting = true;
            return;
        }
    }
    report_connect(up);
}

void discovery_layer::server_found(const void* key, const discovery::explorer::record& found) {
    TRACE_POINT;
    state_t& st = *state_;
    boost::system::error_code up;
    {
        boost::mutex::scoped_lock guard(st.mutex);
        bool known = false;
        for (const boost::shared_ptr<void>& socket : st.explorers) known = known || socket.get() == key;
        boost::optional<stream_endpoint> candidate = boost::apply_visitor(as_stream(), found.endpoint);
        if (!known || !candidate) return;
        st.candidates.push_back(*candidate);
        if (st.cursor == st.candidates.end()) st.cursor = std::prev(st.candidates.end());
        if (!st.waiting) return;
        st.waiting = false;
        up = connect_cursor_locked();
        if (!up) return;
    }
    report_connect(up);
}

void discovery_layer::explorer_finished(const void* key) {
    TRACE_POINT;
    state_t& st = *state_;
    {
        boost::mutex::scoped_lock guard(st.mutex);
        std::vector<boost::shared_ptr<void>>& list = st.explorers;
        for (auto it = list.begin(); it != list.end();) it = it->get() == key ? list.erase(it) : std::next(it);
        if (!st.waiting || !list.empty() || st.cursor != st.candidates.end()) return;
        st.reset();
    }
    report_connect(host_unreachable);
}

void discovery_layer::report_connect(const boost::system::error_code& error) {
    detail::make_weak_binder(&transport_layer_events::on_connect, events())(error);
}

void discovery_layer::attach(const accepted_socket& socket) {
    TRACE_POINT;
    {
        boost::mutex::scoped_lock guard(state_->mutex);
        state_->reset();
    }
    transport_->attach(socket);
}

void discovery_layer::on_disconnect() { detail::make_weak_binder(&transport_layer_events::on_disconnect, events())(); }

void discovery_layer::on_data_arrived(request_queue& data) {
    detail::make_weak_binder(&transport_layer_events::on_data_arrived, events())(data);
}

void discovery_layer::send(request_queue& queue, const boost::function<void()>& on_sent) {
    transport_->send(queue, on_sent);
}

void discovery_layer::disconnect() { transport_->disconnect(); }

void discovery_layer::disconnect_cut() { transport_->disconnect_cut(); }

void discovery_layer::mark_cut() { transport_->mark_cut(); }

void discovery_layer::shutdown_send() { transport_->shutdown_send(); }

void discovery_layer::on_read_end() { detail::make_weak_binder(&transport_layer_events::on_read_end, events())(); }

std::string discovery_layer::name() const { return transport_->name(); }

void discovery_layer::set_idle_timeout(const boost::posix_time::time_duration& timeout) {
    transport_->set_idle_timeout(timeout);
}

transport_layer::strand_ptr discovery_layer::get_strand() const { return transport_->get_strand(); }

void discovery_layer::pause_reading(unsigned reason) { transport_->pause_reading(reason); }

void discovery_layer::resume_reading(unsigned reason) { transport_->resume_reading(reason); }

bool discovery_layer::reading_paused(unsigned ignored) const { return transport_->reading_paused(ignored); }

bool discovery_layer::handing_on_paused(unsigned ignored) const { return transport_->handing_on_paused(ignored); }

bool discovery_layer::sending_refused() const { return transport_->sending_refused(); }

int64_t discovery_layer::reading_released_ms() const { return transport_->reading_released_ms(); }

delivery_t discovery_layer::delivery() const { return transport_->delivery(); }

bool discovery_layer::peer_reset() const { return transport_->peer_reset(); }

void discovery_layer::read_through_body(bool on) { transport_->read_through_body(on); }

}  // namespace io
