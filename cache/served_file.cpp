#include "cache/served_file.h"

#include <cstdlib>
#include <new>

#include "cache/cache_file_ctx.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

boost::asio::const_buffer file_request_t::const_buffer() const {
    if (!bytes_ && file_.size() > 0) bytes_ = file_.bytes();
    return bytes_ ? boost::asio::const_buffer(bytes_->data(), bytes_->size()) : boost::asio::const_buffer();
}

boost::asio::mutable_buffer file_request_t::mutable_buffer() {
    TRACE_POINT;
    D_THROW(BUG_exception, "mutable buffer not available for a cached file");
}

uint32_t served_file_t::size() const { return file_->info.size; }

mapping_ptr served_file_t::bytes() const {
    mapping_ptr bytes = file_->map();
    // Not ready any more (downloaded again after a failed check): its bytes
    // on disk are not the ones this reply announced.
    if (!bytes && file_->info.size > 0)
        D_THROW(io_error_exception, "%s is no longer ready to be served", escape_log_text(file_->path).c_str());
    return bytes;
}

io::request_queue served_file_t::request() const {
    // Like every request, in a malloc'd block that `request::destroy` frees.
    void* block = std::malloc(sizeof(file_request_t));
    if (!block) throw std::bad_alloc();
    try {
        return io::request_queue(::new (block) file_request_t(*this, io::request_queue::callback_t()));
    } catch (...) {
        std::free(block);
        throw;
    }
}

}  // namespace cache
