#!/usr/bin/env bash
# Builds the library for the browser (WebAssembly, with Debian's emscripten)
# and the page that opens archives with it: OUT/morvex_tex.html, one file
# holding the page, its script, the worker's script and the module, that
# works opened from disk and makes no request.
#
#   scripts/build-web.sh [OUT]     (default: build-web/ in the source)
#
# Installs what it needs (install-deps.sh web) and builds zlib, libdeflate,
# libpng, libwebp and libjpeg-turbo from Debian's source packages once: they
# stay in OUT/deps and are reused by later runs. The library and the module
# are built in OUT/build. emscripten's own libraries come prebuilt with
# Debian's package (its cache is frozen), so a first build compiles nothing
# of emscripten's.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$here/build-web}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
jobs="$(nproc)"
toolchain="$here/cmake/emscripten.cmake"
deps="$out/deps"
# Bumped whenever what goes into deps changes, so that old caches are rebuilt.
deps_recipe=1

"$here/scripts/install-deps.sh" web
# emscripten's JavaScript tools require Debian's node-acorn, which Debian's
# node finds by itself and a node installed from elsewhere finds through this.
export NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}"

who=build-web
# shellcheck source=scripts/debian-sources.sh
. "$here/scripts/debian-sources.sh"

# A CMake project of the dependencies, configured for the browser and
# installed into the deps prefix.
build_cmake() {
  local name="$1"
  shift
  cmake -S "$deps/src/$name" -B "$deps/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMORVEX_WEB_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" "$@" >/dev/null
  cmake --build "$deps/build/$name" -j"$jobs" >/dev/null
  cmake --install "$deps/build/$name" >/dev/null
}

build_deps() {
  echo "build-web: building zlib, libdeflate, libpng, libwebp and libjpeg-turbo into $deps" >&2
  rm -rf "$deps"
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  ensure_source_lists

  # zlib's own configure script: Debian's source drops a file its CMake project names.
  fetch_source zlib "$deps/src/zlib"
  (cd "$deps/src/zlib" && CC=emcc AR=emar RANLIB=emranlib CFLAGS=-O2 ./configure --static --prefix="$deps" >/dev/null &&
    make -s -j"$jobs" libz.a >/dev/null && make -s install >/dev/null)

  fetch_source libdeflate "$deps/src/libdeflate"
  make -s -C "$deps/src/libdeflate" -j"$jobs" CC=emcc AR=emar CFLAGS=-O2 libdeflate.a
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
  build_cmake libpng -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -Dld-version-script=OFF

  # No threads (the page runs the library on one), no SIMD (plain WebAssembly).
  fetch_source libwebp "$deps/src/libwebp"
  build_cmake libwebp -DBUILD_SHARED_LIBS=OFF -DWEBP_USE_THREAD=OFF -DWEBP_ENABLE_SIMD=OFF \
    -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF -DWEBP_BUILD_GIF2WEBP=OFF \
    -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF \
    -DWEBP_BUILD_EXTRAS=OFF

  # The libjpeg API only, in plain C (no SIMD code for WebAssembly): the
  # static library alone is built (its programs are not), and put in place
  # by hand, with the pkg-config file the build wrote for it. The sizes of
  # size_t and long are told: CMake's check of them misreads WebAssembly
  # objects (a size_t of 7 bytes).
  fetch_source libjpeg-turbo "$deps/src/libjpeg-turbo"
  local jpeg="$deps/build/libjpeg-turbo"
  cmake -S "$deps/src/libjpeg-turbo" -B "$jpeg" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMORVEX_WEB_DEPS="$deps" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DSIZE_T=4 -DUNSIGNED_LONG=4 >/dev/null
  cmake --build "$jpeg" -j"$jobs" --target jpeg-static >/dev/null
  cp "$jpeg/libjpeg.a" "$deps/lib/"
  cp "$deps/src/libjpeg-turbo/jpeglib.h" "$deps/src/libjpeg-turbo/jmorecfg.h" "$deps/src/libjpeg-turbo/jerror.h" \
    "$jpeg/jconfig.h" "$deps/include/"
  cp "$jpeg/pkgscripts/libjpeg.pc" "$deps/lib/pkgconfig/"

  rm -rf "$deps/build" "$deps/src"
  echo "$deps_recipe" >"$deps/recipe"
}

if [ "$(cat "$deps/recipe" 2>/dev/null)" != "$deps_recipe" ]; then
  build_deps
fi

cmake -S "$here" -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMORVEX_WEB_DEPS="$deps" \
  -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON >/dev/null
cmake --build "$out/build" -j"$jobs" --target morvex_tex_page
cp "$out/build/web/morvex_tex.html" "$out/morvex_tex.html"
ls -l "$out/morvex_tex.html"
