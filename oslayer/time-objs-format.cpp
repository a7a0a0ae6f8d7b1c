// Text forms of time stamps and gaps. They show the value's own date and
// time: callers that want local time subtract utc_offset first.
#include <cstdarg>
#include <cstdio>

#include "time-objs.h"

namespace {

void append_format(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// Appends printf-style output; every form here fits the fixed buffer.
void append_format(std::string& out, const char* fmt, ...) {
    char buf[128];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

/// The zero timestamp has month 0: it gets a placeholder, not a name read
/// from outside the table.
const char* month_name(int month) {
    return month >= 1 && month <= 12 ? month_abbreviations[month - 1] : "???";
}

/// A negative gap is shown as '-' and its magnitude; the most negative tick
/// count loses one tick so that it has a magnitude.
int64_t magnitude(std::string& out, int64_t ticks) {
    if (ticks >= 0) return ticks;
    out += '-';
    return ticks == INT64_MIN ? INT64_MAX : -ticks;
}

}  // namespace

void format_text(timestamp_t t, std::string& out) {
    calendar_date_t d = split_date(t);
    time_of_day_t h = split_time(t.ticks);
    append_format(out, "%04d/%02d/%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day, h.hours,
                  h.minutes, h.seconds, h.milliseconds);
}

void format_compact(timestamp_t t, std::string& out) {
    calendar_date_t d = split_date(t);
    time_of_day_t h = split_time(t.ticks);
    append_format(out, "%04d%02d%02d%02d%02d%02d%03d", d.year, d.month, d.day, h.hours, h.minutes,
                  h.seconds, h.milliseconds);
}

void format_rfc1123(timestamp_t t, std::string& out) {
    calendar_date_t d = split_date(t);
    time_of_day_t h = split_time(t.ticks);
    append_format(out, "%s, %02d %s %04d %02d:%02d:%02d", week_day_abbreviations[week_day(t)], d.day,
                  month_name(d.month), d.year, h.hours, h.minutes, h.seconds);
}

void format_rfc1123_gmt(timestamp_t t, std::string& out) {
    format_rfc1123(t, out);
    out += " GMT";
}

void format_rfc1123_zone(timestamp_t t, timegap_t offset, std::string& out) {
    format_rfc1123(t - offset, out);
    // The offset is UTC minus local time: local time ahead of UTC is '+'.
    int64_t minutes = to_units(offset.ticks, time_unit::minute, 0);
    char sign = minutes <= 0 ? '+' : '-';
    if (minutes < 0) minutes = -minutes;
    append_format(out, " %c%02lld%02lld", sign, static_cast<long long>(minutes / 60),
                  static_cast<long long>(minutes % 60));
}

void format_elapsed(timegap_t gap, std::string& out) {
    int64_t ticks = magnitude(out, gap.ticks);
    int64_t days = to_units(ticks, time_unit::day, 0);
    time_of_day_t h = split_time(ticks);
    if (days != 0) append_format(out, "%u-", static_cast<unsigned>(days));
    append_format(out, "%02d:%02d:%02d.%03d", h.hours, h.minutes, h.seconds, h.milliseconds);
}

void append_elapsed_short(timegap_t gap, std::string& out) {
    int64_t ticks = magnitude(out, gap.ticks);
    int64_t days = to_units(ticks, time_unit::day, 0);
    time_of_day_t h = split_time(ticks);
    if (days != 0) {
        append_format(out, "%lu-%02d:%02d:%02d.%03d", static_cast<unsigned long>(days), h.hours,
                      h.minutes, h.seconds, h.milliseconds);
        return;
    }
    if (h.hours != 0) append_format(out, "%02d:", h.hours);
    if (h.minutes != 0 || h.hours != 0) append_format(out, "%02d:", h.minutes);
    append_format(out, "%02d.%03d", h.seconds, h.milliseconds);
}
