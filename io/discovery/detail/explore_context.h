// One running exploration of one datagram endpoint: a timer that paces the
// requests and ends the exploration, and one receive at a time for answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include "io/discovery/explorer.h"
#include "oslayer/syncers.h"

namespace io {
namespace discovery {
namespace detail {

/// Explores one target from one socket. Lives while its timer wait is
/// pending; a pending receive holds it only weakly.
template <class Socket>
class explore_context : public boost::enable_shared_from_this<explore_context<Socket>> {
public:
    typedef typename Socket::protocol_type protocol_type;
    typedef typename protocol_type::endpoint endpoint_type;

    /// Where one answer is received; longer datagrams are cut to the buffer.
    struct incoming_data {
        endpoint_type source;
        char buffer[256];
    };

    /// Sets the socket up and sends the first request; see io::discovery::explore.
    static void start(boost::asio::io_service& service, const explorer::settings& settings,
                      const boost::shared_ptr<Socket>& socket, const endpoint_type& target,
                      const explorer::record_callback& on_record, const explorer::finish_callback& on_finish);

    explore_context(const explore_context&) = delete;
    explore_context& operator=(const explore_context&) = delete;
    ~explore_context();

    /// Sends one request and counts the attempt; a send error is thrown.
    void send_request();
    /// Arms the timer for one attempt period; the wait keeps the context alive.
    void start_timer();
    /// Next attempt, or the end of the exploration.
    void timeout_occurs(const boost::system::error_code& ec);
    /// One answer (or the end of listening).
    void answer_arrived(const boost::shared_ptr<incoming_data>& data, const boost::system::error_code& ec,
                        std::size_t count);

private:
    explore_context(boost::asio::io_service& service, const explorer::settings& settings,
                    const boost::shared_ptr<Socket>& socket, const endpoint_type& target,
                    const explorer::record_callback& on_record, const explorer::finish_callback& on_finish);

    /// Gives the socket an address of its own where the family needs one to be answered.
    void bind_own_address();
    /// False, logged, for an answer that must not be followed.
    bool is_followed(const endpoint_type& source);
    void start_receive();
    void deliver(const explorer::record& found);
    void finish(const boost::system::error_code& result);

    int64_t wait_us_;
    atomic32_t attempts_left_;
    bool stop_on_first_;
    std::string request_;
    boost::mutex mutex_;
    boost::shared_ptr<Socket> socket_;
    endpoint_type target_;
    /// Where requests go, and where the answers of a single target must come from.
    endpoint_type asked_;
    /// Any server may answer a group target.
    bool group_target_;
    explorer::record_callback on_record_;
    explorer::finish_callback on_finish_;
    boost::asio::deadline_timer timer_;
    boost::posix_time::ptime start_time_;
    bool found_ = false;

    std::string target_text_;
    boost::shared_ptr<incoming_data> incoming_;
    /// Record callbacks under way; the finish callback waits for them.
    unsigned delivering_ = 0;
    /// The socket is closed: answers still queued are dropped.
    bool finished_ = false;
    /// The end came while records were being delivered; the last one finishes.
    bool finish_pending_ = false;
    boost::system::error_code result_;
};

}  // namespace detail
}  // namespace discovery
}  // namespace io
