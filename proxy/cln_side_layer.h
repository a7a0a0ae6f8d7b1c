// The application layer on the agent side of one proxy connection: dispatches
// the agent's commands to their handlers, writes relayed server commands and
// cached update files to the agent, and keeps an idle agent alive with PING
// once the upstream negotiation has completed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "io/app_layer_base.h"
#include "io/request_queue.h"
#include "io/text_protocol_layer.h"
#include "io/text_protocol_layer_options.h"

class proxy_connection_t;

namespace cln_side {

typedef boost::iterator_range<char*> args_range;

/// One command rebuilt for relaying: its name, marker, argument text byte
/// for byte and body (dropped without a marker), which the queue takes over
/// without a copy; numbered by the sender.
io::request_queue format_cmd(const std::string& name, bool binary, const args_range& args, std::vector<char>&& body,
                             const boost::function<void(bool)>& on_sent);

/// The agent side of one proxy connection; made by `create`, owned by its proxy connection.
class layer_t : public io::proto::app_layer_base<layer_t, io::proto::text_protocol_layer>,
                public boost::enable_shared_from_this<layer_t> {
    typedef io::proto::app_layer_base<layer_t, io::proto::text_protocol_layer> base_type;
    friend base_type;

public:
    /// Time without a command sent to the agent after which it gets a PING:
    /// 50 seconds (tests shorten it before they create layers).
    static boost::posix_time::time_duration ping_interval;

    /// A layer with its agent stack, no socket attached yet.
    static boost::shared_ptr<layer_t> create(boost::asio::io_service& service,
                                             const boost::weak_ptr<proxy_connection_t>& owner,
                                             const io::proto::text_protocol_layer_options& options);
    ~layer_t() override;

    // Toward the agent. The first three take a server command as the server
    // side hands it over, its body taken over without a copy.

    /// Relays a server command; re-arms the keep-alive once it is enabled.
    void forward(const std::string& name, bool binary, const args_range& args, std::vector<char>&& body);
    /// Relays the command that completes the negotiation, enables the
    /// keep-alive and, when both sides offered compression, compresses both
    /// directions after it.
    void forward_enable_filters(const std::string& name, bool binary, const args_range& args,
                                std::vector<char>&& body);
    /// Relays a command framed, then the agent side turns raw and stops pinging.
    void forward_disable_parser(const std::string& name, bool binary, const args_range& args,
                                std::vector<char>&& body);
    /// Sends a ready queue as it stands; the queue is left empty.
    void forward_raw(io::request_queue& queue);
    /// The server's raw bytes, unchanged; nothing sent to the agent after
    /// them is numbered. The queue is left empty.
    void relay_raw(io::request_queue& queue);
    /// Sends a ready command framed, then the agent side turns raw and stops pinging.
    void forward_raw_then_disable_parser(io::request_queue& queue);
    /// From now on the agent's bytes pass unparsed and nothing sent to it is
    /// numbered; a second call changes nothing.
    void disable_parser();
    /// The agent's own switch (INSTALL): its bytes pass unparsed from here,
    /// while the server's commands still reach it framed until the server
    /// side turns raw on its own strand.
    void stop_parsing();
    /// The SRS_UPDATE reply `id` carrying `files` back to back, each taken
    /// from the cache only as the connection reaches it; nothing once the
    /// owner is gone, or once what goes to the agent is raw. A file that
    /// cannot be taken then ends the connection.
    void send_srs_update(uint32_t id, const std::vector<cache::served_file_t>& files);
    /// The agent's ACK_RANGE of the command numbered `number` with `range`
    /// as it wrote it: a reply acknowledged whole tells its files fetched
    /// again after a loss that they reached the agent. Any other is ignored.
    void range_acknowledged(uint32_t number, const std::string& range);

    /// Ends the sending towards the agent behind everything queued, then
    /// calls `done`; no keep-alive follows the end.
    void end_sending(const boost::function<void()>& done);

    /// The agent's name for log lines.
    std::string name() const { return lower_->name(); }
    const boost::weak_ptr<proxy_connection_t>& owner() const { return owner_; }
    /// True while a keep-alive wait is pending.
    bool ping_pending();

    /// A command built for the server (request queue).
    boost::signals2::signal<void(io::request_queue&)> to_server_signal;
    /// The agent's ANF_STATE: first argument, all arguments.
    boost::signals2::signal<void(const std::string&, const std::vector<std::string>&)> anf_state_signal;
    /// The agent's ARQ_UPDATE: its number, repository, revision, integer, file mask.
    boost::signals2::signal<void(uint32_t, const std::string&, unsigned long long, int, const std::vector<char>&)>
        arq_update_signal;

private:
    layer_t(boost::asio::io_service& service, const boost::weak_ptr<proxy_connection_t>& owner,
            const io::proto::text_protocol_layer_options& options);

    void derived_postconstruct();
    void on_violation(const char* text);
    void on_disconnected();

    /// The keep-alive callback an on-sent request carries; it never holds the layer.
    boost::function<void(bool)> arming_callback();
    /// Arms the keep-alive anew; `sent` is not looked at.
    void start_timer(bool sent);
    void on_ping_timer(const boost::system::error_code& error);
    /// No keep-alive any more: the agent is gone or its stream went raw.
    void stop_pinging();

    boost::weak_ptr<proxy_connection_t> owner_;
    /// A reply sent with files fetched again after a loss, until the agent
    /// acknowledges it. The send's own completion tells the files as well,
    /// but may run after the agent's next request has been read.
    struct unacknowledged_t {
        uint32_t number;
        std::string range;
        std::vector<cache::served_file_t> files;
    };
    // Filled under the cache's lock by whichever thread serves, read on the
    // agent's strand. Only replies whose files are still waiting stay: at
    // most the replies under way to the agent.
    boost::mutex unacknowledged_mutex_;
    std::vector<unacknowledged_t> unacknowledged_;
    // The timer's operations come from on-sent callbacks, timer completions
    // and both sides' strands; asio timers are not safe for concurrent use.
    boost::mutex timer_mutex_;
    boost::asio::deadline_timer ping_timer_;
    /// Set once the agent closed or went raw; no wait is armed afterwards.
    bool ping_stopped_ = false;
    std::atomic<bool> ping_enabled_{false};
};

}  // namespace cln_side
