// The text protocol's incoming framing fed arbitrary bytes cut at arbitrary
// points. Input layout: one flag byte (low three bits: how many cut bytes
// follow; 0x08: each piece is a delivery of its own rather than one request
// of a single delivery; 0x10: bodies go to a writer, not memory), the cut
// bytes (piece lengths, 1 + value, used in turn), then the stream itself.
// Every completed command must carry exactly the body its header announced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "io/text_protocol_layer.h"

namespace {

typedef io::proto::text_protocol_layer layer_t;

void check(bool condition) {
    if (!condition) std::abort();
}

/// Takes the body bytes and remembers how many came.
class counting_writer : public layer_t::writer_iface {
public:
    void write(const char* /*data*/, size_t length) override { total += length; }
    size_t total = 0;
};

/// Wires the checks to one layer's signals.
struct observer {
    explicit observer(layer_t& layer, bool to_writer) {
        layer.sig_cmd_begin.connect([&layer, this, to_writer](unsigned, const std::string& name,
                                                              boost::optional<unsigned> size,
                                                              const layer_t::args_range&) {
            check(!name.empty());
            writer.reset();
            if (to_writer && size && *size > 0) {
                writer = boost::make_shared<counting_writer>();
                layer.set_custom_writer(writer);
            }
        });
        layer.sig_cmd_complete.connect([this](unsigned, const std::string&, boost::optional<unsigned> size,
                                              const layer_t::args_range&, std::vector<char>& body) {
            const size_t expected = size ? *size : 0;
            if (writer) {
                check(body.empty() && writer->total == expected);
                check(writer->written == expected);
            } else {
                check(body.size() == expected);
            }
            writer.reset();
        });
    }
    boost::shared_ptr<counting_writer> writer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static boost::asio::io_service service;
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const size_t cut_count = flags & 7;
    if (size < 1 + cut_count) return 0;
    const uint8_t* cuts = data + 1;
    const char* stream = reinterpret_cast<const char*>(data + 1 + cut_count);
    size_t left = size - 1 - cut_count;

    boost::shared_ptr<layer_t> layer = layer_t::create(service, io::proto::text_protocol_layer_options());
    observer watch(*layer, (flags & 0x10) != 0);
    io::request_queue one_delivery;
    for (size_t piece = 0; left > 0; ++piece) {
        size_t length = cut_count ? 1 + cuts[piece % cut_count] : left;
        if (length > left) length = left;
        // Cloned pieces are exact-size copies, so a read past one is caught.
        if (flags & 0x08) {
            io::request_queue q;
            q.push_back(io::make_cloned_request(stream, length));
            layer->on_data_arrived(q);
        } else {
            one_delivery.push_back(io::make_cloned_request(stream, length));
        }
        stream += length;
        left -= length;
    }
    if (!one_delivery.empty()) layer->on_data_arrived(one_delivery);
    return 0;
}
