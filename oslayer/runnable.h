// Registration of worker threads (sequence number, name, per-thread named
// objects) and the process statistics read from /proc.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "_kern.h"
#include "syncers.h"
#include "utilities.h"

namespace kern_n {

/// The record of a worker thread; every log line carries its name.
class runnable_t : public virtual if_root_t {
public:
    /// Process-wide figures from getrusage and /proc/self/status.
    struct status_t {
        d_uint64_t threads;
        d_uint64_t vm_size;
        d_uint64_t vm_rss;
        d_uint64_t context_switches;
        d_uint64_t page_faults;
    };

    /// Registered at once, before a derived part exists: for objects that no
    /// other thread lists while they are built (see the named constructor).
    runnable_t();
    runnable_t(const runnable_t& other);  // a copy is not registered
    runnable_t& operator=(const runnable_t&) = delete;
    ~runnable_t() override;

    /// Kind of thread, e.g. "thr" for the I/O pool's threads.
    /// While the base part is being built or torn down another thread may
    /// list this object, so the base answers too instead of being abstract.
    virtual const char* type_name() const { return unknown_name; }

    /// Deletes the calling thread's named objects.
    static void cleanup_tls();
    /// The calling thread's object under `key` (compared by text), or null.
    static if_root_t* get_tls_value(const char* key);
    /// Stores `value` under `key` for the calling thread; an object already
    /// stored there is deleted. Throws thread_exception_shell_t.
    static void set_tls_value(const char* key, if_root_t* value);

    /// Appends "kind#pid/handle name" for every registered object.
    static void running_list(std::vector<std::string>& out);
    /// Logs the running list at NOTICE, several entries a line.
    static void show_threads();
    /// CPU time of the process's threads in 10 ns units.
    static void cpu_usage(d_uint64_t* user, d_uint64_t* system);
    /// Page faults of the process's threads; `other` is always 0.
    static void paging_usage(d_uint64_t* minor, d_uint64_t* major, d_uint64_t* other);
    /// Not gathered on this platform: stores 0.
    static void io_usage(d_uint64_t* read, d_uint64_t* written);
    /// Never throws; fields that cannot be read stay 0.
    static void status_usage(status_t* status);

    /// The calling thread's registration, or null.
    static runnable_t* self();
    /// The calling thread's name, or `unknown_name`.
    static const char* self_name();

    // Parsers of one /proc stat text (exposed so they can be checked on
    // crafted texts); they add to the sums and throw getrusage_exception_shell_t.
    static void parse_times(const std::string& stat_text, const char* path, d_uint64_t& utime, d_uint64_t& stime);
    static void parse_paging(const std::string& stat_text, const char* path, d_uint64_t& minflt, d_uint64_t& majflt);
    /// Fills threads, vm_size and vm_rss from a /proc/self/status text.
    static void parse_status(const std::string& status_text, status_t& status);
    /// Clock ticks (at `per_second` a second) to 10 ns units.
    static d_uint64_t jiffies_to_ticks(d_uint64_t jiffies, d_uint64_t per_second);

    uint32_t handle;
    std::string name;
    int32_t pid;
    uint32_t seqid;

    static atomic32_t SeqIdCnt;
    static std::list<runnable_t*> runnables;
    static mutex_t* runnables_guard;
    static pthread_key_t self_key;
    static pthread_key_t tls_key;
    static const char* const unknown_name;
    static bool NPTL;
    static sigset_t blocked_signals;

    /// Stores the process id the thread sees, under the registry lock: a
    /// listing on another thread may read it at any moment.
    void record_pid(int32_t value);

protected:
    /// Named but not yet registered: a derived class that other threads may
    /// list calls register_self last thing in its own constructor, so that no
    /// listing reaches its type_name or name while they are still being set.
    explicit runnable_t(const std::string& thread_name);
    /// Puts the object into the running list (once; later calls do nothing).
    void register_self();
    /// Takes the object out of the running list. A derived class calls it
    /// first thing in its own destructor: once the derived part is gone, the
    /// running list must no longer reach its type_name.
    void unregister_self();

public:
    /// Creates the keys and statics; run once by library start-up.
    static void init_statics();
    static void destroy_statics();
};

}  // namespace kern_n

/// Kernel id of the calling thread (gettid), or pthread_self() when that is 0.
unsigned long current_thread_id();
