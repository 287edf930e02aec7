#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# any is missing. Safe to run again: it does nothing when all are present.
# As root it installs them; otherwise through sudo when sudo works without a
# password; otherwise it names the missing packages and the command that
# installs them, and exits with status 1.
set -euo pipefail

# The sanitizer builds of test.sh use g++ and its libasan8, libubsan1 and libtsan2; gzip
# (always there on Debian) compresses the man pages; the completion test drives
# bash-completion's functions; the Python module (python/) is built on
# python3-dev and pybind11-dev, hands out NumPy arrays, and its tests run on
# pytest and read images with Pillow; mypy checks its types (__init__.pyi) on
# the calls users write, with Pillow's types from python3-typeshed.
packages=(
  g++ libasan8 libubsan1 libtsan2 cmake make pkg-config gzip
  zlib1g-dev libdeflate-dev libwebp-dev libjpeg62-turbo-dev
  liballegro4-dev libloadpng4-dev
  libgtest-dev libpng-dev pngcheck
  bash-completion
  python3-dev pybind11-dev python3-numpy python3-pytest python3-pil mypy python3-typeshed
)
# Extra groups, asked for by name: "bench", "fuzz" (the optional builds),
# "package" (`cpack -G DEB` needs dpkg-shlibdeps from dpkg-dev and file to find
# the package's dependencies, and scripts/package-test.sh, which asks for this
# group, checks the packages with lintian and reads the examples' PNG files
# with Python's zlib),
# "fixtures" (what tests/fixtures/make_images.py needs to make the packer's
# image fixtures again), "browser" (the gallery page's browser test: Debian's
# chromium and its chromedriver, driven from Python's standard library; test.sh
# asks for it), "windows" (scripts/build-windows.sh: the mingw-w64 cross
# compilers, zlib built for them, Wine to run the tests, dpkg-source to unpack
# the dependencies' Debian sources, groff to turn the manuals into text,
# python3 to type Ctrl-C at a program on a terminal in scripts/windows-test.sh,
# nasm to assemble libjpeg-turbo's SIMD code as Debian's own build does),
# "coverage" (scripts/coverage.sh: gcovr, which reads the counts through
# g++'s own gcov), "icons" (scripts/gallery-screenshot.sh makes the README's
# picture from the PNG icons of adwaita-icon-theme) and "web"
# (scripts/build-web.sh: Debian's emscripten, dpkg-source to unpack the
# dependencies' Debian sources, python3 to put the page together).
for extra in "$@"; do
  case "$extra" in
    bench) packages+=(libbenchmark-dev python3 python3-numpy python3-pil) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    package) packages+=(dpkg-dev file lintian python3) ;;
    fixtures) packages+=(python3 python3-pil imagemagick) ;;
    browser) packages+=(chromium chromium-driver python3) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 dpkg-dev groff-base python3 nasm) ;;
    coverage) packages+=(gcovr) ;;
    icons) packages+=(adwaita-icon-theme) ;;
    web) packages+=(emscripten dpkg-dev python3) ;;
    *) echo "install-deps: unknown group '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo=(sudo -n)
else
  echo "install-deps: missing Debian packages: ${missing[*]}" >&2
  echo "install-deps: install them as root with this command, then run this script again:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "installing: ${missing[*]}" >&2
# Through env, since sudo drops the caller's environment.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
