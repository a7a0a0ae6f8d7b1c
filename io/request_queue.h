// The unit in which bytes travel between the layers of a connection: an
// ordered list of byte ranges, with no lock, each with a completion callback
// that learns, when the range is finally released, whether it was sent.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/function.hpp>
#include <boost/iostreams/device/mapped_file.hpp>
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>

namespace io {

/// A move-only singly linked list of requests; owns them and never copies bytes.
class request_queue {
public:
    /// Told once, when its request is released, whether the request was sent.
    typedef boost::function<void(bool)> callback_t;

    /// One byte range of a queue. Built in a malloc'd block and released by
    /// `destroy` (destructor, then free), never by a plain delete.
    class request {
    public:
        typedef request_queue::callback_t callback_t;

        request(const request&) = delete;
        request& operator=(const request&) = delete;

        virtual boost::asio::const_buffer const_buffer() const = 0;
        virtual boost::asio::mutable_buffer mutable_buffer() = 0;
        /// The byte count. A request that produces its bytes only when they
        /// are first asked for (a file mapped as the connection reaches it)
        /// knows it beforehand, so a command can be framed without them.
        virtual std::size_t size() const { return const_buffer().size(); }
        /// True for bytes the process must not read through const_buffer
        /// itself: a mapping of a file that others may cut short, whose pages
        /// gone are SIGBUS to any reader but the kernel. A layer that reads
        /// the bytes (a compressor) takes them with copy_to instead.
        virtual bool read_by_copy() const { return false; }
        /// Copies `length` bytes from `offset` into `out`; raises when they
        /// cannot be had whole. By default from const_buffer.
        virtual void copy_to(std::size_t offset, void* out, std::size_t length) const;

        /// Runs the callback (if any) with the sent flag; its errors are logged, never thrown.
        virtual ~request();

        /// Whoever has really written the bytes out calls this; nothing clears it.
        void mark_as_send() { sent_ = true; }
        bool sent() const { return sent_; }
        /// Moves the callback out, leaving none; a filter hands it on to the bytes it produced.
        callback_t take_callback() {
            callback_t taken;
            taken.swap(callback_);
            return taken;
        }
        /// The following request of the same queue, or null.
        request* next() const { return next_; }

        /// Destructor then free; null is ignored.
        static void destroy(request* r) noexcept;
        /// Matches the malloc'd block, so even a deleting destructor frees correctly.
        static void operator delete(void* block) noexcept;

    protected:
        explicit request(const callback_t& callback);

    private:
        friend class request_queue;
        callback_t callback_;
        request* next_;
        bool sent_;
    };

    request_queue() noexcept : head_(nullptr), tail_(nullptr) {}
    /// Takes ownership of exactly one request.
    explicit request_queue(request* r) noexcept;
    request_queue(request_queue&& other) noexcept;
    /// Releases (and so completes) the requests held so far, then takes over.
    request_queue& operator=(request_queue&& other) noexcept;
    // A copy that empties its source would silently lose bytes whenever a
    // handler holding a queue is copied; share a queue through a pointer instead.
    request_queue(const request_queue&) = delete;
    request_queue& operator=(const request_queue&) = delete;
    ~request_queue() { clear(); }

    bool empty() const { return head_ == nullptr; }
    /// Splices all of `other` after the last request; `other` ends up empty.
    void push_back(request_queue& other) noexcept;
    void push_back(request_queue&& other) noexcept { push_back(other); }
    /// Splices all of `other` before the first request, keeping its order.
    void push_front(request_queue& other) noexcept;
    void push_front(request_queue&& other) noexcept { push_front(other); }
    /// Detaches the first request as a one-request queue (empty when this is).
    request_queue pop_front() noexcept;
    /// Total bytes of all requests (their `size`); walks the list.
    std::size_t size() const;
    /// Releases every request in order, running their callbacks.
    void clear() noexcept;
    /// Private copies of every request's bytes, without callbacks.
    request_queue clone() const;

