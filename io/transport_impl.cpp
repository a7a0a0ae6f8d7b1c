// Socket implementations of the transport: connect, read loop, gathered
// writes, idle timer and the close that reports a lost connection.
#include "io/transport_impl.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <utility>
#include <vector>

#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/time_formatters.hpp>
#include <boost/make_shared.hpp>

#include "io/detail/binders.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {

namespace {

std::string endpoint_name(const boost::asio::ip::tcp::endpoint& endpoint) {
    std::ostringstream text;
    text << "tcp/" << endpoint;
    return text.str();
}

std::string endpoint_name(const detail::ipx::spx::endpoint& endpoint) {
    return detail::ipx::spx_endpoint_to_string(endpoint);
}

std::string endpoint_name(const boost::asio::local::stream_protocol::endpoint& endpoint) {
    return "unx/" + escape_log_text(endpoint.path());
}

/// True when a read's `error` ends a stream that arrived whole. A local
/// socket whose peer closes with our bytes unread reports the close as a
/// reset instead of the end of stream (also one its shutdown had set), but
/// only after every byte the peer sent has been read: its stream is whole,
/// and the peer takes nothing more. A network peer's reset can overtake
/// bytes still on their way, so it stays a reset there.
template <class Protocol>
bool closed_after_whole_stream(const boost::system::error_code&) {
    return false;
}

template <>
bool closed_after_whole_stream<boost::asio::local::stream_protocol>(const boost::system::error_code& error) {
    return error == boost::asio::error::connection_reset;
}

}  // namespace

int64_t write_watch::look(int fd, int64_t now) {
    const int64_t start = write_start_.load();
    // Read before the system's count: a step completing in between can
    // only make the difference smaller than the truth, never larger, and
    // the most ever seen is what is kept.
    const uint64_t handed = handed_.load();
    int unsent = -1;
    if (::ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent >= 0 && handed >= static_cast<uint64_t>(unsent)) {
        const uint64_t acked = handed - static_cast<uint64_t>(unsent);
        if (acked > acked_) {
            acked_ = acked;
            // Taken some time since the last look: counted as now, which
            // can only make the peer look less idle than it was.
            progress_seen_ = now;
        }
    }
    if (start == 0) return 0;
    return now - std::max(std::max(start, last_step_.load()), progress_seen_);
}

delivery_t write_watch::delivery(int fd) const {
    // Read before the system's count, as in `look`: a step completing in
    // between makes the peer look as if it had taken those bytes, which it
    // had room for, never as if it had taken less.
    const uint64_t handed = handed_.load();
    int unsent = 0;
    if (::ioctl(fd, TIOCOUTQ, &unsent) != 0 || unsent < 0) unsent = 0;
    delivery_t seen;
    seen.taken = handed - std::min<uint64_t>(handed, static_cast<uint64_t>(unsent));
    seen.owed = unfinished_.load() > 0 || unsent > 0;
    return seen;
}

template <class Protocol>
transport_layer::impl<Protocol>::impl(transport_layer& owner, boost::asio::io_service& service)
    : owner_(owner.shared_from_this()),
      service_(service),
      strand_(owner.strand_),
      events_(owner.events_),
      read_buffer_(owner.read_buffer_),
      read_buffer_size_(owner.read_buffer_size_),
      gate_(owner.gate_),
      idle_timeout_(owner.idle_timeout_),
      strand_send_completions_(owner.strand_send_completions_),
      half_close_(owner.half_close_),
      idle_timer_(service),
      connect_timer_(service),
      write_timer_(service),
      connected_(false),
      connect_pending_(false) {}

