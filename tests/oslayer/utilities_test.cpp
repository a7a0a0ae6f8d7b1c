// Formatting, the last system error, number conversions and string helpers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>

#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

namespace {

/// The message of the number_format_exception that `f` throws, or "no throw".
template <typename F>
std::string number_error(F f) {
    try {
        f();
    } catch (number_format_exception_shell_t& e) {
        EXPECT_NE(dynamic_cast<number_format_exception*>(e.record()), nullptr);
        return e.what();
    }
    return "no throw";
}

}  // namespace

TEST(UtilFormat, LengthsAroundTheFirstPassComeBackWhole) {
    for (size_t len : {0u, 1u, 1023u, 1024u, 1025u, 5000u}) {
        std::string body(len, 'x');
        if (len > 0) body[len - 1] = 'z';
        EXPECT_EQ(format_string("%s", body.c_str()), body) << len;
    }
    // The second pass uses the arguments again.
    std::string big(3000, 'q');
    EXPECT_EQ(format_string("<%s|%d|%s>", big.c_str(), -42, "tail"), "<" + big + "|-42|tail>");
    std::string out(4000, 'o');
    format_into(out, "%d-%s", 7, "x");
    EXPECT_EQ(out, "7-x");
    format_into(out, "%s", "");
    EXPECT_EQ(out, "");
}

TEST(UtilLastError, ZeroAndNoEntryKeepErrno) {
    errno = 0;
    EXPECT_EQ(get_last_error(), "No errors detected");
    EXPECT_EQ(errno, 0);
    errno = 2;
    std::string text = get_last_error();
    EXPECT_EQ(errno, 2);
    EXPECT_EQ(text, std::string(strerror(2)) + " (errno=2)");
    int saved = 0;
    save_errno(saved);
    EXPECT_EQ(saved, 2);
    restore_errno(13);
    EXPECT_EQ(*errno_location(), 13);
    errno = 0;
}

