// An agent's ARQ_UPDATE: the argument text up to the first line feed, the
// body after it. Arguments are split and dequoted as the handler does, the
// body parsed into revision, integer and mask; anything else is refused with
// a protocol, number or quoting error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/text_protocol_error.h"
#include "oslayer/_kern.h"
#include "proxy/cln_side_cmd_handlers.h"
#include "proxy/cmd_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* const end = data + size;
    const uint8_t* const split = std::find(data, end, '\n');
    std::vector<char> arguments(data, split);
    const std::vector<char> body(split == end ? end : split + 1, end);
    try {
        const cmd_args::args_range range(arguments.data(), arguments.data() + arguments.size());
        const std::vector<std::string> words = cmd_args::command_words("ARQ_UPDATE", range, 1);
        if (words.empty()) std::abort();
    } catch (const io::proto::text_protocol_error_shell_t&) {
    } catch (const quoted_format_exception_shell_t&) {
    }
    try {
        const cln_side::update_request_body_t request = cln_side::parse_update_request_body(body);
        if (request.mask.size() > body.size()) std::abort();
    } catch (const io::proto::text_protocol_error_shell_t&) {
    } catch (const number_format_exception_shell_t&) {
    }
    return 0;
}
