// The application layer on top of the upstream (server) stack of one proxy
// connection: dispatches the server's commands to their handlers, sends the
// agent's commands upstream, and follows the negotiation with a state machine
// that picks how server commands are relayed back to the agent and runs the
// proxy's own downloads one at a time.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/statechart/event.hpp>
#include <boost/system/error_code.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "io/app_layer_base.h"
#include "io/async_cmd.h"
#include "io/request_queue.h"
#include "io/text_protocol_layer.h"
#include "io/text_protocol_layer_options.h"

class proxy_connection_t;

namespace srv_side {

class download_context_t;

/// The server side of one proxy connection; made by `create`, owned by its proxy connection.
class layer_t : public io::proto::app_layer_base<layer_t, io::proto::text_protocol_layer> {
    typedef io::proto::app_layer_base<layer_t, io::proto::text_protocol_layer> base_type;
    friend base_type;

public:
    /// A server command toward the agent: name, body marker seen, raw argument
    /// text, body. The daemon's one slot takes the body over, so a slot
    /// connected after it sees it empty.
    typedef boost::signals2::signal<void(const std::string&, bool, const boost::iterator_range<char*>&,
                                         std::vector<char>&)>
        relay_signal_t;
    /// A parsed SNF_UPDATE: repository, revision, announcement integer, files, raw arguments, body.
    typedef boost::signals2::signal<void(const std::string&, unsigned long long, int,
                                         const std::vector<cache::file_info_t>&, const boost::iterator_range<char*>&,
                                         const std::vector<char>&)>
        snf_update_signal_t;

    // Events of the negotiation machine.
    struct ev_connected_t : boost::statechart::event<ev_connected_t> {};
    struct ev_disconnected_t : boost::statechart::event<ev_disconnected_t> {};
    /// PROTOCOL, CHALLENGE, SIGNATURE, GOTIT, or an AUTHORIZE that is not "OK".
    struct ev_negotiation_cmd_t : boost::statechart::event<ev_negotiation_cmd_t> {};
    /// Any other server command.
    struct ev_non_negotiation_cmd_t : boost::statechart::event<ev_non_negotiation_cmd_t> {};
    /// The agent's INSTALL/INSTALLEX: its side is raw already, so this side
    /// follows in every connected state, authorized or not.
    struct ev_agent_raw_t : boost::statechart::event<ev_agent_raw_t> {};
    /// AUTHORIZE "OK" without encryption offered by both sides.
    struct ev_authorize_ok_t : boost::statechart::event<ev_authorize_ok_t> {};
    /// AUTHORIZE "OK" with encryption offered by both sides (or the proxy connection gone).
    struct ev_switch_raw_t : boost::statechart::event<ev_switch_raw_t> {};
    /// A download the cache needs; runs once the connection is ready and no other download runs.
    struct ev_download_update_request_t : io::proto::event_with_async_cmd<ev_download_update_request_t> {
        explicit ev_download_update_request_t(const boost::shared_ptr<io::proto::async_cmd>& cmd)
            : event_with_async_cmd(cmd) {}
    };
    /// The running download's reply has arrived whole.
    struct ev_download_done_t : boost::statechart::event<ev_download_done_t> {};
    /// The running download's body made no progress for the stall limit.
    struct ev_download_stalled_t : boost::statechart::event<ev_download_stalled_t> {};
    /// The agent's switch, or its connection's end, gives the running
    /// download up: a cause of this pair's own, so the download is
    /// withdrawn, never counted as the server's failure.
    struct ev_download_withdrawn_t : boost::statechart::event<ev_download_withdrawn_t> {};

    // States of the negotiation machine (defined in proxy/srv_side_machine.h).
    struct st_disconnected_t;
    struct st_connected_t;
    struct st_wait_authorize_t;
    struct st_ready_init_t;
    struct st_ready_raw_t;
    struct st_ready_t;
    struct st_ready_update_in_progress_t;

    /// The negotiation state machine; runs only on the upstream connection's strand.
    class machine_t : public io::proto::state_machine_with_async_cmds<machine_t, st_disconnected_t> {
    public:
        explicit machine_t(layer_t& layer) : layer_(layer), current_relay_(&layer.relay_forward) {}
        ~machine_t();
        machine_t(const machine_t&) = delete;
        machine_t& operator=(const machine_t&) = delete;

