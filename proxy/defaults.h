// The daemon's built-in defaults: where it looks for its configuration and
// writes its log, and the values the command line falls back to.
#pragma once

#include <cstdint>
#include <string>

namespace quarnel {

/// "/var/opt/velmo/etc/": home of the installed configuration and log.
std::string get_default_wrk_dir();
/// The installed configuration when it exists, else "velmod-proxy.xml" in the current directory.
std::string get_default_cfg_path();
/// The log file a daemon writes when no log file is named.
std::string get_default_log_path();

/// The release text of the banner and of the log file's version line.
extern const char* const release_text;

/// I/O threads when `pool-size` is not given.
constexpr uint32_t default_pool_size = 2;
/// Largest relayed command body held in memory, on either side of a pair;
/// a larger announced body ends that connection.
constexpr uint32_t body_memory_limit = 64u << 20;
/// Log rotation when `rotate` is not given: ten files of 10 MiB.
extern const char* const default_rotation;
/// Log level name when `verbosity` is not given.
extern const char* const default_verbosity;
/// Directory under the temporary directory that holds the cache when the
/// configuration names none.
extern const char* const default_cache_dir_name;

}  // namespace quarnel
