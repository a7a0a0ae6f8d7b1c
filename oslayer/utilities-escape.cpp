// Escaping of protocol command arguments: any byte string becomes one token
// of printable, blank-free ASCII and back. Every argument of every command
// passes through here, so both directions work on raw buffers in one pass.
#include "utilities.h"

#include <cstring>

#include "amtypes.h"

const lstr_t empty_token(2, "%Z");

namespace {

constexpr char upper_hex[] = "0123456789ABCDEF";

// ------------------------------------------------------------- encoding

/// What one input byte becomes; length 0 marks CR and ',', whose form
/// depends on the byte after them (CR LF and ", " have escapes of their own).
struct escape_code_t {
    char text[3];
    unsigned char length;
};
static_assert(sizeof(escape_code_t) == 4, "written as one word");

struct escape_table_t {
    escape_code_t code[256];

    constexpr escape_table_t() : code() {
        for (int c = 0; c < 256; ++c) {
            if (c < 33 || c > 126)
                code[c] = {{'%', upper_hex[c >> 4], upper_hex[c & 15]}, 3};
            else
                code[c] = {{static_cast<char>(c), 0, 0}, 1};
        }
        code[static_cast<int>('%')] = {{'%', 'P', 0}, 2};
        code[static_cast<int>(' ')] = {{'%', 'S', 0}, 2};
        code[static_cast<int>('\n')] = {{'%', 'N', 0}, 2};
        code[static_cast<int>('\t')] = {{'%', 'T', 0}, 2};
        code[static_cast<int>('\r')] = {{'%', 'R', 0}, 0};
        code[static_cast<int>(',')] = {{',', 0, 0}, 0};
    }
};

constexpr escape_table_t escape_table;

/// Writes the token for [p, end) at `o`, which has room for three bytes per
/// input byte plus one; returns the end of what was written.
char* encode(const unsigned char* p, const unsigned char* end, char* o) {
    while (p < end) {
        const escape_code_t& e = escape_table.code[*p++];
        if (__builtin_expect(e.length != 0, 1)) {
            // Whole word at once, so that copies and escapes take the same
            // path; the spare byte is overwritten next or cut off at the end.
            memcpy(o, &e, sizeof e);
            o += e.length;
            continue;
        }
        bool cr = e.text[0] == '%';
        bool pair = p < end && *p == (cr ? '\n' : ' ');
        if (cr || pair) *o++ = '%';
        *o++ = pair ? (cr ? 'L' : 'M') : e.text[cr ? 1 : 0];
        p += pair;
    }
    return o;
}

// ------------------------------------------------------------- decoding

// hex_to_nibble's table covers '0' .. 'f'; -1 marks the gaps between digit ranges.
struct nibble_table_t {
    signed char value['f' - '0' + 1];

    constexpr nibble_table_t() : value() {
        for (int i = 0; i <= 'f' - '0'; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' - '0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' - '0' + i] = static_cast<signed char>(10 + i);
            value['a' - '0' + i] = static_cast<signed char>(10 + i);
        }
    }
};

constexpr nibble_table_t nibble_table;

/// Per byte after '%': the bytes of a letter escape (count 0: not a letter)
/// and the value of a hex digit (0xFF: not a digit).
struct unescape_table_t {
    char first[256];
    char second[256];
    unsigned char count[256];
    unsigned char digit[256];

    constexpr unescape_table_t() : first(), second(), count(), digit() {
        const char letters[] = "PSRNTLM";
        const char bytes[][3] = {"%", " ", "\r", "\n", "\t", "\r\n", ", "};
        for (int i = 0; i < 7; ++i) {
            unsigned char l = static_cast<unsigned char>(letters[i]);
            first[l] = bytes[i][0];
            second[l] = bytes[i][1];
            count[l] = bytes[i][1] ? 2 : 1;
        }
        for (int c = 0; c < 256; ++c) {
            int v = c <= 'f' && c >= '0' ? nibble_table.value[c - '0'] : -1;
            digit[c] = static_cast<unsigned char>(v < 0 ? 0xFF : v);
        }
    }
};

constexpr unescape_table_t unescape_table;

enum class quote_fault_t { none, at_end, char_after, bad_hex };

/// Decodes from `i` on: runs of plain bytes are copied whole, escapes one
/// at a time; stops at the first fault with `i` past what was consumed.
quote_fault_t decode(const char* in, size_t n, size_t& i, char*& o) {
    while (i < n) {
        if (in[i] != '%') {
            // Text tokens have long plain runs; binary ones mostly none, so
            // the search is only started where there is a run to copy.
            const void* pct = memchr(in + i + 1, '%', n - i - 1);
            size_t run = (pct ? static_cast<size_t>(static_cast<const char*>(pct) - in) : n) - i;
            memcpy(o, in + i, run);
            o += run;
            i += run;
            if (i == n) break;
        }
        if (i + 1 == n) return quote_fault_t::at_end;
        unsigned char d = static_cast<unsigned char>(in[i + 1]);
        if (unescape_table.count[d] != 0) {
            *o++ = unescape_table.first[d];
            if (unescape_table.count[d] == 2) *o++ = unescape_table.second[d];
            i += 2;
            continue;
        }
        if (i + 2 == n) return quote_fault_t::char_after;
        unsigned high = unescape_table.digit[d];
        unsigned low = unescape_table.digit[static_cast<unsigned char>(in[i + 2])];
        i += 3;
        if ((high | low) > 15) return quote_fault_t::bad_hex;
        *o++ = static_cast<char>(high << 4 | low);
    }
    return quote_fault_t::none;
}

/// Throws the message of `fault`, quoting the whole token: escaped for the
/// log, since a token is what a peer sent and may hold any byte but blanks.
[[noreturn]] void quoted_error(quote_fault_t fault, const lstr_t& token, size_t consumed) {
    std::string shown;
    escape_log_text(token.ptr, token.length, shown);
    int len = static_cast<int>(shown.size());
    if (fault == quote_fault_t::at_end)
        D_THROW(quoted_format_exception, "single %% at end: \"%.*s\"", len, shown.data());
    if (fault == quote_fault_t::char_after)
        D_THROW(quoted_format_exception, "single char after %%: \"%.*s\"", len, shown.data());
    D_THROW(quoted_format_exception, "invalid quoted string \"%.*s\" at %lu", len, shown.data(),
            static_cast<unsigned long>(consumed));
}

}  // namespace

