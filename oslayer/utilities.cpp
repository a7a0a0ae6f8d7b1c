// printf-style formatting into strings and the text of the last system error.
#include "utilities.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

const size_t first_pass = 1024;

void format_failed(std::string& out, const std::string& why) {
    try {
        out = "vsnprintf failed because of " + why;
    } catch (...) {
        // Nothing more can be said without memory; leave what is there.
    }
}

}  // namespace

void vformat_into(std::string& out, const char* fmt, va_list ap) {
    try {
        // One pass into a 1 KiB buffer serves almost every message; longer
        // texts are formatted a second time into a buffer of their length.
        out.resize(first_pass);
        va_list copy;
        va_copy(copy, ap);
        int n = vsnprintf(&out[0], first_pass, fmt, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) >= first_pass) {
            out.resize(static_cast<size_t>(n) + 1);
            va_copy(copy, ap);
            n = vsnprintf(&out[0], out.size(), fmt, copy);
            va_end(copy);
        }
        if (n < 0) {
            format_failed(out, get_last_error());
            return;
        }
        out.resize(static_cast<size_t>(n));
    } catch (const std::exception& e) {
        format_failed(out, e.what());
    }
}

std::string vformat_string(const char* fmt, va_list ap) {
    std::string out;
    vformat_into(out, fmt, ap);
    return out;
}

std::string format_string(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat_string(fmt, ap);
    va_end(ap);
    return out;
}

void format_into(std::string& out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vformat_into(out, fmt, ap);
    va_end(ap);
}

std::string get_last_error() {
    int saved;
    save_errno(saved);
    TRACE_POINT;
    std::string out;
    if (saved == 0) {
        out = "No errors detected";
    } else {
        char buf[256];
        const char* text = strerror_r(saved, buf, sizeof buf);  // GNU form: returns the text
        out = format_string("%s (errno=%d)", text, saved);
    }
    restore_errno(saved);
    return out;
}

void save_errno(int& saved) { saved = errno; }
void restore_errno(int saved) { errno = saved; }
int* errno_location() { return &errno; }

std::string pointer_to_string(const void* p) {
    char buf[32];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    // glibc prints %p as %#lx (or "(nil)"); the width pads it to eight places.
    snprintf(buf, sizeof buf, "%08lp", p);
#pragma GCC diagnostic pop
    return buf;
}
