#include "proxy/srv_side_update_handlers.h"

#include <locale>
#include <typeinfo>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "cache/cache_download_ctx.h"
#include "io/alive_sender.h"
#include "io/cmd_builder.h"
#include "io/detail/binders.h"
#include "io/text_protocol_error.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"
#include "proxy/proxy_connection.h"
#include "proxy/srv_side_cmd_handlers.h"
#include "proxy/srv_side_machine.h"

namespace srv_side {

boost::posix_time::time_duration cmd_srs_update_t::alive_interval = boost::posix_time::seconds(20);

namespace {

const char snf_update[] = "SNF_UPDATE";
const char srs_update[] = "SRS_UPDATE";

bool is_space(char c) { return std::isspace(c, std::locale()); }

/// A file line for an error message: escaped, so control bytes stay readable.
std::string shown(const std::string& line) { return escape_string(line).substr(0, 80); }

/// One "size md5 name" line; `number` is its line number in the body.
cache::file_info_t parse_file_line(const std::string& line, size_t number) {
    size_t i = 0;
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size() || line[i] < '0' || line[i] > '9')
        D_THROW(io::proto::text_protocol_error, "SNF_UPDATE refused: file line %u \"%s\" does not start with a size",
                static_cast<unsigned>(number), shown(line).c_str());
    const size_t digits = i;
    uint64_t size = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        size = size * 10 + static_cast<uint64_t>(line[i] - '0');
        // The cache keeps sizes in 32 bits; a larger one would be cut silently.
        if (size > 0xFFFFFFFFu)
            D_THROW(io::proto::text_protocol_error, "SNF_UPDATE refused: file size on line %u \"%s\" exceeds 32 bits",
                    static_cast<unsigned>(number), shown(line.substr(digits)).c_str());
    }
    cache::file_info_t info;
    info.size = static_cast<uint32_t>(size);
    while (i < line.size() && is_space(line[i])) ++i;
    const size_t md5_start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    info.md5 = line.substr(md5_start, i - md5_start);
    size_t last = line.size();
    while (i < last && is_space(line[i])) ++i;
    while (last > i && is_space(line[last - 1])) --last;
    info.name = line.substr(i, last - i);
    return info;
}

/// The download as the body sink, logging what it raises: a wrong MD5 or a
/// failed write ends the upstream connection, which the layers below report
/// only at trace level. Held weakly: a download given up for lack of progress
/// ends at once (its agents are served elsewhere), and the rest of its body,
/// should it still come, is dropped. An empty download drops the body whole.
class logged_sink_t : public io::proto::text_protocol_layer::writer_iface {
public:
    logged_sink_t(const boost::shared_ptr<download_context_t>& download, const boost::weak_ptr<layer_t>& layer,
                  const std::string& connection)
        : download_(download), layer_(layer), connection_(connection) {}
    void write(const char* data, size_t length) override {
        // Progress also of a given-up download's reply: an agent's switch
        // to raw waits for it by the same limit.
        if (length > 0)
            if (boost::shared_ptr<layer_t> layer = layer_.lock()) layer->note_download_progress();
        boost::shared_ptr<download_context_t> download = download_.lock();
        if (!download) return;
        try {
            download->write(data, length);
        } catch (...) {
            log_command_failure(connection_, srs_update);
            throw;
        }
    }

private:
    boost::weak_ptr<download_context_t> download_;
    boost::weak_ptr<layer_t> layer_;
    // A name, not only the layer: the stack below may still deliver a piece
    // while the layer is being released on another thread.
    std::string connection_;
};

}  // namespace

snf_update_body_t parse_snf_update_body(const std::vector<char>& body) {
    std::vector<std::string> lines;
    std::vector<char>::const_iterator start = body.begin();
    for (std::vector<char>::const_iterator it = body.begin(); it != body.end(); ++it) {
        if (*it != '\n') continue;
        lines.emplace_back(start, it);
        start = it + 1;
    }
    if (start != body.end()) lines.emplace_back(start, body.end());
    if (lines.size() < 2)
        D_THROW(number_format_exception, "SNF_UPDATE body has %u line(s), needs a revision and an announcement line",
                static_cast<unsigned>(lines.size()));
    snf_update_body_t parsed;
    parsed.revision = word_to_uint64(snf_update, lines[0]);
    parsed.announcement = word_to_int32(snf_update, lines[1]);
    parsed.files.reserve(lines.size() - 2);
    for (size_t i = 2; i < lines.size(); ++i) parsed.files.push_back(parse_file_line(lines[i], i + 1));
    return parsed;
}

