// The system-log logger: priorities, facility names and the line text. No
// syslog daemon is needed: nothing here calls syslog(3) itself.
#include <syslog.h>

#include <cstdarg>

#include "oslayer/loggers.h"
#include "oslayer/runnable.h"
#include "tests/oslayer/test_support.h"

class syslog_test_worker_t : public kern_n::runnable_t {
public:
    const char* type_name() const override { return "tst"; }
};

namespace {

std::string line_of(if_logger_t& logger, int level, const char* fmt, ...) {
    std::string out = "kept:";
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

TEST(SyslogLogger, PrioritiesAndFacilityNamesInAnyCaseUnknownFallsBackToUser) {
    const int fixed[] = {LOG_EMERG, LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO};
    for (int level = 0; level < 5; ++level) EXPECT_EQ(fixed[level], syslog_priority(level)) << level;
    for (int level : {5, 8, 12, 13, 1000, -1}) EXPECT_EQ(LOG_DEBUG, syslog_priority(level)) << level;
    const std::pair<const char*, int> table[] = {{"kern", 0}, {"local0", 128}, {"local7", 184}, {"DaEmOn", 24}};
    for (const auto& e : table) EXPECT_EQ(e.second, facility_from_name(e.first)) << e.first;
    for (const char* bad : {"local8", "local", "", "kern ", "0", static_cast<const char*>(nullptr)})
        EXPECT_EQ(-1, facility_from_name(bad)) << (bad ? bad : "null");
    EXPECT_EQ(LOG_USER, syslog_logger_t(-1).facility);
    EXPECT_EQ(LOG_USER, syslog_logger_t(1 << 12).facility);
    EXPECT_EQ(LOG_LOCAL3, syslog_logger_t(LOG_LOCAL3).facility);
}

TEST(SyslogLogger, LineCarriesThreadIdNameCodeAndMessageOnly) {
    syslog_logger_t l(LOG_LOCAL3);
    EXPECT_EQ(4, l.get_level());
    EXPECT_EQ("kept:" + own_tid() + "noname; db0; hello 5", line_of(l, 9, "hello %d", 5));
    EXPECT_EQ("kept:" + own_tid() + "noname; FTL; ", line_of(l, 0, "%s", ""));
    EXPECT_EQ("kept:" + own_tid() + "noname; db3; x", line_of(l, 13, "x"));
    // One message, one entry: a line feed in it is written out, not passed on.
    EXPECT_EQ("kept:" + own_tid() + "noname; ERR; a\\nb\\r", line_of(l, 1, "a%sb\r", "\n"));
    std::string line, tid;
    oslayer_test::on_fresh_thread([&] {
        syslog_test_worker_t w;
        w.name = "pool";
        ASSERT_EQ(0, pthread_setspecific(kern_n::runnable_t::self_key, &w));
        line = line_of(l, 2, "up");
        tid = own_tid();
        pthread_setspecific(kern_n::runnable_t::self_key, nullptr);
    });
    EXPECT_EQ("kept:" + tid + "pool; wrn; up", line);
}
