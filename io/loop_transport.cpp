// Loop mode of the transport: every queue sent comes back up as received
// data through the io service, without a socket.
#include <exception>

#include <boost/make_shared.hpp>
#include <boost/system/error_code.hpp>

#include "io/detail/binders.h"
#include "io/transport_layer.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"

namespace io {

class transport_layer::loop_impl final : public transport_layer::impl_iface,
                                         public boost::enable_shared_from_this<transport_layer::loop_impl> {
public:
    loop_impl(boost::asio::io_service& service, const boost::weak_ptr<transport_layer_events>& events)
        : service_(service), events_(events) {}
    loop_impl(const loop_impl&) = delete;
    loop_impl& operator=(const loop_impl&) = delete;
    /// Tells the sink `on_disconnect` every time, in the thread that drops the last reference.
    ~loop_impl() override;

    /// Completes the caller's requests at once and posts a private copy back up.
    void send(request_queue& queue, const boost::function<void()>& on_sent) override;
    std::string name() const override { return "loop"; }
    /// There is no idle timeout in loop mode.
    void set_idle_timeout(const boost::posix_time::time_duration&) override {}

    /// Delivers one looped copy to the sink, if it still exists.
    void post_handler(const boost::shared_ptr<request_queue>& copy);

private:
    boost::asio::io_service& service_;
    boost::weak_ptr<transport_layer_events> events_;
};

namespace {

void report_disconnect_failure(const char* reason, const d_exception_t_shell_t* shell) {
    pretty_print_exception(LOG_LEVEL_ERROR, "[Layer/Transport] User on disconnect callback failed because of %s", reason,
                           shell);
}

}  // namespace

transport_layer::loop_impl::~loop_impl() {
    try {
        detail::make_weak_binder(&transport_layer_events::on_disconnect, events_)();
    } catch (const SEH_exception_shell_t& e) {
        report_disconnect_failure(e.what(), &e);
    } catch (const d_exception_t_shell_t& e) {
        report_disconnect_failure(e.what(), &e);
    } catch (const std::exception& e) {
        report_disconnect_failure(e.what(), nullptr);
    } catch (...) {
        report_disconnect_failure("general error", nullptr);
    }
}

void transport_layer::loop_impl::send(request_queue& queue, const boost::function<void()>& on_sent) {
    TRACE_POINT;
    boost::shared_ptr<request_queue> copy = boost::make_shared<request_queue>(queue.clone());
    for (request_queue::request* r = queue.front(); r; r = r->next()) r->mark_as_send();
    // Strongly bound: deliveries posted before a release still reach the sink.
    boost::shared_ptr<loop_impl> self = shared_from_this();
    service_.post([self, copy] { self->post_handler(copy); });
    queue.clear();
    if (on_sent) on_sent();
}

void transport_layer::loop_impl::post_handler(const boost::shared_ptr<request_queue>& copy) {
    TRACE_POINT;
    boost::shared_ptr<transport_layer_events> events = events_.lock();
    if (events) events->on_data_arrived(*copy);
    copy->clear();
}

void transport_layer::loopback() {
    TRACE_POINT;
    boost::shared_ptr<loop_impl> fresh = boost::make_shared<loop_impl>(service_, events_);
    boost::shared_ptr<impl_iface> replaced;
    {
        boost::mutex::scoped_lock guard(mutex_);
        replaced.swap(impl_);
        impl_ = fresh;
    }
    // Released after the unlock: a replaced loop reports `on_disconnect` synchronously.
    replaced.reset();
    fresh.reset();
    service_.post([events = events_] {
        detail::make_weak_binder(&transport_layer_events::on_connect, events)(boost::system::error_code());
    });
}

}  // namespace io
