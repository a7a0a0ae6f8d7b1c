// The process entry: command line, loggers, banner and platform report, then
// the service (in the background on request) that runs the application loop.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "oslayer/_kern.h"
#include "oslayer/loggers.h"
#include "oslayer/platform.h"
#include "oslayer/service.h"
#include "oslayer/utilities.h"
#include "proxy/command_line_parser.h"
#include "proxy/defaults.h"
#include "proxy/limits.h"
#include "proxy/loop.h"

namespace {

const std::string banner = std::string("velmod-proxy ") + quarnel::release_text;

/// Background and PID file off; the other two flags as the service expects them.
base_n::service_process_t service("velmod-proxy", false, false, true, true);

bool background = false;

/// Exit code of the process: a service that ended by an error must not look
/// like a clean stop to service managers and scripts.
int service_exit_code = 0;

}  // namespace

namespace {

/// Builds the rotating file logger named by `use-file-log`; throws when its
/// directories cannot be made.
std::unique_ptr<if_logger_t> create_file_logger(const settings_t& settings) {
    TRACE_POINT;
    boost::filesystem::path parent = boost::filesystem::path(settings.use_file_log).parent_path();
    if (!parent.empty()) boost::filesystem::create_directories(parent);
    std::unique_ptr<file_logger_t> logger(new file_logger_t());
    logger->set_rotation(settings.use_file_log, settings.rotate);
    return std::unique_ptr<if_logger_t>(logger.release());
}

/// The file logger of a log whose directories could not be made: a retry
/// makes them. Until one opens the file the console has the lines, through
/// a stand-in unless the console logger is chained beside it anyway.
/// The stand-in, which the file logger owns, in `stand_in` (null when none).
std::unique_ptr<if_logger_t> create_deferred_file_logger(const settings_t& settings, fd_logger_t*& stand_in) {
    std::unique_ptr<file_logger_t> logger(new file_logger_t());
    std::unique_ptr<fd_logger_t> console;
    if (!settings.use_console_log) console.reset(new fd_logger_t(2));
    stand_in = console.get();
    logger->open_later(settings.use_file_log, settings.rotate, std::move(console));
    return std::unique_ptr<if_logger_t>(logger.release());
}

/// Makes `logger` the root logger and deletes the previous one; a stand-in
/// for the console the previous one wrote goes on where it stopped.
void replace_root_logger(if_logger_t* logger, fd_logger_t* stand_in) {
    xlocker_t guard(if_logger_t::LogMutex);
    if_logger_t* previous = if_logger_t::Log;
    if_logger_t::Log = logger;
    fd_logger_t* console = dynamic_cast<fd_logger_t*>(previous);
    if (stand_in && console) stand_in->take_console_state(*console);
    delete previous;
}

void install_file_logger(const settings_t& settings) {
    std::unique_ptr<if_logger_t> file;
    fd_logger_t* stand_in = nullptr;
    try {
        file = create_file_logger(settings);
    } catch (const std::exception& e) {
        // On the console, the root logger until now.
        LOG_AT(LOG_LEVEL_ERROR, "Cannot create log file because of %s", e.what());
        file = create_deferred_file_logger(settings, stand_in);
    }
    if (settings.use_console_log)
        chain_logger_t::add(file.release());
    else
        replace_root_logger(file.release(), stand_in);
}

}  // namespace

/// Installs the root logger from the settings and the background flag.
void init_loggers() {
    TRACE_POINT;
    settings_t& settings = settings_t::global;
    // A daemon has no console: it always logs to a file.
    if (background) {
        settings.use_console_log = false;
        if (settings.use_file_log.empty()) settings.use_file_log = quarnel::get_default_log_path();
    }
    if (!settings.use_file_log.empty()) install_file_logger(settings);
    // Set last, so that it applies to every logger of the chain.
    int level = LOG_LEVEL_INFO;
    bool known = level_from_name(settings.verbosity.c_str(), level);
    {
        xlocker_t guard(if_logger_t::LogMutex);
        if_logger_t::Log->set_level(known ? level : LOG_LEVEL_INFO);
    }
    if (!known) LOG_AT(LOG_LEVEL_ERROR, "Bad verbosity value %s, set to INFO", settings.verbosity.c_str());
}

