#!/usr/bin/env bash
# Cross-builds the three programs for 64-bit Windows: morvex_tex_extractor.exe,
# morvex_tex.exe and morvex_tex_pack.exe, statically linked, and a .zip of them
# with the README, the licence and the manuals as text, and the library: its
# headers, libmorvex_tex.a, and libmorvex_tex-1.dll with its import library.
#
#   scripts/build-windows.sh [OUT]     (default: build-windows/ in the source)
#
# Installs what it needs (Debian's mingw-w64 compilers, Wine, zlib for mingw),
# and cross-builds libdeflate, libpng, libwebp and libjpeg-turbo from Debian's source packages and
# GoogleTest from /usr/src/googletest, once: they stay in OUT/deps and are
# reused by later runs, with the licence texts of their sources in
# OUT/deps/licenses (and zlib's, from its header), which the .zip carries in
# licenses/. The programs and the test program are in OUT/build, the .zip in
# OUT. With MORVEX_WEB_PAGE_INSTALL naming the browser page (scripts/build-web.sh
# makes it), the .zip carries it beside the programs as morvex_tex.html. Wine's files go in OUT/wine, never in the user's home.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$here/build-windows}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
jobs="$(nproc)"
host=x86_64-w64-mingw32
toolchain="$here/cmake/mingw-w64.cmake"
deps="$out/deps"
# Bumped whenever what goes into deps changes, so that old caches are rebuilt.
deps_recipe=3

"$here/scripts/install-deps.sh" windows

who=build-windows
# shellcheck source=scripts/debian-sources.sh
. "$here/scripts/debian-sources.sh"

# The licence texts each library's terms ask a binary's distribution to carry,
# from its unpacked source in $2, into licenses/NAME.txt of the deps cache.
licence_files() {
  case "$1" in
    libdeflate) echo COPYING ;;
    libpng) echo LICENSE ;;
    libwebp) echo COPYING PATENTS ;;
    libjpeg-turbo) echo LICENSE.md README.ijg ;;
  esac
}
keep_licence() {
  local name="$1" src="$2" f
  mkdir -p "$deps/licenses"
  {
    for f in $(licence_files "$name"); do
      [ -s "$src/$f" ] || { echo "build-windows: $name's source has no $f" >&2; return 1; }
      printf '%s\n%s\n\n' "==== $name: $f" "$(cat "$src/$f")"
    done
  } >"$deps/licenses/$name.new" || { rm -f "$deps/licenses/$name.new"; return 1; }
  mv "$deps/licenses/$name.new" "$deps/licenses/$name.txt"
}

# A deps cache built before the licences were kept in it: each missing one is
# taken from the source of the version built (deps/versions), fetched again.
# False when one can't be had (that version gone from the mirrors).
find_licences() {
  local name package version tmp
  for name in libdeflate libpng libwebp libjpeg-turbo; do
    [ -s "$deps/licenses/$name.txt" ] && continue
    package="$name"
    [ "$name" = libpng ] && package=libpng1.6
    version="$(sed -n "s/^$package //p" "$deps/versions" 2>/dev/null | tail -n 1)"
    [ -n "$version" ] || return 1
    ensure_source_lists
    tmp="$(mktemp -d)"
    if ! (cd "$tmp" && apt-get source -qq --download-only "$package=$version" >/dev/null 2>&1) ||
      ! dpkg-source --no-check -x "$tmp/${package}_${version#*:}.dsc" "$tmp/src" >/dev/null ||
      ! keep_licence "$name" "$tmp/src"; then
      rm -rf "$tmp"
      return 1
    fi
    rm -rf "$tmp"
  done
}

