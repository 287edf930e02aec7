#!/usr/bin/env python3
"""The gallery page in a real browser: Debian's chromium, headless, driven by
chromedriver over WebDriver's HTTP protocol with nothing but Python's
standard library.

    gallery_browser_test.py --page PAGE --layout LAYOUT [--out DIR]
    gallery_browser_test.py --make-sample PROGRAM [--out DIR]

The layout (JSON) lists the page's cards in table order: index, the text the
name must show as, whether the entry is damaged, whether it has a thumbnail,
the colour its opaque part must show ("#rrggbb" or null), its transparent
part ("none", "left" half or "all") and the texture's width and height. With
--make-sample, PROGRAM writes a page and its layout first (any --option after
it is handed to PROGRAM). Checked, from the page opened as a file:
  - each thumbnail's colour at its card's place in a screenshot, exactly;
  - the checkerboard through transparent pixels;
  - a click on a picture, or Enter on its card, opens the full view: the
    texture at its own size times a whole factor (or as large as the window
    holds), its colour and checkerboard in a screenshot; Escape closes it and
    the card has the focus again;
  - a copy button hands its command to the clipboard, from the page's script;
  - windows 360, 420 and 800 pixels wide: nothing wider than the window, no
    card past its edge, the full view within it;
  - typing in the filter hides the cards whose names don't match, and
    "problems only" leaves just the damaged ones (and sorting reorders them);
  - names are text: no element or script made of one, no console error and
    no request but the page itself and its data: images; the page's policy
    refuses a request made after the fact;
  - the dark colour scheme and the light one;
  - without scripts, the plain grid in table order and no controls.
Before that, a control page with a request and a console error shows that
both are seen. Exit status 0 when every check holds, 1 when one fails, 77
(skipped) when chromium or chromedriver is not installed.
"""

import argparse
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zlib

SKIP = 77

# As root on a closed network, chromium needs every one of these: no sandbox,
# no GPU, none of its own connections (which are refused and make it hang),
# a fresh profile. The colour profile and scale keep a screenshot's pixels
# exactly the page's colours.
CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--disable-extensions", "--disable-default-apps",
    "--force-color-profile=srgb", "--force-device-scale-factor=1", "--hide-scrollbars",
    "--window-size=1280,900",
]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message, flush=True)
    return condition


# How WebDriver names an element in a script's arguments.
ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"


def find_program(env, *names):
    path = os.environ.get(env)
    if path:
        return path if os.access(path, os.X_OK) else None
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    return None


class WebDriver:
    """A WebDriver session on a chromedriver this process started."""

    def __init__(self, chromium, chromedriver, scratch):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.log = open(os.path.join(scratch, "chromedriver.log"), "wb")
        self.process = subprocess.Popen([chromedriver, "--port=%d" % self.port], stdout=self.log,
                                        stderr=subprocess.STDOUT)
        self.base = "http://127.0.0.1:%d" % self.port
        self.session = None
        deadline = time.monotonic() + 30
        while True:
            try:
                if self.request("GET", "/status", timeout=2)["value"].get("ready"):
                    break
            except (OSError, ValueError):
                pass
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("chromedriver did not start")
            time.sleep(0.1)
        capabilities = {
            "browserName": "chrome",
            "goog:chromeOptions": {
                "binary": chromium,
                "args": CHROMIUM_FLAGS + ["--user-data-dir=" + os.path.join(scratch, "profile")],
            },
            "goog:loggingPrefs": {"browser": "ALL", "performance": "ALL"},
        }
        reply = self.request("POST", "/session", {"capabilities": {"alwaysMatch": capabilities}}, timeout=90)
        self.session = reply["value"]["sessionId"]

    def request(self, method, path, body=None, timeout=60):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as reply:
                return json.loads(reply.read())
        except urllib.error.HTTPError as e:
            raise RuntimeError("%s %s: %s" % (method, path, e.read().decode(errors="replace")[:500]))

    def call(self, method, path, body=None):
        return self.request(method, "/session/%s%s" % (self.session, path), body)["value"]

    def run(self, script, *args):
        return self.call("POST", "/execute/sync", {"script": script, "args": list(args)})

    def open(self, url):
        self.call("POST", "/url", {"url": url})

    def element(self, css):
        found = self.call("POST", "/element", {"using": "css selector", "value": css})
        return next(iter(found.values()))

    def logs(self, kind):
        return self.call("POST", "/se/log", {"type": kind})

    def close(self):
        try:
            if self.session:
                self.request("DELETE", "/session/" + self.session, timeout=30)
        except (OSError, RuntimeError):
            pass
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


