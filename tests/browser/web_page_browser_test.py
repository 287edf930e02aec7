#!/usr/bin/env python3
"""The browser page (scripts/build-web.sh: morvex_tex.html) in Debian's
chromium, headless, driven as gallery_browser_test.py drives the gallery.

    web_page_browser_test.py --page PAGE --tex MORVEX_TEX

Archives are built here by the native `morvex_tex create` from PNG files
written here; the page, opened from disk, must agree with the native
programs on each:
  - the archive given through the file input shows a card per entry, each
    carrying data-index; a second one gets a tab; names holding markup are
    text; the filter hides cards; "Test every entry" finds test --json's;
  - the README's example runs as written;
  - morvexTex.open(bytes): the entries (index, name, type, size, width,
    height) and the problem kinds equal `morvex_tex list --json`'s;
  - pixels(i) equal the PNG file `extract --format png` writes, read by
    Pillow; image(i, F) is that file byte for byte, for each format F;
  - test() finds the kinds `test --json` finds, entry by entry;
  - create() is byte for byte `create -j 1`, for both types, from PNG, JPEG
    and WebP files;
  - replace(), delete(), rename(), add() and update() give what the native
    commands give; what can't be done is refused with the library's kinds;
  - an aborted test rejects with AbortError and the page works on;
  - an entry too large for the module's memory fails with no_memory, and
    the page works on;
  - no request leaves the page, and nothing is logged as an error.
Exit status 0 when every check holds, 1 when one fails, 77 (skipped) when
chromium or chromedriver is not installed.
"""

import argparse
import base64
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gallery_browser_test as gb  # noqa: E402  (WebDriver and the checks' helpers)

from PIL import Image  # noqa: E402

check = gb.check
FORMATS = ("png", "tga", "bmp", "pcx", "webp")


def png_file(width, height, pixel):
    """An 8-bit RGBA PNG whose pixel (x, y) is pixel(x, y)."""
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def noise_png(side):
    """A side x side RGBA PNG of noise: slow to inflate once packed."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + os.urandom(side * 4) for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


# The images every archive is built of: name, size, pixel.
IMAGES = [
    ("sky.png", 64, 32, lambda x, y: (x * 4, y * 8, 200, 255)),
    ("ramp.png", 33, 17, lambda x, y: (x * 7 % 256, 255 - y * 15, x * y % 256, (x * 8) % 256)),
    ("dots.png", 5, 3, lambda x, y: (255 * (x % 2), 0, 255 * (y % 2), 128)),
]


class Run:
    def __init__(self, tex, scratch):
        self.tex, self.scratch = tex, scratch

    def native(self, *args, ok=(0,)):
        done = subprocess.run([self.tex] + list(args), cwd=self.scratch, capture_output=True, timeout=120)
        if done.returncode not in ok:
            raise RuntimeError("morvex_tex %s: %s" % (" ".join(args), done.stderr.decode(errors="replace")))
        return done.stdout

    def path(self, name):
        return os.path.join(self.scratch, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


def make_archives(run):
    for name, width, height, pixel in IMAGES:
        with open(run.path(name), "wb") as f:
            f.write(png_file(width, height, pixel))
    names = [i[0] for i in IMAGES]
    run.native("create", "-q", "-j", "1", "--type", "4", "four.pak", *names)
    run.native("create", "-q", "-j", "1", "--type", "6", "six.pak", *names)
    # Damaged: the last entry's payload cut short, and an archive cut inside its table.
    whole = run.read("four.pak")
    with open(run.path("cut.pak"), "wb") as f:
        f.write(whole[:-40])
    with open(run.path("table.pak"), "wb") as f:
        f.write(whole[:300])
    # Large entries, for a test long enough to be stopped while it runs.
    heavy = []
    noise = noise_png(1024)
    for k in range(30):
        name = "h%02d.png" % k
        with open(run.path(name), "wb") as f:
            f.write(noise)
        heavy.append(name)
    run.native("create", "-q", "-j", "1", "--type", "4", "heavy.pak", *heavy)
    return ["four.pak", "six.pak", "cut.pak", "table.pak"]


def call(driver, script, *args):
    """An async script's value: `script` ends by calling done(value)."""
    reply = driver.call("POST", "/execute/async", {"script": """
        const done = arguments[arguments.length - 1];
        const b64 = (u8) => { let s = ''; for (let k = 0; k < u8.length; k += 32768)
            s += String.fromCharCode.apply(null, u8.subarray(k, k + 32768)); return btoa(s); };
        const bytes = (s) => Uint8Array.from(atob(s), (c) => c.charCodeAt(0));
        (async () => { %s })().then(done, (e) => done({error: e.name + ': ' + e.message, name: e.name, kind: e.kind}));
        """ % script, "args": list(args)})
    return reply


