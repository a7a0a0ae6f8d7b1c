// The logger interface, the level scale, the line prefix and the chain (the
// descriptor logger is in loggers-fd.cpp). The root logger and its
// lock are built by the library start-up (platform.cpp).
#include "loggers.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "runnable.h"
#include "utilities.h"

namespace {

const char* const level_names[] = {"CRIT",   "ERROR",  "WARNING", "NOTICE", "INFO",   "TRACE",  "TRACE1",
                                   "TRACE2", "TRACE3", "DEBUG",   "DEBUG1", "DEBUG2", "DEBUG3"};
const char* const level_codes[] = {"FTL", "ERR", "wrn", "ntc", "inf", "tr0", "tr1",
                                   "tr2", "tr3", "db0", "db1", "db2", "db3"};

bool is_table_level(int level) { return level >= LOG_LEVEL_CRIT && level <= LOG_LEVEL_DEBUG3; }

}  // namespace

std::string one_line(std::string message) {
    // A message is one line whatever its arguments hold: a line feed in a
    // peer's text must not start a line that looks like the daemon's own.
    escape_log_controls(message);
    return message;
}

if_logger_t* if_logger_t::Log = nullptr;

// ------------------------------------------------------------------ levels

const char* level_name(int level) { return is_table_level(level) ? level_names[level] : "ALL"; }

bool level_from_name(const char* name, int& level) {
    if (!name) return false;
    if (strcasecmp(name, "ALL") == 0) {
        level = LOG_LEVEL_DEBUG3;
        return true;
    }
    for (int i = LOG_LEVEL_CRIT; i <= LOG_LEVEL_DEBUG3; ++i) {
        if (strcasecmp(name, level_names[i]) == 0) {
            level = i;
            return true;
        }
    }
    return false;
}

// -------------------------------------------------------------- if_logger_t

if_logger_t::~if_logger_t() = default;

const char* if_logger_t::level_code(int l) const { return is_table_level(l) ? level_codes[l] : "db3"; }

void if_logger_t::vprint(int l, const char* fmt, va_list ap) {
    if (!is_enabled(l)) return;
    std::string line;
    format_line(l, line, fmt, ap);
    write(line.c_str());
}

void if_logger_t::format_line(int l, std::string& out, const char* fmt, va_list ap) {
    format_prefix(l, out);
    out += one_line(vformat_string(fmt, ap));
}

void if_logger_t::format_prefix(int l, std::string& out) {
    timestamp_t now = timestamp_t::now();
    time_t unix_now = static_cast<time_t>((now.ticks - epoch_ticks) / ticks_per_second);
    timestamp_t local = now - utc_offset(unix_now);
    calendar_date_t d = split_date(local);
    time_of_day_t t = split_time(local.ticks);
    char tid[24];
    snprintf(tid, sizeof tid, "%5lu", current_thread_id());
    const char* name = kern_n::runnable_t::self_name();
    if (!name) name = kern_n::runnable_t::unknown_name;
    char buf[160];
    const char* fmt = "%04d%02d%02d.%02d%02d%02d.%02d %3s [%5lu %s] %-6s ";
    unsigned long pid = static_cast<unsigned long>(getpid());
    int n = snprintf(buf, sizeof buf, fmt, d.year, d.month, d.day, t.hours, t.minutes, t.seconds,
                     t.milliseconds / 10, level_code(l), pid, tid, name);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf)
        out.append(buf, static_cast<size_t>(n));
    else  // a long thread name
        out += format_string(fmt, d.year, d.month, d.day, t.hours, t.minutes, t.seconds, t.milliseconds / 10,
                             level_code(l), pid, tid, name);
}

// The shortcuts format nothing themselves: vprint applies the level.
#define D_LOGGER_SHORTCUT(fn, lvl)         \
    void if_logger_t::fn(const char* fmt, ...) { \
        va_list ap;                        \
        va_start(ap, fmt);                 \
        vprint((lvl), fmt, ap);            \
        va_end(ap);                        \
    }

D_LOGGER_SHORTCUT(crit, LOG_LEVEL_CRIT)
D_LOGGER_SHORTCUT(error, LOG_LEVEL_ERROR)
D_LOGGER_SHORTCUT(warning, LOG_LEVEL_WARNING)
D_LOGGER_SHORTCUT(notice, LOG_LEVEL_NOTICE)
D_LOGGER_SHORTCUT(info, LOG_LEVEL_INFO)
D_LOGGER_SHORTCUT(trace, LOG_LEVEL_TRACE)
D_LOGGER_SHORTCUT(trace3, LOG_LEVEL_TRACE3)
D_LOGGER_SHORTCUT(debug, LOG_LEVEL_DEBUG)
D_LOGGER_SHORTCUT(debug3, LOG_LEVEL_DEBUG3)
#undef D_LOGGER_SHORTCUT

