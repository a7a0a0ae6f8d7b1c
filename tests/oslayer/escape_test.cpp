// Escaping of protocol arguments into blank-free tokens and back.

#include "oslayer/amtypes.h"
#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

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

}  // namespace

TEST(Escape, EncoderExamplesAndEdgeCases) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("a b%c, d\r\ne\x01", 12), "a%Sb%Pc%Md%Le%01"},
        {"caf\xC3\xA9", "caf%C3%A9"},  {"", "%Z"},           {"%Z", "%PZ"},      {"x,y", "x,y"},
        {", ,", "%M,"},                {"a,", "a,"},         {",,  ", ",%M%S"},  {"\r", "%R"},
        {"\r\r\n", "%R%L"},            {"\n\r", "%N%R"},     {"\r\n\r\n", "%L%L"}, {"\t", "%T"},
        {"100% sure", "100%P%Ssure"},  {std::string(1, '\0'), "%00"},          {"\x7F", "%7F"},
        {"\xFF", "%FF"},               {"\x1F!~\x80", "%1F!~%80"}};
    for (const auto& c : cases) EXPECT_EQ(escape_string(c.first), c.second);
    // The appending form never clears what is there.
    std::string out = "CMD";
    escape_string("a b", 3, out);
    out += ' ';
    escape_string("", 0, out);
    escape_string(nullptr, 0, out);
    EXPECT_EQ(out, "CMDa%Sb %Z%Z");
}

TEST(Escape, DecoderAcceptsWhatEncoderNeverWritesAndTheEmptyMarker) {
    const std::pair<const char*, std::string> cases[] = {
        {"a%Sb%Pc%Md%Le%01", std::string("a b%c, d\r\ne\x01", 12)},
        {"caf%c3%a9", "caf\xC3\xA9"}, {"%41", "A"}, {"%4a", "J"}, {"%4A", "J"}, {"%00", std::string(1, '\0')},
        {"%ff%Ff", "\xFF\xFF"},      {"%25", "%"}, {"%PZ", "%Z"}};
    for (const auto& c : cases) EXPECT_EQ(dequoted(c.first), c.second) << c.first;
    // Bytes the encoder always escapes pass through when they arrive raw.
    EXPECT_EQ(dequoted(std::string("a b\r\n\t\0\xFF,", 9)), std::string("a b\r\n\t\0\xFF,", 9));
    EXPECT_EQ(std::string(empty_token.ptr, empty_token.length), "%Z");
    for (lstr_t empty : {empty_token, lstr_t()}) {
        std::string out = "stale";
        dequote_string(empty, out);
        EXPECT_EQ(out, "");
    }
}

TEST(Escape, DecodingErrorsKeepWhatCameBefore) {
    const struct { lstr_t token; const char *message, *kept; } cases[] = {
        {"ab%", "single % at end: \"ab%\"", "ab"},
        {"ab%4", "single char after %: \"ab%4\"", "ab"},
        {"a%Z", "single char after %: \"a%Z\"", "a"},
        {"%", "single % at end: \"%\"", ""},
        {"%G1", "invalid quoted string \"%G1\" at 3", ""},
        {"x%p1y", "invalid quoted string \"x%p1y\" at 4", "x"},
        {"a%Zb", "invalid quoted string \"a%Zb\" at 4", "a"},
        {"%41%S%4g", "invalid quoted string \"%41%S%4g\" at 8", "A "},
        {"%Z%Z", "invalid quoted string \"%Z%Z\" at 3", ""},
        // The view ends before the bytes that follow it in memory.
        {lstr_t(4, "ab%41"), "single char after %: \"ab%4\"", "ab"},
        {lstr_t(3, "%4142"), "no throw", "A"}};
    for (const auto& c : cases) {
        std::string out = "junk from before", message = "no throw";
        try {
            dequote_string(c.token, out);
        } catch (quoted_format_exception_shell_t& e) {
            EXPECT_NE(dynamic_cast<quoted_format_exception*>(e.record()), nullptr);
            message = e.what();
        }
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(out, c.kept) << c.message;
    }
}

TEST(Escape, EverySingleByteAndShortCombinationsOfAwkwardBytes) {
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        bool plain = b >= 33 && b <= 126 && b != '%';
        bool letter = b == '%' || b == ' ' || b == '\r' || b == '\n' || b == '\t';
        EXPECT_EQ(escape_string(one).size(), plain ? 1u : letter ? 2u : 3u) << b;
        for (const std::string& s : {one, "a" + one + "b", one + ", " + one + "\r\n" + one, "\r" + one + ","})
            expect_round_trip(s);
    }
    const char awkward[] = {'\r', '\n', ',', ' ', '%', 'Z', '\0', '\xFF'};
    for (char a : awkward)
        for (char b : awkward) {
            expect_round_trip(std::string{a, b});
            for (char c : awkward) expect_round_trip(std::string{a, b, c});
        }
}

