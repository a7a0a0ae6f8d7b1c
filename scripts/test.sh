#!/usr/bin/env bash
# Sets up a fresh machine if needed, then builds and runs every test twice:
# an optimised build, and a build under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

build() {  # build dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# The benchmarks and the header check (every header compiled on its own) are
# left to plain builds and bench/compare.sh: they test nothing here and took a
# fifth of the build. Line tables are all a sanitizer report needs.
#
# The tests spend much of their time waiting on sockets and timers, so each
# run overlaps the next build: the optimised tree's tests run while the
# sanitizer tree builds, and the fuzz harnesses build and run beside the
# sanitizer tree's tests. Each report is printed whole once it is done.
build build/release -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=OFF -DVELMO_HEADER_CHECK=OFF
mkdir -p build/logs
# A failed build ends the script: nothing started here may outlive it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
ctest --test-dir build/release --output-on-failure -j "$jobs" >build/logs/release-tests.log 2>&1 &
release_tests=$!
build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DVELMO_SANITIZE=ON -DVELMO_BENCH=OFF \
  -DVELMO_HEADER_CHECK=OFF

status=0
wait $release_tests || status=1
echo "== tests (release) =="
cat build/logs/release-tests.log

bash scripts/fuzz.sh --smoke >build/logs/fuzz-smoke.log 2>&1 &
fuzz_smoke=$!
echo "== tests (address + undefined behaviour sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" || status=1
wait $fuzz_smoke || status=1
echo "== fuzz harnesses (a few seconds each on their seeds) =="
cat build/logs/fuzz-smoke.log
exit $status
