// The walk from "/" to the cache root, one directory at a time on checked
// descriptors, that tree_t::open takes: a directory another user can write
// into, or a link of theirs, anywhere on the way could otherwise lead the
// daemon's writes and removals into a directory of their choice.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "cache/cache_tree.h"

namespace cache {

/// The daemon's effective user, asked once: the user whose entries the
/// cache owns and whose directory the root is.
uid_t daemon_user();

/// Raises cache_error "cache root ROOT refused: WHY".
[[noreturn]] void refuse_root(const std::string& root, const std::string& why);

/// Opens `root` as tree_t::open says and examines it into `st`; raises
/// cache_error saying why the root is refused.
fd_t open_root(const std::string& root, struct stat& st);

}  // namespace cache
