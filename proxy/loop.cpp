#include "proxy/loop.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/shared_ptr.hpp>

#include "cache/cache.h"
#include "io/pool.h"
#include "oslayer/loggers.h"
#include "oslayer/postmortem.h"
#include "oslayer/runnable.h"
#include "oslayer/utilities.h"
#include "proxy/command_line_parser.h"
#include "proxy/config.h"
#include "proxy/defaults.h"
#include "proxy/listener.h"

namespace {

// How long an idle cache file stays mapped.
const boost::posix_time::time_duration cache_unload_period = boost::posix_time::minutes(10);

/// Every signal except the synchronous fault signals: those are raised by the
/// faulting thread itself, and a blocked one would end the process by the
/// kernel's default action without the post-mortem report.
void fill_blocked_signals(sigset_t& set) {
    sigfillset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigdelset(&set, fault);
}

std::string cache_root_of(const config_t& config) {
    if (!config.cache_root.empty()) return config.cache_root;
    return (boost::filesystem::path(temp_directory()) / quarnel::default_cache_dir_name).string();
}

}  // namespace

boost::posix_time::time_duration app_loop_t::cache_clean_period = boost::posix_time::hours(1);

app_loop_t::app_loop_t() {
    TRACE_POINT;
    signal(SIGPIPE, SIG_IGN);
    int rc;
    do {
        rc = pthread_sigmask(SIG_BLOCK, &blocked_signals(), nullptr);
    } while (rc == EINTR);
    install_fatal_signal_handlers();
}

const sigset_t& app_loop_t::blocked_signals() {
    fill_blocked_signals(kern_n::runnable_t::blocked_signals);
    return kern_n::runnable_t::blocked_signals;
}

void app_loop_t::run() {
    TRACE_POINT;
    io::pool pool(settings_t::global.pool_size, "thr");
    while (!run_pass(pool.get_io_service())) {
    }
}

bool app_loop_t::run_pass(boost::asio::io_service& service) {
    TRACE_POINT;
    config_t& config = config_t::global;
    config.reload(service);
    if (config.listens.empty()) D_THROW(BUG_exception, "there is no valid listeners in config");
    boost::shared_ptr<cache::cache_t> cache =
        cache::cache_t::create(service, cache_root_of(config), cache_unload_period, cache_clean_period);
    std::vector<boost::shared_ptr<listener_t>> listeners;
    listeners.reserve(config.listens.size());
    for (const listen_spec_t& record : config.listens) {
        listeners.push_back(listener_t::create(service, record, cache));
        listeners.back()->start();
    }
    LOG_AT(LOG_LEVEL_INFO, "Proxy started, wait for client connections");
    if (on_started) on_started();
    bool stop = wait_signal();
    // Closed here, not left to the listeners' destructors: an accept that is
    // handing over a connection on a pool thread holds its listener past our
    // release, and the next pass must find every endpoint free to bind.
    for (boost::shared_ptr<listener_t>& listener : listeners) listener->stop();
    // The cache goes first: it lives on only as long as a listener or a
    // connection still holds it.
    cache.reset();
    for (boost::shared_ptr<listener_t>& listener : listeners) listener.reset();
    return stop;
}

bool app_loop_t::wait_signal() {
    TRACE_POINT;
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGHUP);
    int signo = 0;
    int rc = sigwait(&wanted, &signo);
    if (rc != 0) D_THROW(BUG_exception, "signal loop failed because of %s", strerror(rc));
    switch (signo) {
        case SIGINT:
            LOG_AT(LOG_LEVEL_INFO, "SIGINT handled, shutdown");
            return true;
        case SIGHUP:
            LOG_AT(LOG_LEVEL_INFO, "SIGHUP handled, reread configuration");
            return false;
        default:
            LOG_AT(LOG_LEVEL_WARNING, "Unknown signal handled");
            return false;
    }
}
