// Time stamps, gaps, the calendar, the text forms and parsers, and the
// duration texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "oslayer/_kern.h"
#include "oslayer/amtypes.h"
#include "oslayer/time-objs.h"
#include "oslayer/utilities.h"

namespace {

const int64_t day_ticks = 8640000000000LL;
const int64_t ms_ticks = 100000LL;

int64_t hms_ms(int h, int m, int s, int ms) { return from_dhms(s, m, h, 0) + ms * ms_ticks; }

bool is_leap(int year) {
    int a = year < 0 ? year + 1 : year;  // no year 0 in the calendar
    return (a % 4 == 0 && a % 100 != 0) || a % 400 == 0;
}

int days_in_month(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

calendar_date_t next_day(calendar_date_t d) {
    if (d.day < days_in_month(d.year, d.month)) return {d.year, d.month, d.day + 1};
    if (d.month < 12) return {d.year, d.month + 1, 1};
    return {d.year == -1 ? 1 : d.year + 1, 1, 1};
}

bool same(calendar_date_t a, calendar_date_t b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

std::string date_text(calendar_date_t d) {
    return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
}

calendar_date_t date_of(int day, int month, int year) {
    return split_date(from_calendar(0, 0, 0, day, month, year));
}

template <class F>
std::string compact_error(F&& parse) {
    try {
        parse();
    } catch (number_format_exception_shell_t& e) {
        EXPECT_NE(dynamic_cast<number_format_exception*>(e.record()), nullptr);
        return e.what();
    }
    return "no error";
}

std::string rfc_error(const char* text) {
    try {
        timestamp_t t{lstr_t(text)};
        return "no error, ticks " + std::to_string(t.ticks);
    } catch (timestamp_format_exception_shell_t& e) {
        EXPECT_NE(dynamic_cast<timestamp_format_exception*>(e.record()), nullptr);
        return e.what();
    }
}

std::string text_of(void (*form)(timestamp_t, std::string&), timestamp_t t) {
    std::string out;
    form(t, out);
    return out;
}

std::string gap_text(void (*form)(timegap_t, std::string&), int64_t ticks) {
    std::string out;
    form(timegap_t(ticks), out);
    return out;
}

/// Sets TZ for the scope and puts the previous value back.
class zone_guard {
public:
    explicit zone_guard(const char* tz) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~zone_guard() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_;
    std::string old_;
};

time_t unix_of(int day, int month, int year, int h, int m) {
    return static_cast<time_t>((from_calendar(0, m, h, day, month, year).ticks - epoch_ticks) / ticks_per_second);
}

int64_t offset_seconds(time_t when) { return utc_offset(when).ticks / ticks_per_second; }

const timestamp_t sample = from_calendar(37, 49, 8, 6, 11, 1994) + timegap_t(250 * ms_ticks);

}  // namespace

// ------------------------------------------------------------ ticks, units

TEST(TimeUnits, UnixTimeConversionsClampAtBothEnds) {
    EXPECT_EQ(from_time_t(0).ticks, 6213559680000000000LL);
    EXPECT_EQ(to_time_t(from_time_t(0)), 0);
    EXPECT_EQ(to_time_t(timestamp_t()), 0);
    EXPECT_EQ(to_time_t(from_time_t(-1)), 0);
    EXPECT_EQ(to_time_t(timestamp_t(INT64_MIN)), 0);
    EXPECT_EQ(to_time_t(from_time_t(1234567890)), 1234567890);
    EXPECT_EQ(to_time_t(from_time_t(INT32_MAX)), INT32_MAX);
    EXPECT_EQ(to_time_t(from_calendar(0, 0, 0, 1, 1, 2100)), INT32_MAX);
    EXPECT_EQ(to_time_t(timestamp_t(INT64_MAX)), INT32_MAX);
}

TEST(TimeUnits, ComponentsOfAGap) {
    int64_t t = hms_ms(1, 2, 3, 4);
    EXPECT_EQ(to_units(t, time_unit::minute, 1), 2);
    EXPECT_EQ(to_units(t, time_unit::millisecond, 3), 4);
    EXPECT_EQ(to_units(t, time_unit::hour, 0), 1);
    EXPECT_EQ(to_units(t, time_unit::hour, 1), 1);
    EXPECT_EQ(to_units(t, time_unit::second, 1), 3);
    EXPECT_EQ(to_units(t, time_unit::minute, 0), 62);
    EXPECT_EQ(to_units(t + 5 * day_ticks, time_unit::hour, 1), 1);
    // Remainders keep the sign of the tick count.
    EXPECT_EQ(to_units(-t, time_unit::minute, 1), -2);
    EXPECT_EQ(to_units(-t, time_unit::millisecond, 3), -4);
    // A span reaching below the tick gives 0.
    EXPECT_EQ(to_units(t, time_unit::tick, -1), 0);
    EXPECT_EQ(to_units(7, time_unit::nanosecond, 0), 70);
    EXPECT_EQ(to_units(7, -10, 0), 700);
}

TEST(TimeUnits, NonzeroUnitsGiveTheSignOfShortGaps) {
    EXPECT_EQ(to_units_nonzero(5 * ms_ticks, time_unit::second, 0), 1);
    EXPECT_EQ(to_units_nonzero(-5 * ms_ticks, time_unit::second, 0), -1);
    EXPECT_EQ(to_units_nonzero(0, time_unit::second, 0), 0);
    EXPECT_EQ(to_units_nonzero(hms_ms(0, 3, 7, 0), time_unit::minute, 0), 3);
    EXPECT_EQ(to_units_nonzero(hms_ms(2, 3, 7, 0), time_unit::minute, 1), 3);
}

TEST(TimeUnits, FromUnitsScalesAndTruncates) {
    EXPECT_EQ(from_units(7, time_unit::nanosecond), 0);
    EXPECT_EQ(from_units(15, time_unit::nanosecond), 1);
    EXPECT_EQ(from_units(-15, time_unit::nanosecond), -1);
    EXPECT_EQ(from_units(3, time_unit::day), 3 * day_ticks);
    EXPECT_EQ(from_units(2, time_unit::day + 1), 20 * day_ticks);
    EXPECT_EQ(from_units(9, time_unit::millisecond), 9 * ms_ticks);
    int64_t out = 0;
    from_units(4, time_unit::minute, out);
    EXPECT_EQ(out, 4 * 6000000000LL);
    EXPECT_EQ(from_dhms(5, 4, 3, 2), 2 * day_ticks + hms_ms(3, 4, 5, 0));
    EXPECT_EQ(from_dhms(-1, 0, 0, 0), -ticks_per_second);
}

TEST(TimeUnits, UnitCodesFarOutOfTheTableStayDefined) {
    // Unit sizes past 64 bits must neither divide by zero nor overflow.
    for (int code = 4; code < 80; ++code) {
        EXPECT_EQ(to_units(ticks_per_second, code, 0), 0) << code;
        EXPECT_EQ(to_units(day_ticks, time_unit::day, code), 1) << code;
        from_units(1, code);
    }
    for (int code = -40; code < -8; ++code) EXPECT_EQ(from_units(999, code) <= 99, true) << code;
    from_dhms(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX);
    from_dhms(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN);
}

// ---------------------------------------------------------------- calendar

TEST(TimeCalendar, EpochAndOrigin) {
    timestamp_t epoch(epoch_ticks);
    EXPECT_TRUE(same(split_date(epoch), {1970, 1, 1}));
    EXPECT_EQ(week_day(epoch), 3);
    EXPECT_EQ(julian_day(epoch), 2440588);
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 1, 1970), epoch);
    EXPECT_TRUE(same(split_date(timestamp_t(1)), {1, 1, 1}));
    EXPECT_EQ(week_day(timestamp_t(1)), 0);  // 0001-01-01 was a Monday
    EXPECT_TRUE(same(split_date(timestamp_t(-day_ticks)), {-1, 12, 31}));
    EXPECT_EQ(from_calendar(0, 0, 0, 31, 12, -1).ticks, -day_ticks);
    EXPECT_EQ(week_day(sample), 6);
}

