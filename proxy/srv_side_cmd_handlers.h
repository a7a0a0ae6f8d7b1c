// Handlers of the commands the upstream server sends during and around the
// negotiation. Each class registers itself under its command name in the
// server side's registry before main; the default class takes every name
// nobody registered. They watch the negotiation without originating it: they
// tell the machine what arrived, keep the pair's negotiated state up to date
// and relay the command to the agent, except PING, which the proxy answers
// itself, and CONFIG, which goes back under the agent's own command number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "io/cmd_handler.h"
#include "proxy/cmd_args.h"
#include "proxy/srv_side_layer.h"

namespace srv_side {

/// Emits the relay signal in force, so the command reaches the agent the way
/// the machine's current state chose; the body is taken over.
void relay_command(layer_t& layer, const std::string& name, bool binary, const layer_t::args_range& args,
                   std::vector<char>& body);

// The shared checks and conversions of command words.
using cmd_args::command_words;
using cmd_args::word_to_int32;
using cmd_args::word_to_uint32;
using cmd_args::word_to_uint64;

/// Logs an error that is leaving a handler of `command` on upstream
/// `connection` and will end that connection; protocol errors are left to
/// the violation log. Call only inside a catch block.
inline void log_command_failure(const std::string& connection, const std::string& command) {
    cmd_args::log_command_failure("[Layer/SrvSide] ", connection, command, "the server");
}

/// Every unregistered server command: a non-negotiation event, then relayed
/// under the name it came with.
class cmd_unknown_t : public io::proto::cmd_handler_base<cmd_unknown_t, layer_t, true> {
public:
    void begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
               const args_range& arguments) override;
    void end(std::vector<char>& body) override;

private:
    std::string name_;
};

/// The server's PROTOCOL: lowers the negotiated version and narrows the
/// offers, then is relayed.
class cmd_protocol_t : public io::proto::cmd_handler_base<cmd_protocol_t, layer_t> {
public:
    static constexpr const char* command_name = "PROTOCOL";
    void end(std::vector<char>& body) override;
};

/// Relayed as a negotiation step; its arguments are not looked at.
class cmd_challenge_t : public io::proto::cmd_handler_base<cmd_challenge_t, layer_t> {
public:
    static constexpr const char* command_name = "CHALLENGE";
    void end(std::vector<char>& body) override;
};

/// Relayed as a negotiation step; its arguments are not looked at.
class cmd_signature_t : public io::proto::cmd_handler_base<cmd_signature_t, layer_t> {
public:
    static constexpr const char* command_name = "SIGNATURE";
    void end(std::vector<char>& body) override;
};

/// Relayed as a negotiation step; its arguments are not looked at.
class cmd_gotit_t : public io::proto::cmd_handler_base<cmd_gotit_t, layer_t> {
public:
    static constexpr const char* command_name = "GOTIT";
    void end(std::vector<char>& body) override;
};

/// "OK" ends the negotiation: compressed relaying, or raw relaying when both
/// sides offered encryption; anything else is one more negotiation step.
class cmd_authorize_t : public io::proto::cmd_handler_base<cmd_authorize_t, layer_t> {
public:
    static constexpr const char* command_name = "AUTHORIZE";
    void end(std::vector<char>& body) override;
};

/// Answered with PONG by the proxy and never relayed.
class cmd_ping_t : public io::proto::cmd_handler_base<cmd_ping_t, layer_t> {
public:
    static constexpr const char* command_name = "PING";
    void end(std::vector<char>& body) override;
};

/// The answer to an agent's GETCONFIG, sent on to the agent under the
/// agent's own number of that GETCONFIG, without marker or body.
class cmd_config_t : public io::proto::cmd_handler_base<cmd_config_t, layer_t> {
public:
    static constexpr const char* command_name = "CONFIG";
    void end(std::vector<char>& body) override;
};

/// The PONG that answers a PING whose words are `words`; with the current
/// time when the negotiated version asks for it.
io::request_queue build_pong(const std::vector<std::string>& words, bool with_time);
/// The CONFIG for the agent: `agent_number` in place of the server's word 1,
/// then the server's words 2 on.
io::request_queue build_config(const std::vector<std::string>& words, uint32_t agent_number);

}  // namespace srv_side
