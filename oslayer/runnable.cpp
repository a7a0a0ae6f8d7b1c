// The thread registry, the per-thread named objects and the statistics read
// from /proc.
#include "runnable.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "amtypes.h"
#include "common-utils.h"
#include "loggers.h"

namespace kern_n {

namespace {

/// Keys are compared by their bytes: two literals with the same text in
/// different units must name the same object.
struct key_less_t {
    bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
};
typedef std::map<const char*, if_root_t*, key_less_t> tls_map_t;

/// Runs `body`; an error it raises goes to `report` with its text and, for
/// the library's own errors, the shell (whose back-trace is logged too).
template <class Body, class Report>
void reporting(Body body, Report report) {
    try {
        body();
    } catch (const d_exception_t_shell_t& e) {
        report(e.what(), &e);
    } catch (const std::exception& e) {
        report(e.what(), nullptr);
    } catch (...) {
        report("general error", nullptr);
    }
}

tls_map_t* thread_map() { return static_cast<tls_map_t*>(pthread_getspecific(runnable_t::tls_key)); }

}  // namespace

// The list and the calls of init_statics/destroy_statics belong to the
// library start-up (platform.cpp), which orders them with the logger.
atomic32_t runnable_t::SeqIdCnt;
mutex_t* runnable_t::runnables_guard = nullptr;
pthread_key_t runnable_t::self_key;
pthread_key_t runnable_t::tls_key;
const char* const runnable_t::unknown_name = "noname";
bool runnable_t::NPTL = false;
sigset_t runnable_t::blocked_signals;

void runnable_t::init_statics() {
    static bool done = false;
    if (done) return;
    done = true;
    sigemptyset(&blocked_signals);
    for (int sig : {SIGURG, SIGIO, SIGPOLL, SIGWINCH, SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGQUIT, SIGINT, SIGPIPE,
                    SIGCHLD})
        sigaddset(&blocked_signals, sig);
    if (pthread_key_create(&self_key, nullptr) != 0 || pthread_key_create(&tls_key, nullptr) != 0)
        D_THROW(d_exception_t, "cannot initialize thread engine");
    SeqIdCnt.set(0);
    unsigned long pid = static_cast<unsigned long>(getpid());
    NPTL = access(format_string("/proc/%lu/task/%lu/stat", pid, pid).c_str(), R_OK) == 0;
    runnables_guard = new mutex_t();
}

void runnable_t::destroy_statics() {
    delete runnables_guard;
    runnables_guard = nullptr;
    runnables.clear();
}

// --------------------------------------------------------------- lifecycle

runnable_t::runnable_t() : runnable_t(std::string()) { register_self(); }

runnable_t::runnable_t(const std::string& thread_name) : handle(0xFFFFFFFFu), name(thread_name), pid(0), seqid(0) {
    TRACE_POINT;
    seqid = SeqIdCnt.increment();
}

runnable_t::runnable_t(const runnable_t& other)
    : if_root_t(other), handle(other.handle), name(other.name), pid(other.pid), seqid(other.seqid) {}

runnable_t::~runnable_t() {
    TRACE_POINT;
    unregister_self();
    reporting([] { cleanup_tls(); },
              [this](const char* reason, const d_exception_t_shell_t* shell) {
                  std::string text = format_string("%s: Cleanup TLS failed because of %s", name.c_str(), reason);
                  pretty_print_exception(LOG_LEVEL_ERROR, "%s", text.c_str(), shell);
              });
}

void runnable_t::register_self() {
    if (!runnables_guard) return;
    xlocker_t guard(*runnables_guard);
    if (std::find(runnables.begin(), runnables.end(), this) == runnables.end()) runnables.push_back(this);
}

void runnable_t::record_pid(int32_t value) {
    if (!runnables_guard) {
        pid = value;
        return;
    }
    xlocker_t guard(*runnables_guard);
    pid = value;
}

void runnable_t::unregister_self() {
    reporting(
        [this] {
            if (!runnables_guard) return;
            xlocker_t guard(*runnables_guard);
            auto it = std::find(runnables.begin(), runnables.end(), this);
            if (it != runnables.end()) runnables.erase(it);
        },
        [this](const char* reason, const d_exception_t_shell_t* shell) {
            std::string text = format_string("%s: Removing self failed because of %s", name.c_str(), reason);
            pretty_print_exception(LOG_LEVEL_ERROR, "%s", text.c_str(), shell);
        });
}

runnable_t* runnable_t::self() { return static_cast<runnable_t*>(pthread_getspecific(self_key)); }

const char* runnable_t::self_name() {
    runnable_t* me = self();
    return me ? me->name.c_str() : unknown_name;
}

// ------------------------------------------------------ per-thread objects

void runnable_t::cleanup_tls() {
    TRACE_POINT;
    tls_map_t* map = thread_map();
    if (!map) return;
    // Detached before the objects go, so that a destructor looking up the
    // map finds none instead of a half-deleted one.
    pthread_setspecific(tls_key, nullptr);
    std::unique_ptr<tls_map_t> owned(map);
    for (auto& entry : *owned) {
        if_root_t* object = entry.second;
        entry.second = nullptr;
        delete object;
    }
}

if_root_t* runnable_t::get_tls_value(const char* key) {
    tls_map_t* map = thread_map();
    if (!map || !key) return nullptr;
    auto it = map->find(key);
    return it == map->end() ? nullptr : it->second;
}

void runnable_t::set_tls_value(const char* key, if_root_t* value) {
    TRACE_POINT;
    if (!key) D_THROW(thread_exception, "[%s] cannot set TLS value for key \"%s\" because of %s", self_name(), "", "missing key");
    tls_map_t* map = thread_map();
    if (!map) {
        std::unique_ptr<tls_map_t> fresh(new tls_map_t());
        int rc = pthread_setspecific(tls_key, fresh.get());
        if (rc != 0) {
            errno = rc;
            D_THROW(thread_exception, "[%s] cannot set TLS value for key \"%s\" because of %s", self_name(), key,
                    get_last_error().c_str());
        }
        map = fresh.release();
    }
    auto it = map->find(key);
    if (it == map->end()) {
        map->emplace(key, value);
        return;
    }
    if_root_t* previous = it->second;
    it->second = value;
    if (previous != value) delete previous;
}

// ------------------------------------------------------------ running list

void runnable_t::running_list(std::vector<std::string>& out) {
    TRACE_POINT;
    if (!runnables_guard) return;
    xlocker_t guard(*runnables_guard);
    for (const runnable_t* r : runnables) {
        std::string entry = r->type_name();
        entry += '#';
        entry += format_string("%06d/%08lx", r->pid, static_cast<unsigned long>(r->handle));
        entry += ' ';
        if (r->name.find(' ') != std::string::npos)
            entry += '"' + r->name + '"';
        else
            entry += r->name;
        out.push_back(entry);
    }
}

void runnable_t::show_threads() {
    TRACE_POINT;
    std::vector<std::string> entries;
    running_list(entries);
    unsigned long count = entries.size();
    LOG_AT(LOG_LEVEL_NOTICE, "[Stat] There %s %lu running thread%s ", count == 1 ? "is" : "are", count,
           count == 1 ? "" : "s");
    std::string line;
    for (const std::string& entry : entries) {
        line += entry;
        line += ", ";
        if (line.size() > 64) {
            line.resize(line.size() - 2);
            LOG_AT(LOG_LEVEL_NOTICE, "[Stat] Threads: %s", line.c_str());
            line.clear();
        }
    }
    if (!line.empty()) {
        line.resize(line.size() - 2);
        LOG_AT(LOG_LEVEL_NOTICE, "[Stat] Threads: %s", line.c_str());
    }
}

// --------------------------------------------------------------- statistics

namespace {

/// The text after the process name, which sits in parentheses and may
/// itself hold ')' and blanks.
lstr_t after_name(const std::string& text, const char* path) {
    size_t close = text.rfind(')');
    lstr_t rest = close == std::string::npos ? lstr_t(text) : lstr_t(text.size() - close - 1, text.data() + close + 1);
    if (rest.empty()) D_THROW(getrusage_exception, "cannot find ')' in \"%s\"", path);
    return rest;
}

/// The next blank-separated word; empty when only blanks are left.
lstr_t next_word(lstr_t& rest) {
    rest.ltrim(' ');
    return rest.split(' ', false);
}

/// Reads one stat file and hands its text to `parse`. The file of a thread
/// that ended after the directory was listed is gone: that is expected and
/// only worth a debug line. Every failure skips just this file.
template <class Parse>
void read_stat(const char* path, bool cpu, Parse parse) {
    const char* fmt =
        cpu ? "Unable to get CPU time information because of %s" : "Unable to get paging information because of %s";
    reporting(
        [&] {
            std::string text;
            try {
                read_entire_file(text, path);
            } catch (const io_error_exception_shell_t& e) {
                LOG_AT(LOG_LEVEL_DEBUG, fmt, e.what());
                return;
            }
            parse(text);
        },
        [fmt](const char* reason, const d_exception_t_shell_t* shell) {
            pretty_print_exception(LOG_LEVEL_ERROR, fmt, reason, shell);
        });
}

void get_times(const char* path, d_uint64_t& utime, d_uint64_t& stime) {
    TRACE_POINT;
    read_stat(path, true, [&](const std::string& text) { runnable_t::parse_times(text, path, utime, stime); });
}

void get_paging(const char* path, d_uint64_t& minflt, d_uint64_t& majflt) {
    TRACE_POINT;
    read_stat(path, false, [&](const std::string& text) { runnable_t::parse_paging(text, path, minflt, majflt); });
}

/// Calls `each` with the stat file of every thread: the task entries when
/// threads share one process id, else the registered objects' own ids.
template <class Each>
void for_each_stat_file(const std::string& task_dir, Each each) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(task_dir.c_str()), closedir);
    if (runnable_t::NPTL) {
        if (!dir) return;
        while (const dirent* entry = readdir(dir.get())) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            each(format_string("%s/%s/stat", task_dir.c_str(), entry->d_name).c_str());
        }
        return;
    }
    if (!runnable_t::runnables_guard) return;
    xlocker_t guard(*runnable_t::runnables_guard);
    for (const runnable_t* r : runnable_t::runnables)
        each(format_string("/proc/%lu/stat", static_cast<unsigned long>(r->pid)).c_str());
}

