// The layer between the transformation layer and the transport: it turns a
// client specification into one connection, trying stream endpoints in turn
// and exploring datagram endpoints by discovery; on the client side it only
// hands an accepted socket to its transport.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include "io/request_queue.h"
#include "io/text_protocol_layer_options.h"
#include "io/transport_layer.h"

namespace io {

namespace discovery {
namespace explorer {
struct record;
}  // namespace explorer
}  // namespace discovery

/// What the discovery layer tells the layer above it (the transformation layer).
class discovery_layer_events : public transport_layer_events {};

class discovery_layer : public transport_layer_events, public boost::enable_shared_from_this<discovery_layer> {
public:
    static boost::shared_ptr<discovery_layer> create(boost::asio::io_service& service,
                                                     const proto::text_protocol_layer_options& options);
    discovery_layer(const discovery_layer&) = delete;
    discovery_layer& operator=(const discovery_layer&) = delete;
    ~discovery_layer() override;

    /// Stores the sink to which events go up; replaces an earlier one.
    void set_events(const boost::weak_ptr<discovery_layer_events>& events);

    /// Connects to a client specification text; the outcome comes as one `on_connect`.
    void connect(const std::string& client_spec);
    /// Starts reading an accepted socket; no `on_connect` follows.
    void attach(const accepted_socket& socket);

    // Straight to the transport.
    void send(request_queue& queue, const boost::function<void()>& on_sent);
    void disconnect();
    /// See transport_layer::disconnect_cut.
    void disconnect_cut();
    /// See transport_layer::mark_cut.
    void mark_cut();
    void shutdown_send();
    std::string name() const;
    void set_idle_timeout(const boost::posix_time::time_duration& timeout);
    transport_layer::strand_ptr get_strand() const;
    transport_layer::strand_ptr strand() const { return get_strand(); }
    void pause_reading(unsigned reason);
    void resume_reading(unsigned reason);
    bool reading_paused(unsigned ignored = 0) const;
    bool handing_on_paused(unsigned ignored = 0) const;
    bool sending_refused() const;
    int64_t reading_released_ms() const;
    delivery_t delivery() const;
    bool peer_reset() const;
    void read_through_body(bool on);

    // Events from the transport.
    void on_connect(const boost::system::error_code& error) override;
    void on_disconnect() override;
    void on_data_arrived(request_queue& data) override;
    void on_read_end() override;

private:
    discovery_layer(boost::asio::io_service& service, const proto::text_protocol_layer_options& options);
    struct state_t;        // candidates, cursor, explorers, waiting flag
    struct item_visitor;   // sorts parsed endpoints into candidates and explorers

    /// Appends a candidate and logs it; the caller holds the mutex.
    void add_stream_endpoint(const stream_endpoint& endpoint);
    /// Opens a socket for `target`, registers it and starts exploring; the caller holds the mutex.
    template <class Socket, class Endpoint>
    void start_explorer(const Endpoint& target);
    /// An answer of the explorer keyed by its socket's address.
    void server_found(const void* key, const discovery::explorer::record& found);
    /// The end of the explorer keyed by its socket's address.
    void explorer_finished(const void* key);
    /// Connects the candidate at the cursor; on a refusal to start, resets and
    /// returns the error to report. The caller holds the mutex.
    boost::system::error_code connect_cursor_locked();
    /// Sends `on_connect` up, unless the sink is gone.
    void report_connect(const boost::system::error_code& error);
    boost::weak_ptr<discovery_layer_events> events() const;

    boost::asio::io_service& service_;
    proto::text_protocol_layer_options::explorer_settings explorer_;
    bool stop_on_first_;
    std::string discovery_text_;
    boost::shared_ptr<transport_layer> transport_;
    boost::weak_ptr<discovery_layer_events> events_;
    boost::shared_ptr<state_t> state_;
};

}  // namespace io
