// Time stamps, gaps, the calendar, the text forms and parsers, and the
// duration texts.

#include <ctime>

#include "oslayer/_kern.h"
#include "oslayer/amtypes.h"
#include "oslayer/time-objs.h"
#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

namespace {

const int64_t day_ticks = 8640000000000LL;
const int64_t ms_ticks = 100000LL;

int64_t hms_ms(int h, int m, int s, int ms) { return from_dhms(s, m, h, 0) + ms * ms_ticks; }

bool is_leap(int year) {
    int a = year < 0 ? year + 1 : year;  // no year 0 in the calendar
    return (a % 4 == 0 && a % 100 != 0) || a % 400 == 0;
}

calendar_date_t next_day(calendar_date_t d) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int last = d.month == 2 && is_leap(d.year) ? 29 : days[d.month - 1];
    if (d.day < last) return {d.year, d.month, d.day + 1};
    if (d.month < 12) return {d.year, d.month + 1, 1};
    return {d.year == -1 ? 1 : d.year + 1, 1, 1};
}

std::string date_text(calendar_date_t d) {
    return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
}

std::string date_of(int day, int month, int year) {
    return date_text(split_date(from_calendar(0, 0, 0, day, month, year)));
}

/// The message of the error of kind R (in shell S) that parsing `text` as T raises.
template <class S, class R, class T>
std::string parse_error(const T& text) {
    try {
        timestamp_t t{text};
    } catch (S& e) {
        EXPECT_NE(dynamic_cast<R*>(e.record()), nullptr);
        EXPECT_STREQ(e.record()->file, "time-objs.cpp");
        return e.what();
    }
    return "no error";
}

std::string compact_error(const char* text) {
    return parse_error<number_format_exception_shell_t, number_format_exception>(std::string(text));
}

std::string rfc_error(const char* text) {
    return parse_error<timestamp_format_exception_shell_t, timestamp_format_exception>(lstr_t(text));
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

const timestamp_t sample = from_calendar(37, 49, 8, 6, 11, 1994) + timegap_t(250 * ms_ticks);

}  // namespace

TEST(TimeUnits, UnixTimeConversionsClampAtBothEnds) {
    EXPECT_EQ(from_time_t(0).ticks, 6213559680000000000LL);
    const std::pair<timestamp_t, time_t> cases[] = {
        {from_time_t(0), 0},           {timestamp_t(), 0},
        {from_time_t(-1), 0},          {timestamp_t(INT64_MIN), 0},
        {from_time_t(1234567890), 1234567890}, {from_time_t(INT32_MAX), INT32_MAX},
        {from_calendar(0, 0, 0, 1, 1, 2100), INT32_MAX}, {timestamp_t(INT64_MAX), INT32_MAX}};
    for (const auto& c : cases) EXPECT_EQ(to_time_t(c.first), c.second) << c.first.ticks;
}

TEST(TimeUnits, ComponentsScalingAndSigns) {
    const int64_t t = hms_ms(1, 2, 3, 4);
    const struct { int64_t ticks; int unit, span; int64_t expected; } to[] = {
        {t, time_unit::minute, 1, 2}, {t, time_unit::millisecond, 3, 4}, {t, time_unit::hour, 0, 1},
        {t, time_unit::second, 1, 3}, {t, time_unit::minute, 0, 62},    {t + 5 * day_ticks, time_unit::hour, 1, 1},
        // Remainders keep the sign of the tick count; a span below the tick gives 0.
        {-t, time_unit::minute, 1, -2}, {-t, time_unit::millisecond, 3, -4}, {t, time_unit::tick, -1, 0},
        {7, time_unit::nanosecond, 0, 70}, {7, -10, 0, 700}};
    for (const auto& c : to) EXPECT_EQ(to_units(c.ticks, c.unit, c.span), c.expected) << c.ticks << " " << c.unit;
    EXPECT_EQ(to_units_nonzero(5 * ms_ticks, time_unit::second, 0), 1);
    EXPECT_EQ(to_units_nonzero(-5 * ms_ticks, time_unit::second, 0), -1);
    EXPECT_EQ(to_units_nonzero(0, time_unit::second, 0), 0);
    EXPECT_EQ(to_units_nonzero(hms_ms(2, 3, 7, 0), time_unit::minute, 1), 3);
    const struct { int64_t count; int unit; int64_t ticks; } from[] = {
        {7, time_unit::nanosecond, 0},  {15, time_unit::nanosecond, 1},  {-15, time_unit::nanosecond, -1},
        {3, time_unit::day, 3 * day_ticks}, {2, time_unit::day + 1, 20 * day_ticks},
        {9, time_unit::millisecond, 9 * ms_ticks}};
    for (const auto& c : from) EXPECT_EQ(from_units(c.count, c.unit), c.ticks) << c.count << " " << c.unit;
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
    for (int code = -40; code < -8; ++code) EXPECT_LE(from_units(999, code), 99) << code;
    from_dhms(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX);
    from_dhms(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN);
}

