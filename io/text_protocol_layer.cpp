// Framing of incoming commands (six byte states plus a chunked body step),
// switches made by command slots in the middle of a delivery, and the
// forwarders to the layer below.
#include "io/text_protocol_layer.h"

#include <algorithm>
#include <cstdio>
#include <locale>

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

namespace {

const size_t max_header_size = 0x4000;
// Room for any 32-bit number with a generous run of leading zeros; without a
// bound a peer that never sends a blank would grow the text without limit.
const size_t max_sequence_text = 16;

const char header_lf_message[] = "didn`t got \\n symbol after \\r";
const char body_cr_message[] = "didn`t got \\r after command body";
const char body_lf_message[] = "didn`t got \\n after command body";

bool is_blank(char c) {
    // Looked up once: a lookup per header byte costs a dynamic_cast each time.
    static const std::ctype<char>& classic = std::use_facet<std::ctype<char>>(std::locale::classic());
    return classic.is(std::ctype_base::space, c);
}

/// One layer parsing a delivery on this thread; frames nest when a slot makes
/// another layer parse on the same thread.
struct parsing_frame {
    const text_protocol_layer* layer;
    const parsing_frame* outer;
};
thread_local const parsing_frame* tls_parsing = nullptr;

/// `data` through `filters`, newest first as the chain below runs them.
request_queue run_filters(const std::vector<boost::shared_ptr<incoming_filter>>& filters, request_queue& data) {
    request_queue out = std::move(data);
    for (auto it = filters.rbegin(); it != filters.rend() && !out.empty(); ++it) {
        request_queue next;
        try {
            next = (*it)->process(out);
        } catch (const incoming_filter_error& e) {
            // As in the chain below: the stream cannot be read on, so the connection ends.
            throw text_protocol_layer::internal_parser_violation(*e.what() ? e.what() : "incoming filter error");
        }
        out = std::move(next);
    }
    return out;
}

}  // namespace

// ------------------------------------------------------------------ states

class text_protocol_layer::st_init : public st_iface {
public:
    void on_char(text_protocol_layer& layer, char c) override;
};
class text_protocol_layer::st_params : public st_iface {
public:
    void on_char(text_protocol_layer& layer, char c) override;
};
class text_protocol_layer::st_params_r : public st_iface {
public:
    void on_char(text_protocol_layer& layer, char c) override;
};
class text_protocol_layer::st_body : public st_iface {
public:
    void on_char(text_protocol_layer&, char) override {}
};
class text_protocol_layer::st_body_want_r : public st_iface {
public:
    void on_char(text_protocol_layer& layer, char c) override;
};
class text_protocol_layer::st_body_want_n : public st_iface {
public:
    void on_char(text_protocol_layer& layer, char c) override;
};

// The states carry no data, so every layer shares one object of each.
text_protocol_layer::st_init text_protocol_layer::the_init;
text_protocol_layer::st_params text_protocol_layer::the_params;
text_protocol_layer::st_params_r text_protocol_layer::the_params_r;
text_protocol_layer::st_body text_protocol_layer::the_body;
text_protocol_layer::st_body_want_r text_protocol_layer::the_body_want_r;
text_protocol_layer::st_body_want_n text_protocol_layer::the_body_want_n;

void text_protocol_layer::st_init::on_char(text_protocol_layer& layer, char c) {
    if (c == ' ') {
        layer.parse_sequence_number();
        layer.header_.clear();
        layer.state_ = &the_params;
        return;
    }
    if (layer.sequence_text_.size() >= max_sequence_text)
        throw internal_parser_violation("sequence number longer than 16 characters");
    layer.sequence_text_.push_back(c);
}

void text_protocol_layer::st_params::on_char(text_protocol_layer& layer, char c) {
    if (c == '\r')
        layer.state_ = &the_params_r;
    else
        layer.header_.push_back(c);
}

void text_protocol_layer::st_params_r::on_char(text_protocol_layer& layer, char c) {
    if (c != '\n') throw internal_parser_violation(header_lf_message);
    layer.header_end();
}

void text_protocol_layer::st_body_want_r::on_char(text_protocol_layer& layer, char c) {
    if (c != '\r') throw internal_parser_violation(body_cr_message);
    layer.state_ = &the_body_want_n;
}

void text_protocol_layer::st_body_want_n::on_char(text_protocol_layer& layer, char c) {
    if (c != '\n') throw internal_parser_violation(body_lf_message);
    layer.command_end();
}