/// getrusage counters keep the 32-bit width they have on the platforms the
/// figures are compared with; the sum itself is taken in 64 bits.
d_uint64_t sum_as_32(long a, long b) {
    int64_t sum = static_cast<int64_t>(static_cast<int32_t>(a)) + static_cast<int64_t>(static_cast<int32_t>(b));
    return static_cast<d_uint64_t>(sum);
}

/// The number after the label's ':' and, for sizes, scaled by its unit.
d_uint64_t status_value(lstr_t rest, bool sized) {
    static constexpr lstr_t blanks(4, "\t \n\r");
    rest.ltrim(blanks);
    d_uint64_t value;
    try {
        value = rest.split_any(blanks, false).tou64(10);
    } catch (const d_exception_t_shell_t&) {
        return 0;
    }
    if (!sized) return value;
    rest.ltrim(blanks);
    lstr_t unit = rest.split_any(blanks, false);
    if (unit.iequals("kb")) return value << 10;
    if (unit.iequals("mb")) return value << 20;
    if (unit.iequals("gb")) return value << 30;
    return value;
}

}  // namespace

void runnable_t::parse_times(const std::string& stat_text, const char* path, d_uint64_t& utime, d_uint64_t& stime) {
    TRACE_POINT;
    lstr_t rest = after_name(stat_text, path);
    rest.skip(11, ' ');
    if (rest.empty()) D_THROW(getrusage_exception, "cannot find word #12 after ')' in \"%s\"", path);
    lstr_t user = next_word(rest);
    if (user.empty()) D_THROW(getrusage_exception, "cannot find utime in \"%s\"", path);
    lstr_t system = next_word(rest);
    if (system.empty()) D_THROW(getrusage_exception, "cannot find stime in \"%s\"", path);
    // Both converted before either is added: a bad file adds nothing.
    uint32_t u = user.toul(10);
    uint32_t s = system.toul(10);
    utime += u;
    stime += s;
}

