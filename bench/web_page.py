#!/usr/bin/env python3
"""The browser page's test() and read-all against `morvex_tex test -j 1`, and its section of RESULTS.md.

    /usr/bin/python3 bench/web_page.py BUILD_DIR PAGE [ROUNDS] [RESULTS_MD]

BUILD_DIR holds the native program morvex_tex (any Release build), PAGE the
page scripts/build-web.sh makes (build-web/morvex_tex.html). The archives are
bench/python_read.py's, made by `morvex_tex create` from its generated images
(type 6 and 4: 24 of 1024 x 1024, 48 of 256 x 256 and 8 of 512 x 512; and 3000
of 32 x 32), in BUILD_DIR/bench-work. The page is opened from disk in headless
Chromium, driven as tests/browser/ drives it, and given each archive through a
file input, as a File. Each round runs, in turn, on every archive:
`morvex_tex test -j 1` (its wall time, and its CPU time: user + system of the
child); in the page, `open(file)` then `test()`; and `open(file)` then
`pixels(i)` for every entry i (the ImageData each call gives back dropped); and
`open(file)` alone: each timed in the page with performance.now() from before
the open to the last answer.
The page's calls run on its worker, one thread, as the program's do with -j 1.
A warm-up call of each comes first, not counted. The ratios are of the medians
of the same rounds, the page's wall time over the program's. With RESULTS_MD
its section "## Browser page" is replaced (or added before the
micro-benchmarks); the rest of the file is left as it is. Not a test: no
figure here fails anything.
"""
import datetime
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "tests", "browser"))
import gallery_browser_test as gb  # noqa: E402  (WebDriver)
import python_read  # noqa: E402  (the archives)
import results_md as results_file  # noqa: E402
import web_page_browser_test as wp  # noqa: E402  (the async call and the file input)

HEADING = "## Browser page"
GOAL, LIMIT = 1.5, 2.0  # the page's calls should cost at most GOAL times the program's test, never more than LIMIT

PAGE_OPEN = """
const start = performance.now();
const a = await morvexTex.open(given);
const ms = performance.now() - start;
a.close();
return {ms};"""
PAGE_TEST = """
const start = performance.now();
const a = await morvexTex.open(given);
const found = await a.test();
const ms = performance.now() - start;
a.close();
return {ms, found: found.length};"""
PAGE_READ_ALL = """
const start = performance.now();
const a = await morvexTex.open(given);
let bytes = 0, failed = [];
for (let i = 0; i < a.entries.length; i++) {
  try { bytes += (await a.pixels(i)).data.length; } catch (e) { failed.push(i); }
}
const ms = performance.now() - start;
a.close();
return {ms, bytes, failed, entries: a.entries.length};"""


