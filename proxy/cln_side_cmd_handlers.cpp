#include "proxy/cln_side_cmd_handlers.h"

namespace cln_side {

void relay_to_server(layer_t& layer, const std::string& name, bool binary, const args_range& args,
                     const std::vector<char>& body) {
    io::request_queue queue = format_cmd(name, binary, args, body, boost::function<void(bool)>());
    layer.to_server_signal(queue);
}

void cmd_unknown_t::begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
                          const args_range& arguments) {
    cmd_handler_base::begin(number, name, size, arguments);
    name_ = name;
}

void cmd_unknown_t::end(std::vector<char>& body) {
    body_.swap(body);
    relay_to_server(*layer_, name_, size_.is_initialized(), arguments_, body_);
}

}  // namespace cln_side
