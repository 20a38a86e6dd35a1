#!/usr/bin/env bash
# Fuzz smoke: builds every libFuzzer target (fuzz/*_fuzz.cpp) with clang and
# runs each for FUZZ_SECONDS (default 60), two at a time, seeded with the
# shared corpus (FUZZ_CORPUS, default ../shared/corpus; skipped when absent)
# and the target's regression inputs. Any crash, leak, timeout or sanitizer
# report fails the run; the finding is kept under build/fuzz/findings/.
#
#   tools/fuzz-smoke.sh [target...]     default: every target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
corpus="${FUZZ_CORPUS:-../shared/corpus}"
build=build/fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Light optimisation and line tables only: the build is part of the budget.
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQL_FUZZ=ON -DQL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -gline-tables-only" -DCMAKE_C_FLAGS_RELEASE="-O1" "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzzers -j 2

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd fuzz && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')
fi
seeds=()
if [ -d "$corpus" ]; then
  seeds=("$corpus")
else
  echo "fuzz-smoke: no corpus at $corpus, running unseeded" >&2
fi

findings="$build/findings"
rm -rf "$build/work"
mkdir -p "$findings" "$build/work"
run_one() {
  local t="$1"
  local work="$build/work/$t"
  mkdir -p "$work/corpus"
  local extra=()
  [ -d "fuzz/regressions/$t" ] && extra+=("fuzz/regressions/$t")
  if "$build/bin/$t" -max_total_time="$seconds" -max_len=262144 -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$findings/$t-" "$work/corpus" "${seeds[@]}" "${extra[@]}" \
       >"$work/log" 2>&1; then
    echo "fuzz-smoke: $t: $(grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$work/log" | tail -1)"
  else
    echo "fuzz-smoke: $t FAILED, see $work/log" >&2
    tail -40 "$work/log" >&2
    return 1
  fi
}
status=0
# Two at a time on the two cores.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for t in "${targets[@]:i:2}"; do
    run_one "$t" & pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || status=1; done
done
exit "$status"
