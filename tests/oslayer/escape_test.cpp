// Escaping of protocol arguments into blank-free tokens and back.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "oslayer/amtypes.h"
#include "oslayer/utilities.h"

namespace {

std::string dequoted(const std::string& token) {
    std::string out;
    dequote_string(lstr_t(token.size(), token.data()), out);
    return out;
}

/// Checks that the token is printable and blank-free and that every '%'
/// opens a well-formed escape.
::testing::AssertionResult is_token(const std::string& t) {
    if (t.empty()) return ::testing::AssertionFailure() << "empty token";
    for (size_t i = 0; i < t.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c < 33 || c > 126) return ::testing::AssertionFailure() << "byte " << int(c) << " at " << i;
    }
    for (size_t i = t.find('%'); i != std::string::npos; i = t.find('%', i + 1)) {
        if (i + 1 >= t.size()) return ::testing::AssertionFailure() << "dangling % in " << t;
        if (std::string("LRNTSPMZ").find(t[i + 1]) != std::string::npos) continue;
        bool hex = i + 2 < t.size() && hex_to_nibble(t[i + 1]) >= 0 && hex_to_nibble(t[i + 2]) >= 0;
        if (!hex || t[i + 1] > 'F' || t[i + 2] > 'F') return ::testing::AssertionFailure() << "bad escape in " << t;
    }
    return ::testing::AssertionSuccess();
}

void expect_round_trip(const std::string& bytes) {
    std::string token = escape_string(bytes);
    EXPECT_TRUE(is_token(token));
    EXPECT_EQ(dequoted(token), bytes) << "token " << token;
}

struct quote_error_t {
    std::string message;
    std::string kept;
};

quote_error_t quote_error(lstr_t token) {
    std::string out = "junk from before";
    try {
        dequote_string(token, out);
    } catch (quoted_format_exception_shell_t& e) {
        EXPECT_NE(dynamic_cast<quoted_format_exception*>(e.record()), nullptr);
        return {e.what(), out};
    }
    return {"no throw", out};
}

}  // namespace

TEST(Escape, WorkedExamples) {
    const std::string mixed("a b%c, d\r\ne\x01", 12);
    EXPECT_EQ(escape_string(mixed), "a%Sb%Pc%Md%Le%01");
    EXPECT_EQ(dequoted("a%Sb%Pc%Md%Le%01"), mixed);
    EXPECT_EQ(escape_string("caf\xC3\xA9"), "caf%C3%A9");
    EXPECT_EQ(dequoted("caf%c3%a9"), "caf\xC3\xA9");
}

TEST(Escape, EncoderEdgeCases) {
    EXPECT_EQ(escape_string(""), "%Z");
    EXPECT_EQ(escape_string("%Z"), "%PZ");
    EXPECT_EQ(escape_string("x,y"), "x,y");
    EXPECT_EQ(escape_string(", ,"), "%M,");
    EXPECT_EQ(escape_string("a,"), "a,");
    EXPECT_EQ(escape_string(",,  "), ",%M%S");
    EXPECT_EQ(escape_string("\r"), "%R");
    EXPECT_EQ(escape_string("\r\r\n"), "%R%L");
    EXPECT_EQ(escape_string("\n\r"), "%N%R");
    EXPECT_EQ(escape_string("\r\n\r\n"), "%L%L");
    EXPECT_EQ(escape_string("\t"), "%T");
    EXPECT_EQ(escape_string("100% sure"), "100%P%Ssure");
    EXPECT_EQ(escape_string(std::string(1, '\0')), "%00");
    EXPECT_EQ(escape_string("\x7F"), "%7F");
    EXPECT_EQ(escape_string("\xFF"), "%FF");
    EXPECT_EQ(escape_string("\x1F!~\x80"), "%1F!~%80");
}

TEST(Escape, AppendsWithoutClearing) {
    std::string out = "CMD";
    escape_string("a b", 3, out);
    EXPECT_EQ(out, "CMDa%Sb");
    out += ' ';
    escape_string("", 0, out);
    EXPECT_EQ(out, "CMDa%Sb %Z");
    escape_string(nullptr, 0, out);
    EXPECT_EQ(out, "CMDa%Sb %Z%Z");
}

TEST(Escape, DecoderAcceptsWhatEncoderNeverWrites) {
    EXPECT_EQ(dequoted("%41"), "A");
    EXPECT_EQ(dequoted("%4a"), "J");
    EXPECT_EQ(dequoted("%4A"), "J");
    EXPECT_EQ(dequoted("%00"), std::string(1, '\0'));
    EXPECT_EQ(dequoted("%ff%Ff"), "\xFF\xFF");
    EXPECT_EQ(dequoted("%25"), "%");
    // Bytes the encoder always escapes pass through when they arrive raw.
    EXPECT_EQ(dequoted(std::string("a b\r\n\t\0\xFF,", 9)), std::string("a b\r\n\t\0\xFF,", 9));
}

