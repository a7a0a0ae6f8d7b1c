// Text views (lstr_t) and byte buffers (mbuf_t).

#include <new>

#include "oslayer/amtypes.h"
#include "tests/oslayer/test_support.h"

namespace {

/// The text of a conversion error.
template <typename F>
std::string conversion_error(F convert) {
    return oslayer_test::error_of<number_format_exception_shell_t>(convert);
}

using splitter = std::function<lstr_t(lstr_t&, bool)>;

struct split_kind {
    const char* name;
    splitter fn;
    bool backward;
    const char* input;  // holds the separator
    const char* piece;
    const char* rest;
};

std::vector<split_kind> split_kinds() {
    return {
        {"split char", [](lstr_t& v, bool s) { return v.split(',', s); }, false, "a,b,c", "a", "b,c"},
        {"split multi", [](lstr_t& v, bool s) { return v.split(lstr_t(", "), s); }, false, "a, b, c", "a", "b, c"},
        {"isplit", [](lstr_t& v, bool s) { return v.isplit(lstr_t("AND"), s); }, false, "x and y", "x ", " y"},
        {"split_any", [](lstr_t& v, bool s) { return v.split_any(lstr_t(" \t"), s); }, false, "ab \t cd e", "ab",
         "cd e"},
        {"rsplit char", [](lstr_t& v, bool s) { return v.rsplit('/', s); }, true, "a/b/c", "c", "a/b"},
        {"rsplit multi", [](lstr_t& v, bool s) { return v.rsplit(lstr_t("::"), s); }, true, "a::b::c", "c", "a::b"},
        {"irsplit", [](lstr_t& v, bool s) { return v.irsplit(lstr_t("X"), s); }, true, "1x2X3", "3", "1x2"},
        {"rsplit_any", [](lstr_t& v, bool s) { return v.rsplit_any(lstr_t(" \t"), s); }, true, "a b \t cd", "cd",
         "a b"},
    };
}

}  // namespace

TEST(LstrSplit, EveryKindFindsTheSeparatorInBothModes) {
    for (const auto& k : split_kinds()) {
        for (bool strict : {false, true}) {
            lstr_t v(k.input);
            lstr_t piece = k.fn(v, strict);
            EXPECT_EQ(piece.str(), k.piece) << k.name << " strict=" << strict;
            EXPECT_EQ(v.str(), k.rest) << k.name << " strict=" << strict;
        }
    }
}

TEST(LstrSplit, EveryKindWithoutSeparatorOrOnEmptyView) {
    const char* text = "abc";
    for (const auto& k : split_kinds()) {
        // Not strict: all of it taken, the view left empty at its far end.
        lstr_t v(text), piece = k.fn(v, false);
        EXPECT_TRUE(piece.ptr == text && piece.length == 3u && v.length == 0u) << k.name;
        EXPECT_EQ(v.ptr, k.backward ? text : text + 3) << k.name;
        // Strict: nothing taken, the view untouched.
        lstr_t w(text);
        piece = k.fn(w, true);
        EXPECT_TRUE(piece.length == 0u && piece.ptr == nullptr && w.ptr == text && w.length == 3u) << k.name;
        for (bool strict : {false, true}) {
            lstr_t e, z(0, "x");
            EXPECT_TRUE(k.fn(e, strict).empty() && e.empty() && k.fn(z, strict).empty()) << k.name << strict;
        }
    }
}

TEST(LstrSplit, SeparatorAtTheEdgesAndRunsReachingTheEnd) {
    // Overlapping candidates: the first match wins forwards, the last backwards.
    const struct { const char* text; std::function<lstr_t(lstr_t&)> fn; const char *piece, *rest; } cases[] = {
        {",b", [](lstr_t& v) { return v.split(',', false); }, "", "b"},
        {"a,", [](lstr_t& v) { return v.split(',', false); }, "a", ""},
        {"aaa", [](lstr_t& v) { return v.split(lstr_t("aa"), false); }, "", "a"},
        {"aaa", [](lstr_t& v) { return v.rsplit(lstr_t("aa"), false); }, "", "a"},
        {"ab  ", [](lstr_t& v) { return v.split_any(lstr_t(" \t"), false); }, "ab", ""},
        {"ab  ", [](lstr_t& v) { return v.split_any(lstr_t(" \t"), true); }, "", "ab"},
        {"  ab", [](lstr_t& v) { return v.rsplit_any(lstr_t(" \t"), false); }, "ab", ""},
        {"  ab", [](lstr_t& v) { return v.rsplit_any(lstr_t(" \t"), true); }, "", "ab"},
    };
    for (const auto& c : cases) {
        lstr_t v(c.text);
        EXPECT_EQ(c.fn(v).str(), c.piece) << c.text;
        EXPECT_EQ(v.str(), c.rest) << c.text;
    }
}

