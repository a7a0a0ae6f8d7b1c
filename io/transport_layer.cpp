// The transport facade: owns the strand, the settings, the shared read
// buffer and the one current implementation, and swaps the latter under its
// mutex.
#include "io/transport_layer.h"

#include <chrono>
#include <type_traits>
#include <utility>

#include <boost/make_shared.hpp>

#include "io/transport_impl.h"
#include "oslayer/_kern.h"

namespace io {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

boost::posix_time::time_duration transport_layer::connect_timeout = boost::posix_time::seconds(10);
boost::posix_time::time_duration transport_layer::write_stall_limit = boost::posix_time::minutes(5);
boost::posix_time::time_duration transport_layer::peer_watch_interval = boost::posix_time::milliseconds(200);

boost::shared_ptr<transport_layer> transport_layer::create(boost::asio::io_service& service,
                                                           const proto::text_protocol_layer_options& options) {
    TRACE_POINT;
    // A zero-byte read completes at once with nothing: the read loop would spin.
    if (options.read_buffer_size == 0) D_THROW(BUG_exception, "Transport read buffer size must be at least 1");
    return boost::shared_ptr<transport_layer>(new transport_layer(service, options));
}

transport_layer::transport_layer(boost::asio::io_service& service, const proto::text_protocol_layer_options& options)
    : service_(service),
      strand_(new strand_type(service)),
      idle_timeout_(options.idle_timeout),
      read_buffer_size_(options.read_buffer_size),
      strand_send_completions_(options.strand_send_completions),
      half_close_(options.half_close),
      gate_(new read_gate) {}

transport_layer::~transport_layer() {
    // Nobody else can reach the facade any more; no lock needed.
    impl_.reset();
}

void transport_layer::set_events(const boost::weak_ptr<transport_layer_events>& events) { events_ = events; }

template <class Protocol>
boost::shared_ptr<transport_layer::impl<Protocol>> transport_layer::install_locked() {
    if (!read_buffer_) read_buffer_.reset(new char[read_buffer_size_]);
    // A new connection starts with a peer that has not ended anything yet.
    gate_->peer_ended.store(false);
    gate_->reset.store(false);
    gate_->sending_refused.store(false);
    boost::shared_ptr<impl<Protocol>> fresh = boost::make_shared<impl<Protocol>>(*this, service_);
    // The replaced implementation dies here (or when its running handler
    // returns); a connected one posts its `on_disconnect` before the new attempt starts.
    impl_ = fresh;
    return fresh;
}

void transport_layer::connect(const stream_endpoint& endpoint) {
    TRACE_POINT;
    boost::apply_visitor(
        [this](const auto& ep) {
            typedef typename std::decay_t<decltype(ep)>::protocol_type protocol;
            boost::mutex::scoped_lock guard(mutex_);
            install_locked<protocol>()->connect(ep);
        },
        endpoint);
}

void transport_layer::attach(const accepted_socket& socket) {
    TRACE_POINT;
    boost::apply_visitor(
        [this](const auto& s) {
            typedef typename std::decay_t<decltype(s)>::element_type::protocol_type protocol;
            boost::mutex::scoped_lock guard(mutex_);
            install_locked<protocol>()->attach(s);
        },
        socket);
}

void transport_layer::send(request_queue& queue, const boost::function<void()>& on_sent) {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    if (current) current->send(queue, on_sent);
}

void transport_layer::disconnect() {
    TRACE_POINT;
    boost::shared_ptr<impl_iface> gone;
    {
        boost::mutex::scoped_lock guard(mutex_);
        gone.swap(impl_);
    }
    // Released after the unlock, so a loop sink's synchronous `on_disconnect`
    // may call back into this transport without deadlocking.
    gone.reset();
}

void transport_layer::disconnect_cut() {
    TRACE_POINT;
    boost::shared_ptr<impl_iface> gone;
    {
        boost::mutex::scoped_lock guard(mutex_);
        gone.swap(impl_);
    }
    // Marked on the implementation being released, not on the facade: its
    // close may come later, when its last running handler returns.
    if (gone) gone->mark_cut();
    gone.reset();
}

void transport_layer::mark_cut() {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    if (current) current->mark_cut();
}

void transport_layer::shutdown_send() {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    if (current) current->shutdown_send();
}

delivery_t transport_layer::delivery() const {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    return current ? current->delivery() : delivery_t();
}

void transport_layer::disconnect_if(const impl_iface* which) {
    boost::shared_ptr<impl_iface> gone;
    {
        boost::mutex::scoped_lock guard(mutex_);
        if (impl_.get() != which) return;
        gone.swap(impl_);
    }
    gone.reset();
}

void transport_layer::pause_reading(unsigned reason) { gate_->reasons.fetch_or(reason); }

void transport_layer::resume_reading(unsigned reason) {
    const unsigned before = gate_->reasons.fetch_and(~reason);
    if ((before & reason) == 0 || gate_->reading_held()) return;
    wake_reader();
}

void transport_layer::read_through_body(bool on) {
    if (gate_->through_body.exchange(on) == on || !on || gate_->reading_held()) return;
    wake_reader();
}

void transport_layer::wake_reader() {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    if (current) current->resume_reading();
}

std::string transport_layer::name() const {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        current = impl_;
    }
    return current ? current->name() : std::string("<unbounded>");
}

void transport_layer::set_idle_timeout(const boost::posix_time::time_duration& timeout) {
    boost::shared_ptr<impl_iface> current;
    {
        boost::mutex::scoped_lock guard(mutex_);
        idle_timeout_ = timeout;
        current = impl_;
    }
    if (current) current->set_idle_timeout(timeout);
}

}  // namespace io
