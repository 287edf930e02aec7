#!/usr/bin/env bash
# scripts/icon-archive.sh BUILD OUT.pak: the archive the README's pictures
# show, made by BUILD's `morvex_tex create` from icons that Debian's
# adwaita-icon-theme ships (/usr/share/icons/Adwaita, PNGs from 16 to 512
# pixels a side): large, middle-sized and small textures, some with soft
# transparent edges, in three folders.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "$1" && pwd)"
out="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
"$here/scripts/install-deps.sh" icons
icons=/usr/share/icons/Adwaita
scratch="$(mktemp -d -t morvex-icons.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/textures/devices" "$scratch/textures/places" "$scratch/textures/ui"
cp "$icons/512x512/devices/input-gaming.png" "$icons/512x512/devices/computer.png" \
  "$icons/256x256/places/user-trash.png" "$scratch/textures/devices/"
cp "$icons/512x512/places/folder-pictures.png" "$icons/512x512/mimetypes/x-office-drawing.png" \
  "$scratch/textures/places/"
cp "$icons/48x48/legacy/camera-photo.png" "$icons/48x48/legacy/applications-games.png" \
  "$icons/16x16/places/folder-download.png" "$scratch/textures/ui/"
(cd "$scratch" && "$build/morvex_tex" create -q "$out" textures)
