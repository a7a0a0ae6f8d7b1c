// The lowest layer of a connection stack: one byte stream to one peer over a
// TCP, SPX or local stream socket, or back to itself in loop mode. A facade
// over a replaceable implementation object; replacing or releasing that
// object is how a connection ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/variant.hpp>
#include <boost/weak_ptr.hpp>

#include "io/detail/ipx.h"
#include "io/request_queue.h"
#include "io/text_protocol_layer_options.h"

namespace io {

/// What a transport tells the layer above it; held only weakly by the transport.
class transport_layer_events {
public:
    /// Outcome of `connect` (zero on success); never raised for an attached socket.
    virtual void on_connect(const boost::system::error_code& error) = 0;
    /// Raised once when an established connection is gone.
    virtual void on_disconnect() = 0;
    /// One received chunk; the sink may take the requests out of the queue.
    virtual void on_data_arrived(request_queue& data) = 0;
    /// The peer ended its sending (end of stream) on a connection that
    /// passes half-closes on (`half_close`): every byte it sent has been
    /// delivered, and the connection stays open for writing. Once, on the strand.
    virtual void on_read_end() {}
    virtual ~transport_layer_events() {}
};

/// Why reading from a connection is held back. Each reason is set and
/// cleared by one party on its own; reading goes on once none is left.
enum read_pause : unsigned {
    /// The answers to this connection's own commands wait to be sent above
    /// its high-water mark: its peer asked for more of them.
    pause_own_backlog = 1u,
    /// What the paired connection has to send is above its high-water mark.
    pause_peer_backlog = 2u,
    /// The next command body waits for room in the process-wide body budget.
    pause_body_budget = 4u,
    /// Bytes inflated from an earlier read are still being handed up.
    pause_inflated_rest = 8u,
    /// The peer's switch to raw waits on the paired connection (for replies
    /// the daemon is still owed there): what the peer sends behind its
    /// switch waits unread meanwhile.
    pause_switch_wait = 16u,
};
/// Milliseconds of a steady clock: what the connections' time limits count in.
int64_t steady_ms();

/// How far a peer has taken what was written to it, as one look sees it.
struct delivery_t {
    /// Bytes the peer has acknowledged over the connection's life; only grows.
    uint64_t taken = 0;
    /// Bytes were still on their way to the peer: a write under way, or
    /// bytes the system holds unacknowledged.
    bool owed = false;
};

/// The reasons a body that is being read is read to its end despite: the
/// body grows no send queue, and its memory is bounded by other means.
const unsigned read_pause_backlog = pause_own_backlog | pause_peer_backlog;

/// Where `connect` goes: index 0 TCP, 1 SPX, 2 local stream.
typedef boost::variant<boost::asio::ip::tcp::endpoint, detail::ipx::spx::endpoint,
                       boost::asio::local::stream_protocol::endpoint>
    stream_endpoint;

/// An accepted, connected socket for `attach`: index 0 TCP, 1 SPX, 2 local stream.
typedef boost::variant<boost::shared_ptr<boost::asio::ip::tcp::socket>, boost::shared_ptr<detail::ipx::spx::socket>,
                       boost::shared_ptr<boost::asio::local::stream_protocol::socket>>
    accepted_socket;

/// One stream connection (or loop) with its strand, read buffer and idle timeout.
class transport_layer : public boost::enable_shared_from_this<transport_layer> {
public:
    typedef boost::asio::io_service::strand strand_type;
    typedef boost::shared_ptr<strand_type> strand_ptr;