template <class Protocol>
transport_layer::impl<Protocol>::~impl() {
    if (socket_ && socket_->is_open()) {
        // Posted, never called here: this may run under the facade mutex.
        if (connected_) service_.post(detail::make_weak_binder(&transport_layer_events::on_disconnect, events_));
        boost::system::error_code ignored;
        idle_timer_.cancel(ignored);
        if (watch_timer_) watch_timer_->cancel(ignored);
        if (end_wait_timer_) end_wait_timer_->cancel(ignored);
        write_timer_.cancel(ignored);
        boost::mutex::scoped_lock lock(guard_->mutex);
        guard_->closed = true;
        close_locked();
    }
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: dead", name_.c_str());
}

template <class Protocol>
void transport_layer::impl<Protocol>::close_locked() {
    boost::system::error_code ignored;
    // Our own end, asked for behind everything queued, is the one orderly
    // end of a connection that still owes bytes: the system delivers them
    // before it. Any other end with bytes on their way is a cut, told as
    // a reset (a local socket has none: its peer reads what reached it).
    if (!guard_->send_shut.load() && (guard_->cut.load() || guard_->watch.delivery(socket_->native_handle()).owed)) {
        socket_->set_option(boost::asio::socket_base::linger(true, 0), ignored);
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Bytes still owed to the peer, reset", name_.c_str());
    } else {
        socket_->shutdown(boost::asio::socket_base::shutdown_both, ignored);
    }
    socket_->close(ignored);
}

namespace {

// Commands are written whole, so Nagle's algorithm only delays the next one
// behind an unacknowledged segment; TCP alone has the option.
template <class Socket>
void disable_coalescing(Socket&) {}

void disable_coalescing(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

}  // namespace

template <class Protocol>
void transport_layer::impl<Protocol>::connect(const endpoint_type& endpoint) {
    TRACE_POINT;
    name_ = endpoint_name(endpoint);
    socket_ = boost::make_shared<socket_type>(service_);
    guard_ = boost::make_shared<guarded_socket>();
    guard_->socket = socket_;
    auto done = detail::make_weak_binder(&impl::connect_done, this->shared_from_this());
    connect_pending_ = true;
    // The expiry of the connect time limit closes the socket under the
    // guard: with the guard held here, it cannot meet a half-started attempt.
    boost::mutex::scoped_lock lock(guard_->mutex);
    boost::system::error_code error;
    socket_->open(endpoint.protocol(), error);
    if (error) {
        strand_->post([done, error] { done(error); });
        return;
    }
    // Armed before the attempt starts, so that the completion, which may run
    // on another thread at once, finds the timer set and can cancel it.
    if (!connect_timeout.is_special()) {
        connect_timer_.expires_from_now(connect_timeout);
        connect_timer_.async_wait(
            strand_->wrap(detail::make_weak_binder(&impl::connect_timeout_occurs, this->shared_from_this())));
    }
    socket_->async_connect(endpoint, strand_->wrap(done));
}

template <class Protocol>
void transport_layer::impl<Protocol>::attach(const boost::shared_ptr<socket_type>& socket) {
    TRACE_POINT;
    socket_ = socket;
    if (!socket_) throw boost::system::system_error(boost::asio::error::bad_descriptor);
    guard_ = boost::make_shared<guarded_socket>();
    guard_->socket = socket_;
    // remote_endpoint throws system_error for a closed socket or a failed getpeername.
    name_ = endpoint_name(socket_->remote_endpoint());
    disable_coalescing(*socket_);
    connected_ = true;
    restart_idle_timer();
    // Not yet on the strand, but nothing else can reach this implementation
    // before the facade's mutex is released.
    start_write_watch();
    read_if_allowed();
}

template <class Protocol>
void transport_layer::impl<Protocol>::report_connect(const boost::system::error_code& error) {
    detail::make_weak_binder(&transport_layer_events::on_connect, events_)(error);
}

template <class Protocol>
void transport_layer::impl<Protocol>::connect_done(const boost::system::error_code& error) {
    TRACE_POINT;
    // An idle expiry or the connect time limit has already reported.
    if (!connect_pending_.exchange(false)) return;
    boost::system::error_code ignored;
    connect_timer_.cancel(ignored);
    if (error) {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Async connect failed because of %s", name_.c_str(),
               error.message().c_str());
        report_connect(error);
        return;
    }
    disable_coalescing(*socket_);
    connected_ = true;
    restart_idle_timer();
    start_write_watch();
    read_if_allowed();
    report_connect(error);
}

