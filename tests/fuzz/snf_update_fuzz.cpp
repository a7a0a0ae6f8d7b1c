// SNF_UPDATE bodies as the server sends them: any body gives a file list with
// one entry per file line, or a number or protocol error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "io/text_protocol_error.h"
#include "oslayer/_kern.h"
#include "proxy/srv_side_update_handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> body(data, data + size);
    try {
        const srv_side::snf_update_body_t parsed = srv_side::parse_snf_update_body(body);
        size_t lines = 1;
        for (size_t i = 0; i + 1 < size; ++i) lines += body[i] == '\n';
        if (parsed.files.size() != lines - 2) std::abort();
    } catch (const number_format_exception_shell_t&) {
    } catch (const io::proto::text_protocol_error_shell_t&) {
    }
    return 0;
}
