// Numbers to text and text to numbers, with the messages users see when a
// configured or received number cannot be read.
#include "utilities.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace {

const size_t num_buffer = 128;
const size_t hex_buffer = 32;

/// Formats one value into a stack buffer; a text that does not fit (a huge
/// floating value prints hundreds of digits) is formatted again at full
/// length rather than handed back cut short.
template <typename T>
void print_number(std::string& out, const char* fmt, T v) {
    char buf[num_buffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = snprintf(buf, sizeof buf, fmt, v);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf) {
        out.assign(buf, static_cast<size_t>(n));
        return;
    }
    format_into(out, fmt, v);
#pragma GCC diagnostic pop
}

template <typename T>
std::string printed(const char* fmt, T v) {
    std::string out;
    print_number(out, fmt, v);
    return out;
}

// ---------------------------------------------------- parsing primitives

/// The parse of a decimal text before it is narrowed to the caller's type.
struct parsed_number_t {
    d_uint64_t integer = 0;
    long double fraction = 0;  // integer part plus the fraction digits
    d_int64_t exponent = 0;
    bool negative = false;
    bool has_fraction = false;
    bool has_exponent = false;
};

[[noreturn]] void illegal_char(const std::string& s, size_t i) {
    // The byte goes through a plain char, so bytes above 127 print
    // sign-extended (\xffffffe9) as the message always has.
    D_THROW(number_format_exception, "illegal char \\x%02x in string \"%s\" at position %d",
            static_cast<int>(static_cast<signed char>(s[i])), s.c_str(), static_cast<int>(i + 1));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// Reads "[+-]digits" after an 'E' at `e`; returns the index past the digits.
size_t parse_exponent(const std::string& s, size_t e, parsed_number_t& r) {
    size_t i = e + 1;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size() || !is_digit(s[i])) {
        // A sign with no digits is no exponent either; "3E+" is not 3.
        if (i >= s.size())
            D_THROW(number_format_exception, "no exponent present in string \"%s\" after 'E' at position %d",
                    s.c_str(), static_cast<int>(e + 1));
        illegal_char(s, i);
    }
    // Far beyond any long double range; capping keeps the counter defined.
    const d_int64_t cap = 1000000;
    d_int64_t value = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) value = std::min(cap, value * 10 + (s[i] - '0'));
    r.exponent = negative ? -value : value;
    r.has_exponent = true;
    return i;
}

parsed_number_t parse_decimal(const std::string& s, bool accept_sign, bool strict) {
    if (s.empty()) D_THROW(number_format_exception, "empty string");
    parsed_number_t r;
    size_t i = 0;
    if (accept_sign && (s[0] == '-' || s[0] == '+')) r.negative = s[i++] == '-';
    long double divisor = 1;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (is_digit(c)) {
            if (r.has_fraction) {
                divisor *= 10;
                r.fraction += (c - '0') / divisor;
            } else {
                r.integer = r.integer * 10 + static_cast<d_uint64_t>(c - '0');  // wraps by design
            }
        } else if (!strict && (c == '.' || c == ',') && !r.has_fraction) {
            r.has_fraction = true;
            r.fraction = static_cast<long double>(r.integer);
        } else if (!strict && (c == 'E' || c == 'e')) {
            i = parse_exponent(s, i, r);
            if (i < s.size()) illegal_char(s, i);
            break;
        } else {
            illegal_char(s, i);
        }
    }
    return r;
}

/// Narrows a floating result: truncated toward zero, then wrapped into R like
/// the integer path; beyond 64 bits (and for NaN) it saturates, because the
/// plain conversion is undefined there.
template <typename R>
R narrow_integer(long double v);

template <typename R>
R narrow_floating(long double v) {
    if constexpr (std::is_floating_point<R>::value) {
        return static_cast<R>(v);
    } else {
        return narrow_integer<R>(v);
    }
}

template <typename R>
R narrow_integer(long double v) {
    if (std::isnan(v)) return 0;
    v = std::trunc(v);
    const long double two63 = 9223372036854775808.0L;
    if (v >= -two63 && v < two63) return static_cast<R>(static_cast<d_int64_t>(v));
    if (v >= two63 && v < 2 * two63) return static_cast<R>(static_cast<d_uint64_t>(v));
    return v > 0 ? std::numeric_limits<R>::max() : std::numeric_limits<R>::lowest();
}

