// Helpers shared by the platform library's tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

namespace oslayer_test {

/// A scratch directory under `base`, removed with everything in it (also
/// when a test left parts of it without write permission).
struct scratch_t {
    std::string path;
    explicit scratch_t(const char* base = "/tmp") {
        std::string tmpl = std::string(base) + "/velmod-test.XXXXXX";
        const char* made = mkdtemp(&tmpl[0]);
        EXPECT_NE(made, nullptr) << base;
        path = made ? made : "";
    }
    ~scratch_t() {
        if (!path.empty()) (void)system(("chmod -R u+rwx '" + path + "'; rm -rf '" + path + "'").c_str());
    }
    scratch_t(const scratch_t&) = delete;
    scratch_t& operator=(const scratch_t&) = delete;

    /// Writes `bytes` as the file `name` in the directory; returns its path.
    std::string put(const std::string& name, const std::string& bytes) const {
        std::string full = path + "/" + name;
        FILE* f = fopen(full.c_str(), "wb");
        EXPECT_NE(f, nullptr) << full;
        if (f) {
            EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            fclose(f);
        }
        return full;
    }
};

}  // namespace oslayer_test
