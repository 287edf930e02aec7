#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc)"

"$here/scripts/install-deps.sh"

cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON >/dev/null
cmake --build "$here/build" -j"$jobs"
ctest --test-dir "$here/build" --output-on-failure -j"$jobs"