void escape_string(const void* data, size_t len, std::string& out) {
    if (len == 0) {
        out.append(empty_token.ptr, empty_token.length);
        return;
    }
    // One allocation for the worst case (every byte a three-byte escape,
    // plus the spare byte of the last word), cut to size afterwards.
    size_t old = out.size();
    out.resize(old + 3 * len + 1);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    char* end = encode(p, p + len, &out[old]);
    out.resize(static_cast<size_t>(end - out.data()));
}

std::string escape_string(const std::string& s) {
    std::string out;
    escape_string(s.data(), s.size(), out);
    return out;
}

void dequote_string(lstr_t token, std::string& out) {
    TRACE_POINT;
    out.clear();
    const size_t n = token.length;
    if (n == 0 || (n == 2 && token.ptr[0] == '%' && token.ptr[1] == 'Z')) return;
    // Decoding never grows a token, so its length is room enough.
    out.resize(n);
    char* const base = &out[0];
    char* o = base;
    size_t i = 0;
    quote_fault_t fault = decode(token.ptr, n, i, o);
    // On a fault the bytes decoded before it stay; callers drop the command.
    out.resize(static_cast<size_t>(o - base));
    if (fault != quote_fault_t::none) quoted_error(fault, token, i);
}

char nibble_to_hex(unsigned v) { return v < 16 ? upper_hex[v] : '?'; }

int hex_to_nibble(unsigned char c) {
    if (c < '0' || c > 'f') return -1;
    return nibble_table.value[c - '0'];
}

// ------------------------------------------------------ log text escaping

namespace {

enum class log_byte_t : unsigned char { plain, backslash, letter, hex };

/// How each byte appears in a log line: `strict` for text from outside
/// (TAB, the backslash and the bytes from 128 on escaped too), `loose` for
/// the loggers' guard. There a TAB stays: it cannot break a line, and the
/// daemon's own messages align with it.
struct log_escape_table_t {
    log_byte_t strict[256];
    log_byte_t loose[256];

    constexpr log_escape_table_t() : strict(), loose() {
        for (int c = 0; c < 256; ++c) {
            const bool control = c < 32 || c == 127;
            const bool letter = c == '\n' || c == '\r' || c == '\t';
            loose[c] = letter ? log_byte_t::letter : control ? log_byte_t::hex : log_byte_t::plain;
            strict[c] = c >= 128 ? log_byte_t::hex : c == '\\' ? log_byte_t::backslash : loose[c];
        }
        loose[static_cast<int>('\t')] = log_byte_t::plain;
    }
};

constexpr log_escape_table_t log_escape_table;

/// Appends [p, end) with the escapes its table asks for.
void append_log_escaped(const unsigned char* p, const unsigned char* end, bool strict, std::string& out) {
    const log_byte_t* const kind = strict ? log_escape_table.strict : log_escape_table.loose;
    while (p < end) {
        // Runs of plain bytes go whole: log texts are mostly plain.
        const unsigned char* run = p;
        while (run < end && kind[*run] == log_byte_t::plain) ++run;
        out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(run - p));
        if (run == end) return;
        const unsigned char c = *run;
        p = run + 1;
        out += '\\';
        switch (kind[c]) {
            case log_byte_t::backslash: out += '\\'; break;
            case log_byte_t::letter: out += c == '\n' ? 'n' : c == '\r' ? 'r' : 't'; break;
            default:
                out += 'x';
                out += upper_hex[c >> 4];
                out += upper_hex[c & 15];
        }
    }
}

const char report_break[] = " because of ";
const size_t report_break_length = sizeof report_break - 1;
/// Where the blank inside the words lies: " because" is 8 bytes.
const size_t report_break_blank = 8;

}  // namespace

void escape_log_text(const void* data, size_t len, std::string& out) {
    const size_t old = out.size();
    const unsigned char* p = static_cast<const unsigned char*>(data);
    append_log_escaped(p, p + len, true, out);
    // The words hold no backslash, so a match lies within bytes copied as
    // they came and the escapes written above cannot form or hide one.
    for (size_t at = out.find(report_break, old); at != std::string::npos;
         at = out.find(report_break, at + report_break_length))
        out.replace(at + report_break_blank, 1, "\\x20");
}

std::string escape_log_text(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    escape_log_text(s.data(), s.size(), out);
    return out;
}

void escape_log_controls(std::string& text) {
    size_t first = 0;
    while (first < text.size() && log_escape_table.loose[static_cast<unsigned char>(text[first])] == log_byte_t::plain)
        ++first;
    if (first == text.size()) return;
    std::string out(text, 0, first);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    append_log_escaped(p + first, p + text.size(), false, out);
    text.swap(out);
}
