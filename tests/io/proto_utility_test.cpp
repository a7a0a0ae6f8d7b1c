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

TEST(ProtoUtility, SplitCutsAtRunsOfAnyWhiteSpaceAndDecodesEachWord) {
    EXPECT_EQ((words_t{"a", "b", "c", "d"}), split("a  b\t\tc \r\n\v\fd"));
    EXPECT_EQ(words_t{}, split(""));
    // Untrimmed text (never sent by the layer) still yields words only.
    EXPECT_EQ((words_t{"x", "y"}), split("  x y \t"));
    EXPECT_EQ(words_t{}, split(" \t "));
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
    for (const char* bad : {"ok %", "ok %4", "%zz ok", "a b%", "good %G1"})
        EXPECT_THROW(split(bad), quoted_format_exception_shell_t) << bad;
}

TEST(ProtoUtility, OptionSetSplitsAtEveryCommaAndFoldsOnlyAsciiLetters) {
    struct example {
        const char* list;
        std::vector<const char*> in, out;
    };
    const example examples[] = {
        // The empty word between adjacent commas (or at an edge) is an option too.
        {"COMP,CRYPT,,Zip", {"COMP", "CRYPT", "Zip", "", "cOmP", "crypt"}, {"COMP,CRYPT", "COM", "COMPX", " COMP"}},
        {"COMP", {"COMP", "comp"}, {""}},
        {",X,", {"", "x"}, {"X,"}},
        {"a-1,\xc4", {"A-1", "\xc4"}, {"A_1", "\xe4"}},
    };
    for (const example& e : examples) {
        io::proto::option_set set(e.list);
        for (const char* w : e.in) EXPECT_TRUE(set.contains(w)) << e.list << " / " << w;
        for (const char* w : e.out) EXPECT_FALSE(set.contains(w)) << e.list << " / " << w;
    }
}

}  // namespace
