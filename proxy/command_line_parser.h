// The daemon's command line: the settings record it fills and the parser,
// built on boost::program_options, with only long options and no positional
// arguments.
#pragma once

#include <cstdint>
#include <string>

#include <boost/program_options/options_description.hpp>

/// The process-wide command-line settings; each field carries its option's name.
struct settings_t {
    std::string verbosity;
    std::string rotate;
    /// Log file path; empty means no file log.
    std::string use_file_log;
    /// The deprecated spelling of `conf`; read only while `conf` is resolved.
    std::string cfg;
    /// The configuration path after resolution.
    std::string conf;
    uint32_t pool_size = 0;
    /// What `main` is asked to do; 0 (run the service) is the only command.
    int32_t requested_command = 0;
    bool trace = false;
    bool use_console_log = false;
    bool help = false;
    bool daemon = false;

    /// The record `main` fills and the logger set-up, configuration and loop read.
    static settings_t global;
};

/// Parses the command line into a settings record it does not own.
class command_line_parser_t {
public:
    explicit command_line_parser_t(settings_t* settings);

    /// Fills the record; a positional argument raises d_exception_t_shell_t,
    /// a `pool-size` that is not a whole number from 1 to `pool_size_limit`
    /// and a `rotate` text the file logger does not accept
    /// std::invalid_argument, every other error is the option library's own
    /// exception.
    void parse(int argc, const char* const* argv);
    /// Writes the usage text to standard output.
    void print_usage();

    /// Most I/O threads a pool may have, 128 (`pool_size_limit_count`): each
    /// reserves a stack of its own (8 MiB by default), so a 32-bit process
    /// keeps room for its mappings, and more threads than cores buy nothing.
    static uint32_t pool_size_limit;

private:
    boost::program_options::options_description options_;
    settings_t* settings_;
    /// `pool-size` as given: the option library would take "-1" as 4294967295.
    std::string pool_size_text_;
};
