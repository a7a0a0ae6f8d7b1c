// Outgoing queues go down one batch at a time: a batch is gathered under the
// outgoing lock, marked in flight and handed down; its completion releases the
// requests that waited for it and starts the next batch. Incoming bytes pass the
// incoming chain under a lock of their own, so reading never waits for a send.
#include "io/transformation_layer.h"

#include <algorithm>
#include <exception>

#include "io/detail/binders.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"

namespace io {

namespace {

/// The batch whose lower `send` runs on this thread, to recognise a completion
/// that arrives before that `send` has returned (the loop transport does so).
struct sending_batch {
    const transformation_layer* layer;
    uint64_t generation;
    bool completed;
};
thread_local sending_batch* tls_sending = nullptr;

/// Requests whose batch was written: each callback is told true.
void release_confirmed(request_queue& done) {
    for (request_queue::request* r = done.front(); r; r = r->next()) r->mark_as_send();
    done.clear();
}

/// A connection name made safe to stand inside a printf format.
std::string format_safe(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

}  // namespace

boost::shared_ptr<transformation_layer> transformation_layer::create(
    boost::asio::io_service& service, const proto::text_protocol_layer_options& options) {
    TRACE_POINT;
    boost::shared_ptr<transformation_layer> layer(new transformation_layer(service, options));
    layer->lower_->set_events(boost::weak_ptr<discovery_layer_events>(layer));
    return layer;
}

transformation_layer::transformation_layer(boost::asio::io_service& service,
                                           const proto::text_protocol_layer_options& options)
    : service_(service),
      options_(options),
      slice_offset_(0),
      batch_filtered_bytes_(0),
      in_flight_(false),
      generation_(0),
      queued_plain_bytes_(0),
      gathered_plain_bytes_(0),
      in_flight_plain_bytes_(0),
      congested_(false),
      rest_held_(false),
      lower_(discovery_layer::create(service, options)) {}

transformation_layer::~transformation_layer() {
    // The stack below goes first: slices of a write it may still hold point
    // into requests of the queues released right after.
    events_.reset();
    lower_.reset();
}

void transformation_layer::set_events(const boost::weak_ptr<transformation_layer_events>& events) { events_ = events; }

// ------------------------------------------------------------------ sending

request_queue transformation_layer::take_piece_locked(const request_queue::request*& finished) {
    request_queue::request* first = pending_.front();
    // Only filters read bytes in this process; without them the kernel
    // alone reads a request's memory, and fails a page gone with EFAULT.
    if (!outcoming_.empty() && first->read_by_copy()) return copy_piece_locked(finished);
    const boost::asio::const_buffer bytes = first->const_buffer();
    const std::size_t length = bytes.size();
    const std::size_t limit = options_.send_batch_size;
    finished = nullptr;
    if (limit == 0 || (slice_offset_ == 0 && length <= limit)) {
        finished = first;
        return pending_.pop_front();
    }
    // The slice points into the caller's bytes; the request stays queued (here
    // or in the confirmation queue) until its last slice has been written.
    const std::size_t n = std::min(length - slice_offset_, limit);
    request_queue slice = make_const_request(static_cast<const char*>(bytes.data()) + slice_offset_, n);
    advance_slice_locked(n, length, finished);
    return slice;
}

request_queue transformation_layer::copy_piece_locked(const request_queue::request*& finished) {
    // The batch size bounds a slice; without one, a slice of the default
    // batch size keeps the copy small whatever the request's size.
    static const std::size_t copy_slice = proto::text_protocol_layer_options().send_batch_size;
    request_queue::request* first = pending_.front();
    const std::size_t length = first->size();
    const std::size_t limit = options_.send_batch_size ? options_.send_batch_size : copy_slice;
    const std::size_t n = std::min(length - slice_offset_, limit);
    finished = nullptr;
    request_queue slice;
    if (n > 0) {
        boost::shared_array<char> bytes(new char[n]);
        first->copy_to(slice_offset_, bytes.get(), n);
        slice = make_sptr_request(bytes, n);
    }
    advance_slice_locked(n, length, finished);
    return slice;
}

void transformation_layer::advance_slice_locked(std::size_t n, std::size_t length,
                                                const request_queue::request*& finished) {
    slice_offset_ += n;
    if (slice_offset_ != length) return;
    finished = pending_.front();
    confirmation_.push_back(pending_.pop_front());
    slice_offset_ = 0;
}

void transformation_layer::add_piece_locked(request_queue& piece) {
    gathered_plain_bytes_ += piece.size();
    if (outcoming_.empty()) {
        batch_filtered_bytes_ += piece.size();
        batch_.push_back(piece);
        return;
    }
    request_queue out = outcoming_.front()->process(piece);
    for (std::size_t i = 1; i < outcoming_.size(); ++i) {
        request_queue next = outcoming_[i]->process(out);
        out = std::move(next);
    }
    batch_filtered_bytes_ += out.size();
    batch_.push_back(out);
    confirmation_.push_back(piece);
}

bool transformation_layer::reach_switches_locked(const request_queue::request* finished) {
    // Only the front switch can match: its request is the first of them to
    // leave the pending queue. Several switches may share one point.
    bool reached = false;
    while (!switches_.empty() && switches_.front().last == finished) {
        reached_.push_back(switches_.front().filter);
        switches_.pop_front();
        reached = true;
    }
    return reached;
}

void transformation_layer::install_reached_locked() {
    for (const outcoming_ptr& filter : reached_) {
        outcoming_.push_back(filter);
        if (log_enabled(LOG_LEVEL_TRACE3)) {
            LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: %s added to outcoming stream", name().c_str(),
                   filter->name());
        }
    }
    reached_.clear();
}

bool transformation_layer::gather_batch_locked(request_queue& batch) {
    if (in_flight_ || pending_.empty()) return false;
    const std::size_t limit = options_.send_batch_size;
    while (!pending_.empty() && (limit == 0 || batch_filtered_bytes_ < limit)) {
        const request_queue::request* finished = nullptr;
        request_queue piece = take_piece_locked(finished);
        add_piece_locked(piece);
        // A switch point ends the batch: what follows it needs the new filter,
        // which only goes in once everything before it has been written.
        if (finished && !switches_.empty() && reach_switches_locked(finished)) break;
    }
    if (!outcoming_.empty()) {
        // Every batch ends at a flush point of every filter, so the peer can
        // decode all it has received.
        request_queue out = outcoming_.front()->flush();
        for (std::size_t i = 1; i < outcoming_.size(); ++i) {
            request_queue next = outcoming_[i]->process(out);
            next.push_back(outcoming_[i]->flush());
            out = std::move(next);
        }
        batch_.push_back(out);
    }
    in_flight_ = true;
    ++generation_;
    batch_filtered_bytes_ = 0;
    in_flight_plain_bytes_ = gathered_plain_bytes_;
    gathered_plain_bytes_ = 0;
    batch = std::move(batch_);
    return true;
}

bool transformation_layer::hand_down(request_queue& batch, uint64_t generation) {
    // Filters can swallow everything; a batch without requests has nothing to
    // wait for, and a refusal below could not be told from an accepted write.
    if (batch.empty()) return true;
    boost::weak_ptr<transformation_layer> self(shared_from_this());
    sending_batch mine = {this, generation, false};
    sending_batch* outer = tls_sending;
    tls_sending = &mine;
    try {
        lower_->send(batch, [self, generation] {
            if (boost::shared_ptr<transformation_layer> layer = self.lock()) layer->on_sent(generation);
        });
    } catch (...) {
        tls_sending = outer;
        throw;
    }
    tls_sending = outer;
    return mine.completed;
}

bool transformation_layer::finish_batch_locked(uint64_t generation, request_queue& done) {
    if (!in_flight_ || generation != generation_) return false;
    in_flight_ = false;
    done.push_back(confirmation_);
    install_reached_locked();
    queued_plain_bytes_ -= std::min(queued_plain_bytes_, in_flight_plain_bytes_);
    in_flight_plain_bytes_ = 0;
    check_water_locked();
    return true;
}

bool transformation_layer::run_batches_locked(request_queue& done, request_queue& refused) {
    request_queue batch;
    while (gather_batch_locked(batch)) {
        const uint64_t generation = generation_;
        const bool completed = hand_down(batch, generation);
        if (!batch.empty()) {
            refused = std::move(batch);
            return false;
        }
        if (!completed) return true;
        finish_batch_locked(generation, done);
    }
    return true;
}

void transformation_layer::process() {
    for (;;) {
        request_queue batch;
        uint64_t generation;
        {
            out_lock guard(out_mutex_);
            if (!gather_batch_locked(batch)) {
                const bool end_now = ending_ && !sending_ended_ && !in_flight_;
                guard.unlock();
                if (end_now) finish_sending_if_drained();
                return;
            }
            generation = generation_;
        }
        const bool completed = hand_down(batch, generation);
        if (!batch.empty()) {
            // Refused below (never connected, or already gone, with no
            // disconnect event to come): nothing queued can leave any more.
            batch.clear();
            clear();
            return;
        }
        if (!completed) return;
        request_queue done;
        {
            out_lock guard(out_mutex_);
            finish_batch_locked(generation, done);
        }
        release_confirmed(done);
    }
}

void transformation_layer::send(request_queue& queue) {
    TRACE_POINT;
    {
        out_lock guard(out_mutex_);
        if (dropped_after_end(guard, queue)) return;
        queued_plain_bytes_ += queue.size();
        pending_.push_back(queue);
        check_water_locked();
    }
    try {
        process();
    } catch (...) {
        fail();
        throw;
    }
}

namespace {

/// The last request of a queue, or null when it is empty.
const request_queue::request* last_of(const request_queue& queue) {
    const request_queue::request* last = queue.front();
    while (last && last->next()) last = last->next();
    return last;
}

}  // namespace

void transformation_layer::send_then_add_outcoming_filter(request_queue& queue, const outcoming_ptr& filter) {
    TRACE_POINT;
    request_queue done, refused;
    try {
        // Held throughout, so nothing sent by another thread can slip in
        // between this queue and the switch point.
        out_lock guard(out_mutex_);
        // Nor a filter: nothing follows the end of stream.
        if (dropped_after_end(guard, queue)) return;
        // An empty queue switches right behind everything accepted so far.
        const request_queue::request* last = last_of(queue);
        if (!last) last = last_of(pending_);
        queued_plain_bytes_ += queue.size();
        pending_.push_back(queue);
        check_water_locked();
        if (last)
            switches_.push_back(pending_switch{last, filter});
        else
            reached_.push_back(filter);
        if (!run_batches_locked(done, refused)) {
            // No connection below: the queue is told false and no filter is wanted.
            guard.unlock();
            release_confirmed(done);
            refused.clear();
            clear();
            return;
        }
        // With every switch point taken, nothing more can join the batch in
        // flight, so the filters may go in now rather than at its completion.
        if (switches_.empty()) install_reached_locked();
    } catch (...) {
        release_confirmed(done);
        fail();
        throw;
    }
    release_confirmed(done);
}

bool transformation_layer::dropped_after_end(out_lock& guard, request_queue& queue) {
    // The peer has read its end of stream, or its system refuses whatever
    // we write: nothing can follow. The connection may stay a while for
    // what the peer sent before, and queued, this would only pile up.
    if (!sending_ended_ && !lower_->sending_refused()) return false;
    request_queue late = std::move(queue);
    guard.unlock();
    late.clear();
    return true;
}

void transformation_layer::end_sending(const boost::function<void()>& done) {
    TRACE_POINT;
    {
        out_lock guard(out_mutex_);
        if (ending_) return;
        ending_ = true;
        on_sending_ended_ = done;
    }
    finish_sending_if_drained();
}

void transformation_layer::finish_sending_if_drained() {
    boost::function<void()> done;
    {
        out_lock guard(out_mutex_);
        if (!ending_ || sending_ended_ || in_flight_ || !pending_.empty()) return;
        sending_ended_ = true;
        done.swap(on_sending_ended_);
    }
    lower_->shutdown_send();
    if (log_enabled(LOG_LEVEL_DEBUG3))
        LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/Transformation] %s: Sending ended", name().c_str());
    if (done) done();
}