TEST(TimeCalendar, EpochOriginAndUnsetZero) {
    timestamp_t epoch(epoch_ticks);
    EXPECT_EQ(date_text(split_date(epoch)), "1970-1-1");
    EXPECT_EQ(week_day(epoch), 3);
    EXPECT_EQ(julian_day(epoch), 2440588);
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 1, 1970), epoch);
    EXPECT_EQ(week_day(timestamp_t(1)), 0);  // 0001-01-01 was a Monday
    EXPECT_EQ(week_day(sample), 6);
    timestamp_t zero;
    EXPECT_EQ(date_text(split_date(zero)), "0-0-0");
    int d = -1, m = -1, y = -1;
    split_date(zero, &d, &m, &y);
    EXPECT_EQ(d + m + y, 0);
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
        if ((date_text(got) != date_text(expected) || wd != expected_wd || back.ticks != d * day_ticks) &&
            failures++ == 0)
            first_failure = "day " + std::to_string(d) + ": got " + date_text(got) + " expected " +
                            date_text(expected) + " week day " + std::to_string(wd);
        expected = next_day(got);
        expected_wd = (wd + 1) % 7;
    }
    EXPECT_EQ(failures, 0) << first_failure;
    EXPECT_EQ(split_date(timestamp_t(INT64_MIN)).year, -2923);
    EXPECT_EQ(date_text(split_date(timestamp_t(INT64_MAX))), "2923-10-9");
}

// Leap years and the year before 1 are checked day by day above; here the
// carries of out-of-range fields and the year 0 that means this year.
TEST(TimeCalendar, FieldsCarryAndYearZeroIsThisYear) {
    // The first instant of the calendar is tick 0, the "unset" value.
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 1, 1).ticks, 0);
    EXPECT_EQ(date_of(2, 1, 1), "1-1-2");
    EXPECT_EQ(date_of(29, 2, 1900) + " " + date_of(29, 2, -101), "1900-3-1 -101-3-1");  // no leap day: carried
    EXPECT_EQ(from_calendar(61, 0, 0, 1, 1, 2000), from_calendar(1, 1, 0, 1, 1, 2000));
    EXPECT_EQ(from_calendar(0, 0, 0, 1, 13, 1999), from_calendar(0, 0, 0, 1, 1, 2000));
    EXPECT_EQ(from_calendar(0, 0, 24, 31, 12, 1999), from_calendar(0, 0, 0, 1, 1, 2000));
    int before = split_date(timestamp_t::now()).year;
    calendar_date_t d = split_date(from_calendar(0, 0, 0, 2, 6, 0));
    int after = split_date(timestamp_t::now()).year;
    EXPECT_TRUE(d.year == before || d.year == after) << d.year;
    EXPECT_EQ(d.month * 100 + d.day, 602);
}

TEST(TimeCalendar, TimeOfDayDecimalFormAndMonthArithmetic) {
    time_of_day_t h = split_time(sample.ticks);
    EXPECT_EQ(std::vector<int>({h.hours, h.minutes, h.seconds, h.milliseconds}), std::vector<int>({8, 49, 37, 250}));
    time_of_day_t n = split_time(-hms_ms(1, 2, 3, 4));
    EXPECT_EQ(std::vector<int>({n.hours, n.minutes, n.seconds, n.milliseconds}), std::vector<int>({-1, -2, -3, -4}));
    time_of_day_t z = split_time(0);
    EXPECT_EQ(z.hours | z.minutes | z.seconds | z.milliseconds, 0);
    EXPECT_EQ(to_decimal(sample), 19941106084937250LL);
    const struct { year_month_t from; int count, year, month; } months[] = {
        {{2020, 11}, 3, 2021, 2},  {{2020, 1}, -1, 2019, 12},  {{2020, 5}, 24, 2022, 5},
        {{2020, 1}, -13, 2018, 12}, {{2020, 12}, 12, 2021, 12}, {{2020, 12}, 0, 2020, 12}};
    for (const auto& c : months) {
        year_month_t r = add_months(c.from, c.count);
        EXPECT_EQ(r.year * 100 + r.month, c.year * 100 + c.month) << c.from.year << "/" << c.from.month << "+"
                                                                  << c.count;
    }
}

