// Text utilities of the platform library: printf-style formatting, the last
// system error, numbers to text and back, durations, protocol field escaping
// and a few string helpers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "_kern.h"

class lstr_t;
class timegap_t;
class timestamp_t;

typedef uint32_t d_uint32_t;
typedef int64_t d_int64_t;
typedef uint64_t d_uint64_t;

// ------------------------------------------------------------ formatting

/// Replaces `out` with the formatted text; never throws.
void vformat_into(std::string& out, const char* fmt, va_list ap);
std::string vformat_string(const char* fmt, va_list ap);
std::string format_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void format_into(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/// The system's text for errno plus " (errno=N)"; errno is left unchanged.
std::string get_last_error();
void save_errno(int& saved);
void restore_errno(int saved);
int* errno_location();

// -------------------------------------------------------- numbers to text

std::string num_to_string(long double v);
std::string num_to_string(double v);
std::string num_to_string(long long v);
std::string num_to_string(unsigned long long v);
std::string num_to_string(long v);
std::string num_to_string(unsigned long v);
std::string num_to_string(int v);
std::string num_to_string(unsigned int v);
std::string num_to_string(short v);
std::string num_to_string(unsigned short v);
std::string num_to_string(signed char v);
std::string num_to_string(unsigned char v);

void num_to_string_into(std::string& out, long double v);
void num_to_string_into(std::string& out, double v);
void num_to_string_into(std::string& out, long long v);
void num_to_string_into(std::string& out, unsigned long long v);
void num_to_string_into(std::string& out, long v);
void num_to_string_into(std::string& out, unsigned long v);
void num_to_string_into(std::string& out, int v);
void num_to_string_into(std::string& out, unsigned int v);
void num_to_string_into(std::string& out, short v);
void num_to_string_into(std::string& out, unsigned short v);
void num_to_string_into(std::string& out, signed char v);
void num_to_string_into(std::string& out, unsigned char v);
/// "%08lx"
void num_to_string_hex_into(std::string& out, unsigned long v);

std::string hex64_to_string(d_uint64_t v);
std::string hex32_to_string(d_uint32_t v);
std::string pointer_to_string(const void* p);
std::string hex_dump(const void* bytes, size_t count);
/// Byte count with a unit letter: "1635B", "1K", "3G".
std::string size_to_string(d_uint64_t bytes);

// -------------------------------------------------------- text to numbers

d_uint32_t string_to_num(const std::string& s);
d_uint32_t string_to_num_strict(const std::string& s);
double string_to_double(const std::string& s);
d_int64_t string_to_int64(const std::string& s);
d_uint64_t string_to_uint64(const std::string& s);
d_uint32_t hex_string_to_num(const std::string& s);
/// A size from the environment with an optional K, M or G unit.
d_uint64_t getenv_size(const char* name, d_uint64_t def);

// -------------------------------------------------------------- durations

/// "[D-][hh:][mm:]ss.mmm"
std::string elapsed_time(const timegap_t& gap);
std::string elapsed_since(timestamp_t since);
std::string seconds_to_text(d_uint64_t seconds);
std::string time_since_text(int32_t unix_time);

// ------------------------------------------------------ string utilities

void trim_string(std::string& s);
std::string to_lower_string(const char* bytes, size_t count);
std::string to_upper_string(const char* bytes, size_t count);
size_t count_fields(const std::string& s, char sep);
size_t bounded_length(const char* text, long max);
std::string split_error_lines(const std::string& error_text);
std::string compact_to_display(const std::string& text);
const char* week_day_name(int day);
int parse_week_day(const std::string& text);
bool assign_text(const std::string& from, std::string& to);
bool assign_text(const std::wstring& from, std::wstring& to);

// ------------------------------------------------ protocol field escaping

/// Appends the one-token form of `len` bytes to `out` (not cleared first).
void escape_string(const void* data, size_t len, std::string& out);
std::string escape_string(const std::string& s);
/// Replaces `out` with the bytes a token stands for; throws quoted_format_exception_shell_t.
void dequote_string(lstr_t token, std::string& out);
char nibble_to_hex(unsigned v);
int hex_to_nibble(unsigned char c);
/// The token that stands for the empty string.
extern const lstr_t empty_token;

// ----------------------------------------------------- log text escaping

/// Appends text that came from outside (a peer, a name read from disk) to
/// `out` so that it stays within one log line and reads back unambiguously:
/// a backslash doubles; LF, CR and TAB become "\n", "\r" and "\t"; every
/// other byte below 32, DEL and every byte from 128 on become "\xNN"; and in
/// " because of " the blank after "because" becomes "\x20", since an error
/// report starts a new line at those words.
void escape_log_text(const void* data, size_t len, std::string& out);
std::string escape_log_text(const std::string& s);
/// The loggers' last line of defence: the control bytes (below 32, and DEL)
/// of a finished message but TAB become "\n", "\r" or "\xNN" in place.
/// Backslashes stay, so text escaped before comes through unchanged.
void escape_log_controls(std::string& text);

// ------------------------------------ locale, character sets, processes

#include <sys/time.h>

#include <functional>

#include "syncers.h"

/// Name of the local character set, chosen from the environment before main ("C99" when none).
extern std::string local_charset;
/// The character set the locale variables name; `lookup` answers like getenv.
std::string charset_from_environment(const std::function<const char*(const char*)>& lookup);

/// Replaces `out` with `in` converted to UTF-8; a plain copy when that is impossible.
void local_to_utf8(std::string& out, const std::string& in);
/// Replaces `out` with `in` converted to the local character set; a copy when impossible.
void utf8_to_local(std::string& out, const std::string& in);
/// True when the text is UTF-8 of characters within 16 bits.
bool is_valid_utf8(const std::string& s);

/// Configured processors; VELMO_CPUs when the system cannot tell.
int cpu_count();
/// The node name with white space replaced by '_'.
std::string host_name();
void replace_spaces(char* bytes, size_t count);
int32_t current_process_id();
/// Re-entrant break-down of Unix seconds; false when the time cannot be represented.
bool gmtime_safe(time_t seconds, struct tm& out);
bool localtime_safe(time_t seconds, struct tm& out);
void time_of_day(struct timeval& out);
/// The working directory ending in '/', or "./" when it cannot be read.
void current_directory(std::string& out);
/// Runs `program` (searched along PATH) with the blank-separated `args`.
/// Waiting: the exit status, -signal, or -1; not waiting: the child's pid.
int run_program(const char* program, const char* args, bool wait);
/// "<count>b =?ASCII?Q?<bytes>?=" with control and non-ASCII bytes as =XX.
std::string q_encode(const void* bytes, size_t count);
/// Random letters and digits; length in [minimum, maximum), or minimum when equal.
void random_string(std::string& out, uint32_t minimum, uint32_t maximum);

// ------------------------------------------------- random generator

/// ISAAC generator state (32-bit words, 256-word blocks) with the lock its draws take.
struct sysrnd_state_t {
    atomic32_t seed_counter;
    /// Results of the current block not yet handed out; they go from the top down.
    uint32_t remaining = 0;
    uint32_t results[256] = {};
    uint32_t memory[256] = {};
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
    /// Not owned; null means draws take no lock.
    if_lock_t* lock = nullptr;
};

/// Scoped exclusive hold of a lock that may be null.
class late_locker_t : public virtual noncopyable_t, public virtual if_root_t {
public:
    explicit late_locker_t(if_lock_t* lock);
    ~late_locker_t() override;

private:
    if_lock_t* held;
};

/// The process generator and the lock its draws take.
extern mutex_t sysrnd_guard;
extern sysrnd_state_t sysrnd;

/// Seeds from the clock, the thread id and the process id; `lock` guards later draws.
void sysrnd_seed(sysrnd_state_t& state, if_lock_t* lock);
uint32_t sysrnd_next(sysrnd_state_t& state);
/// ISAAC's randinit: `seed` (256 words) or, when null, the golden ratio alone.
void isaac_init(sysrnd_state_t& state, const uint32_t* seed);
/// One ISAAC generation: 256 new results.
void isaac_generate(sysrnd_state_t& state);
/// TEMP, else TMP (even when empty), else the first existing of /var/tmp, /tmp, /usr/tmp, else "".
const char* temp_directory();
