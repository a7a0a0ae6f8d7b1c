// The description of the platform the process runs on, the report of it that
// the program logs at start, and the library's process-wide start-up, which
// builds every static object of the library in one fixed order before main.
#pragma once

#include <sys/sysinfo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "_kern.h"
#include "syncers.h"

/// The operating system: a packed code and the texts reported by uname.
struct platform_t {
    /// Family in bits 24-30, system in 16-23, version in 8-15, edition in 0-7; bit 31 is ignored.
    uint32_t code;
    /// "system release machine (version without its first character)".
    char description[256];
    /// "lnx-" and the machine name.
    char tag[128];
    char system[64];
    /// "i386" until uname has been read.
    char machine[32];

    /// The process's own platform, filled by the library start-up.
    static platform_t base;

    /// Fills `p` from uname(2); texts are cut to their fields.
    static void init(platform_t& p);
    /// Appends the operating-system name of `code` to `out`.
    static void os_name(std::string& out, uint32_t code);
};

/// Major, minor and patch of the GNU libc the process runs with.
extern uint8_t glibc_version[3];
/// True for GNU libc 2.4 to 2.11.
extern bool glibc_compatible;
/// "" or the VMware guest text, which ends in a blank.
extern const char* virtual_vm;
extern mutex_t uuid_guard;
extern std::string library_banner;

const char* get_library_banner();

/// Splits a GNU libc version text such as "2.11.3" into `version` (unused
/// parts 0) and answers whether it is a compatible one. A part that is not a
/// decimal number of at most 255 makes the text incompatible.
bool glibc_version_from_text(const char* text, uint8_t version[3]);

/// The text for the exit status of the VM probe child (0 to 255).
const char* virtual_vm_text(unsigned status);
/// Runs the VMware backdoor probe in a child process; "" outside VMware.
const char* detect_virtual_vm();

/// The arguments joined by blanks; one with a blank, a control byte or a
/// byte above 0x7E is put between double quotes.
void command_line_text(int argc, const char* const* argv, std::string& out);
/// The five "[Linux] " statistics texts for `info`.
std::vector<std::string> system_stats_texts(const struct sysinfo& info);

/// Logs the platform report: machine, system, libc, account, statistics, command line.
void print_system_info(const platform_t& platform, int argc, const char* const* argv);
/// Logs the five system-statistics lines; nothing when sysinfo fails.
void print_system_stats();

/// Installs the default root logger and its report hooks; at exit deletes
/// whatever root logger is installed then.
class logger_init_t {
public:
    logger_init_t();
    ~logger_init_t();
    logger_init_t(const logger_init_t&) = delete;
    logger_init_t& operator=(const logger_init_t&) = delete;

private:
    exception_printer_t saved_printer;
};
