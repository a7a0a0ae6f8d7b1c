// The periodic keep-alive line during long transfers.
#include "io/alive_sender.h"

#include "io/cmd_builder.h"
#include "io/detail/binders.h"
#include "oslayer/_kern.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

void progress_watcher_iface::set_first_counter(unsigned) {}
void progress_watcher_iface::set_second_counter(unsigned) {}

alive_sender::alive_sender(boost::asio::io_service& service, const std::string& text, send_t send,
                           boost::posix_time::time_duration interval)
    : timer_(service), text_(text), send_(send), interval_(interval) {}

boost::shared_ptr<alive_sender> alive_sender::create(boost::asio::io_service& service, const std::string& text,
                                                     send_t send, boost::posix_time::time_duration interval) {
    TRACE_POINT;
    boost::shared_ptr<alive_sender> sender(new alive_sender(service, text, send, interval));
    sender->start_timer();
    return sender;
}

void alive_sender::set_first_counter(unsigned value) { first_counter_.set(value); }

void alive_sender::set_second_counter(unsigned value) { second_counter_.set(value); }

void alive_sender::start_timer() {
    timer_.expires_from_now(interval_);
    // Held weakly: dropping the last owner is how the sender stops.
    timer_.async_wait(detail::make_weak_binder(&alive_sender::on_timer, shared_from_this()));
}

void alive_sender::on_timer(const boost::system::error_code& ec) {
    TRACE_POINT;
    if (ec) return;
    // Re-armed before sending, so a slow or failing send keeps the period.
    start_timer();
    cmd_builder cmd("ALIVE", false);
    cmd.arguments() << ' ' << escape_string(std::to_string(first_counter_.read())) << ' '
                    << escape_string(std::to_string(second_counter_.read())) << ' ' << escape_string(text_);
    request_queue line = cmd.build();
    send_(line);
}

}  // namespace proto
}  // namespace io
