#!/usr/bin/env python3
"""The Python module's read-all against `morvex_tex test -j 1`, and its section of RESULTS.md.

    /usr/bin/python3 bench/python_read.py BUILD_DIR [ROUNDS] [RESULTS_MD] [BEFORE [WHAT]]

BUILD_DIR holds the program morvex_tex and the module (BUILD_DIR/python): any
build with the Python module, Release. The images are generated here (smooth
gradients at 16 levels with some noise, as bench/textures.hpp makes them: 24
of 1024 x 1024, 48 of 256 x 256 and 8 of 512 x 512, and apart from them 3000
of 32 x 32) and written as TGA files, then made into archives of type 6 and 4
by `morvex_tex create --type 6|4`, the project's own writer, once (again when
the program is newer). Each round runs, in turn, `morvex_tex test -j 1` on an
archive (its CPU time: user + system of the child) and, in a child Python,
`[e.pixels() for e in archive]` over every entry of the archive opened (its
CPU time: process_time() around the open and the read; the interpreter's start
and the imports of the module and NumPy left out, as the program's own start
is all but nothing). "Fresh arrays" is what any read-all that keeps every
array pays beyond decoding: the same arrays made by NumPy and each of their
pages written once, in a child Python. The ratios are of the medians of the
same rounds. BEFORE, another build's folder (its python/, with the library it
was linked with), adds that module's read-all to each round and its column to
the table; WHAT says in the table's note what it is. With RESULTS_MD its section "## Python read-all" is replaced (or
added before the micro-benchmarks); the rest of the file is left as it is.
Not a test: no figure here fails anything.
"""
import datetime
import os
import resource
import shutil
import statistics
import subprocess
import sys

import numpy as np
from PIL import Image

import results_md as results_file  # beside this file

HEADING = "## Python read-all"
LIMIT = 1.25  # the read-all may cost this many times the program's test, at most
LARGE = [(1024, 1024)] * 24 + [(256, 256)] * 48 + [(512, 512)] * 8
SMALL = [(32, 32)] * 3000
ARCHIVES = {"type 6": (6, LARGE), "type 4": (4, LARGE), "type 6, 3000 of 32 x 32": (6, SMALL),
            "type 4, 3000 of 32 x 32": (4, SMALL)}
READ_ALL = """
import sys, time
import morvex_tex, numpy
start = time.process_time()
with morvex_tex.open(sys.argv[1]) as archive:
    pixels = [e.pixels() for e in archive]
print(time.process_time() - start, sum(p.nbytes for p in pixels))
"""
READ_INTO = """
import sys, time
import morvex_tex, numpy
start = time.process_time()
arrays = {}
with morvex_tex.open(sys.argv[1]) as archive:
    for e in archive:
        shape = (e.height, e.width, 4)
        e.pixels(out=arrays.setdefault(shape, numpy.empty(shape, numpy.uint8)))
print(time.process_time() - start)
"""
FRESH_ARRAYS = """
import sys, time
import morvex_tex, numpy
with morvex_tex.open(sys.argv[1]) as archive:
    shapes = [(e.height, e.width, 4) for e in archive]
start = time.process_time()
arrays = []
for shape in shapes:
    a = numpy.empty(shape, numpy.uint8)
    a.reshape(-1)[::4096] = 0
    arrays.append(a)
print(time.process_time() - start)
"""


