// Argument splitting and option lists, fed the texts handlers really see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/detail/proto_utility.h"
#include "oslayer/_kern.h"
#include "oslayer/utilities.h"

namespace {

typedef std::vector<std::string> words_t;

words_t split(std::string text) {
    return io::proto::split_arguments(boost::iterator_range<char*>(&text[0], &text[0] + text.size()));
}

TEST(ProtoUtility, SplitCutsAtRunsOfAnyWhiteSpace) {
    EXPECT_EQ((words_t{"a", "b", "c", "d"}), split("a  b\t\tc \r\n\v\fd"));
    EXPECT_EQ((words_t{"one"}), split("one"));
    EXPECT_EQ(words_t{}, split(""));
    // Untrimmed text (never sent by the layer) still yields words only.
    EXPECT_EQ((words_t{"x", "y"}), split("  x y \t"));
    EXPECT_EQ(words_t{}, split(" \t "));
}

TEST(ProtoUtility, SplitDecodesEachWord) {
    const std::string blank_word = escape_string("two words");
    const std::string binary = std::string("\x01\xff%", 3);
    EXPECT_EQ((words_t{"two words", binary, "", "plain"}),
              split(blank_word + " " + escape_string(binary) + " " + escape_string("") + "   plain"));
    // A word whose bytes are all escaped round-trips, whatever they are.
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ((words_t{all, all}), split(escape_string(all) + "\t" + escape_string(all)));
}

TEST(ProtoUtility, SplitPassesDecodeErrorsToTheCaller) {
    for (const char* bad : {"ok %", "ok %4", "%zz ok", "a b%"})
        EXPECT_THROW(split(bad), quoted_format_exception_shell_t) << bad;
    try {
        split("good %G1");
        FAIL() << "no error";
    } catch (const quoted_format_exception_shell_t& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("%G1")) << e.what();
    }
}

TEST(ProtoUtility, OptionSetSplitsAtEveryComma) {
    io::proto::option_set set("COMP,CRYPT,,Zip");
    EXPECT_TRUE(set.contains("COMP"));
    EXPECT_TRUE(set.contains("CRYPT"));
    EXPECT_TRUE(set.contains("Zip"));
    EXPECT_TRUE(set.contains(""));  // the word between the adjacent commas
    EXPECT_FALSE(set.contains("COMP,CRYPT"));
    EXPECT_FALSE(set.contains("COM"));
    EXPECT_FALSE(set.contains("COMPX"));
    EXPECT_FALSE(set.contains(" COMP"));

    io::proto::option_set single("COMP");
    EXPECT_TRUE(single.contains("COMP"));
    EXPECT_FALSE(single.contains(""));
    io::proto::option_set edges(",X,");
    EXPECT_TRUE(edges.contains(""));
    EXPECT_TRUE(edges.contains("x"));
}

TEST(ProtoUtility, OptionSetIgnoresLetterCaseOnBothSides) {
    io::proto::option_set set("Comp,crypt");
    for (const char* w : {"comp", "COMP", "cOmP", "CRYPT", "Crypt", "crypt"}) EXPECT_TRUE(set.contains(w)) << w;
    // Only letters fold: bytes outside ASCII letters must match exactly.
    io::proto::option_set other("a-1,\xc4");
    EXPECT_TRUE(other.contains("A-1"));
    EXPECT_FALSE(other.contains("A_1"));
    EXPECT_TRUE(other.contains("\xc4"));
    EXPECT_FALSE(other.contains("\xe4"));
}

}  // namespace
