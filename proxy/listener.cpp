#include "proxy/listener.h"

#include "io/detail/binders.h"
#include "proxy/proxy_connection.h"

boost::shared_ptr<listener_t> listener_t::create(boost::asio::io_service& service, const listen_spec_t& record,
                                                 const boost::shared_ptr<cache::cache_t>& cache) {
    return boost::shared_ptr<listener_t>(new listener_t(service, record, cache));
}

listener_t::listener_t(boost::asio::io_service& service, const listen_spec_t& record,
                       const boost::shared_ptr<cache::cache_t>& cache)
    // Address reuse on: after a reload that dropped live connections, their
    // sockets in TIME_WAIT must not keep the endpoint from being bound again.
    : service_(service), server_(io::server::create(service, record.descriptor, true)), record_(record),
      cache_(cache) {}

listener_t::~listener_t() = default;

void listener_t::start() {
    server_->start(io::detail::make_weak_binder(&listener_t::on_accept, boost::weak_ptr<listener_t>(shared_from_this())));
}

void listener_t::stop() { server_->stop(); }

void listener_t::on_accept(const io::accepted_socket& socket) {
    boost::shared_ptr<listener_t> self = shared_from_this();
    boost::shared_ptr<proxy_connection_t> connection(new proxy_connection_t(service_, self, cache_));
    std::string upstream;
    {
        // Accepts overlap on pool threads: taking the front and turning the
        // ring is one step. The connection joins the set before it starts, so
        // a connect that fails at once still finds it there to remove.
        boost::mutex::scoped_lock guard(mutex_);
        if (record_.forwards.empty()) return;
        upstream = record_.forwards.front();
        if (record_.forwards.size() > 1) record_.forwards.rotate(record_.forwards.begin() + 1);
        connections_.insert(connection);
    }
    try {
        connection->start(socket, upstream);
    } catch (...) {
        remove(connection);
        throw;
    }
}

void listener_t::remove(const boost::shared_ptr<proxy_connection_t>& connection) {
    boost::shared_ptr<proxy_connection_t> dropped;
    boost::mutex::scoped_lock guard(mutex_);
    connection_set::iterator found = connections_.find(connection);
    if (found == connections_.end()) return;
    // Released after the lock: the last reference may end the connection,
    // and its layers with it.
    dropped = *found;
    connections_.erase(found);
}

size_t listener_t::connections() {
    boost::mutex::scoped_lock guard(mutex_);
    return connections_.size();
}
