// Commands per second and body throughput between two text protocol stacks
// over loopback TCP, plain and compressed, beside the same bytes streamed by
// bare transports in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <boost/make_shared.hpp>
#include <boost/shared_array.hpp>

#include "io/cmd_builder.h"
#include "io/pool.h"
#include "io/text_protocol_layer.h"
#include "io/transport_layer.h"
#include "io/zlib_filters.h"

namespace {

using boost::asio::ip::tcp;
typedef io::proto::text_protocol_layer layer_t;
typedef boost::shared_ptr<layer_t> layer_ptr;

const size_t body_size = 1 << 20;

io::pool& the_pool() {
    static io::pool pool(4, "bench");
    return pool;
}

/// Counts what arrived and lets the benchmark thread wait for a total.
struct counter {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t value = 0;
    void add(uint64_t n) {
        std::lock_guard<std::mutex> g(mutex);
        value += n;
        cv.notify_all();
    }
    void wait_for(uint64_t total) {
        std::unique_lock<std::mutex> g(mutex);
        cv.wait(g, [&] { return value >= total; });
    }
};

/// A connected pair of stacks; `b` counts completed commands.
struct stack_pair {
    explicit stack_pair(bool compress) {
        io::proto::text_protocol_layer_options options;
        a = layer_t::create(the_pool().get_io_service(), options);
        b = layer_t::create(the_pool().get_io_service(), options);
        b->sig_cmd_complete.connect([this](unsigned, const std::string& name, boost::optional<unsigned>,
                                           const layer_t::args_range&, std::vector<char>&) {
            if (name == "ZIP") b->add_incoming_filter(boost::make_shared<io::zlib_inflate_filter>());
            done.add(1);
        });
        tcp::acceptor acceptor(the_pool().get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        a->connect("tcp/127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
        auto socket = boost::make_shared<tcp::socket>(the_pool().get_io_service());
        acceptor.accept(*socket);
        b->attach(io::accepted_socket(socket));
        if (compress) {
            io::proto::cmd_builder zip("ZIP", false);
            io::request_queue q = zip.build();
            a->send_then_add_outcoming_filter(q, boost::make_shared<io::zlib_deflate_filter>());
            done.wait_for(1);
        }
    }
    ~stack_pair() {
        a->disconnect();
        b->disconnect();
    }
    layer_ptr a, b;
    counter done;
};

boost::shared_array<char> make_body() {
    boost::shared_array<char> body(new char[body_size]);
    for (size_t i = 0; i < body_size; ++i) body[i] = static_cast<char>("abcdefgh \r\n0123"[(i * 7 + i / 13) % 16] ^ (i % 251));
    return body;
}

void BM_SmallCommands(benchmark::State& state) {
    stack_pair pair(state.range(0) != 0);
    const int batch = 10000;
    uint64_t expected = pair.done.value;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            io::proto::cmd_builder cmd("CMD", false);
            cmd.append_raw_argument("alpha", 5);
            cmd.append_number(static_cast<unsigned long>(i));
            io::request_queue q = cmd.build();
            pair.a->send(q);
        }
        expected += batch;
        pair.done.wait_for(expected);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SmallCommands)->Arg(0)->Arg(1)->ArgName("zlib")->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Bodies(benchmark::State& state) {
    stack_pair pair(state.range(0) != 0);
    boost::shared_array<char> body = make_body();
    const int batch = 16;
    uint64_t expected = pair.done.value;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            io::proto::cmd_builder cmd("PUT", true);
            cmd.append_shared_array(body, body_size);
            io::request_queue q = cmd.build();
            pair.a->send(q);
        }
        expected += batch;
        pair.done.wait_for(expected);
    }
    state.SetBytesProcessed(state.iterations() * batch * int64_t(body_size));
}
BENCHMARK(BM_Bodies)->Arg(0)->Arg(1)->ArgName("zlib")->UseRealTime()->Unit(benchmark::kMillisecond);

/// Counts the bytes a bare transport receives.
class byte_sink : public io::transport_layer_events {
public:
    void on_connect(const boost::system::error_code&) override { connected.add(1); }
    void on_disconnect() override {}
    void on_data_arrived(io::request_queue& data) override { bytes.add(data.size()); }
    counter connected, bytes;
};

void BM_TransportOnly(benchmark::State& state) {
    io::proto::text_protocol_layer_options options;
    auto sender_sink = boost::make_shared<byte_sink>(), receiver_sink = boost::make_shared<byte_sink>();
    auto sender = io::transport_layer::create(the_pool().get_io_service(), options);
    auto receiver = io::transport_layer::create(the_pool().get_io_service(), options);
    sender->set_events(sender_sink);
    receiver->set_events(receiver_sink);
    tcp::acceptor acceptor(the_pool().get_io_service(), tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    sender->connect(acceptor.local_endpoint());
    auto socket = boost::make_shared<tcp::socket>(the_pool().get_io_service());
    acceptor.accept(*socket);
    receiver->attach(io::accepted_socket(socket));
    sender_sink->connected.wait_for(1);

    boost::shared_array<char> body = make_body();
    const int batch = 16;
    uint64_t expected = 0;
    for (auto _ : state) {
        // One gathered write per batch: the bare transport's best case.
        io::request_queue q;
        for (int i = 0; i < batch; ++i) q.push_back(io::make_sptr_request(body, body_size));
        sender->send(q, [] {});
        expected += batch * body_size;
        receiver_sink->bytes.wait_for(expected);
    }
    state.SetBytesProcessed(state.iterations() * batch * int64_t(body_size));
    sender->disconnect();
    receiver->disconnect();
}
BENCHMARK(BM_TransportOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
