// The XML configuration: the listening endpoints with their upstream servers
// and the cache directory, re-read from the file named by `conf` at the start
// of every pass of the application loop.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/circular_buffer.hpp>

#include "io/spec_parser.h"

/// One configured listening endpoint and the upstream servers it uses in turn.
struct listen_spec_t {
    io::server_spec descriptor;
    /// The `to` texts in document order; full, its capacity is their number.
    boost::circular_buffer<std::string> forwards;
};

/// The process-wide configuration, replaced as a whole by each successful reload.
class config_t {
public:
    /// Reads the file named by settings_t::global.conf; on any error the
    /// configuration stays as it was and the error passes on. A `listen`
    /// element that cannot be loaded is logged and skipped.
    void reload(boost::asio::io_service& service);

    /// One record per accepted `listen` element, in document order.
    std::vector<listen_spec_t> listens;
    /// The `cache-root` text; empty when not given.
    std::string cache_root;

    static config_t global;
};
