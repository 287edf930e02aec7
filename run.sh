#!/usr/bin/env bash
# ./run.sh ARCHIVE [-no-convert]   extract ARCHIVE into the current folder
# ./run.sh                         build a demo archive in a new temporary folder and extract it there
# Either way it first builds, in build/ (or $MORVEX_BUILD_DIR), everything that
# `cmake --install` installs, so that an install can follow.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${MORVEX_BUILD_DIR:-$here/build}"

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target morvex_installables morvex_tex_demo >/dev/null

if [ $# -gt 0 ]; then
  exec "$build/morvex_tex_extractor" "$@"
fi

demo="$(mktemp -d -t morvex-demo.XXXXXX)"
cd "$demo"
"$build/morvex_tex_demo" demo.pak
status=0
"$build/morvex_tex_extractor" demo.pak || status=$?
echo
echo "demo folder: $demo"
ls -l "$demo"
exit "$status"
