// What the command handlers of both sides do with a received command's words:
// refuse a command that lacks words, convert words that must be whole decimal
// numbers, and log the error that makes a command end its connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/range/iterator_range.hpp>

namespace cmd_args {

typedef boost::iterator_range<char*> args_range;

/// The argument words of `command`; fewer than `needed` is a protocol error
/// (the command is refused, the connection goes on). A bad escape raises.
std::vector<std::string> command_words(const char* command, const args_range& args, size_t needed);

// Whole-word decimal conversions: a word that is not entirely the number, or
// whose value does not fit, raises number_format_exception naming `command`.
// Unsigned words take no sign; signed ones an optional '+' or '-'.
uint32_t word_to_uint32(const char* command, const std::string& word);
int32_t word_to_int32(const char* command, const std::string& word);
uint64_t word_to_uint64(const char* command, const std::string& word);

/// `text` as a printf format that prints it as it stands: texts from the
/// network may hold '%'.
std::string literal_format(const std::string& text);

/// Logs the error that is leaving the handler of `command` received from
/// `peer` ("the server", "the agent") on `connection`, and will end that
/// connection: "<tag><connection>: <command> from <peer> ends the connection
/// because of <reason>". Protocol errors are left to the violation log. Call
/// only inside a catch block.
void log_command_failure(const char* tag, const std::string& connection, const std::string& command,
                         const char* peer);

}  // namespace cmd_args
