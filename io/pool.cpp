// Pool threads are registered threads with their signals blocked; a handler
// that throws costs its own operation only, never the thread.
#include "io/pool.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/system_error.hpp>

#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace io {

namespace {

/// Runs `body`; an error it raises goes to `report` with its text and, for
/// the library's own errors, the shell.
template <class Body, class Report>
void reporting(Body body, Report report) {
    try {
        body();
    } catch (const SEH_exception_shell_t& e) {
        report(e.what(), &e);
    } catch (const d_exception_t_shell_t& e) {
        report(e.what(), &e);
    } catch (const std::exception& e) {
        report(e.what(), nullptr);
    } catch (...) {
        report("general error", nullptr);
    }
}

void block_thread_signals() {
    int rc;
    do {
        rc = pthread_sigmask(SIG_BLOCK, &kern_n::runnable_t::blocked_signals, nullptr);
    } while (rc == EINTR);
}

typedef decltype(boost::bind(&pool::run, std::declval<pool*>())) pool_run_call;
typedef detail::thr_proc_wrap_helper<pool_run_call> pool_thread;

/// What boost::thread copies: only a pointer to the one registered wrapper,
/// which is released on the thread itself once its procedure is over.
struct pool_thread_launcher {
    boost::shared_ptr<pool_thread> wrapper;
    void operator()() {
        boost::shared_ptr<pool_thread> mine;
        mine.swap(wrapper);
        (*mine)();
    }
};

}  // namespace

namespace detail {

void run_registered(kern_n::runnable_t& self, const std::function<void()>& body) {
    pthread_setspecific(kern_n::runnable_t::self_key, &self);
    self.record_pid(static_cast<int32_t>(getpid()));
    unsigned long tid = current_thread_id();
    LOG_AT(LOG_LEVEL_DEBUG3, "[%s] Started thread %lu, seqid %lu", self.name.c_str(), tid,
           static_cast<unsigned long>(self.seqid));
    reporting(body, [](const char* reason, const d_exception_t_shell_t* shell) {
        pretty_print_exception(LOG_LEVEL_ERROR, "[Thread] Thread procedure failed because of %s", reason, shell);
    });
    LOG_AT(LOG_LEVEL_DEBUG3, "[%s] Completed thread %lu, seqid %lu", self.name.c_str(), tid,
           static_cast<unsigned long>(self.seqid));
    reporting([] { kern_n::runnable_t::cleanup_tls(); }, [](const char*, const d_exception_t_shell_t*) {});
    // The wrapper goes away after this; log lines must not read its name any more.
    pthread_setspecific(kern_n::runnable_t::self_key, nullptr);
}

}  // namespace detail

pool::pool(std::size_t count, const std::string& name) : work_(new boost::asio::io_service::work(service_)) {
    TRACE_POINT;
    try {
        for (std::size_t i = 0; i < count; ++i) start_thread(format_string("%s:%lu", name.c_str(), static_cast<unsigned long>(i)));
    } catch (...) {
        // No destructor will run: the threads already started must not be left running on a dying service.
        stop_and_join();
        throw;
    }
}

pool::~pool() {
    TRACE_POINT;
    stop_and_join();
}

void pool::stop_and_join() {
    service_.stop();
    threads_.join_all();
}

void pool::start_thread(const std::string& thread_name) {
    pool_thread_launcher launcher;
    launcher.wrapper = boost::make_shared<pool_thread>(thread_name, boost::bind(&pool::run, this));
    threads_.create_thread(launcher);
}

std::size_t pool::run() {
    TRACE_POINT;
    block_thread_signals();
    for (;;) {
        std::size_t handled = 0;
        bool stopped = false;
        reporting(
            [&] {
                boost::system::error_code ec;
                handled = service_.run(ec);
                if (ec) throw boost::system::system_error(ec);
                stopped = true;
            },
            [](const char* reason, const d_exception_t_shell_t* shell) {
                pretty_print_exception(LOG_LEVEL_ERROR, "[Pool] Thread failed because of %s", reason, shell);
            });
        if (stopped) return handled;
    }
}

}  // namespace io
