#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang under
# AddressSanitizer + UndefinedBehaviorSanitizer and runs each of them.
#
#   scripts/fuzz.sh [seconds] [harness...]   each harness for `seconds` (600)
#   scripts/fuzz.sh --smoke                  each harness a few seconds on its
#                                            seed corpus, from a quick build
#
# FUZZ_PARALLEL (default 2) harnesses run at a time. New inputs go to
# build/fuzz*/corpus, never into the checked-in seeds; a crashing input is
# kept under build/fuzz*/artifacts. VELMO_FUZZ_CMAKE_ARGS adds configure
# arguments. The exit status is non-zero when any harness failed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

all_harnesses=(server_spec client_spec timestamp dequote text_framing snf_update arq_update config)

smoke=0
seconds=600
harnesses=()
for arg in "$@"; do
  case $arg in
    --smoke) smoke=1 ;;
    ''|*[!0-9]*) harnesses+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all_harnesses[@]}")
for h in "${harnesses[@]}"; do
  [ -f "tests/fuzz/${h}_fuzz.cpp" ] || { echo "fuzz.sh: no harness named $h (tests/fuzz/${h}_fuzz.cpp)" >&2; exit 2; }
done

# clang with its libFuzzer runtime, installed where missing.
have_libfuzzer() {
  command -v clang++ >/dev/null || return 1
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1
}
if ! have_libfuzzer; then
  sudo_cmd=; [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
  have_libfuzzer || { echo "fuzz.sh: clang++ cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 4 ] || jobs=4
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ $smoke -eq 1 ]; then
  # The build dominates a smoke run: the libraries are compiled unoptimised,
  # without debug information and uninstrumented (the harnesses themselves
  # keep libFuzzer and both sanitizers). The seeds run under the sanitizers
  # in the normal test builds as well.
  dir=build/fuzz-smoke
  build_type=Debug
  flags="-O0"
  seconds=3
else
  dir=build/fuzz
  build_type=RelWithDebInfo
  flags="$sanitizers"
fi

# shellcheck disable=SC2086
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=$build_type \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_CXX_FLAGS_DEBUG= -DVELMO_FUZZ=ON -DVELMO_BENCH=OFF \
  -DVELMO_HEADER_CHECK=OFF ${VELMO_FUZZ_CMAKE_ARGS:-} >/dev/null
cmake --build "$dir" -j "$jobs" --target fuzz_all

# One harness: a working corpus seeded from the checked-in one, a time limit,
# a per-input time-out that catches hangs, and its log kept.
run_one() {
  local h=$1 work=$dir/corpus/$1 log=$dir/logs/$1.log
  mkdir -p "$work" "$dir/artifacts" "$dir/logs"
  rm -f "$log.status"
  if "$dir/tests/fuzz/fuzz_$h" "$work" "tests/fuzz/corpus/$h" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$h-" >"$log" 2>&1; then
    echo ok >"$log.status"
  else
    echo FAILED >"$log.status"
  fi
}

parallel=${FUZZ_PARALLEL:-2}
running=0
for h in "${harnesses[@]}"; do
  run_one "$h" &
  running=$((running + 1))
  if [ $running -ge "$parallel" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

status=0
printf '%-14s %12s %8s  %s\n' harness executions seconds result
for h in "${harnesses[@]}"; do
  log=$dir/logs/$h.log
  result=$(cat "$log.status" 2>/dev/null || echo FAILED)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  printf '%-14s %12s %8s  %s\n' "$h" "${runs:-?}" "${took:-?}" "$result"
  if [ "$result" != ok ]; then
    status=1
    grep -E 'ERROR|runtime error|SUMMARY|Test unit written' "$log" | head -5 | sed 's/^/    /'
  fi
done
exit $status
