// The daemon's bounds (buffers, budgets, time limits) by name, so that an
// administrator or a test can set them at start through the environment:
//
//   VELMOD_PROXY_LIMITS="connect_timeout_ms=500,stall_limit_ms=2000"
//
// Each bound keeps its documented default in the unit that uses it; this
// table only names it and says how a number becomes its value. They are set
// once, before the pool runs. When a value takes effect:
// - copied into what is made, so it holds only for what is made after it:
//   alive_interval_ms, silence_limit_ms (each download), connect_timeout_ms
//   (each connect), cache_clean_period_ms (each configuration pass's cache),
//   send_high_water_bytes, send_low_water_bytes (each pair);
// - checked once, when the command line is parsed: pool_size_limit_count;
// - read at each check: stall_limit_ms, write_stall_limit_ms,
//   half_close_limit_ms, config_ids_kept_count, relayed_lists_kept_count,
//   mapping_budget_count,
//   small_body_bytes, inflate_step_bytes, waiting_update_requests_count,
//   failed_downloads_count; cache_root_bytes (each root opened),
//   stored_depth_count (each announcement and load);
// - applied live: body_budget_bytes alone (waiting bodies get what now fits);
// - read at each line written to a console: console_wait_ms,
//   console_late_write_ms (also by the launcher of a daemon, for the report
//   it copies);
// - read at each attempt to open a log file that is not open:
//   log_retry_interval_ms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarnel {

/// The longest time bound that can be set, 30 days: a time limit is kept in
/// microseconds and added to the clock, so a much larger one would overflow
/// into a negative or meaningless deadline.
extern const uint64_t longest_time_bound_ms;

/// One settable bound: its name (with its unit as the suffix) and how to set it.
struct limit_entry_t {
    const char* name;
    /// Sets the bound; the value has been checked to be within [minimum, maximum].
    void (*apply)(uint64_t value);
    uint64_t minimum;
    /// The largest value its variable holds as given (its type's range, or
    /// `longest_time_bound_ms` for a time).
    uint64_t maximum;
};

/// Every bound that can be set.
const std::vector<limit_entry_t>& limit_entries();

/// Applies "name=value,name=value" (an empty text changes nothing). Throws
/// std::invalid_argument naming the entry for an unknown name, a value that
/// is not a decimal number, or one below the bound's minimum or above its
/// maximum; nothing is applied then.
void apply_limits(const std::string& text);

/// Name of the environment variable read by `apply_limits_from_environment`.
extern const char* const limits_variable;

/// `apply_limits` on the environment variable, when it is set.
void apply_limits_from_environment();

}  // namespace quarnel