template <class Protocol>
void transport_layer::impl<Protocol>::read_if_allowed() {
    if (reading_ || !connected_ || read_ended_ || end_pending_) return;
    if (gate_->reading_held()) {
        held_seen_ = true;
        watch_peer();
        return;
    }
    if (held_seen_) {
        held_seen_ = false;
        gate_->released_ms.store(steady_ms());
    }
    start_read();
}

template <class Protocol>
void transport_layer::impl<Protocol>::watch_peer() {
    if (watching_ || !half_close_) return;
    watching_ = true;
    // Made on the first hold: most connections are never held back.
    if (!watch_timer_) watch_timer_.reset(new boost::asio::deadline_timer(service_));
    watch_timer_->expires_from_now(peer_watch_interval);
    watch_timer_->async_wait(strand_->wrap(detail::make_weak_binder(&impl::peer_watch_tick, this->shared_from_this())));
}

template <class Protocol>
void transport_layer::impl<Protocol>::peer_watch_tick(const boost::system::error_code& error) {
    watching_ = false;
    if (error || reading_ || read_ended_ || end_pending_ || !connected_) return;
    if (!gate_->reading_held()) {
        // Resumed meanwhile: the resume's own post starts the read, or has.
        read_if_allowed();
        return;
    }
    // Looked at without reading: the bytes stay where they are, and only
    // the socket's state tells that the peer has finished or reset.
    pollfd probe = {socket_->native_handle(), POLLRDHUP, 0};
    if (::poll(&probe, 1, 0) <= 0 || (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
        watch_peer();
        return;
    }
    // What the peer sent before is read now, whatever the backlog: it can
    // grow no more than the system already holds, and the read reports the
    // end of stream (or the reset) as it would have. A reason that is no
    // backlog (a switch that waits) may hold it still: told once.
    if (!gate_->peer_ended.exchange(true))
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Peer ended or reset while reading was held back",
               name_.c_str());
    read_if_allowed();
}

template <class Protocol>
void transport_layer::impl<Protocol>::note_reset(const boost::system::error_code& error) {
    // A broken pipe after our own shutdown of the sending side is ours, not
    // the peer's; on a connection that passes half-closes on, one that is
    // not ours came after the peer's end of stream (see `write_failed`).
    if (error == boost::asio::error::connection_reset ||
        (error == boost::asio::error::broken_pipe && !guard_->send_shut.load() && !half_close_))
        gate_->reset.store(true);
}

template <class Protocol>
void transport_layer::impl<Protocol>::write_failed(const boost::system::error_code& error) {
    // What this write held never reached the peer, whatever the system
    // still holds: a close for it is a cut (a page of a stored file gone
    // under a send fails it with EFAULT after the peer read all before).
    guard_->cut.store(true);
    // A reset makes the system fail the next write with EPIPE when it came
    // after the peer's end of stream (an orderly close, then our bytes
    // refused), with ECONNRESET when it came before. In the first case all
    // the peer sent is still in the system, its end behind it: it is read
    // and handed on as any end of stream is, and only then does the
    // connection go. Not for a broken pipe after our own shutdown.
    if (half_close_ && error == boost::asio::error::broken_pipe && !guard_->send_shut.load()) {
        gate_->sending_refused.store(true);
        auto read = detail::make_weak_binder(&impl::read_after_refusal, this->shared_from_this());
        strand_->post([read] { read(); });
        return;
    }
    note_reset(error);
    disconnect_owner();
}