TEST(TimeCalendar, ZeroTimestampMeansUnset) {
    timestamp_t zero;
    EXPECT_TRUE(same(split_date(zero), {0, 0, 0}));
    int d = -1, m = -1, y = -1;
    split_date(zero, &d, &m, &y);
    EXPECT_EQ(d + m + y, 0);
    time_of_day_t h = split_time(0);
    EXPECT_EQ(h.hours | h.minutes | h.seconds | h.milliseconds, 0);
    EXPECT_EQ(to_decimal(zero), 0);
    EXPECT_EQ(text_of(format_compact, zero), "00000000000000000");
    EXPECT_EQ(text_of(format_text, zero), "0000/00/00 00:00:00.000");
    // Month 0 has no name; the form must not read outside the name table.
    EXPECT_EQ(text_of(format_rfc1123, zero), "Mon, 00 ??? 0000 00:00:00");
}

TEST(TimeCalendar, EveryDayOfTheTickRangeRoundTrips) {
    const int64_t first = INT64_MIN / day_ticks;
    const int64_t last = INT64_MAX / day_ticks;
    calendar_date_t expected = split_date(timestamp_t(first * day_ticks));
    int expected_wd = week_day(timestamp_t(first * day_ticks));
    long failures = 0;
    std::string first_failure;
    for (int64_t d = first; d <= last; ++d) {
        timestamp_t t(d == 0 ? 1 : d * day_ticks);  // tick 0 is "unset"
        calendar_date_t got = split_date(t);
        int wd = week_day(t);
        timestamp_t back = from_calendar(0, 0, 0, got.day, got.month, got.year);
        if (!same(got, expected) || wd != expected_wd || back.ticks != d * day_ticks) {
            if (failures++ == 0)
                first_failure = "day " + std::to_string(d) + ": got " + date_text(got) + " expected " +
                                date_text(expected) + " week day " + std::to_string(wd);
        }
        expected = next_day(got);
        expected_wd = (wd + 1) % 7;
    }
    EXPECT_EQ(failures, 0) << first_failure;
    EXPECT_EQ(split_date(timestamp_t(INT64_MIN)).year, -2923);
    EXPECT_TRUE(same(split_date(timestamp_t(INT64_MAX)), {2923, 10, 9}));
}

