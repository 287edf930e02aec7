#!/usr/bin/env bash
# ./run.sh ARCHIVE [-no-convert]   extract ARCHIVE into the current folder
# ./run.sh                         build a demo archive in a new temporary folder and extract it there
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build" -j"$(nproc)" --target morvex_tex_extractor morvex_tex_demo >/dev/null

if [ $# -gt 0 ]; then
  exec "$here/build/morvex_tex_extractor" "$@"
fi

demo="$(mktemp -d -t morvex-demo.XXXXXX)"
cd "$demo"
"$here/build/morvex_tex_demo" demo.pak
status=0
"$here/build/morvex_tex_extractor" demo.pak || status=$?
echo
echo "demo folder: $demo"
ls -l "$demo"
exit "$status"
