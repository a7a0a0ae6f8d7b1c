// The application loop: owns the life of the running service. It fixes the
// signal disposition, keeps the I/O pool, and runs passes that each read the
// configuration, build the cache and the listeners, and wait for SIGHUP (the
// next pass) or SIGINT (the end).
#pragma once

#include <signal.h>

#include <functional>

#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

/// Runs the service in passes until SIGINT.
class app_loop_t {
public:
    /// Ignores SIGPIPE, blocks every asynchronous signal in this and all later
    /// threads, and installs the post-mortem report for the fatal ones.
    app_loop_t();

    /// The signals the loop's threads block: every one but the fault signals,
    /// which must reach the faulting thread for the post-mortem report. Held
    /// also in the thread registry's set, which the pool's threads block.
    static const sigset_t& blocked_signals();

    /// Returns after SIGINT; throws when a pass cannot be set up.
    void run();
    /// Blocks until SIGINT or SIGHUP arrives; true for SIGINT.
    bool wait_signal();

    /// Called once a pass has started all its listeners.
    std::function<void()> on_started;

    /// How often the cache deletes old revisions (1 hour; tests shorten it).
    static boost::posix_time::time_duration cache_clean_period;

private:
    /// One pass; true when it ended by SIGINT.
    bool run_pass(boost::asio::io_service& service);
};