TEST(TimeCalendar, LeapYearsAndTheYearBeforeOne) {
    EXPECT_TRUE(same(date_of(29, 2, 1600), {1600, 2, 29}));
    EXPECT_TRUE(same(date_of(29, 2, 1900), {1900, 3, 1}));
    EXPECT_TRUE(same(date_of(29, 2, 2000), {2000, 2, 29}));
    EXPECT_TRUE(same(date_of(29, 2, 2100), {2100, 3, 1}));
    EXPECT_TRUE(same(date_of(29, 2, -1), {-1, 2, 29}));    // astronomical year 0
    EXPECT_TRUE(same(date_of(29, 2, -100), {-100, 3, 1}));
    EXPECT_TRUE(same(date_of(29, 2, -101), {-101, 3, 1}));  // astronomical -100
    EXPECT_TRUE(same(date_of(29, 2, -401), {-401, 2, 29}));
    // The first instant of the calendar is tick 0, the "unset" value.
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 1, 1).ticks, 0);
    EXPECT_TRUE(same(date_of(2, 1, 1), {1, 1, 2}));
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 1, 1) - from_calendar(0, 0, 0, 1, 1, -1), timegap_t(366 * day_ticks));
}

TEST(TimeCalendar, FieldsCarryOverAndYearZeroIsThisYear) {
    EXPECT_EQ(from_calendar(61, 0, 0, 1, 1, 2000), from_calendar(1, 1, 0, 1, 1, 2000));
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 13, 1999), from_calendar(0, 0, 0, 1, 1, 2000));
    EXPECT_EQ(from_calendar(0, 0, 24, 31, 12, 1999), from_calendar(0, 0, 0, 1, 1, 2000));
    int before = split_date(timestamp_t::now()).year;
    calendar_date_t d = split_date(from_calendar(0, 0, 0, 2, 6, 0));
    int after = split_date(timestamp_t::now()).year;
    EXPECT_TRUE(d.year == before || d.year == after) << d.year;
    EXPECT_EQ(d.month * 100 + d.day, 602);
}

