// Small string helpers: trimming, case, field counts, error-text layout,
// compact time stamps and week-day names.
#include "utilities.h"

#include <cctype>
#include <cstring>

namespace {

const char* const day_names[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const int day_count = 7;

bool is_trimmed(char c) { return c == '\t' || c == ' ' || c == '\n' || c == '\r' || c == '\f'; }

bool iequal_prefix(const std::string& text, const char* name) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (name[i] == '\0') return false;
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

std::string mapped(const char* bytes, size_t count, int (*map)(int)) {
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(map(static_cast<unsigned char>(bytes[i])));
    return out;
}

}  // namespace

void trim_string(std::string& s) {
    size_t end = s.size();
    while (end > 0 && is_trimmed(s[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && is_trimmed(s[begin])) ++begin;
    s.erase(end);
    s.erase(0, begin);
}

std::string to_lower_string(const char* bytes, size_t count) { return mapped(bytes, count, tolower); }
std::string to_upper_string(const char* bytes, size_t count) { return mapped(bytes, count, toupper); }

size_t count_fields(const std::string& s, char sep) {
    if (s.empty()) return 0;
    size_t n = 1;
    for (char c : s) n += c == sep;
    return n;
}

size_t bounded_length(const char* text, long max) {
    if (text == nullptr || max <= 0) return 0;
    return strnlen(text, static_cast<size_t>(max));
}

std::string split_error_lines(const std::string& error_text) {
    // Each marker with the number of its bytes that vanish at the break:
    // "; " goes entirely, the others keep their words for the next line.
    static const struct {
        const char* text;
        size_t dropped;
    } markers[] = {{" because of", 1}, {" and unix error is", 1}, {"; ", 2}};
    std::string out;
    out.reserve(error_text.size() + 16);
    size_t pos = 0;
    for (;;) {
        size_t best = std::string::npos;
        size_t dropped = 0;
        for (const auto& m : markers) {
            size_t at = error_text.find(m.text, pos);
            if (at < best) {
                best = at;
                dropped = m.dropped;
            }
        }
        if (best == std::string::npos) break;
        out.append(error_text, pos, best - pos);
        out += "\r\n";
        pos = best + dropped;
    }
    out.append(error_text, pos, std::string::npos);
    return out;
}

std::string compact_to_display(const std::string& text) {
    if (text.size() != 17) return text;
    // YYYYMMDDhhmmssmmm -> DD/MM/YYYY hh:mm:ss.mmm
    std::string out;
    out.reserve(23);
    out.append(text, 6, 2).append(1, '/').append(text, 4, 2).append(1, '/').append(text, 0, 4);
    out.append(1, ' ').append(text, 8, 2).append(1, ':').append(text, 10, 2).append(1, ':');
    out.append(text, 12, 2).append(1, '.').append(text, 14, 3);
    return out;
}

const char* week_day_name(int day) {
    if (day < 0 || day >= day_count) return "Error";
    return day_names[day];
}

int parse_week_day(const std::string& text) {
    // Two letters, three letters or the whole name; nothing in between.
    for (int day = 0; day < day_count; ++day) {
        size_t full = strlen(day_names[day]);
        bool length_ok = text.size() == 2 || text.size() == 3 || text.size() == full;
        if (length_ok && iequal_prefix(text, day_names[day])) return day;
    }
    return -1;
}

bool assign_text(const std::string& from, std::string& to) {
    to = from;
    return true;
}

bool assign_text(const std::wstring& from, std::wstring& to) {
    to = from;
    return true;
}
