// MD5 throughput of md5_t beside OpenSSL's MD5 in the same run. OpenSSL is
// loaded at run time so that the program builds and runs without it; the
// baseline rows are then missing and a line says so.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "oslayer/md5.h"

namespace {

typedef unsigned char* (*openssl_md5_fn)(const unsigned char* data, size_t len, unsigned char* out);

openssl_md5_fn openssl_md5 = nullptr;

const std::vector<uint8_t>& input(size_t n) {
    static std::vector<uint8_t> bytes;
    if (bytes.size() < n) {
        std::mt19937 gen(1);
        bytes.resize(n);
        for (auto& b : bytes) b = uint8_t(gen());
    }
    return bytes;
}

void BM_md5_t(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const uint8_t* data = input(n).data();
    md5_t h;
    for (auto _ : state) {
        h.init();
        h.update(n, data);
        h.final();
        benchmark::DoNotOptimize(h.digest());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

void BM_openssl_MD5(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const uint8_t* data = input(n).data();
    unsigned char out[16];
    for (auto _ : state) {
        openssl_md5(data, n, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

// Loads the baseline and checks that both agree before timing anything.
bool load_openssl() {
    void* lib = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::printf("OpenSSL baseline missing: %s\n", dlerror());
        return false;
    }
    openssl_md5 = reinterpret_cast<openssl_md5_fn>(dlsym(lib, "MD5"));
    if (!openssl_md5) {
        std::printf("OpenSSL baseline missing: no MD5 in libcrypto.so.3\n");
        return false;
    }
    const std::vector<uint8_t>& data = input(1 << 20);
    unsigned char want[16];
    openssl_md5(data.data(), 100003, want);
    md5_t h;
    h.update(100003, data.data());
    h.final();
    if (std::memcmp(h.digest(), want, 16) != 0) {
        std::printf("md5_t and OpenSSL disagree: md5_t is broken\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bool baseline = load_openssl();
    for (int64_t size : {int64_t(64) << 10, int64_t(1) << 20}) {
        benchmark::RegisterBenchmark("md5_t", BM_md5_t)->Arg(size);
        if (baseline) benchmark::RegisterBenchmark("openssl_MD5", BM_openssl_MD5)->Arg(size);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