TEST(TimeCalendar, TimeOfDayAndDecimalForm) {
    time_of_day_t h = split_time(sample.ticks);
    EXPECT_EQ(h.hours * 1000000 + h.minutes * 10000 + h.seconds * 100, 8493700);
    EXPECT_EQ(h.milliseconds, 250);
    time_of_day_t n = split_time(-hms_ms(1, 2, 3, 4));
    EXPECT_EQ(n.hours, -1);
    EXPECT_EQ(n.minutes, -2);
    EXPECT_EQ(n.seconds, -3);
    EXPECT_EQ(n.milliseconds, -4);
    EXPECT_EQ(to_decimal(sample), 19941106084937250LL);
}

TEST(TimeCalendar, MonthArithmetic) {
    auto check = [](year_month_t ym, int count, int year, int month) {
        year_month_t r = add_months(ym, count);
        EXPECT_EQ(r.year * 100 + r.month, year * 100 + month) << ym.year << "/" << ym.month << " + " << count;
    };
    check({2020, 11}, 3, 2021, 2);
    check({2020, 1}, -1, 2019, 12);
    check({2020, 5}, 24, 2022, 5);
    check({2020, 1}, -13, 2018, 12);
    check({2020, 12}, 12, 2021, 12);
    check({2020, 12}, 0, 2020, 12);
}

// ------------------------------------------------------------- text forms

TEST(TimeText, FormsOfOneInstant) {
    EXPECT_EQ(text_of(format_text, sample), "1994/11/06 08:49:37.250");
    EXPECT_EQ(text_of(format_compact, sample), "19941106084937250");
    EXPECT_EQ(text_of(format_rfc1123, sample), "Sun, 06 Nov 1994 08:49:37");
    EXPECT_EQ(text_of(format_rfc1123_gmt, sample), "Sun, 06 Nov 1994 08:49:37 GMT");
    std::string out = "at ";
    format_compact(sample, out);
    EXPECT_EQ(out, "at 19941106084937250");
}

TEST(TimeText, ZoneSignFollowsTheOffset) {
    auto zone = [](int64_t offset_minutes) {
        std::string out;
        format_rfc1123_zone(sample, timegap_t(from_units(offset_minutes, time_unit::minute)), out);
        return out;
    };
    EXPECT_EQ(zone(-60), "Sun, 06 Nov 1994 09:49:37 +0100");
    EXPECT_EQ(zone(300), "Sun, 06 Nov 1994 03:49:37 -0500");
    EXPECT_EQ(zone(0), "Sun, 06 Nov 1994 08:49:37 +0000");
    EXPECT_EQ(zone(-330), "Sun, 06 Nov 1994 14:19:37 +0530");
    EXPECT_EQ(zone(-600), "Sun, 06 Nov 1994 18:49:37 +1000");
}

TEST(TimeText, ElapsedForms) {
    int64_t long_gap = from_dhms(5, 4, 3, 2) + 6 * ms_ticks;
    int64_t minute_gap = hms_ms(0, 0, 59, 500);
    EXPECT_EQ(gap_text(format_elapsed, long_gap), "2-03:04:05.006");
    EXPECT_EQ(gap_text(format_elapsed, minute_gap), "00:00:59.500");
    EXPECT_EQ(gap_text(format_elapsed, 0), "00:00:00.000");
    EXPECT_EQ(gap_text(append_elapsed_short, minute_gap), "59.500");
    EXPECT_EQ(gap_text(append_elapsed_short, long_gap), "2-03:04:05.006");
    EXPECT_EQ(gap_text(append_elapsed_short, hms_ms(0, 1, 5, 0)), "01:05.000");
    EXPECT_EQ(gap_text(append_elapsed_short, hms_ms(1, 0, 0, 0)), "01:00:00.000");
    EXPECT_EQ(gap_text(append_elapsed_short, 0), "00.000");
    EXPECT_EQ(gap_text(format_elapsed, -minute_gap), "-00:00:59.500");
    EXPECT_EQ(gap_text(append_elapsed_short, -long_gap), "-2-03:04:05.006");
    EXPECT_EQ(gap_text(format_elapsed, INT64_MIN), "-1067519-21:52:48.547");
}

// -------------------------------------------------------- compact parser