void parse_range_token(const std::string& token, uint32_t& start, uint32_t& end) {
    const std::string numbers = token.empty() ? std::string() : token.substr(1);
    const size_t colon = numbers.find(':');
    const size_t next = colon == std::string::npos ? numbers.size() : colon + 1;
    start = word_to_uint32(srs_update, numbers.substr(0, colon));
    // Without ':' the end piece is empty, and so not a number.
    end = word_to_uint32(srs_update, numbers.substr(next, numbers.find(':', next) - next));
}

uint32_t parse_size_token(const std::string& token) {
    return word_to_uint32(srs_update, token.empty() ? std::string() : token.substr(1));
}

void cmd_snf_update_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    try {
        // Before any parsing: during the negotiation even a broken
        // announcement is a command that turns the relaying raw.
        layer_->machine().process_event(layer_t::ev_non_negotiation_cmd_t());
        std::vector<std::string> words = command_words(command_name, arguments_, 1);
        if (body_.empty())
            D_THROW(io::proto::text_protocol_error, "SNF_UPDATE for %s refused: it has no body",
                    escape_log_text(words[0]).c_str());
        if (body_.back() == '\n') body_.pop_back();
        snf_update_body_t parsed = parse_snf_update_body(body_);
        layer_->snf_update_signal(words[0], parsed.revision, parsed.announcement, parsed.files, arguments_, body_);
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

void cmd_srs_update_t::begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
                             const args_range& arguments) {
    TRACE_POINT;
    cmd_handler_base::begin(number, name, size, arguments);
    try {
        boost::shared_ptr<download_context_t> download = layer_->running_download();
        // The reply to a download given up for lack of progress may still
        // come: its body is dropped, the connection stays.
        if (!download && !layer_->reply_abandoned()) D_THROW(io::proto::text_protocol_error, "unexpected SRS_UPDATE");
        download_ = download;
        boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
        if (!owner) return;
        // Kept for the end: the agent's PROTOCOL may lower the version in
        // between, and this reply is read as the version it was sent for.
        ranged_ = owner->version_at_least(2, 9);
        std::vector<std::string> words = command_words(command_name, arguments_, ranged_ ? 3 : 1);
        request_id_ = words[0];
        if (ranged_) {
            range_token_ = words[1];
            size_token_ = words[2];
            parse_range_token(range_token_, range_start_, range_end_);
            total_size_ = parse_size_token(size_token_);
        }
        // Piece by piece into the files as the bytes arrive, never whole in memory.
        layer_->lower()->set_custom_writer(
            boost::make_shared<logged_sink_t>(download, layer_->weak_self(), layer_->name()));
        watchers_.push_back(io::proto::alive_sender::create(
            layer_->lower()->get_strand()->context(), "update",
            io::detail::make_weak_binder(&layer_t::send_text, layer_->weak_self()), alive_interval));
        accepted_ = true;
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

void cmd_srs_update_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    // A refused reply was reported at its begin; its body is dropped.
    if (!accepted_) return;
    boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
    if (!owner) return;
    try {
        layer_->expect_reply(false);
        if (ranged_) {
            if (range_end_ != total_size_ && layer_->agent_switch_waits()) {
                // The acknowledgement would ask for the next range, whose
                // reply would meet the agent's raw stream.
                layer_->switch_for_agent();
                return;
            }
            io::proto::cmd_builder ack("ACK_RANGE", false);
            ack.append_number(number_);
            ack.append_argument(range_token_);
            io::request_queue queue = ack.build();
            layer_->send_text(queue);
            // More ranges follow; the same download takes them.
            if (range_end_ != total_size_) return layer_->expect_reply(true);
        }
        boost::shared_ptr<download_context_t> download = download_.lock();
        if (!download || download != layer_->running_download()) {
            // The reply of a download given up meanwhile (before or during
            // this command): it is over, nothing is completed.
            layer_->abandoned_reply_ended();
            return layer_->switch_if_nothing_owed();
        }
        download->set_completed(true);
        layer_->machine().process_event(layer_t::ev_download_done_t());
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

}  // namespace srv_side
