// zlib compression of a connection's two directions once both peers have
// agreed on it: one never-finished zlib stream per direction, carried across
// commands and batches for the rest of the connection's life.
#pragma once

#include <cstddef>
#include <vector>

#include <zlib.h>

#include "io/filters.h"

namespace io {

/// Compresses outgoing bytes; every request with a completion callback ends at
/// a sync-flush point, so the peer can decode it as soon as it has arrived.
class zlib_deflate_filter : public outcoming_filter {
public:
    /// Throws std::bad_alloc (or std::runtime_error) when zlib cannot set the stream up.
    zlib_deflate_filter();
    ~zlib_deflate_filter() override;

    /// A callback of an input request moves onto the last output request, so
    /// it is told true only once the last compressed byte of it was written.
    request_queue process(request_queue& data) override;
    /// The bytes of a sync flush (nothing when nothing was fed since the last one).
    request_queue flush() override;
    const char* name() const override { return "ZLIB deflation filter"; }

private:
    /// Feeds `length` bytes through deflate; the last chunk is compressed with `last_mode`.
    void compress(const unsigned char* data, std::size_t length, int last_mode, const request_callback& callback,
                  request_queue& out);
    /// Runs deflate with `mode` until it leaves room in its output area; the
    /// last block carries `callback` (an empty block when nothing came out).
    void pump(int mode, const request_callback& callback, request_queue& out);

    z_stream stream_;
};

/// Decompresses incoming bytes; output blocks carry no meaning of their own.
/// One call gives at most about `step_bytes` of output: a few kilobytes on the
/// wire can inflate to megabytes, so the rest of the input is kept (and
/// `has_pending` is true) until the caller asks for more.
class zlib_inflate_filter : public incoming_filter {
public:
    /// Output of one `process` call, in bytes (rounded up to the inflation
    /// area); 0 for no bound. Default 64 KiB, one relay read.
    static std::size_t step_bytes;

    /// Throws std::bad_alloc (or std::runtime_error) when zlib cannot set the stream up.
    zlib_inflate_filter();
    ~zlib_inflate_filter() override;

    /// Throws incoming_filter_error when the stream is corrupt; nothing of the
    /// failing call is returned and every later call fails the same way.
    request_queue process(request_queue& data) override;
    bool has_pending() const override { return !rest_.empty() || more_output_; }
    const char* name() const override { return "ZLIB inflation filter"; }

private:
    /// Inflates from `data` until it is used up or `produced` reaches the
    /// step; returns the bytes of `data` consumed.
    std::size_t inflate_some(const unsigned char* data, std::size_t length, request_queue& out,
                             std::size_t& produced);

    z_stream stream_;
    /// Input not consumed yet because the step was full; at most one read.
    std::vector<char> rest_;
    /// zlib may still hold output for input it has already consumed.
    bool more_output_ = false;
};

}  // namespace io