template <class Protocol>
void transport_layer::impl<Protocol>::read_after_refusal() {
    // Its end was read before. What the layer above still holds of it goes
    // on at the partner's pace, and that layer ends the connection behind
    // the end; with nothing held, nothing of the peer's is left to hand on.
    if (read_ended_) {
        if (!gate_->rest_held()) disconnect_owner();
        return;
    }
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Peer refused our bytes after its end, reading what it sent",
           name_.c_str());
    read_if_allowed();
}

namespace {

/// True when a TCP connection is closed for good (a reset, or an end and a
/// reset after it), not merely ended by its peer: only then can a read's end
/// of stream stand for a reset whose error a write took. Other families
/// report a close as it is.
template <class Socket>
bool connection_closed(Socket&) {
    return false;
}

bool connection_closed(boost::asio::ip::tcp::socket& socket) {
    tcp_info info = {};
    socklen_t size = sizeof info;
    return ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_CLOSE;
}

}  // namespace

template <class Protocol>
bool transport_layer::impl<Protocol>::end_may_be_reset() {
    // A reset makes the system fail the next call on the socket with it once,
    // then reports an end of stream to reads. When a write took it, the write
    // fails with ECONNRESET (or EPIPE after the peer's own end came first),
    // and its completion, which runs off the strand, may come after this
    // read: the end is told only once no write can tell otherwise, or a
    // reset would be passed on as an orderly end behind a cut stream.
    if (guard_->send_shut.load() || !connection_closed(*socket_)) return false;
    // Decided here, from a write's completion or from the timer, never by
    // reading again: the reactor signals no more readiness on a socket
    // whose end it has reported, so a second read would wait for ever.
    end_pending_ = true;
    decide_end();
    return true;
}

template <class Protocol>
void transport_layer::impl<Protocol>::decide_end() {
    if (!end_pending_) return;
    if (!guard_->write_reset.load()) {
        guard_->end_waits.store(true);
        if (guard_->watch.unfinished() && !end_wait_over()) return;
        // Completed meanwhile: it has said what it saw, or was no failure.
        // Or, past the wait, a write still queued never reached the system
        // (one handed over behind another that failed waits for room that
        // never comes on a closed connection): it took nothing.
        guard_->end_waits.store(false);
    }
    end_pending_ = false;
    if (!guard_->write_reset.load()) return end_of_stream();
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Read operation failed because of %s", name_.c_str(),
           boost::system::error_code(boost::asio::error::connection_reset).message().c_str());
    note_reset(boost::asio::error::connection_reset);
    disconnect_owner();
}

template <class Protocol>
bool transport_layer::impl<Protocol>::end_wait_over() {
    // A write that took the reset completes as soon as a thread runs its
    // handler, which decides; the first look arms the timer that decides
    // after one peer-watch interval whatever the writes do.
    if (end_wait_ == end_wait_t::none) {
        end_wait_ = end_wait_t::armed;
        if (!end_wait_timer_) end_wait_timer_.reset(new boost::asio::deadline_timer(service_));
        end_wait_timer_->expires_from_now(peer_watch_interval);
        end_wait_timer_->async_wait(
            strand_->wrap(detail::make_weak_binder(&impl::end_wait_expired, this->shared_from_this())));
    }
    return end_wait_ == end_wait_t::expired;
}

template <class Protocol>
void transport_layer::impl<Protocol>::end_wait_expired(const boost::system::error_code& error) {
    if (error) return;
    end_wait_ = end_wait_t::expired;
    decide_end();
}

template <class Protocol>
void transport_layer::impl<Protocol>::end_of_stream() {
    read_ended_ = true;
    gate_->peer_ended.store(true);
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Peer ended its sending", name_.c_str());
    boost::shared_ptr<transport_layer_events> events = events_.lock();
    if (!events) return;
    try {
        events->on_read_end();
    } catch (...) {
        disconnect_owner();
        throw;
    }
}