TEST(TimeText, FormsOfOneInstantAndZoneSigns) {
    EXPECT_EQ(text_of(format_text, sample), "1994/11/06 08:49:37.250");
    EXPECT_EQ(text_of(format_rfc1123, sample), "Sun, 06 Nov 1994 08:49:37");
    EXPECT_EQ(text_of(format_rfc1123_gmt, sample), "Sun, 06 Nov 1994 08:49:37 GMT");
    std::string out = "at ";
    format_compact(sample, out);
    EXPECT_EQ(out, "at 19941106084937250");
    const std::pair<int64_t, const char*> zones[] = {
        {300, "03:49:37 -0500"}, {0, "08:49:37 +0000"}, {-330, "14:19:37 +0530"}};
    for (const auto& z : zones) {
        out.clear();
        format_rfc1123_zone(sample, timegap_t(from_units(z.first, time_unit::minute)), out);
        EXPECT_EQ(out, std::string("Sun, 06 Nov 1994 ") + z.second);
    }
}

TEST(TimeCompact, EdgesRoundTrip) {
    const std::pair<const char*, int64_t> edges[] = {{"19941106084937250", sample.ticks}, {"00000000000000000", 0},
                                                     {"0", 0}, {"", 0}, {"00010101000000000", 0},
                                                     {"00010101000000001", ms_ticks}};
    for (const auto& e : edges) EXPECT_EQ(timestamp_t(std::string(e.first)).ticks, e.second) << e.first;
    calendar_date_t d = split_date(timestamp_t(std::string("00000315000000000")));
    EXPECT_EQ(d.year, split_date(timestamp_t::now()).year);
    EXPECT_EQ(d.month * 100 + d.day, 315);
    timestamp_t last(INT64_MAX / ms_ticks * ms_ticks);
    EXPECT_EQ(timestamp_t(text_of(format_compact, last)), last);
}

TEST(TimeCompact, ErrorsNameTheFault) {
    EXPECT_EQ(compact_error("1994110608493725x"),
              "not timestamp \"1994110608493725x\" because of digits expected, not \"x\" (0x78) at position #16");
    // Seventeen digits reach years that 64-bit ticks cannot hold.
    for (const char* bad : {"1994110608493725", "-9941106084937250", "99991231235959999"})
        EXPECT_EQ(compact_error(bad).rfind("not timestamp \"" + std::string(bad) + "\" because of ", 0), 0u) << bad;
}

TEST(TimeRfc1123, AcceptedForms) {
    timestamp_t expected = from_calendar(37, 49, 8, 6, 11, 1994);
    // The week day is unchecked; a month name may be cut short, even to
    // nothing (two blanks), and then the first month matching it is taken.
    const std::pair<const char*, timestamp_t> cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", expected}, {"Sun, 06 Nov 1994 08:49:37", expected},
        {"Xyz,6 Nov 1994 8:49:37", expected},       {"Sun, 06 N 1994 08:49:37", expected},
        {"Sun, 06 Ju 1994 08:49:37", from_calendar(37, 49, 8, 6, 6, 1994)},
        {"Sun, 06  1994 08:49:37", from_calendar(37, 49, 8, 6, 1, 1994)}};
    for (const auto& c : cases) EXPECT_EQ(timestamp_t(lstr_t(c.first)), c.second) << c.first;
    for (int m = 1; m <= 12; ++m) {
        timestamp_t t = from_calendar(59, 59, 23, 28, m, 2024);
        EXPECT_EQ(timestamp_t(lstr_t(text_of(format_rfc1123_gmt, t))), t) << m;
    }
}

TEST(TimeRfc1123, ErrorsQuoteTheTokenAndTheText) {
    EXPECT_EQ(rfc_error("Sun, 06 November 1994 08:49:37"),
              "invalid month at \"November\" in \"Sun, 06 November 1994 08:49:37\"");
    // Each missing or bad field, and years no tick count holds ("-1" converts to 4294967295).
    for (const char* bad : {"Sunday 06 Nov 1994 08:49:37", "Sun, 06", "Sun, 06 Nov", "Sun, 06 nov 1994 08:49:37",
                            "Sun, 06 Nov 1994", "Sun, 06 Nov 1994 08", "Sun, 06 Nov 1994 08:49:",
                            "Sun, 06 Nov 1994 08:49:37 GMT ", "Sun, 06 Nov 9999 08:49:37", "Sun, 06 Nov -1 08:49:37",
                            "Sun, 06 Nov 99999999999 08:49:37"})
        EXPECT_NE(rfc_error(bad).find(" in \"" + std::string(bad) + "\""), std::string::npos) << bad;
}

TEST(TimeRfc1123, BadNumberChainsTheConversionError) {
    try {
        timestamp_t t{lstr_t("Sun, 06 Nov 1994 08:4x:37 GMT")};
        FAIL() << "parsed as " << t.ticks;
    } catch (timestamp_format_exception_shell_t& e) {
        ASSERT_NE(e.record()->cause, nullptr);
        EXPECT_NE(dynamic_cast<number_format_exception*>(e.record()->cause), nullptr);
        EXPECT_NE(std::string(e.what()).find(e.record()->cause->what()), std::string::npos) << e.what();
    }
}

