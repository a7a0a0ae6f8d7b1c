#include "proxy/cmd_args.h"

#include <limits>

#include "io/detail/proto_utility.h"
#include "io/text_protocol_error.h"
#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace cmd_args {

namespace {

/// The magnitude of a whole decimal word, at most `limit`; `negative` tells a leading '-'.
uint64_t whole_decimal(const char* command, const std::string& word, bool sign_allowed, uint64_t limit,
                       uint64_t negative_limit, bool& negative, const char* kind) {
    size_t i = 0;
    negative = false;
    if (sign_allowed && !word.empty() && (word[0] == '+' || word[0] == '-')) negative = word[i++] == '-';
    if (i == word.size())
        D_THROW(number_format_exception, "%s: \"%s\" is not %s decimal number", command,
                escape_log_text(word).c_str(), kind);
    uint64_t value = 0;
    const uint64_t bound = negative ? negative_limit : limit;
    for (; i < word.size(); ++i) {
        const char c = word[i];
        if (c < '0' || c > '9')
            D_THROW(number_format_exception, "%s: \"%s\" is not %s decimal number", command,
                    escape_log_text(word).c_str(), kind);
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (bound - digit) / 10)
            D_THROW(number_format_exception, "%s: \"%s\" does not fit %s number", command,
                    escape_log_text(word).c_str(), kind);
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::vector<std::string> command_words(const char* command, const args_range& args, size_t needed) {
    std::vector<std::string> words = io::proto::split_arguments(args);
    if (words.size() < needed)
        D_THROW(io::proto::text_protocol_error, "%s with %u argument(s) refused: it needs at least %u", command,
                static_cast<unsigned>(words.size()), static_cast<unsigned>(needed));
    return words;
}

uint32_t word_to_uint32(const char* command, const std::string& word) {
    bool negative = false;
    return static_cast<uint32_t>(whole_decimal(command, word, false, std::numeric_limits<uint32_t>::max(), 0,
                                               negative, "an unsigned 32-bit"));
}

int32_t word_to_int32(const char* command, const std::string& word) {
    bool negative = false;
    const uint64_t magnitude = whole_decimal(command, word, true, 2147483647u, 2147483648u, negative, "a 32-bit");
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

uint64_t word_to_uint64(const char* command, const std::string& word) {
    bool negative = false;
    return whole_decimal(command, word, false, std::numeric_limits<uint64_t>::max(), 0, negative,
                         "an unsigned 64-bit");
}

std::string literal_format(const std::string& text) {
    std::string format;
    format.reserve(text.size());
    for (char c : text) format.append(c == '%' ? 2 : 1, c);
    return format;
}

void log_command_failure(const char* tag, const std::string& connection, const std::string& command,
                         const char* peer) {
    const std::string format = tag + literal_format(connection + ": " + escape_log_text(command)) + " from " + peer +
                               " ends the connection because of %s";
    try {
        throw;
    } catch (const io::proto::text_protocol_error_shell_t&) {
        // Refused command only: the layer logs it as a violation and goes on.
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(LOG_LEVEL_ERROR, format.c_str(), e.what(), &e);
    } catch (const std::exception& e) {
        pretty_print_exception(LOG_LEVEL_ERROR, format.c_str(), e.what(), nullptr);
    } catch (...) {
        pretty_print_exception(LOG_LEVEL_ERROR, format.c_str(), "general error", nullptr);
    }
}

}  // namespace cmd_args
