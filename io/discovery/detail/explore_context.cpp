// The explorer's pacing and answer handling. The context's mutex is never
// held while a callback of the layer runs, and the finish callback is held
// back until every record callback of the same exploration has returned, so
// an owner never hears "finished" before the answer that ended it.
#include "io/discovery/detail/explore_context.h"

#include <exception>

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include "io/detail/binders.h"
#include "io/discovery/detail/answer_source.h"
#include "io/discovery/local_address.h"
#include "io/discovery/server.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {
namespace discovery {
namespace detail {

namespace {

typedef boost::asio::ip::udp::socket udp_socket;
typedef io::detail::ipx::ipx::socket ipx_socket;
typedef boost::asio::local::datagram_protocol::endpoint udx_endpoint;

std::string endpoint_text(const boost::asio::ip::udp::endpoint& at) { return udp_endpoint_to_string(at); }
std::string endpoint_text(const io::detail::ipx::ipx::endpoint& at) {
    return io::detail::ipx::ipx_endpoint_to_string(at);
}
std::string endpoint_text(const udx_endpoint& at) { return udx_endpoint_to_string(at); }

/// A server answers from the datagram twin of its stream endpoint.
client_endpoint stream_twin(const boost::asio::ip::udp::endpoint& source) {
    return boost::asio::ip::tcp::endpoint(source.address(), source.port());
}
client_endpoint stream_twin(const io::detail::ipx::ipx::endpoint& source) {
    io::detail::ipx::spx::endpoint twin;
    twin.network(source.network());
    twin.node(source.node());
    twin.port(source.port());
    return twin;
}
client_endpoint stream_twin(const udx_endpoint& source) {
    return boost::asio::local::stream_protocol::endpoint(local_stream_path_of(source));
}

/// A local target is asked at the discovery address of its stream path.
const boost::asio::ip::udp::endpoint& asked_address(const boost::asio::ip::udp::endpoint& target) { return target; }
const io::detail::ipx::ipx::endpoint& asked_address(const io::detail::ipx::ipx::endpoint& target) { return target; }
udx_endpoint asked_address(const udx_endpoint& target) { return local_discovery_address(target.path()); }

/// Fresh random names that happen to be taken are drawn again this often.
const int own_address_draws = 8;

}  // namespace

template <class Socket>
explore_context<Socket>::explore_context(boost::asio::io_service& service, const explorer::settings& settings,
                                         const boost::shared_ptr<Socket>& socket, const endpoint_type& target,
                                         const explorer::record_callback& on_record,
                                         const explorer::finish_callback& on_finish)
    : wait_us_(settings.wait_us),
      attempts_left_(settings.attempts),
      stop_on_first_(settings.stop_on_first),
      request_(settings.request),
      socket_(socket),
      target_(target),
      asked_(asked_address(target)),
      group_target_(is_group_target(target)),
      on_record_(on_record),
      on_finish_(on_finish),
      timer_(service),
      target_text_(endpoint_text(target)) {}

template <class Socket>
explore_context<Socket>::~explore_context() {
    boost::system::error_code ignored;
    timer_.cancel(ignored);
}

template <class Socket>
void explore_context<Socket>::start(boost::asio::io_service& service, const explorer::settings& settings,
                                    const boost::shared_ptr<Socket>& socket, const endpoint_type& target,
                                    const explorer::record_callback& on_record,
                                    const explorer::finish_callback& on_finish) {
    TRACE_POINT;
    boost::shared_ptr<explore_context> context(
        new explore_context(service, settings, socket, target, on_record, on_finish));
    socket->set_option(boost::asio::socket_base::broadcast(true));
    if (settings.attempts == 0) D_THROW(BUG_exception, "retries count in settings cannot be zero");
    context->bind_own_address();
    context->start_time_ = boost::posix_time::microsec_clock::local_time();
    boost::mutex::scoped_lock guard(context->mutex_);
    context->send_request();
    context->start_timer();
    context->incoming_.reset(new incoming_data);
    context->start_receive();
}

template <class Socket>
void explore_context<Socket>::bind_own_address() {}

template <>
void explore_context<boost::asio::local::datagram_protocol::socket>::bind_own_address() {
    // An abstract name leaves no file behind and none that another user can
    // put in its way.
    boost::system::error_code ec;
    for (int draw = 0; draw < own_address_draws; ++draw) {
        socket_->bind(random_asker_address(), ec);
        if (ec != boost::system::errc::address_in_use) break;
    }
    if (ec) throw boost::system::system_error(ec, "bind");
}

template <class Socket>
void explore_context<Socket>::send_request() {
    TRACE_POINT;
    uint32_t left = attempts_left_.read();
    while (left != 0) {
        uint32_t seen = attempts_left_.cas(left, left - 1);
        if (seen == left) {
            --left;
            break;
        }
        left = seen;
    }
    LOG_AT(LOG_LEVEL_TRACE, "[Discovery/Explorer] Send request to %s, %u attemps left", target_text_.c_str(),
           static_cast<unsigned>(left));
    socket_->send_to(boost::asio::buffer(request_.data(), request_.size()), asked_);
}

template <class Socket>
void explore_context<Socket>::start_timer() {
    timer_.expires_from_now(boost::posix_time::microseconds(wait_us_));
    timer_.async_wait(
        boost::bind(&explore_context::timeout_occurs, this->shared_from_this(), boost::asio::placeholders::error));
}

template <class Socket>
void explore_context<Socket>::start_receive() {
    auto call = io::detail::make_weak_binder(&explore_context::answer_arrived, this->shared_from_this());
    boost::shared_ptr<incoming_data> data = incoming_;
    socket_->async_receive_from(boost::asio::buffer(data->buffer, sizeof data->buffer), data->source,
                                [call, data](const boost::system::error_code& ec, std::size_t count) {
                                    call(data, ec, count);
                                });
}

template <class Socket>
void explore_context<Socket>::timeout_occurs(const boost::system::error_code& ec) {
    TRACE_POINT;
    boost::system::error_code result;
    {
        boost::mutex::scoped_lock guard(mutex_);
        // A wait that expired just as an answer cancelled it must not send again.
        if (!ec && !found_ && attempts_left_.read() != 0) {
            start_timer();
            send_request();
            return;
        }
        finished_ = true;
        // Closing cannot be allowed to fail the exploration: the owner would
        // never hear its end. The descriptor is released either way.
        boost::system::error_code ignored;
        if (socket_->is_open()) socket_->close(ignored);
        result = found_ ? boost::system::error_code() : ec;
        if (delivering_ != 0) {
            finish_pending_ = true;
            result_ = result;
            return;
        }
    }
    finish(result);
}

template <class Socket>
void explore_context<Socket>::answer_arrived(const boost::shared_ptr<incoming_data>& data,
                                             const boost::system::error_code& ec, std::size_t count) {
    TRACE_POINT;
    explorer::record found;
    {
        boost::mutex::scoped_lock guard(mutex_);
        if (ec) {
            LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Explorer] Stopped listening because of %s", ec.message().c_str());
            return;
        }
        // Received just before the socket was closed: the owner already heard the end.
        if (finished_) return;
        LOG_AT(LOG_LEVEL_TRACE, "[Discovery/Explorer] Recieved answer from %s", endpoint_text(data->source).c_str());
        if (!is_followed(data->source)) {
            start_receive();
            return;
        }
        found.endpoint = stream_twin(data->source);
        found.elapsed = boost::posix_time::microsec_clock::local_time() - start_time_;
        found.answer.assign(data->buffer, count);
        if (stop_on_first_) {
            LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Explorer] Stopped listening because server has found");
            found_ = true;
            boost::system::error_code ignored;
            timer_.cancel(ignored);
        } else {
            start_receive();
        }
        ++delivering_;
    }
    deliver(found);
}