template <typename R>
R string_to_number(const std::string& s, bool accept_sign, bool strict) {
    parsed_number_t r = parse_decimal(s, accept_sign, strict);
    if (r.has_exponent) {
        long double mantissa = r.has_fraction ? r.fraction : static_cast<long double>(r.integer);
        if (r.negative) mantissa = -mantissa;
        // A zero mantissa stays zero even when 10^exponent overflows.
        long double v = mantissa == 0 ? 0.0L : mantissa * std::pow(10.0L, static_cast<long double>(r.exponent));
        return narrow_floating<R>(v);
    }
    if (r.has_fraction) return narrow_floating<R>(r.negative ? -r.fraction : r.fraction);
    if constexpr (std::is_floating_point<R>::value) {
        long double v = static_cast<long double>(r.integer);
        return static_cast<R>(r.negative ? -v : v);
    } else {
        d_uint64_t v = r.negative ? 0 - r.integer : r.integer;  // unsigned negation wraps
        return static_cast<R>(v);
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// --------------------------------------------------------- numbers to text

void num_to_string_into(std::string& out, long double v) { print_number(out, "%Lf", v); }
void num_to_string_into(std::string& out, double v) { print_number(out, "%f", v); }
void num_to_string_into(std::string& out, long long v) { print_number(out, "%lld", v); }
void num_to_string_into(std::string& out, unsigned long long v) { print_number(out, "%llu", v); }
void num_to_string_into(std::string& out, long v) { print_number(out, "%ld", v); }
void num_to_string_into(std::string& out, unsigned long v) { print_number(out, "%lu", v); }
void num_to_string_into(std::string& out, int v) { print_number(out, "%d", v); }
void num_to_string_into(std::string& out, unsigned int v) { print_number(out, "%u", v); }
void num_to_string_into(std::string& out, short v) { print_number(out, "%hd", v); }
void num_to_string_into(std::string& out, unsigned short v) { print_number(out, "%hu", v); }
void num_to_string_into(std::string& out, signed char v) { print_number(out, "%hhd", v); }
void num_to_string_into(std::string& out, unsigned char v) { print_number(out, "%hhu", v); }
void num_to_string_hex_into(std::string& out, unsigned long v) { print_number(out, "%08lx", v); }

std::string num_to_string(long double v) { return printed("%Lf", v); }
std::string num_to_string(double v) { return printed("%f", v); }
std::string num_to_string(long long v) { return printed("%lld", v); }
std::string num_to_string(unsigned long long v) { return printed("%llu", v); }
std::string num_to_string(long v) { return printed("%ld", v); }
std::string num_to_string(unsigned long v) { return printed("%lu", v); }
std::string num_to_string(int v) { return printed("%d", v); }
std::string num_to_string(unsigned int v) { return printed("%u", v); }
std::string num_to_string(short v) { return printed("%hd", v); }
std::string num_to_string(unsigned short v) { return printed("%hu", v); }
std::string num_to_string(signed char v) { return printed("%hhd", v); }
std::string num_to_string(unsigned char v) { return printed("%hhu", v); }

std::string hex64_to_string(d_uint64_t v) {
    char buf[hex_buffer];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string hex32_to_string(d_uint32_t v) {
    char buf[hex_buffer];
    snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
    return buf;
}

std::string hex_dump(const void* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    char head[hex_buffer];
    int n = snprintf(head, sizeof head, "%08zx ", count);
    std::string out;
    out.reserve(static_cast<size_t>(n) + 2 * count);
    out.append(head, static_cast<size_t>(n));
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < count; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

std::string size_to_string(d_uint64_t bytes) {
    static const char units[] = "BKMG";
    d_uint64_t v = bytes;
    int divisions = 0;
    while (divisions < 3 && (v > 0xFFFFFFFFull || v >= 1636)) {
        v /= 1024;
        ++divisions;
    }
    // Above 4 TiB the gigabyte count itself passes 32 bits; print it whole.
    char buf[hex_buffer];
    snprintf(buf, sizeof buf, "%llu%c", static_cast<unsigned long long>(v), units[divisions]);
    return buf;
}

// --------------------------------------------------------- text to numbers

d_uint32_t string_to_num(const std::string& s) {
    TRACE_POINT;
    return string_to_number<d_uint32_t>(s, true, false);
}

d_uint32_t string_to_num_strict(const std::string& s) {
    TRACE_POINT;
    return string_to_number<d_uint32_t>(s, false, true);
}

double string_to_double(const std::string& s) {
    TRACE_POINT;
    return string_to_number<double>(s, true, false);
}

d_int64_t string_to_int64(const std::string& s) {
    TRACE_POINT;
    return string_to_number<d_int64_t>(s, true, false);
}

d_uint64_t string_to_uint64(const std::string& s) {
    TRACE_POINT;
    return string_to_number<d_uint64_t>(s, true, false);
}

d_uint32_t hex_string_to_num(const std::string& s) {
    TRACE_POINT;
    if (s.empty()) D_THROW(number_format_exception, "empty string");
    d_uint32_t v = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        int d = hex_digit(s[i]);
        if (d < 0)
            D_THROW(number_format_exception, "illegal char 0x%02x in string \"%s\" at position %d",
                    static_cast<unsigned>(static_cast<unsigned char>(s[i])), s.c_str(), static_cast<int>(i + 1));
        v = v * 16 + static_cast<d_uint32_t>(d);
    }
    return v;
}

d_uint64_t getenv_size(const char* name, d_uint64_t def) {
    TRACE_POINT;
    const char* value = getenv(name);
    if (value == nullptr) return def;
    std::string text(value);
    size_t unit_at = 0;
    while (unit_at < text.size() && is_digit(text[unit_at])) ++unit_at;
    d_uint64_t multiplier = 1;
    if (unit_at < text.size()) {
        switch (text[unit_at]) {
            case 'K': case 'k': multiplier = 1024; break;
            case 'M': case 'm': multiplier = 1048576; break;
            case 'G': case 'g': multiplier = 1073741824; break;
            default: break;
        }
        if (multiplier != 1 && unit_at + 1 == text.size()) text.erase(unit_at);
    }
    return string_to_uint64(text) * multiplier;
}
