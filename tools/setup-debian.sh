#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test the project, for
# Linux and for the Windows cross-build. Safe to run again: packages already
# installed are left alone, and apt is not touched when nothing is missing.
set -euo pipefail

packages=(
  cmake
  ninja-build
  g++
  make
  pkg-config
  libgtest-dev
  zlib1g-dev
  libssl-dev
  libbenchmark-dev
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
)

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
