// Lines per second through fd_logger_t into a file in a temp dir, and through
// file_logger_t (which also checks the file's presence and size per line),
// from one and from four threads, with distinct lines and with every line identical (the
// repeat suppression then writes nothing). The baseline in the same run is
// plain write(2) of preformatted lines of the same length.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "oslayer/loggers.h"

namespace {

// Same length as a logged line: a 44-character prefix plus the message.
const char message_fill[] = "[Bench] connection 10.0.0.1:8080 sent a request of 512 bytes";

class bench_file_t {
public:
    bench_file_t() {
        char pattern[] = "/tmp/velmod-bench-XXXXXX";
        if (mkdtemp(pattern)) dir = pattern;
        name = dir + "/bench.log";
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    }
    ~bench_file_t() {
        if (fd >= 0) ::close(fd);
        ::unlink(name.c_str());
        ::rmdir(dir.c_str());
    }

    std::string dir;
    std::string name;
    int fd = -1;
};

bench_file_t* file = nullptr;
fd_logger_t* logger = nullptr;
file_logger_t* file_logger = nullptr;

void setup(const benchmark::State&) {
    file = new bench_file_t();
    logger = new fd_logger_t(file->fd);
    file_logger = new file_logger_t();
    file_logger->set_rotation(file->dir + "/rotating.log", "NONE");
}

void teardown(const benchmark::State&) {
    delete logger;
    logger = nullptr;
    delete file_logger;
    file_logger = nullptr;
    ::unlink((file->dir + "/rotating.log").c_str());
    delete file;
    file = nullptr;
}

void BM_fd_logger_distinct(benchmark::State& state) {
    long n = state.thread_index() * 1000000000L;
    for (auto _ : state) logger->info("%s %ld", message_fill, n++);
    state.SetItemsProcessed(state.iterations());
}

void BM_fd_logger_identical(benchmark::State& state) {
    for (auto _ : state) logger->info("%s %ld", message_fill, 1234567890L);
    state.SetItemsProcessed(state.iterations());
}

void BM_file_logger_distinct(benchmark::State& state) {
    long n = state.thread_index() * 1000000000L;
    for (auto _ : state) file_logger->info("%s %ld", message_fill, n++);
    state.SetItemsProcessed(state.iterations());
}

void BM_file_logger_identical(benchmark::State& state) {
    for (auto _ : state) file_logger->info("%s %ld", message_fill, 1234567890L);
    state.SetItemsProcessed(state.iterations());
}

// The baseline: only the system call, with the line already made.
void BM_write_preformatted(benchmark::State& state) {
    std::string line = std::string(44, '0') + message_fill + " 1234567890\n";
    for (auto _ : state) {
        if (::write(file->fd, line.data(), line.size()) < 0) state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (int threads : {1, 4}) {
        benchmark::RegisterBenchmark("write_preformatted", BM_write_preformatted)
            ->Threads(threads)->Setup(setup)->Teardown(teardown)->UseRealTime();
        benchmark::RegisterBenchmark("fd_logger_distinct", BM_fd_logger_distinct)
            ->Threads(threads)->Setup(setup)->Teardown(teardown)->UseRealTime();
        benchmark::RegisterBenchmark("fd_logger_identical", BM_fd_logger_identical)
            ->Threads(threads)->Setup(setup)->Teardown(teardown)->UseRealTime();
        benchmark::RegisterBenchmark("file_logger_distinct", BM_file_logger_distinct)
            ->Threads(threads)->Setup(setup)->Teardown(teardown)->UseRealTime();
        benchmark::RegisterBenchmark("file_logger_identical", BM_file_logger_identical)
            ->Threads(threads)->Setup(setup)->Teardown(teardown)->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
