#!/usr/bin/env bash
# scripts/web-screenshot.sh [BUILD] [PAGE]: makes doc/web.png, the README's
# picture of the browser page (PAGE, default build-web/morvex_tex.html, which
# scripts/build-web.sh makes) with an archive open: the archive is made by
# BUILD's (default build/) `morvex_tex create` from the icons of Debian's
# adwaita-icon-theme by scripts/icon-archive.sh, as the gallery's picture's is, and
# given to the page through its file chooser in headless Chromium, driven as
# tests/browser/web_page_browser_test.py drives it; the picture is taken once
# the page says every card's picture is drawn.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
page="${2:-$here/build-web/morvex_tex.html}"
[ -f "$page" ] || { echo "web-screenshot: no page $page (scripts/build-web.sh makes it)" >&2; exit 1; }
"$here/scripts/install-deps.sh" browser
scratch="$(mktemp -d -t morvex-shot.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
"$here/scripts/icon-archive.sh" "$build" "$scratch/game.pak"
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