/// Logs the settings at DEBUG.
void dump_settings() {
    TRACE_POINT;
    const settings_t& s = settings_t::global;
    bool file_log = !s.use_file_log.empty();
    LOG_AT(LOG_LEVEL_DEBUG, "Settings dump after processing command line");
    LOG_AT(LOG_LEVEL_DEBUG, "Log level:\t\t%s", s.verbosity.c_str());
    LOG_AT(LOG_LEVEL_DEBUG, "Log rotate:\t%s", s.rotate.c_str());
    LOG_AT(LOG_LEVEL_DEBUG, "Backtrace:\t\t%s", s.trace ? "true" : "false");
    LOG_AT(LOG_LEVEL_DEBUG, "Use file log:\t%s", file_log ? "true" : "false");
    if (file_log) LOG_AT(LOG_LEVEL_DEBUG, "File log path:\t%s", s.use_file_log.c_str());
    LOG_AT(LOG_LEVEL_DEBUG, "Use console log:\t%s", s.use_console_log ? "true" : "false");
    LOG_AT(LOG_LEVEL_DEBUG, "Requested command:\t%s", "unknown");
}

/// The service body: runs the application loop and reports what ended it,
/// also to the process that launched a daemon and waits to learn whether it
/// started.
void service_main(int, char**) {
    TRACE_POINT;
    const char* failed = "Service failed because of %s";
    std::string reason;
    auto run = [] {
        app_loop_t loop;
        // Every pass reports; the launcher hears only the first.
        loop.on_started = [] { service.report_started(); };
        loop.run();
    };
    if (log_failure(LOG_LEVEL_ERROR, failed, run, &reason)) return;
    service_exit_code = 1;
    service.report_failure(report_lines(format_string(failed, reason.c_str())));
}

int main(int argc, char** argv) {
    // First of all, the signals the loop waits for or ignores: a thread the
    // start makes (the packer of a log at its rotation size) blocks them from
    // its first instruction, and one sent while the daemon starts stays
    // pending until the loop acts on it as on one sent later.
    service.hold_signals(app_loop_t::blocked_signals());
    // Before the first line, in the launcher of a daemon as in the service: a
    // console whose reader is gone (`... 2>&1 | head -1`) costs lines, never
    // the process. Nothing is executed from here on that would inherit it.
    ::signal(SIGPIPE, SIG_IGN);
    // Before anything is opened: a log file or socket must never take a
    // standard number that a closing starter (`<&- >&- 2>&-`) left free.
    // Without "/dev/null" there is nothing better to put there.
    (void)base_n::open_standard_descriptors();
    TRACE_POINT;
    settings_t& settings = settings_t::global;
    // The bounds first: the command line is checked against them.
    try {
        quarnel::apply_limits_from_environment();
    } catch (const std::exception& e) {
        LOG_AT(LOG_LEVEL_CRIT, "Error in %s: %s", quarnel::limits_variable, e.what());
        return 1;
    }
    command_line_parser_t parser(&settings);
    try {
        parser.parse(argc, argv);
    } catch (const std::exception& e) {
        LOG_AT(LOG_LEVEL_CRIT, "Error on parse command line: %s", e.what());
        return 1;
    }
    _d_exception_t::backtrace_enabled = settings.trace;
    background = settings.daemon && (platform_t::base.code & 0x7f000000u) != 0x02000000u;
    if (settings.help) {
        parser.print_usage();
        return 1;
    }
    file_logger_t::version_text = quarnel::release_text;
    init_loggers();
    LOG_AT(LOG_LEVEL_TRACE, "%s is rising", banner.c_str());
    print_system_info(platform_t::base, argc, argv);
    LOG_AT(LOG_LEVEL_DEBUG, "Successfully has parsed command line and initialized loggers");
    dump_settings();
    service.background = background;
    // The launcher of a daemon waits for the body's report on its start.
    service.go(service_main, argc, argv, base_n::start_report_t::awaited);
    return service_exit_code;
}