void if_logger_t::print(int l, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint(l, fmt, ap);
    va_end(ap);
}

// ----------------------------------------------------------- chain_logger_t

chain_logger_t::chain_logger_t(if_logger_t* f, if_logger_t* s) : first(f), second(s == f ? nullptr : s) {}

chain_logger_t::~chain_logger_t() {
    delete first;
    delete second;
}

void chain_logger_t::vprint(int l, const char* fmt, va_list ap) {
    // Each child applies its own level; the chain's level is not consulted.
    if (first) {
        va_list copy;
        va_copy(copy, ap);
        first->vprint(l, fmt, copy);
        va_end(copy);
    }
    if (second) {
        va_list copy;
        va_copy(copy, ap);
        second->vprint(l, fmt, copy);
        va_end(copy);
    }
}

void chain_logger_t::set_level(int l) {
    level = l;
    if (first) first->set_level(l);
    if (second) second->set_level(l);
}

bool chain_logger_t::is_enabled(int l) const {
    return (first && first->is_enabled(l)) || (second && second->is_enabled(l));
}

void chain_logger_t::write(const char*) {
    TRACE_POINT;
    D_THROW(BUG_exception, "chain_logger_t::write( const char* ) called");
}

namespace {

bool logs_to_stderr(const if_logger_t* l) {
    if (const fd_logger_t* f = dynamic_cast<const fd_logger_t*>(l)) return f->fd == 2;
    if (const chain_logger_t* c = dynamic_cast<const chain_logger_t*>(l)) return c->has_stderr_again();
    return false;
}

const char* class_of(const if_logger_t* l) { return l ? rtti_class_name(typeid(*l)) : "null"; }

}  // namespace

bool chain_logger_t::has_stderr_again() const { return logs_to_stderr(first) || logs_to_stderr(second); }

void chain_logger_t::add(if_logger_t* logger) {
    TRACE_POINT;
    xlocker_t guard(if_logger_t::LogMutex);
    if_logger_t::Log = new chain_logger_t(logger, if_logger_t::Log);
}

void chain_logger_t::remove(if_logger_t* logger) {
    TRACE_POINT;
    if (!logger) return;
    xlocker_t guard(if_logger_t::LogMutex);
    if_logger_t* root = if_logger_t::Log;
    if (!root) D_THROW(BUG_exception, "zero logger");
    chain_logger_t* node = dynamic_cast<chain_logger_t*>(root);
    if (!node) D_THROW(BUG_exception, "bad root: %s", class_of(root));
    chain_logger_t* previous = nullptr;
    while (node->first != logger) {
        if (!node->second) D_THROW(BUG_exception, "zero chain");
        chain_logger_t* next = dynamic_cast<chain_logger_t*>(node->second);
        if (!next) D_THROW(BUG_exception, "bad chain: %s", class_of(node->second));
        previous = node;
        node = next;
    }
    if (!previous) {
        if (!node->second) D_THROW(BUG_exception, "zero new root");
        if_logger_t::Log = node->second;
    } else {
        previous->second = node->second;
    }
    // Unlinked first, so that deleting the node deletes neither child.
    node->first = nullptr;
    node->second = nullptr;
    delete node;
}

void chain_logger_t::collect_info(std::string& out) {
    TRACE_POINT;
    xlocker_t guard(if_logger_t::LogMutex);
    out.clear();
    if_logger_t* root = if_logger_t::Log;
    if (!root) {
        out = "zero logger";
        return;
    }
    const chain_logger_t* node = dynamic_cast<const chain_logger_t*>(root);
    if (!node) {
        out = "root is not chain: ";
        out += class_of(root);
        return;
    }
    for (; node; node = dynamic_cast<const chain_logger_t*>(node->second)) {
        if (!out.empty()) out += "; ";
        out += class_of(node);
        out += "( ";
        out += class_of(node->first);
        out += ", ";
        out += class_of(node->second);
        out += " )";
    }
}

// ------------------------------------------------------------ error reports

