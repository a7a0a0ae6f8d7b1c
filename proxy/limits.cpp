#include "proxy/limits.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "cache/cache.h"
#include "cache/cache_repo.h"
#include "cache/cache_tree.h"
#include "cache/mapping_budget.h"
#include "io/body_budget.h"
#include "io/transport_layer.h"
#include "io/zlib_filters.h"
#include "oslayer/bounded-write.h"
#include "oslayer/loggers.h"
#include "proxy/command_line_parser.h"
#include "proxy/loop.h"
#include "proxy/proxy_connection.h"
#include "proxy/srv_side_machine.h"
#include "proxy/srv_side_update_handlers.h"

namespace quarnel {

namespace {

boost::posix_time::time_duration milliseconds(uint64_t value) {
    // Within `longest_time_bound_ms`, checked before: no overflow.
    return boost::posix_time::milliseconds(static_cast<int64_t>(value));
}

}  // namespace

const char* const limits_variable = "VELMOD_PROXY_LIMITS";

const uint64_t longest_time_bound_ms = uint64_t(30) * 24 * 60 * 60 * 1000;

const std::vector<limit_entry_t>& limit_entries() {
    using update_state = srv_side::layer_t::st_ready_update_in_progress_t;
    const uint64_t time_max = longest_time_bound_ms;
    // One entry per bound; the defaults live beside the code that uses them.
    static const std::vector<limit_entry_t> entries = {
        // Copied into what is made (see the header).
        {"alive_interval_ms",
         [](uint64_t v) { srv_side::cmd_srs_update_t::alive_interval = milliseconds(v); }, 1, time_max},
        {"silence_limit_ms", [](uint64_t v) { update_state::silence_limit = milliseconds(v); }, 1, time_max},
        {"connect_timeout_ms",
         [](uint64_t v) { io::transport_layer::connect_timeout = milliseconds(v); }, 1, time_max},
        {"cache_clean_period_ms",
         [](uint64_t v) { app_loop_t::cache_clean_period = milliseconds(v); }, 1, time_max},
        {"send_high_water_bytes",
         [](uint64_t v) { proxy_connection_t::send_high_water = static_cast<uint32_t>(v); }, 1, UINT32_MAX},
        {"send_low_water_bytes",
         [](uint64_t v) { proxy_connection_t::send_low_water = static_cast<uint32_t>(v); }, 0, UINT32_MAX},
        // Checked by the command line, which is parsed after the bounds are set.
        {"pool_size_limit_count",
         [](uint64_t v) { command_line_parser_t::pool_size_limit = static_cast<uint32_t>(v); }, 1, UINT32_MAX},
        // Read at each check.
        {"stall_limit_ms", [](uint64_t v) { update_state::stall_limit = milliseconds(v); }, 1, time_max},
        {"write_stall_limit_ms",
         [](uint64_t v) { io::transport_layer::write_stall_limit = milliseconds(v); }, 1, time_max},
        {"half_close_limit_ms", [](uint64_t v) { proxy_connection_t::half_close_limit = milliseconds(v); }, 1,
         time_max},
        {"config_ids_kept_count",
         [](uint64_t v) { proxy_connection_t::config_ids_kept = static_cast<size_t>(v); }, 1, SIZE_MAX},
        {"relayed_lists_kept_count",
         [](uint64_t v) { proxy_connection_t::relayed_lists_kept = static_cast<size_t>(v); }, 1, SIZE_MAX},
        {"mapping_budget_count", [](uint64_t v) { cache::mapping_budget_t::limit = static_cast<size_t>(v); }, 1,
         SIZE_MAX},
        {"waiting_update_requests_count",
         [](uint64_t v) { cache::cache_t::waiting_per_requester = static_cast<size_t>(v); }, 1, SIZE_MAX},
        {"failed_downloads_count",
         [](uint64_t v) { cache::cache_t::failed_downloads_limit = static_cast<unsigned>(v); }, 1, UINT32_MAX},
        {"cache_root_bytes", [](uint64_t v) { cache::tree_t::longest_root = static_cast<size_t>(v); }, 1,
         PATH_MAX - 64},
        {"stored_depth_count",
         [](uint64_t v) { cache::cache_t::repo_t::stored_depth = static_cast<size_t>(v); }, 0, 256},
        {"small_body_bytes", [](uint64_t v) { io::proto::body_budget::small_body_bytes = static_cast<size_t>(v); },
         0, SIZE_MAX},
        {"inflate_step_bytes", [](uint64_t v) { io::zlib_inflate_filter::step_bytes = static_cast<size_t>(v); },
         4096, SIZE_MAX},
        // Applied live.
        {"body_budget_bytes",
         [](uint64_t v) { io::proto::body_budget::process_wide().set_capacity(static_cast<size_t>(v)); }, 1,
         SIZE_MAX},
        // Read at each line.
        {"console_wait_ms", [](uint64_t v) { fd_logger_t::console_wait_ms = static_cast<uint32_t>(v); }, 0,
         time_max},
        {"console_late_write_ms",
         [](uint64_t v) { bounded_writer_t::late_write_ms = static_cast<uint32_t>(v); }, 1, time_max},
        {"log_retry_interval_ms",
         [](uint64_t v) { file_logger_t::retry_interval_ms = static_cast<uint32_t>(v); }, 1, time_max},
    };
    return entries;
}

namespace {

uint64_t parse_value(const std::string& entry, const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("limit \"" + entry + "\": the value is not a decimal number");
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) throw std::invalid_argument("limit \"" + entry + "\": the value is too large");
    return value;
}

const limit_entry_t& find_entry(const std::string& name) {
    for (const limit_entry_t& entry : limit_entries())
        if (name == entry.name) return entry;
    throw std::invalid_argument("unknown limit \"" + name + "\"");
}

}  // namespace

void apply_limits(const std::string& text) {
    std::vector<std::string> items;
    boost::algorithm::split(items, text, [](char c) { return c == ','; });
    // Everything is checked before anything is set: a half-applied list
    // would leave the daemon running with bounds nobody asked for.
    std::vector<std::pair<const limit_entry_t*, uint64_t>> parsed;
    for (std::string item : items) {
        boost::algorithm::trim(item);
        if (item.empty()) continue;
        std::string::size_type equal = item.find('=');
        if (equal == std::string::npos) throw std::invalid_argument("limit \"" + item + "\" has no value");
        std::string name = boost::algorithm::trim_copy(item.substr(0, equal));
        const limit_entry_t& entry = find_entry(name);
        uint64_t value = parse_value(item, boost::algorithm::trim_copy(item.substr(equal + 1)));
        if (value < entry.minimum)
            throw std::invalid_argument("limit \"" + item + "\" is below its minimum of " +
                                        std::to_string(entry.minimum));
        if (value > entry.maximum)
            throw std::invalid_argument("limit \"" + item + "\" is above its maximum of " +
                                        std::to_string(entry.maximum));
        parsed.emplace_back(&entry, value);
    }
    for (const auto& p : parsed) p.first->apply(p.second);
}

void apply_limits_from_environment() {
    const char* text = std::getenv(limits_variable);
    if (text) apply_limits(text);
}

}  // namespace quarnel
