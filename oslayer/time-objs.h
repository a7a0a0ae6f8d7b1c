// Points in time and durations as signed 64-bit counts of 10-nanosecond
// ticks; the clock, unit and calendar conversions and the text forms.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

class lstr_t;

/// Unit codes: each step is a factor of ten below a second, then minute, hour, day.
namespace time_unit {
enum : int {
    nanosecond = -9,
    tick = -8,  // 10 ns
    ns100 = -7,
    microsecond = -6,
    us10 = -5,
    us100 = -4,
    millisecond = -3,
    ms10 = -2,
    ms100 = -1,
    second = 0,
    minute = 1,
    hour = 2,
    day = 3,
};
}

/// Ticks from 0001-01-01 00:00 UTC to 1970-01-01 00:00 UTC.
const int64_t epoch_ticks = 6213559680000000000LL;
const int64_t ticks_per_second = 100000000LL;
/// The value that stands for "no deadline" in waits.
const int64_t no_deadline = INT64_MAX;

/// A signed duration in ticks.
class timegap_t {
public:
    constexpr timegap_t() : ticks(0) {}
    constexpr explicit timegap_t(int64_t t) : ticks(t) {}
    static constexpr timegap_t infinite() { return timegap_t(no_deadline); }

    timegap_t operator+(timegap_t o) const { return timegap_t(ticks + o.ticks); }
    timegap_t operator-(timegap_t o) const { return timegap_t(ticks - o.ticks); }
    timegap_t operator-() const { return timegap_t(-ticks); }
    bool operator==(timegap_t o) const { return ticks == o.ticks; }
    bool operator!=(timegap_t o) const { return ticks != o.ticks; }
    bool operator<(timegap_t o) const { return ticks < o.ticks; }
    bool operator<=(timegap_t o) const { return ticks <= o.ticks; }
    bool operator>(timegap_t o) const { return ticks > o.ticks; }
    bool operator>=(timegap_t o) const { return ticks >= o.ticks; }

    int64_t ticks;
};

/// A point in time: ticks since 0001-01-01 00:00 UTC; 0 means "not set".
class timestamp_t {
public:
    constexpr timestamp_t() : ticks(0) {}
    constexpr explicit timestamp_t(int64_t t) : ticks(t) {}
    /// Parses the compact form "YYYYMMDDhhmmssmmm" ("" and "0" give 0).
    explicit timestamp_t(const std::string& compact);
    /// Parses the RFC 1123 form "Sun, 06 Nov 1994 08:49:37 GMT" (GMT optional).
    explicit timestamp_t(lstr_t rfc1123);

    static timestamp_t now();
    static constexpr timestamp_t infinite() { return timestamp_t(no_deadline); }

    timestamp_t operator+(timegap_t g) const { return timestamp_t(ticks + g.ticks); }
    timestamp_t operator-(timegap_t g) const { return timestamp_t(ticks - g.ticks); }
    timegap_t operator-(timestamp_t o) const { return timegap_t(ticks - o.ticks); }
    bool operator==(timestamp_t o) const { return ticks == o.ticks; }
    bool operator!=(timestamp_t o) const { return ticks != o.ticks; }
    bool operator<(timestamp_t o) const { return ticks < o.ticks; }
    bool operator<=(timestamp_t o) const { return ticks <= o.ticks; }
    bool operator>(timestamp_t o) const { return ticks > o.ticks; }
    bool operator>=(timestamp_t o) const { return ticks >= o.ticks; }

    int64_t ticks;
};

struct calendar_date_t {
    int year;
    int month;
    int day;
};

struct time_of_day_t {
    int hours;
    int minutes;
    int seconds;
    int milliseconds;
};

struct year_month_t {
    int year;
    int month;
};

// ---------------------------------------------------------- ticks and units

int64_t from_units(int64_t value, int unit);
void from_units(int64_t value, int unit, int64_t& ticks_out);
/// With span n != 0 the ticks are first reduced modulo the unit code + n.
int64_t to_units(int64_t ticks, int unit, int span = 0);
/// Like to_units, but a non-zero duration shorter than the unit gives its sign.
int64_t to_units_nonzero(int64_t ticks, int unit, int span = 0);
int64_t from_dhms(int32_t seconds, int32_t minutes, int32_t hours, int32_t days);
timestamp_t from_time_t(int32_t unix_seconds);
/// Whole Unix seconds, clamped to 0 .. 2147483647.
int32_t to_time_t(timestamp_t t);

// --------------------------------------------------------------- calendar

int64_t julian_day(timestamp_t t);
/// 0 Monday .. 6 Sunday.
int week_day(timestamp_t t);
calendar_date_t split_date(timestamp_t t);
void split_date(timestamp_t t, int* day, int* month, int* year);
time_of_day_t split_time(int64_t ticks);
/// A year of 0 means the current UTC year; fields carry over unchecked.
timestamp_t from_calendar(int seconds, int minutes, int hours, int day, int month, int year);
/// YYYYMMDDhhmmssmmm as a number.
int64_t to_decimal(timestamp_t t);
year_month_t add_months(year_month_t ym, int count);
/// UTC minus local time at that instant (positive west of Greenwich).
timegap_t utc_offset(time_t when);

// ---------------------------------------------------- text forms (append)

/// "Jan" .. "Dec", indexed by month - 1.
extern const char* const month_abbreviations[12];
/// "Mon" .. "Sun", indexed by week_day.
extern const char* const week_day_abbreviations[7];

void format_text(timestamp_t t, std::string& out);
void format_compact(timestamp_t t, std::string& out);
void format_rfc1123(timestamp_t t, std::string& out);
void format_rfc1123_gmt(timestamp_t t, std::string& out);
void format_rfc1123_zone(timestamp_t t, timegap_t offset, std::string& out);
void format_elapsed(timegap_t gap, std::string& out);
void append_elapsed_short(timegap_t gap, std::string& out);
