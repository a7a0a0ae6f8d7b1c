// Formatting, the last system error, number conversions and string helpers.

#include <cfloat>
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
    EXPECT_EQ(get_last_error(), std::string(strerror(2)) + " (errno=2)");
    EXPECT_EQ(errno, 2);
    errno = 0;
}

TEST(UtilNumbers, ExtremesOfTheWidestTypesAndIntoFormsReplace) {
    EXPECT_EQ(num_to_string(LLONG_MIN) + " " + num_to_string(ULLONG_MAX), "-9223372036854775808 18446744073709551615");
    EXPECT_EQ(num_to_string(INT_MIN) + " " + num_to_string(UINT_MAX), "-2147483648 4294967295");
    EXPECT_EQ(num_to_string(static_cast<signed char>(-5)) + num_to_string(static_cast<unsigned char>(200)), "-5200");
    EXPECT_EQ(num_to_string(-2.25), "-2.250000");
    std::string out = "previous text";
    num_to_string_into(out, static_cast<signed char>(-128));
    EXPECT_EQ(out, "-128");
    num_to_string_into(out, 0.5L);
    EXPECT_EQ(out, "0.500000");
    num_to_string_hex_into(out, ULONG_MAX);
    EXPECT_EQ(out, "ffffffffffffffff");
    num_to_string_hex_into(out, 0x1234UL);
    EXPECT_EQ(out, "00001234");
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

TEST(UtilNumbers, HexFormsDumpAndSizeUnits) {
    EXPECT_EQ(hex64_to_string(0xABCULL) + " " + hex32_to_string(0xBEEFu), "0000000000000abc 0000beef");
    EXPECT_EQ(hex64_to_string(~0ULL) + " " + hex32_to_string(0xFFFFFFFFu), "ffffffffffffffff ffffffff");
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F, 0xFF};
    EXPECT_EQ(hex_dump(bytes, 4), "00000004 00ab7fff");
    EXPECT_EQ(hex_dump(bytes, 0), "00000000 ");
    std::string many(300, '\x10'), expected = "0000012c ";
    for (int i = 0; i < 300; ++i) expected += "10";
    EXPECT_EQ(hex_dump(many.data(), many.size()), expected);
    // Past 4 TiB the count stays in gigabytes and is printed in full.
    const std::pair<uint64_t, const char*> sizes[] = {
        {0, "0B"},         {1635, "1635B"}, {1636, "1K"},         {1048575, "1023K"},
        {1675264, "1M"},   {3ULL << 30, "3G"}, {5ULL << 40, "5120G"}, {~0ULL, "17179869183G"}};
    for (const auto& c : sizes) EXPECT_EQ(size_to_string(c.first), c.second) << c.first;
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

TEST(UtilParse, ErrorMessagesAndHexadecimal) {
    using conv = void (*)(const char*);
    const conv num = [](const char* t) { string_to_num(t); }, strict = [](const char* t) { string_to_num_strict(t); };
    const conv hex = [](const char* t) { hex_string_to_num(t); };
    EXPECT_EQ(number_error([&] { num("3e+x"); }), "illegal char \\x78 in string \"3e+x\" at position 4");
    const std::pair<conv, const char*> cases[] = {
        {num, ""},     {num, "3E"},     {num, "3e+"},  {num, "1.2.3"},  {num, "1e2.5"}, {num, "-+5"},
        {num, " 5"},   {strict, "1.5"}, {strict, "-1"}, {strict, "1e3"}, {hex, ""},      {hex, "1g"},
        {hex, "-1"},   {hex, "0x1"},    {[](const char* t) { string_to_double(t); }, "0.5x"},
        {[](const char* t) { string_to_int64(t); }, ""}, {[](const char* t) { string_to_uint64(t); }, "9 "}};
    for (const auto& c : cases) EXPECT_NE(number_error([&] { c.first(c.second); }), "no throw") << c.second;
    EXPECT_EQ(hex_string_to_num("1aF"), 431u);
    EXPECT_EQ(hex_string_to_num("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(hex_string_to_num("100000001"), 1u);
}

TEST(UtilParse, SizeFromEnvironment) {
    const char* name = "VELMO_UTIL_TEST_SIZE";
    oslayer_test::env_guard_t v(name);
    EXPECT_EQ(getenv_size(name, 99), 99u);
    const std::pair<const char*, d_uint64_t> cases[] = {
        {"16M", 16777216}, {"10", 10}, {"3K", 3072}, {"2g", 2147483648ULL}};
    for (const auto& c : cases) {
        v.set(c.first);
        EXPECT_EQ(getenv_size(name, 99), c.second) << c.first;
    }
    for (const char* bad : {"", "16Mx", "5T"}) {
        v.set(bad);
        EXPECT_NE(number_error([&] { getenv_size(name, 1); }), "no throw") << bad;
    }
}

TEST(UtilStrings, TrimCaseCountsBoundsAndErrorLines) {
    // The vertical tab is not among the trimmed bytes.
    for (const auto& c : {std::make_pair(" \t\r\n\fab c\f\n", "ab c"), std::make_pair(" \t \r\n", ""),
                          std::make_pair("\vx\v", "\vx\v")}) {
        std::string s = c.first;
        trim_string(s);
        EXPECT_EQ(s, c.second);
    }
    const char mixed[] = "aBc\0Z\xE9-9";
    EXPECT_EQ(to_lower_string(mixed, 8) + to_upper_string(mixed, 8), std::string("abc\0z\xE9-9ABC\0Z\xE9-9", 16));
    EXPECT_EQ(to_upper_string(mixed, 2) + to_lower_string(mixed, 0), "AB");
    const std::pair<const char*, size_t> fields[] = {{"a,b,,c", 4}, {"", 0}, {"abc", 1}, {",", 2}};
    for (const auto& c : fields) EXPECT_EQ(count_fields(c.first, ','), c.second) << c.first;
    const char unterminated[4] = {'a', 'b', 'c', 'd'};  // must not be read past
    EXPECT_EQ((std::vector<size_t>{bounded_length("abc", 10), bounded_length("abcdef", 4), bounded_length("abc", 0),
                                   bounded_length("abc", -1), bounded_length(nullptr, 5),
                                   bounded_length(unterminated, 4)}),
              (std::vector<size_t>{3, 4, 0, 0, 0, 4}));
    const std::pair<const char*, const char*> errors[] = {
        {"cannot open \"f\" because of no such file; retry later and unix error is 2",
         "cannot open \"f\"\r\nbecause of no such file\r\nretry later\r\nand unix error is 2"},
        {"plain text", "plain text"}, {"", ""}, {"; a;b; ", "\r\na;b\r\n"},
        {"x because of y because of z", "x\r\nbecause of y\r\nbecause of z"}};
    for (const auto& c : errors) EXPECT_EQ(split_error_lines(c.first), c.second) << c.first;
}

TEST(UtilStrings, DatesAndDays) {
    EXPECT_EQ(compact_to_display("19941106084937250"), "06/11/1994 08:49:37.250");
    EXPECT_EQ(compact_to_display("1994110608493725"), "1994110608493725");
    EXPECT_EQ(compact_to_display(""), "");
    // Two or three letters, or the whole name, in any case.
    for (int d : {0, 6}) {
        std::string full = week_day_name(d);
        for (const std::string& ok : {full, full.substr(0, 2), to_upper_string(full.data(), full.size()),
                                      to_lower_string(full.data(), 3)})
            EXPECT_EQ(parse_week_day(ok), d) << ok;
        EXPECT_EQ(parse_week_day(full.substr(0, 4)), -1) << full;
        EXPECT_EQ(parse_week_day(full + "s"), -1);
    }
    EXPECT_STREQ(week_day_name(-1), week_day_name(7));
    for (const char* bad : {"", "M", "Mx", "Xyz"}) EXPECT_EQ(parse_week_day(bad), -1) << bad;
}
