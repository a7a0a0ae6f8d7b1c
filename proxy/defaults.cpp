#include "proxy/defaults.h"

#include <unistd.h>

#include "oslayer/_kern.h"
#include "oslayer/file.h"

#ifndef VELMO_RELEASE
#error "VELMO_RELEASE must be defined by the build"
#endif
#ifndef VELMO_BUILD
#error "VELMO_BUILD must be defined by the build"
#endif

namespace quarnel {

const char* const release_text = VELMO_RELEASE " build " VELMO_BUILD;
const char* const default_rotation = "10,10m";
const char* const default_verbosity = "trace3";
const char* const default_cache_dir_name = "velmod-proxy-cache";

namespace {
const char config_name[] = "velmod-proxy.xml";
const char log_name[] = "velmod-proxy.log";
}  // namespace

std::string get_default_wrk_dir() {
    TRACE_POINT;
    return "/var/opt/velmo/etc/";
}

std::string get_default_cfg_path() {
    TRACE_POINT;
    file_t installed(get_default_wrk_dir() + config_name);
    if (installed.exists()) return installed.fullpath;
    // A failed getcwd leaves the zero-filled buffer empty: the path is then
    // rooted, which is still a usable, if unlikely, answer.
    char cwd[4097] = {};
    if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    return std::string(cwd) + "/" + config_name;
}

std::string get_default_log_path() {
    TRACE_POINT;
    return get_default_wrk_dir() + log_name;
}

}  // namespace quarnel