        layer_t& layer() const { return layer_; }
        /// The relay signal chosen by the entry action of the state entered last.
        relay_signal_t* current_relay() const { return current_relay_; }
        void set_current_relay(relay_signal_t* relay) { current_relay_ = relay; }

    private:
        layer_t& layer_;
        relay_signal_t* current_relay_;
    };

    /// A layer with its upstream stack, not connected; the machine is in `st_disconnected_t`.
    static boost::shared_ptr<layer_t> create(boost::asio::io_service& service,
                                             const boost::weak_ptr<proxy_connection_t>& owner,
                                             const io::proto::text_protocol_layer_options& options);
    ~layer_t() override;

    /// Starts connecting the upstream stack to a client specification; the
    /// outcome comes on the text protocol layer's connected signal.
    void connect(const std::string& client_spec);
    /// Sends one agent command upstream (numbered unless raw); the queue is left empty.
    void forward(io::request_queue& queue);
    /// The agent's bytes in raw mode, sent upstream unchanged; the queue is left empty.
    void forward_raw(io::request_queue& queue);
    /// The agent's INSTALL sent numbered; nothing after it is, and this
    /// side's parser goes off on its strand. The queue is left empty.
    void forward_then_raw(io::request_queue& queue);
    /// A command of the proxy's own (PONG, ACK_RANGE, ALIVE) sent upstream,
    /// numbered; the queue is left empty. Dropped, and not logged as sent,
    /// once the end of sending was asked for, or once the upstream stream
    /// is raw.
    void send_text(io::request_queue& queue);
    /// Ends the sending towards the server behind everything queued, then
    /// calls `done`; on the strand.
    void end_sending(const boost::function<void()>& done);

    /// Switches zlib on both directions of the upstream stack when both sides offered "COMP".
    void enable_filters();

    /// The agent turned raw: the machine learns of it on its own strand, not the caller's.
    void post_switch_to_raw();
    /// The agent's INSTALL/INSTALLEX (`install`, framed; the queue is left
    /// empty): on the strand, once no reply to the daemon's own download is
    /// owed on this connection, it is sent numbered and this side turns raw.
    /// Until then nothing more is asked of the server, and the agent's raw
    /// bytes and the end of its sending wait here in order. `switched` runs
    /// on the strand once the switch is made. Any thread.
    void post_agent_switch(io::request_queue& install, const boost::function<void()>& switched);
    /// True once the agent asked to switch: no download is sent here any more. Any thread.
    bool agent_switch_asked() const { return switch_asked_.load(); }
    /// True while the agent's switch waits for a reply owed to a download; on the strand.
    bool agent_switch_waits() const { return switch_waiting_; }
    /// Makes the agent's waiting switch now; on the strand.
    void switch_for_agent();
    /// Makes the agent's waiting switch once no reply is owed; on the strand.
    void switch_if_nothing_owed();
    /// The pair ends because its agent went (its reset, its connection
    /// gone for the half-close limit): on the strand, the download running
    /// here is withdrawn and none is sent any more, then `then` runs (on
    /// the strand). Any thread.
    void post_agent_left(const boost::function<void()>& then);
    /// True once the pair ends because its agent went. Any thread.
    bool agent_left() const { return agent_left_.load(); }
    /// A request that the server answers with an SRS_UPDATE was sent (true),
    /// or the reply it owed has been read (false); on the strand.
    void expect_reply(bool owed) { reply_owed_ = owed; }
    /// Queues a download for the machine, on its own strand.
    void post_download_request(const boost::shared_ptr<download_context_t>& download);

    /// The relay signal a server command is to be relayed through now.
    relay_signal_t* current_relay() const { return machine_.current_relay(); }
    /// The download the machine is running, or empty.
    boost::shared_ptr<download_context_t> running_download() const;

    /// True once a download through this connection was given up for lack of
    /// progress: the server answers (PINGs) but does not deliver, so later
    /// downloads go through other connections. Safe from any thread.
    bool download_stalled() const { return stalled_.load(); }
    /// The server ended its sending: its running download fails, and it
    /// gets no more. Any thread.
    void read_ended();
    /// True once the server ended its sending. Safe from any thread.
    bool ended() const { return ended_.load(); }

