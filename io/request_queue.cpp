// Requests live in malloc'd blocks so that a cloned request carries its bytes
// in the same allocation as its header; the queue only relinks pointers.
#include "io/request_queue.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "oslayer/_kern.h"
#include "oslayer/loggers.h"

namespace io {

namespace {

/// One malloc'd block of `size + extra` bytes; bad_alloc rather than null.
void* allocate_block(std::size_t size, std::size_t extra) {
    if (extra > SIZE_MAX - size) throw std::bad_alloc();
    void* block = std::malloc(size + extra);
    if (!block) throw std::bad_alloc();
    return block;
}

template <class T, class... Args>
request_queue build(Args&&... args) {
    void* block = allocate_block(sizeof(T), 0);
    try {
        return request_queue(::new (block) T(std::forward<Args>(args)...));
    } catch (...) {
        std::free(block);
        throw;
    }
}

/// strlen that refuses a null text instead of crashing on it.
std::size_t text_length(const char* text) {
    if (!text) D_THROW(BUG_exception, "request made from a null text");
    return std::strlen(text);
}

void report_callback_failure(const char* reason, const d_exception_t_shell_t* shell) {
    pretty_print_exception(LOG_LEVEL_ERROR, "[Request] Request callback handler has failed because of %s", reason, shell);
}

}  // namespace

// ------------------------------------------------------------------ request

request_queue::request::request(const callback_t& callback) : callback_(callback), next_(nullptr), sent_(false) {}

request_queue::request::~request() {
    if (callback_.empty()) return;
    // A failing callback must not stop the release of the rest of its queue.
    try {
        callback_(sent_);
    } catch (const SEH_exception_shell_t& e) {
        report_callback_failure(e.what(), &e);
    } catch (const d_exception_t_shell_t& e) {
        report_callback_failure(e.what(), &e);
    } catch (const std::exception& e) {
        report_callback_failure(e.what(), nullptr);
    } catch (...) {
        report_callback_failure("general error", nullptr);
    }
}

void request_queue::request::destroy(request* r) noexcept {
    if (!r) return;
    r->~request();
    std::free(r);
}

void request_queue::request::operator delete(void* block) noexcept { std::free(block); }

// -------------------------------------------------------------------- queue

request_queue::request_queue(request* r) noexcept : head_(r), tail_(r) {
    if (r) r->next_ = nullptr;
}

request_queue::request_queue(request_queue&& other) noexcept : head_(other.head_), tail_(other.tail_) {
    other.head_ = other.tail_ = nullptr;
}

request_queue& request_queue::operator=(request_queue&& other) noexcept {
    if (this == &other) return *this;
    clear();
    head_ = other.head_;
    tail_ = other.tail_;
    other.head_ = other.tail_ = nullptr;
    return *this;
}

void request_queue::push_back(request_queue& other) noexcept {
    if (other.empty() || &other == this) return;
    if (empty())
        head_ = other.head_;
    else
        tail_->next_ = other.head_;
    tail_ = other.tail_;
    other.head_ = other.tail_ = nullptr;
}

void request_queue::push_front(request_queue& other) noexcept {
    if (other.empty() || &other == this) return;
    if (empty())
        tail_ = other.tail_;
    else
        other.tail_->next_ = head_;
    head_ = other.head_;
    other.head_ = other.tail_ = nullptr;
}

request_queue request_queue::pop_front() noexcept {
    if (empty()) return request_queue();
    request* first = head_;
    head_ = first->next_;
    if (!head_) tail_ = nullptr;
    return request_queue(first);
}

std::size_t request_queue::size() const {
    std::size_t total = 0;
    for (const request* r = head_; r; r = r->next_) total += r->size();
    return total;
}

void request_queue::clear() noexcept {
    // Detach first: a callback that looks at this queue sees it empty, not
    // half-freed; whatever a callback pushes into it is released in the next round.
    while (head_) {
        request* r = head_;
        head_ = tail_ = nullptr;
        while (r) {
            request* following = r->next_;
            request::destroy(r);
            r = following;
        }
    }
}

request_queue request_queue::clone() const {
    request_queue copy;
    for (const request* r = head_; r; r = r->next_) {
        if (r->read_by_copy()) {
            std::vector<char> bytes(r->size());
            if (!bytes.empty()) r->copy_to(0, bytes.data(), bytes.size());
            copy.push_back(make_cloned_request(bytes.data(), bytes.size()));
            continue;
        }
        boost::asio::const_buffer b = r->const_buffer();
        copy.push_back(make_cloned_request(b.data(), b.size()));
    }
    return copy;
}

void request_queue::gather(std::vector<boost::asio::const_buffer>& out) const {
    for (const request* r = head_; r; r = r->next_) out.push_back(r->const_buffer());
}

void request_queue::request::copy_to(std::size_t offset, void* out, std::size_t length) const {
    const boost::asio::const_buffer bytes = const_buffer();
    if (offset > bytes.size() || length > bytes.size() - offset)
        D_THROW(BUG_exception, "cannot copy %zu bytes at %zu of a request of %zu", length, offset, bytes.size());
    if (length) std::memcpy(out, static_cast<const char*>(bytes.data()) + offset, length);
}

// -------------------------------------------------------------------- kinds

request_from_const_data::request_from_const_data(const void* data, std::size_t length, const callback_t& callback)
    : request(callback), data_(data), length_(length) {}

boost::asio::const_buffer request_from_const_data::const_buffer() const {
    return boost::asio::const_buffer(data_, length_);
}

boost::asio::mutable_buffer request_from_const_data::mutable_buffer() {
    TRACE_POINT;
    D_THROW(BUG_exception, "mutable buffer not available for constant request");
}

request_from_mutable_data::request_from_mutable_data(void* data, std::size_t length, const callback_t& callback)
    : request(callback), data_(data), length_(length) {}

boost::asio::const_buffer request_from_mutable_data::const_buffer() const {
    return boost::asio::const_buffer(data_, length_);
}

boost::asio::mutable_buffer request_from_mutable_data::mutable_buffer() {
    return boost::asio::mutable_buffer(data_, length_);
}

request_from_cloned_data::request_from_cloned_data(const void* data, std::size_t length, const callback_t& callback)
    : request(callback), length_(length) {
    if (length) std::memcpy(bytes(), data, length);
}

request_from_cloned_data* request_from_cloned_data::create(const void* data, std::size_t length,
                                                           const callback_t& callback) {
    if (!data && length) D_THROW(BUG_exception, "cannot clone %zu bytes from a null pointer", length);
    void* block = allocate_block(sizeof(request_from_cloned_data), length);
    try {
        return ::new (block) request_from_cloned_data(data, length, callback);
    } catch (...) {
        std::free(block);
        throw;
    }
}

boost::asio::const_buffer request_from_cloned_data::const_buffer() const {
    return boost::asio::const_buffer(bytes(), length_);
}

boost::asio::mutable_buffer request_from_cloned_data::mutable_buffer() {
    return boost::asio::mutable_buffer(bytes(), length_);
}

request_from_mapped_file::request_from_mapped_file(const file_ptr& file, const callback_t& callback)
    : request(callback), file_(file) {}

request_from_mapped_file::~request_from_mapped_file() { file_.reset(); }

boost::asio::const_buffer request_from_mapped_file::const_buffer() const {
    if (!file_) return boost::asio::const_buffer();
    return boost::asio::const_buffer(file_->const_data(), file_->size());
}

boost::asio::mutable_buffer request_from_mapped_file::mutable_buffer() {
    if (!file_) return boost::asio::mutable_buffer();
    return boost::asio::mutable_buffer(file_->data(), file_->size());
}

// ---------------------------------------------------------------- factories

request_queue make_const_request(const void* data, std::size_t length, const request_callback& cb) {
    return build<request_from_const_data>(data, length, cb);
}

request_queue make_const_request(const char* text, const request_callback& cb) {
    return build<request_from_const_data>(text, text_length(text), cb);
}

request_queue make_const_request(const char* data, std::size_t length, const request_callback& cb) {
    return make_const_request(static_cast<const void*>(data), length, cb);
}

request_queue make_mutable_request(void* data, std::size_t length, const request_callback& cb) {
    return build<request_from_mutable_data>(data, length, cb);
}

request_queue make_mutable_request(char* text, const request_callback& cb) {
    return build<request_from_mutable_data>(text, text_length(text), cb);
}

request_queue make_mutable_request(char* data, std::size_t length, const request_callback& cb) {
    return make_mutable_request(static_cast<void*>(data), length, cb);
}

request_queue make_cloned_request(const void* data, std::size_t length, const request_callback& cb) {
    return request_queue(request_from_cloned_data::create(data, length, cb));
}

request_queue make_cloned_request(const char* text, const request_callback& cb) {
    return request_queue(request_from_cloned_data::create(text, text_length(text), cb));
}

request_queue make_cloned_request(const char* data, std::size_t length, const request_callback& cb) {
    return make_cloned_request(static_cast<const void*>(data), length, cb);
}

request_queue make_sptr_request(const boost::shared_array<char>& data, std::size_t length,
                                const request_callback& cb) {
    return build<request_from_sptr<boost::shared_array<char>>>(data, length, cb);
}

request_queue make_sptr_request(const boost::shared_ptr<void>& data, std::size_t length, const request_callback& cb) {
    return build<request_from_sptr<boost::shared_ptr<void>>>(data, length, cb);
}

request_queue make_mapped_file_request(const boost::shared_ptr<boost::iostreams::mapped_file>& file,
                                       const request_callback& cb) {
    return build<request_from_mapped_file>(file, cb);
}

}  // namespace io