// ------------------------------------------------------------ construction

boost::shared_ptr<text_protocol_layer> text_protocol_layer::create(boost::asio::io_service& service,
                                                                   const text_protocol_layer_options& options) {
    TRACE_POINT;
    boost::shared_ptr<text_protocol_layer> layer(new text_protocol_layer(service, options));
    layer->lower_->set_events(boost::weak_ptr<transformation_layer_events>(layer));
    return layer;
}

text_protocol_layer::text_protocol_layer(boost::asio::io_service& service, const text_protocol_layer_options& options)
    : options_(options),
      lower_(transformation_layer::create(service, options)),
      outgoing_counter_(0),
      incoming_counter_(0),
      state_(&the_init),
      raw_mode_(0),
      raw_switched_here_(false) {
    reset_parser();
}

text_protocol_layer::~text_protocol_layer() {}

// -------------------------------------------------------------- forwarders

void text_protocol_layer::connect(const std::string& client_spec) { lower_->connect(client_spec); }
void text_protocol_layer::attach(const accepted_socket& socket) { lower_->attach(socket); }
void text_protocol_layer::disconnect() { lower_->disconnect(); }
std::string text_protocol_layer::name() const { return lower_->name(); }
void text_protocol_layer::set_idle_timeout(const boost::posix_time::time_duration& timeout) {
    lower_->set_idle_timeout(timeout);
}
transport_layer::strand_ptr text_protocol_layer::get_strand() const { return lower_->get_strand(); }
void text_protocol_layer::add_incoming_filter(const boost::shared_ptr<incoming_filter>& filter) {
    lower_->add_incoming_filter(filter);
    // The rest of the delivery in hand passed the chain before this filter joined it.
    if (parsing_here()) late_filters_.push_back(filter);
}
void text_protocol_layer::add_outcoming_filter(const boost::shared_ptr<outcoming_filter>& filter) {
    lower_->add_outcoming_filter(filter);
}
void text_protocol_layer::remove_all_filters() { lower_->remove_all_filters(); }
void text_protocol_layer::remove_incoming_filter() { lower_->remove_incoming_filter(); }
void text_protocol_layer::remove_outcoming_filter() { lower_->remove_outcoming_filter(); }
void text_protocol_layer::end_sending(const boost::function<void()>& done) { lower_->end_sending(done); }
void text_protocol_layer::pause_reading(unsigned reason) { lower_->pause_reading(reason); }
void text_protocol_layer::resume_reading(unsigned reason) { lower_->resume_reading(reason); }

// ------------------------------------------------------------------ events

void text_protocol_layer::on_connect(const boost::system::error_code& error) {
    TRACE_POINT;
    reset_to_init();
    sig_connected(error);
}

void text_protocol_layer::on_disconnect() {
    TRACE_POINT;
    outgoing_counter_.set(0);
    incoming_counter_ = 0;
    reset_to_init();
    sig_disconnected();
}

void text_protocol_layer::on_violation(const char* text) {
    TRACE_POINT;
    sig_violation(text);
}

void text_protocol_layer::on_send_congested() {
    if (backlog_handler_) backlog_handler_(true);
}

void text_protocol_layer::on_send_drained() {
    lower_->resume_reading(pause_own_backlog);
    if (backlog_handler_) backlog_handler_(false);
}

void text_protocol_layer::on_read_end() {
    TRACE_POINT;
    // A switch asked for before the end was seen hands on what it holds
    // first: the end passed on behind it would cut those bytes off.
    if (switch_asked_.load()) {
        request_queue none;
        finish_raw_switch(none);
    }
    if (read_end_handler_) read_end_handler_();
}

void text_protocol_layer::hold_back_for_answers() {
    if (!answered_here_) return;
    answered_here_ = false;
    // Paused under the sending lock, where the drain that resumes it is
    // told: a drain can neither slip in between the look and the pause.
    lower_->pause_reading_if_congested(pause_own_backlog);
}

