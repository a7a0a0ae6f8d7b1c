// The platform description and report, the VMware probe, and the library's
// start-up: the static objects of the library defined below in the order in
// which they must come to life, all in one initialiser of this unit that runs
// ahead of every other static initialiser of the program.
#include "platform.h"

#include <gnu/libc-version.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>

#include "accounts.h"
#include "amtypes.h"
#include "common-utils.h"
#include "loggers.h"
#include "postmortem.h"
#include "runnable.h"
#include "utilities.h"

#ifndef VELMO_RELEASE_TAG
#define VELMO_RELEASE_TAG "1.0"
#endif
#ifndef VELMO_BUILD_NUMBER
#define VELMO_BUILD_NUMBER "0"
#endif

namespace {

/// Copies `text` into a field of `size` bytes, cut to fit and zero-ended.
void copy_cut(char* field, size_t size, const std::string& text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

/// An unsigned decimal of at most 255; false for anything else.
bool byte_number(lstr_t part, uint8_t& out) {
    unsigned value = 0;
    for (size_t i = 0; i < part.length; ++i) {
        char c = part.ptr[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) return false;
    }
    out = static_cast<uint8_t>(value);
    return true;
}

const char* windows_line(uint32_t code) {
    switch ((code >> 16) & 0x0F) {
        case 1: return "Windows CE";
        case 2: return "Windows 9x";
        case 3: return "Windows NT";
        default: return "Windows";
    }
}

const char* processor_suffix(uint32_t code) {
    switch (code & 0x7FFF0000u) {
        case 0x02230000u: return " x64";
        case 0x02130000u: return " IA64";
        default: return " x86";
    }
}

const char* posix_name(uint32_t code) {
    switch (code & 0x7FFF0000u) {
        case 0x01000000u: return "Posix/unknown";
        case 0x01010000u: return "Linux";
        case 0x01020000u: return "SunOS";
        case 0x01030000u: return "HP-UX";
        case 0x01040000u: return "AIX";
        case 0x01050000u: return "Android";
        case 0x01800000u: return "FreeBSD";
        case 0x01810000u: return "NetBSD";
        case 0x01820000u: return "OpenBSD";
        case 0x01830000u: return "Darwin";
        case 0x02000000u: return "Windows/unknown";
        default: return nullptr;
    }
}

void vm_probe_fault(int) { _exit(0); }

/// The child's side of the probe: the VMware backdoor "get version" call.
/// Outside VMware the port access faults and the handler ends the child.
[[noreturn]] void vm_probe_child() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = vm_probe_fault;
    for (int signo : {SIGBUS, SIGSEGV, SIGILL}) sigaction(signo, &action, nullptr);
#if defined(__x86_64__) || defined(__i386__)
    uint32_t eax = 0x564D5868u, ebx = 0, ecx = 10, edx = 0x5658;
    __asm__ __volatile__("inl %%dx, %%eax" : "+a"(eax), "+b"(ebx), "+c"(ecx), "+d"(edx) : : "memory");
    _exit(ebx == 0x564D5868u ? static_cast<int>(eax & 0xFF) : 0);
#else
    _exit(0);
#endif
}

// Every line of the report goes through the root logger's level shortcut,
// under the log lock and only when the root logger takes the level.
#define REPORT_LINE(lvl, shortcut, ...)                                   \
    do {                                                                  \
        xlocker_t report_guard_(if_logger_t::LogMutex);                   \
        if (if_logger_t::Log && if_logger_t::Log->is_enabled(lvl))        \
            if_logger_t::Log->shortcut(__VA_ARGS__);                      \
    } while (0)

/// Whole MiB of `count` units of `unit` bytes, in 64 bits.
unsigned long long mib(unsigned long count, unsigned unit) {
    return (static_cast<unsigned long long>(count) * unit) >> 20;
}

}  // namespace

// ---------------------------------------------------------- platform_t

void platform_t::init(platform_t& p) {
    TRACE_POINT;
    p.code = 0x01010000u;
    struct utsname names;
    if (uname(&names) != 0) return;
    // The version normally starts with '#'; the first byte goes whatever it is.
    const char* version = names.version[0] ? names.version + 1 : names.version;
    copy_cut(p.tag, sizeof p.tag, std::string("lnx-") + names.machine);
    copy_cut(p.description, sizeof p.description,
             format_string("%s %s %s (%s)", names.sysname, names.release, names.machine, version));
    copy_cut(p.system, sizeof p.system, names.sysname);
    copy_cut(p.machine, sizeof p.machine, names.machine);
}