namespace {

const char because_of[] = " because of ";
const size_t because_of_len = sizeof because_of - 1;

std::string report_text(const char* fmt, const char* arg, const d_exception_t_shell_t* shell) {
    if (fmt && arg) return format_string(fmt, arg);
    if (fmt) return fmt;
    if (shell) return format_string("General error \"%s\" detected", shell->what());
    return "BUG! pretty_print_exception() without any message";
}

// One line per piece, the pieces after the first indented; a piece keeps the
// joining words only when more follows.
std::vector<std::string> report_pieces(const std::string& text) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    for (const char* indent = "";; indent = "  ") {
        size_t found = text.find(because_of, pos);
        bool last = found == std::string::npos || found + because_of_len == text.size();
        size_t end = found == std::string::npos ? text.size() : found;
        pieces.push_back(indent + text.substr(pos, end - pos) + (last ? "" : because_of));
        if (last) return pieces;
        pos = found + because_of_len;
    }
}

void log_pieces(int level, const std::string& text) {
    for (const std::string& piece : report_pieces(text)) if_logger_t::Log->print(level, "%s", piece.c_str());
}

}  // namespace

std::string report_lines(const std::string& text) {
    std::string lines;
    for (const std::string& piece : report_pieces(text)) lines += one_line(piece) + "\n";
    return lines;
}

void pretty_print_exception(int level, const char* fmt, const char* arg, const d_exception_t_shell_t* shell) {
    // No trace point here: the catch point printed below is the caller's.
    if (!fmt) {
        fmt = arg;
        arg = nullptr;
    }
    {
        xlocker_t guard(if_logger_t::LogMutex);
        if (!if_logger_t::Log || !if_logger_t::Log->is_enabled(level)) return;
        log_pieces(level, report_text(fmt, arg, shell));
    }
    if (!_d_exception_t::backtrace_enabled) return;
    if (shell)
        print_exception_chain(shell->record(), LOG_LEVEL_INFO, default_print_exception, 0);
    else
        print_catch_point(LOG_LEVEL_INFO, default_print_exception, 0);
}

void default_print_exception(void* cookie, const char* text, const char* file, int line) {
    int level = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    if (!text) text = "";
    xlocker_t guard(if_logger_t::LogMutex);
    if (!if_logger_t::Log || !if_logger_t::Log->is_enabled(level)) return;
    if (line == 0 && !file)
        if_logger_t::Log->print(level, "%s", text);
    else
        if_logger_t::Log->print(level, "%s @ %s:%d", text, file ? file : "UNKNOWN", line);
}

// ------------------------------------------------------------------ set-up

namespace {

// The file logger at `level`, or null (reported) when the file cannot be used.
if_logger_t* open_file_logger(const char* file_name, const char* rotation, int level) {
    file_logger_t* file = new file_logger_t();
    if (file->set_rotation(file_name, rotation ? rotation : "")) {
        file->set_level(level);
        return file;
    }
    delete file;
    LOG_AT(LOG_LEVEL_WARNING, "Using stderr instead of \"%s\"", file_name);
    return nullptr;
}

if_logger_t* with_extra(if_logger_t* logger, if_logger_t* extra) {
    return extra ? new chain_logger_t(logger, extra) : logger;
}

}  // namespace

bool init_logger(const char* name, const char* file_name, const char* rotation, if_logger_t* extra) {
    TRACE_POINT;
    int level = LOG_LEVEL_INFO;
    if (!level_from_name(name, level)) {
        LOG_AT(LOG_LEVEL_ERROR, "Illegal loglevel -- %s", name ? name : "");
        return false;
    }
    if_logger_t* file = nullptr;
    if (file_name && strcmp(file_name, "-") != 0) file = open_file_logger(file_name, rotation, level);
    xlocker_t guard(if_logger_t::LogMutex);
    if_logger_t* previous = if_logger_t::Log;
    if (file) {
        if_logger_t::Log = with_extra(file, extra);
    } else if (!logs_to_stderr(previous)) {
        fd_logger_t* console = new fd_logger_t(2);
        console->set_level(level);
        if_logger_t::Log = with_extra(console, extra);
    } else {
        // The console logger stays; it still takes the requested level and
        // the extra logger, which would otherwise be ignored and leaked.
        previous->set_level(level);
        if (extra && extra != previous) if_logger_t::Log = new chain_logger_t(previous, extra);
        return true;
    }
    if (previous && previous != extra && previous != if_logger_t::Log) delete previous;
    return true;
}
