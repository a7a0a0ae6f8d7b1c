#include "proxy/cln_side_cmd_handlers.h"

#include <algorithm>
#include <string>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "io/detail/proto_utility.h"
#include "io/text_protocol_error.h"
#include "oslayer/_kern.h"
#include "oslayer/utilities.h"
#include "proxy/cmd_args.h"
#include "proxy/proxy_connection.h"

namespace cln_side {

namespace {

const char arq_update[] = "ARQ_UPDATE";

/// Runs one handler's work; an error leaving it is logged before it ends
/// the agent's connection.
template <class Work>
void logged(layer_t& layer, const char* command, Work work) {
    try {
        work();
    } catch (...) {
        log_command_failure(layer.name(), command);
        throw;
    }
}

/// A body for an error message: escaped, so control bytes stay readable.
std::string shown(const std::vector<char>& body) {
    return escape_string(std::string(body.begin(), body.begin() + std::min<size_t>(body.size(), 80)));
}

}  // namespace

void relay_to_server(layer_t& layer, const std::string& name, bool binary, const args_range& args,
                     std::vector<char>&& body) {
    io::request_queue queue = format_cmd(name, binary, args, std::move(body), boost::function<void(bool)>());
    layer.to_server_signal(queue);
}

void log_command_failure(const std::string& connection, const std::string& command) {
    cmd_args::log_command_failure("[Layer/ClnSide] ", connection, command, "the agent");
}

update_request_body_t parse_update_request_body(const std::vector<char>& body) {
    if (body.empty()) D_THROW(io::proto::text_protocol_error, "ARQ_UPDATE refused: it has no body");
    // Every single blank separates: two in a row give an empty token, which
    // is no number.
    std::vector<std::string> tokens;
    std::vector<char>::const_iterator start = body.begin();
    while (tokens.size() < 3) {
        std::vector<char>::const_iterator blank = std::find(start, body.end(), ' ');
        tokens.emplace_back(start, blank);
        if (blank == body.end()) break;
        start = blank + 1;
    }
    if (tokens.size() < 2)
        D_THROW(io::proto::text_protocol_error, "ARQ_UPDATE refused: body \"%s\" has no integer after the revision",
                shown(body).c_str());
    update_request_body_t parsed;
    parsed.revision = cmd_args::word_to_uint64(arq_update, tokens[0]);
    parsed.integer = cmd_args::word_to_int32(arq_update, tokens[1]);
    if (tokens.size() == 3) parsed.mask.assign(tokens[2].begin(), tokens[2].end());
    return parsed;
}

void cmd_unknown_t::begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
                          const args_range& arguments) {
    cmd_handler_base::begin(number, name, size, arguments);
    name_ = name;
}

void cmd_unknown_t::end(std::vector<char>& body) {
    body_.swap(body);
    relay_to_server(*layer_, name_, size_.is_initialized(), arguments_, std::move(body_));
}

void cmd_protocol_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    logged(*layer_, command_name, [this] {
        std::vector<std::string> words = io::proto::split_arguments(arguments_);
        boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
        if (words.size() > 2 && owner) {
            // Both numbers first: a bad minor must not leave the major lowered.
            const int32_t major = cmd_args::word_to_int32(command_name, words[0]);
            const int32_t minor = cmd_args::word_to_int32(command_name, words[1]);
            const io::proto::option_set offers(words[2]);
            owner->lower_version(major);
            owner->lower_minor_version(minor);
            owner->restrict_offers(offers.contains("COMP"), offers.contains("CRYPT"));
        }
        relay_to_server(*layer_, command_name, size_.is_initialized(), arguments_, std::move(body_));
    });
}

void cmd_anf_state_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    logged(*layer_, command_name, [this] {
        const std::vector<std::string> words = cmd_args::command_words(command_name, arguments_, 1);
        layer_->anf_state_signal(words[0], words);
    });
}

void cmd_arq_update_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    logged(*layer_, command_name, [this] {
        const std::vector<std::string> words = cmd_args::command_words(command_name, arguments_, 1);
        const update_request_body_t request = parse_update_request_body(body_);
        // The agent's own number of this command is the id its reply carries.
        layer_->arq_update_signal(number_, words[0], request.revision, request.integer, request.mask);
    });
}

void cmd_ack_range_t::end(std::vector<char>& body) {
    body_.swap(body);
    // Whatever else an agent writes here is consumed as it always was, never refused.
    try {
        const std::vector<std::string> words = io::proto::split_arguments(arguments_);
        if (words.size() >= 2) layer_->range_acknowledged(cmd_args::word_to_uint32(command_name, words[0]), words[1]);
    } catch (const d_exception_t_shell_t&) {
    }
}

void cmd_pong_t::end(std::vector<char>& body) { body_.swap(body); }

void cmd_alive_t::end(std::vector<char>& body) { body_.swap(body); }

namespace {

/// INSTALL and INSTALLEX: the command still travels framed, then the agent's
/// bytes pass unparsed.
void relay_then_switch_to_raw(layer_t& layer, const char* name, bool binary, const args_range& args,
                              std::vector<char>&& body) {
    boost::shared_ptr<proxy_connection_t> owner = layer.owner().lock();
    if (!owner) return relay_to_server(layer, name, binary, args, std::move(body));
    io::request_queue queue = format_cmd(name, binary, args, std::move(body), boost::function<void(bool)>());
    owner->switch_to_raw(queue);
}

}  // namespace

void cmd_install_t::end(std::vector<char>& body) {
    body_.swap(body);
    relay_then_switch_to_raw(*layer_, command_name, size_.is_initialized(), arguments_, std::move(body_));
}

void cmd_installex_t::end(std::vector<char>& body) {
    body_.swap(body);
    relay_then_switch_to_raw(*layer_, command_name, size_.is_initialized(), arguments_, std::move(body_));
}

void cmd_get_config_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    logged(*layer_, command_name, [this] {
        // Without the pair there is no map to fill; the command still goes on.
        if (boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock()) {
            const std::vector<std::string> words = cmd_args::command_words(command_name, arguments_, 1);
            owner->put_config_id(number_, cmd_args::word_to_uint32(command_name, words[0]));
        }
        relay_to_server(*layer_, command_name, size_.is_initialized(), arguments_, std::move(body_));
    });
}

}  // namespace cln_side
