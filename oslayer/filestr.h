// Whole-file transfers between the disk and memory: a byte range of a file
// appended to a buffer, and a file replaced by the bytes of a text view.
#pragma once

#include <cstddef>

#include "amtypes.h"

/// A `file2mbuf` size that asks for everything from the offset to the end.
constexpr size_t file2mbuf_whole = ~static_cast<size_t>(0);

/// `lstr2file` flag: flush the data to disk before closing.
constexpr int lstr2file_sync = 1;
/// `lstr2file` flag: create missing directories of the path (mode 0755).
constexpr int lstr2file_create_path = 2;
/// `lstr2file` flag: the file gets mode 0600 instead of 0644.
constexpr int lstr2file_private = 4;

/// Appends `size` bytes of the file starting at `offset` to `buf`; throws
/// noent_exception_shell_t, invalid_io_range_exception_shell_t or
/// io_error_exception_shell_t.
void file2mbuf(mbuf_t& buf, const char* name, size_t offset = 0, size_t size = file2mbuf_whole);
void file2mbuf(mbuf_t& buf, const lstr_t& name, size_t offset = 0, size_t size = file2mbuf_whole);

/// Replaces the file by `data` as a new file (other hard links keep the old
/// content); throws io_error_exception_shell_t.
void lstr2file(const lstr_t& name, const lstr_t& data, int flags = 0);
