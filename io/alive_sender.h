// Keeps a peer that sends a long command body from timing out: while the body
// is received, a one-line "ALIVE" command with the latest progress goes back
// on a fixed period.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "io/request_queue.h"
#include "oslayer/syncers.h"

namespace io {
namespace proto {

/// Told the progress of a command body; both setters do nothing unless overridden.
class progress_watcher_iface {
public:
    virtual void set_first_counter(unsigned value);
    virtual void set_second_counter(unsigned value);
    virtual ~progress_watcher_iface() = default;
};

/// Sends "ALIVE <first> <second> <text>" every interval until its last owner lets go.
class alive_sender : public progress_watcher_iface, public boost::enable_shared_from_this<alive_sender> {
public:
    typedef boost::function<void(request_queue&)> send_t;

    /// Armed at once; the first line goes out one full interval from now.
    static boost::shared_ptr<alive_sender> create(boost::asio::io_service& service, const std::string& text,
                                                  send_t send, boost::posix_time::time_duration interval);
    alive_sender(const alive_sender&) = delete;
    alive_sender& operator=(const alive_sender&) = delete;

    /// Callable from any thread.
    void set_first_counter(unsigned value) override;
    /// Callable from any thread.
    void set_second_counter(unsigned value) override;

private:
    alive_sender(boost::asio::io_service& service, const std::string& text, send_t send,
                 boost::posix_time::time_duration interval);
    void start_timer();
    void on_timer(const boost::system::error_code& ec);

    boost::asio::deadline_timer timer_;
    std::string text_;
    send_t send_;
    boost::posix_time::time_duration interval_;
    atomic32_t first_counter_;
    atomic32_t second_counter_;
};

}  // namespace proto
}  // namespace io