TEST(LstrSplit, CutSkipAndTrimStopAtTheEnds) {
    lstr_t v("abc");
    EXPECT_EQ(v.cut(2).str(), "ab");
    EXPECT_EQ(v.cut(10).str(), "c");
    EXPECT_TRUE(v.empty());
    v = lstr_t("  x  y z");
    EXPECT_EQ(v.skip(2, ' ').str(), "z");
    EXPECT_EQ(v.skip(0, ' ').str(), "z");
    EXPECT_TRUE(v.skip(5, ' ').empty());
    v = lstr_t("00120");
    EXPECT_EQ(v.ltrim('0').rtrim('0').str(), "12");
    EXPECT_EQ(lstr_t("ok\r\n").rtrim(lstr_t(" \r\n")).str(), "ok");
    EXPECT_EQ(lstr_t(" \t x \t").ltrim(lstr_t(" \t")).str(), "x \t");
    EXPECT_TRUE(lstr_t("000").ltrim('0').empty() && lstr_t("   ").rtrim(lstr_t(" ")).empty());
}

TEST(LstrCompare, EqualityPrefixesOrderingAndHash) {
    const char* t = "abcdef";
    const std::pair<bool, bool> truths[] = {
        {lstr_t() == lstr_t(0, "x"), true},
        {lstr_t("abc") == lstr_t(std::string("abc")), true},
        {lstr_t("abc") == lstr_t("abd"), false},
        {lstr_t("HeLLo").iequals(lstr_t("hello")), true},
        {lstr_t("hello").iequals(lstr_t("hell")), false},
        {lstr_t(6, t).starts_with(lstr_t(3, t)), true},
        {lstr_t(2, t).starts_with(lstr_t(3, t)), false},
        {lstr_t("GET /").istarts_with(lstr_t("get")), true},
        {lstr_t("file.TXT").iends_with(lstr_t(".txt")), true},
        {lstr_t("file.TXT").ends_with(lstr_t(".txt")), false},
        {lstr_t("abc").ends_with(lstr_t()), true},
        {lstr_t("c").ends_with(lstr_t("bc")), false},
        {lstr_t("hello world").contains(lstr_t("o w")), true},
        {lstr_t("Hello World").icontains(lstr_t("WORLD")), true},
        {lstr_t("hi").icontains(lstr_t("hit")), false},
        {lstr_t("abc").has('c'), true},
        {lstr_t().has('c'), false},
        {lstr_t("a;b").has_any(lstr_t(",;")), true},
        {lstr_t("abc").has_any(lstr_t()), false},
        // Ordering uses signed bytes; the case-blind one too.
        {lstr_t("ab") < lstr_t("abc"), true},
        {lstr_t("ab") < lstr_t("ab"), false},
        {lstr_t("x\x80") < lstr_t("xA"), true},
        {lstr_t("xA") < lstr_t("x\x80"), false},
        {lstr_t("xA").iless(lstr_t("x\x80")), true},
        {lstr_t("x\x80").iless(lstr_t("xA")), false},
        {lstr_t("abc").iless(lstr_t("ABD")), true},
        {lstr_t("abc").iless(lstr_t("ABC")), false}};
    for (size_t i = 0; i < sizeof truths / sizeof truths[0]; ++i)
        EXPECT_EQ(truths[i].first, truths[i].second) << "case #" << i;
    EXPECT_EQ(lstr_t("ab").hash(), 3105u);
    EXPECT_EQ(lstr_t("\xff").hash(), 255u);
    EXPECT_EQ(lstr_t().hash(), 0u);
}

