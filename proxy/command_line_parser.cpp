#include "proxy/command_line_parser.h"

#include <iostream>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>

#include "oslayer/_kern.h"
#include "proxy/defaults.h"

namespace po = boost::program_options;

settings_t settings_t::global;

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

}  // namespace

command_line_parser_t::command_line_parser_t(settings_t* settings) : options_("Allowed options", 80, 40),
                                                                      settings_(settings) {
    options_.add_options()
        ("help", po::bool_switch(&settings->help), "read this message")
        ("daemon", po::bool_switch(&settings->daemon), "become a daemon after start")
        ("conf", po::value<std::string>(&settings->conf), conf_help().c_str())
        ("cfg", po::value<std::string>(&settings->cfg), cfg_help().c_str())
        ("pool-size", po::value<uint32_t>(&settings->pool_size)->default_value(quarnel::default_pool_size),
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
    settings_->requested_command = 0;
    if (values.count("conf")) return;
    settings_->conf = values.count("cfg") ? settings_->cfg : quarnel::get_default_cfg_path();
}

void command_line_parser_t::print_usage() {
    std::cout << "\nUsage: velmod-proxy [switches]\n" << options_ << std::endl;
}
