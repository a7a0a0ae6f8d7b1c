// One accept is outstanding at a time and is re-armed first thing in its
// completion, so the next connection can be accepted on another pool thread
// while the callback for this one still runs.
#include "io/server.h"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <sstream>
#include <thread>

#include <boost/asio/deadline_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/mutex.hpp>

#include "io/detail/binders.h"
#include "io/discovery/detail/socket_file.h"
#include "io/discovery/local_address.h"
#include "io/discovery/server.h"
#include "oslayer/loggers.h"
#include "oslayer/syncers.h"
#include "oslayer/utilities.h"

namespace io {

namespace {

typedef boost::asio::ip::tcp::endpoint tcp_endpoint;
typedef io::detail::ipx::spx::endpoint spx_endpoint;
typedef boost::asio::local::stream_protocol::endpoint unx_endpoint;

/// Pause before accepting again after an accept failed for a passing reason.
const boost::posix_time::time_duration accept_retry_delay = boost::posix_time::milliseconds(100);

std::string endpoint_text(const tcp_endpoint& at) {
    std::ostringstream text;
    text << at;
    return text.str();
}
std::string endpoint_text(const spx_endpoint& at) { return io::detail::ipx::spx_endpoint_to_string(at); }
// A local peer names its own socket: its path may hold any byte.
std::string endpoint_text(const unx_endpoint& at) { return "unx/" + escape_log_text(at.path()); }

discovery::listen_point discovery_point(const io::discovery_descriptor<boost::asio::ip::udp::endpoint>& d) {
    return d;
}
discovery::listen_point discovery_point(const io::discovery_descriptor<io::detail::ipx::ipx::endpoint>& d) {
    return d.endpoint;
}
/// The stream socket holds the path's file; discovery is answered at the
/// address that names the path (the descriptor's own, as `check` made sure).
discovery::listen_point discovery_point(
    const io::discovery_descriptor<boost::asio::local::datagram_protocol::endpoint>& d) {
    return discovery::local_discovery_address(d.endpoint.path());
}

/// Refuses what `server::check` refuses.
struct entry_check : boost::static_visitor<void> {
    void operator()(const io::unix_server_descriptor& d) const {
        if (!d.discovery) return;
        const std::string& stream = d.endpoint.path();
        const std::string& dgram = d.discovery->endpoint.path();
        if (dgram != stream)
            D_THROW(io_error_exception,
                    "discovery socket path \"%s\" is not the stream socket path \"%s\": local discovery is "
                    "answered only for the stream socket's own path, as discovery() or discovery(%s)",
                    dgram.c_str(), stream.c_str(), stream.c_str());
        if (stream.size() > discovery::max_local_discovery_path)
            D_THROW(io_error_exception,
                    "stream socket path \"%s\" is too long for local discovery (at most %u bytes)", stream.c_str(),
                    static_cast<unsigned>(discovery::max_local_discovery_path));
    }
    template <class Other>
    void operator()(const Other&) const {}
};

/// Accept errors after which the listening socket itself is unusable; any
/// other (descriptors or memory running out, a network error of a queued
/// peer, which Linux reports through accept) passes, and accepting is tried again.
bool is_fatal_accept_error(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return true;
    if (ec.category() != boost::system::system_category()) return false;
    switch (ec.value()) {
        case EBADF:
        case EINVAL:
        case ENOTSOCK:
        case EFAULT:
            return true;
        default:
            return false;
    }
}

bool info_enabled() {
    xlocker_t guard(if_logger_t::LogMutex);
    return if_logger_t::Log && if_logger_t::Log->is_enabled(LOG_LEVEL_INFO);
}

}  // namespace

template <class StreamEndpoint, class DgramEndpoint>
class server::impl : public server, public boost::enable_shared_from_this<impl<StreamEndpoint, DgramEndpoint>> {
public:
    typedef io::server_descriptor<StreamEndpoint, DgramEndpoint> descriptor_type;
    typedef typename StreamEndpoint::protocol_type protocol_type;
    typedef typename protocol_type::socket socket_type;
    typedef typename protocol_type::acceptor acceptor_type;

    impl(boost::asio::io_service& service, const descriptor_type& descriptor, bool reuse_address);
    ~impl() override;