def decode_png(data):
    """An 8-bit RGB or RGBA PNG (as chromium's screenshots are) as rows of (r, g, b)."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at, idat, width, height, channels = 8, b"", 0, 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour_type not in (2, 6) or interlace:
                raise ValueError("PNG kind not handled")
            channels = 3 if colour_type == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        filter_type = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if filter_type == 1:
                line[i] = (line[i] + left) & 255
            elif filter_type == 2:
                line[i] = (line[i] + up) & 255
            elif filter_type == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif filter_type == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return rows


def severe_console_entries(driver):
    return [e for e in driver.logs("browser") if e.get("level") == "SEVERE"]


def network_events(driver):
    """The requests the page started, by id: url, and the reason it was blocked, if it was."""
    requests = {}
    for entry in driver.logs("performance"):
        message = json.loads(entry["message"])["message"]
        params = message.get("params", {})
        if message.get("method") == "Network.requestWillBeSent":
            requests[params["requestId"]] = {"url": params["request"]["url"], "blocked": None}
        elif message.get("method") == "Network.loadingFailed" and params.get("requestId") in requests:
            requests[params["requestId"]]["blocked"] = params.get("blockedReason")
    return list(requests.values())


def requested_urls(driver):
    return [r["url"] for r in network_events(driver)]


def control_check(driver, scratch):
    """The request and the console error that the checks below must see."""
    path = os.path.join(scratch, "control.html")
    with open(path, "w") as f:
        f.write('<!DOCTYPE html><img src="http://127.0.0.1:9/control.png">'
                '<script>console.error("control")</script>')
    driver.logs("browser")
    driver.logs("performance")
    driver.open("file://" + path)
    seen = [False, False]

    def look():
        seen[0] = seen[0] or any("control" in e.get("message", "") for e in severe_console_entries(driver))
        seen[1] = seen[1] or any("127.0.0.1:9/control.png" in u for u in requested_urls(driver))
        return all(seen)
    return until(look, bool)


def check_shot(driver, img, card, what):
    """The opaque part of an image element in the card's colour and its clear
    part on the checkerboard, in a screenshot of the element where it lies."""
    index = str(card["index"])
    shot = decode_png(base64.b64decode(driver.call("GET", "/element/%s/screenshot" % img)))
    height, width = len(shot), len(shot[0])

    # The image's pixels from fx0 to fx1 of its width, one pixel in from its
    # edges.
    def region(fx0, fx1):
        return [shot[y][x] for y in range(1, height - 1)
                for x in range(1 + int(fx0 * (width - 2)), 1 + int(fx1 * (width - 2)))]
    opaque = {"none": (0, 1), "left": (0.55, 1), "all": None}[card["clear"]]
    clear = {"none": None, "left": (0, 0.45), "all": (0, 1)}[card["clear"]]
    if card["colour"] and opaque:
        want = tuple(int(card["colour"][k:k + 2], 16) for k in (1, 3, 5))
        pixels = region(*opaque)
        wrong = [p for p in pixels if p != want]
        check(pixels and not wrong, "card %s, %s: %d of %d pixels not %s, e.g. %s" %
              (index, what, len(wrong), len(pixels), card["colour"], wrong[:3]))
    if clear:
        pixels = region(*clear)
        counts = {}
        for p in pixels:
            counts[p] = counts.get(p, 0) + 1
        shares = sorted(counts.values(), reverse=True)
        # Two colours in about equal shares: the checkerboard's squares.
        check(len(shares) >= 2 and shares[1] >= len(pixels) // 5,
              "card %s, %s: no checkerboard under its transparent pixels: %s" %
              (index, what, sorted(counts.items(), key=lambda c: -c[1])[:4]))


def check_colours(driver, cards, out_dir):
    """Each thumbnail's colours where it lies on the page."""
    for card in cards:
        index = str(card["index"])
        if not card["thumbnail"]:
            continue
        try:
            img = driver.element("#entry-%s .thumb img" % index)
        except RuntimeError:
            check(False, "card %s has no thumbnail" % index)
            continue
        check(driver.run("return arguments[0].complete && arguments[0].naturalWidth > 0;", {ELEMENT_KEY: img}),
              "card %s: its thumbnail was not decoded" % index)
        check_shot(driver, img, card, "its thumbnail")
    if out_dir:
        driver.run("window.scrollTo(0, 0);")
        with open(os.path.join(out_dir, "gallery-screenshot.png"), "wb") as f:
            f.write(base64.b64decode(driver.call("GET", "/screenshot")))


