// The service process: runs the program's service body, detached into the
// background on request, and optionally guards against a second instance
// with a PID file.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "_kern.h"

namespace base_n {

/// Detaches the process: the caller's process ends with _exit(0) and the
/// child, leader of a new session, goes on; 0 in the child, -1 when fork or
/// setsid fails. Without keep_cwd the child moves to "/", without keep_fds
/// its standard descriptors become "/dev/null".
int daemonize(bool keep_cwd, bool keep_fds);

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
    /// the body returns, and lets the body's exceptions through.
    int go(body_t* body, int argc, char** argv);
    /// Guards with the PID file at `path` (once); false when another live
    /// process holds it and loading must stop.
    bool create_pid(const std::string& path);

    const char* program_name;
    /// Set by the program entry before go.
    bool background;

private:
    std::unique_ptr<if_root_t> pid_file;
    /// Kept as given; nothing on this platform reads them.
    std::array<bool, 4> options;
};

}  // namespace base_n
