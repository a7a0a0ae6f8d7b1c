#include "cache/served_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cache/cache_file_ctx.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cache {

boost::asio::const_buffer file_request_t::const_buffer() const {
    if (!bytes_ && file_.size() > 0) bytes_ = file_.bytes();
    return bytes_ ? boost::asio::const_buffer(bytes_->data(), bytes_->size()) : boost::asio::const_buffer();
}

file_request_t::~file_request_t() {
    const bool taken = bytes_ || fd_;
    bytes_.reset();
    fd_.reset();
    if (sent()) file_.file_->served_whole();
    if (!taken || sent()) return;
    log_failure(LOG_LEVEL_ERROR, "[Repo] Examining a file not sent whole failed because of %s",
                [&] { file_.file_->still_stored(); });
}

void file_request_t::copy_to(std::size_t offset, void* out, std::size_t length) const {
    cache_t::file_ctx_t& file = *file_.file_;
    if (!fd_) fd_ = file.open_stored();
    char* bytes = static_cast<char*>(out);
    for (std::size_t done = 0; done < length;) {
        ssize_t n = ::pread(fd_.get(), bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            // A read error is the file's own (a failing disk): read again,
            // it would break off every reply of it.
            if (error)
                file.set_back_unreadable(error);
            else
                file.still_stored();
            D_THROW(io_error_exception, "cannot read %s: %s", escape_log_text(file.path).c_str(),
                    error ? strerror(error) : "the file became shorter");
        }
        done += static_cast<std::size_t>(n);
    }
    if (offset + length < file_.size()) return;
    // The last piece: bytes overwritten while the file was read show in its
    // times, and must not complete the reply.
    if (!file.unchanged(fd_.get())) {
        fd_.reset();
        file.still_stored();
        D_THROW(io_error_exception, "%s changed on disk while it was sent", escape_log_text(file.path).c_str());
    }
    fd_.reset();
}

boost::asio::mutable_buffer file_request_t::mutable_buffer() {
    TRACE_POINT;
    D_THROW(BUG_exception, "mutable buffer not available for a cached file");
}

uint32_t served_file_t::size() const { return file_->info.size; }

bool served_file_t::refetched() const { return file_->loss.load() == cache_t::file_ctx_t::refetched; }

void served_file_t::received() const { file_->served_whole(); }

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
