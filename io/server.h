// The listening acceptor of one listen entry: accepts stream connections for
// as long as it lives and hands each to one callback; owns the discovery
// answerer of the entry when the entry asks for one.
#pragma once

#include <cstdint>

#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "io/spec_parser.h"
#include "io/transport_layer.h"

namespace io {

/// A listening server; the owner holds the only strong reference.
class server : private boost::noncopyable {
public:
    /// Receives every accepted connection; may run on several pool threads at once.
    typedef boost::function<void(const accepted_socket& socket)> callback_type;

    /// Opens, binds and listens on the entry's endpoint and starts its
    /// discovery answerer; nothing is accepted before `start`. Socket errors
    /// raise boost::system::system_error; an entry that `check` refuses
    /// raises its error. A local entry answers discovery at the discovery
    /// address of its stream path (see discovery/local_address.h).
    static boost::shared_ptr<server> create(boost::asio::io_service& service, const server_spec& descriptor,
                                            bool reuse_address);
    /// Raises io_error_exception_shell_t, naming the path, for an entry that
    /// could never be served here: a local entry whose discovery path is not
    /// its stream path (an answer's source names where the asker connects),
    /// or whose stream path is too long to be named by a discovery address.
    static void check(const server_spec& descriptor);

    /// Stores the callback and starts accepting; an empty callback is a BUG_exception.
    virtual void start(const callback_type& callback) = 0;
    /// Closes the listening socket and the discovery answerer at once, from
    /// any thread: when it returns the endpoint can be bound again, although
    /// a completion running on a pool thread may still hold the object. Once
    /// it has returned, no further connection is admitted, and every one
    /// admitted before has been counted and logged; the callback may still
    /// be called for those, on another thread, during or after the return:
    /// it waits for no callback, so a callback may call it, and may wait for
    /// a thread that does. An owner that must take nothing more after stopping
    /// drops what its callback is handed once it has stopped.
    virtual void stop() = 0;
    /// Connections accepted so far; any thread.
    virtual uint64_t accepted_connections() = 0;
    /// The discovery answerer's bytes sent, 0 without one.
    virtual uint64_t discovery_bytes_sent() = 0;
    /// The discovery answerer's bytes received, 0 without one.
    virtual uint64_t discovery_bytes_received() = 0;
    virtual ~server() {}

    template <class StreamEndpoint, class DgramEndpoint>
    class impl;
};

}  // namespace io
