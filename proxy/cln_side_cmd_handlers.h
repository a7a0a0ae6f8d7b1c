// The handlers of the agent's commands, one class per command name, each
// registered before main in the agent side's table. Most are relayed
// upstream, rebuilt; PROTOCOL and GETCONFIG note what the pair needs first;
// ANF_STATE and ARQ_UPDATE go to the proxy connection instead; the agent's
// PONG, ALIVE and ACK_RANGE end at the proxy; every name without a class of
// its own is relayed unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/cmd_handler.h"
#include "proxy/cln_side_layer.h"

namespace cln_side {

/// Relays an agent command upstream: rebuilt under `name` with its marker,
/// argument text and body (taken over, not copied), numbered anew by the
/// upstream side.
void relay_to_server(layer_t& layer, const std::string& name, bool binary, const args_range& args,
                     std::vector<char>&& body);

/// Logs an error that is leaving the handler of the agent's `command` and
/// will end the agent's connection; protocol errors are left to the
/// violation log. Call only inside a catch block.
void log_command_failure(const std::string& connection, const std::string& command);

/// What an ARQ_UPDATE body asks for: "<revision> <integer> <mask>".
struct update_request_body_t {
    unsigned long long revision = 0;
    int32_t integer = 0;
    /// One character per file of the announced list, '1' for a wanted file.
    std::vector<char> mask;
};

/// Parses an ARQ_UPDATE body, split at every single blank. An empty body or
/// one without the integer is a protocol error; a revision or integer that
/// is not wholly a number (an empty one too) raises number_format_exception.
/// The mask ends at the next blank; without a third token it is empty.
update_request_body_t parse_update_request_body(const std::vector<char>& body);

/// The default handler: relays the command under the name it arrived with.
class cmd_unknown_t : public io::proto::cmd_handler_base<cmd_unknown_t, layer_t, true> {
public:
    void begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
               const args_range& arguments) override;
    void end(std::vector<char>& body) override;

private:
    std::string name_;
};

/// Lowers the negotiated version and narrows the offers, then is relayed.
class cmd_protocol_t : public io::proto::cmd_handler_base<cmd_protocol_t, layer_t> {
public:
    static constexpr const char* command_name = "PROTOCOL";
    void end(std::vector<char>& body) override;
};

/// Handed to the proxy connection, which records the platform and sends it on.
class cmd_anf_state_t : public io::proto::cmd_handler_base<cmd_anf_state_t, layer_t> {
public:
    static constexpr const char* command_name = "ANF_STATE";
    void end(std::vector<char>& body) override;
};

/// The agent asks for update files; answered from the cache, never relayed.
class cmd_arq_update_t : public io::proto::cmd_handler_base<cmd_arq_update_t, layer_t> {
public:
    static constexpr const char* command_name = "ARQ_UPDATE";
    void end(std::vector<char>& body) override;
};

/// Consumed: the proxy itself sent the ranges it acknowledges.
class cmd_ack_range_t : public io::proto::cmd_handler_base<cmd_ack_range_t, layer_t> {
public:
    static constexpr const char* command_name = "ACK_RANGE";
    void end(std::vector<char>& body) override;
};

/// Consumed: the answer to the proxy's own PING.
class cmd_pong_t : public io::proto::cmd_handler_base<cmd_pong_t, layer_t> {
public:
    static constexpr const char* command_name = "PONG";
    void end(std::vector<char>& body) override;
};

/// Consumed: the agent's keep-alive toward the proxy.
class cmd_alive_t : public io::proto::cmd_handler_base<cmd_alive_t, layer_t> {
public:
    static constexpr const char* command_name = "ALIVE";
    void end(std::vector<char>& body) override;
};

/// Relayed framed; everything the agent sends after it passes unparsed.
class cmd_install_t : public io::proto::cmd_handler_base<cmd_install_t, layer_t> {
public:
    static constexpr const char* command_name = "INSTALL";
    void end(std::vector<char>& body) override;
};

/// As INSTALL.
class cmd_installex_t : public io::proto::cmd_handler_base<cmd_installex_t, layer_t> {
public:
    static constexpr const char* command_name = "INSTALLEX";
    void end(std::vector<char>& body) override;
};

/// Remembers which agent command asked for the configuration id, so the
/// server's CONFIG goes back under it, then is relayed.
class cmd_get_config_t : public io::proto::cmd_handler_base<cmd_get_config_t, layer_t> {
public:
    static constexpr const char* command_name = "GETCONFIG";
    void end(std::vector<char>& body) override;
};

}  // namespace cln_side
