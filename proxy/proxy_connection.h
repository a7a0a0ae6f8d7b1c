// One relayed pair: an accepted agent connection joined to one upstream server
// connection. It builds both layer stacks, wires them to each other, connects
// upstream before it reads the agent, and keeps what both sides' command
// handlers share about the pair. It is also the cache's requester.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "io/request_queue.h"
#include "io/transport_layer.h"

class listener_t;
namespace io {
namespace proto {
class text_protocol_layer;
}
}  // namespace io
namespace cln_side {
class layer_t;
}
namespace srv_side {
class layer_t;
class download_context_t;
}  // namespace srv_side

/// The server's last accepted SNF_UPDATE announcement.
struct snf_update_record_t {
    std::string name;
    cache::rev_t rev = 0;
    /// The server's own number, copied into download requests.
    int32_t announcement = 0;
    std::vector<cache::file_info_t> files;
};

/// One agent connection relayed to one upstream connection.
class proxy_connection_t : private boost::noncopyable,
                           public boost::enable_shared_from_this<proxy_connection_t>,
                           public cache::cache_events_t {
public:
    typedef boost::iterator_range<char*> args_range;

    /// Bytes waiting to be sent to one side above which the pair stops
    /// reading from the other side, whose bytes would only add to them (and
    /// from this side too once it asks for more of the daemon's own
    /// answers): 4 MiB. Parsed relay hands on whole commands, so the mark
    /// has to hold a large command and what follows it.
    static uint32_t send_high_water;
    /// Bytes waiting at or below which reading goes on again: 2 MiB,
    /// enough to keep the writer busy while the next 1 MiB command is read
    /// whole (at 1 MiB / 512 KiB the writer idled and parsed relay lost a third).
    static uint32_t send_low_water;
    /// How long a pair one of whose directions has ended (its sender's end
    /// of stream passed on) may go without delivering before it is closed:
    /// 30 seconds. The count starts again with every byte relayed from one
    /// side to the other (a command, a body's part, raw bytes), every reply
    /// queued, and every byte a peer is seen to take of what was owed to it,
    /// so a slow answer to a half-closed peer is never cut; keep-alives the
    /// daemon answers or sends itself count for nothing, so a peer that
    /// ignores the end of stream it was given frees its descriptors within
    /// the limit instead of holding them for ever. Nor do bytes read towards
    /// a side that is gone or refuses them: they reach nobody, and a peer
    /// writing on towards it holds the pair no longer than the limit.
    static boost::posix_time::time_duration half_close_limit;

    proxy_connection_t(boost::asio::io_service& service, const boost::weak_ptr<listener_t>& listener,
                       const boost::shared_ptr<cache::cache_t>& cache);
    ~proxy_connection_t() override;

    /// Builds and wires both stacks and connects upstream to `upstream` (a
    /// client specification); the agent's socket is read only once that
    /// connect succeeded. Parse errors of `upstream` pass out.
    void start(const io::accepted_socket& socket, const std::string& upstream);

    /// "<noname>" until connected, then "<agent>-<server>".
    std::string name() const;

    // Negotiated state, shared by both sides' handlers; every accessor is
    // safe from any thread.

    /// Lowers the major version minimum to `major` when that is smaller.
    void lower_version(int32_t major);
    /// Lowers the minor version minimum to `minor` when that is smaller.
    void lower_minor_version(int32_t minor);
    /// True when the negotiated version is at least (major, minor).
    bool version_at_least(int32_t major, int32_t minor) const;
    /// True while every PROTOCOL seen offered "COMP".
    bool compression_allowed() const;
    /// True while every PROTOCOL seen offered "CRYPT".
    bool crypt_allowed() const;
    /// One PROTOCOL's options: clears each flag whose option it lacks.
    void restrict_offers(bool offers_compression, bool offers_crypt);
    /// The agent's platform from its ANF_STATE, "win-nt-32" before.
    std::string platform() const;
    /// A copy of the server's last accepted SNF_UPDATE.
    snf_update_record_t last_snf_update() const;
    /// The agent's number of its last ARQ_UPDATE (each reply carries the
    /// number of the request it answers, not this one).
    uint32_t update_request_number() const;

    /// Remembers that the agent's GETCONFIG `number` asked for `id`; an id
    /// asked for again keeps the later number and counts as the newest.
    /// Beyond `config_ids_kept` ids the oldest is forgotten.
    void put_config_id(uint32_t number, uint32_t id);
    /// The agent's number for `id`, taken out of the map; -1 when unknown
    /// or forgotten.
    int32_t take_config_id(uint32_t id);

    /// How many GETCONFIG ids one pair remembers (default 1024): an agent
    /// whose requests are never answered must not grow the daemon.
    static size_t config_ids_kept;
    /// How many announced lists (repository, revision, platform) one pair
    /// remembers to match its agent's requests against (default 1024), the
    /// newest, besides keeping of each repository only as many revisions as
    /// the cache keeps: a server announcing ever new revisions or names must
    /// not grow the pair, and one announcing many repositories at once must
    /// not have its first ones forgotten before its agent asks. A request
    /// for a list forgotten is unmatched; the pair remembers as many keys
    /// of lists it let go.
    static size_t relayed_lists_kept;

    /// Sends a ready command (or raw bytes) to the agent as it stands.
    void forward_raw_to_client(io::request_queue& queue);
    /// Sends a ready command to the agent framed, then the agent side turns
    /// raw: the command that has just turned the server side raw.
    void forward_to_client_then_raw(io::request_queue& queue);
    /// The server side went raw on a command that never reached the agent
    /// (refused, or a repeat): the agent side follows at this point.
    void client_follows_raw();
    /// The agent's INSTALL (`install`, sent upstream framed): its parser
    /// goes off, nothing sent upstream after the command is numbered, and
    /// the upstream side follows on its own strand, whatever its state.
    void switch_to_raw(io::request_queue& install);
    /// The pair turned raw (either side's switch; any thread): the daemon
    /// writes nothing of its own into it from now on, so the agent's
    /// waiting update requests are withdrawn (no reply, no download), and a
    /// request still read before the switch is not taken.
    void turned_raw();

    // Slots of the layers' signals.
    void on_server_connected(const boost::system::error_code& error);
    void on_server_closed();
    void on_client_closed();
    /// A side's peer ended its sending: the other side ends its own once
    /// everything before that end has been written to it.
    void on_client_read_end();
    void on_server_read_end();
    void on_snf_update(const std::string& repository, unsigned long long revision, int announcement,
                       std::vector<cache::file_info_t> files, const args_range& args, const std::vector<char>& body);
    void on_anf_state(const std::string& first, const std::vector<std::string>& args);
    void on_update_request(uint32_t number, const std::string& repository, unsigned long long revision,
                           int announcement, const std::vector<char>& mask);

    // The cache's calls; they come with the cache's mutex held.
    /// Answers the agent's request numbered `request`.
    void files_ready(uint32_t request, const std::vector<cache::served_file_t>& files) override;
    void download_needed(const boost::shared_ptr<srv_side::download_context_t>& download) override;
    /// True only while the server side's machine can send a download (ready
    /// or downloading), and never once a download through this pair's server
    /// stalled, once the server ended its sending, once the end of the
    /// agent's sending has been passed on towards the server, or once the
    /// pair ends for its agent's going.
    bool can_download() const override;
    /// True while the server side still negotiates.
    bool can_download_later() const override;
    void update_failed(uint32_t request, const std::string& reason) override;
    /// The list this pair last relayed to its agent for `key`; null when it
    /// no longer keeps it, false when it relayed none.
    bool relayed(const cache::repo_key_t& key, cache::cache_t::announced_ptr& list) const override;
    /// The server side's negotiation has ended, ready for downloads or never
    /// to take one: the agent's waiting update requests are examined again,
    /// by a handler of the I/O service.
    void download_readiness_settled();

private:
    /// How far one side has come to its end; under `state_mutex_`.
    struct side_end_t {
        /// Its peer ended its sending, and all it sent has been handled.
        bool read_ended = false;
        /// The end of its sending direction was asked for, behind everything queued.
        bool end_asked = false;
        /// Its sending direction was shut after everything queued was written.
        bool send_ended = false;
        /// Its connection is gone.
        bool gone = false;
        /// `io::steady_ms` from which bytes towards it reach nobody: its
        /// connection went, or its system was seen refusing them; 0 before.
        int64_t unreached_ms = 0;
    };
    typedef boost::shared_ptr<io::proto::text_protocol_layer> stack_ptr;

    void connect_signals();
    /// A side's send backlog holds back reading from the other side, which
    /// relays into it (the side's own reading is held back by its layer,
    /// only for the daemon's own answers).
    void connect_backlog_signals();
    /// Ends the pair once both directions are done; starts the half-close
    /// limit when only one of them is.
    void end_when_done();
    /// Looks at what the peers have acknowledged again a little later,
    /// while a peer that still sends is owed bytes and its partner is gone.
    void look_at_delivery_later();
    /// Waits until the pair has delivered nothing for the half-close limit.
    void arm_half_close_timer(boost::posix_time::time_duration delay);
    void on_half_close_limit(const boost::system::error_code& error);
    /// Bytes were handed on towards one side (`toward` is its stamp), or a
    /// reply queued for the agent. Any thread.
    void note_relayed(std::atomic<int64_t>& toward);
    /// One look for the half-close limit: when the pair last delivered, to
    /// a side that can still take it. On the half-close timer's handlers,
    /// and once before the timer starts.
    int64_t last_delivery_ms(int64_t now);
    /// One look at what the peers still reached have taken: true when one
    /// of them took bytes that were owed to it at the look before.
    bool peers_took(bool agent_reached, bool server_reached);
    /// What became of a pair one of whose sides is gone.
    enum class gone_outcome_t {
        /// The side had ended its sending before: nothing more to do.
        already_ended,
        /// What the side sent is still handed on; then the other side ends its sending.
        end_passed_on,
        /// A reset before its peer's end of stream: the caller removes the pair.
        pair_ends,
    };
    /// Marks a side's connection gone and says what follows; after a reset
    /// the `partner` side's connection closes as a cut unless its end was
    /// passed on.
    gone_outcome_t side_gone(side_end_t& side, bool reset, side_end_t& partner_end, const stack_ptr& partner);
    /// Passes each ended side's end of stream on to its partner once the
    /// daemon's own business allows: towards the server once no download
    /// runs there and the agent waits for no update reply, towards the
    /// agent once no update reply is owed to it. Any thread.
    void pass_ends_on();
    /// True while an end of stream read from one side has not yet been
    /// passed on to the other; under `state_mutex_`.
    bool end_due() const;
    /// `pass_ends_on` on a handler of its own, when an end waits at all.
    void pass_ends_on_later();
    /// True while the cache holds an update request of this agent unanswered.
    bool update_reply_owed();
    /// A download this pair's server ran, or had queued, is over.
    void download_left();
    /// The other side ends its sending behind everything relayed to it.
    void end_toward_server();
    void end_toward_agent();
    /// Marks `side`'s sending ended, then ends the pair when that was the last to do.
    boost::function<void()> sending_ended(side_end_t proxy_connection_t::*side);
    void remove_from_listener();
    /// Removes the pair, which ends because its agent went (its reset, or
    /// the half-close limit once its connection is gone), behind the
    /// withdrawal of the download running on its server side.
    void remove_for_agent();
    /// The agent's raw bytes, sent upstream on the upstream strand.
    void on_client_raw(io::request_queue& queue);
    /// Merges the server's announced list into the cache under the agent's
    /// `platform` and remembers it as this pair's list of the key (or forgets
    /// the key's list when the cache refuses it); a refusal is logged, never
    /// raised.
    void store_announced(const std::string& repository, unsigned long long revision, const std::string& platform,
                         const std::vector<cache::file_info_t>& files);
    /// Remembers that the agent was shown a list of `key` the pair no longer
    /// keeps; under `relayed_mutex_`.
    void forget(const cache::repo_key_t& key);
    /// Logs that the cache refused `command` for `repository`: "not <outcome>".
    void log_cache_refusal(const char* command, const std::string& repository, const char* outcome,
                           const std::exception& error) const;
    /// Takes the agent's waiting update requests out of the cache; not
    /// under the cache's mutex.
    void withdraw_requests();
    bool turned_raw_already() const;
    /// Logs why the agent's update request ends unanswered and drops the
    /// agent, which would otherwise wait for a reply that never comes.
    void drop_agent(const char* reason, const d_exception_t_shell_t* shell);
    /// Ends the agent's connection, on its own strand.
    void disconnect_agent();

    boost::asio::io_service& service_;
    boost::weak_ptr<listener_t> listener_;
    boost::shared_ptr<cache::cache_t> cache_;
    boost::shared_ptr<cln_side::layer_t> client_;
    boost::shared_ptr<srv_side::layer_t> server_;
    /// The agent's socket, kept unread until the upstream connect succeeded.
    io::accepted_socket client_socket_;

    // Both sides' strands read and write these; one lock keeps each
    // read-compare-write (minima, offers, announcement) whole.
    mutable boost::mutex state_mutex_;
    int32_t major_min_;
    int32_t minor_min_;
    bool crypt_allowed_ = true;
    bool compression_allowed_ = true;
    std::string platform_;
    snf_update_record_t last_snf_;
    uint32_t update_request_number_ = 0;
    /// The agent sent an update request at some time.
    bool update_asked_ = false;
    /// The pair turned raw.
    bool raw_ = false;
    std::string name_;
    side_end_t agent_end_;
    side_end_t server_end_;
    /// Downloads handed to this pair's server and not yet over.
    unsigned downloads_ = 0;
    bool half_closed_ = false;
    /// `io::steady_ms` when the first direction ended.
    int64_t half_closed_ms_ = 0;
    std::unique_ptr<boost::asio::deadline_timer> half_close_timer_;
    /// Made on the first wait for acknowledged bytes; under `state_mutex_`.
    std::unique_ptr<boost::asio::deadline_timer> delivery_timer_;
    bool delivery_looking_ = false;
    /// `io::steady_ms` of the last bytes relayed (or reply queued) towards
    /// each side; 0 before.
    std::atomic<int64_t> relayed_to_agent_ms_{0};
    std::atomic<int64_t> relayed_to_server_ms_{0};
    // Touched only by the half-close timer's handlers, one after the other:
    // the last look at each peer, and when a look last saw one take bytes.
    io::delivery_t agent_seen_;
    io::delivery_t server_seen_;
    int64_t taken_ms_ = 0;

    /// The agent's number of one remembered GETCONFIG and its place in the age order.
    struct config_request_t {
        int32_t number;
        std::list<uint32_t>::iterator age;
    };

    /// The lists relayed to the agent, oldest first; under `relayed_mutex_`,
    /// which the cache takes with its own mutex held.
    mutable boost::mutex relayed_mutex_;
    std::list<std::pair<cache::repo_key_t, cache::cache_t::announced_ptr>> relayed_;
    /// The keys of lists relayed to the agent and no longer kept (the bounds
    /// let them go, or the cache refused the key's last list), as many as
    /// lists are kept: a request for one is refused, never matched against
    /// the cache's list of the key, which may be another server's.
    std::list<cache::repo_key_t> forgotten_;

    boost::mutex id_mutex_;
    std::map<uint32_t, config_request_t> config_ids_;
    /// The remembered ids, oldest first.
    std::list<uint32_t> config_age_;
};
