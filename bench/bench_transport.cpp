// Streams N MiB over loopback TCP from one transport to another on an I/O
// pool, and the same bytes with plain Boost.Asio sockets in the same run;
// prints both rates and their ratio for a few read sizes.
// Usage: bench_transport [MiB (default 512)] [rounds (default 3)]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

#include "io/pool.h"
#include "io/transport_layer.h"

namespace {

using boost::asio::ip::tcp;
typedef std::chrono::steady_clock clock_type;

const std::size_t send_chunk = 1 << 20;

/// Counts received bytes and fulfils the promise once all have come.
class counting_sink : public io::transport_layer_events {
public:
    explicit counting_sink(std::size_t expected) : expected_(expected) {}
    void on_connect(const boost::system::error_code&) override {}
    void on_disconnect() override {}
    void on_data_arrived(io::request_queue& data) override {
        received_ += data.size();
        if (received_ == expected_) done.set_value();
    }
    std::promise<void> done;

private:
    std::size_t expected_;
    std::size_t received_ = 0;  // only touched in the receiver's strand
};

/// Connected pair on the pool's service: (client, accepted).
std::pair<boost::shared_ptr<tcp::socket>, boost::shared_ptr<tcp::socket>> socket_pair(boost::asio::io_service& service) {
    tcp::acceptor acceptor(service, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    auto client = boost::make_shared<tcp::socket>(service);
    auto server = boost::make_shared<tcp::socket>(service);
    client->connect(acceptor.local_endpoint());
    acceptor.accept(*server);
    return {client, server};
}

double transport_run(std::size_t total, uint32_t read_size, const std::vector<char>& payload) {
    io::pool pool(2, "thr");
    io::proto::text_protocol_layer_options options;
    options.read_buffer_size = read_size;
    auto sockets = socket_pair(pool.get_io_service());
    auto sink = boost::make_shared<counting_sink>(total);
    auto idle = boost::make_shared<counting_sink>(0);
    auto sender = io::transport_layer::create(pool.get_io_service(), options);
    auto receiver = io::transport_layer::create(pool.get_io_service(), options);
    sender->set_events(idle);
    receiver->set_events(sink);
    sender->attach(sockets.first);
    receiver->attach(sockets.second);

    std::size_t queued = 0;
    boost::function<void()> next = [&] {
        if (queued == total) return;
        std::size_t n = std::min(send_chunk, total - queued);
        queued += n;
        io::request_queue q = io::make_const_request(payload.data(), n);
        sender->send(q, next);
    };
    auto start = clock_type::now();
    next();
    sink->done.get_future().wait();
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    sender->disconnect();
    receiver->disconnect();
    return total / seconds / 1e6;
}

/// The same stream with async_write and async_read_some straight on the sockets.
struct raw_stream {
    boost::shared_ptr<tcp::socket> client, server;
    std::vector<char> buffer;
    const std::vector<char>* payload;
    std::size_t total, queued = 0, received = 0;
    std::promise<void> done;

    void write_next() {
        if (queued == total) return;
        std::size_t n = std::min(send_chunk, total - queued);
        queued += n;
        boost::asio::async_write(*client, boost::asio::buffer(payload->data(), n),
                                 [this](const boost::system::error_code& e, std::size_t) { if (!e) write_next(); });
    }
    void read_next() {
        server->async_read_some(boost::asio::buffer(buffer), [this](const boost::system::error_code& e, std::size_t n) {
            if (e) return;
            received += n;
            if (received == total) done.set_value(); else read_next();
        });
    }
};

double raw_run(std::size_t total, uint32_t read_size, const std::vector<char>& payload) {
    io::pool pool(2, "thr");
    raw_stream s;
    std::tie(s.client, s.server) = socket_pair(pool.get_io_service());
    s.buffer.resize(read_size);
    s.payload = &payload;
    s.total = total;
    auto start = clock_type::now();
    s.read_next();
    s.write_next();
    s.done.get_future().wait();
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    boost::system::error_code ignored;
    s.client->close(ignored);
    s.server->close(ignored);
    return total / seconds / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mib == 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [MiB > 0] [rounds > 0]\n", argv[0]);
        return 2;
    }
    std::size_t total = mib << 20;
    std::vector<char> payload(send_chunk);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131);
    std::printf("%zu MiB over loopback TCP, %zu-byte sends, best of %d rounds\n", mib, send_chunk, rounds);
    std::printf("%10s %16s %16s %8s\n", "read size", "transport MB/s", "plain asio MB/s", "ratio");
    for (uint32_t read_size : {8192u, 65536u, 262144u}) {
        double best_t = 0, best_r = 0;
        for (int r = 0; r < rounds; ++r) {
            best_t = std::max(best_t, transport_run(total, read_size, payload));
            best_r = std::max(best_r, raw_run(total, read_size, payload));
        }
        std::printf("%10u %16.0f %16.0f %8.2f\n", read_size, best_t, best_r, best_t / best_r);
    }
    return 0;
}
