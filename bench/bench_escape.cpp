// Throughput of argument escaping in both directions and of the escaping of
// text for log lines, printed beside a plain copy of the same bytes into a
// std::string measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "oslayer/amtypes.h"
#include "oslayer/utilities.h"

namespace {

enum input_kind_t { k_text = 0, k_binary = 1 };
const char* const kind_names[] = {"text", "binary"};

/// Printable words with blanks and the odd ", " (what most commands carry),
/// or uniformly random bytes (file contents, foreign character sets).
std::string make_input(input_kind_t kind, size_t len) {
    std::mt19937 rng(1234);
    std::string s(len, '\0');
    if (kind == k_binary) {
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    }
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/";
    for (size_t i = 0; i < len; ++i) {
        unsigned r = rng() % 100;
        s[i] = r < 12 ? ' ' : r < 14 ? ',' : letters[rng() % (sizeof letters - 1)];
    }
    return s;
}

void bm_memcpy(benchmark::State& state) {
    std::string in = make_input(static_cast<input_kind_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        std::string out;
        out.resize(in.size());
        memcpy(&out[0], in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

void bm_escape(benchmark::State& state) {
    std::string in = make_input(static_cast<input_kind_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        std::string out;
        escape_string(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

// Measured per byte of the decoded result, so that both directions and the
// copy are compared on the same payload.
void bm_dequote(benchmark::State& state) {
    std::string in = make_input(static_cast<input_kind_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    std::string token = escape_string(in);
    for (auto _ : state) {
        std::string out;
        dequote_string(lstr_t(token.size(), token.data()), out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

// Peer text quoted in a log line: mostly plain, so mostly one copied run.
void bm_log(benchmark::State& state) {
    std::string in = make_input(static_cast<input_kind_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        std::string out;
        escape_log_text(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

// The loggers' check of every message: a scan that finds nothing to escape
// for text, a rebuild for binary bytes.
void bm_guard(benchmark::State& state) {
    std::string in = make_input(static_cast<input_kind_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        std::string out = in;
        escape_log_controls(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int kind : {k_text, k_binary})
        for (int len : {1024, 65536}) b->Args({kind, len});
}

BENCHMARK(bm_memcpy)->Apply(sizes);
BENCHMARK(bm_escape)->Apply(sizes);
BENCHMARK(bm_dequote)->Apply(sizes);
BENCHMARK(bm_log)->Apply(sizes);
BENCHMARK(bm_guard)->Apply(sizes);

/// Console output as usual, plus a closing table of MB/s and the ratio to
/// the copy of the same input.
class ratio_reporter_t : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
        }
    }

    void print_summary() const {
        printf("\n%-8s %-7s %7s %12s %12s %12s\n", "input", "size", "", "memcpy MB/s", "MB/s", "x memcpy");
        for (int kind : {k_text, k_binary}) {
            for (int len : {1024, 65536}) {
                std::string args = "/" + std::to_string(kind) + "/" + std::to_string(len);
                double base = rate("bm_memcpy" + args);
                for (const char* op : {"escape", "dequote", "log", "guard"}) {
                    double v = rate(std::string("bm_") + op + args);
                    if (v == 0) continue;  // filtered out of this run
                    printf("%-8s %-7d %7s %12.0f %12.0f %12.3f\n", kind_names[kind], len, op, base / 1e6, v / 1e6,
                           base > 0 ? v / base : 0.0);
                }
            }
        }
    }

private:
    double rate(const std::string& name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ratio_reporter_t reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_summary();
    benchmark::Shutdown();
    return 0;
}
