// The locale and the local character set (chosen before main), conversion
// between it and UTF-8 through per-thread descriptors, and small system
// utilities: processors, host name, ids, clocks, the working directory,
// running a program, the mail-header encoding and random texts.
#include <iconv.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "loggers.h"
#include "runnable.h"
#include "utilities.h"

std::string local_charset __attribute__((init_priority(220))) = "C99";

namespace {

/// The locale must be set, and the character set known, before any other
/// unit's start-up may log or convert text.
struct locale_setup_t {
    locale_setup_t() {
        setlocale(LC_ALL, "");
        local_charset = charset_from_environment([](const char* name) { return getenv(name); });
    }
};
locale_setup_t locale_setup __attribute__((init_priority(220)));

const char* const local_to_utf8_key = "ICONV-Local-2-Utf8";
const char* const utf8_to_local_key = "ICONV-Utf8-2-Local";
const char* const utf8_name = "UTF-8";
const iconv_t no_descriptor = reinterpret_cast<iconv_t>(-1);

/// One thread's conversion descriptor for one direction; the thread's map of
/// named objects owns it.
class IconvKey : public if_root_t {
public:
    IconvKey(const char* to, const char* from) : descriptor(iconv_open(to, from)), from(from), to(to) {}
    ~IconvKey() override {
        if (descriptor != no_descriptor) iconv_close(descriptor);
    }
    IconvKey(const IconvKey&) = delete;
    IconvKey& operator=(const IconvKey&) = delete;

    iconv_t descriptor;
    const char* from;
    const char* to;
};

/// The calling thread's object under `key`, opened on first use.
IconvKey& thread_converter(const char* key, const char* to, const char* from) {
    if (auto* found = dynamic_cast<IconvKey*>(kern_n::runnable_t::get_tls_value(key))) return *found;
    std::unique_ptr<IconvKey> fresh(new IconvKey(to, from));
    kern_n::runnable_t::set_tls_value(key, fresh.get());
    return *fresh.release();
}

/// The whole of `in` through `cd` into `out`; false on any conversion failure.
bool convert_all(iconv_t cd, const std::string& in, std::string& out) {
    out.resize(in.size() * 8);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = &out[0];
    size_t dst_left = out.size();
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1)) return false;
    // Stateful targets need their closing shift sequence to be complete.
    if (iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) return false;
    out.resize(out.size() - dst_left);
    return true;
}

void convert(const char* key, const char* to, const char* from, std::string& out, const std::string& in) {
    if (in.empty()) {
        out.clear();
        return;
    }
    IconvKey& conv = thread_converter(key, to, from);
    std::string converted;
    if (conv.descriptor != no_descriptor && convert_all(conv.descriptor, in, converted))
        out.swap(converted);
    else
        out = in;
}

const char random_alphabet[] = "qwertyuiopasdfghjklzxcvbnm1234567890QWERTYUIOPASDFGHJKLZXCVBNM";
const uint32_t random_alphabet_size = sizeof(random_alphabet) - 1;

bool is_blank_text(const char* args) { return !args || !*args || strcmp(args, " ") == 0; }

/// The words of `args` split at runs of white space.
std::vector<std::string> split_words(const char* args) {
    std::vector<std::string> words;
    for (const char* p = args; p && *p;) {
        while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
        const char* start = p;
        while (*p && !isspace(static_cast<unsigned char>(*p))) ++p;
        if (p != start) words.emplace_back(start, p);
    }
    return words;
}

/// Waits for `pid` and turns its end into run_program's result.
int wait_result(pid_t pid) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == ECHILD ? 0 : -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        if (WTERMSIG(status) != SIGKILL) return -WTERMSIG(status);
        errno = ENOENT;
    }
    return -1;
}

}  // namespace

std::string charset_from_environment(const std::function<const char*(const char*)>& lookup) {
    auto usable = [&lookup](const char* name) -> const char* {
        const char* v = lookup(name);
        return v && *v && strcmp(v, "C") != 0 ? v : nullptr;
    };
    const char* chosen = nullptr;
    const char* messages = lookup("LC_MESSAGES");
    if (messages && *messages)
        chosen = usable("LC_MESSAGES");  // exactly "C" here also rules LC_ALL out
    else
        chosen = usable("LC_ALL");
    for (const char* name : {"LANG", "LC_COLLATE", "LC_CTYPE"})
        if (!chosen) chosen = usable(name);
    if (!chosen || strcmp(chosen, "POSIX") == 0) return "C99";
    const char* dot = strchr(chosen, '.');
    return dot ? dot + 1 : chosen;
}

