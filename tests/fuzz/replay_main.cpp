// Replays files through a harness's LLVMFuzzerTestOneInput without libFuzzer:
// every argument is a file or a directory whose regular files are replayed.
// A fault aborts inside the harness; a path that cannot be read fails here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const boost::filesystem::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    // An exact-size heap copy, so that a read past the end is caught as it
    // would be under libFuzzer.
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = boost::filesystem;
    size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path root(argv[i]);
        if (!fs::is_directory(root)) {
            // A harness without regression cases has no directory for them.
            if (fs::exists(root)) ok = replay(root) && ok, ++count;
            continue;
        }
        for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
            if (!fs::is_regular_file(it->path())) continue;
            ok = replay(it->path()) && ok;
            ++count;
        }
    }
    std::printf("replayed %zu input(s)\n", count);
    return ok && count > 0 ? 0 : 1;
}
