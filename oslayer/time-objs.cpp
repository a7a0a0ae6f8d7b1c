// The clock, conversions between ticks and units, calendar dates, the local
// time offset, and the parsers of the compact and RFC 1123 text forms.
#include "time-objs.h"

#include <sys/time.h>

#include <climits>
#include <cstdio>

#include "_kern.h"
#include "amtypes.h"

const char* const month_abbreviations[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const week_day_abbreviations[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

namespace {

const int64_t unit_ticks[12] = {
    1LL, 10LL, 100LL, 1000LL, 10000LL, 100000LL, 1000000LL, 10000000LL,
    100000000LL, 6000000000LL, 360000000000LL, 8640000000000LL,
};
const int64_t ticks_per_day = 8640000000000LL;
const int64_t ticks_per_ms = 100000LL;
/// Julian day number of 0001-01-01.
const int64_t julian_of_origin = 1721426;

/// 10^n, saturated once it leaves 64 bits.
int64_t power_of_ten(int n) {
    int64_t r = 1;
    for (int i = 0; i < n; ++i) {
        if (r > INT64_MAX / 10) return INT64_MAX;
        r *= 10;
    }
    return r;
}

/// Ticks in one unit of a code of -8 or more; codes far above a day saturate
/// instead of wrapping to zero, so that dividing by them stays defined.
int64_t unit_size(int unit) {
    if (unit <= time_unit::day) return unit_ticks[unit + 8];
    int64_t scale = power_of_ten(unit - time_unit::day);
    if (scale > INT64_MAX / ticks_per_day) return INT64_MAX;
    return scale * ticks_per_day;
}

// The conversions do not fail: arguments past the 64-bit range wrap instead
// of invoking undefined behaviour.
int64_t wrap_mul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

/// Days since 0001-01-01 of a date whose fields may carry over.
int64_t days_since_origin(int64_t day, int64_t month, int64_t year) {
    if (year < 0) ++year;  // there is no year 0: -1 is the year before 1
    int64_t a = (month - 14) / 12;
    int64_t y = year + a;
    return day + 367 * (month - 2 - 12 * a) / 12 - 1753501 + 1461 * (y + 4800) / 4 -
           3 * ((y + 4900) / 100) / 4;
}

/// The tick count of a calendar date and time; false when it leaves the
/// 64-bit range (`out` then holds the wrapped value).
bool calendar_ticks(int64_t seconds, int64_t minutes, int64_t hours, int64_t day, int64_t month,
                    int64_t year, int64_t& out) {
    if (year == 0) year = split_date(timestamp_t::now()).year;
    int64_t parts[4] = {seconds, minutes, hours, days_since_origin(day, month, year)};
    bool overflow = false;
    int64_t sum = 0;
    for (int i = 0; i < 4; ++i) {
        int64_t p;
        overflow |= __builtin_mul_overflow(parts[i], unit_ticks[time_unit::second + 8 + i], &p);
        overflow |= __builtin_add_overflow(sum, p, &sum);
    }
    out = sum;
    return !overflow;
}

const char* safe_ptr(const lstr_t& v) { return v.ptr ? v.ptr : ""; }
int safe_len(const lstr_t& v) { return static_cast<int>(v.length); }

/// Reads one unsigned decimal field of an RFC 1123 date, consuming it and its
/// separator from `text`.
uint32_t parse_field_number(lstr_t& text, const char* word, const char* trace_name, char sep,
                            bool may_end, const lstr_t& whole) {
    TRACE_POINT_NAMED(trace_name);
    text.ltrim(sep);
    lstr_t token = text.split(sep, false);
    if (text.empty() && !may_end)
        D_THROW(timestamp_format_exception, "expected %s number at \"%.*s\" in \"%.*s\"", word,
                safe_len(token), safe_ptr(token), safe_len(whole), safe_ptr(whole));
    try {
        return token.toul(10);
    } catch (number_format_exception_shell_t& e) {
        std::string why = e.what();
        D_THROW_CAUSE(timestamp_format_exception, e.release(),
                      "invalid %s number \"%.*s\" before \"%.*s\" in \"%.*s\" because of %s", word,
                      safe_len(token), safe_ptr(token), safe_len(text), safe_ptr(text),
                      safe_len(whole), safe_ptr(whole), why.c_str());
    }
}

/// Reads the month name: the first name that begins with the token wins.
int parse_month(lstr_t& text, const lstr_t& whole) {
    TRACE_POINT_NAMED("parse month");
    lstr_t token = text.split(' ', false);
    if (text.empty())
        D_THROW(timestamp_format_exception, "expected month at \"%.*s\" in \"%.*s\"",
                safe_len(token), safe_ptr(token), safe_len(whole), safe_ptr(whole));
    if (token.length <= 3) {
        for (int m = 0; m < 12; ++m) {
            size_t i = 0;
            while (i < token.length && token.ptr[i] == month_abbreviations[m][i]) ++i;
            if (i == token.length) return m + 1;
        }
    }
    D_THROW(timestamp_format_exception, "invalid month at \"%.*s\" in \"%.*s\"", safe_len(token),
            safe_ptr(token), safe_len(whole), safe_ptr(whole));
}

}  // namespace

// ------------------------------------------------------------ clock, units

timestamp_t timestamp_t::now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return timestamp_t((static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec) * 100 + epoch_ticks);
}

int64_t from_units(int64_t value, int unit) {
    if (unit >= time_unit::tick) return wrap_mul(value, unit_size(unit));
    return value / power_of_ten(time_unit::tick - unit);
}

void from_units(int64_t value, int unit, int64_t& ticks_out) { ticks_out = from_units(value, unit); }

int64_t to_units(int64_t ticks, int unit, int span) {
    if (span != 0) {
        int top = unit + span;
        if (top < time_unit::tick) return 0;
        ticks %= unit_size(top);
    }
    if (unit >= time_unit::tick) return ticks / unit_size(unit);
    return wrap_mul(ticks, power_of_ten(time_unit::tick - unit));
}

int64_t to_units_nonzero(int64_t ticks, int unit, int span) {
    if (to_units(ticks, unit, 0) != 0) return to_units(ticks, unit, span);
    return (ticks > 0) - (ticks < 0);
}

int64_t from_dhms(int32_t seconds, int32_t minutes, int32_t hours, int32_t days) {
    int64_t t = wrap_mul(seconds, unit_ticks[time_unit::second + 8]);
    t = wrap_add(t, wrap_mul(minutes, unit_ticks[time_unit::minute + 8]));
    t = wrap_add(t, wrap_mul(hours, unit_ticks[time_unit::hour + 8]));
    return wrap_add(t, wrap_mul(days, unit_ticks[time_unit::day + 8]));
}

timestamp_t from_time_t(int32_t unix_seconds) {
    return timestamp_t(static_cast<int64_t>(unix_seconds) * ticks_per_second + epoch_ticks);
}

int32_t to_time_t(timestamp_t t) {
    // Compared before subtracting: ticks far below the epoch would overflow.
    if (t.ticks <= epoch_ticks) return 0;
    int64_t seconds = (t.ticks - epoch_ticks) / ticks_per_second;
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
}

// ---------------------------------------------------------------- calendar

int64_t julian_day(timestamp_t t) { return to_units(t.ticks, time_unit::day, 0) + julian_of_origin; }

int week_day(timestamp_t t) {
    int64_t wd = julian_day(t) % 7;
    return static_cast<int>(wd < 0 ? wd + 7 : wd);
}

calendar_date_t split_date(timestamp_t t) {
    if (t.ticks == 0) return calendar_date_t{0, 0, 0};
    int64_t l = julian_day(t) + 68569;
    int64_t n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    int64_t j = 80 * l / 2447;
    int64_t day = l - 2447 * j / 80;
    l = j / 11;
    int64_t month = j + 2 - 12 * l;
    int64_t year = 100 * n + i - 4900 + l;
    if (year < 1) --year;
    return calendar_date_t{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

void split_date(timestamp_t t, int* day, int* month, int* year) {
    calendar_date_t d = split_date(t);
    if (day) *day = d.day;
    if (month) *month = d.month;
    if (year) *year = d.year;
}

time_of_day_t split_time(int64_t ticks) {
    if (ticks == 0) return time_of_day_t{0, 0, 0, 0};
    return time_of_day_t{static_cast<int>(to_units(ticks, time_unit::hour, 1)),
                         static_cast<int>(to_units(ticks, time_unit::minute, 1)),
                         static_cast<int>(to_units(ticks, time_unit::second, 1)),
                         static_cast<int>(to_units(ticks, time_unit::millisecond, 3))};
}

timestamp_t from_calendar(int seconds, int minutes, int hours, int day, int month, int year) {
    int64_t ticks;
    calendar_ticks(seconds, minutes, hours, day, month, year, ticks);
    return timestamp_t(ticks);
}

int64_t to_decimal(timestamp_t t) {
    calendar_date_t d = split_date(t);
    time_of_day_t h = split_time(t.ticks);
    return d.year * 10000000000000LL + d.month * 100000000000LL + d.day * 1000000000LL +
           h.hours * 10000000LL + h.minutes * 100000LL + h.seconds * 1000LL + h.milliseconds;
}

year_month_t add_months(year_month_t ym, int count) {
    ym.year += count / 12;
    ym.month += count % 12;
    if (ym.month > 12) {
        ym.month -= 12;
        ++ym.year;
    } else if (ym.month < 1) {
        ym.month += 12;
        --ym.year;
    }
    return ym;
}

timegap_t utc_offset(time_t when) {
    struct tm local;
    struct tm utc;
    if (!localtime_r(&when, &local) || !gmtime_r(&when, &utc)) return timegap_t(0);
    int64_t seconds;
    if (local.tm_year > utc.tm_year)
        seconds = -86400;
    else if (local.tm_year < utc.tm_year)
        seconds = 86400;
    else
        seconds = static_cast<int64_t>(utc.tm_yday - local.tm_yday) * 86400;
    seconds += (utc.tm_hour - local.tm_hour) * 3600 + (utc.tm_min - local.tm_min) * 60 +
               (utc.tm_sec - local.tm_sec);
    return timegap_t(seconds * ticks_per_second);
}

// ----------------------------------------------------------------- parsers

timestamp_t::timestamp_t(const std::string& compact) : ticks(0) {
    TRACE_POINT;
    if (compact.empty() || compact == "0") return;
    if (compact.size() != 17)
        D_THROW(number_format_exception, "not timestamp \"%s\" because of 17 digits expected, not %lu",
                compact.c_str(), static_cast<unsigned long>(compact.size()));
    for (size_t i = 0; i < compact.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(compact[i]);
        if (c < '0' || c > '9')
            D_THROW(number_format_exception,
                    "not timestamp \"%s\" because of digits expected, not \"%c\" (0x%x) at position #%lu",
                    compact.c_str(), c, static_cast<unsigned>(c), static_cast<unsigned long>(i));
    }
    int year, month, day, hours, minutes, seconds, ms;
    int fields = sscanf(compact.c_str(), "%04d%02d%02d%02d%02d%02d%03d", &year, &month, &day, &hours,
                        &minutes, &seconds, &ms);
    if (fields != 7)
        D_THROW(number_format_exception, "not timestamp \"%s\" because of expected 7 fields instead of %d",
                compact.c_str(), fields);
    if ((year | month | day | hours | minutes | seconds | ms) == 0) return;
    int64_t t;
    // Seventeen digits reach the year 9999, past what 64-bit ticks can hold.
    if (!calendar_ticks(seconds, minutes, hours, day, month, year, t) ||
        __builtin_add_overflow(t, ms * ticks_per_ms, &t))
        D_THROW(number_format_exception, "not timestamp \"%s\" because of date out of range",
                compact.c_str());
    ticks = t;
}

timestamp_t::timestamp_t(lstr_t text) : ticks(0) {
    TRACE_POINT;
    const lstr_t whole = text;
    lstr_t week_day_part = text.split(',', false);  // the week day is not checked
    if (text.empty())
        D_THROW(timestamp_format_exception, "expected week day at \"%.*s\" in \"%.*s\"",
                safe_len(week_day_part), safe_ptr(week_day_part), safe_len(whole), safe_ptr(whole));
    uint32_t day = parse_field_number(text, "day", "parse day", ' ', false, whole);
    int month = parse_month(text, whole);
    uint32_t year = parse_field_number(text, "year", "parse year", ' ', false, whole);
    uint32_t hours = parse_field_number(text, "hours", "parse hour", ':', false, whole);
    uint32_t minutes = parse_field_number(text, "minutes", "parse minute", ':', false, whole);
    uint32_t seconds = parse_field_number(text, "seconds", "parse second", ' ', true, whole);
    if (!text.empty() && text != lstr_t("GMT"))
        D_THROW(timestamp_format_exception, "expected word \"GMT\" or nothing at \"%.*s\" in \"%.*s\"",
                safe_len(text), safe_ptr(text), safe_len(whole), safe_ptr(whole));
    int64_t t;
    if (!calendar_ticks(seconds, minutes, hours, day, month, year, t))
        D_THROW(timestamp_format_exception, "date out of range in \"%.*s\"", safe_len(whole),
                safe_ptr(whole));
    ticks = t;
}
