// The I/O thread pool: the process's one I/O service and the fixed set of
// registered worker threads that run every socket, timer and layer completion.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/scoped_ptr.hpp>
#include <boost/thread/thread.hpp>

#include "oslayer/runnable.h"

namespace io {

namespace detail {

/// Registers the calling thread as `self`, logs its start, runs `body`
/// (logging what escapes it), logs its end and releases its per-thread objects.
void run_registered(kern_n::runnable_t& self, const std::function<void()>& body);

/// The registration of one pool thread around its procedure. The thread owns
/// the one registered wrapper and destroys it when its procedure is over.
template <class Proc>
class thr_proc_wrap_helper : public kern_n::runnable_t {
public:
    // Listed only once whole: a listing on another thread reads the name and
    // calls type_name, which must not meet an object still being built.
    thr_proc_wrap_helper(const std::string& thread_name, const Proc& proc) : runnable_t(thread_name), proc_(proc) {
        register_self();
    }
    thr_proc_wrap_helper(const thr_proc_wrap_helper&) = delete;
    thr_proc_wrap_helper& operator=(const thr_proc_wrap_helper&) = delete;
    // Out of the running list before this part is gone: a concurrent listing
    // calls type_name, which must not reach a half-destroyed object.
    ~thr_proc_wrap_helper() override { unregister_self(); }

    const char* type_name() const override { return "thr"; }

    /// The thread's whole life; runs on the new thread.
    void operator()() {
        run_registered(*this, [this] { proc_(); });
    }

private:
    Proc proc_;
};

}  // namespace detail

/// Owns the I/O service and its worker threads; destruction stops the service and joins them.
class pool {
public:
    /// Starts `count` threads named "<name>:0", "<name>:1", ...; 0 starts none.
    /// If a thread cannot be started, those already running are stopped and joined before the error leaves.
    pool(std::size_t count, const std::string& name);
    pool(const pool&) = delete;
    pool& operator=(const pool&) = delete;
    /// Stops the service (queued handlers that have not started never run) and joins every thread.
    ~pool();

    boost::asio::io_service& get_io_service() { return service_; }

    /// The body of every worker thread: runs the service until it is stopped,
    /// logging and surviving every error that escapes a handler.
    std::size_t run();

private:
    void start_thread(const std::string& thread_name);
    void stop_and_join();

    // Destroyed in reverse: threads (already joined), then the work guard, then the service.
    boost::asio::io_service service_;
    boost::scoped_ptr<boost::asio::io_service::work> work_;
    boost::thread_group threads_;
};

}  // namespace io
