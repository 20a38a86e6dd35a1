#!/usr/bin/env bash
# End-to-end benchmarks of `qlspool print` against `cp` of the same file, in
# one run: a ~400 MB pass-through gateway job of A4 300 dpi 24-bit pages (the
# temporary-file walker), a job of 2 MB pages (the in-memory walker), and
# 2,000 small pages (pages per second), the last with the built-in machine's
# trace log on and with the debug level off. Each case runs RUNS times
# (default 3) and reports the best run: CPU seconds (user + system) and wall
# seconds of the print and of `cp`, the throughput ratio to `cp` in each
# (cp time / print time) and the peak RSS of the print. The machine may be
# shared: compare the ratios, not the absolute times.
#
#   bench/stream-bench.sh [BUILD_DIR]     default build/default; work files in $BENCH_DIR

set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
qlspool="$PWD/$build/bin/qlspool"
work="${BENCH_DIR:-$(mktemp -d)}"
mkdir -p "$work"
trap '[ -z "${BENCH_KEEP:-}" ] && rm -rf "$work"' EXIT

runs="${RUNS:-3}"

# "CPU WALL RSS" of a command: seconds (user + system), wall seconds, peak RSS in KiB
measure() {
  /usr/bin/time -f "%U %S %e %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || {
    echo "failed: $*" >&2; tail -5 "$work/err" >&2; tail -5 "$work/out" >&2; return 1; }
  awk '{printf "%.2f %.2f %d\n", $1 + $2, $3, $4}' "$work/time"
}

# The best of $runs runs of `cp` and of the print, in turn: "cpCPU cpWALL prCPU prWALL prRSS"
best_of() {
  local spl="$1"; shift
  local i cpC=999 cpW=999 prC=999 prW=999 prR=0 c w r
  for ((i = 0; i < runs; i++)); do
    read -r c w r < <(measure cp "$spl" "$work/copy.bin")
    rm -f "$work/copy.bin"
    cpC=$(awk -v a="$cpC" -v b="$c" 'BEGIN { print (b < a ? b : a) }')
    cpW=$(awk -v a="$cpW" -v b="$w" 'BEGIN { print (b < a ? b : a) }')
    rm -rf "$work/c"
    read -r c w r < <(measure "$qlspool" print --quiet --printer "QL Spool Bridge" --drive-root "$work/c" "$@" "$spl")
    grep -q "1 printed" "$work/out" || { echo "$spl: not printed" >&2; cat "$work/out" "$work/err" >&2; return 1; }
    prC=$(awk -v a="$prC" -v b="$c" 'BEGIN { print (b < a ? b : a) }')
    prW=$(awk -v a="$prW" -v b="$w" 'BEGIN { print (b < a ? b : a) }')
    prR=$(awk -v a="$prR" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$cpC $cpW $prC $prW $prR"
}

run_case() {
  local name="$1" spl="$2" pages="$3"; shift 3
  local bytes; bytes=$(stat -c %s "$spl")
  read -r cpC cpW prC prW prR < <(best_of "$spl" "$@")
  awk -v n="$name" -v b="$bytes" -v cc="$cpC" -v cw="$cpW" -v pc="$prC" -v pw="$prW" -v r="$prR" -v pg="$pages" 'BEGIN {
    m = 0.01; c1 = cc < m ? m : cc; p1 = pc < m ? m : pc; c2 = cw < m ? m : cw; p2 = pw < m ? m : pw;
    printf "%-24s %6.1f MB  CPU: cp %5.2f s print %5.2f s ratio %5.1f %%  wall: cp %5.2f s print %5.2f s ratio %5.1f %%  peak RSS %6.1f MiB  %7.0f pages/s\n",
           n, b / 1e6, cc, pc, 100 * c1 / p1, cw, pw, 100 * c2 / p2, r / 1024, pg / p2 }'
}

echo "generating jobs in $work ..."
"$qlspool" spool --pages 16 --images gradient --bpp 24 --size 2480x3508 --device 2480x3508 "$work/a4.spl" >/dev/null
"$qlspool" spool --pages 200 --images gradient --bpp 24 --size 816x816 --device 2480x3508 "$work/2mb.spl" >/dev/null
"$qlspool" spool --pages 2000 --images logo --bpp 24 --size 64x64 "$work/small.spl" >/dev/null
# The built-in machine with the debug level off.
"$qlspool" machine --drive-root "$work/m" | sed 's/^"DebugLevel"=dword:.*/"DebugLevel"=dword:00000000/' >"$work/quiet.reg"
rm -rf "$work/m"
echo "best of $runs runs each; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
run_case "A4 300 dpi pages" "$work/a4.spl" 16
run_case "2 MB pages" "$work/2mb.spl" 200
run_case "2,000 small pages" "$work/small.spl" 2000
run_case "2,000 small, log off" "$work/small.spl" 2000 --machine "$work/quiet.reg"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
