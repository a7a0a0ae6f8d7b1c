// The service process: runs the program's service body, detached into the
// background on request, and optionally guards against a second instance
// with a PID file.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "_kern.h"

namespace base_n {

/// Detaches the process: the child, leader of a new session, goes on; 0 in
/// the child, -1 when fork or setsid fails. Without keep_cwd the child moves
/// to "/", without keep_fds its standard descriptors become "/dev/null".
/// Without `report_fd` the caller's process ends at once with _exit(0); with
/// it, the caller's process waits for the child's report on the descriptor
/// the child finds in *report_fd (see service_process_t::report_started) and
/// ends with its status.
int daemonize(bool keep_cwd, bool keep_fds, int* report_fd = nullptr);

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
    /// that detached waits for the body's report: it ends with 0 after
    /// report_started, with 1 after report_failure or when the body's process
    /// ends without a report.
    int go(body_t* body, int argc, char** argv);
    /// Tells the waiting launcher that the service runs. Only the first report
    /// counts; in the foreground it does nothing.
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
    /// Sends one report to the launcher and closes the channel.
    void report(char status, const std::string& text);

    std::unique_ptr<if_root_t> pid_file;
    /// The detached child's end of the channel to its launcher; -1 when none.
    int report_fd;
    /// Kept as given; nothing on this platform reads them.
    std::array<bool, 4> options;
};

}  // namespace base_n
