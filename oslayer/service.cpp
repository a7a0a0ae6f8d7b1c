// The service process: detaching into the background and the PID-file guard.
#include "service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "amtypes.h"
#include "bounded-write.h"
#include "common-utils.h"
#include "file.h"
#include "filestr.h"
#include "loggers.h"
#include "utilities.h"

namespace {

/// The PID file of a running instance: written when no live process holds
/// it, removed again by the instance that wrote it.
class kewl_pid_file_t : private file_t, public virtual if_root_t {
public:
    explicit kewl_pid_file_t(const std::string& path);
    ~kewl_pid_file_t() override;

    /// This object wrote the file and removes it again.
    bool created;
    /// Loading may go on.
    bool go_on;

private:
    /// True when the file names a live process (loading must stop).
    bool held_by_live_process();
    void write_own_pid();
};

kewl_pid_file_t::kewl_pid_file_t(const std::string& path) : file_t(path), created(false), go_on(false) {
    TRACE_POINT;
    if (exists() && held_by_live_process()) return;
    write_own_pid();
}

kewl_pid_file_t::~kewl_pid_file_t() {
    TRACE_POINT;
    if (!created) return;
    if (remove())
        LOG_AT(LOG_LEVEL_TRACE3, "PID file \"%s\" removed", fullpath.c_str());
    else
        LOG_AT(LOG_LEVEL_ERROR, "Unable to remove PID file \"%s\" because of %s", fullpath.c_str(),
               get_last_error().c_str());
}

bool kewl_pid_file_t::held_by_live_process() {
    uint32_t pid;
    try {
        mbuf_t content;
        file2mbuf(content, fullpath.c_str());
        pid = content.view().toul(10);
    } catch (const d_exception_t_shell_t& e) {
        LOG_AT(LOG_LEVEL_WARNING, "Unable to read existing PID file \"%s\" because of %s", fullpath.c_str(), e.what());
        return false;
    }
    // 0 and values past the pid range would make kill() address a process
    // group or every process; EPERM means the process lives under another user.
    bool alive = pid != 0 && pid <= static_cast<uint32_t>(INT_MAX) &&
                 (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    if (!alive) {
        LOG_AT(LOG_LEVEL_WARNING, "Stalled PID file \"%s\" will be overwritten", fullpath.c_str());
        return false;
    }
    LOG_AT(LOG_LEVEL_CRIT, "Found PID file \"%s\" and process with PID %u exists, abort loading", fullpath.c_str(),
           pid);
    fprintf(stderr, "Process with PID %u exists, abort loading (%s)\n", pid, fullpath.c_str());
    return true;
}

void kewl_pid_file_t::write_own_pid() {
    go_on = true;
    if (!write(format_string("%u", static_cast<unsigned>(::getpid())))) {
        LOG_AT(LOG_LEVEL_ERROR, "Unable to create PID file \"%s\" because of %s", fullpath.c_str(),
               get_last_error().c_str());
        return;
    }
    created = true;
    LOG_AT(LOG_LEVEL_TRACE3, "Created PID file \"%s\"", fullpath.c_str());
}

// The first byte of a detached child's report to its launcher.
const char report_started_byte = '0';
const char report_failed_byte = '1';

ssize_t read_some(int fd, char* buffer, size_t size) {
    ssize_t n;
    while ((n = ::read(fd, buffer, size)) < 0 && errno == EINTR) {}
    return n;
}

/// The launcher's side: waits until the detached child reports, copies a
/// failure's text to standard error, and ends with the status a service
/// manager or a script is to see. Without a report the child has died.
/// No exit handlers, no stdio flushing: nothing buffered before the fork
/// is written twice.
[[noreturn]] void await_report(int fd) {
    char buffer[4096];
    ssize_t n = read_some(fd, buffer, 1);
    if (n == 1 && buffer[0] == report_started_byte) ::_exit(0);
    // A standard error that nobody reads (a closed pipe) must not turn the
    // failure's status into death by SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    std::string text;
    if (n == 1 && buffer[0] == report_failed_byte) {
        while ((n = read_some(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    } else {
        text = "The service ended before it had started\n";
    }
    // Bounded as a console line: one that takes none of it, full and never
    // read, costs the report, never the status.
    bounded_writer_t(2).write(text.data(), text.size(), fd_logger_t::console_wait_ms);
    ::_exit(1);
}

/// The starting child of a waiting launcher; set before a stop handler can run.
pid_t starting_child = -1;

/// The stop requests a waiting launcher passes on: an interrupt (Ctrl-C), an
/// init system's or `timeout`'s SIGTERM, a terminal's hangup.
const int stop_requests[] = {SIGINT, SIGTERM, SIGHUP};

/// A stop request to the waiting launcher goes on to the starting child as
/// its own stop request, SIGINT (it ignores SIGTERM and reloads on SIGHUP),
/// so that no service comes up behind the back of whoever stopped its start;
/// then the launcher ends by the signal itself, as a stopped command does.
void pass_stop_on(int signo) {
    ::kill(starting_child, SIGINT);
    struct sigaction by_default = {};
    by_default.sa_handler = SIG_DFL;
    ::sigaction(signo, &by_default, nullptr);
    // Blocked while the handler runs: it ends the process once the handler returns.
    ::raise(signo);
}

/// Holds the stop requests back across the fork, so that none finds the
/// launcher before it knows its child; one ignored by whoever started the
/// program (`nohup` ignores the hangup) stays ignored.
class stop_relay_t {
public:
    stop_relay_t() {
        sigset_t stops;
        sigemptyset(&stops);
        for (int signo : stop_requests) sigaddset(&stops, signo);
        ::sigprocmask(SIG_BLOCK, &stops, &previous_mask);
    }
    ~stop_relay_t() { ::sigprocmask(SIG_SETMASK, &previous_mask, nullptr); }
    stop_relay_t(const stop_relay_t&) = delete;
    stop_relay_t& operator=(const stop_relay_t&) = delete;

    /// In the launcher: from now on a stop request goes on to `child`.
    void relay_to(pid_t child) {
        starting_child = child;
        struct sigaction relay = {};
        relay.sa_handler = pass_stop_on;
        // One stop at a time: the first ends the launcher.
        sigemptyset(&relay.sa_mask);
        for (int signo : stop_requests) sigaddset(&relay.sa_mask, signo);
        for (int signo : stop_requests) {
            struct sigaction current;
            if (::sigaction(signo, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
                ::sigaction(signo, &relay, nullptr);
        }
    }

private:
    sigset_t previous_mask;
};

/// The detached child's steps after the fork.
int settle_detached_child(base_n::working_dir_t cwd, base_n::standard_fds_t fds) {
    if (::setsid() < 0) return -1;
    if (cwd == base_n::working_dir_t::root) (void)::chdir("/");
    if (fds == base_n::standard_fds_t::keep) return 0;
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) return 0;
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    if (null_fd > 2) ::close(null_fd);
    // A console writer's own copy of the launcher's standard error would
    // keep its pipe open, and whoever reads it waiting, for as long as the
    // service runs.
    bounded_writer_t::follow_descriptors();
    return 0;
}

}  // namespace

namespace base_n {

bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number: the lower ones are open by now.
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd < 0) return false;
        if (null_fd != fd) ::close(null_fd);
    }
    return true;
}

int daemonize(working_dir_t cwd, standard_fds_t fds) {
    pid_t child = ::fork();
    if (child < 0) return -1;
    // No exit handlers, no stdio flushing: nothing buffered before the fork
    // is written twice.
    if (child > 0) ::_exit(0);
    return settle_detached_child(cwd, fds);
}

service_process_t::service_process_t(const char* program_name_, bool flag1, bool flag2, bool flag3, bool flag4)
    : program_name(program_name_),
      background(false),
      report_fd(-1),
      launcher_mask(),
      signals_held(false),
      options{{flag1, flag2, flag3, flag4}} {}

service_process_t::~service_process_t() { pid_file.reset(); }

int service_process_t::go(body_t* body, int argc, char** argv, start_report_t report) {
    TRACE_POINT;
    if (background) {
        int rc = report == start_report_t::awaited ? daemonize_awaiting_report()
                                                   : daemonize(working_dir_t::keep, standard_fds_t::dev_null);
        if (rc < 0) LOG_AT(LOG_LEVEL_WARNING, "Cannot go to background because of %s", get_last_error().c_str());
    }
    // A body that returns or throws without a report never started: the
    // launcher is told so by the channel's end.
    struct report_ender_t {
        service_process_t& service;
        ~report_ender_t() { service.end_report(); }
    } ender{*this};
    body(argc, argv);
    return 0;
}

void service_process_t::hold_signals(const sigset_t& signals) {
    signals_held = ::pthread_sigmask(SIG_BLOCK, &signals, &launcher_mask) == 0;
}

int service_process_t::daemonize_awaiting_report() {
    // Made first: a channel end given a standard number would be replaced
    // by the detached child's /dev/null.
    open_standard_descriptors();
    // A socket rather than a pipe: the child's send cannot raise SIGPIPE when
    // the launcher is gone.
    int channel[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) < 0) return -1;
    pid_t child;
    {
        stop_relay_t relay;
        child = ::fork();
        if (child > 0) relay.relay_to(child);
    }
    if (child < 0) {
        ::close(channel[0]);
        ::close(channel[1]);
        return -1;
    }
    if (child > 0) {
        // Its own copy of the child's end closed, the channel ends when the child's does.
        ::close(channel[1]);
        // A stop request held until now goes on to the child from here.
        if (signals_held) ::pthread_sigmask(SIG_SETMASK, &launcher_mask, nullptr);
        await_report(channel[0]);
    }
    ::close(channel[0]);
    // Kept also when setsid fails: the body then runs here and still reports.
    report_fd = channel[1];
    return settle_detached_child(working_dir_t::keep, standard_fds_t::dev_null);
}

void service_process_t::report_started() { report(report_started_byte, std::string()); }

void service_process_t::report_failure(const std::string& text) { report(report_failed_byte, text); }

void service_process_t::report(char status, const std::string& text) {
    if (report_fd < 0) return;
    // A launcher that is gone leaves nobody to tell.
    const std::string message = status + text;
    write_fully(report_fd, message.data(), message.size(), true);
    end_report();
}

void service_process_t::end_report() {
    if (report_fd < 0) return;
    ::close(report_fd);
    report_fd = -1;
}

bool service_process_t::create_pid(const std::string& path) {
    if (!pid_file) pid_file.reset(new kewl_pid_file_t(path));
    // if_root_t is a virtual base: only dynamic_cast can go back down.
    return dynamic_cast<kewl_pid_file_t&>(*pid_file).go_on;
}

}  // namespace base_n
