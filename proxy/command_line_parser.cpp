#include "proxy/command_line_parser.h"

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>

#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "proxy/defaults.h"

namespace po = boost::program_options;

settings_t settings_t::global;

uint32_t command_line_parser_t::pool_size_limit = 128;

namespace {

// The default configuration path is looked up once: the usage shows the
// same path however often a parser is built.
const std::string& conf_help() {
    static const std::string text = "configuration file to use. Default is\n" + quarnel::get_default_cfg_path();
    return text;
}

const std::string& cfg_help() {
    static const std::string text = conf_help() + "\nDeprecated. Please use the --conf option.";
    return text;
}

const char verbosity_help[] =
    "Valid level value is one of following:\n"
    "ALL, DEBUG3, DEBUG2, DEBUG1, DEBUG, TRACE3, TRACE2, TRACE1, TRACE, INFO, NOTICE, WARNING, ERROR, CRIT\n\n"
    "All logger switches can be used together. if neither switch is spesified then proxy will use console for "
    "logging.";

/// The pool's thread count in `text`: a decimal number (a leading '+' as the
/// option library took it) from 1 to `limit`. No thread would serve a pool of
/// 0, and one the system cannot give fails only after it has started
/// thousands.
uint32_t pool_size_from(const std::string& text, uint32_t limit) {
    const size_t first = text.compare(0, 1, "+") == 0 ? 1 : 0;
    const bool digits = first < text.size() && text.find_first_not_of("0123456789", first) == std::string::npos;
    // Stops once above the limit (at most 32 bits): no overflow however many digits follow.
    uint64_t value = 0;
    for (size_t i = first; digits && i < text.size() && value <= limit; ++i) value = value * 10 + (text[i] - '0');
    if (!digits || value < 1 || value > limit)
        throw std::invalid_argument("the argument ('" + text + "') for option '--pool-size' is invalid: it is not " +
                                    "a number of threads from 1 to " + std::to_string(limit));
    return static_cast<uint32_t>(value);
}

/// Refuses a rotation text the file logger would not take: a service started
/// with it would otherwise run with rotation settings nobody gave, its only
/// trace a line on a standard error that a daemon sends to /dev/null.
void check_rotation(const std::string& text) {
    file_logger_t probe;
    if (!probe.parse_rotation(text))
        throw std::invalid_argument("the argument ('" + text + "') for option '--rotate' is invalid: it is not " +
                                    "NONE nor COUNT[p|z],SIZE[k|m|g] with a size below 4 GiB");
}

}  // namespace

command_line_parser_t::command_line_parser_t(settings_t* settings) : options_("Allowed options", 80, 40),
                                                                      settings_(settings) {
    options_.add_options()
        ("help", po::bool_switch(&settings->help), "read this message")
        ("daemon", po::bool_switch(&settings->daemon), "become a daemon after start")
        ("conf", po::value<std::string>(&settings->conf), conf_help().c_str())
        ("cfg", po::value<std::string>(&settings->cfg), cfg_help().c_str())
        ("pool-size",
         po::value<std::string>(&pool_size_text_)->default_value(std::to_string(quarnel::default_pool_size)),
         "thread pool size for clients")
        ("trace", po::bool_switch(&settings->trace), "enable call stack tracing (if builtin)")
        ("use-console-log", po::bool_switch(&settings->use_console_log), "write log to console")
        ("use-file-log", po::value<std::string>(&settings->use_file_log)->default_value(std::string()),
         "write log to file")
        ("rotate", po::value<std::string>(&settings->rotate)->default_value(quarnel::default_rotation),
         "logfile rotation parameters")
        ("verbosity", po::value<std::string>(&settings->verbosity)->default_value(quarnel::default_verbosity),
         verbosity_help);
}

void command_line_parser_t::parse(int argc, const char* const* argv) {
    TRACE_POINT;
    po::variables_map values;
    try {
        po::store(po::command_line_parser(argc, argv).options(options_).positional(po::positional_options_description())
                      .run(),
                  values);
    } catch (const po::too_many_positional_options_error&) {
        D_THROW(d_exception_t, "positional options(options without -- prefix) aren`t allowed");
    }
    po::notify(values);
    settings_->pool_size = pool_size_from(pool_size_text_, pool_size_limit);
    check_rotation(settings_->rotate);
    settings_->requested_command = 0;
    if (values.count("conf")) return;
    settings_->conf = values.count("cfg") ? settings_->cfg : quarnel::get_default_cfg_path();
}

void command_line_parser_t::print_usage() {
    std::cout << "\nUsage: velmod-proxy [switches]\n" << options_ << std::endl;
}
