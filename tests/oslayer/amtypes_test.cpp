// Text views (lstr_t) and byte buffers (mbuf_t).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "oslayer/amtypes.h"

namespace {

/// The text of a conversion error, or a marker when nothing was thrown.
template <typename F>
std::string error_of(F convert) {
    try {
        convert();
    } catch (number_format_exception_shell_t& e) {
        return e.what();
    }
    return "<no error>";
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

TEST(LstrSplit, EveryKindWithoutSeparator) {
    const char* text = "abc";
    for (const auto& k : split_kinds()) {
        lstr_t v(text);
        lstr_t piece = k.fn(v, false);
        EXPECT_EQ(piece.ptr, text) << k.name;
        EXPECT_EQ(piece.length, 3u) << k.name;
        EXPECT_EQ(v.length, 0u) << k.name;
        EXPECT_EQ(v.ptr, k.backward ? text : text + 3) << k.name;

        lstr_t w(text);
        piece = k.fn(w, true);
        EXPECT_EQ(piece.length, 0u) << k.name;
        EXPECT_EQ(piece.ptr, nullptr) << k.name;
        EXPECT_EQ(w.ptr, text) << k.name;
        EXPECT_EQ(w.length, 3u) << k.name;
    }
}

TEST(LstrSplit, EveryKindOnEmptyView) {
    for (const auto& k : split_kinds()) {
        for (bool strict : {false, true}) {
            lstr_t v;
            EXPECT_TRUE(k.fn(v, strict).empty()) << k.name << " strict=" << strict;
            EXPECT_TRUE(v.empty()) << k.name;
            lstr_t e(0, "x");
            EXPECT_TRUE(k.fn(e, strict).empty()) << k.name << " strict=" << strict;
        }
    }
}

TEST(LstrSplit, SeparatorAtTheEdges) {
    lstr_t v(",b");
    EXPECT_EQ(v.split(',', false).str(), "");
    EXPECT_EQ(v.str(), "b");
    v = lstr_t("a,");
    EXPECT_EQ(v.split(',', false).str(), "a");
    EXPECT_TRUE(v.empty());
    // Overlapping candidates: the first match wins forwards, the last backwards.
    v = lstr_t("aaa");
    EXPECT_EQ(v.split(lstr_t("aa"), false).str(), "");
    EXPECT_EQ(v.str(), "a");
    v = lstr_t("aaa");
    EXPECT_EQ(v.rsplit(lstr_t("aa"), false).str(), "");
    EXPECT_EQ(v.str(), "a");
}

TEST(LstrSplit, AnyWhenTheRunReachesTheEnd) {
    lstr_t v("ab  ");
    EXPECT_EQ(v.split_any(lstr_t(" \t"), false).str(), "ab");
    EXPECT_TRUE(v.empty());
    v = lstr_t("ab  ");
    lstr_t piece = v.split_any(lstr_t(" \t"), true);
    EXPECT_TRUE(piece.empty());
    EXPECT_EQ(v.str(), "ab");

    v = lstr_t("  ab");
    EXPECT_EQ(v.rsplit_any(lstr_t(" \t"), false).str(), "ab");
    EXPECT_TRUE(v.empty());
    v = lstr_t("  ab");
    piece = v.rsplit_any(lstr_t(" \t"), true);
    EXPECT_TRUE(piece.empty());
    EXPECT_EQ(v.str(), "ab");
}

TEST(LstrSplit, CutAndSkip) {
    lstr_t v("abc");
    EXPECT_EQ(v.cut(2).str(), "ab");
    EXPECT_EQ(v.str(), "c");
    EXPECT_EQ(v.cut(10).str(), "c");
    EXPECT_TRUE(v.empty());

    v = lstr_t("  x  y z");
    EXPECT_EQ(v.skip(2, ' ').str(), "z");
    EXPECT_EQ(v.skip(0, ' ').str(), "z");
    EXPECT_TRUE(v.skip(5, ' ').empty());
}

TEST(LstrTrim, CharAndSet) {
    lstr_t v("00120");
    EXPECT_EQ(v.ltrim('0').str(), "120");
    EXPECT_EQ(v.rtrim('0').str(), "12");
    v = lstr_t("ok\r\n");
    EXPECT_EQ(v.rtrim(lstr_t(" \r\n")).str(), "ok");
    v = lstr_t(" \t x \t");
    EXPECT_EQ(v.ltrim(lstr_t(" \t")).str(), "x \t");
    v = lstr_t("000");
    EXPECT_TRUE(v.ltrim('0').empty());
    v = lstr_t("   ");
    EXPECT_TRUE(v.rtrim(lstr_t(" ")).empty());
}

TEST(LstrCompare, EqualityAndPrefixes) {
    EXPECT_TRUE(lstr_t() == lstr_t(0, "x"));
    EXPECT_TRUE(lstr_t("abc") == lstr_t(std::string("abc")));
    EXPECT_FALSE(lstr_t("abc") == lstr_t("abd"));
    EXPECT_TRUE(lstr_t("HeLLo").iequals(lstr_t("hello")));
    EXPECT_FALSE(lstr_t("hello").iequals(lstr_t("hell")));

    const char* t = "abcdef";
    EXPECT_TRUE(lstr_t(6, t).starts_with(lstr_t(3, t)));
    EXPECT_FALSE(lstr_t(2, t).starts_with(lstr_t(3, t)));
    EXPECT_TRUE(lstr_t("GET /").istarts_with(lstr_t("get")));
    EXPECT_TRUE(lstr_t("file.TXT").iends_with(lstr_t(".txt")));
    EXPECT_FALSE(lstr_t("file.TXT").ends_with(lstr_t(".txt")));
    EXPECT_TRUE(lstr_t("abc").ends_with(lstr_t()));
    EXPECT_FALSE(lstr_t("c").ends_with(lstr_t("bc")));

    EXPECT_TRUE(lstr_t("hello world").contains(lstr_t("o w")));
    EXPECT_TRUE(lstr_t("hello").contains(lstr_t("lo")));
    EXPECT_FALSE(lstr_t("hello").contains(lstr_t("lol")));
    EXPECT_TRUE(lstr_t("Hello World").icontains(lstr_t("WORLD")));
    EXPECT_FALSE(lstr_t("hi").icontains(lstr_t("hit")));
}

TEST(LstrCompare, OrderingUsesSignedBytes) {
    EXPECT_TRUE(lstr_t("ab") < lstr_t("abc"));
    EXPECT_FALSE(lstr_t("abc") < lstr_t("ab"));
    EXPECT_FALSE(lstr_t("ab") < lstr_t("ab"));
    lstr_t high("x\x80"), low("xA");
    EXPECT_TRUE(high < low);
    EXPECT_FALSE(low < high);
    EXPECT_TRUE(low.iless(high));
    EXPECT_FALSE(high.iless(low));
    EXPECT_TRUE(lstr_t("abc").iless(lstr_t("ABD")));
    EXPECT_FALSE(lstr_t("ABC").iless(lstr_t("abc")));
}

TEST(LstrCompare, MembershipAndHash) {
    EXPECT_TRUE(lstr_t("abc").has('c'));
    EXPECT_FALSE(lstr_t().has('c'));
    EXPECT_TRUE(lstr_t("a;b").has_any(lstr_t(",;")));
    EXPECT_FALSE(lstr_t("abc").has_any(lstr_t()));
    EXPECT_EQ(lstr_t("ab").hash(), 3105u);
    EXPECT_EQ(lstr_t("\xff").hash(), 255u);
    EXPECT_EQ(lstr_t().hash(), 0u);
}

TEST(LstrConvert, ThirtyTwoBitUnsigned) {
    EXPECT_EQ(lstr_t("123").toul(10), 123u);
    EXPECT_EQ(lstr_t(" 7").toul(10), 7u);
    EXPECT_EQ(lstr_t("4294967295").toul(10), 4294967295u);
    EXPECT_EQ(lstr_t("-1").toul(10), 4294967295u);
    EXPECT_EQ(lstr_t("-4294967295").toul(10), 1u);
    EXPECT_EQ(error_of([] { lstr_t("12a").toul(10); }),
              "invalid symbol \\x61 in scanned number \"12a\" at position #3");
    EXPECT_EQ(error_of([] { lstr_t("").toul(10); }), "scanned number empty");
    EXPECT_EQ(error_of([] { lstr_t("4294967296").toul(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("-4294967296").toul(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("99999999999999999999").toul(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("7 ").toul(10); }),
              "invalid symbol \\x20 in scanned number \"7 \" at position #2");
    // A zero byte inside the view is not the end of the number.
    EXPECT_EQ(error_of([] { lstr_t(3, "1\0" "2").toul(10); }),
              "invalid symbol \\x00 in scanned number \"1\" at position #2");
}

TEST(LstrConvert, ThirtyTwoBitSigned) {
    EXPECT_EQ(lstr_t("0x1F").tol(16), 31);
    EXPECT_EQ(lstr_t("010").tol(0), 8);
    EXPECT_EQ(lstr_t("-2147483648").tol(10), INT32_MIN);
    EXPECT_EQ(lstr_t("2147483647").toi(10), INT32_MAX);
    EXPECT_EQ(error_of([] { lstr_t("2147483648").tol(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("-2147483649").toi(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("1").tol(40); }), "number conversion error");
    EXPECT_EQ(error_of([] { lstr_t("\xe9").tol(10); }),
              "invalid symbol \\xE9 in scanned number \"\xe9\" at position #1");
}

TEST(LstrConvert, SixtyFourBitAndDecimal) {
    EXPECT_EQ(lstr_t("-9223372036854775808").to64(10), INT64_MIN);
    EXPECT_EQ(lstr_t("18446744073709551615").tou64(10), UINT64_MAX);
    EXPECT_EQ(lstr_t("ffffffffff").tou64(16), 0xffffffffffull);
    EXPECT_EQ(error_of([] { lstr_t("9223372036854775808").to64(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("18446744073709551616").tou64(10); }), "scanned number out of range");
    EXPECT_EQ(error_of([] { lstr_t("12x").to64(10); }),
              "invalid symbol \\x78 in scanned number \"12x\" at position #3");
    EXPECT_DOUBLE_EQ(lstr_t("1.5").tod(), 1.5);
    EXPECT_EQ(error_of([] { lstr_t().tod(); }), "scanned number empty");
}

TEST(MbufGrowth, DoublingInStepsOf256) {
    mbuf_t b;
    EXPECT_STREQ(b.c_str(), "");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);

    b.append(3, "abc");
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(b.used, 3u);
    EXPECT_STREQ(b.c_str(), "abc");
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
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(b.used, 3u);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_STREQ(b.c_str(), "abc");
}

TEST(MbufOps, ExtendResizeReturnTheFirstNewByte) {
    mbuf_t b;
    char* p = b.extend(2);
    EXPECT_EQ(p, b.data);
    p[0] = 'h';
    p[1] = 'i';
    p = b.resize(5);
    EXPECT_EQ(p, b.data + 2);
    EXPECT_EQ(b.used, 5u);
    memcpy(p, "!!!", 3);
    EXPECT_STREQ(b.c_str(), "hi!!!");
    p = b.resize(1);
    EXPECT_EQ(p, b.data + 5);
    EXPECT_STREQ(b.c_str(), "h");
    EXPECT_EQ(b.view().str(), "h");
}

TEST(MbufOps, AppendOfItsOwnBytesSurvivesGrowth) {
    mbuf_t b;
    b.append_fill(256, 'a');
    ASSERT_EQ(b.capacity, 256u);
    b.append(b.used, b.data);
    EXPECT_EQ(b.used, 512u);
    EXPECT_EQ(b.view().str(), std::string(512, 'a'));
}

TEST(MbufOps, SwapAndClear) {
    mbuf_t a, b;
    a.append(2, "ab");
    char* adata = a.data;
    a.swap(b);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.used, 0u);
    EXPECT_EQ(b.data, adata);
    EXPECT_STREQ(b.c_str(), "ab");
    b.clear();
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.used, 0u);
    EXPECT_EQ(b.capacity, 0u);
    EXPECT_STREQ(b.c_str(), "");
    b.append(1, "z");
    EXPECT_STREQ(b.c_str(), "z");
}