template <class Protocol>
void transport_layer::impl<Protocol>::shutdown_send() {
    if (!guard_) return;
    boost::mutex::scoped_lock lock(guard_->mutex);
    if (guard_->closed) return;
    boost::system::error_code ignored;
    guard_->send_shut.store(true);
    guard_->socket->shutdown(boost::asio::socket_base::shutdown_send, ignored);
}

template <class Protocol>
void transport_layer::impl<Protocol>::mark_cut() {
    if (guard_) guard_->cut.store(true);
}

template <class Protocol>
delivery_t transport_layer::impl<Protocol>::delivery() const {
    if (!guard_) return delivery_t();
    boost::mutex::scoped_lock lock(guard_->mutex);
    if (guard_->closed) return delivery_t();
    return guard_->watch.delivery(guard_->socket->native_handle());
}

template <class Protocol>
void transport_layer::impl<Protocol>::start_write_watch() {
    if (write_stall_limit.is_special()) return;
    arm_write_watch(write_stall_limit.total_milliseconds());
}

template <class Protocol>
void transport_layer::impl<Protocol>::arm_write_watch(int64_t delay_ms) {
    // One wait per look rather than one per write: writes only report to
    // the watch, and a look that finds progress waits again.
    write_timer_.expires_from_now(boost::posix_time::milliseconds(delay_ms));
    write_timer_.async_wait(
        strand_->wrap(detail::make_weak_binder(&impl::write_watch_tick, this->shared_from_this())));
}

template <class Protocol>
void transport_layer::impl<Protocol>::write_watch_tick(const boost::system::error_code& error) {
    if (error) return;
    const int64_t limit = write_stall_limit.total_milliseconds();
    const int64_t idle = guard_->watch.look(socket_->native_handle(), steady_ms());
    if (idle < limit) {
        // A few looks per limit while the peer is idle, else one: the
        // acknowledged count spans the whole time between two looks, so
        // their spacing changes only how soon a stall is seen.
        arm_write_watch(idle == 0 ? limit : std::max<int64_t>(1, std::min(limit / 4, limit - idle)));
        return;
    }
    LOG_AT(LOG_LEVEL_WARNING, "[Layer/Transport] %s: Peer took no byte for %lld ms, disconnect", name_.c_str(),
           static_cast<long long>(idle));
    disconnect_owner();
}

template <class Protocol>
void transport_layer::impl<Protocol>::resume_reading() {
    auto resume = detail::make_weak_binder(&impl::read_if_allowed, this->shared_from_this());
    strand_->post([resume] { resume(); });
}

template <class Protocol>
void transport_layer::impl<Protocol>::start_read() {
    reading_ = true;
    auto done = detail::make_weak_binder(&impl::read_done, this->shared_from_this());
    boost::shared_array<char> buffer = read_buffer_;
    socket_->async_read_some(boost::asio::buffer(buffer.get(), read_buffer_size_),
                             strand_->wrap([done, buffer](const boost::system::error_code& error, std::size_t count) {
                                 done(buffer, error, count);
                             }));
}

template <class Protocol>
void transport_layer::impl<Protocol>::read_done(const boost::shared_array<char>& buffer,
                                                const boost::system::error_code& error, std::size_t count) {
    TRACE_POINT;
    reading_ = false;
    if (error == boost::asio::error::eof && half_close_) {
        if (!end_may_be_reset()) end_of_stream();
        return;
    }
    if (half_close_ && closed_after_whole_stream<Protocol>(error)) {
        // Gone for good, as after a write it refused: what it sent goes on
        // whole, then its end; nothing more is written to it.
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Peer closed with our bytes unread, after all it sent",
               name_.c_str());
        gate_->sending_refused.store(true);
        end_of_stream();
        return;
    }
    if (error) {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Read operation failed because of %s", name_.c_str(),
               error.message().c_str());
        note_reset(error);
        disconnect_owner();
        return;
    }
    request_queue chunk = make_cloned_request(buffer.get(), count);
    restart_idle_timer();
    // The bytes are copied, so the shared buffer can take the next read now,
    // unless the layers above asked to hold reading back (a pause asked for
    // while this chunk is handed up lets at most the read started here through).
    read_if_allowed();
    boost::shared_ptr<transport_layer_events> events = events_.lock();
    if (!events) return;
    try {
        events->on_data_arrived(chunk);
    } catch (...) {
        LOG_AT(LOG_LEVEL_TRACE3,
               "[Layer/Transport] %s: Init disconnect because user`s on_data_arrived handler raised exception",
               name_.c_str());
        disconnect_owner();
        throw;
    }
}