template <class Socket>
bool explore_context<Socket>::is_followed(const endpoint_type& source) {
    if (!can_be_server(source)) {
        LOG_AT(LOG_LEVEL_WARNING, "[Discovery/Explorer] Ignored answer from %s: no server answers from there",
               endpoint_text(source).c_str());
        return false;
    }
    if (!group_target_ && !is_asked_source(asked_, source)) {
        LOG_AT(LOG_LEVEL_WARNING, "[Discovery/Explorer] Ignored answer from %s: only %s was asked",
               endpoint_text(source).c_str(), target_text_.c_str());
        return false;
    }
    return true;
}

template <class Socket>
void explore_context<Socket>::deliver(const explorer::record& found) {
    std::exception_ptr failure;
    try {
        if (on_record_) on_record_(found);
    } catch (...) {
        failure = std::current_exception();
    }
    bool finish_now = false;
    boost::system::error_code result;
    {
        boost::mutex::scoped_lock guard(mutex_);
        --delivering_;
        if (delivering_ == 0 && finish_pending_) {
            finish_pending_ = false;
            finish_now = true;
            result = result_;
        }
    }
    if (finish_now) finish(result);
    if (failure) std::rethrow_exception(failure);
}

template <class Socket>
void explore_context<Socket>::finish(const boost::system::error_code& result) {
    if (on_finish_) on_finish_(result);
}

template class explore_context<udp_socket>;
template class explore_context<ipx_socket>;
template class explore_context<boost::asio::local::datagram_protocol::socket>;

}  // namespace detail
}  // namespace discovery
}  // namespace io
