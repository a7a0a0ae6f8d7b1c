#!/usr/bin/env bash
# Compares two builds of the daemon, e.g. before and after a change. On this
# kind of machine one run's figures move by 30% and more from run to run, far
# more than most changes do, so a pair of single runs proves nothing: this
# runs the same drivers against each binary in turn, many times, and prints
# the median and spread of every measure for each build.
#
# Measures: relay MB/s of one 1 GiB stream as parsed 1 MiB commands and raw
# after CRYPT, new connections per second (bench_daemon_relay --only, three
# figures a run), and cache serving MB/s for 1, 16 and 256 agents plus the
# 1,000-agent single download (bench_daemon_updates, one figure a run).
#
# Usage: bench/compare_builds.sh OLD_BINARY [NEW_BINARY] [pairs (default 8)] [pool size (default 2)]
#   NEW_BINARY defaults to this tree's release build. Build the old one from
#   a worktree, e.g.: git worktree add /tmp/old <commit> &&
#   cmake -S /tmp/old -B /tmp/old/build -DCMAKE_BUILD_TYPE=Release &&
#   cmake --build /tmp/old/build --target velmod-proxy
# About 45 s per pair on 8 CPUs. Run by hand on a quiet machine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
old=${1:-}
new=${2:-$build/proxy/velmod-proxy}
pairs=${3:-8}
pool=${4:-2}
case $pairs$pool in *[!0-9]*) old= ;; esac
if [ -z "$old" ] || [ ! -x "$old" ]; then
  echo "usage: $0 OLD_BINARY [NEW_BINARY] [pairs] [pool size]" >&2
  exit 2
fi

"$root/scripts/install-deps.sh"
# The test command configures this tree without the benchmarks: turn them on.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=ON >/dev/null
cmake --build "$build" --target velmod-proxy bench_daemon_relay bench_daemon_updates -j "${JOBS:-$(nproc)}" >/dev/null
[ -x "$new" ] || { echo "$new: not an executable" >&2; exit 2; }

out=$(mktemp /tmp/velmod-compare-builds-XXXXXX)
trap 'rm -f "$out"' EXIT
ulimit -n 20000 2>/dev/null || true

# Appends "build measure figure" lines for one build.
measure() {
  local which=$1 binary=$2 kind text
  for kind in parsed raw connections; do
    text=$("$build/bench/bench_daemon_relay" "$binary" "$pool" --only "$kind")
    awk -v b="$which" '{print b, $1, $2}' <<<"$text" >>"$out"
  done
  text=$("$build/bench/bench_daemon_updates" "$binary" "$pool")
  awk -v b="$which" '
    $1 == "1000" && $2 == "1" { print b, "download-1000-agents", $4 }
    /^(1|16|256) +[0-9]+ +[0-9]+ +[0-9.]+ +0/ { print b, "cached-" $1 "-agents", $3 }' <<<"$text" >>"$out"
}

for i in $(seq 1 "$pairs"); do
  # Alternating which goes first cancels a drift of the machine over the run.
  if [ $((i % 2)) -eq 1 ]; then measure old "$old"; measure new "$new"; else measure new "$new"; measure old "$old"; fi
  echo "pair $i of $pairs done" >&2
done

python3 - "$out" "$pairs" <<'EOF'
import statistics, sys
figures = {}
for line in open(sys.argv[1]):
    build, name, value = line.split()
    figures.setdefault(name, {}).setdefault(build, []).append(float(value))
print(f"old and new builds in turn, {sys.argv[2]} pairs of runs")
print()
print("| measure | old median | new median | new / old | old mean ± sd | new mean ± sd | samples each |")
print("|---|---|---|---|---|---|---|")
units = {"parsed": "relay MB/s, parsed 1 MiB commands", "raw": "relay MB/s, raw after CRYPT",
         "connections": "connections/s"}
for name, by in figures.items():
    o, n = by.get("old", []), by.get("new", [])
    if len(o) < 2 or len(n) < 2:
        continue
    label = units.get(name, name.replace("-", " ").replace("cached", "cached MB/s,").replace("download", "download MB/s,"))
    mo, mn = statistics.median(o), statistics.median(n)
    print(f"| {label} | {mo:.0f} | {mn:.0f} | {mn / mo:.3f} | {statistics.mean(o):.0f} ± {statistics.stdev(o):.0f} "
          f"| {statistics.mean(n):.0f} ± {statistics.stdev(n):.0f} | {min(len(o), len(n))} |")
EOF