TEST(TimeCompact, ParsesAndPrintsBack) {
    timestamp_t t(std::string("19941106084937250"));
    EXPECT_EQ(t, sample);
    EXPECT_EQ(text_of(format_compact, t), "19941106084937250");
    EXPECT_EQ(timestamp_t(std::string("00000000000000000")).ticks, 0);
    EXPECT_EQ(timestamp_t(std::string("0")).ticks, 0);
    EXPECT_EQ(timestamp_t(std::string("")).ticks, 0);
    EXPECT_EQ(timestamp_t(std::string("00010101000000000")).ticks, 0);
    EXPECT_EQ(timestamp_t(std::string("00010101000000001")).ticks, ms_ticks);
    calendar_date_t d = split_date(timestamp_t(std::string("00000315000000000")));
    EXPECT_EQ(d.year, split_date(timestamp_t::now()).year);
    EXPECT_EQ(d.month * 100 + d.day, 315);
}

TEST(TimeCompact, RandomInstantsRoundTrip) {
    std::mt19937_64 rng(20261206);
    std::uniform_int_distribution<int64_t> any(1, INT64_MAX / ms_ticks);
    for (int i = 0; i < 20000; ++i) {
        timestamp_t t(any(rng) * ms_ticks);
        std::string text;
        format_compact(t, text);
        ASSERT_EQ(text.size(), 17u) << text;
        ASSERT_EQ(timestamp_t(text), t) << text;
    }
    timestamp_t last(INT64_MAX / ms_ticks * ms_ticks);
    EXPECT_EQ(timestamp_t(text_of(format_compact, last)), last);
}

TEST(TimeCompact, ErrorsNameTheFault) {
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("1994110608493725")); }),
              "not timestamp \"1994110608493725\" because of 17 digits expected, not 16");
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("1994110608493725x")); }),
              "not timestamp \"1994110608493725x\" because of digits expected, not \"x\" (0x78) at position #16");
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("-9941106084937250")); }),
              "not timestamp \"-9941106084937250\" because of digits expected, not \"-\" (0x2d) at position #0");
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("1994 106084937250")); }),
              "not timestamp \"1994 106084937250\" because of digits expected, not \" \" (0x20) at position #4");
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("1994\xe9" "106084937250")); }),
              "not timestamp \"1994\xe9" "106084937250\" because of digits expected, not \"\xe9\" (0xe9) at position #4");
    // Seventeen digits reach years that 64-bit ticks cannot hold.
    EXPECT_EQ(compact_error([] { timestamp_t(std::string("99991231235959999")); }),
              "not timestamp \"99991231235959999\" because of date out of range");
    try {
        timestamp_t t(std::string("12"));
        FAIL() << "parsed as " << t.ticks;
    } catch (number_format_exception_shell_t& e) {
        EXPECT_STREQ(e.record()->file, "time-objs.cpp");
    }
}

// ------------------------------------------------------- RFC 1123 parser

TEST(TimeRfc1123, AcceptedForms) {
    timestamp_t expected = from_calendar(37, 49, 8, 6, 11, 1994);
    EXPECT_EQ(timestamp_t(lstr_t("Sun, 06 Nov 1994 08:49:37 GMT")), expected);
    EXPECT_EQ(timestamp_t(lstr_t("Sun, 06 Nov 1994 08:49:37")), expected);
    EXPECT_EQ(timestamp_t(lstr_t("Xyz,6 Nov 1994 8:49:37")), expected);  // week day unchecked
    EXPECT_EQ(timestamp_t(lstr_t("Sun, 06 N 1994 08:49:37")), expected);
    EXPECT_EQ(timestamp_t(lstr_t("Sun, 06 Ju 1994 08:49:37")), from_calendar(37, 49, 8, 6, 6, 1994));
    // Two blanks leave an empty month token, which every name begins with.
    EXPECT_EQ(timestamp_t(lstr_t("Sun, 06  1994 08:49:37")), from_calendar(37, 49, 8, 6, 1, 1994));
    timestamp_t leap = from_calendar(0, 0, 0, 29, 2, 2000);
    EXPECT_EQ(timestamp_t(lstr_t(text_of(format_rfc1123_gmt, leap))), leap);
    for (int m = 1; m <= 12; ++m) {
        timestamp_t t = from_calendar(59, 59, 23, 28, m, 2024);
        EXPECT_EQ(timestamp_t(lstr_t(text_of(format_rfc1123_gmt, t))), t) << m;
    }
}