void text_protocol_layer::on_data_arrived(request_queue& data) {
    TRACE_POINT;
    if (parser_off_) {
        pass_raw(data);
        return;
    }
    if (switch_asked_.load()) {
        // Asked from elsewhere since the last delivery: what the parser
        // holds goes first.
        finish_raw_switch(data);
        return;
    }
    // Every delivery parsed while the command under way may be the
    // daemon's own reply carries bytes of it: its header counts as much as
    // its body. Stamped only while such a reply is awaited.
    if (!own_reply_.empty() && !data.empty()) own_reply_stamp_ms_ = steady_ms();
    try {
        parse_delivery(data);
    } catch (const internal_parser_violation& e) {
        // The stream position is lost: nothing after this byte can be framed.
        reset_to_init();
        sig_violation(e.what());
        lower_->disconnect();
    } catch (...) {
        reset_to_init();
        throw;
    }
}

void text_protocol_layer::parse_delivery(request_queue& data) {
    struct scope {
        explicit scope(text_protocol_layer& layer) : layer_(layer), frame_{&layer, tls_parsing} {
            tls_parsing = &frame_;
        }
        ~scope() {
            tls_parsing = frame_.outer;
            layer_.raw_switched_here_ = false;
            layer_.late_filters_.clear();
        }
        text_protocol_layer& layer_;
        parsing_frame frame_;
    } guard(*this);

    request_queue rest, filtered;
    request_queue* current = &data;
    while (parse_until_switch(*current, rest)) {
        if (!late_filters_.empty()) {
            rest = run_filters(late_filters_, rest);
            late_filters_.clear();
        }
        if (raw_switched_here_) {
            // Raw is final: a command cut short by the switch is never completed.
            reset_to_init();
            parser_off_ = true;
            if (!rest.empty()) sig_raw_data(rest);
            return;
        }
        if (switch_asked_.load()) {
            // Asked from another thread at this point of the stream: the
            // command under way was handed to nobody yet, so it passes raw
            // with the rest.
            finish_raw_switch(rest);
            return;
        }
        filtered = std::move(rest);
        current = &filtered;
    }
}

bool text_protocol_layer::parse_until_switch(request_queue& data, request_queue& rest) {
    for (request_queue::request* r = data.front(); r; r = r->next()) {
        boost::asio::const_buffer buffer = r->const_buffer();
        const char* p = static_cast<const char*>(buffer.data());
        size_t left = buffer.size();
        while (left > 0) {
            size_t step = 1;
            try {
                if (state_ == &the_body) {
                    step = std::min<size_t>(*body_size_ - body_received(), left);
                    write_body_chunk(p, step);
                } else {
                    if (header_.size() > max_header_size)
                        throw internal_parser_violation("command header exceed maximum header size");
                    state_->on_char(*this, *p);
                }
            } catch (const text_protocol_error_shell_t& e) {
                // A handler rejected one command; the framing itself is intact.
                sig_violation(e.what());
            }
            p += step;
            left -= step;
            if (raw_switched_here_ || !late_filters_.empty() || switch_asked_.load(std::memory_order_relaxed)) {
                // Copied: the rest of this request is all that is kept of it.
                if (left > 0) rest = make_cloned_request(p, left);
                request_queue::request* const next = r->next();
                while (data.front() != next) data.pop_front();
                rest.push_back(data);
                return true;
            }
        }
    }
    return false;
}

bool text_protocol_layer::parsing_here() const {
    for (const parsing_frame* f = tls_parsing; f; f = f->outer)
        if (f->layer == this) return true;
    return false;
}

void text_protocol_layer::stop_parsing() {
    TRACE_POINT;
    if (!switch_asked_.exchange(true)) {
        raw_mode_.set_flag();
        if (log_enabled(LOG_LEVEL_TRACE3)) {
            const std::string own = name();
            LOG_AT(LOG_LEVEL_TRACE3, "[Layer/TextProto] %s: Protocol parser disabled, switch to raw mode",
                   own.c_str());
        }
    }
    // From a slot of the delivery being parsed: at this command, which the
    // slot has taken.
    if (parsing_here()) {
        raw_switched_here_ = true;
        return;
    }
    // Anywhere else the parser's state belongs to the strand: the switch is
    // made there, now when this is the strand, else as soon as it runs (a
    // delivery that comes first stops at its next step).
    request_queue none;
    transport_layer::strand_ptr strand = get_strand();
    if (strand->running_in_this_thread()) return finish_raw_switch(none);
    boost::weak_ptr<text_protocol_layer> self(shared_from_this());
    strand->post([self] {
        request_queue nothing;
        if (boost::shared_ptr<text_protocol_layer> layer = self.lock()) layer->finish_raw_switch(nothing);
    });
}

