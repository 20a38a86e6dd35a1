#!/usr/bin/env bash
# Prints how large the test code is against the rest of the code: non-blank
# lines of C/C++ (.c .cc .cpp .h .hpp) under tests/ and everywhere else, as the
# working tree holds them: tracked files and new ones git does not ignore
# (build directories are ignored).
set -euo pipefail
cd "$(dirname "$0")/.."

count() { # git pathspec...
  git ls-files -z --cached --others --exclude-standard -- "$@" | grep -z -E '\.(c|cc|cpp|h|hpp)$' |
    while IFS= read -r -d '' f; do [ -f "$f" ] && cat "$f"; done | grep -c -v '^[[:space:]]*$' || true
}
tests=$(count tests)
other=$(count . ':!tests')
awk -v t="$tests" -v o="$other" 'BEGIN {
  printf "tests: %d non-blank lines\nother: %d non-blank lines\nshare: %.1f %% (tests / other)\n", t, o, 100 * t / o }'
