// A listener on a real loopback endpoint: an agent whose upstream cannot be
// reached is dropped, and the endpoint binds again at once afterwards.
#include "proxy/listener.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>

#include "io/pool.h"
#include "tests/io/test_support.h"

namespace {

using boost::asio::ip::tcp;

/// A port nobody listens on while the socket lives: connects to it are refused.
struct refusing_port {
    explicit refusing_port(boost::asio::io_service& service) : socket(service) {
        socket.open(tcp::v4());
        socket.bind(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    }
    unsigned short port() const { return socket.local_endpoint().port(); }
    tcp::socket socket;
};

unsigned short free_port(boost::asio::io_service& service) {
    tcp::acceptor probe(service, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

listen_spec_t record_of(boost::asio::io_service& service, unsigned short port, const std::string& upstream) {
    listen_spec_t record;
    std::string text = "ip(127.0.0.1),port(" + std::to_string(port) + ")";
    record.descriptor = io::parse_server_spec(service, lstr_t(text.c_str()));
    record.forwards.set_capacity(1);
    record.forwards.push_back(upstream);
    return record;
}

/// True when the peer ends `s` within five seconds.
bool ended_by_peer(tcp::socket& s) {
    pollfd p{s.native_handle(), POLLIN, 0};
    char c;
    return ::poll(&p, 1, 5000) == 1 && ::recv(s.native_handle(), &c, 1, 0) <= 0;
}

TEST(Listener, AnUnreachableUpstreamDropsTheAgentAndTheEndpointBindsAgainAtOnce) {
    io_test::log_capture log;
    io::pool pool(2, "lsnt");
    boost::asio::io_service& service = pool.get_io_service();
    refusing_port upstream(service);
    const unsigned short port = free_port(service);
    listen_spec_t record = record_of(service, port, "tcp/127.0.0.1:" + std::to_string(upstream.port()));
    boost::shared_ptr<listener_t> listener = listener_t::create(service, record, boost::shared_ptr<cache::cache_t>());
    listener->start();
    for (int i = 0; i < 3; ++i) {
        tcp::socket agent(service);
        agent.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        // The daemon closes first, so its end of the connection waits in TIME_WAIT.
        EXPECT_TRUE(ended_by_peer(agent));
    }
    EXPECT_TRUE(io_test::wait_until([&] { return listener->connections() == 0; }));
    listener.reset();
    EXPECT_NO_THROW(listener = listener_t::create(service, record, boost::shared_ptr<cache::cache_t>()));
}

}  // namespace
