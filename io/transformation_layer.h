// The layer between the text protocol and the discovery layer: gathers sent
// queues into batches with one batch in flight at a time, cuts large requests
// into slices, runs both directions through filter chains (compression once it
// has been negotiated) and passes connection requests and events straight on.
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/weak_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/discovery_layer.h"
#include "io/filters.h"
#include "io/request_queue.h"
#include "io/text_protocol_layer_options.h"
#include "io/transport_layer.h"
#include "oslayer/_kern.h"

namespace io {

/// What the transformation layer tells the layer above it; held only weakly.
class transformation_layer_events {
public:
    /// Outcome of `connect` (zero on success).
    virtual void on_connect(const boost::system::error_code& error) = 0;
    /// The established connection is gone.
    virtual void on_disconnect() = 0;
    /// Received bytes after the incoming filters; the sink may take the requests.
    virtual void on_data_arrived(request_queue& data) = 0;
    /// An incoming filter rejected the received bytes; the connection is dropped next.
    virtual void on_violation(const char* text) = 0;
    /// More than the high-water mark waits to be sent. Raised under the
    /// layer's send lock, so it and `on_send_drained` come strictly in turn;
    /// the sink must not send on this layer from it.
    virtual void on_send_congested() {}
    /// What waits to be sent fell to the low-water mark after a congestion.
    virtual void on_send_drained() {}
    /// The peer ended its sending and everything it sent, inflated bytes
    /// held back included, has been handed up. Once, on the strand.
    virtual void on_read_end() {}
    virtual ~transformation_layer_events() {}
};

class transformation_layer : public discovery_layer_events,
                             public boost::enable_shared_from_this<transformation_layer>,
                             private boost::noncopyable {
public:
    typedef io::outcoming_filter outcoming_filter;
    typedef io::incoming_filter incoming_filter;
    typedef io::incoming_filter_error incoming_filter_error;

    /// Misuse of the layer (removing a filter from an empty chain).
    class internal_error : public std::runtime_error {
    public:
        explicit internal_error(const std::string& what) : std::runtime_error(what) {}
    };

    /// Makes the layer with its discovery layer below and registers itself there.
    static boost::shared_ptr<transformation_layer> create(boost::asio::io_service& service,
                                                          const proto::text_protocol_layer_options& options);
    /// Releases the queues (callbacks told false), the chains and the stack below.
    ~transformation_layer() override;

    void set_events(const boost::weak_ptr<transformation_layer_events>& events);

    /// Takes the queue over and starts a batch unless one is in flight; on an
    /// error the queues are cleared, the connection dropped and the error thrown.
    void send(request_queue& queue);
    /// Sends `queue` unfiltered and installs `filter` right behind its last
    /// byte: at once when the queue could be taken whole, otherwise when the
    /// batch that ends with it has been written. With no connection the queue
    /// is told false and no filter is added.
    void send_then_add_outcoming_filter(request_queue& queue, const boost::shared_ptr<outcoming_filter>& filter);

    void add_outcoming_filter(const boost::shared_ptr<outcoming_filter>& filter);
    void add_incoming_filter(const boost::shared_ptr<incoming_filter>& filter);
    /// Removes the filter added last; internal_error when the chain is empty.
    void remove_outcoming_filter();
    /// Removes the filter added last; internal_error when the chain is empty.
    void remove_incoming_filter();
    void remove_all_filters();
    /// Drops every queued request; their callbacks are told false.
    void clear();
    /// Ends the sending direction once nothing accepted is left unwritten
    /// (each batch ends at a flush point of every filter), then calls
    /// `done`: the peer reads every byte, then an end of stream. Sends
    /// accepted before that moment still go out ahead of the end; later ones
    /// are dropped. `done` is not called when the connection goes first.
    void end_sending(const boost::function<void()>& done);

    /// Ends the connection below; as a cut (a reset) while bytes accepted
    /// here have not all been handed down.
    void disconnect();
    /// See transport_layer::mark_cut.
    void mark_cut() { lower_->mark_cut(); }

    // Straight to the layer below.
    void connect(const std::string& client_spec);
    void attach(const accepted_socket& socket);
    std::string name() const;
    void set_idle_timeout(const boost::posix_time::time_duration& timeout);
    transport_layer::strand_ptr get_strand() const;
    /// Holds reading back for `reason` (a `read_pause`); any thread.
    void pause_reading(unsigned reason);
    /// Clears `reason`; inflated bytes kept back go up first, then reading goes on.
    void resume_reading(unsigned reason);
    /// True while some reason other than those in `ignored` holds reading back.
    bool reading_paused(unsigned ignored = 0) const;
    /// See transport_layer::reading_released_ms.
    int64_t reading_released_ms() const { return lower_->reading_released_ms(); }
    /// See transport_layer::delivery.
    delivery_t delivery() const { return lower_->delivery(); }
    /// See transport_layer::peer_reset.
    bool peer_reset() const { return lower_->peer_reset(); }
    /// See transport_layer::sending_refused: the connection is ended here
    /// once the peer's end of stream has been handed up.
    bool sending_refused() const { return lower_->sending_refused(); }
    /// True while a send backlog (this connection's or its partner's) holds reading back.
    bool held_by_backlog() const { return reading_paused(~read_pause_backlog); }
    /// Holds reading back for `reason` when, and only when, the connection
    /// is congested now; the drain that ends the congestion is told after it.
    void pause_reading_if_congested(unsigned reason);
    /// See transport_layer::read_through_body.
    void read_through_body(bool on);
    /// Bytes accepted by `send` and not yet written (counted before the
    /// outgoing filters, so compression does not hide them).
    std::size_t queued_bytes();

    // Events from the layer below.
    void on_connect(const boost::system::error_code& error) override;
    void on_disconnect() override;
    void on_data_arrived(request_queue& data) override;
    void on_read_end() override;

private:
    transformation_layer(boost::asio::io_service& service, const proto::text_protocol_layer_options& options);

    typedef boost::recursive_mutex::scoped_lock out_lock;
    typedef boost::mutex::scoped_lock in_lock;

    typedef boost::shared_ptr<outcoming_filter> outcoming_ptr;
    /// A filter to install once `last` (a pending request) has been taken whole.
    struct pending_switch {
        const request_queue::request* last;
        outcoming_ptr filter;
    };

    /// The next piece of the pending queue: a whole request or a slice of the
    /// first; `finished` is the request whose last byte it carries, or null.
    request_queue take_piece_locked(const request_queue::request*& finished);
    /// The same for bytes that filters must not read in place (read_by_copy):
    /// a copy of the next slice, never larger than copy_slice.
    request_queue copy_piece_locked(const request_queue::request*& finished);
    /// Counts `n` more bytes of the first pending request (of `length`) as
    /// taken; once all are, it moves to the confirmations and is `finished`.
    void advance_slice_locked(std::size_t n, std::size_t length, const request_queue::request*& finished);
    /// Runs a piece through the outgoing chain into the batch.
    void add_piece_locked(request_queue& piece);
    /// Moves the switches that end with `finished` to the reached list; true if any.
    bool reach_switches_locked(const request_queue::request* finished);
    /// Adds the filters whose switch point has been written (or can no longer
    /// be followed by anything in the batch in flight), with their log lines.
    void install_reached_locked();
    /// Gathers one batch and marks it in flight; false when none may start now.
    bool gather_batch_locked(request_queue& batch);
    /// Hands a batch down; true when its completion already came in this call.
    bool hand_down(request_queue& batch, uint64_t generation);
    /// Starts batches until one is in flight or nothing is pending; `done`
    /// receives the confirmations of batches that completed synchronously.
    /// False, with the batch in `refused`, when the layer below has no connection.
    bool run_batches_locked(request_queue& done, request_queue& refused);
    /// Runs batches with the lock taken and released here.
    void process();
    /// Clears the in-flight state of batch `generation`; false for a stale one.
    bool finish_batch_locked(uint64_t generation, request_queue& done);
    /// The completion of batch `generation` written by the layer below.
    void on_sent(uint64_t generation);
    /// Logs an error of the processing after a completed batch and drops the connection.
    void report_process_failure(const char* reason, const d_exception_t_shell_t* shell);
    /// Drops the connection, then the queues: a slice in a dying write may
    /// still point into a queued request, so the write goes first.
    void fail();
    /// Reports a crossing of the high- or low-water mark; under the send lock.
    void check_water_locked();
    /// Runs `data` through the incoming chain into `out`; false after a
    /// violation, which has been reported and the connection dropped.
    bool filter_incoming(request_queue& data, request_queue& out);
    /// Hands up what the incoming chain still holds, a step at a time, while
    /// handing on is not held back (a backlog holds it back even once the
    /// peer has finished); then the peer's end of stream, once it has come,
    /// and the connection goes when its peer refused our bytes. On the strand.
    void drain_incoming();
    /// True when some incoming filter holds bytes back.
    bool incoming_pending();
    /// Shuts the sending direction once `end_sending` asked for it and
    /// nothing is pending or in flight.
    void finish_sending_if_drained();
    /// Once the sending has ended, or the peer refused our bytes: drops
    /// `queue` (its callbacks told false) with the lock released, and
    /// returns true.
    bool dropped_after_end(out_lock& guard, request_queue& queue);

    boost::asio::io_service& service_;
    proto::text_protocol_layer_options options_;

    boost::recursive_mutex out_mutex_;
    std::vector<boost::shared_ptr<outcoming_filter>> outcoming_;
    std::size_t slice_offset_;
    request_queue pending_;
    request_queue confirmation_;
    request_queue batch_;
    /// Bytes of the batch being built, counted after the outgoing filters.
    std::size_t batch_filtered_bytes_;
    bool in_flight_;
    /// Tells a late completion of a cleared batch from the current one.
    uint64_t generation_;
    /// Filter switches whose point is still in the pending queue, in stream order.
    std::deque<pending_switch> switches_;
    /// Filters whose switch point ends the batch in flight.
    std::vector<outcoming_ptr> reached_;
    // The water marks count what the peers gave, so these count before the
    // outgoing filters: bytes accepted and not yet written, and of them the
    // bytes gathered into the batch being built and into the batch in flight.
    std::size_t queued_plain_bytes_;
    std::size_t gathered_plain_bytes_;
    std::size_t in_flight_plain_bytes_;
    /// Above high water and not yet back at low water.
    bool congested_;
    /// The incoming chain holds inflated bytes back (reading paused for them).
    std::atomic<bool> rest_held_;
    // The sending direction's end: asked for, and carried out with its
    // callback; under the outgoing lock.
    bool ending_ = false;
    bool sending_ended_ = false;
    boost::function<void()> on_sending_ended_;
    // The peer's end of stream has come, and has been handed up; on the strand.
    bool read_ended_ = false;
    bool read_end_reported_ = false;

    boost::mutex in_mutex_;
    std::vector<boost::shared_ptr<incoming_filter>> incoming_;
    /// The chain's length, read without the lock on every delivery.
    std::atomic<std::size_t> incoming_count_{0};

    boost::shared_ptr<discovery_layer> lower_;
    boost::weak_ptr<transformation_layer_events> events_;
};

}  // namespace io