    /// The replaceable part: one connection attempt, connection or loop.
    class impl_iface {
    public:
        virtual ~impl_iface() {}
        virtual void send(request_queue& queue, const boost::function<void()>& on_sent) = 0;
        virtual std::string name() const = 0;
        virtual void set_idle_timeout(const boost::posix_time::time_duration& timeout) = 0;
        /// Starts reading again, on the strand, when no reason holds it back any more.
        virtual void resume_reading() {}
        /// Ends the sending direction; the peer reads an end of stream.
        virtual void shutdown_send() {}
        /// See transport_layer::delivery; nothing taken, nothing owed by default.
        virtual delivery_t delivery() const { return delivery_t(); }
        /// The layer above still holds bytes for the peer: the close that
        /// releases this implementation is a cut.
        virtual void mark_cut() {}
    };
    /// The pause reasons of a facade, shared with its implementations, and
    /// the named exceptions to them: where each exception applies shows in
    /// the predicate that uses it.
    struct read_gate {
        std::atomic<unsigned> reasons{0};
        /// Set while a command body is read through the backlog reasons.
        std::atomic<bool> through_body{false};
        /// The peer sends nothing more: its end of stream or a reset was
        /// seen (by a read, or by the watch while reading was held back).
        std::atomic<bool> peer_ended{false};
        /// A write failed after the peer's orderly end (its system refused
        /// what came after it), or a local peer closed with our bytes
        /// unread: the peer sends nothing more either, and what it sent
        /// before is still to be read.
        std::atomic<bool> sending_refused{false};
        /// The peer reset the connection before its end of stream.
        std::atomic<bool> reset{false};
        /// `steady_ms` at which reading last went on after being held back; 0 before.
        std::atomic<int64_t> released_ms{0};

        /// A body being received grows no send queue; its own bound limits it.
        bool body_read_through() const { return through_body.load(); }
        /// The peer has finished: what the system holds from it can grow no
        /// more, so it may be read whatever the backlog, and the pair can
        /// hand it on and let the connection go.
        bool peer_finished() const { return peer_ended.load() || sending_refused.load(); }
        /// True while some reason other than those in `ignored` holds the
        /// next read from the socket back: the backlog holds back neither a
        /// body being received nor the last bytes of a finished peer.
        bool reading_held(unsigned ignored = 0) const {
            unsigned r = reasons.load() & ~ignored;
            if (body_read_through() || peer_finished()) r &= ~read_pause_backlog;
            return r != 0;
        }
        /// The layer above still holds bytes read before the peer's end (the
        /// inflater's rest) and hands them on behind a backlog: it reports the
        /// end behind them, and ends a connection whose sending was refused.
        bool rest_held() const { return (reasons.load() & pause_inflated_rest) != 0; }
        /// True while some reason other than those in `ignored` holds back
        /// handing on bytes already read (the inflater's rest): a finished
        /// peer lifts no backlog here, since a few kilobytes it left in the
        /// system may inflate to far more than the partner's bound.
        bool handing_on_held(unsigned ignored = 0) const {
            unsigned r = reasons.load() & ~ignored;
            if (body_read_through()) r &= ~read_pause_backlog;
            // Answers to a peer that refused our bytes are dropped, not
            // queued: its own backlog can neither drain nor grow any more.
            if (sending_refused.load()) r &= ~pause_own_backlog;
            return r != 0;
        }
    };
    template <class Protocol>
    class impl;
    class loop_impl;

    /// How long a connect may wait for the peer's answer before it is given
    /// up (`on_connect` with timed_out, the socket closed): a peer whose
    /// accept queue is full drops the attempt unanswered, and the system
    /// alone would retry for about two minutes. 10 s by default; +infinity
    /// for no limit. Set before connections are made.
    static boost::posix_time::time_duration connect_timeout;
    /// How long a connection may go without the peer taking a byte of what
    /// is being written to it before it is closed ("Peer took no byte ...").
    /// A peer that never reads would otherwise hold its connection, and
    /// the partner whose bytes wait for it, for ever. 5 minutes by default;
    /// +infinity for no limit. Set before connections are made.
    static boost::posix_time::time_duration write_stall_limit;
    /// How often a connection whose reading is held back looks whether its
    /// peer has ended its sending or reset, which a read would otherwise
    /// have told: 200 ms. Only for connections that pass half-closes on.
    static boost::posix_time::time_duration peer_watch_interval;

    static boost::shared_ptr<transport_layer> create(boost::asio::io_service& service,
                                                     const proto::text_protocol_layer_options& options);
    transport_layer(const transport_layer&) = delete;
    transport_layer& operator=(const transport_layer&) = delete;
    /// Releases the current implementation, as `disconnect` does.
    ~transport_layer();

    /// Stores the sink; call once, before the first connect, attach or loopback.
    void set_events(const boost::weak_ptr<transport_layer_events>& events);
    void set_events_sink(const boost::weak_ptr<transport_layer_events>& events) { set_events(events); }

