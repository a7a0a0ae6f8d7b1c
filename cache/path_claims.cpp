#include "cache/path_claims.h"

namespace cache {

const file_info_t* path_claims_t::claim(const std::string& dir, const std::string& path, const file_info_t& info) {
    // The stored file, and beside it the temporary file its download writes.
    const std::string temp = path + "~";
    for (const std::string* place : {&path, &temp}) {
        auto below = dirs_.find(*place);
        if (below != dirs_.end()) return below->second;
    }
    // Paths are built from pieces that are never empty, "." or "..": a
    // directory of one path is a directory of another exactly when the texts
    // up to a '/' are equal.
    for (size_t slash = path.find('/', dir.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string above = path.substr(0, slash);
        auto file = files_.find(above);
        if (file != files_.end()) return file->second;
        dirs_.emplace(above, &info);
    }
    files_.emplace(path, &info);
    files_.emplace(temp, &info);
    return nullptr;
}

}  // namespace cache
