#!/usr/bin/env bash
# End-to-end benchmarks of `qlspool print` against `cp` of the same file, in
# one run: a ~400 MB pass-through gateway job of A4 300 dpi 24-bit pages (the
# temporary-file walker), a job of 2 MB pages (the in-memory walker), and
# 2,000 small pages (pages per second). Reports CPU seconds, the throughput
# ratio to `cp` and the peak RSS of each print. The machine may be shared:
# compare the ratios, not the absolute times.
#
#   bench/stream-bench.sh [BUILD_DIR]     default build/default; work files in $BENCH_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
qlspool="$PWD/$build/bin/qlspool"
work="${BENCH_DIR:-$(mktemp -d)}"
mkdir -p "$work"
trap '[ -z "${BENCH_KEEP:-}" ] && rm -rf "$work"' EXIT

# seconds (user + system) and peak RSS in KiB of a command, as "CPU RSS"
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || {
    echo "failed: $*" >&2; tail -5 "$work/err" >&2; tail -5 "$work/out" >&2; return 1; }
  awk '{printf "%.2f %d\n", $1 + $2, $3}' "$work/time"
}

run_case() {
  local name="$1" spl="$2" pages="$3"
  local bytes; bytes=$(stat -c %s "$spl")
  read -r cpCpu cpRss < <(measure cp "$spl" "$work/copy.bin")
  rm -f "$work/copy.bin"
  rm -rf "$work/c"
  read -r prCpu prRss < <(measure "$qlspool" print --quiet --printer "QL Spool Bridge" --drive-root "$work/c" "$spl")
  grep -q "1 printed" "$work/out" || { echo "$name: not printed" >&2; cat "$work/out" "$work/err" >&2; return 1; }
  awk -v n="$name" -v b="$bytes" -v c="$cpCpu" -v p="$prCpu" -v r="$prRss" -v pg="$pages" 'BEGIN {
    cc = c < 0.01 ? 0.01 : c; pp = p < 0.01 ? 0.01 : p;
    printf "%-22s %7.1f MB  cp %6.2f s  print %6.2f s  ratio %5.1f %%  peak RSS %6.1f MiB  %8.1f pages/s\n",
           n, b / 1e6, c, p, 100 * cc / pp, r / 1024, pg / pp }'
}

echo "generating jobs in $work ..."
"$qlspool" spool --pages 16 --images gradient --bpp 24 --size 2480x3508 --device 2480x3508 "$work/a4.spl" >/dev/null
"$qlspool" spool --pages 200 --images gradient --bpp 24 --size 816x816 --device 2480x3508 "$work/2mb.spl" >/dev/null
"$qlspool" spool --pages 2000 --images logo --bpp 24 --size 64x64 "$work/small.spl" >/dev/null
run_case "A4 300 dpi pages" "$work/a4.spl" 16
run_case "2 MB pages" "$work/2mb.spl" 200
run_case "2,000 small pages" "$work/small.spl" 2000
