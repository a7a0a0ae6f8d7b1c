// The logger that hands each line to the system log. The system log stamps
// date, time and process id itself, so the line carries only the thread and
// the level code.
#include <strings.h>
#include <syslog.h>

#include <cstdio>

#include "loggers.h"
#include "runnable.h"
#include "utilities.h"

namespace {

struct facility_name_t {
    const char* name;
    int value;
};

const facility_name_t facility_names[] = {
    {"auth", LOG_AUTH},     {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},     {"daemon", LOG_DAEMON},
    {"ftp", LOG_FTP},       {"kern", LOG_KERN},         {"lpr", LOG_LPR},       {"mail", LOG_MAIL},
    {"news", LOG_NEWS},     {"syslog", LOG_SYSLOG},     {"user", LOG_USER},     {"uucp", LOG_UUCP},
    {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},     {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3},
    {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},     {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};

// A value outside the facility field would make syslog(3) complain on every
// call (and facility_from_name gives -1 for unknown names): use syslog's own
// default instead.
int valid_facility(int facility) { return (facility & ~LOG_FACMASK) == 0 ? facility : LOG_USER; }

}  // namespace

int syslog_priority(int level) {
    switch (level) {
        case LOG_LEVEL_CRIT: return LOG_EMERG;
        case LOG_LEVEL_ERROR: return LOG_ERR;
        case LOG_LEVEL_WARNING: return LOG_WARNING;
        case LOG_LEVEL_NOTICE: return LOG_NOTICE;
        case LOG_LEVEL_INFO: return LOG_INFO;
        default: return LOG_DEBUG;
    }
}

int facility_from_name(const char* name) {
    if (!name) return -1;
    for (const facility_name_t& f : facility_names)
        if (strcasecmp(name, f.name) == 0) return f.value;
    return -1;
}

syslog_logger_t::syslog_logger_t(int f) : facility(valid_facility(f)) {
    openlog("velmod", LOG_PID | LOG_CONS, facility);
}

syslog_logger_t::~syslog_logger_t() { closelog(); }

void syslog_logger_t::format_line(int l, std::string& out, const char* fmt, va_list ap) {
    char head[32];
    snprintf(head, sizeof head, "%06lu", current_thread_id());
    const char* name = kern_n::runnable_t::self_name();
    out += head;
    out += name ? name : kern_n::runnable_t::unknown_name;
    out += "; ";
    out += level_code(l);
    out += "; ";
    out += one_line(vformat_string(fmt, ap));
}

void syslog_logger_t::vprint(int l, const char* fmt, va_list ap) {
    if (!is_enabled(l)) return;
    std::string line;
    format_line(l, line, fmt, ap);
    syslog(syslog_priority(l) | facility, "%s", line.c_str());
}

void syslog_logger_t::write(const char* line) {
    syslog(LOG_ERR | facility, "misuse syslog!");
    syslog(LOG_DEBUG | facility, "%s", line ? line : "");
}