    /// The first request, or null; walk on with `request::next`.
    request* front() const { return head_; }
    /// Appends the constant buffer of every request, in order, for one gathered write.
    void gather(std::vector<boost::asio::const_buffer>& out) const;

private:
    request* head_;
    request* tail_;
};

/// Constant bytes owned by the caller until the request is released.
class request_from_const_data final : public request_queue::request {
public:
    request_from_const_data(const void* data, std::size_t length, const callback_t& callback);
    boost::asio::const_buffer const_buffer() const override;
    /// Always throws BUG_exception: constant bytes are never handed out for writing.
    boost::asio::mutable_buffer mutable_buffer() override;

private:
    const void* data_;
    std::size_t length_;
};

/// Writable bytes owned by the caller until the request is released.
class request_from_mutable_data final : public request_queue::request {
public:
    request_from_mutable_data(void* data, std::size_t length, const callback_t& callback);
    boost::asio::const_buffer const_buffer() const override;
    boost::asio::mutable_buffer mutable_buffer() override;

private:
    void* data_;
    std::size_t length_;
};

/// A private copy of the bytes, stored in the same block right after the header.
class request_from_cloned_data final : public request_queue::request {
public:
    /// Builds header and bytes in one malloc'd block.
    static request_from_cloned_data* create(const void* data, std::size_t length, const callback_t& callback);
    boost::asio::const_buffer const_buffer() const override;
    boost::asio::mutable_buffer mutable_buffer() override;

private:
    // Private: only `create` knows to leave room for the bytes behind the header.
    request_from_cloned_data(const void* data, std::size_t length, const callback_t& callback);
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
    std::size_t length_;
};

/// Bytes kept alive by shared ownership (boost::shared_array<char> or boost::shared_ptr<void>).
template <class Ptr>
class request_from_sptr final : public request_queue::request {
public:
    request_from_sptr(const Ptr& ptr, std::size_t length, const callback_t& callback)
        : request(callback), length_(length), ptr_(ptr) {}
    /// Drops the shared reference before the base runs the callback.
    ~request_from_sptr() override { ptr_.reset(); }
    boost::asio::const_buffer const_buffer() const override { return boost::asio::const_buffer(ptr_.get(), length_); }
    boost::asio::mutable_buffer mutable_buffer() override { return boost::asio::mutable_buffer(ptr_.get(), length_); }

private:
    std::size_t length_;
    Ptr ptr_;
};

/// A whole memory-mapped file, shared with whoever mapped it.
class request_from_mapped_file final : public request_queue::request {
public:
    typedef boost::shared_ptr<boost::iostreams::mapped_file> file_ptr;
    request_from_mapped_file(const file_ptr& file, const callback_t& callback);
    /// Drops the mapping reference before the base runs the callback.
    ~request_from_mapped_file() override;
    boost::asio::const_buffer const_buffer() const override;
    /// The writable data pointer is null for a read-only mapping.
    boost::asio::mutable_buffer mutable_buffer() override;

private:
    file_ptr file_;
};

typedef request_queue::callback_t request_callback;

request_queue make_const_request(const void* data, std::size_t length, const request_callback& cb = request_callback());
request_queue make_const_request(const char* text, const request_callback& cb = request_callback());
// Exact matches for character pointers with a length, which would otherwise
// be ambiguous between the (bytes, length) and (text, callback) forms.
request_queue make_const_request(const char* data, std::size_t length, const request_callback& cb = request_callback());
request_queue make_mutable_request(void* data, std::size_t length, const request_callback& cb = request_callback());
request_queue make_mutable_request(char* text, const request_callback& cb = request_callback());
request_queue make_mutable_request(char* data, std::size_t length, const request_callback& cb = request_callback());
/// One allocation and one copy: the bytes live in the request's own block.
request_queue make_cloned_request(const void* data, std::size_t length, const request_callback& cb = request_callback());
request_queue make_cloned_request(const char* text, const request_callback& cb = request_callback());
request_queue make_cloned_request(const char* data, std::size_t length, const request_callback& cb = request_callback());
request_queue make_sptr_request(const boost::shared_array<char>& data, std::size_t length,
                                const request_callback& cb = request_callback());
request_queue make_sptr_request(const boost::shared_ptr<void>& data, std::size_t length,
                                const request_callback& cb = request_callback());
request_queue make_mapped_file_request(const boost::shared_ptr<boost::iostreams::mapped_file>& file,
                                       const request_callback& cb = request_callback());

}  // namespace io