def b64(data):
    return base64.b64encode(data).decode()


def give_file(driver, path):
    """The file at `path` chosen in a file input of the test's own: the
    script then finds it as window.given, a File (a Blob)."""
    driver.run("""
        let input = document.getElementById('test-file');
        if (!input) { input = document.createElement('input'); input.type = 'file'; input.id = 'test-file';
                      input.hidden = true; document.body.append(input); }
        input.value = '';""")
    driver.call("POST", "/element/%s/value" % driver.element("#test-file"), {"text": path})
    driver.run("window.given = document.getElementById('test-file').files[0];")


def listed(run, name):
    return json.loads(run.native("list", "--json", name, ok=(0, 1)))


def check_open(driver, run, name):
    """morvexTex.open against `list --json`; the pixels and files of each entry."""
    got = call(driver, """
        window.archive = await morvexTex.open(bytes(arguments[0]), arguments[1]);
        return {entries: archive.entries, problems: archive.problems, header: archive.header};""",
               b64(run.read(name)), name)
    if not check("entries" in got, "%s: open failed: %s" % (name, got)):
        return
    want = listed(run, name)
    check([p["kind"] for p in got["problems"]] == want["problem_kinds"],
          "%s: archive problems %s, list says %s" % (name, got["problems"], want["problem_kinds"]))
    check(got["header"]["file_count"] == want["file_count"], "%s: file count differs" % name)
    check(len(got["entries"]) == len(want["entries"]), "%s: %d entries, list shows %d" %
          (name, len(got["entries"]), len(want["entries"])))
    for page, cli in zip(got["entries"], want["entries"]):
        for key in ("index", "name", "type", "width", "height", "size"):
            check(page[key] == cli[key], "%s entry %d: %s %r, list says %r" %
                  (name, cli["index"], key, page[key], cli[key]))
        check([p["kind"] for p in page["problems"]] == cli["problem_kinds"],
              "%s entry %d: problems %s, list says %s" % (name, cli["index"], page["problems"], cli["problem_kinds"]))
        check([p["message"] for p in page["problems"]] == cli["problems"],
              "%s entry %d: messages differ from list's" % (name, cli["index"]))
    folder = run.path("x-" + name)
    run.native("extract", "-q", "-C", folder, "--format", "png", name, ok=(0, 1))
    for fmt in FORMATS:
        run.native("extract", "-q", "-C", folder + "-" + fmt, "--format", fmt, name, ok=(0, 1))
    for cli in want["entries"][1:]:
        i, stem = cli["index"], os.path.splitext(cli["name"] or "")[0]
        native_png = os.path.join(folder, stem + ".png")
        page = call(driver, """
            try { const p = await archive.pixels(arguments[0]);
                  return {width: p.width, height: p.height, rgba: b64(new Uint8Array(p.data.buffer))}; }
            catch (e) { return {error: e.message, kind: e.kind}; }""", i)
        if not os.path.exists(native_png):
            check("error" in page, "%s entry %d: decoded, the native extract wrote nothing" % (name, i))
            continue
        with Image.open(native_png) as im:
            want_rgba = im.convert("RGBA").tobytes()
            size = im.size
        check("rgba" in page and (page["width"], page["height"]) == size and base64.b64decode(page["rgba"]) == want_rgba,
              "%s entry %d: pixels differ from the native extract's PNG (%s)" % (name, i, page.get("error", "")))
        for fmt in FORMATS:
            file = call(driver, "return b64(await archive.image(arguments[0], arguments[1]));", i, fmt)
            with open(os.path.join(folder + "-" + fmt, stem + "." + fmt), "rb") as f:
                check(isinstance(file, str) and base64.b64decode(file) == f.read(),
                      "%s entry %d: image(%s) is not extract --format %s's file" % (name, i, fmt, fmt))
    tested = call(driver, "return await archive.test();")
    native = json.loads(run.native("test", "--json", "-j", "1", name, ok=(0, 1)))["archives"][0]
    want_kinds = sorted([(None, k) for k in native["problem_kinds"]] +
                        [(e["index"], k) for e in native["entries"] for k in e["problem_kinds"]], key=str)
    got_kinds = sorted([(p["index"], p["kind"]) for p in tested], key=str) if isinstance(tested, list) else tested
    check(got_kinds == want_kinds, "%s: test() found %s, test --json %s" % (name, got_kinds, want_kinds))
    call(driver, "archive.close(); return null;")


