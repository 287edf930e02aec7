#!/usr/bin/env bash
# scripts/gallery-screenshot.sh [BUILD]: makes doc/gallery.png, the README's
# picture of a gallery page, with the project's own tools: an archive of
# textures made by `morvex_tex create` from icons that Debian's
# adwaita-icon-theme package ships (/usr/share/icons/Adwaita, PNGs from 16 to
# 512 pixels a side), `morvex_tex gallery` on it, and a screenshot of the
# whole page in headless Chromium, driven as tests/browser/ drives it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
"$here/scripts/install-deps.sh" browser
scratch="$(mktemp -d -t morvex-shot.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
"$here/scripts/icon-archive.sh" "$build" "$scratch/game.pak"
cd "$scratch"
"$build/morvex_tex" gallery -q game.pak
# The page's full height in a window 1000 pixels wide, so that the last card
# is in the picture whole.
MORVEX_SHOT_PAGE="$scratch/game.html" MORVEX_SHOT_OUT="$here/doc/gallery.png" \
  PYTHONPATH="$here/tests/browser" python3 - <<'EOF'
import base64, os, shutil, tempfile
import gallery_browser_test as b

scratch = tempfile.mkdtemp(prefix="morvex-shot-")
driver = b.WebDriver(shutil.which("chromium"), shutil.which("chromedriver"), scratch)
try:
    def metrics(height):
        driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setDeviceMetricsOverride", "params": {
            "width": 1000, "height": height, "deviceScaleFactor": 1, "mobile": False}})
    metrics(700)
    driver.open("file://" + os.environ["MORVEX_SHOT_PAGE"])
    metrics(driver.run("return document.documentElement.scrollHeight;"))
    with open(os.environ["MORVEX_SHOT_OUT"], "wb") as f:
        f.write(base64.b64decode(driver.call("GET", "/screenshot")))
finally:
    driver.close()
    shutil.rmtree(scratch, ignore_errors=True)
EOF
echo "wrote $here/doc/gallery.png"
