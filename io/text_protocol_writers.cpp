// The outgoing half of the text protocol layer (numbering, raw mode) and the
// body sinks that keep large command bodies out of memory.
#include <algorithm>
#include <cstdio>
#include <string>

#include <boost/make_shared.hpp>

#include "io/text_protocol_layer.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

namespace {

/// The queue's bytes up to the first CR, gathered across requests.
std::string first_line(const request_queue& queue) {
    std::string line;
    for (request_queue::request* r = queue.front(); r; r = r->next()) {
        boost::asio::const_buffer buffer = r->const_buffer();
        const char* p = static_cast<const char*>(buffer.data());
        const char* end = p + buffer.size();
        const char* cr = std::find(p, end, '\r');
        line.append(p, cr);
        if (cr != end) break;
    }
    return line;
}

}  // namespace

// ------------------------------------------------------------------ writers

text_protocol_layer::file_writer::~file_writer() {
    if (file_) fclose(file_);
}

void text_protocol_layer::file_writer::write(const char* data, size_t length) {
    if (fwrite(data, 1, length, file_) != length)
        throw internal_parser_violation("cannot write data piece to file complitely");
}

void text_protocol_layer::mapped_file_writer::write(const char* data, size_t length) {
    char* base = file_ && file_->is_open() ? file_->data() : nullptr;
    if (!base) throw internal_parser_violation("mapped file is not open for writing");
    const uint64_t size = file_->size();
    if (position_ > size || length > size - position_)
        throw internal_parser_violation("command body does not fit into its mapped file");
    std::copy(data, data + length, base + position_);
    position_ += length;
}

void text_protocol_layer::set_custom_writer(const boost::shared_ptr<writer_iface>& writer) {
    TRACE_POINT;
    writer->written = 0;
    writer_ = writer;
    if (!log_enabled(LOG_LEVEL_DEBUG3)) return;
    const std::string own = name();
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/TextProto] %s: Custom writer set for %s body", own.c_str(),
           escape_log_text(command_name_).c_str());
}

void text_protocol_layer::set_file_writer(const char* path, bool append) {
    TRACE_POINT;
    FILE* file = fopen(path, append ? "a+b" : "w+b");
    if (!file) throw internal_parser_violation((std::string("cannot open file ") + path).c_str());
    writer_ = boost::make_shared<file_writer>(file);
    if (!log_enabled(LOG_LEVEL_DEBUG3)) return;
    const std::string own = name();
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/TextProto] %s: Store %s body to file \"%s\"", own.c_str(),
           escape_log_text(command_name_).c_str(), path);
}

void text_protocol_layer::set_mapped_file_writer(const boost::shared_ptr<boost::iostreams::mapped_file>& file,
                                                 uint64_t position) {
    TRACE_POINT;
    writer_ = boost::make_shared<mapped_file_writer>(file, position);
    if (!log_enabled(LOG_LEVEL_DEBUG3)) return;
    const std::string own = name();
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/TextProto] %s: Store %s body to memory mapped file", own.c_str(),
           escape_log_text(command_name_).c_str());
}

// ------------------------------------------------------------------ sending

uint32_t text_protocol_layer::number_and_log(request_queue& queue) {
    uint32_t given = 0;
    if (options_.sequence_numbering) {
        given = outgoing_counter_.fetch_add(1);
        char prefix[16];
        const int length = snprintf(prefix, sizeof prefix, "%u ", given);
        request_queue number = make_cloned_request(prefix, static_cast<size_t>(length));
        queue.push_front(number);
    }
    if (!log_enabled(LOG_LEVEL_TRACE3)) return given;
    const std::string own = name();
    const std::string line = escape_log_text(first_line(queue));
    LOG_AT(LOG_LEVEL_TRACE3, "[Layer/TextProto] %s: snd <%s>", own.c_str(), line.c_str());
    return given;
}

uint32_t text_protocol_layer::send_locked(request_queue& queue) {
    const uint32_t given = send_raw_.load() ? 0 : number_and_log(queue);
    // Sent while a command of this connection is handled: the daemon's own
    // answer to it, which the peer's reading has to make room for.
    if (parsing_here()) answered_here_ = true;
    lower_->send(queue);
    return given;
}

void text_protocol_layer::send(request_queue& queue) {
    TRACE_POINT;
    boost::recursive_mutex::scoped_lock guard(send_mutex_);
    send_locked(queue);
}

bool text_protocol_layer::send_framed(request_queue& queue, uint32_t* number) {
    TRACE_POINT;
    boost::recursive_mutex::scoped_lock guard(send_mutex_);
    if (send_raw_.load()) {
        queue.clear();
        return false;
    }
    const uint32_t given = send_locked(queue);
    if (number) *number = given;
    return true;
}

void text_protocol_layer::send_raw(request_queue& queue) {
    TRACE_POINT;
    boost::recursive_mutex::scoped_lock guard(send_mutex_);
    // Under the lock: a command numbered by another thread leaves before
    // these bytes, or not at all numbered after them.
    send_raw_.store(true);
    lower_->send(queue);
}

void text_protocol_layer::send_then_add_outcoming_filter(request_queue& queue,
                                                         const boost::shared_ptr<outcoming_filter>& filter) {
    TRACE_POINT;
    boost::recursive_mutex::scoped_lock guard(send_mutex_);
    if (!send_raw_.load()) number_and_log(queue);
    lower_->send_then_add_outcoming_filter(queue, filter);
}

void text_protocol_layer::send_then_disable_parser(request_queue& queue) {
    TRACE_POINT;
    // The parser first: the peer may answer in raw at once. Outside the
    // lock: made on the strand at once, the switch passes held bytes to the
    // raw-data slots, which may send.
    stop_parsing();
    boost::recursive_mutex::scoped_lock guard(send_mutex_);
    if (!send_raw_.load()) {
        number_and_log(queue);
        send_raw_.store(true);
    }
    lower_->send(queue);
}

void text_protocol_layer::disable_parser() {
    TRACE_POINT;
    {
        boost::recursive_mutex::scoped_lock guard(send_mutex_);
        send_raw_.store(true);
    }
    stop_parsing();
}

}  // namespace proto
}  // namespace io
