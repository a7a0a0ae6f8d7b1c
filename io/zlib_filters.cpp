// zlib deflate and inflate filters of a connection.
#include "io/zlib_filters.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "oslayer/_kern.h"

namespace io {

namespace {

// The peer's window and our memory footprint per connection both follow from
// these; they are part of the wire format both sides rely on.
const int kWindowBits = 15;
const int kMemoryLevel = 8;
const std::size_t kDeflateArea = 8192;
const std::size_t kInflateArea = 4096;
// zlib counts input in a 32-bit uInt; larger requests are fed in pieces.
const std::size_t kMaxFeed = UINT_MAX;

void check_init(int result, const z_stream& stream, const char* what) {
    if (result == Z_OK) return;
    if (result == Z_MEM_ERROR) throw std::bad_alloc();
    throw std::runtime_error(std::string("cannot initialise zlib ") + what + " because of " +
                             (stream.msg ? stream.msg : zError(result)));
}

}  // namespace

// ---------------------------------------------------------------- deflate

zlib_deflate_filter::zlib_deflate_filter() {
    TRACE_POINT;
    std::memset(&stream_, 0, sizeof stream_);
    check_init(deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY),
               stream_, "deflation");
}

zlib_deflate_filter::~zlib_deflate_filter() { deflateEnd(&stream_); }

request_queue zlib_deflate_filter::process(request_queue& data) {
    TRACE_POINT;
    request_queue out;
    for (request_queue::request* r = data.front(); r; r = r->next()) {
        boost::asio::const_buffer bytes = r->const_buffer();
        request_callback callback = r->take_callback();
        // Only a request somebody waits for forces a flush; the rest compress
        // together with whatever follows them in the batch.
        int mode = callback.empty() ? Z_NO_FLUSH : Z_SYNC_FLUSH;
        try {
            compress(static_cast<const unsigned char*>(bytes.data()), bytes.size(), mode, callback, out);
        } catch (...) {
            // The callback rides only on a block that was made; without one it
            // would never be told, so it learns here that the bytes are lost.
            if (!callback.empty()) request_queue lost(make_const_request("", 0, callback));
            throw;
        }
    }
    return out;
}

request_queue zlib_deflate_filter::flush() {
    TRACE_POINT;
    request_queue out;
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    pump(Z_SYNC_FLUSH, request_callback(), out);
    return out;
}

void zlib_deflate_filter::compress(const unsigned char* data, std::size_t length, int last_mode,
                                   const request_callback& callback, request_queue& out) {
    do {
        std::size_t piece = std::min(length, kMaxFeed);
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(piece);
        data += piece;
        length -= piece;
        if (length == 0)
            pump(last_mode, callback, out);
        else
            pump(Z_NO_FLUSH, request_callback(), out);
    } while (length != 0);
}

void zlib_deflate_filter::pump(int mode, const request_callback& callback, request_queue& out) {
    // Two areas in turn: a block is appended only once the next one is known,
    // so the last block can be made with the callback on it.
    unsigned char area[2][kDeflateArea];
    int current = 0;
    std::size_t held = 0;
    bool holding = false;
    for (;;) {
        stream_.next_out = area[current];
        stream_.avail_out = static_cast<uInt>(kDeflateArea);
        deflate(&stream_, mode);
        std::size_t produced = kDeflateArea - stream_.avail_out;
        if (produced > 0) {
            if (holding) out.push_back(make_cloned_request(area[current ^ 1], held));
            held = produced;
            holding = true;
            current ^= 1;
        }
        if (stream_.avail_out != 0) break;
    }
    if (holding)
        out.push_back(make_cloned_request(area[current ^ 1], held, callback));
    else if (!callback.empty())
        // A flush right after a flush yields nothing; the callback still has
        // to be told, and an empty block is written with the batch.
        out.push_back(make_cloned_request(area[0], 0, callback));
}

// ---------------------------------------------------------------- inflate

zlib_inflate_filter::zlib_inflate_filter() {
    TRACE_POINT;
    std::memset(&stream_, 0, sizeof stream_);
    check_init(inflateInit(&stream_), stream_, "inflation");
}

zlib_inflate_filter::~zlib_inflate_filter() { inflateEnd(&stream_); }

std::size_t zlib_inflate_filter::step_bytes = 64 << 10;

request_queue zlib_inflate_filter::process(request_queue& data) {
    TRACE_POINT;
    request_queue out;
    std::size_t produced = 0;
    if (has_pending()) {
        // Older input first; what arrives meanwhile queues up behind it.
        std::vector<char> held;
        held.swap(rest_);
        const std::size_t used =
            inflate_some(reinterpret_cast<const unsigned char*>(held.data()), held.size(), out, produced);
        rest_.assign(held.begin() + static_cast<std::ptrdiff_t>(used), held.end());
        if (has_pending()) {
            for (const request_queue::request* r = data.front(); r; r = r->next()) {
                const char* bytes = static_cast<const char*>(r->const_buffer().data());
                rest_.insert(rest_.end(), bytes, bytes + r->const_buffer().size());
            }
            return out;
        }
    }
    for (const request_queue::request* r = data.front(); r; r = r->next()) {
        boost::asio::const_buffer buffer = r->const_buffer();
        const unsigned char* bytes = static_cast<const unsigned char*>(buffer.data());
        const std::size_t used = inflate_some(bytes, buffer.size(), out, produced);
        if (!has_pending() && used == buffer.size()) continue;
        // The step is full: the rest of this request and all after it wait here.
        rest_.insert(rest_.end(), bytes + used, bytes + buffer.size());
        for (const request_queue::request* n = r->next(); n; n = n->next()) {
            const char* more = static_cast<const char*>(n->const_buffer().data());
            rest_.insert(rest_.end(), more, more + n->const_buffer().size());
        }
        break;
    }
    return out;
}

std::size_t zlib_inflate_filter::inflate_some(const unsigned char* data, std::size_t length, request_queue& out,
                                              std::size_t& produced) {
    unsigned char area[kInflateArea];
    std::size_t consumed = 0;
    for (;;) {
        const std::size_t piece = std::min(length - consumed, kMaxFeed);
        stream_.next_in = const_cast<Bytef*>(data + consumed);
        stream_.avail_in = static_cast<uInt>(piece);
        int result;
        do {
            if (step_bytes != 0 && produced >= step_bytes) {
                // zlib may hold more output for what it has consumed; the next call asks for it.
                more_output_ = true;
                return consumed + (piece - stream_.avail_in);
            }
            stream_.next_out = area;
            stream_.avail_out = static_cast<uInt>(kInflateArea);
            result = inflate(&stream_, Z_NO_FLUSH);
            // A rejected stream would otherwise stall the connection silently:
            // the peer waits for answers to commands that never arrive.
            if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR || result == Z_MEM_ERROR)
                throw incoming_filter_error(std::string("cannot inflate received data because of ") +
                                            (stream_.msg ? stream_.msg : zError(result)));
            const std::size_t made = kInflateArea - stream_.avail_out;
            if (made > 0) out.push_back(make_cloned_request(area, made));
            produced += made;
        } while (stream_.avail_out == 0);
        more_output_ = false;
        if (result == Z_STREAM_END && stream_.avail_in != 0)
            throw incoming_filter_error("cannot inflate received data because of bytes after the end of the stream");
        consumed += piece - stream_.avail_in;
        if (consumed >= length) return length;
    }
}

}  // namespace io
