// A started proxy connection between a test agent and a test server on
// loopback: the test writes both peers' commands and reads what the proxy
// passes on to each of them.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <initializer_list>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache.h"
#include "io/pool.h"
#include "io/text_protocol_error.h"
#include "proxy/proxy_connection.h"
#include "tests/io/test_support.h"

namespace proxy_test {

using boost::asio::ip::tcp;

/// "ok", "protocol" (refused command) or "fatal" (ends the connection) for what `f` did.
template <class F>
std::string outcome(F f) {
    try {
        f();
        return "ok";
    } catch (const io::proto::text_protocol_error_shell_t&) {
        return "protocol";
    } catch (const d_exception_t_shell_t&) {
        return "fatal";
    }
}

/// The pair, relayed and named; with a cache on `cache_root` when one is given.
struct relayed_pair_t {
    explicit relayed_pair_t(const std::string& cache_root = std::string(), int log_level = LOG_LEVEL_ERROR)
        : log(log_level) {
        if (!cache_root.empty())
            cache = cache::cache_t::create(pool.get_io_service(), cache_root, boost::posix_time::minutes(10),
                                           boost::posix_time::hours(1));
        const tcp::endpoint loopback(boost::asio::ip::make_address("127.0.0.1"), 0);
        tcp::acceptor upstream(pool.get_io_service(), loopback), front(pool.get_io_service(), loopback);
        agent.connect(front.local_endpoint());
        auto accepted = boost::make_shared<tcp::socket>(pool.get_io_service());
        front.accept(*accepted);
        connection = boost::make_shared<proxy_connection_t>(pool.get_io_service(), boost::weak_ptr<listener_t>(),
                                                            cache);
        connection->start(io::accepted_socket(accepted),
                          "tcp/127.0.0.1:" + std::to_string(upstream.local_endpoint().port()));
        upstream.accept(server);
        timeval limit{10, 0};  // a broken handler fails the read instead of hanging the run
        for (tcp::socket* s : {&agent, &server})
            setsockopt(s->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        EXPECT_TRUE(io_test::wait_until([&] { return connection->name() != "<noname>"; }));
    }

    /// Sends `command` numbered as the server, or the agent, numbers its commands.
    void from_server(const std::string& command) { send(server, server_number, command); }
    void from_agent(const std::string& command) { send(agent, agent_number, command); }
    void from_server(std::initializer_list<std::string> commands) {
        for (const std::string& c : commands) from_server(c);
    }
    void from_agent(std::initializer_list<std::string> commands) {
        for (const std::string& c : commands) from_agent(c);
    }
    static void send(tcp::socket& s, unsigned& number, const std::string& command) {
        boost::asio::write(s, boost::asio::buffer(std::to_string(number++) + " " + command));
    }
    /// Reads from `s` into `seen`, inflated by `z` when given, until `text` has
    /// arrived (or the peer closed, or ten seconds passed).
    static bool read_until(tcp::socket& s, std::string& seen, const std::string& text,
                           io_test::zlib_inflater* z = nullptr) {
        char buffer[4096];
        while (seen.find(text) == std::string::npos) {
            ssize_t n = ::recv(s.native_handle(), buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            const std::string wire(buffer, static_cast<size_t>(n));
            seen += z ? z->feed(wire) : wire;
        }
        return true;
    }
    /// Negotiates without compression or encryption up to the ready state at version `version`.
    void negotiate(const std::string& version) {
        for (const std::string& c : {"PROTOCOL " + version + " NONE\r\n", std::string("AUTHORIZE OK\r\n"),
                                     std::string("GOTIT ready\r\n")})
            from_server(c);
        ASSERT_TRUE(read_until(agent, to_agent, "GOTIT ready\r\n"));
    }
    /// Log messages that contain `text`.
    std::size_t logged(const std::string& text) {
        std::size_t n = 0;
        for (const std::string& m : log.messages()) n += m.find(text) != std::string::npos;
        return n;
    }

    io_test::log_capture log;  // first: outlives the pool's last lines
    io::pool pool{2, "hndt"};
    boost::shared_ptr<cache::cache_t> cache;
    tcp::socket agent{pool.get_io_service()}, server{pool.get_io_service()};
    boost::shared_ptr<proxy_connection_t> connection;
    unsigned server_number = 0, agent_number = 0;
    std::string to_agent, to_server;
};

}  // namespace proxy_test
