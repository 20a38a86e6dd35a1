#!/usr/bin/env bash
# Stress under ThreadSanitizer: builds qlspool and the libraries it loads with
# the tsan preset (and the job handle tests, nothing else) and runs a short
# mixed load of concurrent jobs with pauses and cancels, then the job handle
# tests, whose control thread and print loop share the status bits. Any data
# race, a wrong job outcome or a handle left open fails the run.
#
#   tools/stress-tsan.sh [qlspool stress options]   default: 4 threads x 60 jobs
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
tools/setup-debian.sh
cmake --preset tsan "${launcher[@]}" >/dev/null
cmake --build --preset tsan --target qlspool printproc_tests -j "$(nproc 2>/dev/null || echo 2)"

machine=build/tsan/stress-machine
rm -rf "$machine"
corpus=()
if [ -d ../shared/corpus/spl ]; then corpus=(--corpus ../shared/corpus/spl); fi
if [ "$#" -eq 0 ]; then set -- --threads 4 --jobs 60 --cancel 20% --pause 20%; fi
# halt_on_error: the first report ends the run with TSan's exit code.
# tools/tsan.supp names the uninstrumented system libraries whose reports are
# not ours.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=tools/tsan.supp ${TSAN_OPTIONS:-}"
build/tsan/bin/qlspool stress --drive-root "$machine" "${corpus[@]}" "$@"
build/tsan/bin/printproc_tests --gtest_filter='JobHandle.*' --gtest_brief=1
