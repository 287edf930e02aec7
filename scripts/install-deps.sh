#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# any is missing. Safe to run again: it does nothing when all are present.
set -euo pipefail

# The sanitizer build of test.sh uses g++ and its libasan8 and libubsan1; clang
# is needed only for the optional fuzz build.
packages=(
  g++ libasan8 libubsan1 cmake make pkg-config
  zlib1g-dev libdeflate-dev
  liballegro4-dev libloadpng4-dev
  libgtest-dev libpng-dev
)
# Extra groups, asked for by name: "bench", "fuzz" and "fixtures" (what
# tests/fixtures/make_images.py needs to make the packer's image fixtures again).
for extra in "$@"; do
  case "$extra" in
    bench) packages+=(libbenchmark-dev python3 python3-numpy python3-pil) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    fixtures) packages+=(python3 python3-pil imagemagick) ;;
    *) echo "install-deps: unknown group '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