TEST(UtilNumbers, EveryTypeWithItsConversion) {
    EXPECT_EQ(num_to_string(1.5L), "1.500000");
    EXPECT_EQ(num_to_string(-2.25), "-2.250000");
    EXPECT_EQ(num_to_string(LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(num_to_string(ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(num_to_string(LONG_MIN), "-9223372036854775808");
    EXPECT_EQ(num_to_string(ULONG_MAX), "18446744073709551615");
    EXPECT_EQ(num_to_string(INT_MIN), "-2147483648");
    EXPECT_EQ(num_to_string(UINT_MAX), "4294967295");
    EXPECT_EQ(num_to_string(static_cast<short>(-32768)), "-32768");
    EXPECT_EQ(num_to_string(static_cast<unsigned short>(65535)), "65535");
    EXPECT_EQ(num_to_string(static_cast<signed char>(-5)), "-5");
    EXPECT_EQ(num_to_string(static_cast<unsigned char>(200)), "200");

    // The "into" forms replace what the string held.
    auto into = [](auto v) {
        std::string out = "previous text";
        num_to_string_into(out, v);
        return out;
    };
    EXPECT_EQ(into(0.5L), "0.500000");
    EXPECT_EQ(into(3.0), "3.000000");
    EXPECT_EQ(into(-1LL) + into(1ULL) + into(-2L) + into(2UL) + into(-3) + into(3U), "-11-22-33");
    EXPECT_EQ(into(static_cast<short>(-4)) + into(static_cast<unsigned short>(4)), "-44");
    EXPECT_EQ(into(static_cast<signed char>(-128)) + into(static_cast<unsigned char>(255)), "-128255");
    std::string out = "previous";
    num_to_string_hex_into(out, 0x1234UL);
    EXPECT_EQ(out, "00001234");
    num_to_string_hex_into(out, ULONG_MAX);
    EXPECT_EQ(out, "ffffffffffffffff");
}

TEST(UtilNumbers, HugeFloatingValuesAreNotCutShort) {
    std::string d = num_to_string(DBL_MAX);
    EXPECT_GT(d.size(), 128u);
    EXPECT_EQ(d, format_string("%f", DBL_MAX));
    std::string out;
    num_to_string_into(out, 1e400L);
    EXPECT_EQ(out, format_string("%Lf", 1e400L));
    EXPECT_EQ(out.substr(out.size() - 7), ".000000");
}

TEST(UtilNumbers, HexFormsAndDump) {
    EXPECT_EQ(hex64_to_string(0xABCULL), "0000000000000abc");
    EXPECT_EQ(hex64_to_string(~0ULL), "ffffffffffffffff");
    EXPECT_EQ(hex32_to_string(0xBEEFu), "0000beef");
    EXPECT_EQ(hex32_to_string(0xFFFFFFFFu), "ffffffff");
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F, 0xFF};
    EXPECT_EQ(hex_dump(bytes, 4), "00000004 00ab7fff");
    EXPECT_EQ(hex_dump(bytes, 0), "00000000 ");
    std::string many(300, '\x10');
    std::string expected = "0000012c ";
    for (int i = 0; i < 300; ++i) expected += "10";
    EXPECT_EQ(hex_dump(many.data(), many.size()), expected);
}

TEST(UtilNumbers, SizeUnits) {
    EXPECT_EQ(size_to_string(0), "0B");
    EXPECT_EQ(size_to_string(1635), "1635B");
    EXPECT_EQ(size_to_string(1636), "1K");
    EXPECT_EQ(size_to_string(1048575), "1023K");
    EXPECT_EQ(size_to_string(1675264), "1M");
    EXPECT_EQ(size_to_string(3ULL << 30), "3G");
    // Past 4 TiB the count stays in gigabytes and is printed in full.
    EXPECT_EQ(size_to_string(5ULL << 40), "5120G");
    EXPECT_EQ(size_to_string(~0ULL), "17179869183G");
}

TEST(UtilParse, DecimalForms) {
    const std::pair<const char*, uint32_t> nums[] = {{"12", 12},  {"+7", 7},      {"-", 0},        {"+", 0},
                                                     {"1.9", 1},  {"2e3", 2000},  {"1,5e1", 15},   {"15E-1", 1},
                                                     {"7.", 7},   {".", 0},       {"0012", 12}};
    for (const auto& c : nums) EXPECT_EQ(string_to_num(c.first), c.second) << c.first;
    EXPECT_EQ(string_to_num_strict("4294967295"), 4294967295u);
    EXPECT_EQ(string_to_int64("-12"), -12);
    EXPECT_EQ(string_to_int64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(string_to_int64("-2.7"), -2);
    EXPECT_EQ(string_to_uint64("18446744073709551615"), UINT64_MAX);
    const std::pair<const char*, double> doubles[] = {
        {"-0.25", -0.25}, {"2,5", 2.5}, {"1e-3", 0.001}, {"123.456", 123.456}, {"0e999999999999", 0.0}};
    for (const auto& c : doubles) EXPECT_DOUBLE_EQ(string_to_double(c.first), c.second) << c.first;
    EXPECT_TRUE(std::isinf(string_to_double("1e400")));
}

TEST(UtilParse, OutOfRangeWrapsOrSaturates) {
    EXPECT_EQ(string_to_num("4294967296"), 0u);
    EXPECT_EQ(string_to_num("4294967297"), 1u);
    EXPECT_EQ(string_to_num("-1"), 4294967295u);
    EXPECT_EQ(string_to_uint64("18446744073709551617"), 1u);
    // A floating result wraps exactly like the same integer would...
    EXPECT_EQ(string_to_num("5e9"), string_to_num("5000000000"));
    EXPECT_EQ(string_to_num("-1.5"), string_to_num("-1"));
    // ...and beyond 64 bits, where wrapping is meaningless, it saturates.
    EXPECT_EQ(string_to_num("1e30"), UINT32_MAX);
    EXPECT_EQ(string_to_int64("1e30"), INT64_MAX);
    EXPECT_EQ(string_to_int64("-1e30"), INT64_MIN);
    EXPECT_EQ(string_to_uint64("-1e30"), 0u);
}

TEST(UtilParse, ErrorMessages) {
    EXPECT_EQ(number_error([] { string_to_num(""); }), "empty string");
    EXPECT_EQ(number_error([] { string_to_num("12x"); }), "illegal char \\x78 in string \"12x\" at position 3");
    EXPECT_EQ(number_error([] { string_to_num("3E"); }), "no exponent present in string \"3E\" after 'E' at position 2");
    EXPECT_EQ(number_error([] { string_to_num("3e+"); }), "no exponent present in string \"3e+\" after 'E' at position 2");
    EXPECT_EQ(number_error([] { string_to_num("3e+x"); }), "illegal char \\x78 in string \"3e+x\" at position 4");
    EXPECT_EQ(number_error([] { string_to_num("1.2.3"); }), "illegal char \\x2e in string \"1.2.3\" at position 4");
    EXPECT_EQ(number_error([] { string_to_num("1e2.5"); }), "illegal char \\x2e in string \"1e2.5\" at position 4");
    EXPECT_EQ(number_error([] { string_to_num("-+5"); }), "illegal char \\x2b in string \"-+5\" at position 2");
    EXPECT_EQ(number_error([] { string_to_num(" 5"); }), "illegal char \\x20 in string \" 5\" at position 1");
    // Bytes above 127 print sign-extended.
    EXPECT_EQ(number_error([] { string_to_num("1\xE9"); }), "illegal char \\xffffffe9 in string \"1\xE9\" at position 2");
    EXPECT_EQ(number_error([] { string_to_num_strict("1.5"); }), "illegal char \\x2e in string \"1.5\" at position 2");
    EXPECT_EQ(number_error([] { string_to_num_strict("-1"); }), "illegal char \\x2d in string \"-1\" at position 1");
    EXPECT_EQ(number_error([] { string_to_num_strict("1e3"); }), "illegal char \\x65 in string \"1e3\" at position 2");
    EXPECT_EQ(number_error([] { string_to_double("0.5x"); }), "illegal char \\x78 in string \"0.5x\" at position 4");
    EXPECT_EQ(number_error([] { string_to_int64(""); }), "empty string");
    EXPECT_EQ(number_error([] { string_to_uint64("9 "); }), "illegal char \\x20 in string \"9 \" at position 2");
    EXPECT_EQ(number_error([] { hex_string_to_num(""); }), "empty string");
    EXPECT_EQ(number_error([] { hex_string_to_num("1g"); }), "illegal char 0x67 in string \"1g\" at position 2");
    EXPECT_EQ(number_error([] { hex_string_to_num("-1"); }), "illegal char 0x2d in string \"-1\" at position 1");
    EXPECT_EQ(number_error([] { hex_string_to_num("0x1"); }), "illegal char 0x78 in string \"0x1\" at position 2");
}

TEST(UtilParse, ErrorCarriesTracePoint) {
    _d_exception_t::backtrace_enabled = true;
    std::string where;
    try {
        string_to_uint64("7q");
    } catch (number_format_exception_shell_t& e) {
        where = e.where();
    }
    _d_exception_t::backtrace_enabled = false;
    EXPECT_NE(where.find("string_to_uint64"), std::string::npos) << where;
}

TEST(UtilParse, Hexadecimal) {
    EXPECT_EQ(hex_string_to_num("1aF"), 431u);
    EXPECT_EQ(hex_string_to_num("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(hex_string_to_num("100000001"), 1u);
}

TEST(UtilParse, SizeFromEnvironment) {
    const char* name = "VELMO_UTIL_TEST_SIZE";
    oslayer_test::env_guard_t v(name);
    EXPECT_EQ(getenv_size(name, 99), 99u);
    const std::pair<const char*, d_uint64_t> cases[] = {{"16M", 16777216}, {"10", 10},           {"4k", 4096},
                                                        {"3K", 3072},      {"2g", 2147483648ULL}, {"1m", 1048576}};
    for (const auto& c : cases) {
        v.set(c.first);
        EXPECT_EQ(getenv_size(name, 99), c.second) << c.first;
    }
    const std::pair<const char*, const char*> errors[] = {
        {"", "empty string"},
        {"16Mx", "illegal char \\x4d in string \"16Mx\" at position 3"},
        {"5T", "illegal char \\x54 in string \"5T\" at position 2"}};
    for (const auto& e : errors) {
        v.set(e.first);
        EXPECT_EQ(number_error([&] { getenv_size(name, 1); }), e.second);
    }
}

TEST(UtilStrings, TrimAndCase) {
    // The vertical tab is not among the trimmed bytes.
    for (const auto& c : {std::make_pair(" \t\r\n\fab c\f\n", "ab c"), std::make_pair(" \t \r\n", ""),
                          std::make_pair("\vx\v", "\vx\v")}) {
        std::string s = c.first;
        trim_string(s);
        EXPECT_EQ(s, c.second);
    }

    const char mixed[] = "aBc\0Z\xE9-9";
    EXPECT_EQ(to_lower_string(mixed, 8), std::string("abc\0z\xE9-9", 8));
    EXPECT_EQ(to_upper_string(mixed, 8), std::string("ABC\0Z\xE9-9", 8));
    EXPECT_EQ(to_upper_string(mixed, 2), "AB");
    EXPECT_EQ(to_lower_string(mixed, 0), "");
}

TEST(UtilStrings, CountsAndBounds) {
    EXPECT_EQ(count_fields("a,b,,c", ','), 4u);
    EXPECT_EQ(count_fields("", ','), 0u);
    EXPECT_EQ(count_fields("abc", ','), 1u);
    EXPECT_EQ(count_fields(",", ','), 2u);
    EXPECT_EQ(bounded_length("abc", 10), 3u);
    EXPECT_EQ(bounded_length("abcdef", 4), 4u);
    EXPECT_EQ(bounded_length("abc", 0), 0u);
    EXPECT_EQ(bounded_length("abc", -1), 0u);
    EXPECT_EQ(bounded_length(nullptr, 5), 0u);
    const char unterminated[4] = {'a', 'b', 'c', 'd'};  // must not be read past
    EXPECT_EQ(bounded_length(unterminated, 4), 4u);
}

TEST(UtilStrings, ErrorLines) {
    EXPECT_EQ(split_error_lines("cannot open \"f\" because of no such file; retry later and unix error is 2"),
              "cannot open \"f\"\r\nbecause of no such file\r\nretry later\r\nand unix error is 2");
    EXPECT_EQ(split_error_lines("plain text"), "plain text");
    EXPECT_EQ(split_error_lines(""), "");
    EXPECT_EQ(split_error_lines("; a;b; "), "\r\na;b\r\n");
    EXPECT_EQ(split_error_lines("x because of y because of z"), "x\r\nbecause of y\r\nbecause of z");
}

TEST(UtilStrings, DatesAndDays) {
    EXPECT_EQ(compact_to_display("19941106084937250"), "06/11/1994 08:49:37.250");
    EXPECT_EQ(compact_to_display("1994110608493725"), "1994110608493725");
    EXPECT_EQ(compact_to_display(""), "");

    const char* names[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
    for (int d = 0; d < 7; ++d) {
        EXPECT_STREQ(week_day_name(d), names[d]);
        std::string full = names[d];
        EXPECT_EQ(parse_week_day(full), d);
        EXPECT_EQ(parse_week_day(full.substr(0, 2)), d);
        EXPECT_EQ(parse_week_day(full.substr(0, 3)), d);
        EXPECT_EQ(parse_week_day(to_upper_string(full.data(), full.size())), d);
        EXPECT_EQ(parse_week_day(to_lower_string(full.data(), 3)), d);
        EXPECT_EQ(parse_week_day(full.substr(0, 4)), -1) << full;
        EXPECT_EQ(parse_week_day(full + "s"), -1);
    }
    EXPECT_STREQ(week_day_name(-1), "Error");
    EXPECT_STREQ(week_day_name(7), "Error");
    for (const char* bad : {"", "M", "Mx", "Thurs", "Tuesd", "Xyz"}) EXPECT_EQ(parse_week_day(bad), -1) << bad;
}

TEST(UtilStrings, AssignText) {
    std::string to = "old";
    EXPECT_TRUE(assign_text(std::string("new"), to));
    EXPECT_EQ(to, "new");
    std::wstring wto = L"old";
    EXPECT_TRUE(assign_text(std::wstring(L"wide"), wto));
    EXPECT_EQ(wto, L"wide");
}
