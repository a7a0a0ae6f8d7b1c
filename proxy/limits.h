// The daemon's bounds (buffers, budgets, time limits) by name, so that an
// administrator or a test can set them at start through the environment:
//
//   VELMOD_PROXY_LIMITS="connect_timeout_ms=500,stall_limit_ms=2000"
//
// Each bound keeps its documented default in the unit that uses it; this
// table only names it and says how a number becomes its value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarnel {

/// One settable bound: its name (with its unit as the suffix) and how to set it.
struct limit_entry_t {
    const char* name;
    /// Sets the bound; the value has been checked to be at least `minimum`.
    void (*apply)(uint64_t value);
    uint64_t minimum;
};

/// Every bound that can be set.
const std::vector<limit_entry_t>& limit_entries();

/// Applies "name=value,name=value" (an empty text changes nothing). Throws
/// std::invalid_argument naming the entry for an unknown name, a value that
/// is not a decimal number or one below the bound's minimum; nothing is
/// applied then.
void apply_limits(const std::string& text);

/// Name of the environment variable read by `apply_limits_from_environment`.
extern const char* const limits_variable;

/// `apply_limits` on the environment variable, when it is set.
void apply_limits_from_environment();

}  // namespace quarnel
