#!/usr/bin/env bash
# Builds the `coverage` preset (gcc --coverage), runs the whole test suite and
# prints line and branch coverage of the product folders and of pal/ with gcovr.
#
#   tools/coverage.sh               build, test, print both summaries
#   tools/coverage.sh --report-only print the summaries of the last run again
#
# QL_COVERAGE_JSON=<dir> also writes the per-file figures (gcovr JSON summary)
# as <dir>/product.json and <dir>/pal.json, and every line and branch as
# <dir>/product-full.json and <dir>/pal-full.json, to compare two runs file
# by file and branch by branch.
# The per-file text reports land in build/coverage/{product,pal}-coverage.txt.
# Benchmarks are not built; the counters are reset before the tests run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${QL_JOBS:-$(nproc 2>/dev/null || echo 2)}"
build=build/coverage
product_dirs=(printproc gateway emf jpeg2000 fonts emz native port diag)

if [ "${1:-}" != "--report-only" ]; then
  cmake --preset coverage >/dev/null
  # Every test executable and fuzz regression replay; they pull in qlspool
  # and the libraries it loads.
  targets=()
  for d in tests/*/; do
    suite=$(basename "$d")
    [ "$suite" = support ] && continue
    compgen -G "$d*.cpp" >/dev/null && targets+=("${suite}_tests")
  done
  for d in fuzz/regressions/*/; do
    [ -f "fuzz/$(basename "$d").cpp" ] && targets+=("$(basename "$d")_replay")
  done
  cmake --build --preset coverage -j "$jobs" --target "${targets[@]}"
  find "$build" -name '*.gcda' -delete
  ctest --preset coverage -j "$jobs" || echo "coverage: some tests failed; figures below are still printed" >&2
fi

report() { # name filter...
  local name="$1"; shift
  local filters=()
  for f in "$@"; do filters+=(--filter "$f/"); done
  echo "== $name: $*"
  local json=()
  if [ -n "${QL_COVERAGE_JSON:-}" ]; then
    mkdir -p "$QL_COVERAGE_JSON"
    json=(--json-summary "$QL_COVERAGE_JSON/$name.json" --json-summary-pretty
          --json "$QL_COVERAGE_JSON/$name-full.json")
  fi
  gcovr --root . --object-directory "$build" "${filters[@]}" -j "$jobs" \
        --exclude-unreachable-branches --exclude-throw-branches \
        --print-summary --txt "$build/$name-coverage.txt" "${json[@]}" "$build"
}
report product "${product_dirs[@]}"
report pal pal
