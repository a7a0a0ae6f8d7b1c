// A ready file on its way to an agent: `served_file_t` (declared with the
// cache, which hands it to requesters) and the request that carries its bytes
// in a reply. The bytes are taken only when the connection's send reaches
// them, so a reply of thousands of files holds few mappings at a time.
#pragma once

#include <cstddef>

#include <boost/asio/buffer.hpp>

#include "cache/cache.h"
#include "cache/cache_tree.h"
#include "io/request_queue.h"

namespace cache {

/// A file's bytes as one request of a reply: taken when the connection first
/// asks for them, released with the request. Its size is known before.
/// Sent as they are, they leave from the file's mapping, read by the kernel
/// alone (a page gone fails the send with EFAULT); a compressing connection
/// reads them in pieces from the file instead (copy_to), never from a
/// mapping, whose pages gone would be SIGBUS in the compressor.
class file_request_t final : public io::request_queue::request {
public:
    file_request_t(const served_file_t& file, const callback_t& callback) : request(callback), file_(file) {}
    /// A request sent whole tells the file (served_whole). One that took
    /// the file's bytes and was not sent whole (the file cut short under the
    /// send, or its agent gone) has the file examined: set back when it is
    /// no longer the one stored.
    ~file_request_t() override;
    std::size_t size() const override { return file_.size(); }
    boost::asio::const_buffer const_buffer() const override;
    /// A cached file is never written into: a BUG_exception.
    boost::asio::mutable_buffer mutable_buffer() override;
    bool read_by_copy() const override { return true; }
    /// Reads from the stored file, opened (and examined) on the first piece.
    /// A file that turns out shorter, or changed once its last piece is
    /// read, is set back and io_error_exception raised: the reply must break
    /// off before its end rather than carry wrong bytes.
    void copy_to(std::size_t offset, void* out, std::size_t length) const override;

private:
    served_file_t file_;
    // Taken on the connection's sending path, which holds the request alone.
    mutable mapping_ptr bytes_;
    mutable fd_t fd_;
};

}  // namespace cache
