// The bounds set through the environment: a good list reaches the bounds, a
// bad one (a value out of a bound's range included) is refused whole, naming
// the entry, and changes nothing.
#include "proxy/limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

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

namespace {

using boost::posix_time::milliseconds;

struct saved_limits_t {
    boost::posix_time::time_duration alive = srv_side::cmd_srs_update_t::alive_interval;
    boost::posix_time::time_duration silence = srv_side::layer_t::st_ready_update_in_progress_t::silence_limit;
    size_t config_ids = proxy_connection_t::config_ids_kept;
    size_t relayed_lists = proxy_connection_t::relayed_lists_kept;
    boost::posix_time::time_duration connect = io::transport_layer::connect_timeout;
    boost::posix_time::time_duration stall = srv_side::layer_t::st_ready_update_in_progress_t::stall_limit;
    size_t mappings = cache::mapping_budget_t::limit;
    boost::posix_time::time_duration clean = app_loop_t::cache_clean_period;
    uint32_t high_water = proxy_connection_t::send_high_water;
    uint32_t low_water = proxy_connection_t::send_low_water;
    size_t budget = io::proto::body_budget::process_wide().capacity();
    size_t small_body = io::proto::body_budget::small_body_bytes;
    size_t inflate_step = io::zlib_inflate_filter::step_bytes;
    boost::posix_time::time_duration write_stall = io::transport_layer::write_stall_limit;
    boost::posix_time::time_duration half_close = proxy_connection_t::half_close_limit;
    uint32_t pool_size = command_line_parser_t::pool_size_limit;
    unsigned failed_downloads = cache::cache_t::failed_downloads_limit;
    size_t root_bytes = cache::tree_t::longest_root;
    size_t stored_depth = cache::cache_t::repo_t::stored_depth;
    uint32_t console_wait = fd_logger_t::console_wait_ms;
    uint32_t late_write = bounded_writer_t::late_write_ms;
    uint32_t log_retry = file_logger_t::retry_interval_ms;
    ~saved_limits_t() {
        fd_logger_t::console_wait_ms = console_wait;
        bounded_writer_t::late_write_ms = late_write;
        file_logger_t::retry_interval_ms = log_retry;
        command_line_parser_t::pool_size_limit = pool_size;
        cache::cache_t::failed_downloads_limit = failed_downloads;
        cache::tree_t::longest_root = root_bytes;
        cache::cache_t::repo_t::stored_depth = stored_depth;
        io::transport_layer::write_stall_limit = write_stall;
        proxy_connection_t::half_close_limit = half_close;
        proxy_connection_t::send_high_water = high_water;
        proxy_connection_t::send_low_water = low_water;
        io::proto::body_budget::process_wide().set_capacity(budget);
        io::proto::body_budget::small_body_bytes = small_body;
        io::zlib_inflate_filter::step_bytes = inflate_step;
        app_loop_t::cache_clean_period = clean;
        proxy_connection_t::config_ids_kept = config_ids;
        proxy_connection_t::relayed_lists_kept = relayed_lists;
        io::transport_layer::connect_timeout = connect;
        srv_side::layer_t::st_ready_update_in_progress_t::stall_limit = stall;
        cache::mapping_budget_t::limit = mappings;
        srv_side::cmd_srs_update_t::alive_interval = alive;
        srv_side::layer_t::st_ready_update_in_progress_t::silence_limit = silence;
    }
};

TEST(Limits, AGoodListReachesEveryNamedBound) {
    saved_limits_t saved;
    EXPECT_EQ(io::transport_layer::connect_timeout, milliseconds(10000));
    quarnel::apply_limits(" alive_interval_ms = 250 ,, silence_limit_ms=1500,connect_timeout_ms=700");
    EXPECT_EQ(io::transport_layer::connect_timeout, milliseconds(700));
    EXPECT_EQ(srv_side::cmd_srs_update_t::alive_interval, milliseconds(250));
    EXPECT_EQ(srv_side::layer_t::st_ready_update_in_progress_t::silence_limit, milliseconds(1500));
    quarnel::apply_limits("config_ids_kept_count=16");
    EXPECT_EQ(16u, proxy_connection_t::config_ids_kept);
    quarnel::apply_limits("");
    EXPECT_EQ(srv_side::cmd_srs_update_t::alive_interval, milliseconds(250));
    for (const quarnel::limit_entry_t& entry : quarnel::limit_entries()) {
        SCOPED_TRACE(entry.name);
        EXPECT_NO_THROW(quarnel::apply_limits(std::string(entry.name) + "=" + std::to_string(entry.minimum)));
    }
}

TEST(Limits, ABadListIsRefusedWholeNamingTheEntry) {
    saved_limits_t saved;
    struct {
        const char* text;
        const char* named;
    } cases[] = {
        {"alive_interval_ms=5,nonsense_ms=3", "nonsense_ms"},
        {"alive_interval_ms=5,silence_limit_ms", "silence_limit_ms"},
        {"alive_interval_ms=5,silence_limit_ms=-1", "silence_limit_ms=-1"},
        {"alive_interval_ms=5,silence_limit_ms=1e3", "silence_limit_ms=1e3"},
        {"alive_interval_ms=5,silence_limit_ms=0", "minimum"},
        {"alive_interval_ms=5,silence_limit_ms=99999999999999999999999", "too large"},
        // Milliseconds past about 2^63 microseconds turned negative: a
        // connect timed out at once, a download was given up at once.
        {"alive_interval_ms=5,connect_timeout_ms=9223372036854775807", "above its maximum of 2592000000"},
        {"alive_interval_ms=5,stall_limit_ms=10000000000000000", "above its maximum of 2592000000"},
        {"alive_interval_ms=5,send_high_water_bytes=4294967296", "above its maximum of 4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            quarnel::apply_limits(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
        EXPECT_EQ(srv_side::cmd_srs_update_t::alive_interval, saved.alive);
    }
}

// Each time bound takes 30 days and no more; a size no more than its
// variable holds. A refused value leaves every bound of the list unset.
TEST(Limits, EveryBoundTakesItsMaximumAndRefusesOneMore) {
    saved_limits_t saved;
    for (const quarnel::limit_entry_t& entry : quarnel::limit_entries()) {
        const std::string name = entry.name;
        SCOPED_TRACE(name);
        const bool time = name.size() > 3 && name.compare(name.size() - 3, 3, "_ms") == 0;
        if (time) {
            EXPECT_EQ(quarnel::longest_time_bound_ms, entry.maximum);
        }
        if (name.find("_water_") != std::string::npos) {
            EXPECT_EQ(UINT32_MAX, entry.maximum);
        }
        EXPECT_NO_THROW(quarnel::apply_limits(name + "=" + std::to_string(entry.maximum)));
        if (entry.maximum == UINT64_MAX) continue;
        const boost::posix_time::time_duration alive = srv_side::cmd_srs_update_t::alive_interval;
        const std::string canary = name == "alive_interval_ms" ? "stall_limit_ms=7," : "alive_interval_ms=7,";
        try {
            quarnel::apply_limits(canary + name + "=" + std::to_string(entry.maximum + 1));
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("above its maximum"), std::string::npos) << e.what();
        }
        EXPECT_EQ(alive, srv_side::cmd_srs_update_t::alive_interval);
        EXPECT_NE(milliseconds(7), srv_side::layer_t::st_ready_update_in_progress_t::stall_limit);
    }
    // The longest bounds are whole and lie ahead when added to the clock.
    const boost::posix_time::time_duration month = boost::posix_time::hours(30 * 24);
    EXPECT_EQ(month, io::transport_layer::connect_timeout);
    EXPECT_EQ(month, srv_side::layer_t::st_ready_update_in_progress_t::stall_limit);
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
    EXPECT_GT(now + srv_side::layer_t::st_ready_update_in_progress_t::silence_limit, now);
    EXPECT_EQ(UINT32_MAX, proxy_connection_t::send_high_water);
}

}  // namespace
