// The service process: runs the program's service body, detached into the
// background on request, and optionally guards against a second instance
// with a PID file.
#pragma once

#include <signal.h>

#include <array>
#include <memory>
#include <string>

#include "_kern.h"

namespace base_n {

/// Opens "/dev/null" on each of descriptors 0, 1 and 2 that is closed, so
/// that nothing opened later takes a standard number (in a program started
/// with them closed, as some init scripts do, standard error would otherwise
/// write into a log file or a peer's socket). False when "/dev/null" cannot
/// be opened.
bool open_standard_descriptors();

/// The working directory of a detached process.
enum class working_dir_t { keep, root };
/// Descriptors 0 to 2 of a detached process.
enum class standard_fds_t { keep, dev_null };

/// Detaches the process: the child, leader of a new session, goes on and
/// gets 0; -1 when fork or setsid fails. The caller's process ends at once
/// with _exit(0) and never returns.
int daemonize(working_dir_t cwd, standard_fds_t fds);

/// Whether the process that detaches a service body waits for its start report.
enum class start_report_t { none, awaited };

/// Runs the service body, in the background when asked to.
class service_process_t {
public:
    /// The signature of the program's service body.
    typedef void body_t(int argc, char** argv);

    service_process_t(const char* program_name, bool flag1, bool flag2, bool flag3, bool flag4);
    ~service_process_t();
    service_process_t(const service_process_t&) = delete;
    service_process_t& operator=(const service_process_t&) = delete;

    /// Whether the platform forces background running; never on this one.
    bool must_detach() const { return false; }
    /// Runs `body`, after detaching when `background` is set; returns 0 once
    /// the body returns, and lets the body's exceptions through. The process
    /// that detached ends with 0 at once, unless `report` asks it to wait as
    /// the launcher for the body's report: then it ends with 0 after
    /// report_started, with 1 after report_failure or when the body's process
    /// ends without a report; a stop request (SIGINT, SIGTERM, SIGHUP) of the
    /// waiting launcher is passed on to the body's process as SIGINT and ends
    /// the launcher.
    int go(body_t* body, int argc, char** argv, start_report_t report = start_report_t::none);
    /// Blocks `signals` in the calling thread, and so in every thread and
    /// child it makes; called once, before any thread is made. A waiting
    /// launcher goes back to the mask it had before: it is no service, and
    /// its stop requests and other signals end it as they would have.
    void hold_signals(const sigset_t& signals);
    /// Tells the waiting launcher that the service runs. Only the first report
    /// counts; without a launcher waiting it does nothing.
    void report_started();
    /// Tells the waiting launcher that the service failed: it writes `text`
    /// to its standard error. Only the first report counts.
    void report_failure(const std::string& text);
    /// Guards with the PID file at `path` (once); false when another live
    /// process holds it and loading must stop.
    bool create_pid(const std::string& path);

    const char* program_name;
    /// Set by the program entry before go.
    bool background;

private:
    /// daemonize, with the caller's process staying as the launcher that
    /// waits for the report over a channel whose child end goes to report_fd.
    int daemonize_awaiting_report();
    /// Sends one report to the launcher and ends the channel.
    void report(char status, const std::string& text);
    /// Closes the child's end of the channel: the launcher then knows that
    /// no report will come.
    void end_report();

    std::unique_ptr<if_root_t> pid_file;
    /// The detached child's end of the channel to its launcher; -1 when none.
    int report_fd;
    /// The mask before hold_signals, for a waiting launcher; `signals_held` once taken.
    sigset_t launcher_mask;
    bool signals_held;
    /// Kept as given; nothing on this platform reads them.
    std::array<bool, 4> options;
};

}  // namespace base_n