void transformation_layer::on_sent(uint64_t generation) {
    TRACE_POINT;
    if (tls_sending && tls_sending->layer == this && tls_sending->generation == generation) {
        // Completed inside our own lower `send`: the sender finishes the batch,
        // which keeps a long run of such batches from recursing.
        tls_sending->completed = true;
        return;
    }
    request_queue done;
    {
        out_lock guard(out_mutex_);
        if (!finish_batch_locked(generation, done)) return;
    }
    release_confirmed(done);
    try {
        process();
    } catch (const SEH_exception_shell_t& e) {
        report_process_failure(e.what(), &e);
    } catch (const d_exception_t_shell_t& e) {
        report_process_failure(e.what(), &e);
    } catch (const std::exception& e) {
        report_process_failure(e.what(), nullptr);
    } catch (...) {
        report_process_failure("general error", nullptr);
    }
}

void transformation_layer::report_process_failure(const char* reason, const d_exception_t_shell_t* shell) {
    const std::string fmt =
        "[Layer/Transformation] " + format_safe(name()) + ": Cannot process more requests because of %s";
    pretty_print_exception(LOG_LEVEL_ERROR, fmt.c_str(), reason, shell);
    fail();
}

void transformation_layer::check_water_locked() {
    const std::size_t high = options_.send_high_water;
    if (high == 0) return;
    const std::size_t low = std::min<std::size_t>(options_.send_low_water, high);
    // Raised with the lock held: a congestion and the drain that ends it
    // reach the sink in the order they happened, whatever threads they come from.
    if (!congested_ && queued_plain_bytes_ > high) {
        congested_ = true;
        detail::make_weak_binder(&transformation_layer_events::on_send_congested, events_)();
    } else if (congested_ && queued_plain_bytes_ <= low) {
        congested_ = false;
        detail::make_weak_binder(&transformation_layer_events::on_send_drained, events_)();
    }
}