def press(driver, key):
    """A key pressed and released where the focus is."""
    driver.call("POST", "/actions", {"actions": [{"type": "key", "id": "keyboard", "actions": [
        {"type": "keyDown", "value": key}, {"type": "keyUp", "value": key}]}]})
    driver.call("DELETE", "/actions")


ENTER, ESCAPE = "\ue007", "\ue00c"


def view_state(driver):
    return driver.run("""
        const view = document.getElementById('view'), img = document.getElementById('view-image');
        const r = img.getBoundingClientRect(), d = view.getBoundingClientRect();
        return {open: view.open, width: r.width, height: r.height, natural: [img.naturalWidth, img.naturalHeight],
                inside: d.left >= 0 && d.top >= 0 && d.right <= window.innerWidth && d.bottom <= window.innerHeight,
                room: [window.innerWidth, window.innerHeight], note: document.getElementById('view-note').textContent,
                title: document.getElementById('view-title').textContent,
                focus: document.activeElement ? document.activeElement.id : null,
                ready: view.hasAttribute('data-ready'), closed: view.hasAttribute('data-closed')};""")


# How long to wait for what the page says it has done: long enough for a
# machine busy with a build, and only ever spent when the page never says it.
PATIENCE = 60.0


def until(probe, done, seconds=PATIENCE):
    """probe() once done(result) holds, or as it is when the time is up."""
    deadline = time.monotonic() + seconds
    got = probe()
    while not done(got) and time.monotonic() < deadline:
        time.sleep(0.05)
        got = probe()
    return got


def settled_view(driver, done):
    """The view's state once `done(state)` holds, or as it is when the time
    is up: the page opens and closes its view and moves the focus from its
    own event handlers, which run after the key or click that asked."""
    return until(lambda: view_state(driver), done)


def closed_view(driver):
    """The view once the page says its close is done (its close event, which
    comes after the dialog has closed, has put the focus back on the card)."""
    return settled_view(driver, lambda st: not st["open"] and st["closed"])


def opened_view(driver, title):
    """The view once it says it is ready (its picture decoded and painted,
    its note written) for the entry whose title holds `title`."""
    return settled_view(driver, lambda st: st["open"] and st["ready"] and title in st["title"])


def check_full_view(driver, cards):
    """Every card with a picture opens in the full view, by a click or by
    Enter on the focused card (in turn): the texture at its own size times a
    whole factor when the window holds it, else within the window; its
    pixels as the card's; Escape closes it, the focus back on its card."""
    for turn, card in enumerate(c for c in cards if c["thumbnail"]):
        index = card["index"]
        way = "a click" if turn % 2 == 0 else "Enter"
        if way == "a click":
            img = driver.element("#entry-%d .thumb img" % index)
            driver.call("POST", "/element/%s/click" % img, {})
        else:
            driver.run("document.getElementById(arguments[0]).focus();", "entry-%d" % index)
            press(driver, ENTER)
        state = opened_view(driver, card["text"])
        if not check(state["open"], "card %d: %s opens no view" % (index, way)):
            continue
        w, h = card["width"], card["height"]
        fits = w <= state["room"][0] - 64 and h <= state["room"][1] - 128
        factor = state["width"] / w
        if fits:
            check(factor >= 1 and factor == int(factor) and state["height"] == h * factor,
                  "card %d: the view shows %gx%g of a %dx%d texture" % (index, state["width"], state["height"], w, h))
        check(state["inside"], "card %d: the view runs past the window" % index)
        check(card["text"] in state["title"] and ("%d x %d" % (w, h)) in state["title"],
              "card %d: the view is titled %r" % (index, state["title"]))
        whole = state["natural"][0] >= w and state["natural"][1] >= h
        check(whole == (state["note"] == ""), "card %d: the view's note %r for a %s picture" %
              (index, state["note"], "whole" if whole else "smaller"))
        check_shot(driver, driver.element("#view-image"), card, "its view")
        press(driver, ESCAPE)
        state = closed_view(driver)
        check(not state["open"], "card %d: Escape leaves the view open" % index)
        check(state["focus"] == "entry-%d" % index, "card %d: the focus is on %s after the view" % (index, state["focus"]))
    # A card without a picture opens nothing, and takes no focus.
    for card in (c for c in cards if not c["thumbnail"]):
        focused = driver.run("""
            document.activeElement.blur();
            const card = document.getElementById(arguments[0]);
            card.focus();
            card.querySelector('.thumb').click();
            return document.activeElement === card;""", "entry-%d" % card["index"])
        press(driver, ENTER)
        check(not focused and not view_state(driver)["open"], "card %d has no picture but opens a view" % card["index"])
        if view_state(driver)["open"]:
            press(driver, ESCAPE)


