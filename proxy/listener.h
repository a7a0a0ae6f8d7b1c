// One listening endpoint of the configuration: accepts agents, joins each to
// the next upstream server of its ring, and holds the live connections.
#pragma once

#include <set>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/smart_ptr/owner_less.hpp>
#include <boost/thread/mutex.hpp>

#include "cache/cache.h"
#include "io/server.h"
#include "io/transport_layer.h"
#include "proxy/config.h"

class proxy_connection_t;

/// The listener of one listen record; lives for one configuration pass.
class listener_t : public boost::enable_shared_from_this<listener_t>, private boost::noncopyable {
public:
    /// Opens the record's endpoint (address reuse on); socket errors pass out.
    static boost::shared_ptr<listener_t> create(boost::asio::io_service& service, const listen_spec_t& record,
                                                const boost::shared_ptr<cache::cache_t>& cache);
    ~listener_t();

    /// Starts accepting.
    void start();
    /// Closes the listening endpoint now, so that the next configuration
    /// pass can bind it although an accept on a pool thread may still hold
    /// this listener for a moment.
    void stop();
    /// Forgets a connection that ended; unknown ones are ignored.
    void remove(const boost::shared_ptr<proxy_connection_t>& connection);
    /// Live connections of this endpoint.
    size_t connections();

private:
    listener_t(boost::asio::io_service& service, const listen_spec_t& record,
               const boost::shared_ptr<cache::cache_t>& cache);

    void on_accept(const io::accepted_socket& socket);

    typedef std::set<boost::shared_ptr<proxy_connection_t>, boost::owner_less<boost::shared_ptr<proxy_connection_t>>>
        connection_set;

    boost::asio::io_service& service_;
    boost::shared_ptr<io::server> server_;
    listen_spec_t record_;
    boost::shared_ptr<cache::cache_t> cache_;
    connection_set connections_;
    /// Guards the set and the ring.
    boost::mutex mutex_;
};
