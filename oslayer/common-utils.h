// Small descriptor-level file routines (used on /proc files, whose reported
// size is 0), the uptime text, and a list that owns library objects.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "_kern.h"
#include "time-objs.h"

/// Opens read-only; throws io_error_exception_shell_t.
int open_file(const char* path);
/// Appends the whole file (read until end of file, not by size) to `out`.
std::string& read_entire_file(std::string& out, const char* path);
/// Size found by seeking to the end (which /proc files refuse).
size_t get_file_length(const char* path);
/// Writes all `size` bytes, again after an interrupted call; stops quietly
/// at an error, for reports that have nowhere else to go. A socket is sent
/// to without raising SIGPIPE when its reader has gone.
void write_fully(int fd, const char* data, size_t size, bool socket = false);
/// Appends "[DD-]hh:mm:ss".
void format_uptime(timegap_t gap, std::string& out);

/// A list that owns its members and deletes them, last first.
class removing_root_list_t : public std::deque<if_root_t*>, public virtual if_root_t, public virtual noncopyable_t {
public:
    removing_root_list_t() = default;
    ~removing_root_list_t() override;
};