void local_to_utf8(std::string& out, const std::string& in) {
    TRACE_POINT;
    convert(local_to_utf8_key, utf8_name, local_charset.c_str(), out, in);
}

void utf8_to_local(std::string& out, const std::string& in) {
    TRACE_POINT;
    convert(utf8_to_local_key, local_charset.c_str(), utf8_name, out, in);
}

bool is_valid_utf8(const std::string& s) {
    TRACE_POINT;
    iconv_t cd = iconv_open("UCS-2", utf8_name);
    if (cd == no_descriptor) {
        LOG_AT(LOG_LEVEL_CRIT, "Conversion from \"UTF-8\" to \"UCS-2\" is not supported");
        return false;
    }
    bool valid = true;
    if (!s.empty()) {
        std::vector<char> buffer(s.size() * 4);
        char* src = const_cast<char*>(s.data());
        size_t src_left = s.size();
        char* dst = buffer.data();
        size_t dst_left = buffer.size();
        valid = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1);
    }
    iconv_close(cd);
    return valid;
}

int cpu_count() {
    TRACE_POINT;
    long n = sysconf(_SC_NPROCESSORS_CONF);
    if (n > 0) return static_cast<int>(n);
    const char* text = getenv("VELMO_CPUs");
    if (!text) return 1;
    try {
        return static_cast<int>(string_to_num_strict(text));
    } catch (const number_format_exception_shell_t&) {
        return 1;
    }
}

void replace_spaces(char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (isspace(static_cast<unsigned char>(bytes[i]))) bytes[i] = '_';
}

std::string host_name() {
    TRACE_POINT;
    struct utsname names;
    if (uname(&names) != 0) return std::string();
    std::string name(names.nodename);
    replace_spaces(&name[0], name.size());
    return name;
}

int32_t current_process_id() { return static_cast<int32_t>(syscall(SYS_getpid)); }

bool gmtime_safe(time_t seconds, struct tm& out) { return gmtime_r(&seconds, &out) != nullptr; }

bool localtime_safe(time_t seconds, struct tm& out) { return localtime_r(&seconds, &out) != nullptr; }

void time_of_day(struct timeval& out) { gettimeofday(&out, nullptr); }

void current_directory(std::string& out) {
    TRACE_POINT;
    std::vector<char> buffer(65536);
    if (getcwd(buffer.data(), buffer.size()))
        out.assign(buffer.data());
    else
        out.assign(".");
    if (out.empty() || out.back() != '/') out.push_back('/');
}

int run_program(const char* program, const char* args, bool wait) {
    TRACE_POINT;
    if (is_blank_text(args)) args = "";
    LOG_AT(LOG_LEVEL_TRACE3, "Executing \"%s%s%s\" %ssynchronously", program, *args ? " " : "", args,
           wait ? "" : "a");
    // Everything the child needs is built before the fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<std::string> words = split_words(args);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvp(program, argv.data());
        // Never return into the parent's code (or run its exit handlers).
        _exit(-1);
    }
    if (pid < 0) return -1;
    if (!wait) return static_cast<int>(pid);
    return wait_result(pid);
}

std::string q_encode(const void* bytes, size_t count) {
    TRACE_POINT;
    std::string out = format_string("%lub ", static_cast<unsigned long>(count));
    out += "=?ASCII?Q?";
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = p[i];
        if (c == '=') {
            out += "==";
        } else if (c < 32 || c > 126) {
            out += '=';
            out += nibble_to_hex(c >> 4);
            out += nibble_to_hex(c & 0x0F);
        } else {
            out += static_cast<char>(c);
        }
    }
    out += "?=";
    return out;
}

void random_string(std::string& out, uint32_t minimum, uint32_t maximum) {
    TRACE_POINT;
    if (minimum > maximum)
        D_THROW(BUG_exception, "random_string: minimum length %u exceeds maximum length %u", minimum, maximum);
    uint32_t length = minimum == maximum ? minimum : sysrnd_next(sysrnd) % (maximum - minimum) + minimum;
    out.clear();
    out.reserve(length);
    for (uint32_t i = 0; i < length; ++i) out += random_alphabet[sysrnd_next(sysrnd) % random_alphabet_size];
}
