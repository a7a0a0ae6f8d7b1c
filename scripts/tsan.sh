#!/usr/bin/env bash
# Builds everything under ThreadSanitizer and runs the whole test suite with it:
# the unit tests and the black-box tests, which start the ThreadSanitizer-built
# daemon. Any report fails the run. Far too slow for every CI run: run it by
# hand, at least before a release and after changing locking or thread code.
#
#   scripts/tsan.sh [extra ctest arguments, e.g. -R Pool]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh

dir=build/tsan-full
# Each test process is heavy under ThreadSanitizer; leave room for others.
jobs=$(( $(nproc 2>/dev/null || echo 2) / 2 ))
[ "$jobs" -ge 1 ] || jobs=1

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DVELMO_BENCH=OFF -DVELMO_HEADER_CHECK=OFF >/dev/null
cmake --build "$dir" -j "$jobs"

# halt_on_error: the first report ends the process with exit code 66, so a
# test program fails, and a daemon under a black-box test dies with its report
# on standard error, where the harness looks for it.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=4${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# ThreadSanitizer's allocator keeps freed memory, so the black-box tests'
# resident-size bounds are judged only in the release and ASan builds; under
# this variable they skip those assertions and keep every other check.
export VELMO_TSAN=1

log="$dir/ctest-output.log"
status=0
ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" 2>&1 | tee "$log" || status=1
# A report in output that no check looked at (a helper process, a test that
# only prints what it read) still fails the run.
if grep -q "WARNING: ThreadSanitizer" "$log"; then
  echo "ThreadSanitizer reports found in $log"
  status=1
fi
exit $status