build_deps() {
  echo "build-windows: cross-building libdeflate, libpng, libwebp, libjpeg-turbo and GoogleTest into $deps" >&2
  rm -rf "$deps"
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  ensure_source_lists

  fetch_source libdeflate "$deps/src/libdeflate"
  keep_licence libdeflate "$deps/src/libdeflate"
  make -s -C "$deps/src/libdeflate" -j"$jobs" CC="$host-gcc-posix" AR="$host-ar" STATIC_LIB_SUFFIX=.a libdeflate.a
  cp "$deps/src/libdeflate/libdeflate.a" "$deps/lib/"
  cp "$deps/src/libdeflate/libdeflate.h" "$deps/include/"
  local v
  v="$(sed -n 's/^#define LIBDEFLATE_VERSION_STRING[[:space:]]*"\(.*\)"/\1/p' "$deps/src/libdeflate/libdeflate.h")"
  cat >"$deps/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$deps
Name: libdeflate
Description: Fast implementation of DEFLATE, zlib, and gzip
Version: $v
Libs: -L\${prefix}/lib -ldeflate
Cflags: -I\${prefix}/include
PC

  fetch_source libpng1.6 "$deps/src/libpng"
  keep_licence libpng "$deps/src/libpng"
  cmake -S "$deps/src/libpng" -B "$deps/build/libpng" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMORVEX_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -Dld-version-script=OFF >/dev/null
  cmake --build "$deps/build/libpng" -j"$jobs" >/dev/null
  cmake --install "$deps/build/libpng" >/dev/null

  fetch_source libwebp "$deps/src/libwebp"
  keep_licence libwebp "$deps/src/libwebp"
  cmake -S "$deps/src/libwebp" -B "$deps/build/libwebp" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMORVEX_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -DBUILD_SHARED_LIBS=OFF -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
    -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF \
    -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF >/dev/null
  cmake --build "$deps/build/libwebp" -j"$jobs" >/dev/null
  cmake --install "$deps/build/libwebp" >/dev/null

  # The libjpeg API only (no TurboJPEG, no shared library), its SIMD code
  # assembled by nasm as Debian's package is.
  fetch_source libjpeg-turbo "$deps/src/libjpeg-turbo"
  keep_licence libjpeg-turbo "$deps/src/libjpeg-turbo"
  cmake -S "$deps/src/libjpeg-turbo" -B "$deps/build/libjpeg-turbo" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMORVEX_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON >/dev/null
  cmake --build "$deps/build/libjpeg-turbo" -j"$jobs" >/dev/null
  cmake --install "$deps/build/libjpeg-turbo" >/dev/null

  cmake -S /usr/src/googletest -B "$deps/build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMORVEX_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -DBUILD_GMOCK=OFF -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build "$deps/build/googletest" -j"$jobs" >/dev/null
  cmake --install "$deps/build/googletest" >/dev/null

  rm -rf "$deps/build" "$deps/src"
  echo "$deps_recipe" >"$deps/recipe"
}

if [ "$(cat "$deps/recipe" 2>/dev/null)" != "$deps_recipe" ]; then
  build_deps
elif ! find_licences; then
  echo "build-windows: the licences of the libraries in $deps can't be had; building them again" >&2
  build_deps
fi
# zlib is Debian's build for mingw-w64: its notice is the one its header opens with.
zlib_h="/usr/$host/include/zlib.h"
mkdir -p "$deps/licenses"
sed -n '1,/\*\//p' "$zlib_h" >"$deps/licenses/zlib.txt"
grep -q 'Permission is granted' "$deps/licenses/zlib.txt" || { echo "build-windows: no notice in $zlib_h" >&2; exit 1; }
# The mingw-w64 runtime and winpthreads, linked into every program too: Debian's
# account of their terms.
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$deps/licenses/mingw-w64.txt"

cmake -S "$here" -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMORVEX_WINDOWS_DEPS="$deps" \
  -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON -DMORVEX_WEB_PAGE_INSTALL="${MORVEX_WEB_PAGE_INSTALL:-}" >/dev/null
cmake --build "$out/build" -j"$jobs"
(cd "$out/build" && cpack -G ZIP -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.zip
