#include "proxy/srv_side_cmd_handlers.h"

#include <locale>

#include <boost/shared_ptr.hpp>

#include "io/cmd_builder.h"
#include "io/detail/proto_utility.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/time-objs.h"
#include "proxy/proxy_connection.h"
#include "proxy/srv_side_machine.h"

namespace srv_side {

namespace {

/// Gives `event` to the machine, then relays under `name` through the relay
/// the event left in force.
template <class Event>
void step_and_relay(layer_t& layer, const Event& event, const char* name, bool binary,
                    const layer_t::args_range& args, std::vector<char>& body) {
    layer.machine().process_event(event);
    relay_command(layer, name, binary, args, body);
}

/// A word equal to "OK" whatever the letter case.
bool is_ok(const std::string& word) {
    const std::locale locale;
    return word.size() == 2 && std::toupper(word[0], locale) == 'O' && std::toupper(word[1], locale) == 'K';
}

}  // namespace

void relay_command(layer_t& layer, const std::string& name, bool binary, const layer_t::args_range& args,
                   std::vector<char>& body) {
    (*layer.current_relay())(name, binary, args, body);
}

void cmd_unknown_t::begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
                          const args_range& arguments) {
    cmd_handler_base::begin(number, name, size, arguments);
    name_ = name;
}

void cmd_unknown_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    try {
        // The event first: a command that ends the negotiation is already
        // relayed through the relay its new state chose.
        step_and_relay(*layer_, layer_t::ev_non_negotiation_cmd_t(), name_.c_str(), size_.is_initialized(),
                       arguments_, body_);
    } catch (...) {
        log_command_failure(layer_->name(), name_);
        throw;
    }
}

void cmd_protocol_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    try {
        std::vector<std::string> words = io::proto::split_arguments(arguments_);
        boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
        if (words.size() > 2 && owner) {
            // Both numbers first: a bad minor must not leave the major lowered.
            const int32_t major = word_to_int32(command_name, words[0]);
            const int32_t minor = word_to_int32(command_name, words[1]);
            const io::proto::option_set offers(words[2]);
            owner->lower_version(major);
            owner->lower_minor_version(minor);
            owner->restrict_offers(offers.contains("COMP"), offers.contains("CRYPT"));
        }
        step_and_relay(*layer_, layer_t::ev_negotiation_cmd_t(), command_name, size_.is_initialized(), arguments_,
                       body_);
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

void cmd_challenge_t::end(std::vector<char>& body) {
    body_.swap(body);
    step_and_relay(*layer_, layer_t::ev_negotiation_cmd_t(), command_name, size_.is_initialized(), arguments_,
                   body_);
}

void cmd_signature_t::end(std::vector<char>& body) {
    body_.swap(body);
    step_and_relay(*layer_, layer_t::ev_negotiation_cmd_t(), command_name, size_.is_initialized(), arguments_,
                   body_);
}

void cmd_gotit_t::end(std::vector<char>& body) {
    body_.swap(body);
    step_and_relay(*layer_, layer_t::ev_negotiation_cmd_t(), command_name, size_.is_initialized(), arguments_,
                   body_);
}

void cmd_authorize_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    try {
        std::vector<std::string> words = io::proto::split_arguments(arguments_);
        const bool binary = size_.is_initialized();
        if (!words.empty() && is_ok(words[0])) {
            boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
            // Without the pair nobody can tell what was offered: raw relaying
            // is the one way that cannot garble the stream.
            if (owner && !owner->crypt_allowed())
                step_and_relay(*layer_, layer_t::ev_authorize_ok_t(), command_name, binary, arguments_, body_);
            else
                step_and_relay(*layer_, layer_t::ev_switch_raw_t(), command_name, binary, arguments_, body_);
        } else {
            step_and_relay(*layer_, layer_t::ev_negotiation_cmd_t(), command_name, binary, arguments_, body_);
        }
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

io::request_queue build_pong(const std::vector<std::string>& words, bool with_time) {
    io::proto::cmd_builder pong("PONG", false);
    if (!words.empty()) pong.append_argument(words[0]);
    // 64-bit decimal: append_number would cut it to a 32-bit long.
    if (with_time) pong.append_argument(std::to_string(static_cast<uint64_t>(timestamp_t::now().ticks)));
    return pong.build();
}

void cmd_ping_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
    if (!owner) return;
    try {
        io::request_queue pong = build_pong(io::proto::split_arguments(arguments_), owner->version_at_least(2, 4));
        layer_->send_text(pong);
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

io::request_queue build_config(const std::vector<std::string>& words, uint32_t agent_number) {
    io::proto::cmd_builder config("CONFIG", false);
    config.append_number(agent_number);
    for (size_t i = 1; i < words.size(); ++i) config.append_argument(words[i]);
    return config.build();
}

void cmd_config_t::end(std::vector<char>& body) {
    TRACE_POINT;
    body_.swap(body);
    try {
        std::vector<std::string> words = command_words(command_name, arguments_, 2);
        boost::shared_ptr<proxy_connection_t> owner = layer_->owner().lock();
        // Converted before the event: a broken CONFIG changes nothing.
        const uint32_t id = word_to_uint32(command_name, words[1]);
        io::request_queue config;
        // An id no GETCONFIG asked for gives -1, which the agent reads as 4294967295.
        if (owner) config = build_config(words, static_cast<uint32_t>(owner->take_config_id(id)));
        layer_->machine().process_event(layer_t::ev_non_negotiation_cmd_t());
        // With the pair gone the answer has nowhere to go.
        if (!owner) return;
        // The rebuilt command reaches the agent framed in any case; when it
        // has just turned the server side raw, the agent side follows right
        // behind it, or the server's raw bytes would reach the agent numbered.
        if (layer_->current_relay() == &layer_->relay_disable_parser)
            owner->forward_to_client_then_raw(config);
        else
            owner->forward_raw_to_client(config);
    } catch (...) {
        log_command_failure(layer_->name(), command_name);
        throw;
    }
}

}  // namespace srv_side