TEST(TimeUtcOffset, FixedZonesAndTheirSignInTheZoneForm) {
    auto unix_of = [](int day, int month, int year, int h) {
        return static_cast<time_t>((from_calendar(0, 0, h, day, month, year).ticks - epoch_ticks) / ticks_per_second);
    };
    const char *plus3 = "<+03>-3", *est = "EST5EDT,M3.2.0,M11.1.0";
    // Local time already in the next year, on the last day of a leap year,
    // and still in the previous year.
    const struct { const char* tz; time_t when; int64_t offset; } cases[] = {
        {"UTC", unix_of(15, 7, 2020, 12), 0},  {plus3, unix_of(15, 7, 2020, 12), -10800},
        {plus3, unix_of(31, 12, 2020, 22), -10800}, {plus3, unix_of(30, 12, 2020, 22), -10800},
        {est, unix_of(15, 1, 2020, 12), 18000},     {est, unix_of(15, 7, 2020, 12), 14400},
        {est, unix_of(1, 1, 2021, 2), 18000},       {"<+0530>-5:30", unix_of(31, 12, 2021, 20), -19800}};
    {
        oslayer_test::env_guard_t tz("TZ");
        for (const auto& c : cases) {
            tz.set(c.tz);
            tzset();
            EXPECT_EQ(utc_offset(c.when).ticks / ticks_per_second, c.offset) << c.tz << " " << c.when;
        }
        for (const auto& z : {std::make_pair(plus3, "11:49:37 +0300"), std::make_pair(est, "03:49:37 -0500")}) {
            tz.set(z.first);
            tzset();
            std::string out;
            format_rfc1123_zone(sample, utc_offset(to_time_t(sample)), out);
            EXPECT_EQ(out, std::string("Sun, 06 Nov 1994 ") + z.second);
        }
    }
    tzset();
}

TEST(TimeDurations, ElapsedFormsAndSecondsTexts) {
    using form_t = std::string (*)(int64_t);
    const form_t full = [](int64_t t) { return gap_text(format_elapsed, t); };
    const form_t brief = [](int64_t t) { return gap_text(append_elapsed_short, t); };
    const form_t text = [](int64_t t) { return elapsed_time(timegap_t(t)); };
    const form_t secs = [](int64_t t) { return seconds_to_text(static_cast<uint64_t>(t)); };
    const int64_t long_gap = from_dhms(5, 4, 3, 2) + 6 * ms_ticks, minute_gap = hms_ms(0, 0, 59, 500);
    const struct { form_t form; int64_t ticks; const char* text; } cases[] = {
        {full, long_gap, "2-03:04:05.006"},        {full, -minute_gap, "-00:00:59.500"},
        {full, INT64_MIN, "-1067519-21:52:48.547"}, {brief, minute_gap, "59.500"},
        {brief, hms_ms(0, 1, 5, 0), "01:05.000"},  {brief, hms_ms(1, 0, 0, 0), "01:00:00.000"},
        {brief, -long_gap, "-2-03:04:05.006"},     {text, day_ticks + hms_ms(0, 0, 5, 0), "1-00:00:05.000"},
        {text, ms_ticks - 1, "00.000"},            {text, -hms_ms(0, 1, 5, 0), "-01:05.000"},
        {text, INT64_MAX, "1067519-21:52:48.547"}, {secs, 61, "01:01"},
        {secs, 86405, "1-00:05"},                  {secs, 0, "00:00"},
        {secs, 86399, "23:59:59"},                 {secs, -1, "213503982334601-07:00:15"}};
    for (const auto& c : cases) EXPECT_EQ(c.form(c.ticks), c.text) << c.ticks;
    std::string since = elapsed_since(timestamp_t::now() - timegap_t(2 * day_ticks + hms_ms(3, 0, 0, 0)));
    EXPECT_EQ(since.substr(0, 5), "2-03:") << since;
    // Repeat until the clock's second did not change during the call.
    auto back = [](int32_t seconds) {
        for (;;) {
            int32_t before = to_time_t(timestamp_t::now());
            std::string text = time_since_text(before - seconds);
            if (to_time_t(timestamp_t::now()) == before) return text;
        }
    };
    const std::pair<int32_t, const char*> ago[] = {
        {90061, "1-01:01:01"}, {86399, "23:59:59"}, {86400, "1-00:00"}, {0, "00:00"}, {-61, "-01:01"}};
    for (const auto& c : ago) EXPECT_EQ(back(c.first), c.second) << c.first;
}
