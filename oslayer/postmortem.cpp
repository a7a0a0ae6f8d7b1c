// The fatal-signal report. It runs inside a signal handler, possibly in a
// thread that broke inside malloc or stdio, so it allocates nothing, takes no
// lock and writes with write(2) from stack buffers. Only the first report in
// the process prints; later faults in any thread return at once.
#include "postmortem.h"

#include <sys/ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The guard is built by the library start-up (platform.cpp).
bool post_morten_dump_flag = false;

namespace {

/// SIGABRT comes twice: it is set once more last.
const int fatal_signals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV,
                             SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGPWR, SIGSYS, SIGABRT};

/// Size of the buffers that formatted names and texts are written into.
const size_t text_size = 80;

/// The texts of the codes 1..8 of a fault signal, and the format for any other code.
struct fault_texts_t {
    int signo;
    const char* other;
    const char* codes[8];
};

const fault_texts_t fault_texts[] = {
    {SIGILL, "Unknown SIGILL #%d",
     {"Illegal opcode", "Illegal operand", "Illegal addressing mode", "Illegal trap", "Privileged opcode",
      "Privileged register", "Co-processor", "Bad stack"}},
    {SIGTRAP, "Unknown trap #%d", {"Breakpoint trap", "Trace trap"}},
    {SIGBUS, "Unknown SIGBUS #%d",
     {"Invalid address alignment", "Non-existent physical address", "Object specific hardware error"}},
    {SIGFPE, "Unknown SIGFPE #%d",
     {"Integer divide by zero", "Integer overflow", "Floating point divide by zero", "Floating point overflow",
      "Floating point underflow", "Floating point inexact result", "Invalid floating point operation",
      "Subscript out of range"}},
    {SIGSEGV, "Unknown SIGSEGV #%d", {"Address not mapped to object", "Invalid permissions"}},
};

