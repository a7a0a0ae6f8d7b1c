// The framing layer of every connection: turns the byte stream from the
// transformation layer into numbered text commands with optional binary
// bodies, reports them through signals, numbers what it sends, and can turn
// into a transparent pipe (raw mode) after a protocol switch.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/iostreams/device/mapped_file.hpp>
#include <boost/noncopyable.hpp>
#include <boost/optional.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "io/body_budget.h"
#include "io/filters.h"
#include "io/request_queue.h"
#include "io/text_protocol_error.h"
#include "io/text_protocol_layer_options.h"
#include "io/transformation_layer.h"
#include "io/transport_layer.h"
#include "oslayer/syncers.h"

namespace io {
namespace proto {

/// One connection's command framing on top of its transformation layer.
class text_protocol_layer : public transformation_layer_events,
                            public boost::enable_shared_from_this<text_protocol_layer>,
                            private boost::noncopyable {
public:
    typedef io::outcoming_filter outcoming_filter;
    typedef io::incoming_filter incoming_filter;
    typedef boost::iterator_range<char*> args_range;

    /// The layer's own framing error; it always ends the connection.
    class internal_parser_violation : public std::runtime_error {
    public:
        explicit internal_parser_violation(const char* what) : std::runtime_error(what) {}
    };

    /// Sink of one command body; the layer counts the bytes delivered in `written`.
    class writer_iface {
    public:
        virtual ~writer_iface() {}
        virtual void write(const char* data, size_t length) = 0;
        /// Body bytes delivered so far (set to 0 by `set_custom_writer`).
        uint32_t written = 0;
    };

    /// Writes the body to a stdio file, closing it when dropped.
    class file_writer : public writer_iface {
    public:
        /// Takes ownership of an open file.
        explicit file_writer(FILE* file) : file_(file) {}
        ~file_writer() override;
        /// Throws internal_parser_violation on a short write.
        void write(const char* data, size_t length) override;

    private:
        FILE* file_;
    };

    /// Copies the body into a writable memory mapping from a start position on.
    class mapped_file_writer : public writer_iface {
    public:
        mapped_file_writer(const boost::shared_ptr<boost::iostreams::mapped_file>& file, uint64_t position)
            : file_(file), position_(position) {}
        /// Throws internal_parser_violation for a chunk that would end past the mapping.
        void write(const char* data, size_t length) override;

    private:
        boost::shared_ptr<boost::iostreams::mapped_file> file_;
        uint64_t position_;
    };

    /// A parser state; states hold no data, everything lives in the layer.
    class st_iface {
    public:
        virtual void on_char(text_protocol_layer& layer, char c) = 0;
        virtual ~st_iface() {}
    };

    static boost::shared_ptr<text_protocol_layer> create(boost::asio::io_service& service,
                                                         const text_protocol_layer_options& options);
    ~text_protocol_layer() override;

    // Straight to the transformation layer.
    void connect(const std::string& client_spec);
    void attach(const accepted_socket& socket);
    void disconnect();
    /// See transport_layer::mark_cut.
    void mark_cut() { lower_->mark_cut(); }
    std::string name() const;
    void set_idle_timeout(const boost::posix_time::time_duration& timeout);
    transport_layer::strand_ptr get_strand() const;
    /// From a command slot the filter also applies to the rest of the delivery being parsed.
    void add_incoming_filter(const boost::shared_ptr<incoming_filter>& filter);
    void add_outcoming_filter(const boost::shared_ptr<outcoming_filter>& filter);
    void remove_all_filters();
    void remove_incoming_filter();
    void remove_outcoming_filter();
    /// See transformation_layer::end_sending.
    void end_sending(const boost::function<void()>& done);
    /// Holds reading back for `reason` (an io::read_pause); any thread.
    void pause_reading(unsigned reason);
    /// Clears `reason`; reading goes on once nothing holds it back. Any thread.
    void resume_reading(unsigned reason);
    /// True while some reason holds reading back.
    bool reading_paused() const { return lower_->reading_paused(); }
    /// See transport_layer::reading_released_ms.
    int64_t reading_released_ms() const { return lower_->reading_released_ms(); }
    /// See transport_layer::delivery.
    delivery_t delivery() const { return lower_->delivery(); }
    /// See transport_layer::peer_reset.
    bool peer_reset() const { return lower_->peer_reset(); }
    /// See transport_layer::sending_refused.
    bool sending_refused() const { return lower_->sending_refused(); }

    /// Sends one complete command (numbered unless sending is raw); the queue is consumed.
    void send(request_queue& queue);
    /// As `send`; this command leaves unfiltered and everything after it through `filter`.
    void send_then_add_outcoming_filter(request_queue& queue, const boost::shared_ptr<outcoming_filter>& filter);
    /// As `send`, then both directions raw as `disable_parser` gives them.
    void send_then_disable_parser(request_queue& queue);
    /// Raw mode both ways, never undone: what is sent from now on leaves
    /// unnumbered, and the parser goes off as `stop_parsing` says.
    void disable_parser();
    /// The parser goes off for good; sending is left as it is (the other
    /// direction of a relayed pair switches on its own reader's strand).
    /// From a command slot the bytes after the command pass raw. From
    /// anywhere else the switch is made on the strand, at the point the
    /// parser has reached: the bytes it holds of an unfinished command (as
    /// they came from the layer below) and the rest of the delivery in hand
    /// pass raw first, in order; nothing read is dropped or reframed. Only
    /// a command whose body goes to a writer is the daemon's own business:
    /// nothing of it passes, and the rest of its body is read and dropped.
    void stop_parsing();
    /// Names the reply to a request of the daemon's own that it waits for
    /// (empty: none). A switch made from outside a slot passes nothing of a
    /// command that is, or may still turn out to be, that reply: a header
    /// still coming is read until its name tells, and the reply is dropped
    /// to the end of its body. Strand only.
    void set_own_reply(const std::string& name) { own_reply_ = name; }
    /// `steady_ms` of the last delivery parsed while a command that may be
    /// the reply named by `set_own_reply` is under way (each such delivery
    /// carried bytes of it); 0 when none is. Strand only.
    int64_t own_reply_progress_ms() const { return may_be_own_reply() ? own_reply_stamp_ms_ : 0; }
    /// True once the parser is off (or asked to go off).
    bool raw_mode() { return raw_mode_.read() != 0; }
    /// Sends bytes unchanged, and every later queue unnumbered: a relayed
    /// raw stream that begins here.
    void send_raw(request_queue& queue);
    /// A command of the daemon's own: sent as `send` while sending is
    /// framed, dropped (its callbacks told false) once it is raw, where it
    /// would corrupt a stream that is not the daemon's. False when dropped.
    /// `number`, when given, receives the number the command left with (a
    /// peer that acknowledges the command names it so).
    bool send_framed(request_queue& queue, uint32_t* number = nullptr);
    /// True once what this layer sends leaves unnumbered.
    bool sending_raw() const { return send_raw_.load(); }

    /// The current command's body goes to `writer`; call from a `sig_cmd_begin` slot.
    void set_custom_writer(const boost::shared_ptr<writer_iface>& writer);
    /// The current command's body goes to the file at `path` (appended or truncated).
    void set_file_writer(const char* path, bool append);
    /// The current command's body goes into `file` from byte `position` on.
    void set_mapped_file_writer(const boost::shared_ptr<boost::iostreams::mapped_file>& file, uint64_t position);

    // Events from the transformation layer.
    void on_connect(const boost::system::error_code& error) override;
    void on_disconnect() override;
    /// Parses one delivery (or passes it on raw); called on the connection's strand.
    void on_data_arrived(request_queue& data) override;
    void on_violation(const char* text) override;
    void on_send_congested() override;
    void on_send_drained() override;
    void on_read_end() override;

    boost::signals2::signal<void(const boost::system::error_code&)> sig_connected;
    boost::signals2::signal<void()> sig_disconnected;
    /// Sequence number, command name, body size, arguments.
    boost::signals2::signal<void(unsigned, const std::string&, boost::optional<unsigned>, const args_range&)>
        sig_cmd_begin;
    /// As `sig_cmd_begin`, plus the in-memory body (empty when a writer took it).
    boost::signals2::signal<void(unsigned, const std::string&, boost::optional<unsigned>, const args_range&,
                                 std::vector<char>&)>
        sig_cmd_complete;
    /// Body size, body bytes received so far.
    boost::signals2::signal<void(unsigned, unsigned)> sig_cmd_progress;
    boost::signals2::signal<void(request_queue&)> sig_raw_data;
    boost::signals2::signal<void(const char*)> sig_violation;
    /// Told `true` when more than the send high-water mark waits to be sent,
    /// `false` when that is back at the low-water mark: under the sending
    /// lock, strictly in turn, on any thread. It may pause or resume reading
    /// but must not send on this layer. Set before the connection starts. A
    /// plain function rather than a signal: every relayed pair holds two, and
    /// a signal with its slot costs about 850 bytes where this costs 50.
    void set_backlog_handler(const boost::function<void(bool)>& handler) { backlog_handler_ = handler; }
    /// Told once the peer has ended its sending and every command before the
    /// end has been handled (or every raw byte passed on); on the strand.
    /// Set before the connection starts.
    void set_read_end_handler(const boost::function<void()>& handler) { read_end_handler_ = handler; }

private:
    class st_init;
    class st_params;
    class st_params_r;
    class st_body;
    class st_body_want_r;
    class st_body_want_n;
    static st_init the_init;
    static st_params the_params;
    static st_params_r the_params_r;
    static st_body the_body;
    static st_body_want_r the_body_want_r;
    static st_body_want_n the_body_want_n;

    text_protocol_layer(boost::asio::io_service& service, const text_protocol_layer_options& options);

    void parse_sequence_number();
    void parse_header();
    void header_end();
    /// Makes room for a body no writer takes; internal_parser_violation above the limit.
    void hold_body();
    /// Asks the process-wide budget for room for the body; reading pauses until it is granted.
    void claim_budget();
    void log_budget(const char* outcome);
    /// The budget granted claim `serial`; on the strand.
    void on_body_granted(uint64_t serial);
    /// Reads the current body to its end whatever the send backlog.
    void read_through_body(bool on);
    /// After a command: when it was answered on this connection while the
    /// answers wait above the high-water mark, this peer is read no more
    /// until they drain. Its relayed bytes never hold it back.
    void hold_back_for_answers();
    void command_end();
    void write_body_chunk(const char* data, size_t length);
    void reset_parser();
    void reset_to_init();
    uint32_t body_received() const;
    /// Parses one delivery; what follows a switch made by a slot takes the new route.
    void parse_delivery(request_queue& data);
    /// Walks the bytes through the states and the body step; true when a slot
    /// switched the route, with the unparsed bytes moved to `rest`.
    bool parse_until_switch(request_queue& data, request_queue& rest);
    /// True while this layer parses a delivery on the calling thread (so inside its slots).
    bool parsing_here() const;
    /// The parser goes off on the strand: what it holds of an unfinished
    /// command, then `rest`, pass raw. Once; later calls pass `rest` only.
    void finish_raw_switch(request_queue& rest);
    /// The parser goes off: an unfinished command that is the daemon's
    /// (`own`) is skipped to its end, any other passes raw as it came;
    /// `rest` follows.
    void go_raw(bool own, request_queue& rest);
    /// True while the command under way is, or may still turn out to be,
    /// the reply named by `set_own_reply`.
    bool may_be_own_reply() const;
    /// At the switch, the header of what may be the daemon's own reply is
    /// read on from `data` until its name tells; then the parser goes off.
    void read_own_header(request_queue& data);
    /// What a header read at the switch turned out to be so far.
    enum class header_told { not_yet, own, other, no_command };
    /// One byte of that header.
    header_told own_header_step(char c);
    /// The bytes of the unfinished command as they came: sequence text,
    /// header, body so far.
    request_queue unhanded_bytes();
    /// Raw bytes on: first drops what is left of a writer's body.
    void pass_raw(request_queue& data);
    /// Numbers (unless sending is raw) and hands down; under `send_mutex_`.
    /// The number given, 0 when none.
    uint32_t send_locked(request_queue& queue);
    /// Puts the number in front of `queue` and logs it; the caller holds `send_mutex_`.
    /// The number given, or 0 when this layer numbers nothing.
    uint32_t number_and_log(request_queue& queue);
    void log_received();

    text_protocol_layer_options options_;
    boost::shared_ptr<transformation_layer> lower_;
    std::string sequence_text_;
    std::vector<char> header_;
    std::vector<char> body_;
    std::string command_name_;
    boost::optional<unsigned> body_size_;
    args_range arguments_;
    boost::shared_ptr<writer_iface> writer_;
    // The current body's share of the process-wide budget, and what became
    // of asking for it; touched only on the strand.
    body_budget::grant_ptr body_grant_;
    uint64_t body_serial_ = 0;
    bool budget_paused_ = false;
    bool reading_through_ = false;
    /// The command being handled was answered on this connection.
    bool answered_here_ = false;
    /// The body began while the send backlog held reading back: it claims
    /// its budget only once reading goes on, so no claim sits idle behind a
    /// backlog while others wait for it.
    bool claim_deferred_ = false;
    atomic32_t outgoing_counter_;
    uint32_t incoming_counter_;
    st_iface* state_;
    atomic32_t raw_mode_;
    // Asked for the parser to go off, from any thread: the parser looks at
    // it after every step (a plain load, unlike raw_mode_'s read).
    std::atomic<bool> switch_asked_{false};
    // The parser is off and what it held was passed on; strand only.
    bool parser_off_ = false;
    // The reply the daemon waits for, and when the last delivery that may
    // have carried bytes of it was parsed; strand only.
    std::string own_reply_;
    int64_t own_reply_stamp_ms_ = 0;
    // Bytes still to come of a body the daemon's own writer took when the
    // parser went off (with its CR LF): dropped, not relayed; strand only.
    uint64_t raw_skip_ = 0;
    // What this layer sends leaves unnumbered; set under `send_mutex_`.
    std::atomic<bool> send_raw_{false};
    // The header as received stays in `header_`, so an unfinished command
    // can be passed on raw; the command itself is its trimmed part.
    size_t trimmed_first_ = 0;
    size_t trimmed_size_ = 0;
    // Switches made by slots of the delivery being parsed; they take effect at
    // that point of the stream, so the parser looks at them after every step.
    // Touched only on the parsing thread. A switch from another thread is
    // `switch_asked_`: the command under way was handed to nobody, so it
    // passes raw with the rest.
    bool raw_switched_here_;
    std::vector<boost::shared_ptr<incoming_filter>> late_filters_;
    // Taking a number and handing the queue down are one step under this
    // lock, so numbers leave in increasing order whatever thread sends.
    // Recursive: a completion told false inside the lower send may send again.
    boost::recursive_mutex send_mutex_;
    // Set before the connection starts, only read afterwards.
    boost::function<void(bool)> backlog_handler_;
    boost::function<void()> read_end_handler_;
};

}  // namespace proto
}  // namespace io
