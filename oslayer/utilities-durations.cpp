// Duration texts: "[D-][hh:][mm:]ss.mmm" for tick gaps and "[D-][hh:]mm:ss"
// for whole seconds.
#include <climits>
#include <cstdio>

#include "time-objs.h"
#include "utilities.h"

namespace {

void append_number(std::string& out, const char* fmt, unsigned long long v) {
    char buf[32];
    int n = snprintf(buf, sizeof buf, fmt, v);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

}  // namespace

std::string elapsed_time(const timegap_t& gap) {
    std::string out;
    out.reserve(64);
    int64_t ticks = gap.ticks;
    // A negative gap reads as '-' and its magnitude rather than as huge
    // unsigned components; the most negative count loses one tick.
    if (ticks < 0) {
        out += '-';
        ticks = ticks == INT64_MIN ? INT64_MAX : -ticks;
    }
    int64_t days = to_units(ticks, time_unit::day, 0);
    int64_t hours = to_units(ticks, time_unit::hour, 1);
    int64_t minutes = to_units(ticks, time_unit::minute, 1);
    size_t lead = out.size();
    if (days != 0) append_number(out, "%llu-", days);
    if (out.size() != lead || hours != 0) append_number(out, "%02llu:", hours);
    if (out.size() != lead || minutes != 0) append_number(out, "%02llu:", minutes);
    append_number(out, "%02llu", to_units(ticks, time_unit::second, 1));
    append_number(out, ".%03llu", to_units(ticks, time_unit::millisecond, 3));
    return out;
}

std::string elapsed_since(timestamp_t since) { return elapsed_time(timestamp_t::now() - since); }

std::string seconds_to_text(d_uint64_t seconds) {
    std::string out;
    // Whole days as a 64-bit number: an int would wrap for huge counts.
    if (seconds >= 86400) append_number(out, "%llu-", seconds / 86400);
    unsigned long long hours = seconds % 86400 / 3600;
    if (hours != 0) append_number(out, "%02llu:", hours);
    append_number(out, "%02llu:", seconds % 3600 / 60);
    append_number(out, "%02llu", seconds % 60);
    return out;
}

std::string time_since_text(int32_t unix_time) {
    int64_t diff = static_cast<int64_t>(to_time_t(timestamp_t::now())) - unix_time;
    // A time in the future reads as a negative span.
    if (diff < 0) return "-" + seconds_to_text(static_cast<d_uint64_t>(-diff));
    return seconds_to_text(static_cast<d_uint64_t>(diff));
}