template <class Protocol>
void transport_layer::impl<Protocol>::send(request_queue& queue, const boost::function<void()>& on_sent) {
    TRACE_POINT;
    boost::shared_ptr<request_queue> held = boost::make_shared<request_queue>(std::move(queue));
    // No socket at all (a failed attach): the requests are released unsent.
    if (!socket_) return;
    auto done = detail::make_weak_binder(&impl::send_done, this->shared_from_this());
    boost::function<void(const boost::system::error_code&, std::size_t)> completion =
        [done, on_sent, held](const boost::system::error_code& error, std::size_t count) {
            done(on_sent, held, error, count);
        };
    if (strand_send_completions_) completion = strand_->wrap(completion);
    guard_->watch.handed_over();
    guard_->watch.started(steady_ms());
    boost::shared_ptr<write_loop> loop = boost::make_shared<write_loop>(guard_, held, completion);
    write_loop::next(loop, 0);
}

/// One gathered write carried out step by step: each step starts under the
/// socket's guard and gives up once the socket has been closed.
template <class Protocol>
class transport_layer::impl<Protocol>::write_loop {
public:
    typedef boost::function<void(const boost::system::error_code&, std::size_t)> completion_t;

    write_loop(const boost::shared_ptr<guarded_socket>& guard, const boost::shared_ptr<request_queue>& queue,
               const completion_t& completion)
        : guard_(guard), queue_(queue), completion_(completion), index_(0), offset_(0), written_(0), step_size_(0) {
        queue_->gather(buffers_);
    }

    /// Accounts for `count` bytes just written and starts the next step, or
    /// completes; after a short count, the step is tried at once first.
    static void next(const boost::shared_ptr<write_loop>& self, std::size_t count, bool after_short = false) {
        self->taken(count);
        if (self->index_ == self->buffers_.size()) {
            self->guard_->watch.ended();
            self->completion_(boost::system::error_code(), self->written_);
            return;
        }
        const std::vector<boost::asio::const_buffer> step = self->step();
        boost::mutex::scoped_lock lock(self->guard_->mutex);
        if (self->guard_->closed) {
            lock.unlock();
            self->fail(boost::asio::error::operation_aborted, 0);
            return;
        }
        if (after_short)
            try_now(self, step, lock);
        else
            self->guard_->socket->async_write_some(step, step_handler{self});
    }

private:
    /// Completion of one step. Marked as a continuation: the next step or
    /// the write's completion follows on the same thread instead of waking
    /// another one, as a composed write would do.
    struct step_handler {
        boost::shared_ptr<write_loop> self;
        void operator()(const boost::system::error_code& error, std::size_t n) const {
            if (error)
                self->fail(error, n);
            else
                next(self, n, n < self->step_size_);
        }
        /// The socket became writable, looked at again after a short count.
        void operator()(const boost::system::error_code& error) const {
            if (error)
                self->fail(error, 0);
            else
                next(self, 0);
        }
        friend bool asio_handler_is_continuation(step_handler*) { return true; }
    };