TEST(Escape, RandomByteStringsFromConcurrentThreads) {
    std::vector<int> failures(4, 0);
    oslayer_test::run_threads(4, [&failures](int t) {
        std::mt19937 rng(20261206 + t);
        std::uniform_int_distribution<int> length(0, 300), byte(0, 255);
        const char awkward[] = "\r\n, %Z\t";
        for (int round = 0; round < 250; ++round) {
            std::string s(static_cast<size_t>(length(rng)), '\0');
            // Half of the strings lean on the bytes that form pairs and escapes.
            for (char& c : s) c = (round % 2 && byte(rng) < 160) ? awkward[rng() % 7] : static_cast<char>(byte(rng));
            std::string token = escape_string(s);
            failures[t] += !is_token(token) || dequoted(token) != s;
            try {
                dequoted("bad%");
                ++failures[t];
            } catch (quoted_format_exception_shell_t&) {
            }
        }
    });
    for (int f : failures) EXPECT_EQ(f, 0);
}

TEST(Escape, NibbleConversions) {
    EXPECT_EQ(std::string({nibble_to_hex(0), nibble_to_hex(9), nibble_to_hex(10), nibble_to_hex(15)}), "09AF");
    EXPECT_EQ(std::string({nibble_to_hex(16), nibble_to_hex(~0u)}), "??");
    // Each end of the three digit ranges, and one past each.
    const std::pair<unsigned char, int> digits[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15},
                                                    {'/', -1}, {':', -1}, {'@', -1}, {'G', -1}, {'`', -1}, {'g', -1},
                                                    {0, -1}, {255, -1}};
    for (const auto& d : digits) EXPECT_EQ(hex_to_nibble(d.first), d.second) << int(d.first);
}

// ------------------------------------------------------ log text escaping

TEST(LogEscape, EveryByteValueHasOneFormAndPlainTextStaysAsItIs) {
    for (int c = 0; c < 256; ++c) {
        const std::string byte(1, static_cast<char>(c));
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        std::string expected = hex;
        if (c == '\n') expected = "\\n";
        if (c == '\r') expected = "\\r";
        if (c == '\t') expected = "\\t";
        if (c == '\\') expected = "\\\\";
        if (c >= 32 && c < 127 && c != '\\') expected = byte;
        EXPECT_EQ(expected, escape_log_text(byte)) << c;
    }
    EXPECT_EQ("", escape_log_text(""));
    EXPECT_EQ("[Proxy] 100% sure, \"quoted\" {x}", escape_log_text("[Proxy] 100% sure, \"quoted\" {x}"));
    // The output never holds a byte that could end or colour a line.
    std::string all;
    for (int c = 255; c >= 0; --c) all += static_cast<char>(c);
    for (char c : escape_log_text(all)) EXPECT_TRUE(c >= 32 && c < 127) << int(static_cast<unsigned char>(c));
}

TEST(LogEscape, ForgedLinesBackslashesAndReportBreaksAreDefused) {
    EXPECT_EQ("x\\n20240101.000000.00 ERR [ 1 2] main   SIGINT handled, shutdown",
              escape_log_text("x\n20240101.000000.00 ERR [ 1 2] main   SIGINT handled, shutdown"));
    EXPECT_EQ("a\\r\\nb\\x00c\\x1B[31m\\x7F", escape_log_text(std::string("a\r\nb\0c\x1b[31m\x7f", 12)));
    // A backslash of the text doubles, so an escape can never be forged.
    EXPECT_EQ("\\\\n is not \\n", escape_log_text("\\n is not \n"));
    EXPECT_EQ("caf\\xC3\\xA9", escape_log_text("caf\xc3\xa9"));
    // The words the error report breaks lines at lose their plain blank.
    EXPECT_EQ("x because\\x20of y", escape_log_text("x because of y"));
    EXPECT_EQ("because of, because of", escape_log_text("because of, because of"));
    EXPECT_EQ(" because\\x20of  because\\x20of ", escape_log_text(" because of  because of "));
    EXPECT_EQ(" because\\x20of because\\x20of z", escape_log_text(" because of because of z"));
    // Appends: what the string held stays.
    std::string out = "head ";
    escape_log_text("a\nb", 3, out);
    EXPECT_EQ("head a\\nb", out);
}

TEST(LogEscape, LoggerGuardEscapesControlBytesOnlyAndIsIdempotentOnEscapedText) {
    for (int c = 0; c < 256; ++c) {
        std::string text(1, static_cast<char>(c));
        escape_log_controls(text);
        const bool control = (c < 32 && c != '\t') || c == 127;
        if (!control) {
            EXPECT_EQ(std::string(1, static_cast<char>(c)), text) << c;
            continue;
        }
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        EXPECT_EQ(c == '\n' ? "\\n" : c == '\r' ? "\\r" : hex, text) << c;
    }
    std::string mixed = "tab\tstays, back\\slash stays, \xc3\xa9 stays\r\nESC\x1b goes";
    escape_log_controls(mixed);
    EXPECT_EQ("tab\tstays, back\\slash stays, \xc3\xa9 stays\\r\\nESC\\x1B goes", mixed);
    std::string escaped = escape_log_text("peer\ntext\\");
    std::string again = escaped;
    escape_log_controls(again);
    EXPECT_EQ(escaped, again);
}

TEST(LogEscape, MalformedTokensAreQuotedEscapedInTheirError) {
    const std::string token("a\x1b[2J%", 6);
    std::string out;
    try {
        dequote_string(lstr_t(token.size(), token.data()), out);
        ADD_FAILURE() << "no error";
    } catch (const quoted_format_exception_shell_t& e) {
        EXPECT_STREQ("single % at end: \"a\\x1B[2J%\"", e.what());
    }
}
