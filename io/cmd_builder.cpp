// Command framing on the way out: name, size marker, arguments, CR LF, and a
// body that travels by reference and is never copied.
#include "io/cmd_builder.h"

#include <cstdint>

#include "oslayer/_kern.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

namespace {
const char kLineEnd[] = "\r\n";
}

cmd_builder::cmd_builder(const char* name, bool binary, on_sent_t on_sent) : binary_(binary) {
    TRACE_POINT;
    // A null name would leave the header stream failed and the command an
    // empty line, which the peer rejects by dropping the connection.
    if (name == nullptr) {
        if (!on_sent.empty()) request_queue dropped(make_cloned_request("", 0, on_sent));
        D_THROW(BUG_exception, "cannot build a command without a name");
    }
    header_ = name;
    on_sent_.swap(on_sent);
}

cmd_builder::~cmd_builder() {
    // The body goes first, as it would have left first. Whoever waits for the
    // command must learn that it never left; the empty request reports (never
    // throws) a failing callback like any other.
    payload_.clear();
    if (!on_sent_.empty()) request_queue dropped(make_cloned_request("", 0, on_sent_));
}

std::ostringstream& cmd_builder::arguments() {
    if (!arguments_stream_) {
        // What the append calls wrote so far comes first in the stream.
        arguments_stream_.reset(new std::ostringstream(arguments_, std::ios_base::out | std::ios_base::ate));
        arguments_.clear();
    }
    return *arguments_stream_;
}

void cmd_builder::append_text(const char* data, std::size_t length) {
    if (arguments_stream_)
        arguments_stream_->write(data, static_cast<std::streamsize>(length));
    else
        arguments_.append(data, length);
}

void cmd_builder::append_raw_argument(const char* data, std::size_t length) {
    append_text(" ", 1);
    append_text(data, length);
}

void cmd_builder::append_number(unsigned long value) {
    const std::string text = " " + escape_string(std::to_string(value));
    append_text(text.data(), text.size());
}

void cmd_builder::append_argument(const std::string& value) {
    std::string token;
    escape_string(value.data(), value.size(), token);
    append_text(" ", 1);
    append_text(token.data(), token.size());
}

void cmd_builder::append_payload(request_queue& payload) { payload_.push_back(payload); }

void cmd_builder::append_mapped_file(const boost::shared_ptr<boost::iostreams::mapped_file>& file) {
    payload_.push_back(make_mapped_file_request(file));
}

void cmd_builder::append_shared_ptr(const boost::shared_ptr<void>& data, std::size_t length) {
    payload_.push_back(make_sptr_request(data, length));
}

void cmd_builder::append_shared_array(const boost::shared_array<char>& data, std::size_t length) {
    payload_.push_back(make_sptr_request(data, length));
}

request_queue cmd_builder::build() {
    TRACE_POINT;
    std::size_t body = payload_.size();
    if (binary_) {
        // The peer reads the marker as a 32-bit count; a larger body would be
        // announced short and the rest of it parsed as commands.
        if (body > UINT32_MAX) D_THROW(BUG_exception, "command body of %zu bytes is too large to announce", body);
        header_ += body > 0 ? " T" + std::to_string(body) : std::string(" N");
    }
    header_ += arguments_stream_ ? arguments_stream_->str() : arguments_;
    header_ += kLineEnd;
    const std::string& header = header_;

    // The callback leaves the builder only once the request that carries it
    // exists, so a failed allocation still tells it (false) on destruction.
    if (payload_.empty()) {
        request_queue out = make_cloned_request(header.data(), header.size(), on_sent_);
        on_sent_.clear();
        return out;
    }
    request_queue out = make_cloned_request(header.data(), header.size());
    // A payload of empty requests is no body: the frame ends with the header,
    // or the peer would read the body's line end as the next command.
    request_queue tail = make_const_request(kLineEnd, body > 0 ? 2 : 0, on_sent_);
    on_sent_.clear();
    out.push_back(payload_);
    out.push_back(tail);
    return out;
}

}  // namespace proto
}  // namespace io