TEST(LstrConvert, RangesAndErrorsOfEveryWidth) {
    // Unsigned 32-bit conversions take a minus sign modulo 2^32.
    EXPECT_EQ((std::vector<uint32_t>{lstr_t(" 7").toul(10), lstr_t("4294967295").toul(10), lstr_t("-1").toul(10),
                                     lstr_t("-4294967295").toul(10)}),
              (std::vector<uint32_t>{7, 4294967295u, 4294967295u, 1}));
    EXPECT_EQ((std::vector<int32_t>{lstr_t("0x1F").tol(16), lstr_t("010").tol(0), lstr_t("-2147483648").tol(10),
                                    lstr_t("2147483647").toi(10)}),
              (std::vector<int32_t>{31, 8, INT32_MIN, INT32_MAX}));
    EXPECT_EQ(lstr_t("-9223372036854775808").to64(10), INT64_MIN);
    EXPECT_EQ(lstr_t("18446744073709551615").tou64(10), UINT64_MAX);
    EXPECT_EQ(lstr_t("ffffffffff").tou64(16), 0xffffffffffull);
    EXPECT_DOUBLE_EQ(lstr_t("1.5").tod(), 1.5);
    EXPECT_EQ(conversion_error([] { lstr_t("12a").toul(10); }),
              "invalid symbol \\x61 in scanned number \"12a\" at position #3");
    // One past each end of every width; a zero byte inside the view is not the end of the number.
    const std::function<void()> errors[] = {
        [] { lstr_t("").toul(10); },          [] { lstr_t().tod(); },
        [] { lstr_t("4294967296").toul(10); }, [] { lstr_t("-4294967296").toul(10); },
        [] { lstr_t("7 ").toul(10); },         [] { lstr_t(3, "1\0" "2").toul(10); },
        [] { lstr_t("2147483648").tol(10); },  [] { lstr_t("-2147483649").toi(10); },
        [] { lstr_t("1").tol(40); },           [] { lstr_t("\xe9").tol(10); },
        [] { lstr_t("9223372036854775808").to64(10); }, [] { lstr_t("18446744073709551616").tou64(10); },
        [] { lstr_t("12x").to64(10); }};
    for (size_t i = 0; i < sizeof errors / sizeof errors[0]; ++i)
        EXPECT_NE(conversion_error(errors[i]), "no error") << "case #" << i;
}

TEST(MbufGrowth, DoublingInStepsOf256) {
    mbuf_t b;
    EXPECT_STREQ(b.c_str(), "");
    EXPECT_TRUE(b.data == nullptr && b.capacity == 0u);
    b.append(3, "abc");
    EXPECT_TRUE(b.capacity == 256u && b.used == 3u);
    b.reserve(300);
    EXPECT_EQ(b.capacity, 512u);
    EXPECT_STREQ(b.c_str(), "abc");
    b.reserve(100);
    EXPECT_EQ(b.capacity, 512u);
    mbuf_t c;
    c.push_back('x');
    EXPECT_EQ(c.capacity, 256u);
    c.reserve(1000);
    EXPECT_EQ(c.capacity, 1024u);
    c.append_fill(4, 'y').push_back('z');
    EXPECT_STREQ(c.c_str(), "xyyyyz");
}

TEST(MbufGrowth, OverflowingRequestsLeaveTheBufferIntact) {
    mbuf_t b;
    b.append(3, "abc");
    char* before = b.data;
    const size_t huge[] = {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - 255, SIZE_MAX / 2 + 1};
    for (size_t n : huge) {
        EXPECT_THROW(b.reserve(n), std::bad_alloc) << n;
        EXPECT_THROW(b.append(n, "x"), std::bad_alloc) << n;
        EXPECT_THROW(b.extend(n), std::bad_alloc) << n;
        EXPECT_THROW(b.append_fill(n, 'x'), std::bad_alloc) << n;
    }
    EXPECT_TRUE(b.data == before && b.used == 3u && b.capacity == 256u);
    EXPECT_STREQ(b.c_str(), "abc");
}

TEST(MbufOps, ExtendResizeAppendOfOwnBytesSwapAndClear) {
    mbuf_t b;
    char* p = b.extend(2);
    EXPECT_EQ(p, b.data);
    memcpy(p, "hi", 2);
    p = b.resize(5);
    EXPECT_TRUE(p == b.data + 2 && b.used == 5u);
    memcpy(p, "!!!", 3);
    EXPECT_STREQ(b.c_str(), "hi!!!");
    EXPECT_EQ(b.resize(1), b.data + 5);
    EXPECT_EQ(b.view().str(), "h");
    // Appending its own bytes must survive the growth that moves them.
    mbuf_t own;
    own.append_fill(256, 'a');
    ASSERT_EQ(own.capacity, 256u);
    own.append(own.used, own.data);
    EXPECT_EQ(own.view().str(), std::string(512, 'a'));
    char* bdata = b.data;
    own.swap(b);
    EXPECT_TRUE(own.data == bdata && b.used == 512u);
    b.clear();
    EXPECT_TRUE(b.data == nullptr && b.used + b.capacity == 0u);
    EXPECT_STREQ(b.c_str(), "");
    b.append(1, "z");
    EXPECT_STREQ(b.c_str(), "z");
}
