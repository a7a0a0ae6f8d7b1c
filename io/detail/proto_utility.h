// Small text helpers that command handlers of both sides share: cutting a
// command's argument text into decoded words, and the comma-separated option
// lists that peers announce.
#pragma once

#include <string>
#include <vector>

#include <boost/range/iterator_range.hpp>
#include <boost/unordered_set.hpp>

namespace io {
namespace proto {

/// The argument text cut at runs of white space, each word unescaped with
/// `dequote_string`; an empty text gives no word. A bad escape throws
/// quoted_format_exception_shell_t.
std::vector<std::string> split_arguments(const boost::iterator_range<char*>& arguments);

/// The words of one option list ("COMP,CRYPT"), compared without regard to letter case.
class option_set {
public:
    /// Splits at every comma; adjacent commas give an empty word.
    explicit option_set(const std::string& list);

    /// True when a word equal to `word`, ignoring ASCII letter case, is in the list.
    bool contains(const std::string& word) const;

private:
    // Kept folded to lower case, so a lookup is one hash probe.
    boost::unordered_set<std::string> words_;
};

}  // namespace proto
}  // namespace io
