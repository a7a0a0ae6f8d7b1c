// The handlers of the agent's commands, one class per command name, each
// registered before main in the agent side's table; every name without a
// class of its own is relayed upstream unchanged.
#pragma once

#include <string>
#include <vector>

#include "io/cmd_handler.h"
#include "proxy/cln_side_layer.h"

namespace cln_side {

/// Relays an agent command upstream: rebuilt under `name` with its marker,
/// argument text and body, numbered anew by the upstream side.
void relay_to_server(layer_t& layer, const std::string& name, bool binary, const args_range& args,
                     const std::vector<char>& body);

/// The default handler: relays the command under the name it arrived with.
class cmd_unknown_t : public io::proto::cmd_handler_base<cmd_unknown_t, layer_t, true> {
public:
    void begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
               const args_range& arguments) override;
    void end(std::vector<char>& body) override;

private:
    std::string name_;
};

}  // namespace cln_side