std::size_t transformation_layer::queued_bytes() {
    out_lock guard(out_mutex_);
    return queued_plain_bytes_;
}

void transformation_layer::fail() {
    disconnect();
    clear();
}

void transformation_layer::clear() {
    TRACE_POINT;
    request_queue batch, confirmation, pending;
    // Switches die with the bytes they were to follow.
    std::deque<pending_switch> switches;
    std::vector<outcoming_ptr> reached;
    {
        out_lock guard(out_mutex_);
        slice_offset_ = 0;
        batch_filtered_bytes_ = 0;
        in_flight_ = false;
        queued_plain_bytes_ = 0;
        gathered_plain_bytes_ = 0;
        in_flight_plain_bytes_ = 0;
        check_water_locked();
        batch = std::move(batch_);
        confirmation = std::move(confirmation_);
        pending = std::move(pending_);
        switches.swap(switches_);
        reached.swap(reached_);
    }
    batch.clear();
    confirmation.clear();
    pending.clear();
}

// ------------------------------------------------------------------ filters

void transformation_layer::add_outcoming_filter(const boost::shared_ptr<outcoming_filter>& filter) {
    TRACE_POINT;
    {
        out_lock guard(out_mutex_);
        outcoming_.push_back(filter);
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: %s added to outcoming stream", name().c_str(), filter->name());
}

void transformation_layer::add_incoming_filter(const boost::shared_ptr<incoming_filter>& filter) {
    TRACE_POINT;
    {
        in_lock guard(in_mutex_);
        incoming_.push_back(filter);
        incoming_count_.store(incoming_.size());
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: %s added to incoming stream", name().c_str(), filter->name());
}

void transformation_layer::remove_outcoming_filter() {
    TRACE_POINT;
    boost::shared_ptr<outcoming_filter> gone;
    {
        out_lock guard(out_mutex_);
        if (outcoming_.empty()) throw internal_error("no outcoming filter to remove");
        gone = outcoming_.back();
        outcoming_.pop_back();
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: %s removed from outcoming stream", name().c_str(),
           gone->name());
}

void transformation_layer::remove_incoming_filter() {
    TRACE_POINT;
    boost::shared_ptr<incoming_filter> gone;
    {
        in_lock guard(in_mutex_);
        if (incoming_.empty()) throw internal_error("no incoming filter to remove");
        gone = incoming_.back();
        incoming_.pop_back();
        incoming_count_.store(incoming_.size());
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: %s removed from incoming stream", name().c_str(),
           gone->name());
}

void transformation_layer::remove_all_filters() {
    TRACE_POINT;
    // Released after the locks: ending a zlib stream needs no lock of ours.
    std::vector<boost::shared_ptr<incoming_filter>> gone_in;
    std::vector<boost::shared_ptr<outcoming_filter>> gone_out;
    {
        in_lock guard(in_mutex_);
        gone_in.swap(incoming_);
        incoming_count_.store(0);
    }
    {
        out_lock guard(out_mutex_);
        gone_out.swap(outcoming_);
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/Transformation] %s: All filter removed from incoming  and outcoming streams",
           name().c_str());
}

// ------------------------------------------------------------- pass-through

void transformation_layer::connect(const std::string& client_spec) { lower_->connect(client_spec); }

void transformation_layer::attach(const accepted_socket& socket) { lower_->attach(socket); }

void transformation_layer::disconnect() {
    // Bytes accepted and not yet handed down (the rest of a reply whose
    // stored file failed while it was read, what waits behind a batch) are
    // owed as much as those the transport holds: their peer sees a reset.
    bool owed;
    {
        out_lock guard(out_mutex_);
        owed = in_flight_ || !pending_.empty() || !batch_.empty();
    }
    if (owed)
        lower_->disconnect_cut();
    else
        lower_->disconnect();
}

std::string transformation_layer::name() const { return lower_->name(); }

void transformation_layer::set_idle_timeout(const boost::posix_time::time_duration& timeout) {
    lower_->set_idle_timeout(timeout);
}

transport_layer::strand_ptr transformation_layer::get_strand() const { return lower_->get_strand(); }

void transformation_layer::pause_reading(unsigned reason) { lower_->pause_reading(reason); }

void transformation_layer::pause_reading_if_congested(unsigned reason) {
    out_lock guard(out_mutex_);
    if (congested_) lower_->pause_reading(reason);
}

void transformation_layer::resume_reading(unsigned reason) {
    lower_->resume_reading(reason);
    // Inflated bytes held back go up before anything read later.
    if (!rest_held_.load()) return;
    boost::weak_ptr<transformation_layer> self(shared_from_this());
    get_strand()->post([self] {
        if (boost::shared_ptr<transformation_layer> layer = self.lock()) layer->drain_incoming();
    });
}

void transformation_layer::read_through_body(bool on) { lower_->read_through_body(on); }

bool transformation_layer::reading_paused(unsigned ignored) const { return lower_->reading_paused(ignored); }

// ------------------------------------------------------------------- events

void transformation_layer::on_connect(const boost::system::error_code& error) {
    {
        out_lock guard(out_mutex_);
        ending_ = sending_ended_ = false;
    }
    read_ended_ = read_end_reported_ = false;
    detail::make_weak_binder(&transformation_layer_events::on_connect, events_)(error);
}

void transformation_layer::on_disconnect() {
    TRACE_POINT;
    clear();
    boost::function<void()> never;
    {
        out_lock guard(out_mutex_);
        never.swap(on_sending_ended_);
    }
    detail::make_weak_binder(&transformation_layer_events::on_disconnect, events_)();
    remove_all_filters();
    if (rest_held_.exchange(false)) lower_->resume_reading(pause_inflated_rest);
}

void transformation_layer::on_data_arrived(request_queue& data) {
    TRACE_POINT;
    request_queue out;
    if (incoming_count_.load() == 0) {
        detail::make_weak_binder(&transformation_layer_events::on_data_arrived, events_)(data);
        // A filter added by a command of this delivery (the compression
        // switch) may hold back the rest it was given: it goes up from here,
        // as any held-back rest does, or it would wait for the peer's next bytes.
        if (incoming_count_.load() != 0 && incoming_pending()) drain_incoming();
        return;
    }
    if (!filter_incoming(data, out)) return;
    if (!out.empty()) detail::make_weak_binder(&transformation_layer_events::on_data_arrived, events_)(out);
    drain_incoming();
}

void transformation_layer::on_read_end() {
    TRACE_POINT;
    read_ended_ = true;
    drain_incoming();
}

bool transformation_layer::incoming_pending() {
    in_lock guard(in_mutex_);
    for (const boost::shared_ptr<incoming_filter>& filter : incoming_)
        if (filter->has_pending()) return true;
    return false;
}

bool transformation_layer::filter_incoming(request_queue& data, request_queue& out) {
    std::string violation;
    {
        in_lock guard(in_mutex_);
        out = std::move(data);
        try {
            // Newest first: filters added on both sides in the same order
            // undo each other. Nothing to pass on reaches only a filter that
            // holds output back from an earlier call.
            for (auto it = incoming_.rbegin(); it != incoming_.rend(); ++it) {
                if (out.empty() && !(*it)->has_pending()) continue;
                request_queue next = (*it)->process(out);
                out.clear();
                out = std::move(next);
            }
        } catch (const incoming_filter_error& e) {
            violation = e.what();
            if (violation.empty()) violation = "incoming filter error";
        }
    }
    if (violation.empty()) return true;
    out.clear();
    detail::make_weak_binder(&transformation_layer_events::on_violation, events_)(violation.c_str());
    disconnect();
    return false;
}

void transformation_layer::drain_incoming() {
    for (;;) {
        if (!incoming_pending()) {
            if (rest_held_.exchange(false)) lower_->resume_reading(pause_inflated_rest);
            // The end of stream goes up behind the last byte before it.
            if (read_ended_ && !read_end_reported_) {
                read_end_reported_ = true;
                detail::make_weak_binder(&transformation_layer_events::on_read_end, events_)();
                // Nothing can be written to a peer that refused our bytes;
                // its pair learns that it is gone once its end went up.
                if (lower_->sending_refused()) disconnect();
            }
            return;
        }
        // Marked before looking at the other reasons: a resume that clears
        // one of them after the look sees the mark and posts this again.
        if (!rest_held_.exchange(true)) lower_->pause_reading(pause_inflated_rest);
        if (lower_->handing_on_paused(pause_inflated_rest)) return;
        request_queue none, out;
        if (!filter_incoming(none, out)) return;
        if (!out.empty()) detail::make_weak_binder(&transformation_layer_events::on_data_arrived, events_)(out);
    }
}

}  // namespace io