TEST(TimeRfc1123, ErrorsQuoteTheTokenAndTheText) {
    EXPECT_EQ(rfc_error("Sunday 06 Nov 1994 08:49:37"),
              "expected week day at \"Sunday 06 Nov 1994 08:49:37\" in \"Sunday 06 Nov 1994 08:49:37\"");
    EXPECT_EQ(rfc_error("Sun,"), "expected week day at \"Sun\" in \"Sun,\"");
    EXPECT_EQ(rfc_error(""), "expected week day at \"\" in \"\"");
    EXPECT_EQ(rfc_error("Sun, 06"), "expected day number at \"06\" in \"Sun, 06\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov"), "expected month at \"Nov\" in \"Sun, 06 Nov\"");
    EXPECT_EQ(rfc_error("Sun, 06 November 1994 08:49:37"),
              "invalid month at \"November\" in \"Sun, 06 November 1994 08:49:37\"");
    EXPECT_EQ(rfc_error("Sun, 06 nov 1994 08:49:37"), "invalid month at \"nov\" in \"Sun, 06 nov 1994 08:49:37\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994"), "expected year number at \"1994\" in \"Sun, 06 Nov 1994\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994 08"), "expected hours number at \"08\" in \"Sun, 06 Nov 1994 08\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994 08:49"), "expected minutes number at \"49\" in \"Sun, 06 Nov 1994 08:49\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994 08:49:"), "expected minutes number at \"49\" in \"Sun, 06 Nov 1994 08:49:\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994 08:49:37 UTC"),
              "expected word \"GMT\" or nothing at \"UTC\" in \"Sun, 06 Nov 1994 08:49:37 UTC\"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 1994 08:49:37 GMT "),
              "expected word \"GMT\" or nothing at \"GMT \" in \"Sun, 06 Nov 1994 08:49:37 GMT \"");
    EXPECT_EQ(rfc_error("Sun, 06 Nov 9999 08:49:37"), "date out of range in \"Sun, 06 Nov 9999 08:49:37\"");
}

TEST(TimeRfc1123, BadNumberChainsTheConversionError) {
    const char* text = "Sun, 06 Nov 1994 08:4x:37 GMT";
    try {
        timestamp_t t{lstr_t(text)};
        FAIL() << "parsed as " << t.ticks;
    } catch (timestamp_format_exception_shell_t& e) {
        EXPECT_STREQ(e.what(),
                     "invalid minutes number \"4x\" before \"37 GMT\" in \"Sun, 06 Nov 1994 08:4x:37 GMT\" "
                     "because of invalid symbol \\x78 in scanned number \"4x\" at position #2");
        ASSERT_NE(e.record(), nullptr);
        d_exception_t* cause = e.record()->cause;
        ASSERT_NE(cause, nullptr);
        EXPECT_NE(dynamic_cast<number_format_exception*>(cause), nullptr);
        EXPECT_STREQ(cause->what(), "invalid symbol \\x78 in scanned number \"4x\" at position #2");
        EXPECT_STREQ(e.record()->file, "time-objs.cpp");
    }
    EXPECT_EQ(rfc_error("Sun, 06 Nov 99999999999 08:49:37"),
              "invalid year number \"99999999999\" before \"08:49:37\" in \"Sun, 06 Nov 99999999999 08:49:37\" "
              "because of scanned number out of range");
    // "-1" converts to 4294967295, a year no tick count can hold.
    EXPECT_EQ(rfc_error("Sun, 06 Nov -1 08:49:37"), "date out of range in \"Sun, 06 Nov -1 08:49:37\"");
}

// --------------------------------------------------------- local offset