    /// Starts a new attempt (dropping any current connection); the outcome comes through `on_connect`.
    void connect(const stream_endpoint& endpoint);
    /// Starts reading an accepted socket; throws when the peer address cannot be had.
    void attach(const accepted_socket& socket);
    /// Switches to loop mode: everything sent comes back as received data.
    void loopback();

    /// Writes the whole queue in one gathered write; the queue is empty
    /// afterwards. Unbound: the queue stays with the caller and `on_sent` never runs.
    void send(request_queue& queue, const boost::function<void()>& on_sent);
    /// Ends the connection; a connection that was established reports `on_disconnect` once.
    void disconnect();
    /// As `disconnect`, while the layer above still holds bytes for the
    /// peer that will never be written: the peer sees a reset, as for bytes
    /// this layer holds, never an orderly end that passes a cut stream off
    /// as whole.
    void disconnect_cut();
    /// The stream owed to the peer of the current connection was cut short
    /// elsewhere (its source reset): whenever that connection is closed,
    /// the peer sees a reset, as for `disconnect_cut`. Any thread.
    void mark_cut();
    /// Ends the sending direction: the peer reads an end of stream, reading
    /// goes on. Call with no write under way; a later write fails.
    void shutdown_send();
    /// The connection's name, or "<unbounded>".
    std::string name() const;
    /// Time without received data after which the connection is closed; +infinity for none.
    void set_idle_timeout(const boost::posix_time::time_duration& timeout);
    /// Holds reading back for `reason` (a `read_pause`): no further read is
    /// started, though one already under way still delivers. Any thread.
    void pause_reading(unsigned reason);
    /// Clears `reason`; reading starts again on the strand once nothing holds it back. Any thread.
    void resume_reading(unsigned reason);
    /// True while some reason other than those in `ignored` holds reading back.
    bool reading_paused(unsigned ignored = 0) const { return gate_->reading_held(ignored); }
    /// True while some reason other than those in `ignored` holds back
    /// handing on what was read (see read_gate::handing_on_held).
    bool handing_on_paused(unsigned ignored = 0) const { return gate_->handing_on_held(ignored); }
    /// True once the peer of the current (or last) connection reset it
    /// before its end of stream.
    bool peer_reset() const { return gate_->reset.load(); }
    /// True once a write failed because the peer had closed after its end
    /// of stream, or a local peer's close with our bytes unread was read:
    /// its end is still read and reported (`on_read_end`), and the layer
    /// above ends the connection once it has handed that end on.
    bool sending_refused() const { return gate_->sending_refused.load(); }
    /// `steady_ms` at which reading last went on after being held back; 0 if it never was.
    int64_t reading_released_ms() const { return gate_->released_ms.load(); }
    /// What the peer of the current connection has taken of what was
    /// written to it, looked at now (nothing without a connection). Any thread.
    delivery_t delivery() const;
    /// While on, the backlog reasons do not hold reading back: set while a
    /// command body is received, which only that body's own bound limits.
    void read_through_body(bool on);

    /// The strand shared by every implementation of this facade and every layer above.
    strand_ptr strand() const { return strand_; }
    strand_ptr get_strand() const { return strand_; }

private:
    transport_layer(boost::asio::io_service& service, const proto::text_protocol_layer_options& options);

    /// Makes an implementation of one family and installs it; the caller holds the mutex.
    template <class Protocol>
    boost::shared_ptr<impl<Protocol>> install_locked();
    /// Disconnects only while `which` is still the current implementation, so a
    /// late completion of a replaced attempt cannot end its successor.
    void disconnect_if(const impl_iface* which);
    /// Lets the current implementation read again, should nothing hold it back.
    void wake_reader();

    boost::asio::io_service& service_;
    strand_ptr strand_;
    boost::posix_time::time_duration idle_timeout_;
    uint32_t read_buffer_size_;
    bool strand_send_completions_;
    bool half_close_;
    boost::shared_array<char> read_buffer_;
    boost::shared_ptr<read_gate> gate_;
    boost::shared_ptr<impl_iface> impl_;
    mutable boost::mutex mutex_;
    boost::weak_ptr<transport_layer_events> events_;
};

}  // namespace io
