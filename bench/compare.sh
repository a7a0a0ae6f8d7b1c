#!/usr/bin/env bash
# Compares velmod-proxy with the proxies its users know, in one run on loopback:
# relay throughput (raw after CRYPT, parsed without it) beside HAProxy in TCP
# mode and socat, new connections per second beside HAProxy, cache hits beside
# nginx with sendfile, and memory per idle pair beside HAProxy. Run by hand on
# a quiet machine; prints one markdown table of ratios at the end.
#
# Usage: bench/compare.sh [build dir (default build/release)] [thread count (default 2)]
# The thread count is the daemon's pool size, HAProxy's nbthread and nginx's
# worker count, so that every contender has the same number of threads.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/release}
threads=${2:-2}
case $build in /*) ;; *) build=$root/$build ;; esac
case $threads in '' | *[!0-9]* | 0) echo "usage: $0 [build dir] [thread count]" >&2; exit 2 ;; esac

# --- what building and the contenders need, installed only where missing -----
"$root/scripts/install-deps.sh" haproxy socat nginx
haproxy=$(command -v haproxy || echo /usr/sbin/haproxy)
nginx=$(command -v nginx || echo /usr/sbin/nginx)
socat=$(command -v socat)

# --- the release tree, built where it is missing or stale ----------------------
# The test command configures its tree without the benchmarks: turn them on.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=ON >/dev/null
cmake --build "$build" --target velmod-proxy bench_daemon_relay bench_daemon_updates -j "${JOBS:-$(nproc)}"

# --- the run ---------------------------------------------------------------------
# 5,000 idle pairs hold 10,000 descriptors in the daemon and as many in the driver.
ulimit -n 20000
out=$(mktemp -d /tmp/velmod-compare-XXXXXX)
pids=()
cleanup() {
  # The drivers end their contenders themselves (and the kernel kills them
  # with their driver); this covers an interrupted run.
  for p in "${pids[@]}"; do kill -TERM -- "-$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Each driver runs in a process group of its own so that the trap reaches its children.
run_driver() {
  local name=$1
  shift
  set -m
  "$build/bench/$name" "$build/proxy/velmod-proxy" "$threads" "$@" >"$out/$name.txt" 2>"$out/$name.err" &
  local pid=$!
  set +m
  pids+=("$pid")
  local rc=0
  wait "$pid" || rc=$?
  cat "$out/$name.err" >&2
  grep -v '^|' "$out/$name.txt" || true
  [ $rc -eq 0 ] || { echo "$name failed with status $rc" >&2; exit 1; }
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
run_driver bench_daemon_relay --haproxy "$haproxy" --socat "$socat"
run_driver bench_daemon_updates --nginx "$nginx"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "velmod-proxy beside the proxies its users know ($threads threads each, loopback, $(nproc) CPUs)"
echo
echo "| measure | velmod-proxy | contender | contender figure | ratio | target | met |"
echo "|---|---|---|---|---|---|---|"
cat "$out/bench_daemon_relay.txt" "$out/bench_daemon_updates.txt" | grep '^|' || true