def check_file_input(driver, run, name, pictures=True):
    """The archive given through the page's file chooser, shown as cards."""
    field = driver.element("#open")
    driver.call("POST", "/element/%s/value" % field, {"text": run.path(name)})
    want = len(listed(run, name)["entries"])
    state = gb.until(lambda: driver.run("""
        const s = document.getElementById('archive');
        if (document.getElementById('archive-name').textContent !== arguments[0]) return {thumbs: null};
        return {entries: s.dataset.entries, thumbs: s.dataset.thumbs || null,
                cards: [...document.querySelectorAll('#cards .card')].map((c) => c.dataset.index),
                pictures: document.querySelectorAll('#cards canvas[data-index]').length};""", name),
        lambda s: s["thumbs"] == "done")
    check(state["entries"] == str(want) and state["cards"] == [str(k) for k in range(want)],
          "%s through the file input: cards %s, list shows %d entries" % (name, state["cards"], want))
    check(not pictures or state["pictures"] == want - 1, "%s through the file input: %d pictures for %d entries" %
          (name, state["pictures"], want))


def check_page(driver, run):
    """A second archive, whose names hold markup, through the file input: a
    tab each; names shown as text; the filter; "Test every entry" finds what
    `test --json` finds."""
    marked = "<i onclick=x()>dots.png"
    shutil.copy(run.path("dots.png"), run.path(marked))
    run.native("create", "-q", "-j", "1", "marks.pak", "sky.png", marked)
    check_file_input(driver, run, "marks.pak")
    state = driver.run("""
        const names = [...document.querySelectorAll('#cards .card h2 span:last-child')].map((e) => e.textContent);
        const filter = document.getElementById('filter');
        filter.value = 'dots';
        filter.dispatchEvent(new Event('input'));
        const shown = [...document.querySelectorAll('#cards .card')].filter((c) => !c.hidden).map((c) => c.dataset.index);
        filter.value = '';
        filter.dispatchEvent(new Event('input'));
        return {names, shown, marks: document.querySelectorAll('#cards i').length, tabs: document.body.dataset.archives};""")
    check(state["names"][2] == marked and state["marks"] == 0, "a name holding markup: shown as %r, %d elements made" %
          (state["names"][2], state["marks"]))
    check(state["shown"] == ["2"], "the filter 'dots' shows cards %s" % state["shown"])
    check(state["tabs"] == "2", "two archives opened, the page says %s" % state["tabs"])
    check_file_input(driver, run, "cut.pak", pictures=False)
    driver.call("POST", "/element/%s/click" % driver.element("#test"), {})
    tested = gb.until(lambda: driver.run("return document.getElementById('archive').dataset.tested || null;"),
                      lambda t: t is not None)
    native = json.loads(run.native("test", "--json", "cut.pak", ok=(0, 1)))["archives"][0]
    want = len(native["problems"]) + sum(len(e["problems"]) for e in native["entries"])
    check(tested == str(want), "Test every entry on cut.pak: %s problems, test --json %d" % (tested, want))