/// Writes all of text to standard error; a failed write is dropped.
void put(const char* text, size_t len) {
    while (len > 0) {
        ssize_t n = write(STDERR_FILENO, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

/// One formatted line to standard error. Not through stdio: the fault may
/// have happened while this thread held the stream's lock.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    put(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

/// The untranslated system name: strsignal may load a message catalogue,
/// which allocates, and the fault may have happened inside the allocator.
const char* safe_signal_name(int signo, char* buf) {
    const char* name = sigdescr_np(signo);
    if (name) return name;
    snprintf(buf, text_size, "SIG#%u", static_cast<unsigned>(signo));
    return buf;
}

/// Who raised the signal, from the code of its information.
const char* origin_text(int code, char* buf) {
    switch (code) {
        case SI_USER: return "kill()";
        case SI_QUEUE: return "sigqueue()";
        case SI_TIMER: return "timer";
        case SI_MESGQ: return "msg arrived";
        case SI_ASYNCIO: return "async I/O";
        case SI_SIGIO: return "queued SIGIO";
        case SI_ASYNCNL: return "asynch name lookup";
        case SI_KERNEL: return "kernel";
        default: break;
    }
    snprintf(buf, text_size, "%s #%d", code < 0 ? "kernel" : "unknown", code);
    return buf;
}

/// The texts of a fault signal, or null for a signal that is not a fault.
const fault_texts_t* fault_of(int signo) {
    for (const fault_texts_t& f : fault_texts)
        if (f.signo == signo) return &f;
    return nullptr;
}

const char* fault_text(const fault_texts_t& f, int code, char* buf) {
    if (code >= 1 && code <= 8 && f.codes[code - 1]) return f.codes[code - 1];
    snprintf(buf, text_size, f.other, code);
    return buf;
}

/// The lines taken from the signal information: name, origin, sender, fault.
void say_signal(int signo, const siginfo_t& info) {
    char name[text_size], origin[text_size], fault[text_size];
    say("Fatal error \"%s\"\n", safe_signal_name(info.si_signo, name));
    say("Signo=%d Errno=%d Code=%d from %s\n", info.si_signo, info.si_errno, info.si_code,
        origin_text(info.si_code, origin));
    // For a fault this word is (the low half of) the faulting address.
    if (info.si_pid != 0) {
        unsigned long pid = static_cast<uint32_t>(info.si_pid);
        unsigned long value = static_cast<uint32_t>(info.si_value.sival_int);
        say("Signal from PID %lu UID %lu, value %08lx:%lu\n", pid, static_cast<unsigned long>(info.si_uid), value,
            value);
    }
    if (const fault_texts_t* f = fault_of(signo))
        say("\"%s\" ocurred at address %08lx\n", fault_text(*f, info.si_code, fault),
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info.si_addr)));
    else
        say("No more information about unknown signal #%lu\n", static_cast<unsigned long>(signo));
}

/// The x86-64 register state of the interrupted code, seven lines.
void say_registers(const ucontext_t& uc) {
    const greg_t* r = uc.uc_mcontext.gregs;
    auto g = [r](int i) { return static_cast<unsigned long>(r[i]); };
    say(" Flags=%016lx   Link=%016lx  CR2=%016lx OMsk=%016lx\n", uc.uc_flags,
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(uc.uc_link)), g(REG_CR2), g(REG_OLDMASK));
    say("   RAX=%016lx    RBX=%016lx  RCX=%016lx  RDX=%016lx\n", g(REG_RAX), g(REG_RBX), g(REG_RCX), g(REG_RDX));
    say("   RDI=%016lx    RSI=%016lx  RBP=%016lx  RSP=%016lx\n", g(REG_RDI), g(REG_RSI), g(REG_RBP), g(REG_RSP));
    say("    R8=%016lx     R9=%016lx  R10=%016lx  R11=%016lx\n", g(REG_R8), g(REG_R9), g(REG_R10), g(REG_R11));
    say("   R12=%016lx    R13=%016lx  R14=%016lx  R15=%016lx\n", g(REG_R12), g(REG_R13), g(REG_R14), g(REG_R15));
    say("  TRAP=%016lx    ERR=%016lx  EFL=%016lx CSGSFS=%016lx\n", g(REG_TRAPNO), g(REG_ERR), g(REG_EFL),
        g(REG_CSGSFS));
    // The code segment is the low 16 bits of the packed CS/GS/FS word.
    say("CS:RIP=%04lx:%016lx\n", g(REG_CSGSFS) & 0xFFFFu, g(REG_RIP));
}

}  // namespace

void install_fatal_signal_handlers() {
    TRACE_POINT;
    set_fatal_signal_action(fatal_signal_report, SA_SIGINFO);
}

// Runs inside the handler too: no trace point, nothing but system calls.
void set_fatal_signal_action(fatal_signal_handler_t handler, int flags) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    if (handler)
        action.sa_sigaction = handler;
    else
        action.sa_handler = SIG_DFL;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    for (int signo : fatal_signals) sigaction(signo, &action, nullptr);
}

void fatal_signal_report(int signo, siginfo_t* info, void* context) {
    // A lock here could be held by this very thread when it faulted; an
    // atomic claim lets exactly one caller through and never blocks.
    if (__atomic_exchange_n(&post_morten_dump_flag, true, __ATOMIC_ACQ_REL)) return;
    if (info) {
        say_signal(signo, *info);
    } else {
        char name[text_size];
        say("Fatal error \"%s\" - zero siginfo_t*\n", safe_signal_name(signo, name));
    }
    if (context) say_registers(*static_cast<const ucontext_t*>(context));
    set_fatal_signal_action(nullptr, 0);
    // A faulting instruction raises its signal again when it is resumed, but
    // a signal that was sent (kill, abort, tgkill) would not: raise it on this
    // thread so that the process ends by it either way. It stays pending
    // until the handler returns, as every signal is blocked meanwhile.
    tgkill(getpid(), gettid(), signo);
}

const char* signal_name(int signo) {
    TRACE_POINT;
    const char* name = strsignal(signo);
    if (name) return name;
    static char unnamed[text_size];
    snprintf(unnamed, sizeof unnamed, "SIG#%u", static_cast<unsigned>(signo));
    return unnamed;
}
