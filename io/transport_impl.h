// The socket implementation behind the transport facade: one connection
// attempt or connection of one family. Every pending operation holds it only
// weakly, so releasing it from the facade closes the socket at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/thread/mutex.hpp>

#include "io/transport_layer.h"

namespace io {

/// Tells a peer that takes no byte of what is written to it from one that
/// takes bytes slowly. The writer reports each write's start, steps and
/// end (any thread, one write at a time); the looks, on the strand, count
/// the bytes the peer has acknowledged in all: those handed to the system
/// less those it still holds. That count only grows, and grows with every
/// byte the peer takes, so two looks see every byte taken between them,
/// however they fall against the writes: a peer is taken for stalled only
/// after a whole limit in which it took nothing.
class write_watch {
public:
    /// A write starts at `now` (steady milliseconds).
    void started(int64_t now) {
        last_step_.store(0);
        write_start_.store(now);
    }
    /// The system took `count` more bytes of the write at `now`: it had
    /// room, so the peer had taken bytes (or the write just began).
    void stepped(std::size_t count, int64_t now) {
        handed_.fetch_add(count);
        if (count > 0) last_step_.store(now);
    }
    /// The write ended, whole or failed.
    void ended() { write_start_.store(0); }
    /// A write was handed to the transport; `completed` when its completion
    /// has run. Between the two, bytes of it may still be on their way,
    /// and the layer above hands the next batch only from that completion.
    void handed_over() { unfinished_.fetch_add(1); }
    void completed() { unfinished_.fetch_sub(1); }
    /// True while a write handed over has not completed.
    bool unfinished() const { return unfinished_.load() > 0; }
    /// What the peer of the socket `fd` has taken, and whether bytes are
    /// still owed to it; any thread, with the socket's guard held.
    delivery_t delivery(int fd) const;
    /// One look at the socket `fd`, on the strand: how long the peer of the
    /// write under way has taken no byte, as far as the looks can tell (0
    /// with no write under way).
    int64_t look(int fd, int64_t now);

private:
    /// Start of the write under way; 0 with none.
    std::atomic<int64_t> write_start_{0};
    /// When the system last took bytes of the write under way; 0 before.
    std::atomic<int64_t> last_step_{0};
    /// Bytes the system took over the connection's life.
    std::atomic<uint64_t> handed_{0};
    /// Writes handed over whose completion has not run yet.
    std::atomic<int> unfinished_{0};
    // On the strand: the most the peer was seen to have acknowledged (the
    // connection starts with nothing handed, so 0 is known from the start),
    // and the last look that saw it grow.
    uint64_t acked_ = 0;
    int64_t progress_seen_ = 0;
};

template <class Protocol>
class transport_layer::impl final : public transport_layer::impl_iface,
                                    public boost::enable_shared_from_this<transport_layer::impl<Protocol>> {
public:
    typedef typename Protocol::socket socket_type;
    typedef typename Protocol::endpoint endpoint_type;

    /// Copies the facade's strand, sink, read buffer and settings; no socket yet.
    impl(transport_layer& owner, boost::asio::io_service& service);
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;
    /// Posts `on_disconnect` when it was connected, then closes the socket.
    ~impl() override;

    void send(request_queue& queue, const boost::function<void()>& on_sent) override;
    std::string name() const override { return name_; }
    void set_idle_timeout(const boost::posix_time::time_duration& timeout) override;
    void resume_reading() override;
    void shutdown_send() override;
    delivery_t delivery() const override;
    void mark_cut() override;

    /// Opens the socket and starts an asynchronous connect; the name is the endpoint's.
    void connect(const endpoint_type& endpoint);
    /// Takes an accepted socket, names it after the peer and starts reading.
    void attach(const boost::shared_ptr<socket_type>& socket);

private:
    void start_read();
    /// Starts the next read unless one is under way or reading is held back; on the strand.
    void read_if_allowed();
    /// The peer's end of stream: reported up, the connection kept for writing.
    void end_of_stream();
    /// A read found the end of stream: true when it may be a reset whose
    /// error a write took first; decide_end then tells which, now or once
    /// the writes under way have completed.
    bool end_may_be_reset();
    /// Tells the end found, as an end or as the reset a write took, once no
    /// unfinished write can tell otherwise; nothing while it waits.
    void decide_end();
    /// For decide_end, with writes unfinished: true once they have been
    /// waited for one `peer_watch_interval`; the first call arms the timer
    /// that decides then.
    bool end_wait_over();
    void end_wait_expired(const boost::system::error_code& error);
    /// Remembers that the peer reset the connection, when `error` says so.
    void note_reset(const boost::system::error_code& error);
    /// While reading is held back, looks every `peer_watch_interval` whether
    /// the peer ended its sending or reset; on the strand.
    void watch_peer();
    void peer_watch_tick(const boost::system::error_code& error);
    /// Starts the write stall watch once the connection is established.
    void start_write_watch();
    void arm_write_watch(int64_t delay_ms);
    /// A write failed: the peer's end, if it came first, is still read and
    /// handed on; any other failure ends the connection.
    void write_failed(const boost::system::error_code& error);
    /// After a refused write: reading starts (the peer is finished, so the
    /// backlog holds it no more) and ends with the peer's end of stream.
    /// When that end was read before, the connection ends here, or, while
    /// the layer above still holds bytes read before it, by that layer.
    void read_after_refusal();
    void write_watch_tick(const boost::system::error_code& error);
    void restart_idle_timer();
    void disconnect_owner();
    void report_connect(const boost::system::error_code& error);
    /// Closes the socket, with the guard held: in order when nothing is
    /// owed to the peer or our sending was ended behind all of it, else
    /// with a reset, so that the peer cannot take a cut stream for a whole one.
    void close_locked();

    void connect_done(const boost::system::error_code& error);
    void read_done(const boost::shared_array<char>& buffer, const boost::system::error_code& error, std::size_t count);
    void send_done(const boost::function<void()>& on_sent, const boost::shared_ptr<request_queue>& queue,
                   const boost::system::error_code& error, std::size_t count);
    void timeout_occurs(const boost::system::error_code& error);
    void connect_timeout_occurs(const boost::system::error_code& error);
    void set_idle_timeout_int(const boost::posix_time::time_duration& timeout);

    /// The socket with what serialises its use across threads: every write
    /// step starts under the mutex, and the close sets the flag under it, so
    /// no step starts (or reads the caller's bytes) once the close returned.
    struct guarded_socket {
        boost::mutex mutex;
        bool closed = false;
        boost::shared_ptr<socket_type> socket;
        /// What the stall limit looks at; written by every write.
        write_watch watch;
        /// Our sending direction has been shut down.
        std::atomic<bool> send_shut{false};
        /// Bytes the peer is owed will never reach it: the layer above ended
        /// the connection with bytes it still held, or a write failed.
        std::atomic<bool> cut{false};
        /// A write failed because the peer reset the connection before its
        /// end of stream: a later read reports that as an end (the write
        /// took the system's error), which is none. Set before the write completes.
        std::atomic<bool> write_reset{false};
        /// A read found an end that a write still under way may prove a
        /// reset; that write's completion has it decided.
        std::atomic<bool> end_waits{false};
    };
    class write_loop;

    boost::weak_ptr<transport_layer> owner_;
    boost::asio::io_service& service_;
    boost::shared_ptr<socket_type> socket_;
    boost::shared_ptr<guarded_socket> guard_;
    strand_ptr strand_;
    boost::weak_ptr<transport_layer_events> events_;
    boost::shared_array<char> read_buffer_;
    uint32_t read_buffer_size_;
    boost::shared_ptr<read_gate> gate_;
    /// A read is outstanding; touched only on the strand.
    bool reading_ = false;
    /// The peer's end of stream has been read; on the strand.
    bool read_ended_ = false;
    /// The peer watch timer is armed; on the strand.
    bool watching_ = false;
    /// Reading was found held back since the last read started; on the strand.
    bool held_seen_ = false;
    boost::posix_time::time_duration idle_timeout_;
    bool strand_send_completions_;
    /// The peer's end of stream ends only the reading (see `half_close`).
    bool half_close_;
    std::string name_;
    boost::asio::deadline_timer idle_timer_;
    /// Bounds the connect; armed before the attempt starts and touched
    /// afterwards only in the strand.
    boost::asio::deadline_timer connect_timer_;
    std::unique_ptr<boost::asio::deadline_timer> watch_timer_;
    /// An end of stream was read and waits for decide_end; no read starts meanwhile. On the strand.
    bool end_pending_ = false;
    /// Where an end of stream's wait for unfinished writes stands; on the strand.
    enum class end_wait_t { none, armed, expired } end_wait_ = end_wait_t::none;
    std::unique_ptr<boost::asio::deadline_timer> end_wait_timer_;
    boost::asio::deadline_timer write_timer_;
    bool connected_;
    // Set while a connect is outstanding; whichever of the connect completion
    // and an early idle expiry clears it first is the one that reports `on_connect`.
    std::atomic<bool> connect_pending_;
};

extern template class transport_layer::impl<boost::asio::ip::tcp>;
extern template class transport_layer::impl<detail::ipx::spx>;
extern template class transport_layer::impl<boost::asio::local::stream_protocol>;

}  // namespace io