    /// Whether the machine's state lets it send a download: not yet (still
    /// negotiating), now (ready or downloading), or never again (raw,
    /// disconnected). A download posted when it cannot is dropped unsent.
    enum class download_readiness_t { not_yet, now, never };
    /// Safe from any thread.
    download_readiness_t download_readiness() const { return readiness_.load(); }
    /// Set by the machine's states on their strand; returns the one before.
    download_readiness_t set_download_readiness(download_readiness_t readiness) {
        return readiness_.exchange(readiness);
    }
    /// True while the reply to a given-up download may still arrive; its body
    /// is then dropped instead of taken for a protocol violation.
    bool reply_abandoned() const { return abandoned_reply_; }
    /// The given-up download's reply has ended.
    void abandoned_reply_ended() { abandoned_reply_ = false; }
    /// Body bytes reached the running download; on the strand.
    void note_download_progress();
    /// Starts (stops) watching the running download's progress; on the strand.
    void start_stall_watch();
    void stop_stall_watch();

    machine_t& machine() { return machine_; }
    const boost::weak_ptr<proxy_connection_t>& owner() const { return owner_; }
    /// For callbacks that must not keep the layer alive.
    boost::weak_ptr<layer_t> weak_self() const { return self_; }
    /// The upstream connection's name for log lines.
    std::string name() const { return lower_->name(); }

    relay_signal_t relay_forward;
    /// Relay after which the agent side turns raw too.
    relay_signal_t relay_disable_parser;
    /// Relay after which the agent side compresses, when compression was negotiated.
    relay_signal_t relay_enable_filters;
    snf_update_signal_t snf_update_signal;

private:
    layer_t(boost::asio::io_service& service, const boost::weak_ptr<proxy_connection_t>& owner,
            const io::proto::text_protocol_layer_options& options);

    /// Binds the upstream stack's connection and violation signals.
    void derived_postconstruct();
    void on_connected(const boost::system::error_code& error);
    void on_disconnected();
    /// The agent's switch, on the strand: made at once, or held while a reply is owed.
    void begin_agent_switch(io::request_queue& install, const boost::function<void()>& switched);
    /// Withdraws the running download, if any, for a cause of this pair's
    /// own; a reply still owed to it is dropped when it comes. On the strand.
    void withdraw_download();
    /// The machine leaves its connected states (the server ended its sending
    /// or is gone); on the strand.
    void leave_connected();
    void on_violation(const char* text);
    void arm_stall_timer(boost::posix_time::ptime deadline);
    /// Moves the last progress forward past the time the daemon held reading back.
    void discount_held_reading();
    /// Moves the last progress forward to `steady` (a `steady_ms`; 0: none).
    void progress_at(int64_t steady);
    void on_stall_timer(unsigned generation, const boost::system::error_code& error);

    /// Runs one event through the machine, on the strand.
    template <class Event>
    void process(const Event& event);
    template <class Event>
    void post_event(const Event& event);

    boost::weak_ptr<proxy_connection_t> owner_;
    // Touched on the strand only, but for `stalled_`. Before the machine:
    // its teardown leaves the downloading state, which stops the watch.
    boost::asio::deadline_timer stall_timer_;
    boost::posix_time::ptime last_progress_;
    unsigned stall_generation_ = 0;
    bool abandoned_reply_ = false;
    /// The end of sending was asked for; read by the ALIVE timer off the strand.
    std::atomic<bool> sending_ending_{false};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> ended_{false};
    std::atomic<download_readiness_t> readiness_{download_readiness_t::not_yet};
    std::atomic<bool> switch_asked_{false};
    std::atomic<bool> agent_left_{false};
    // The agent's waiting switch, on the strand: its INSTALL, the raw bytes
    // it sent behind it, the end of its sending if that came, and who
    // learns that the switch was made.
    bool switch_waiting_ = false;
    /// The server owes the daemon an SRS_UPDATE (a download request or a
    /// range's acknowledgement was sent, its reply not read to its end).
    bool reply_owed_ = false;
    io::request_queue held_install_;
    io::request_queue held_raw_;
    bool end_held_ = false;
    boost::function<void()> held_end_;
    boost::function<void()> switched_;
    machine_t machine_;
};

}  // namespace srv_side