void text_protocol_layer::finish_raw_switch(request_queue& rest) {
    if (parser_off_) return pass_raw(rest);
    const bool in_header = state_ == &the_init || state_ == &the_params || state_ == &the_params_r;
    if (in_header && may_be_own_reply()) return read_own_header(rest);
    go_raw(writer_ || may_be_own_reply(), rest);
}

void text_protocol_layer::go_raw(bool own, request_queue& rest) {
    parser_off_ = true;
    if (own && state_ == &the_body) raw_skip_ = *body_size_ - body_received() + 2;
    if (own && state_ == &the_body_want_r) raw_skip_ = 2;
    if (own && state_ == &the_body_want_n) raw_skip_ = 1;
    request_queue held = own ? request_queue() : unhanded_bytes();
    reset_to_init();
    held.push_back(rest);
    pass_raw(held);
}

bool text_protocol_layer::may_be_own_reply() const {
    if (own_reply_.empty()) return false;
    // A sequence number may begin any command.
    if (state_ == &the_init) return !sequence_text_.empty();
    if (state_ != &the_params && state_ != &the_params_r) return command_name_ == own_reply_;
    const char* const end = header_.data() + header_.size();
    const char* const name = std::find_if_not(header_.data(), end, is_blank);
    const char* const name_end = std::find_if(name, end, is_blank);
    const size_t length = static_cast<size_t>(name_end - name);
    // A name the header may still lengthen need only begin the reply's.
    const bool growing = name_end == end && state_ == &the_params;
    return (growing ? length <= own_reply_.size() : length == own_reply_.size()) &&
           own_reply_.compare(0, length, name, length) == 0;
}

void text_protocol_layer::read_own_header(request_queue& data) {
    // Byte by byte: a header is short, and this runs only at the switch.
    while (!data.empty()) {
        boost::asio::const_buffer buffer = data.front()->const_buffer();
        const char* const p = static_cast<const char*>(buffer.data());
        for (size_t i = 0; i < buffer.size(); ++i) {
            const header_told told = own_header_step(p[i]);
            if (told == header_told::not_yet) continue;
            // A byte no header can hold passes raw with the rest.
            const size_t from = told == header_told::no_command ? i : i + 1;
            request_queue rest;
            if (from < buffer.size()) rest = make_cloned_request(p + from, buffer.size() - from);
            data.pop_front();
            rest.push_back(data);
            return go_raw(told == header_told::own, rest);
        }
        data.pop_front();
    }
    // Else the header waits for the next delivery; should the stream end
    // first, nothing of it passes.
}

text_protocol_layer::header_told text_protocol_layer::own_header_step(char c) {
    if (state_ == &the_params_r && c == '\n') {
        // The reply's header is whole: its body (with its CR LF) is skipped.
        parse_header();
        body_.clear();
        state_ = &the_body;
        if (!body_size_ || *body_size_ == 0) reset_to_init();
        return header_told::own;
    }
    try {
        if (header_.size() > max_header_size) throw internal_parser_violation("header too long");
        state_->on_char(*this, c);
    } catch (const internal_parser_violation&) {
        return header_told::no_command;
    }
    return may_be_own_reply() ? header_told::not_yet : header_told::other;
}

void text_protocol_layer::pass_raw(request_queue& data) {
    while (raw_skip_ > 0 && !data.empty()) {
        const size_t size = data.front()->size();
        if (size <= raw_skip_) {
            raw_skip_ -= size;
            data.pop_front();
            continue;
        }
        boost::asio::const_buffer buffer = data.front()->const_buffer();
        request_queue kept = make_cloned_request(static_cast<const char*>(buffer.data()) + raw_skip_,
                                                 size - static_cast<size_t>(raw_skip_));
        raw_skip_ = 0;
        data.pop_front();
        data.push_front(kept);
    }
    if (!data.empty()) sig_raw_data(data);
}

