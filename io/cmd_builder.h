// Assembles one outgoing text-protocol command (without its sequence number,
// which the text protocol layer puts in front) into a request queue.
#pragma once

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>

#include <boost/function.hpp>
#include <boost/iostreams/device/mapped_file.hpp>
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>

#include "io/request_queue.h"

namespace io {
namespace proto {

/// Filled, built once, dropped; used on one thread.
class cmd_builder {
public:
    typedef boost::function<void(bool)> on_sent_t;

    /// `on_sent` learns once whether the whole command was sent (true) or dropped
    /// (false). A null `name` is refused with a BUG_exception (the callback told false).
    cmd_builder(const char* name, bool binary, on_sent_t on_sent = on_sent_t());
    cmd_builder(const cmd_builder&) = delete;
    cmd_builder& operator=(const cmd_builder&) = delete;
    /// Releases an unbuilt payload (its callbacks told false) and, when
    /// `build` never ran, tells the on-sent callback false.
    ~cmd_builder();

    /// The argument text; callers write each argument as one blank and its escaped form.
    std::ostringstream& arguments();
    /// One blank and the bytes unchanged: a received command's argument text passed on.
    void append_raw_argument(const char* data, std::size_t length);
    /// One blank and the value in decimal.
    void append_number(unsigned long value);
    /// One blank and the argument escaped into one protocol token.
    void append_argument(const std::string& value);

    /// Moves every request of `payload` to the end of the body; `payload` is left empty.
    void append_payload(request_queue& payload);
    /// The whole mapped file as body bytes, kept mapped until sent.
    void append_mapped_file(const boost::shared_ptr<boost::iostreams::mapped_file>& file);
    /// `length` bytes of a shared buffer as body bytes, kept alive until sent.
    void append_shared_ptr(const boost::shared_ptr<void>& data, std::size_t length);
    void append_shared_array(const boost::shared_array<char>& data, std::size_t length);

    /// The finished command; the on-sent callback rides on its last request.
    request_queue build();

private:
    void append_text(const char* data, std::size_t length);

    std::string header_;
    // Plain text until a caller asks for the stream: making a stream costs a
    // locale lookup, and relayed commands never need one.
    std::string arguments_;
    std::unique_ptr<std::ostringstream> arguments_stream_;
    bool binary_;
    request_queue payload_;
    on_sent_t on_sent_;
};

}  // namespace proto
}  // namespace io