def check_copy(driver, cards):
    """Each card's copy buttons, shown by the script, hand their command to
    the clipboard's writeText (watched here, then called as it was)."""
    copied = driver.run("""
        window.__copied = [];
        const write = navigator.clipboard.writeText.bind(navigator.clipboard);
        navigator.clipboard.writeText = text => { window.__copied.push(text); return write(text).catch(() => {}); };
        const buttons = Array.from(document.querySelectorAll('#cards button.copy'));
        return {count: buttons.length, hidden: buttons.filter(b => b.hidden || !b.getClientRects().length).length,
                commands: document.querySelectorAll('#cards code').length,
                codes: buttons.map(b => b.parentNode.querySelector('code').textContent)};""")
    check(copied["count"] > 0 and copied["count"] == copied["commands"] and copied["hidden"] == 0,
          "%d copy buttons, %d hidden, for %d commands" % (copied["count"], copied["hidden"], copied["commands"]))
    for k in (0, len(copied["codes"]) - 1) if copied["codes"] else ():
        button = driver.run("return document.querySelectorAll('#cards button.copy')[arguments[0]];", k)
        driver.call("POST", "/element/%s/click" % next(iter(button.values())), {})
        got = until(lambda: driver.run(
            "return [window.__copied, document.querySelectorAll('#cards button.copy')[arguments[0]].textContent];", k),
            lambda got: got[0] and got[1] in ("copied", "selected"))
        check(got[0] and got[0][-1] == copied["codes"][k], "copy button %d copied %r, not %r" %
              (k, got[0][-1:] if got[0] else None, copied["codes"][k]))
        check(got[1] in ("copied", "selected"), "copy button %d says %r" % (k, got[1]))


def check_narrow(driver, cards):
    """In windows 360, 420 and 800 pixels wide nothing is wider than the
    window: no horizontal scroll, every card and its picture within it, and
    the full view of the widest picture inside the window too."""
    widest = max((c for c in cards if c["thumbnail"]), key=lambda c: c["width"], default=None)
    for width in (360, 420, 800):
        driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setDeviceMetricsOverride", "params": {
            "width": width, "height": 740, "deviceScaleFactor": 1, "mobile": False}})
        got = driver.run("""
            const root = document.documentElement;
            const past = Array.from(document.querySelectorAll('#cards > article, .thumb img, code, h1, #controls'))
                .filter(e => e.getBoundingClientRect().right > window.innerWidth + 0.5)
                .map(e => (e.closest('article') || e).id || e.tagName);
            return {inner: window.innerWidth, scroll: root.scrollWidth, past: past.slice(0, 5)};""")
        check(got["inner"] == width, "the window is %d wide, not %d" % (got["inner"], width))
        check(got["scroll"] <= got["inner"], "%d wide: the page is %d wide" % (width, got["scroll"]))
        check(not got["past"], "%d wide: past the window's edge: %s" % (width, got["past"]))
        if widest:
            driver.run("document.getElementById(arguments[0]).focus();", "entry-%d" % widest["index"])
            press(driver, ENTER)
            state = opened_view(driver, widest["text"])
            check(state["open"] and state["inside"] and state["width"] <= width,
                  "%d wide: the view of card %d is %g wide" % (width, widest["index"], state["width"]))
            press(driver, ESCAPE)
            closed_view(driver)
    driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.clearDeviceMetricsOverride", "params": {}})


def visible_cards(driver):
    return driver.run("""
        return Array.from(document.querySelectorAll('#cards > article'))
            .filter(c => c.getClientRects().length > 0).map(c => Number(c.dataset.index));""")


