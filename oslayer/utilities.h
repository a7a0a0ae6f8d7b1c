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
