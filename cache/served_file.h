// A ready file on its way to an agent: `served_file_t` (declared with the
// cache, which hands it to requesters) and the request that carries its bytes
// in a reply. The bytes are taken only when the connection's send reaches
// them, so a reply of thousands of files holds few mappings at a time.
#pragma once

#include <cstddef>

#include <boost/asio/buffer.hpp>

#include "cache/cache.h"
#include "io/request_queue.h"

namespace cache {

/// A file's bytes as one request of a reply: taken when the connection first
/// asks for them, released with the request. Its size is known before.
class file_request_t final : public io::request_queue::request {
public:
    file_request_t(const served_file_t& file, const callback_t& callback) : request(callback), file_(file) {}
    ~file_request_t() override { bytes_.reset(); }
    std::size_t size() const override { return file_.size(); }
    boost::asio::const_buffer const_buffer() const override;
    /// A cached file is never written into: a BUG_exception.
    boost::asio::mutable_buffer mutable_buffer() override;

private:
    served_file_t file_;
    // Taken on the connection's sending path, which holds the request alone.
    mutable mapping_ptr bytes_;
};

}  // namespace cache