request_queue text_protocol_layer::unhanded_bytes() {
    request_queue held;
    // A body that goes to a writer is the daemon's own (a download's reply):
    // what came of it is in the writer already, and none of it is relayed.
    if (writer_) return held;
    std::string head = sequence_text_;
    if (state_ != &the_init) {
        head += ' ';
        head.append(header_.begin(), header_.end());
        if (state_ == &the_params_r)
            head += '\r';
        else if (state_ != &the_params)
            head += "\r\n";
    }
    if (!head.empty()) held = make_cloned_request(head.data(), head.size());
    if (state_ != &the_body && state_ != &the_body_want_r && state_ != &the_body_want_n) return held;
    if (!body_.empty()) {
        // Moved, not copied: a body can be as large as the body limit.
        boost::shared_ptr<std::vector<char>> body = boost::make_shared<std::vector<char>>(std::move(body_));
        held.push_back(make_sptr_request(boost::shared_ptr<void>(body, body->data()), body->size()));
    }
    if (state_ == &the_body_want_n) held.push_back(make_cloned_request("\r", 1));
    return held;
}

// ------------------------------------------------------------------ parser

void text_protocol_layer::parse_sequence_number() {
    char message[128];
    unsigned value = 0;
    try {
        value = boost::lexical_cast<unsigned int>(sequence_text_);
    } catch (const boost::bad_lexical_cast&) {
        snprintf(message, sizeof message, "cannot convert sequence number \"%s\" to uint",
                 escape_log_text(sequence_text_).c_str());
        throw internal_parser_violation(message);
    }
    if (value != incoming_counter_) {
        snprintf(message, sizeof message, "invalid sequence number %s, must be %u",
                 escape_log_text(sequence_text_).c_str(), incoming_counter_);
        throw internal_parser_violation(message);
    }
    ++incoming_counter_;
}

void text_protocol_layer::parse_header() {
    // Trimmed in place of erased: the header as received is kept whole.
    char* const data = header_.data();
    char* last = data + header_.size();
    while (last != data && is_blank(last[-1])) --last;
    char* const first = std::find_if_not(data, last, is_blank);
    if (first == last) throw internal_parser_violation("empty request without even command name");
    trimmed_first_ = static_cast<size_t>(first - data);
    trimmed_size_ = static_cast<size_t>(last - first);

    char* name_end = std::find_if(first, last, is_blank);
    command_name_.assign(first, name_end);
    char* token = std::find_if_not(name_end, last, is_blank);
    char* token_end = std::find_if(token, last, is_blank);
    char* args = token;
    const std::string second(token, token_end);
    if (second == "N") {
        body_size_ = 0u;
        args = std::find_if_not(token_end, last, is_blank);
    } else if (!second.empty() && second[0] == 'T') {
        unsigned size = 0;
        if (boost::conversion::try_lexical_convert<unsigned int>(second.substr(1), size)) {
            body_size_ = size;
            args = std::find_if_not(token_end, last, is_blank);
        }
    }
    arguments_ = args_range(args, last);
}

void text_protocol_layer::header_end() {
    parse_header();
    body_.clear();
    state_ = &the_body;
    const unsigned number = incoming_counter_ - 1;
    if (!body_size_ || *body_size_ == 0) {
        log_received();
        try {
            sig_cmd_begin(number, command_name_, body_size_, arguments_);
            sig_cmd_complete(number, command_name_, body_size_, arguments_, body_);
        } catch (...) {
            reset_to_init();
            hold_back_for_answers();
            throw;
        }
        reset_to_init();
        hold_back_for_answers();
        return;
    }
    try {
        sig_cmd_begin(number, command_name_, body_size_, arguments_);
    } catch (const text_protocol_error_shell_t&) {
        // A rejected command's body is still read, so it is bounded all the same.
        hold_body();
        throw;
    }
    hold_body();
}

void text_protocol_layer::hold_body() {
    if (writer_) {
        // Out of memory: the writer's own sink bounds it, and a download
        // shared by many agents must not stall behind one slow reader.
        read_through_body(true);
        return;
    }
    // A header may announce up to 4 GiB: refused here, before a byte of it is
    // buffered, or one peer could make the process hold gigabytes.
    if (*body_size_ > options_.body_memory_limit) {
        char message[160];
        snprintf(message, sizeof message, "command %.64s announces a body of %u bytes, above the limit of %u bytes",
                 escape_log_text(command_name_).c_str(), *body_size_, options_.body_memory_limit);
        throw internal_parser_violation(message);
    }
    if (*body_size_ > body_budget::small_body_bytes) {
        if (lower_->held_by_backlog()) {
            claim_deferred_ = true;
            return;
        }
        claim_budget();
        if (budget_paused_) return;
    }
    // Once, whole: growing by doubling would copy the body over and over.
    body_.reserve(*body_size_);
}