def check_readme(driver, run):
    """The README's example, as written, on an archive holding sky.png."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")) as f:
        text = f.read()
    section = text[text.index("## In the browser"):]
    block = re.search(r"\n((?:    .*\n)+)", section).group(1)
    example = "\n".join(line[4:] for line in block.splitlines())
    give_file(driver, run.path("four.pak"))
    got = call(driver, """
        const file = given, signal = new AbortController().signal, progress = () => {};
        const pngBytes = bytes(arguments[0]), imageData = new ImageData(4, 4);
        %s
        return 'ran';""" % example, b64(run.read("sky.png")))
    check(got == "ran", "the README's example: %s" % (got,))


def check_create(driver, run):
    names = [i[0] for i in IMAGES]
    for kind in (4, 6):
        run.native("create", "-q", "-j", "1", "--type", str(kind), "c%d.pak" % kind, *names)
        got = call(driver, """
            const images = {};
            for (const [name, data] of arguments[0]) images[name] = bytes(data);
            const a = await morvexTex.create(images, {type: arguments[1]});
            const out = await a.bytes(); a.close(); return b64(out);""",
                   [[n, b64(run.read(n))] for n in names], kind)
        check(isinstance(got, str) and base64.b64decode(got) == run.read("c%d.pak" % kind),
              "create type %d: not create -j 1's archive (%s)" % (kind, got if not isinstance(got, str) else ""))


def check_create_from_photos(driver, run):
    """JPEG and WebP files (Pillow's) into an archive, as `create` stores them."""
    photo = Image.new("RGB", (24, 16))
    photo.putdata([(x * 10, y * 15, (x * y) % 256) for y in range(16) for x in range(24)])
    photo.save(run.path("photo.jpg"), quality=90)
    photo.save(run.path("leaf.webp"), lossless=True)
    run.native("create", "-q", "-j", "1", "--type", "6", "photos.pak", "photo.jpg", "leaf.webp")
    got = call(driver, """
        const a = await morvexTex.create({'photo.png': bytes(arguments[0]), 'leaf.png': bytes(arguments[1])}, {type: 6});
        const out = await a.bytes(); a.close(); return b64(out);""", b64(run.read("photo.jpg")), b64(run.read("leaf.webp")))
    check(isinstance(got, str) and base64.b64decode(got) == run.read("photos.pak"),
          "create from JPEG and WebP files: not create -j 1's archive (%s)" % (got if not isinstance(got, str) else ""))


def check_edits(driver, run):
    """replace, delete, rename and add against the native commands."""
    shutil.copy(run.path("four.pak"), run.path("e.pak"))
    with open(run.path("sky-new.png"), "wb") as f:
        f.write(png_file(64, 32, lambda x, y: (255 - x, y, 9, 255)))
    shutil.copy(run.path("sky-new.png"), run.path("sky.png.new"))
    run.native("replace", "-q", "-j", "1", "four.pak", "r.pak", "sky-new.png=sky.png")
    run.native("delete", "-q", "e.pak", "ramp.png")
    shutil.copy(run.path("e.pak"), run.path("en.pak"))
    run.native("rename", "-q", "en.pak", "dots.png", "spots.png")
    shutil.copy(run.path("en.pak"), run.path("ea.pak"))
    run.native("add", "-q", "-j", "1", "--type", "4", "ea.pak", "sky-new.png")
    shutil.copy(run.path("four.pak"), run.path("u.pak"))
    run.native("update", "-q", "-j", "1", "--type", "6", "u.pak", "sky-new.png=sky.png", "dots.png=fresh.png")
    got = call(driver, """
        const a = await morvexTex.open(bytes(arguments[0]));
        const r = await a.replace({'sky.png': bytes(arguments[1])});
        const d = await a.delete(['ramp.png']);
        const n = await d.rename('dots.png', 'spots.png');
        const e = await n.add({'sky-new.png': bytes(arguments[1])}, {type: 4});
        const u = await a.update({'sky.png': bytes(arguments[1]), 'fresh.png': bytes(arguments[2])}, {type: 6});
        const out = [];
        for (const x of [r, d, n, e, u]) { out.push(b64(await x.bytes())); x.close(); }
        a.close();
        return out;""", b64(run.read("four.pak")), b64(run.read("sky-new.png")), b64(run.read("dots.png")))
    if not check(isinstance(got, list), "edits failed: %s" % (got,)):
        return
    for what, page, native in zip(("replace", "delete", "rename", "add", "update"), got,
                                  ("r.pak", "e.pak", "en.pak", "ea.pak", "u.pak")):
        check(base64.b64decode(page) == run.read(native), "%s: not the native command's archive" % what)


def check_refusals(driver, run):
    """What the page can't do is said as the library's error kinds, and the
    archive works on."""
    got = call(driver, """
        const kind = (p) => p.then(() => 'done', (e) => e.kind || e.name);
        const out = {notArchive: await kind(morvexTex.open(new TextEncoder().encode('not an archive')))};
        const a = await morvexTex.open(bytes(arguments[0]));
        out.format = await kind(a.image(1, 'gif'));
        out.entry = await kind(a.pixels(99));
        out.rename = await kind(a.rename('no such.png', 'x.png'));
        out.after = (await a.pixels(1)).width;
        a.close();
        out.closed = await kind(a.pixels(1));
        return out;""", b64(run.read("four.pak")))
    want = {"notArchive": "not_archive", "format": "argument", "entry": "no_entry", "rename": "name",
            "after": IMAGES[0][1], "closed": "Error"}
    check(got == want, "refusals: %s, not %s" % (got, want))


def check_abort(driver, run):
    """A test stopped while it runs (after its third entry), and one stopped
    before the worker starts it: both through the stop hook, both reject
    with AbortError, and the archive works on."""
    give_file(driver, run.path("heavy.pak"))
    got = call(driver, """
        const a = await morvexTex.open(given);
        const stop = new AbortController();
        let seen = 0, asked = 0;
        const running = await a.test({signal: stop.signal, progress: (done, total) => {
            seen = done; if (done >= 3 && !asked) { asked = performance.now(); stop.abort(); } }})
            .then(() => 'finished', (e) => e.name);
        const took = performance.now() - asked;
        const early = new AbortController();
        const queued = a.test({signal: early.signal}).then(() => 'finished', (e) => e.name);
        early.abort();
        const before = await queued;
        const after = (await a.pixels(1)).width;
        a.close();
        return {running, before, seen, took, after, total: a.entries.length};""")
    print("an aborted test rejected %.0f ms after abort()" % got.get("took", -1))
    check(got.get("running") == "AbortError" and got.get("before") == "AbortError", "aborted tests: %s" % (got,))
    check(got.get("seen", 0) < got.get("total", 0) - 1, "the aborted test ran to its end: %s" % (got,))
    check(got.get("after") == 1024, "after the aborted tests the archive no longer decodes: %s" % (got,))


def huge_png(path, side):
    """A fully transparent PNG of side x side pixels, compressed row by row."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    squeeze = zlib.compressobj(1)
    row = bytes(1 + side * 4)
    idat = b"".join(squeeze.compress(row) for _ in range(side)) + squeeze.flush()
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", idat) + chunk(b"IEND", b""))


def check_memory_cap(driver, run):
    """An entry of 16384 x 16384 pixels (a gibibyte of them, past the
    module's memory cap) fails to decode, saying so, and the page works on."""
    huge_png(run.path("huge.png"), 16384)
    run.native("create", "-q", "-j", "1", "--type", "4", "huge.pak", "huge.png")
    os.remove(run.path("huge.png"))
    give_file(driver, run.path("huge.pak"))
    got = call(driver, """
        const a = await morvexTex.open(given);
        let outcome;
        try { await a.pixels(1); outcome = {decoded: true}; } catch (e) { outcome = {kind: e.kind, message: e.message}; }
        outcome.found = (await a.test()).map((p) => p.kind);
        a.close();
        const b = await morvexTex.open(bytes(arguments[1]));
        outcome.after = (await b.pixels(1)).width;
        b.close();
        return outcome;""", None, b64(run.read("four.pak")))
    check(got.get("kind") == "entry" and "not enough memory for a 16384 x 16384 image" in got.get("message", "") and
          got.get("found") == ["no_memory_image"], "an entry past the memory cap: %s" % (got,))
    check(got.get("after") == IMAGES[0][1], "the page no longer decodes after running out of memory: %s" % (got,))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--tex", required=True)
    args = parser.parse_args()

    chromium = gb.find_program("MORVEX_CHROMIUM", "chromium", "chromium-browser")
    chromedriver = gb.find_program("MORVEX_CHROMEDRIVER", "chromedriver")
    if not chromium or not chromedriver:
        print("SKIPPED: the browser test needs Debian's chromium and chromium-driver (scripts/install-deps.sh browser)")
        return gb.SKIP

    scratch = tempfile.mkdtemp(prefix="morvex-web-")
    run = Run(os.path.abspath(args.tex), scratch)
    driver = None
    try:
        archives = make_archives(run)
        page_url = "file://" + os.path.abspath(args.page)
        with open(args.page, encoding="utf-8") as f:
            check("default-src 'none'" in f.read(4096), "the page has no policy refusing requests")
        driver = gb.WebDriver(chromium, chromedriver, scratch)
        driver.call("POST", "/timeouts", {"script": 120000, "pageLoad": 60000})
        if not check(gb.control_check(driver, scratch), "the control page's request and console error were not seen"):
            return 1
        driver.logs("browser")
        driver.logs("performance")
        driver.open(page_url)
        gb.until(lambda: driver.run("return document.body.dataset.state;"), lambda s: s == "ready")
        check_file_input(driver, run, "four.pak")
        check_page(driver, run)
        check_readme(driver, run)
        for name in archives:
            check_open(driver, run, name)
        check_create(driver, run)
        check_create_from_photos(driver, run)
        check_edits(driver, run)
        check_refusals(driver, run)
        check_abort(driver, run)
        check_memory_cap(driver, run)
        requests = [r["url"] for r in gb.network_events(driver)
                    if not r["url"].startswith(("data:", "blob:")) and r["url"] != page_url]
        check(not requests, "requests left the page: %s" % requests[:5])
        errors = gb.severe_console_entries(driver)
        check(not errors, "the console holds errors: %s" % errors[:3])
    except (RuntimeError, OSError, ValueError, KeyError, subprocess.SubprocessError) as e:
        check(False, "%s: %s" % (type(e).__name__, e))
    finally:
        if driver:
            driver.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d checks failed" % len(gb.failures) if gb.failures else "web page: every browser check holds")
    return 1 if gb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