    /// The system took only part of the last step. A full buffer is the
    /// usual reason, and the system signals room once there is some. But a
    /// copy that faults part-way (a page of a mapped file cut away) comes
    /// back short as well, with room left and no signal to come, and the
    /// reactor, which takes any short count for a full buffer, would wait
    /// for that signal for ever. One more try at once tells the two apart.
    static void try_now(const boost::shared_ptr<write_loop>& self, const std::vector<boost::asio::const_buffer>& step,
                        boost::mutex::scoped_lock& lock) {
        socket_type& socket = *self->guard_->socket;
        const ssize_t sent = send_now(socket.native_handle(), step);
        const int error = sent < 0 ? errno : 0;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // Full indeed: the refusal has the system signal room.
            socket.async_write_some(step, step_handler{self});
        } else if (error && error != EINTR) {
            lock.unlock();
            // EFAULT for bytes gone from under the write.
            self->fail(boost::system::error_code(error, boost::asio::error::get_system_category()), 0);
        } else {
            // Room after all (or a try a signal cut short): the reactor is
            // made to look at the socket again, so that the next step cannot
            // wait for a signal that never comes.
            self->taken(sent > 0 ? static_cast<std::size_t>(sent) : 0);
            socket.async_wait(boost::asio::socket_base::wait_write, step_handler{self});
        }
    }

    /// One gathered send of `step` that never waits: the count the system
    /// took, or -1 with errno set. Only the kernel reads the bytes.
    static ssize_t send_now(int fd, const std::vector<boost::asio::const_buffer>& step) {
        iovec parts[max_step_buffers];
        for (std::size_t i = 0; i < step.size(); ++i)
            parts[i] = iovec{const_cast<void*>(step[i].data()), step[i].size()};
        msghdr message = {};
        message.msg_iov = parts;
        message.msg_iovlen = step.size();
        return ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    /// The rest of the write from where it stands, at most `max_step_buffers` buffers.
    std::vector<boost::asio::const_buffer> step() {
        std::vector<boost::asio::const_buffer> step;
        step_size_ = 0;
        for (std::size_t i = index_; i < buffers_.size() && step.size() < max_step_buffers; ++i) {
            step.push_back(i == index_ ? buffers_[i] + offset_ : buffers_[i]);
            step_size_ += step.back().size();
        }
        return step;
    }

    void taken(std::size_t count) {
        advance(count);
        guard_->watch.stepped(count, count > 0 ? steady_ms() : 0);
    }

    void fail(const boost::system::error_code& error, std::size_t count) {
        if (error == boost::asio::error::connection_reset) guard_->write_reset.store(true);
        guard_->watch.stepped(count, count > 0 ? steady_ms() : 0);
        guard_->watch.ended();
        completion_(error, written_ + count);
    }

    void advance(std::size_t count) {
        written_ += count;
        while (index_ < buffers_.size()) {
            std::size_t left = buffers_[index_].size() - offset_;
            if (count < left) {
                offset_ += count;
                return;
            }
            count -= left;
            ++index_;
            offset_ = 0;
        }
    }

    static constexpr std::size_t max_step_buffers = 64;

    boost::shared_ptr<guarded_socket> guard_;
    boost::shared_ptr<request_queue> queue_;
    completion_t completion_;
    std::vector<boost::asio::const_buffer> buffers_;
    std::size_t index_;
    std::size_t offset_;
    std::size_t written_;
    /// Bytes of the step under way.
    std::size_t step_size_;
};

template <class Protocol>
void transport_layer::impl<Protocol>::send_done(const boost::function<void()>& on_sent,
                                                const boost::shared_ptr<request_queue>& queue,
                                                const boost::system::error_code& error, std::size_t) {
    TRACE_POINT;
    guard_->watch.completed();
    // An end of stream found meanwhile waits for this write's outcome: it
    // is decided on the strand, behind the failure's own handling.
    if (guard_->end_waits.exchange(false)) {
        auto decide = detail::make_weak_binder(&impl::decide_end, this->shared_from_this());
        strand_->post([decide] { decide(); });
    }
    if (error) {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Send operation failed because of %s", name_.c_str(),
               error.message().c_str());
        write_failed(error);
        return;
    }
    for (request_queue::request* r = queue->front(); r; r = r->next()) r->mark_as_send();
    queue->clear();
    if (on_sent) on_sent();
}

