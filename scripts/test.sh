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
build build/release -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=OFF -DVELMO_HEADER_CHECK=OFF
build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DVELMO_SANITIZE=ON -DVELMO_BENCH=OFF \
  -DVELMO_HEADER_CHECK=OFF

status=0
echo "== tests (release) =="
ctest --test-dir build/release --output-on-failure -j "$jobs" || status=1
echo "== tests (address + undefined behaviour sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" || status=1
echo "== fuzz harnesses (a few seconds each on their seeds) =="
bash scripts/fuzz.sh --smoke || status=1
exit $status
