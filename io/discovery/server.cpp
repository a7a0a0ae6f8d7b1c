// One discovery answerer per listen entry. Exactly one receive is
// outstanding, so requests of one server are handled one after the other and
// each answer is sent synchronously from the completion.
#include "io/discovery/server.h"

#include <sys/socket.h>

#include <cstring>
#include <exception>
#include <locale>
#include <sstream>

#include <boost/asio/ip/multicast.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/optional.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/mutex.hpp>

#include "io/detail/binders.h"
#include "io/discovery/detail/socket_file.h"
#include "oslayer/loggers.h"
#include "oslayer/syncers.h"
#include "oslayer/utilities.h"

namespace io {
namespace discovery {

namespace {

typedef boost::asio::ip::udp::endpoint udp_endpoint;
typedef io::detail::ipx::ipx::endpoint ipx_endpoint;
typedef boost::asio::local::datagram_protocol::endpoint udx_endpoint;

std::string endpoint_text(const udp_endpoint& at) { return udp_endpoint_to_string(at); }
std::string endpoint_text(const ipx_endpoint& at) { return io::detail::ipx::ipx_endpoint_to_string(at); }
std::string endpoint_text(const udx_endpoint& at) { return udx_endpoint_to_string(at); }

/// `text` made safe to splice into a printf format (display names may hold a
/// "%" before an IPv6 scope).
std::string percent_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

/// Logs a caught error at ERROR as "[Discovery/Server] <name>: <what> because of <reason>".
void log_failure(const std::string& name, const char* what, std::exception_ptr error) {
    std::string fmt = "[Discovery/Server] " + percent_escaped(name) + ": " + what + " because of %s";
    try {
        std::rethrow_exception(error);
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(LOG_LEVEL_ERROR, fmt.c_str(), e.what(), &e);
    } catch (const std::exception& e) {
        pretty_print_exception(LOG_LEVEL_ERROR, fmt.c_str(), e.what(), nullptr);
    } catch (...) {
        pretty_print_exception(LOG_LEVEL_ERROR, fmt.c_str(), "general error", nullptr);
    }
}

/// One family's answerer; the family-specific part is the socket set-up.
template <class Endpoint>
class server_impl : public server, public boost::enable_shared_from_this<server_impl<Endpoint>> {
public:
    typedef typename Endpoint::protocol_type protocol_type;
    typedef typename protocol_type::socket socket_type;

    server_impl(boost::asio::io_service& service, const request_callback& callback)
        : socket_(service), callback_(callback) {}

    ~server_impl() override;

    void setup(const io::discovery_descriptor<udp_endpoint>& at);
    void setup(const ipx_endpoint& at);
    void setup(const udx_endpoint& at);

    /// Arms the first receive; the object must already be owned by a shared pointer.
    void start();

    uint64_t bytes_received() override { return received_.read(); }
    uint64_t bytes_sent() override { return sent_.read(); }
    void close() override;

private:
    /// The receive buffer and the sender's address, reused for every request.
    struct incoming_data {
        char buffer[max_datagram];
        Endpoint sender;
    };

    void start_receive();
    bool is_closed() {
        boost::mutex::scoped_lock guard(mutex_);
        return closed_;
    }
    void on_receive(const boost::system::error_code& ec, std::size_t count);
    bool decide(std::size_t count, std::vector<char>& answer);
    void answer(const std::vector<char>& bytes);

    /// Guards the socket, the socket file and the flag: `close` comes from
    /// the main thread while a completion answers and re-arms the receive.
    boost::mutex mutex_;
    bool closed_ = false;
    socket_type socket_;
    boost::optional<udp_endpoint> multicast_;
    atomic64_t received_;
    atomic64_t sent_;
    request_callback callback_;
    std::string name_;
    boost::shared_ptr<incoming_data> incoming_;
    detail::socket_file_owner file_;
};

template <class Endpoint>
void server_impl<Endpoint>::setup(const io::discovery_descriptor<udp_endpoint>& at) {
    TRACE_POINT;
    socket_.open(at.endpoint.protocol());
    socket_.set_option(boost::asio::socket_base::reuse_address(true));
    socket_.bind(at.endpoint);
    name_ = endpoint_text(socket_.local_endpoint());
    if (!at.multicast) return;
    LOG_AT(LOG_LEVEL_TRACE, "[Discovery/Server] %s: Join to multicast group %s", name_.c_str(),
           at.multicast->address().to_string().c_str());
    socket_.set_option(boost::asio::ip::multicast::join_group(at.multicast->address()));
    multicast_ = at.multicast;
}

template <class Endpoint>
void server_impl<Endpoint>::setup(const ipx_endpoint& at) {
    TRACE_POINT;
    socket_.open(at.protocol());
    name_ = endpoint_text(at);
    socket_.bind(at);
}

template <class Endpoint>
void server_impl<Endpoint>::setup(const udx_endpoint& at) {
    TRACE_POINT;
    socket_.open(at.protocol());
    name_ = endpoint_text(at);
    detail::bind_local(socket_, at, SOCK_DGRAM);
    file_.claim(at.path());
}

template <class Endpoint>
server_impl<Endpoint>::~server_impl() {
    if (multicast_ && !closed_) {
        LOG_AT(LOG_LEVEL_TRACE, "[Discovery/Server] %s: Leave multicast group", name_.c_str());
        try {
            socket_.set_option(boost::asio::ip::multicast::leave_group(multicast_->address()));
        } catch (...) {
            log_failure(name_, "Cannot leave multicast group", std::current_exception());
        }
    }
    // A server that failed in its set-up never existed for its owner.
    if (incoming_) LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Server] %s: dead", name_.c_str());
    boost::system::error_code ignored;
    socket_.close(ignored);
}

template <class Endpoint>
void server_impl<Endpoint>::close() {
    boost::mutex::scoped_lock guard(mutex_);
    if (closed_) return;
    // Closing the socket leaves its multicast group as well.
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    file_.release();
}

template <class Endpoint>
void server_impl<Endpoint>::start() {
    TRACE_POINT;
    incoming_ = boost::make_shared<incoming_data>();
    start_receive();
    LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Server] %s: Starts listen", name_.c_str());
}

template <class Endpoint>
void server_impl<Endpoint>::start_receive() {
    auto call = io::detail::make_weak_binder(&server_impl::on_receive, this->shared_from_this());
    // The completion keeps the buffer alive by itself: it may run after the
    // server, and with it the last other reference, is gone.
    boost::shared_ptr<incoming_data> data = incoming_;
    boost::mutex::scoped_lock guard(mutex_);
    if (closed_) return;
    socket_.async_receive_from(boost::asio::buffer(data->buffer, sizeof data->buffer), data->sender,
                               [call, data](const boost::system::error_code& ec, std::size_t count) {
                                   call(ec, count);
                               });
}

template <class Endpoint>
void server_impl<Endpoint>::on_receive(const boost::system::error_code& ec, std::size_t count) {
    TRACE_POINT;
    if (ec) {
        if (is_closed()) return;
        LOG_AT(LOG_LEVEL_ERROR, "[Discovery/Server] %s: Server read operation failed because of %s", name_.c_str(),
               ec.message().c_str());
        LOG_AT(LOG_LEVEL_ERROR, "[Discovery/Server] %s: Abort future read operations", name_.c_str());
        return;
    }
    received_.add(count);
    std::vector<char> bytes;
    std::string sender = endpoint_text(incoming_->sender);
    if (decide(count, bytes)) {
        LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Server] %s: Request from %s, answering it", name_.c_str(),
               sender.c_str());
        answer(bytes);
    } else {
        LOG_AT(LOG_LEVEL_DEBUG, "[Discovery/Server] %s: Request from %s, skip it", name_.c_str(), sender.c_str());
    }
    start_receive();
}