template <class Protocol>
void transport_layer::impl<Protocol>::restart_idle_timer() {
    if (idle_timeout_.is_pos_infinity()) return;
    idle_timer_.expires_from_now(idle_timeout_);
    idle_timer_.async_wait(detail::make_weak_binder(&impl::timeout_occurs, this->shared_from_this()));
}

template <class Protocol>
void transport_layer::impl<Protocol>::timeout_occurs(const boost::system::error_code& error) {
    TRACE_POINT;
    if (error == boost::asio::error::operation_aborted) return;
    if (!error && connected_ && gate_->reading_held()) {
        // Held back by us, the peer may well have sent: silence we caused is
        // no idleness of the peer. The timer is re-armed on the strand, where
        // reads re-arm it too.
        auto again = detail::make_weak_binder(&impl::restart_idle_timer, this->shared_from_this());
        strand_->post([again] { again(); });
        return;
    }
    if (error) {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Timer operation failed because of %s", name_.c_str(),
               error.message().c_str());
    } else {
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transport] %s: Timeout occurred, disconnect", name_.c_str());
    }
    disconnect_owner();
    // An attempt that never completed must not leave its sink waiting forever.
    if (connect_pending_.exchange(false)) {
        boost::system::error_code timed_out = error ? error : make_error_code(boost::asio::error::timed_out);
        auto report = detail::make_weak_binder(&transport_layer_events::on_connect, events_);
        strand_->post([report, timed_out] { report(timed_out); });
    }
}

template <class Protocol>
void transport_layer::impl<Protocol>::connect_timeout_occurs(const boost::system::error_code& error) {
    TRACE_POINT;
    if (error == boost::asio::error::operation_aborted) return;
    if (!connect_pending_.exchange(false)) return;
    LOG_AT(LOG_LEVEL_WARNING, "[Layer/Transport] %s: Connect gave up after %lld ms without an answer", name_.c_str(),
           static_cast<long long>(connect_timeout.total_milliseconds()));
    // Closing the half-open socket frees its descriptor now, whatever the
    // layer above does next; the attempt completes aborted and is ignored.
    {
        boost::system::error_code ignored;
        boost::mutex::scoped_lock lock(guard_->mutex);
        guard_->closed = true;
        socket_->close(ignored);
    }
    report_connect(error ? error : make_error_code(boost::asio::error::timed_out));
}

template <class Protocol>
void transport_layer::impl<Protocol>::set_idle_timeout(const boost::posix_time::time_duration& timeout) {
    auto apply = detail::make_weak_binder(&impl::set_idle_timeout_int, this->shared_from_this());
    strand_->post([apply, timeout] { apply(timeout); });
}

template <class Protocol>
void transport_layer::impl<Protocol>::set_idle_timeout_int(const boost::posix_time::time_duration& timeout) {
    TRACE_POINT;
    boost::system::error_code ignored;
    std::size_t cancelled = idle_timer_.cancel(ignored);
    if (cancelled > 0 || idle_timeout_.is_pos_infinity()) {
        idle_timeout_ = timeout;
        restart_idle_timer();
    } else {
        idle_timeout_ = timeout;
    }
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transport] %s: New idle timeout set to %s", name_.c_str(),
           boost::posix_time::to_simple_string(timeout).c_str());
}

template <class Protocol>
void transport_layer::impl<Protocol>::disconnect_owner() {
    boost::shared_ptr<transport_layer> owner = owner_.lock();
    if (owner) owner->disconnect_if(this);
}

template class transport_layer::impl<boost::asio::ip::tcp>;
template class transport_layer::impl<detail::ipx::spx>;
template class transport_layer::impl<boost::asio::local::stream_protocol>;

}  // namespace io