def type_into(driver, element, text):
    driver.call("POST", "/element/%s/value" % element, {"text": text})


def check_controls(driver, cards):
    all_indices = [c["index"] for c in cards]
    check(driver.run("return !document.getElementById('controls').hidden;"), "the script did not run")
    check(visible_cards(driver) == all_indices, "not every card shown at first")
    by_index = {c["index"]: c for c in cards}
    box = driver.element("#filter")
    for text in ("blue", "CLEAR", ".tga", "zzz"):
        type_into(driver, box, text)
        want = [i for i in all_indices if text.lower() in by_index[i]["text"].lower()]
        got = visible_cards(driver)
        check(got == want, "filter %r shows %s, not %s" % (text, got, want))
        type_into(driver, box, "\ue003" * len(text))  # backspaces
    check(visible_cards(driver) == all_indices, "not every card shown once the filter is empty")
    only = driver.element("#problems-only")
    driver.call("POST", "/element/%s/click" % only, {})
    want = [i for i in all_indices if by_index[i]["damaged"]]
    check(want and visible_cards(driver) == want, "problems only shows %s, not %s" % (visible_cards(driver), want))
    driver.call("POST", "/element/%s/click" % only, {})
    check(visible_cards(driver) == all_indices, "not every card shown once problems only is off")
    for key, option in (("name", "name"), ("size", "size"), ("index", "index")):
        driver.call("POST", "/element/%s/click" % driver.element("#sort"), {})
        driver.call("POST", "/element/%s/click" % driver.element("#sort option[value='%s']" % option), {})
        order = driver.run("""
            return Array.from(document.querySelectorAll('#cards > article'))
                .map(c => [Number(c.dataset.index), c.querySelector('.name').textContent, Number(c.dataset.size)]);""")
        if key == "name":
            want = sorted(order, key=lambda c: ([ord(ch) for ch in c[1]], c[0]))
        elif key == "size":
            want = sorted(order, key=lambda c: (c[2], c[0]))
        else:
            want = sorted(order)
        check(order == want, "sorting by %s gives %s" % (key, [c[0] for c in order]))


def check_names_are_text(driver, cards):
    found = driver.run("""
        const names = {};
        for (const card of document.querySelectorAll('#cards > article'))
            names[card.dataset.index] = {text: card.querySelector('.name').textContent,
                                         children: card.querySelector('.name').childElementCount};
        const handlers = [];
        for (const e of document.querySelectorAll('*'))
            for (const a of e.attributes) if (a.name.startsWith('on')) handlers.push(e.tagName + ' ' + a.name);
        return {names: names, handlers: handlers, pwned: window.__pwned === undefined ? null : window.__pwned,
                scripts: document.scripts.length, images: document.images.length,
                links: document.querySelectorAll('a, link, iframe, object, embed, form, base').length,
                title: document.title};""")
    for card in cards:
        name = found["names"].get(str(card["index"]))
        if check(name is not None, "card %d missing" % card["index"]):
            check(name["text"] == card["text"], "card %d shows %r, not %r" % (card["index"], name["text"], card["text"]))
            check(name["children"] == 0, "card %d's name holds elements" % card["index"])
    check(not found["handlers"], "event handler attributes: %s" % found["handlers"])
    check(found["pwned"] is None, "a name's script ran")
    check(found["scripts"] == 1, "%d scripts, not the page's one" % found["scripts"])
    # The thumbnails, and the full view's one image, made by the script.
    check(found["images"] == sum(1 for c in cards if c["thumbnail"]) + 1, "%d images" % found["images"])
    check(found["links"] == 0, "links, frames or forms on the page")


def check_quiet(driver, page_url):
    errors = severe_console_entries(driver)
    check(not errors, "console errors: %s" % [e.get("message") for e in errors][:5])
    others = [u for u in requested_urls(driver) if u != page_url and not u.startswith("data:")]
    check(not others, "requests made: %s" % others[:5])