TEST(TimeUtcOffset, FixedZones) {
    {
        zone_guard z("UTC");
        EXPECT_EQ(offset_seconds(0), 0);
        EXPECT_EQ(offset_seconds(unix_of(15, 7, 2020, 12, 0)), 0);
    }
    {
        zone_guard z("<+03>-3");
        EXPECT_EQ(offset_seconds(unix_of(15, 7, 2020, 12, 0)), -10800);
        // Local time already in the next year, and on the last day of a leap year.
        EXPECT_EQ(offset_seconds(unix_of(31, 12, 2020, 22, 0)), -10800);
        EXPECT_EQ(offset_seconds(unix_of(30, 12, 2020, 22, 0)), -10800);
        std::string out;
        format_rfc1123_zone(sample, utc_offset(to_time_t(sample)), out);
        EXPECT_EQ(out, "Sun, 06 Nov 1994 11:49:37 +0300");
    }
    {
        zone_guard z("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(offset_seconds(unix_of(15, 1, 2020, 12, 0)), 18000);
        EXPECT_EQ(offset_seconds(unix_of(15, 7, 2020, 12, 0)), 14400);
        // Local time still in the previous year.
        EXPECT_EQ(offset_seconds(unix_of(1, 1, 2021, 2, 0)), 18000);
        std::string out;
        format_rfc1123_zone(sample, utc_offset(to_time_t(sample)), out);
        EXPECT_EQ(out, "Sun, 06 Nov 1994 03:49:37 -0500");
    }
    {
        zone_guard z("<+0530>-5:30");
        EXPECT_EQ(offset_seconds(unix_of(31, 12, 2021, 20, 0)), -19800);
    }
}

// --------------------------------------------------------- duration texts

TEST(TimeDurations, ElapsedTime) {
    auto text = [](int64_t ticks) { return elapsed_time(timegap_t(ticks)); };
    EXPECT_EQ(text(hms_ms(0, 0, 5, 5)), "05.005");
    EXPECT_EQ(text(hms_ms(0, 1, 5, 0)), "01:05.000");
    EXPECT_EQ(text(hms_ms(1, 0, 0, 0)), "01:00:00.000");
    EXPECT_EQ(text(day_ticks + hms_ms(0, 0, 5, 0)), "1-00:00:05.000");
    EXPECT_EQ(text(5 * ms_ticks), "00.005");
    EXPECT_EQ(text(500 * ms_ticks), "00.500");
    EXPECT_EQ(text(0), "00.000");
    EXPECT_EQ(text(ms_ticks - 1), "00.000");
    EXPECT_EQ(text(hms_ms(10, 11, 12, 13)), "10:11:12.013");
    EXPECT_EQ(text(-hms_ms(0, 1, 5, 0)), "-01:05.000");
    EXPECT_EQ(text(INT64_MIN), "-1067519-21:52:48.547");
    EXPECT_EQ(text(INT64_MAX), "1067519-21:52:48.547");
    std::string since = elapsed_since(timestamp_t::now() - timegap_t(2 * day_ticks + hms_ms(3, 0, 0, 0)));
    EXPECT_EQ(since.substr(0, 5), "2-03:") << since;
}

TEST(TimeDurations, SecondsToText) {
    EXPECT_EQ(seconds_to_text(3661), "01:01:01");
    EXPECT_EQ(seconds_to_text(61), "01:01");
    EXPECT_EQ(seconds_to_text(90061), "1-01:01:01");
    EXPECT_EQ(seconds_to_text(86405), "1-00:05");
    EXPECT_EQ(seconds_to_text(0), "00:00");
    EXPECT_EQ(seconds_to_text(86399), "23:59:59");
    EXPECT_EQ(seconds_to_text(UINT64_MAX), "213503982334601-07:00:15");
}

TEST(TimeDurations, TimeSinceText) {
    // Repeat until the clock's second did not change during the call.
    auto since = [](int32_t back) {
        for (;;) {
            int32_t before = to_time_t(timestamp_t::now());
            std::string text = time_since_text(before - back);
            if (to_time_t(timestamp_t::now()) == before) return text;
        }
    };
    EXPECT_EQ(since(90061), "1-01:01:01");
    EXPECT_EQ(since(86399), "23:59:59");
    EXPECT_EQ(since(86400), "1-00:00");
    EXPECT_EQ(since(0), "00:00");
    EXPECT_EQ(since(-61), "-01:01");
}