void runnable_t::parse_paging(const std::string& stat_text, const char* path, d_uint64_t& minflt, d_uint64_t& majflt) {
    TRACE_POINT;
    lstr_t rest = after_name(stat_text, path);
    rest.skip(7, ' ');
    if (rest.empty()) D_THROW(getrusage_exception, "cannot find word #8 after ')' in \"%s\"", path);
    lstr_t minor = next_word(rest);
    if (minor.empty()) D_THROW(getrusage_exception, "cannot find minflt in \"%s\"", path);
    rest.skip(1, ' ');
    if (rest.empty()) D_THROW(getrusage_exception, "cannot find word #10 after ')' in \"%s\"", path);
    lstr_t major = next_word(rest);
    if (major.empty()) D_THROW(getrusage_exception, "cannot find majflt in \"%s\"", path);
    uint32_t mi = minor.toul(10);
    uint32_t ma = major.toul(10);
    minflt += mi;
    majflt += ma;
}

void runnable_t::parse_status(const std::string& status_text, status_t& status) {
    TRACE_POINT;
    lstr_t rest(status_text);
    int recognised = 0;
    while (recognised < 3 && !rest.empty()) {
        lstr_t line = rest.split('\n', false);
        if (!line.has(':')) continue;
        lstr_t label = line.split(':', false);
        if (label == "Threads") {
            status.threads = status_value(line, false);
        } else if (label == "VmSize") {
            status.vm_size = status_value(line, true);
        } else if (label == "VmRSS") {
            status.vm_rss = status_value(line, true);
        } else {
            continue;
        }
        ++recognised;
    }
}