TEST(Escape, EmptyMarker) {
    EXPECT_EQ(empty_token.length, 2u);
    EXPECT_EQ(std::string(empty_token.ptr, empty_token.length), "%Z");
    std::string out = "stale";
    dequote_string(empty_token, out);
    EXPECT_EQ(out, "");
    out = "stale";
    dequote_string(lstr_t(), out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(dequoted("%PZ"), "%Z");
}

TEST(Escape, DecodingErrors) {
    quote_error_t e = quote_error("ab%");
    EXPECT_EQ(e.message, "single % at end: \"ab%\"");
    EXPECT_EQ(e.kept, "ab");
    e = quote_error("ab%4");
    EXPECT_EQ(e.message, "single char after %: \"ab%4\"");
    EXPECT_EQ(e.kept, "ab");
    EXPECT_EQ(quote_error("a%Z").message, "single char after %: \"a%Z\"");
    EXPECT_EQ(quote_error("%").message, "single % at end: \"%\"");
    e = quote_error("%G1");
    EXPECT_EQ(e.message, "invalid quoted string \"%G1\" at 3");
    EXPECT_EQ(e.kept, "");
    e = quote_error("x%p1y");
    EXPECT_EQ(e.message, "invalid quoted string \"x%p1y\" at 4");
    EXPECT_EQ(e.kept, "x");
    EXPECT_EQ(quote_error("a%Zb").message, "invalid quoted string \"a%Zb\" at 4");
    EXPECT_EQ(quote_error("%41%S%4g").message, "invalid quoted string \"%41%S%4g\" at 8");
    EXPECT_EQ(quote_error("%41%S%4g").kept, "A ");
    EXPECT_EQ(quote_error("%Z%Z").message, "invalid quoted string \"%Z%Z\" at 3");
    // The view ends before the bytes that follow it in memory.
    EXPECT_EQ(quote_error(lstr_t(4, "ab%41")).message, "single char after %: \"ab%4\"");
    EXPECT_EQ(quote_error(lstr_t(3, "%4142")).kept, "A");
}

TEST(Escape, ErrorCarriesTracePoint) {
    _d_exception_t::backtrace_enabled = true;
    std::string where;
    try {
        dequoted("%");
    } catch (quoted_format_exception_shell_t& e) {
        where = e.where();
    }
    _d_exception_t::backtrace_enabled = false;
    EXPECT_NE(where.find("dequote_string"), std::string::npos) << where;
}

TEST(Escape, EverySingleByte) {
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        std::string token = escape_string(one);
        bool plain = b >= 33 && b <= 126 && b != '%';
        bool letter = b == '%' || b == ' ' || b == '\r' || b == '\n' || b == '\t';
        EXPECT_EQ(token.size(), plain ? 1u : letter ? 2u : 3u) << b;
        expect_round_trip(one);
        expect_round_trip("a" + one + "b");
        expect_round_trip(one + ", " + one + "\r\n" + one);
        expect_round_trip(std::string("\r") + one + ",");
    }
}

TEST(Escape, AllShortCombinationsOfAwkwardBytes) {
    const char awkward[] = {'\r', '\n', ',', ' ', '%', 'Z', '\0', '\xFF'};
    for (char a : awkward) {
        for (char b : awkward) {
            expect_round_trip(std::string{a, b});
            for (char c : awkward) expect_round_trip(std::string{a, b, c});
        }
    }
}

TEST(Escape, RandomByteStrings) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> length(0, 300);
    std::uniform_int_distribution<int> byte(0, 255);
    const char awkward[] = "\r\n, %Z\t";
    std::uniform_int_distribution<int> pick(0, sizeof awkward - 2);
    for (int round = 0; round < 4000; ++round) {
        std::string s(static_cast<size_t>(length(rng)), '\0');
        // Half of the strings lean on the bytes that form pairs and escapes.
        for (char& c : s) c = (round % 2 && byte(rng) < 160) ? awkward[pick(rng)] : static_cast<char>(byte(rng));
        expect_round_trip(s);
        if (HasFailure()) break;
    }
}

TEST(Escape, NibbleConversions) {
    const char expected[] = "0123456789ABCDEF";
    for (unsigned v = 0; v < 16; ++v) EXPECT_EQ(nibble_to_hex(v), expected[v]);
    EXPECT_EQ(nibble_to_hex(16), '?');
    EXPECT_EQ(nibble_to_hex(~0u), '?');
    for (int c = 0; c < 256; ++c) {
        int want = -1;
        if (c >= '0' && c <= '9') want = c - '0';
        if (c >= 'A' && c <= 'F') want = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') want = c - 'a' + 10;
        EXPECT_EQ(hex_to_nibble(static_cast<unsigned char>(c)), want) << c;
    }
}

TEST(Escape, ConcurrentRoundTrips) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int i = 0; i < 500; ++i) {
                std::string s(static_cast<size_t>(rng() % 64), '\0');
                for (char& c : s) c = static_cast<char>(rng());
                std::string back;
                dequote_string(escape_string(s), back);
                failures[t] += back != s;
                try {
                    dequote_string("bad%", back);
                } catch (quoted_format_exception_shell_t&) {
                    continue;
                }
                ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}
