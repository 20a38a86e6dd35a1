#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the project and runs the whole
# test suite with CTest. Pass a preset name (default, debug, asan) to choose
# the build; default is "default".
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
jobs="$(nproc 2>/dev/null || echo 2)"

tools/setup-debian.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs"
