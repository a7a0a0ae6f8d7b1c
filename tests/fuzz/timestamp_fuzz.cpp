// The two time-stamp forms read from peers and files: the compact
// "YYYYMMDDhhmmssmmm" and RFC 1123. What parses must format back into a text
// that parses to the same instant.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oslayer/_kern.h"
#include "oslayer/amtypes.h"
#include "oslayer/time-objs.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void compact_form(const std::string& text) {
    timestamp_t t;
    try {
        t = timestamp_t(text);
    } catch (const number_format_exception_shell_t&) {
        return;
    }
    if (t.ticks <= 0) return;
    std::string again;
    format_compact(t, again);
    check(timestamp_t(again) == t);
}

void rfc1123_form(const uint8_t* data, size_t size) {
    timestamp_t t;
    try {
        t = timestamp_t(lstr_t(size, reinterpret_cast<const char*>(data)));
    } catch (const timestamp_format_exception_shell_t&) {
        return;
    }
    if (t.ticks <= 0) return;
    std::string again;
    format_rfc1123_gmt(t, again);
    check(timestamp_t(lstr_t(again)) == t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    compact_form(std::string(reinterpret_cast<const char*>(data), size));
    rfc1123_form(data, size);
    return 0;
}
