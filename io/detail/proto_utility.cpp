#include "io/detail/proto_utility.h"

#include <locale>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "oslayer/_kern.h"
#include "oslayer/amtypes.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

namespace {

// Folding uses the classic locale so that the process locale (which the
// daemon may set for file names) cannot change what a protocol word means.
std::string fold(const std::string& word) { return boost::algorithm::to_lower_copy(word, std::locale::classic()); }

}  // namespace

std::vector<std::string> split_arguments(const boost::iterator_range<char*>& arguments) {
    TRACE_POINT;
    std::vector<boost::iterator_range<char*>> tokens;
    boost::algorithm::split(tokens, arguments, boost::algorithm::is_space(std::locale::classic()),
                            boost::algorithm::token_compress_on);
    std::vector<std::string> words;
    words.reserve(tokens.size());
    std::string word;
    for (const boost::iterator_range<char*>& token : tokens) {
        // Only white space at either end of an untrimmed text yields an empty
        // token; it is a separator, not a word (the empty word is "%Z").
        if (token.empty()) continue;
        dequote_string(lstr_t(token.size(), token.begin()), word);
        words.push_back(word);
    }
    return words;
}

option_set::option_set(const std::string& list) {
    std::vector<std::string> words;
    boost::algorithm::split(words, list, [](char c) { return c == ','; });
    for (const std::string& w : words) words_.insert(fold(w));
}

bool option_set::contains(const std::string& word) const { return words_.count(fold(word)) != 0; }

}  // namespace proto
}  // namespace io