def texture(width, height, seed):
    """RGBA: gradients at 16 levels, alpha at 4 falling down the image, each channel of one pixel in five a level
    up, the low bits noisy."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    levels = [(x + seed * width // 7) % width * 16 // width, y * 16 // height, (x + y) * 16 // (width + height)]
    out = np.empty((height, width, 4), np.uint8)
    for c, level in enumerate(levels):
        drift = rng.integers(0, 5, (height, width)) == 0
        out[..., c] = np.minimum(level + drift, 15) * 17 ^ rng.integers(0, 4, (height, width))
    out[..., 3] = 255 - y * 4 // height * 17
    return out


def archives(build, work):
    """The archives, made by `morvex_tex create` from the generated images."""
    program = os.path.join(build, "morvex_tex")
    paths = {label: os.path.join(work, f"python-read-{n}.pak") for n, label in enumerate(ARCHIVES)}
    if all(os.path.exists(p) and os.path.getmtime(p) > os.path.getmtime(program) for p in paths.values()):
        return paths
    for label, path in paths.items():
        type_, sizes = ARCHIVES[label]
        images = os.path.join(work, "python-read-images")
        shutil.rmtree(images, ignore_errors=True)
        os.makedirs(images)
        for n, (width, height) in enumerate(sizes):
            Image.fromarray(texture(width, height, n + 1), "RGBA").save(os.path.join(images, f"t{n:04}.tga"))
        subprocess.run([program, "create", "-q", "-f", "--type", str(type_), path, images], check=True)
        shutil.rmtree(images)
    return paths


def test_cpu(build, archive):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([os.path.join(build, "morvex_tex"), "test", "-j", "1", archive], check=True,
                   stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def python_out(build, script, archive):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    env.pop("MORVEX_TEX_JOBS", None)
    return subprocess.run([sys.executable, "-c", script, archive], check=True, capture_output=True, text=True,
                          env=env).stdout.split()


def measure(build, paths, rounds, before):
    order = ["test", "python", "into", "fresh"] + (["before"] if before else [])
    runs = {(label, who): [] for label in paths for who in order}
    decoded = {}
    for r in range(rounds):
        for label, path in paths.items():
            # The order rotates from round to round.
            for who in order[r % len(order):] + order[:r % len(order)]:
                if who == "test":
                    runs[label, who].append(test_cpu(build, path))
                elif who in ("fresh", "into"):
                    runs[label, who].append(float(python_out(build, FRESH_ARRAYS if who == "fresh" else READ_INTO, path)[0]))
                else:
                    out = python_out(build if who == "python" else before, READ_ALL, path)
                    runs[label, who].append(float(out[0]))
                    decoded[label] = int(out[1])
        print(f"round {r + 1}/{rounds}: " + ", ".join(f"{label} {who} {runs[label, who][-1]:.3f}s"
                                                     for label, who in runs), file=sys.stderr)
    return {k: statistics.median(v) for k, v in runs.items()}, decoded


def section(medians, decoded, paths, rounds, when, load, before, what):
    rows = ["| archive | MiB | decoded MiB | `morvex_tex test -j 1` | Python read-all | fresh arrays | "
            "read-all / test | at most | | read-all / (test + fresh arrays) | into one array / test |" +
            (" before | before / test |" if before else ""),
            "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- | ---: | ---: |" + (" ---: | ---: |" if before else "")]
    for label, path in paths.items():
        test, python, fresh = (medians[label, who] for who in ("test", "python", "fresh"))
        ratio = python / test
        rows.append(f"| {label} | {os.path.getsize(path) / 2**20:.1f} | {decoded[label] / 2**20:.1f} | {test:.4f} s | "
                    f"{python:.4f} s | {fresh:.4f} s | {ratio:.2f} | {LIMIT:.2f} | "
                    f"{'met' if ratio <= LIMIT else 'NOT met'} | {python / (test + fresh):.2f} | "
                    f"{medians[label, 'into'] / test:.2f} |" +
                    (f" {medians[label, 'before']:.4f} s | {medians[label, 'before'] / test:.2f} |" if before else ""))
    return [
        HEADING, "",
        f"Measured by `bench/python_read.py` on {when}, {rounds} alternating rounds, on its own; load average",
        f"(1, 5, 15 min) {load}. Archives made by `morvex_tex create --type 6` and `--type 4` from generated images:",
        "24 of 1024 x 1024, 48 of 256 x 256 and 8 of 512 x 512, or 3000 of 32 x 32. \"Python read-all\" is",
        "`[e.pixels() for e in archive]` over every entry of the archive just opened (process_time() in the child",
        "Python, its start and imports left out); the program's is the child's user + system time. \"Fresh",
        "arrays\": the same arrays made by NumPy, each page written once, what a read-all that keeps them all pays",
        "beyond decoding (the program decodes every entry into the same memory again). CPU medians of the same",
        "rounds." + (f" \"Before\": {what}." if before else ""), "",
    ] + rows + [
        "",
        "- Fresh arrays: memory never used before, whose pages the kernel clears and maps as they are first written",
        "  (NumPy asks for huge pages for arrays of 4 MiB and more, which roughly halves that here). For a type-6",
        "  archive, whose decoding is one copy and a swap of two bytes a pixel, that alone costs more than the",
        "  program's whole test: no read-all that keeps its arrays can come near 1.25 times the test there.",
        "  read-all / (test + fresh arrays) is the share that is the module's and the library's own.",
        "- Into one array: `e.pixels(out=a)` with one array a shape, reused from entry to entry: the decoding",
        "  alone, no fresh memory for each entry, as the program's walk does it.",
        "- pixels() decodes into an array NumPy made (the library's decode_into: its decoders write RGBA8",
        "  straight into it). An entry taken, then decoded, reads the archive 3 times (its header twice, its",
        "  payload once; the table is read 4 KiB ahead), where the program's walk reads it twice.",
        "",
    ]


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__.split("\n\n")[1])
    build = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    work = os.path.join(build, "bench-work")
    os.makedirs(work, exist_ok=True)
    paths = archives(build, work)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    before = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
    medians, decoded = measure(build, paths, rounds, before)
    what = sys.argv[5] if len(sys.argv) > 5 else f"the module and library of {before}"
    text = section(medians, decoded, paths, rounds, when, load, before, what)
    print("\n".join(text))
    if len(sys.argv) > 3:
        results_file.splice(sys.argv[3], HEADING, text)


if __name__ == "__main__":
    main()
