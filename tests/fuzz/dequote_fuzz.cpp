// Argument escaping: any token dequotes or raises the quoting error without
// growing, and any byte string survives escape then dequote unchanged as
// one printable, blank-free token.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oslayer/_kern.h"
#include "oslayer/amtypes.h"
#include "oslayer/utilities.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    std::string out;
    try {
        dequote_string(lstr_t(size, bytes), out);
        check(out.size() <= size);
    } catch (const quoted_format_exception_shell_t&) {
    }

    std::string token;
    escape_string(bytes, size, token);
    check(!token.empty());
    for (char c : token) check(c > ' ' && c < 127);
    std::string back;
    dequote_string(lstr_t(token), back);
    check(back.size() == size && (size == 0 || std::memcmp(back.data(), bytes, size) == 0));
    return 0;
}