def native_test(build, archive):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([os.path.join(build, "morvex_tex"), "test", "-j", "1", archive], check=True,
                   stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def in_page(driver, script):
    got = wp.call(driver, script)
    if not isinstance(got, dict) or "ms" not in got:
        raise SystemExit("web_page: the page's call failed: %s" % (got,))
    return got


def measure(driver, build, paths, rounds):
    order = ["native", "open", "test", "read"]
    runs = {(label, who): [] for label in paths for who in order + ["native cpu"]}
    read = {}
    for label, path in paths.items():
        wp.give_file(driver, path)
        in_page(driver, PAGE_TEST)
        in_page(driver, PAGE_READ_ALL)
    for r in range(rounds):
        for label, path in paths.items():
            wp.give_file(driver, path)
            # The order rotates from round to round.
            for who in order[r % len(order):] + order[:r % len(order)]:
                if who == "native":
                    wall, cpu = native_test(build, path)
                    runs[label, "native"].append(wall)
                    runs[label, "native cpu"].append(cpu)
                elif who in ("open", "test"):
                    runs[label, who].append(in_page(driver, PAGE_OPEN if who == "open" else PAGE_TEST)["ms"] / 1000)
                else:
                    got = in_page(driver, PAGE_READ_ALL)
                    runs[label, who].append(got["ms"] / 1000)
                    read[label] = got
        print(f"round {r + 1}/{rounds}: " + ", ".join(f"{label} {who} {runs[label, who][-1]:.3f}s"
                                                     for label, who in runs), file=sys.stderr)
    return {k: statistics.median(v) for k, v in runs.items()}, read


def verdict(ratio):
    return "met" if ratio <= GOAL else "under the limit" if ratio <= LIMIT else "NOT met"


def section(medians, read, paths, rounds, when, load, browser):
    rows = ["| archive | MiB | decoded MiB | `morvex_tex test -j 1` wall (CPU) | page test() | test() / test "
            "| page read-all | read-all / test | | page open() alone | (test() - open()) / test "
            "| (read-all - open()) per entry |",
            "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: |"]
    for label, path in paths.items():
        native, test, everything = (medians[label, who] for who in ("native", "test", "read"))
        rows.append(f"| {label} | {os.path.getsize(path) / 2**20:.1f} | {read[label]['bytes'] / 2**20:.1f} | "
                    f"{native:.4f} s ({medians[label, 'native cpu']:.4f} s) | {test:.4f} s | {test / native:.2f} | "
                    f"{everything:.4f} s | {everything / native:.2f} | "
                    f"test() {verdict(test / native)}, read-all {verdict(everything / native)} | "
                    f"{medians[label, 'open']:.4f} s | {(test - medians[label, 'open']) / native:.2f} | "
                    f"{(everything - medians[label, 'open']) / read[label]['entries'] * 1e6:.0f} µs |")
    failed = sorted({", ".join(map(str, read[label]["failed"])) or "none" for label in paths})
    return [
        HEADING, "",
        f"Measured by `bench/web_page.py` on {when}, {rounds} alternating rounds; load average (1, 5, 15 min)",
        f"{load}; {browser}, headless. The archives of \"Python read-all\"",
        "(`morvex_tex create --type 6` and `--type 4`), given to the page (`build-web/morvex_tex.html`, opened from",
        "disk) as a File through a file input. \"page test()\" is `open(file)` then `test()`; \"page read-all\" is",
        "`open(file)` then `pixels(i)` for every entry (the ImageData dropped), each timed in the page with",
        "performance.now() from before the open to the last answer (refused, having no pixels: entry",
        f"{' / '.join(failed)} of each archive). The program's is its wall time (its CPU time in brackets); the",
        "ratios are the page's wall time over the program's, medians of the same rounds. Goal: at most",
        f"{GOAL}, never more than {LIMIT}. \"page open() alone\": the File read by the worker, handed to the",
        "module's file system, and the archive opened and described, which both calls above include; the last two",
        "columns take it out: the library's own work in the page, and each pixels() call's cost with its messages.",
        "",
    ] + rows + [
        "",
        "- open(): the whole File is read (Blob.arrayBuffer in the worker) before the library sees a byte; the",
        "  program reads the archive from the page cache as it goes. On the type-6 archives, whose test is little",
        "  more than a copy of each entry, that read alone is several times the program's whole test.",
        "- test() less open() is the library compiled to WebAssembly (no SIMD, one thread) against the same",
        "  library native: the column (test() - open()) / test.",
        "- read-all: each pixels() is a message to the worker and one back, a decode into the module's memory, a",
        "  copy into a new ImageData (fresh memory) handed over to the page; the program's test decodes every entry",
        "  into the same memory again. On 3000 small entries the messages dominate; on large ones the copy and",
        "  the fresh memory.",
        "- The machine is shared and was loaded (see the load average): from run to run the ratios of the small",
        "  figures move by a few tenths.",
        "",
    ]


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__.split("\n\n")[1])
    build, page = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    work = os.path.join(build, "bench-work")
    os.makedirs(work, exist_ok=True)
    paths = python_read.archives(build, work)
    chromium = gb.find_program("MORVEX_CHROMIUM", "chromium")
    chromedriver = gb.find_program("MORVEX_CHROMEDRIVER", "chromedriver")
    if not chromium or not chromedriver:
        raise SystemExit("web_page: chromium and chromedriver are needed (scripts/install-deps.sh browser)")
    browser = subprocess.run([chromium, "--version"], capture_output=True, text=True).stdout.strip()
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    scratch = tempfile.mkdtemp(prefix="morvex-web-bench-")
    driver = gb.WebDriver(chromium, chromedriver, scratch)
    try:
        driver.call("POST", "/timeouts", {"script": 600000})
        driver.open("file://" + page)
        medians, read = measure(driver, build, paths, rounds)
    finally:
        driver.close()
        shutil.rmtree(scratch, ignore_errors=True)
    text = section(medians, read, paths, rounds, when, load, browser)
    print("\n".join(text))
    if len(sys.argv) > 4:
        results_file.splice(sys.argv[4], HEADING, text)


if __name__ == "__main__":
    main()