template <class Endpoint>
bool server_impl<Endpoint>::decide(std::size_t count, std::vector<char>& answer) {
    if (!callback_) return false;
    try {
        return callback_(boost::iterator_range<const char*>(incoming_->buffer, incoming_->buffer + count), answer);
    } catch (...) {
        log_failure(name_, "Callback failed", std::current_exception());
        return false;
    }
}

template <class Endpoint>
void server_impl<Endpoint>::answer(const std::vector<char>& bytes) {
    boost::system::error_code ec;
    {
        boost::mutex::scoped_lock guard(mutex_);
        if (closed_) return;
        socket_.send_to(boost::asio::buffer(bytes), incoming_->sender, 0, ec);
    }
    // One asker that cannot be answered (gone, or sending from an unbound
    // local socket) must not end discovery for everybody else.
    if (ec) {
        LOG_AT(LOG_LEVEL_ERROR, "[Discovery/Server] %s: Cannot answer %s because of %s", name_.c_str(),
               endpoint_text(incoming_->sender).c_str(), ec.message().c_str());
        return;
    }
    sent_.add(bytes.size());
}

template <class Endpoint, class At>
boost::shared_ptr<server> build(boost::asio::io_service& service, const At& at, const request_callback& callback) {
    boost::shared_ptr<server_impl<Endpoint>> made = boost::make_shared<server_impl<Endpoint>>(service, callback);
    made->setup(at);
    made->start();
    return made;
}

/// Picks the implementation for the kind of listen point.
class builder : public boost::static_visitor<boost::shared_ptr<server>> {
public:
    builder(boost::asio::io_service& service, const request_callback& callback)
        : service_(service), callback_(callback) {}
    boost::shared_ptr<server> operator()(const io::discovery_descriptor<udp_endpoint>& at) const {
        return build<udp_endpoint>(service_, at, callback_);
    }
    boost::shared_ptr<server> operator()(const ipx_endpoint& at) const {
        return build<ipx_endpoint>(service_, at, callback_);
    }
    boost::shared_ptr<server> operator()(const udx_endpoint& at) const {
        return build<udx_endpoint>(service_, at, callback_);
    }

private:
    boost::asio::io_service& service_;
    const request_callback& callback_;
};

}  // namespace

boost::shared_ptr<server> server::create(boost::asio::io_service& service, const listen_point& at,
                                         const std::string& name) {
    TRACE_POINT;
    std::string utf8_name;
    local_to_utf8(utf8_name, name);
    return create(service, at, make_name_matcher(utf8_name));
}

boost::shared_ptr<server> server::create(boost::asio::io_service& service, const listen_point& at,
                                         const request_callback& callback) {
    TRACE_POINT;
    return boost::apply_visitor(builder(service, callback), at);
}

request_callback make_name_matcher(const std::string& utf8_name) {
    return [utf8_name](const boost::iterator_range<const char*>& request, std::vector<char>& answer) {
        if (!request.empty()) {
            if (static_cast<std::size_t>(request.size()) != utf8_name.size()) return false;
            const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
            for (std::size_t i = 0; i < utf8_name.size(); ++i)
                if (ctype.toupper(request.begin()[i]) != ctype.toupper(utf8_name[i])) return false;
        }
        answer.assign(utf8_name.begin(), utf8_name.end());
        return true;
    };
}

std::string udx_endpoint_to_string(const udx_endpoint& endpoint) {
    // Also the sender of a request, who names its own socket.
    return "udx/" + escape_log_text(endpoint.path());
}

std::string udp_endpoint_to_string(const udp_endpoint& endpoint) {
    std::ostringstream text;
    text << "udp/" << endpoint;
    return text.str();
}

}  // namespace discovery
}  // namespace io