def check_colour_schemes(driver):
    """Light text on a dark page in the dark scheme, and the other way round in the light one."""
    def luminance(css):
        r, g, b = (int(v) for v in css[css.index("(") + 1:css.index(")")].split(",")[:3])
        return (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255
    for scheme in ("dark", "light"):
        driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setEmulatedMedia", "params": {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]}})
        colours = driver.run("""
            const body = getComputedStyle(document.body), card = getComputedStyle(document.querySelector('.card'));
            return [body.backgroundColor, body.color, card.backgroundColor];""")
        page, text, card = (luminance(c) for c in colours)
        if scheme == "dark":
            check(page < 0.2 and card < 0.3 and text > 0.7, "the dark scheme shows %s" % colours)
        else:
            check(page > 0.8 and card > 0.7 and text < 0.3, "the light scheme shows %s" % colours)


def check_without_scripts(driver, cards):
    """With scripts off, the plain grid: every card in table order, the controls hidden."""
    driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setScriptExecutionDisabled", "params": {"value": True}})
    driver.call("POST", "/refresh", {})
    shown = driver.run("""
        return [!document.getElementById('controls').getClientRects().length,
                document.getElementById('shown').textContent,
                Array.from(document.querySelectorAll('#cards > article'))
                    .filter(c => c.getClientRects().length > 0).map(c => Number(c.dataset.index))];""")
    driver.call("POST", "/goog/cdp/execute", {"cmd": "Emulation.setScriptExecutionDisabled", "params": {"value": False}})
    check(shown[0] and shown[1] == "", "the controls show without scripts")
    check(shown[2] == [c["index"] for c in cards], "without scripts the cards shown are %s" % shown[2])


def check_policy(driver):
    """A request made after the fact, as injected markup would, is refused by the page's policy."""
    driver.run("""
        window.__violations = [];
        document.addEventListener('securitypolicyviolation', e => window.__violations.push(e.violatedDirective));
        const img = document.createElement('img');
        img.src = 'http://127.0.0.1:9/policy-probe.png';
        document.body.appendChild(img);""")
    violations = until(lambda: driver.run("return window.__violations;"), bool)
    probes = [r for r in network_events(driver) if "policy-probe" in r["url"]]
    check(violations and violations[0].startswith("img-src"), "no policy violation reported: %s" % violations)
    check(all(r["blocked"] == "csp" for r in probes), "the policy let a request through: %s" % probes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page")
    parser.add_argument("--layout")
    parser.add_argument("--make-sample")
    parser.add_argument("--out", help="folder for the sample and the screenshot")
    args, sample_options = parser.parse_known_args()

    chromium = find_program("MORVEX_CHROMIUM", "chromium", "chromium-browser")
    chromedriver = find_program("MORVEX_CHROMEDRIVER", "chromedriver")
    if not chromium or not chromedriver:
        print("SKIPPED: the browser test needs Debian's chromium and chromium-driver "
              "(scripts/install-deps.sh browser); %s not found" %
              " and ".join(n for n, p in (("chromium", chromium), ("chromedriver", chromedriver)) if not p))
        return SKIP

    scratch = tempfile.mkdtemp(prefix="morvex-browser-")
    out_dir = args.out or scratch
    os.makedirs(out_dir, exist_ok=True)
    page, layout = args.page, args.layout
    if args.make_sample:
        page = os.path.join(out_dir, "sample-gallery.html")
        layout = os.path.join(out_dir, "sample-gallery.json")
        subprocess.run([args.make_sample, page, layout] + sample_options, check=True, timeout=120)
    if not page or not layout:
        parser.error("give --page and --layout, or --make-sample")
    with open(layout) as f:
        cards = json.load(f)["cards"]
    page_url = "file://" + os.path.abspath(page)

    driver = None
    try:
        driver = WebDriver(chromium, chromedriver, scratch)
        driver.call("POST", "/timeouts", {"script": 30000, "pageLoad": 60000})
        if not check(control_check(driver, scratch), "the control page's request and console error were not seen"):
            return 1
        driver.logs("browser")
        driver.logs("performance")
        driver.open(page_url)
        check_names_are_text(driver, cards)
        check_colours(driver, cards, args.out)
        check_controls(driver, cards)
        check_full_view(driver, cards)
        check_copy(driver, cards)
        check_narrow(driver, cards)
        check_quiet(driver, page_url)
        check_colour_schemes(driver)
        check_without_scripts(driver, cards)
        driver.open(page_url)
        check_policy(driver)
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.SubprocessError) as e:
        check(False, "%s: %s" % (type(e).__name__, e))
    finally:
        if driver:
            driver.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d checks failed" % len(failures) if failures else "gallery page: every browser check holds")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
