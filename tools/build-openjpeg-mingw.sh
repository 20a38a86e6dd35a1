#!/usr/bin/env bash
# Cross-builds OpenJPEG as a static MinGW-w64 library for the Windows DLL.
# Debian has no MinGW package of it, so this fetches Debian 12's source
# package `openjpeg2` with apt's source download through a private apt
# configuration (its own sources list with one deb-src entry, its own lists
# and cache under the build tree; the machine's apt configuration and lists
# are not touched), unpacks it with Debian's patches applied and builds it
# with the project's MinGW-w64 toolchain file.
#
#   tools/build-openjpeg-mingw.sh [PREFIX]     (default build/mingw/openjpeg)
#
# PREFIX receives include/openjpeg-2.5 and lib/libopenjp2.a. A finished
# build is kept: a rerun with the stamp present does nothing.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$repo/build/mingw/openjpeg}"
mkdir -p "$prefix"
prefix="$(cd "$prefix" && pwd)"
stamp="$prefix/.built-from"

if [ -f "$stamp" ] && [ -f "$prefix/lib/libopenjp2.a" ]; then
  echo "openjpeg-mingw: cached in $prefix ($(cat "$stamp"))"
  exit 0
fi

work="$prefix/src"
apt_dir="$work/apt"
rm -rf "$work"
mkdir -p "$apt_dir/etc/sources.list.d" "$apt_dir/etc/apt.conf.d" "$apt_dir/etc/preferences.d" "$apt_dir/lists/partial" \
         "$apt_dir/cache/archives/partial"
cat > "$apt_dir/etc/sources.list" <<SOURCES
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
SOURCES
cat > "$apt_dir/apt.conf" <<CONF
Dir::Etc "$apt_dir/etc";
Dir::Etc::sourcelist "sources.list";
Dir::Etc::sourceparts "sources.list.d";
Dir::Etc::preferences "preferences";
Dir::Etc::preferencesparts "preferences.d";
Dir::Etc::parts "apt.conf.d";
Dir::State::lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
APT::Sandbox::User "";
CONF
export APT_CONFIG="$apt_dir/apt.conf"
apt-get -q update
(cd "$work" && apt-get -q source openjpeg2)   # dpkg-source applies debian/patches
src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openjpeg2-*' | head -n1)"
[ -n "$src" ] || { echo "openjpeg-mingw: source package not unpacked" >&2; exit 1; }
version="$(cd "$src" && dpkg-parsechangelog -S Version)"

cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF \
  -DBUILD_DOC=OFF -DBUILD_JPIP=OFF -DBUILD_JAVA=OFF -DOPJ_USE_THREAD=ON
cmake --build "$work/build" -j "$(nproc 2>/dev/null || echo 2)"
cmake --install "$work/build"
echo "openjpeg2 $version (Debian source package, debian/patches applied)" > "$stamp"
rm -rf "$work"
echo "openjpeg-mingw: built $(cat "$stamp") into $prefix"
