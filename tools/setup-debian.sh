#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Safe to run again:
# packages already installed are left alone, and apt is not touched when
# nothing is missing.
#
#   tools/setup-debian.sh run    what the Linux build of qlspool and the
#                                libraries it loads need (the main command)
#   tools/setup-debian.sh all    that, plus tests, benchmarks and the Windows
#                                cross-build (the default)
set -euo pipefail

profile="${1:-all}"

# The Linux build of the product, the host and the tool library.
run_packages=(
  cmake
  ninja-build
  g++
  make
  pkg-config
  zlib1g-dev
  libssl-dev
  libopenjp2-7-dev
  # Printer device contexts: cairo (PDF), fontconfig/FreeType and real fonts,
  # EMF playback through libemf2svg and librsvg; poppler's pdftoppm for
  # `qlspool print --png` and pdfinfo for the tests.
  libcairo2-dev
  libfontconfig-dev
  libfreetype-dev
  fonts-liberation2
  fonts-dejavu-core
  libemf2svg-dev
  librsvg2-dev
  poppler-utils
  libopenjph-dev
)

# Tests, benchmarks and the Windows cross-build.
all_packages=(
  libgtest-dev
  libbenchmark-dev
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  dpkg-dev
  # The fuzz targets (tools/fuzz-smoke.sh): clang with libFuzzer.
  clang
  libclang-rt-14-dev
  # bench/stream-bench.sh: peak RSS and CPU time of each run.
  time
  # Line and branch coverage (tools/coverage.sh).
  gcovr
)

case "$profile" in
  run) packages=("${run_packages[@]}") ;;
  all) packages=("${run_packages[@]}" "${all_packages[@]}") ;;
  *) echo "setup-debian: unknown profile '$profile' (run or all)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-debian: all packages present"
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "setup-debian: not root and no sudo; install these packages first: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "setup-debian: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
