#!/usr/bin/env bash
# scripts/gallery-screenshot.sh [BUILD]: makes doc/gallery.png, the README's
# picture of a gallery page, with the project's own tools: the demo archive,
# `morvex_tex gallery` on it, and a screenshot of the page in headless Chromium.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
"$here/scripts/install-deps.sh" browser
scratch="$(mktemp -d -t morvex-shot.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$build/morvex_tex_demo" demo.pak
"$build/morvex_tex" gallery demo.pak
# Chromium as root on a closed network needs these flags (see tests/browser/).
chromium --headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$scratch/profile" --force-color-profile=srgb --hide-scrollbars \
  --window-size=1000,640 --screenshot="$here/doc/gallery.png" "file://$scratch/demo.html" >/dev/null 2>&1
echo "wrote $here/doc/gallery.png"
