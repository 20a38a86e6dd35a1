#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the project and runs the main job:
# the built-in sample jobs through the print processor on the built-in machine.
# Extra arguments replace the demo command (e.g. `tools/demo.sh print --help`).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh run
cmake --preset default
# Only qlspool and the libraries it loads; tests and benchmarks are built by
# tools/test.sh.
cmake --build --preset default --target qlspool -j "$(nproc 2>/dev/null || echo 2)"
if [ $# -eq 0 ]; then
  # Keep the demo machine (drive C:, ports, debug log) inside the build tree.
  exec build/default/bin/qlspool demo --drive-root build/default/qlspool-machine
fi
exec build/default/bin/qlspool "$@"