void platform_t::os_name(std::string& out, uint32_t code) {
    uint32_t family = code & 0x7F000000u;
    if (family == 0) {
        out += "unknown";
    } else if (family == 0x03000000u) {
        out += "Netware";
    } else if (const char* name = posix_name(code)) {
        out += name;
    } else if (family == 0x02000000u) {
        out += windows_line(code);
        out += format_string(" %u.%u", (code >> 12) & 0x0F, (code >> 8) & 0x0F);
        if ((code & 0x000F0000u) == 0x00030000u && (code & 0xFF) != 0) out += format_string(" edition %u", code & 0xFF);
        out += processor_suffix(code);
    } else {
        out += processor_suffix(code);
    }
}

// ------------------------------------------------------ libc and probe

bool glibc_version_from_text(const char* text, uint8_t version[3]) {
    version[0] = version[1] = version[2] = 0;
    lstr_t rest(text);
    lstr_t major = rest.split('.', false);
    if (major.empty() || !byte_number(major, version[0])) return false;
    lstr_t minor = rest.split('.', false);
    if (minor.empty() || !byte_number(minor, version[1])) return false;
    lstr_t patch = rest.split('.', false);
    if (patch.empty()) patch = rest;
    if (!patch.empty() && !byte_number(patch, version[2])) return false;
    return version[0] == 2 && version[1] >= 4 && version[1] <= 11;
}

const char* virtual_vm_text(unsigned status) {
    switch (status) {
        case 0: return "";
        case 1: return "VmWare/Express guest ";
        case 2: return "VmWare/ESX guest ";
        case 3: return "VmWare/GSX guest ";
        case 4: return "VmWare/WS guest ";
        case 6: return "VmWare/WS6 guest ";
        default: break;
    }
    static char other[32];
    snprintf(other, sizeof other, "VmWare/%u guest ", status);
    return other;
}

const char* detect_virtual_vm() {
    if (getenv("VELMO_NOVMDETECT")) return "";
    pid_t child = fork();
    if (child < 0) return "";
    if (child == 0) vm_probe_child();
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status)) return "";
    return virtual_vm_text(static_cast<unsigned>(WEXITSTATUS(status)));
}

// -------------------------------------------------------------- report

void command_line_text(int argc, const char* const* argv, std::string& out) {
    for (int i = 0; i < argc && argv; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        if (!out.empty()) out += ' ';
        bool plain = true;
        for (const char* c = arg; *c && plain; ++c)
            plain = static_cast<unsigned char>(*c) >= 0x21 && static_cast<unsigned char>(*c) <= 0x7E;
        if (plain) {
            out += arg;
        } else {
            out += '"';
            out += arg;
            out += '"';
        }
    }
}

std::vector<std::string> system_stats_texts(const struct sysinfo& info) {
    std::vector<std::string> texts;
    std::string uptime;
    format_uptime(timegap_t(static_cast<int64_t>(info.uptime) * ticks_per_second), uptime);
    texts.push_back("[Linux] System uptime is " + uptime);
    unsigned long whole[3], hundredths[3];
    for (int i = 0; i < 3; ++i) {
        whole[i] = info.loads[i] >> 16;
        hundredths[i] = ((info.loads[i] & 0xFFFF) * 100) >> 16;
    }
    texts.push_back(format_string("[Linux] Now there are %u processes, load average: %lu.%02lu %lu.%02lu %lu.%02lu",
                                  static_cast<unsigned>(info.procs), whole[0], hundredths[0], whole[1],
                                  hundredths[1], whole[2], hundredths[2]));
    unsigned unit = info.mem_unit;
    texts.push_back(format_string("[Linux] Low memory: %lluMB total, %lluMB available, %lluMB shared, %lluMB buffers",
                                  mib(info.totalram, unit), mib(info.freeram, unit), mib(info.sharedram, unit),
                                  mib(info.bufferram, unit)));
    texts.push_back(format_string("[Linux] High memory: %lluMB total, %lluMB available", mib(info.totalhigh, unit),
                                  mib(info.freehigh, unit)));
    texts.push_back(format_string("[Linux] Swap: %lluMB total, %lluMB available", mib(info.totalswap, unit),
                                  mib(info.freeswap, unit)));
    return texts;
}

void print_system_stats() {
    TRACE_POINT;
    struct sysinfo info;
    if (sysinfo(&info) != 0) return;
    for (const std::string& text : system_stats_texts(info)) REPORT_LINE(LOG_LEVEL_NOTICE, notice, "%s", text.c_str());
}

void print_system_info(const platform_t& platform, int argc, const char* const* argv) {
    TRACE_POINT;
    std::string text;
    account_name(geteuid(), getegid(), text);
    std::string host = host_name();
    REPORT_LINE(LOG_LEVEL_NOTICE, notice, "Running at %s\"%s\" computer under \"%s\" operating system", virtual_vm,
                host.c_str(), platform.description);
    REPORT_LINE(LOG_LEVEL_DEBUG3, debug3, "Found %scompatible GNU libc %u.%u.%u", glibc_compatible ? "" : "in",
                glibc_version[0], glibc_version[1], glibc_version[2]);
    REPORT_LINE(LOG_LEVEL_NOTICE, notice, "Running under \"%s\" account", text.c_str());
    print_system_stats();
    text.clear();
    command_line_text(argc, argv, text);
    REPORT_LINE(LOG_LEVEL_NOTICE, notice, "Using command line: %s", text.c_str());
}