d_uint64_t runnable_t::jiffies_to_ticks(d_uint64_t jiffies, d_uint64_t per_second) {
    return per_second == 0 ? 0 : jiffies * 100000000ull / per_second;
}

void runnable_t::cpu_usage(d_uint64_t* user, d_uint64_t* system) {
    TRACE_POINT;
    if (!user && !system) return;
    long per_second = sysconf(_SC_CLK_TCK);
    // Zero would divide by zero below; it is as useless as the -1 of failure.
    if (per_second <= 0)
        D_THROW(getrusage_exception, "cannot determine jiffy size because of %s", get_last_error().c_str());
    d_uint64_t utime = 0;
    d_uint64_t stime = 0;
    for_each_stat_file("/proc/self/task", [&](const char* path) { get_times(path, utime, stime); });
    if (user) *user = jiffies_to_ticks(utime, static_cast<d_uint64_t>(per_second));
    if (system) *system = jiffies_to_ticks(stime, static_cast<d_uint64_t>(per_second));
}

void runnable_t::paging_usage(d_uint64_t* minor, d_uint64_t* major, d_uint64_t* other) {
    TRACE_POINT;
    if (!minor && !major && !other) return;
    d_uint64_t minflt = 0;
    d_uint64_t majflt = 0;
    std::string task_dir = format_string("/proc/%lu/task", static_cast<unsigned long>(getpid()));
    for_each_stat_file(task_dir, [&](const char* path) { get_paging(path, minflt, majflt); });
    if (minor) *minor = minflt;
    if (major) *major = majflt;
    if (other) *other = 0;
}

void runnable_t::io_usage(d_uint64_t* read, d_uint64_t* written) {
    TRACE_POINT;
    if (read) *read = 0;
    if (written) *written = 0;
}

void runnable_t::status_usage(status_t* status) {
    TRACE_POINT;
    if (!status) return;
    *status = status_t();
    struct rusage usage;
    int rc;
    do {
        rc = getrusage(RUSAGE_SELF, &usage);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) memset(&usage, 0, sizeof usage);
    status->context_switches = sum_as_32(usage.ru_nvcsw, usage.ru_nivcsw);
    status->page_faults = sum_as_32(usage.ru_minflt, usage.ru_majflt);
    reporting(
        [status] {
            std::string text;
            read_entire_file(text, "/proc/self/status");
            parse_status(text, *status);
        },
        [](const char* reason, const d_exception_t_shell_t* shell) {
            pretty_print_exception(LOG_LEVEL_ERROR, "Unable to get STATUS information because of %s", reason, shell);
        });
}

}  // namespace kern_n

unsigned long current_thread_id() {
    long tid = syscall(SYS_gettid);
    return tid != 0 ? static_cast<unsigned long>(tid) : static_cast<unsigned long>(pthread_self());
}
