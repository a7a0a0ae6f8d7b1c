// The places the files of one revision take below its directory. A stored
// file and a download's temporary file may be nobody else's directory: two
// files of which one would need the other's place as a directory would each
// remove the other's on every download, without end.
#pragma once

#include <string>
#include <unordered_map>

#include "cache/cache.h"

namespace cache {

/// The file and directory paths that the files of one revision claim.
class path_claims_t {
public:
    /// Claims `path`, below the revision's directory `dir`, and its
    /// download's temporary path (`path` + "~") as files of `info`, and the
    /// directories above them up to `dir`. Returns the file that claims one
    /// of those files as a directory, or one of those directories as a
    /// file; null when none does. `info` must outlive the claims.
    const file_info_t* claim(const std::string& dir, const std::string& path, const file_info_t& info);

private:
    std::unordered_map<std::string, const file_info_t*> files_;
    std::unordered_map<std::string, const file_info_t*> dirs_;
};

}  // namespace cache