    void start(const callback_type& callback) override;
    void stop() override;
    uint64_t accepted_connections() override { return accepted_.read(); }
    uint64_t discovery_bytes_sent() override { return discovery_ ? discovery_->bytes_sent() : 0; }
    uint64_t discovery_bytes_received() override { return discovery_ ? discovery_->bytes_received() : 0; }

private:
    void bind(const tcp_endpoint& at) { acceptor_.bind(at); }
    void bind(const spx_endpoint& at) { acceptor_.bind(at); }
    void bind(const unx_endpoint& at);

    void start_accept();
    bool stopped();
    void accept_handler(const boost::shared_ptr<socket_type>& socket, const boost::system::error_code& ec);
    void accept_failed(const boost::system::error_code& ec);
    /// Counts an accepted connection and logs it; false for a peer already gone.
    bool announce(socket_type& socket);
    void retry_handler(const boost::system::error_code& ec);

    /// Holds `stop` back over one connection's admission: the stopped check,
    /// then its count and log line; released before the callback is called.
    /// Nothing is admitted once stopped.
    class admission_guard {
    public:
        explicit admission_guard(impl& server);
        ~admission_guard();
        bool admitted() const { return admitted_; }

    private:
        impl& server_;
        bool admitted_;
    };

    boost::asio::io_service& service_;
    descriptor_type descriptor_;
    boost::shared_ptr<discovery::server> discovery_;
    /// Guards the acceptor, the retry timer, the socket file and the flag:
    /// `stop` closes them from the main thread while completions re-arm them.
    boost::mutex mutex_;
    bool stopped_;
    /// Connections past the stopped check not yet counted and logged;
    /// raised under the lock, lowered without it.
    std::atomic<unsigned> admitting_{0};
    acceptor_type acceptor_;
    boost::asio::deadline_timer retry_timer_;
    discovery::detail::socket_file_owner file_;
    std::string name_;
    atomic64_t accepted_;
    callback_type callback_;
};

template <class S, class D>
server::impl<S, D>::impl(boost::asio::io_service& service, const descriptor_type& descriptor, bool reuse_address)
    : service_(service), descriptor_(descriptor), stopped_(false), acceptor_(service), retry_timer_(service) {
    TRACE_POINT;
    entry_check()(descriptor_);
    acceptor_.open(descriptor_.endpoint.protocol());
    if (reuse_address) acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
    bind(descriptor_.endpoint);
    acceptor_.listen(128);
    // The bound address, so that a port chosen by the system shows in logs.
    name_ = endpoint_text(acceptor_.local_endpoint());
    if (descriptor_.discovery)
        discovery_ = discovery::server::create(service, discovery_point(*descriptor_.discovery), descriptor_.name);
}

template <class S, class D>
server::impl<S, D>::~impl() {
    LOG_AT(LOG_LEVEL_DEBUG3, "[Server] %s: dead", name_.c_str());
    callback_.clear();
    discovery_.reset();
    retry_timer_.cancel();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    file_.release();
}

template <class S, class D>
void server::impl<S, D>::bind(const unx_endpoint& at) {
    discovery::detail::bind_local(acceptor_, at, SOCK_STREAM);
    file_.claim(at.path());
}

template <class S, class D>
void server::impl<S, D>::start(const callback_type& callback) {
    TRACE_POINT;
    if (callback.empty()) D_THROW(BUG_exception, "callback type for server cannot be empty");
    callback_ = callback;
    start_accept();
    LOG_AT(LOG_LEVEL_INFO, "[Server] %s: Started listen", name_.c_str());
}

template <class S, class D>
void server::impl<S, D>::stop() {
    TRACE_POINT;
    bool first = false;
    {
        boost::mutex::scoped_lock guard(mutex_);
        first = !stopped_;
        if (first) {
            stopped_ = true;
            boost::system::error_code ignored;
            retry_timer_.cancel(ignored);
            acceptor_.close(ignored);
            file_.release();
        }
    }
    // A connection that passed the check before the flag was set has been
    // counted and logged before any `stop` returns; its callback may still
    // be called after the return. Only that short stretch is waited for,
    // never a callback, so that a callback may stop its own server or wait
    // for a thread that stops it: the count of admissions is released
    // before the call, and no promise about the call itself can be kept.
    // Polled, not signalled: the stretch is a few instructions and a log line.
    while (admitting_.load(std::memory_order_acquire) > 0) std::this_thread::yield();
    if (!first) return;
    // Set once in the constructor, so it is read here without the lock.
    if (discovery_) discovery_->close();
    LOG_AT(LOG_LEVEL_INFO, "[Server] %s: Stopped listen", name_.c_str());
}

template <class S, class D>
bool server::impl<S, D>::stopped() {
    boost::mutex::scoped_lock guard(mutex_);
    return stopped_;
}

template <class S, class D>
void server::impl<S, D>::start_accept() {
    boost::shared_ptr<socket_type> socket = boost::make_shared<socket_type>(service_);
    auto call = io::detail::make_weak_binder(&impl::accept_handler, this->shared_from_this());
    boost::mutex::scoped_lock guard(mutex_);
    if (stopped_) return;
    acceptor_.async_accept(*socket, [call, socket](const boost::system::error_code& ec) { call(socket, ec); });
}

template <class S, class D>
void server::impl<S, D>::accept_handler(const boost::shared_ptr<socket_type>& socket,
                                        const boost::system::error_code& ec) {
    TRACE_POINT;
    if (ec) return accept_failed(ec);
    start_accept();
    {
        admission_guard admission(*this);
        // Accepted just before the close: it goes the way of the connections
        // that the stopping owner drops.
        if (!admission.admitted() || !announce(*socket)) return;
    }
    callback_(accepted_socket(socket));
}

template <class S, class D>
void server::impl<S, D>::accept_failed(const boost::system::error_code& ec) {
    // The accept that `stop` aborted: nothing failed.
    if (stopped()) return;
    LOG_AT(LOG_LEVEL_ERROR, "[Server] %s: Accept operation failed because of %s", name_.c_str(),
           ec.message().c_str());
    if (is_fatal_accept_error(ec)) {
        LOG_AT(LOG_LEVEL_ERROR, "[Server] Abort future accept operations");
        return;
    }
    boost::mutex::scoped_lock guard(mutex_);
    if (stopped_) return;
    retry_timer_.expires_from_now(accept_retry_delay);
    retry_timer_.async_wait(io::detail::make_weak_binder(&impl::retry_handler, this->shared_from_this()));
}

template <class S, class D>
bool server::impl<S, D>::announce(socket_type& socket) {
    accepted_.add(1);
    if (!info_enabled()) return true;
    boost::system::error_code gone;
    typename socket_type::endpoint_type peer = socket.remote_endpoint(gone);
    if (gone) {
        // An agent that reset right after connecting: an ordinary end, not a
        // failure. The socket closes as the completion returns.
        LOG_AT(LOG_LEVEL_DEBUG, "[Server] %s: Connection dropped, the peer has already gone: %s", name_.c_str(),
               gone.message().c_str());
        return false;
    }
    LOG_AT(LOG_LEVEL_INFO, "[Server] %s: New connection <%s> accepted", name_.c_str(), endpoint_text(peer).c_str());
    return true;
}

template <class S, class D>
server::impl<S, D>::admission_guard::admission_guard(impl& server) : server_(server) {
    // Under the lock, so that `stop` either sees this count or refuses it.
    boost::mutex::scoped_lock guard(server_.mutex_);
    admitted_ = !server_.stopped_;
    if (admitted_) server_.admitting_.fetch_add(1, std::memory_order_relaxed);
}

template <class S, class D>
server::impl<S, D>::admission_guard::~admission_guard() {
    if (admitted_) server_.admitting_.fetch_sub(1, std::memory_order_release);
}

template <class S, class D>
void server::impl<S, D>::retry_handler(const boost::system::error_code& ec) {
    if (!ec) start_accept();
}

namespace {

/// Builds the implementation for the family of the listen entry.
class server_builder : public boost::static_visitor<boost::shared_ptr<server>> {
public:
    server_builder(boost::asio::io_service& service, bool reuse_address)
        : service_(service), reuse_address_(reuse_address) {}

    template <class Descriptor>
    boost::shared_ptr<server> operator()(const Descriptor& descriptor) const {
        typedef server::impl<typename Descriptor::stream_endpoint_type, typename Descriptor::dgram_endpoint_type>
            impl_type;
        return boost::make_shared<impl_type>(service_, descriptor, reuse_address_);
    }

private:
    boost::asio::io_service& service_;
    bool reuse_address_;
};

}  // namespace

void server::check(const server_spec& descriptor) { boost::apply_visitor(entry_check(), descriptor); }

boost::shared_ptr<server> server::create(boost::asio::io_service& service, const server_spec& descriptor,
                                         bool reuse_address) {
    TRACE_POINT;
    return boost::apply_visitor(server_builder(service, reuse_address), descriptor);
}

}  // namespace io