void text_protocol_layer::claim_budget() {
    const uint64_t serial = ++body_serial_;
    boost::weak_ptr<text_protocol_layer> self(shared_from_this());
    transport_layer::strand_ptr strand = get_strand();
    body_grant_ = body_budget::process_wide().request(*body_size_, [self, strand, serial] {
        strand->post([self, serial] {
            if (boost::shared_ptr<text_protocol_layer> layer = self.lock()) layer->on_body_granted(serial);
        });
    });
    if (body_grant_->granted()) {
        // A granted body is read to its end: it holds budget others may wait for.
        read_through_body(true);
        log_budget("granted room in");
        return;
    }
    // What this delivery (and a read already under way) still carries of the
    // body is kept; nothing more is read until the budget has room.
    budget_paused_ = true;
    lower_->pause_reading(pause_body_budget);
    log_budget("waits for room in");
}

void text_protocol_layer::log_budget(const char* outcome) {
    if (!log_enabled(LOG_LEVEL_DEBUG3)) return;
    // The name is the peer's text, quoted like the framing violation quotes it.
    LOG_AT(LOG_LEVEL_DEBUG3, "[Layer/TextProto] %s: %.64s body of %u bytes %s the body budget", name().c_str(),
           escape_log_text(command_name_).c_str(), *body_size_, outcome);
}

void text_protocol_layer::on_body_granted(uint64_t serial) {
    if (serial != body_serial_ || !budget_paused_ || !body_grant_ || !body_grant_->granted()) return;
    budget_paused_ = false;
    body_.reserve(*body_size_);
    read_through_body(true);
    log_budget("granted room in");
    lower_->resume_reading(pause_body_budget);
}

void text_protocol_layer::read_through_body(bool on) {
    if (reading_through_ == on) return;
    reading_through_ = on;
    lower_->read_through_body(on);
}

uint32_t text_protocol_layer::body_received() const {
    return writer_ ? writer_->written : static_cast<uint32_t>(body_.size());
}

void text_protocol_layer::write_body_chunk(const char* data, size_t length) {
    if (claim_deferred_ && !lower_->held_by_backlog()) {
        claim_deferred_ = false;
        claim_budget();
        if (!budget_paused_) body_.reserve(*body_size_);
    }
    if (writer_) {
        // Held here: a slot may replace the writer while it writes.
        boost::shared_ptr<writer_iface> writer = writer_;
        writer->write(data, length);
        writer->written += static_cast<uint32_t>(length);
    } else {
        body_.insert(body_.end(), data, data + length);
    }
    const uint32_t received = body_received();
    if (received == *body_size_) state_ = &the_body_want_r;
    sig_cmd_progress(*body_size_, received);
}

void text_protocol_layer::command_end() {
    log_received();
    try {
        sig_cmd_complete(incoming_counter_ - 1, command_name_, body_size_, arguments_, body_);
    } catch (...) {
        reset_to_init();
        hold_back_for_answers();
        throw;
    }
    reset_to_init();
    hold_back_for_answers();
}

void text_protocol_layer::reset_parser() {
    writer_.reset();
    // The body is handed on or dropped: its budget goes to whoever waits.
    body_grant_.reset();
    if (budget_paused_) {
        budget_paused_ = false;
        lower_->resume_reading(pause_body_budget);
    }
    read_through_body(false);
    claim_deferred_ = false;
    try {
        command_name_.clear();
    } catch (...) {
    }
    std::vector<char>().swap(body_);
    body_size_ = boost::none;
    arguments_ = args_range();
    sequence_text_.clear();
}

void text_protocol_layer::reset_to_init() {
    reset_parser();
    state_ = &the_init;
}

void text_protocol_layer::log_received() {
    if (!log_enabled(LOG_LEVEL_TRACE3)) return;
    const std::string own = name();
    std::string header;
    escape_log_text(header_.data() + trimmed_first_, trimmed_size_, header);
    if (options_.sequence_numbering)
        LOG_AT(LOG_LEVEL_TRACE3, "[Layer/TextProto] %s: rcv <%u %s>", own.c_str(), incoming_counter_ - 1,
               header.c_str());
    else
        LOG_AT(LOG_LEVEL_TRACE3, "[Layer/TextProto] %s: rcv <%s>", own.c_str(), header.c_str());
}

}  // namespace proto
}  // namespace io
