// The system-log logger: priorities, facility names and the line text. No
// syslog daemon is needed: nothing here calls syslog(3) itself.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "oslayer/loggers.h"
#include "oslayer/runnable.h"

class syslog_test_worker_t : public kern_n::runnable_t {
public:
    const char* type_name() const override { return "tst"; }
};

namespace {

std::string line_of(if_logger_t& logger, int level, const char* fmt, ...) {
    std::string out;
    va_list ap;
    va_start(ap, fmt);
    logger.format_line(level, out, fmt, ap);
    va_end(ap);
    return out;
}

std::string own_tid() {
    char buf[32];
    snprintf(buf, sizeof buf, "%06lu", static_cast<unsigned long>(syscall(SYS_gettid)));
    return buf;
}

}  // namespace

TEST(SyslogLogger, PriorityOfEachLevel) {
    const int fixed[] = {LOG_EMERG, LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO};
    for (int level = 0; level < 5; ++level) EXPECT_EQ(fixed[level], syslog_priority(level)) << level;
    for (int level : {5, 8, 9, 12, 13, 1000, -1}) EXPECT_EQ(LOG_DEBUG, syslog_priority(level)) << level;
}

TEST(SyslogLogger, FacilityNamesInAnyCaseUnknownFallsBackToUser) {
    const std::pair<const char*, int> table[] = {
        {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},     {"kern", 0},
        {"lpr", 48},     {"mail", 16},     {"news", 56},    {"syslog", 40},  {"user", 8},     {"uucp", 64},
        {"local0", 128}, {"local1", 136},  {"local2", 144}, {"local3", 152}, {"local4", 160}, {"local5", 168},
        {"local6", 176}, {"local7", 184}};
    for (const auto& e : table) EXPECT_EQ(e.second, facility_from_name(e.first)) << e.first;
    EXPECT_EQ(152, facility_from_name("LOCAL3"));
    EXPECT_EQ(24, facility_from_name("DaEmOn"));
    for (const char* bad : {"local8", "local", "", "kern ", "security", "0"})
        EXPECT_EQ(-1, facility_from_name(bad)) << bad;
    EXPECT_EQ(-1, facility_from_name(nullptr));
    EXPECT_EQ(LOG_USER, syslog_logger_t(facility_from_name("nope")).facility);  // unknown: the user facility
    EXPECT_EQ(LOG_USER, syslog_logger_t(1 << 12).facility);
}

TEST(SyslogLogger, LineCarriesThreadCodeAndMessageOnly) {
    syslog_logger_t l(LOG_LOCAL3);
    EXPECT_EQ(LOG_LOCAL3, l.facility);
    EXPECT_EQ(4, l.get_level());
    EXPECT_EQ(own_tid() + "noname; db0; hello 5", line_of(l, 9, "hello %d", 5));
    EXPECT_EQ(own_tid() + "noname; FTL; ", line_of(l, 0, "%s", ""));
    EXPECT_EQ(own_tid() + "noname; db3; x", line_of(l, 13, "x"));
    std::string appended = "kept:";
    appended += line_of(l, 2, "w");
    EXPECT_EQ("kept:" + own_tid() + "noname; wrn; w", appended);
}

TEST(SyslogLogger, RegisteredThreadNameFollowsTheIdDirectly) {
    syslog_logger_t l(LOG_USER);
    std::string line, tid;
    std::thread t([&] {
        syslog_test_worker_t w;
        w.name = "pool";
        ASSERT_EQ(0, pthread_setspecific(kern_n::runnable_t::self_key, &w));
        line = line_of(l, 4, "up");
        tid = own_tid();
        pthread_setspecific(kern_n::runnable_t::self_key, nullptr);
    });
    t.join();
    EXPECT_EQ(tid + "pool; inf; up", line);
}