const char* get_library_banner() { return library_banner.c_str(); }

// ---------------------------------------------------------- root logger

namespace {

// Frames that ask for it log their entry and exit through the root logger.
void log_frame(const char* what, const callstack_t& frame) {
    LOG_AT(LOG_LEVEL_TRACE3, "%s %s:%d %s", what, frame.file ? frame.file : "UNKNOWN", frame.line,
           frame.function ? frame.function : "UNNAMED");
}

}  // namespace

logger_init_t::logger_init_t() : saved_printer(default_exception_printer) {
    if_logger_t::Log = new fd_logger_t(2);
    if_logger_t::Log->set_level(LOG_LEVEL_INFO);
    default_exception_printer = default_print_exception;
    callstack_t::log_hook = log_frame;
}

logger_init_t::~logger_init_t() {
    callstack_t::log_hook = nullptr;
    default_exception_printer = saved_printer;
    xlocker_t guard(if_logger_t::LogMutex);
    // Whatever the program installed last is deleted, not the logger made here.
    try {
        delete if_logger_t::Log;
    } catch (...) {
    }
    if_logger_t::Log = nullptr;
}

// -------------------------------------------------------------- start-up
//
// Every definition below runs in this unit's one initialiser, top to bottom,
// and each object's destructor is registered right after the object is built,
// so exit tears them down bottom to top. The priority puts the whole
// sequence ahead of every ordinary static initialiser (the locale set-up and
// the program's own globals log and lock through what is built here) and
// its teardown after their destructors. The giant lock and the atomic tables
// are constant-initialised and never destroyed: atomics work at any time.

#define D_STARTUP __attribute__((init_priority(101)))

namespace {

/// Atomics, readers-writer preference and the GNU libc version.
struct early_steps_t {
    early_steps_t() {
        init_atomics(false);
        // Presence alone counts, the empty value too; it selects writer preference.
        rwlock_t::write_prefered = getenv("VELMO_RWLOCK_READPREFERED") != nullptr;
        glibc_compatible = glibc_version_from_text(gnu_get_libc_version(), glibc_version);
    }
};

/// The thread registry's signal set, keys, counters and guard.
struct thread_registry_step_t {
    thread_registry_step_t() { kern_n::runnable_t::init_statics(); }
    ~thread_registry_step_t() { kern_n::runnable_t::destroy_statics(); }
};

/// The platform description and the VM probe.
struct platform_step_t {
    platform_step_t() {
        platform_t::init(platform_t::base);
        virtual_vm = detect_virtual_vm();
    }
};

/// Seeds the process generator and reads the time zone for local-time
/// conversions; at exit draws stop using the guard, which goes right after.
struct sysrnd_step_t {
    sysrnd_step_t() {
        sysrnd_seed(sysrnd, &sysrnd_guard);
        tzset();
    }
    ~sysrnd_step_t() { sysrnd.lock = nullptr; }
};

}  // namespace

bool rwlock_t::write_prefered = false;
uint8_t glibc_version[3] = {0, 0, 0};
bool glibc_compatible = false;
const char* virtual_vm = "";
platform_t platform_t::base = {0, "", "", "", "i386"};

static early_steps_t early_steps D_STARTUP;
// The list comes before the step whose teardown empties it.
std::list<kern_n::runnable_t*> kern_n::runnable_t::runnables D_STARTUP;
static thread_registry_step_t thread_registry_step D_STARTUP;
log_mutex_t if_logger_t::LogMutex D_STARTUP;
static logger_init_t logger_init D_STARTUP;
mutex_t unxs_n::unx_sec_user_guard D_STARTUP;
std::string unxs_n::unx_sec_user D_STARTUP;
mutex_t unxs_n::unx_sec_group_guard D_STARTUP;
std::string unxs_n::unx_sec_group D_STARTUP;
mutex_t uuid_guard D_STARTUP;
static platform_step_t platform_step D_STARTUP;
mutex_t sysrnd_guard D_STARTUP;
sysrnd_state_t sysrnd D_STARTUP;
static sysrnd_step_t sysrnd_step D_STARTUP;
mutex_t post_morten_dump_flag_guard D_STARTUP;
std::string library_banner D_STARTUP =
    "velmod-proxy platform library, release " VELMO_RELEASE_TAG ", build " VELMO_BUILD_NUMBER;
