#!/usr/bin/env bash
# scripts/web-screenshot.sh [BUILD] [PAGE]: makes doc/web.png, the README's
# picture of the browser page (PAGE, default build-web/morvex_tex.html, which
# scripts/build-web.sh makes) with an archive open: the archive is made by
# BUILD's (default build/) `morvex_tex create` from the icons of Debian's
# adwaita-icon-theme, as scripts/gallery-screenshot.sh makes its own, and
# given to the page through its file chooser in headless Chromium, driven as
# tests/browser/web_page_browser_test.py drives it; the picture is taken once
# the page says every card's picture is drawn.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
page="${2:-$here/build-web/morvex_tex.html}"
[ -f "$page" ] || { echo "web-screenshot: no page $page (scripts/build-web.sh makes it)" >&2; exit 1; }
"$here/scripts/install-deps.sh" browser icons
icons=/usr/share/icons/Adwaita
scratch="$(mktemp -d -t morvex-shot.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/textures/devices" "$scratch/textures/places" "$scratch/textures/ui"
cp "$icons/512x512/devices/input-gaming.png" "$icons/512x512/devices/computer.png" \
  "$icons/256x256/places/user-trash.png" "$scratch/textures/devices/"
cp "$icons/512x512/places/folder-pictures.png" "$icons/512x512/mimetypes/x-office-drawing.png" \
  "$scratch/textures/places/"
cp "$icons/48x48/legacy/camera-photo.png" "$icons/48x48/legacy/applications-games.png" \
  "$icons/16x16/places/folder-download.png" "$scratch/textures/ui/"
(cd "$scratch" && "$build/morvex_tex" create -q game.pak textures)
# The page's full height in a window 1000 pixels wide.
MORVEX_SHOT_PAGE="$page" MORVEX_SHOT_ARCHIVE="$scratch/game.pak" MORVEX_SHOT_OUT="$here/doc/web.png" \
  PYTHONPATH="$here/tests/browser" python3 - <<'EOF'
import base64, os, shutil, sys, tempfile
import gallery_browser_test as b

scratch = tempfile.mkdtemp(prefix="morvex-shot-")
driver = b.WebDriver(shutil.which("chromium"), shutil.which("chromedriver"), scratch)
try:
    def metrics(height):
        driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setDeviceMetricsOverride", "params": {
            "width": 1000, "height": height, "deviceScaleFactor": 1, "mobile": False}})
    metrics(700)
    driver.open("file://" + os.path.abspath(os.environ["MORVEX_SHOT_PAGE"]))
    archive = os.environ["MORVEX_SHOT_ARCHIVE"]
    driver.call("POST", "/element/%s/value" % driver.element("#open"), {"text": archive})
    state = b.until(lambda: driver.run("""
        const s = document.getElementById('archive');
        return document.getElementById('archive-name').textContent === arguments[0] ? s.dataset.thumbs || null : null;""",
        os.path.basename(archive)), lambda t: t == "done")
    if state != "done":
        sys.exit("web-screenshot: the page did not show the archive's pictures (%s)" % state)
    metrics(driver.run("return document.documentElement.scrollHeight;"))
    with open(os.environ["MORVEX_SHOT_OUT"], "wb") as f:
        f.write(base64.b64decode(driver.call("GET", "/screenshot")))
finally:
    driver.close()
    shutil.rmtree(scratch, ignore_errors=True)
EOF
echo "wrote $here/doc/web.png"
