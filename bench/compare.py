#!/usr/bin/env python3
"""Runs the benchmark's contenders in alternation and writes the summary.

    compare.py BUILD_DIR WORK_DIR ROUNDS MICRO_JSON RESULTS_MD

Every run starts in a fresh empty folder under WORK_DIR/runs. Afterwards
(untimed) its files are emptied but kept until the end of the benchmark: on a
file system without a journal, ext4 steps over every inode freed in the last
minutes when it makes a file, so deleting each run's files would charge the
next runs for the benchmark's own deletions, which no user sees. Each round runs
every contender once, in an order that rotates from round to round; medians and
the ratios between them come from the same rounds. Time and peak memory are
measured by morvex_bench_run.
"""
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # Debian's, with python3-numpy and python3-pil


def run_once(build, work, argv):
    folder = tempfile.mkdtemp(prefix="run-", dir=os.path.join(work, "runs"))
    out = subprocess.run([os.path.join(build, "bench", "morvex_bench_run"), folder] + argv,
                         check=True, capture_output=True, text=True).stdout.split()
    files = os.listdir(folder)
    written = 0
    for name in files:
        path = os.path.join(folder, name)
        written += os.path.getsize(path)
        os.truncate(path, 0)
    wall, user, system, rss, status = float(out[0]), float(out[1]), float(out[2]), int(out[3]), int(out[4])
    if status != 0:
        raise SystemExit(f"{argv} exited with {status}")
    return {"wall": wall, "cpu": user + system, "user": user, "sys": system, "rss": rss / 1024, "files": len(files),
            "bytes": written}


def alternate(build, work, contenders, rounds, log):
    results = {name: [] for name, _ in contenders}
    for r in range(rounds):
        order = contenders[r % len(contenders):] + contenders[:r % len(contenders)]
        for name, argv in order:
            results[name].append(run_once(build, work, argv))
        log(f"round {r + 1}/{rounds}: " + ", ".join(
            f"{name} {results[name][-1]['wall']:.3f}s" for name, _ in contenders))
    return results


def median(runs, key):
    return statistics.median(run[key] for run in runs)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def machine(work):
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    fs = subprocess.run(["df", "--output=fstype", work], capture_output=True, text=True).stdout.split()[-1]
    versions = []
    for pkg in ["libdeflate0", "zlib1g", "liballegro4.4", "liballegro4.4-plugin-loadpng", "python3-numpy",
                "python3-pil", "coreutils"]:
        v = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True).stdout
        if v:
            versions.append(f"{pkg} {v}")
    return [
        f"- CPU: {model}, {os.cpu_count()} cores seen; memory {mem_kib / 1024 / 1024:.1f} GiB",
        f"- System: {platform.platform()}; output folders on {fs} (archives read from the page cache)",
        f"- Compiler: {compiler}, Release build (-O3)",
        f"- Packages: {', '.join(versions)}",
    ]


def micro_table(path):
    if not os.path.exists(path):
        return ["(Google Benchmark not installed: no micro-benchmarks)"]
    with open(path) as f:
        data = json.load(f)
    rows = ["| benchmark | CPU time | Mpixel/s | file KiB |", "| --- | ---: | ---: | ---: |"]
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        unit = b.get("time_unit", "ns")
        size = f"{b['file_KiB']:.0f}" if "file_KiB" in b else ""
        rows.append(f"| {b['name']} | {b['cpu_time']:.3g} {unit} | {b['Mpixel/s']:.1f} | {size} |")
    return rows


def micro_medians(path):
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    return {b["run_name"]: b for b in data["benchmarks"]
            if b.get("run_type") != "aggregate" or b.get("aggregate_name") == "median"}


def saving_notes(micro, png_level):
    """What the savers cost, from the micro-benchmarks: one 1024 x 1024 texture."""
    def find(prefix):
        return next((b for name, b in micro.items() if name.startswith(prefix)), None)

    level9, chosen = find("BM_SavePngLevel/9/"), find(f"BM_SavePngLevel/{png_level}/")
    own, library = micro.get("BM_SaveTga"), micro.get("BM_SaveTgaLibrary")
    if not (level9 and chosen and own and library):
        return []
    return [
        f"- PNG: the add-on's default level 9 saves at {level9['Mpixel/s']:.2f} Mpixel/s "
        f"({level9['file_KiB']:.0f} KiB); level {png_level}, the one the extractor sets, at "
        f"{chosen['Mpixel/s']:.1f} Mpixel/s, {chosen['Mpixel/s'] / level9['Mpixel/s']:.0f} times faster, for "
        f"{chosen['file_KiB']:.0f} KiB ({100 * (chosen['file_KiB'] / level9['file_KiB'] - 1):+.0f} %); every level "
        "is in the micro-benchmarks below.",
        f"- TGA: the project's writer saves at {own['Mpixel/s']:.0f} Mpixel/s, the library's saver at "
        f"{library['Mpixel/s']:.0f} Mpixel/s (one call per byte); the files are the same byte for byte "
        "(tests/tga_writer_test.cpp).",
    ]


def main():
    build, work, rounds, micro_json, results_md = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], \
        sys.argv[5]
    runs_dir = os.path.join(work, "runs")
    shutil.rmtree(runs_dir, ignore_errors=True)
    os.makedirs(runs_dir)
    tool = os.path.join(build, "morvex_tex_extractor")
    floor = os.path.join(build, "bench", "morvex_bench_floor")
    pak = {ext: os.path.join(work, f"bench-{ext}.pak") for ext in ["tga", "png", "bmp", "pcx"]}
    small_pak = os.path.join(work, "small", "bench-tga.pak")
    peer = [PYTHON, os.path.join(HERE, "peer.py")]
    log = lambda s: print(s, flush=True)

    load_before = loadavg()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    contenders = [
        ("tool, .tga names", [tool, pak["tga"]]),
        ("floor program", [floor, pak["tga"]]),
        ("tool -no-convert", [tool, pak["tga"], "-no-convert"]),
        ("cp of the archive", ["cp", pak["tga"], "."]),
        ("floor program -no-convert", [floor, pak["tga"], "-no-convert"]),
        ("peer (Python), .tga names", peer + [pak["tga"]]),
        ("tool, .png names", [tool, pak["png"]]),
    ]
    main_runs = alternate(build, work, contenders, rounds, log)
    others = [
        ("tool, .bmp names", [tool, pak["bmp"]]),
        ("tool, .pcx names", [tool, pak["pcx"]]),
        ("tool, .tga names, archive a tenth the size", [tool, small_pak]),
    ]
    other_runs = alternate(build, work, others, max(1, min(3, rounds)), log)
    load_after = loadavg()
    shutil.rmtree(runs_dir)

    runs = {**main_runs, **other_runs}
    pak_mib = os.path.getsize(pak["tga"]) / 1024 / 1024
    lines = ["| contender | runs | wall (median) | CPU user+sys (median) | user | sys | peak memory (max) | files "
             "| MiB written |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for name, rs in runs.items():
        lines.append(f"| {name} | {len(rs)} | {median(rs, 'wall'):.3f} s | {median(rs, 'cpu'):.3f} s | "
                     f"{median(rs, 'user'):.3f} s | {median(rs, 'sys'):.3f} s | "
                     f"{max(r['rss'] for r in rs):.1f} MiB | {rs[0]['files']} | {rs[0]['bytes'] / 2**20:.1f} |")

    def ratio(a, b, key):
        return median(runs[a], key) / median(runs[b], key)

    def check(label, a, b, limit=None):
        w, c = ratio(a, b, "wall"), ratio(a, b, "cpu")
        if limit is None:
            return f"| {label} | {w:.2f} | {c:.2f} | | for reference |"
        verdict = "met" if w <= limit and c <= limit else ("met on CPU time" if c <= limit else "NOT met")
        return f"| {label} | {w:.2f} | {c:.2f} | {limit} | {verdict} |"

    largest = 1024 * 1024 * (4 + 6) / 2**20  # decoded image and inflation buffer of a 1024 x 1024 entry
    peak = max(r["rss"] for r in runs["tool, .tga names"])
    targets = [
        "| target | wall ratio | CPU ratio | at most | |", "| --- | ---: | ---: | ---: | --- |",
        check("tool (.tga) / floor program", "tool, .tga names", "floor program", 1.25),
        check("tool -no-convert / cp", "tool -no-convert", "cp of the archive", 1.5),
        check("floor program -no-convert / cp", "floor program -no-convert", "cp of the archive"),
        check("tool (.tga) / peer (.tga)", "tool, .tga names", "peer (Python), .tga names", 0.4),
        check("floor program / peer (.tga)", "floor program", "peer (Python), .tga names"),
        f"| tool peak memory / (64 MiB + {largest:.0f} MiB for the largest entry) | {peak:.1f} MiB | | "
        f"{64 + largest:.0f} MiB | {'met' if peak <= 64 + largest else 'NOT met'} |",
    ]
    text = [
        "# Benchmark results",
        "",
        f"Measured by `bench/run.sh` on {started}, {rounds} alternating rounds (fewer for the last four rows),",
        f"every run in a fresh empty folder. Archive: {pak_mib:.1f} MiB, 140 type-4 entries of 1024 x 1024,",
        "240 of 256 x 256 and 26 type-6 entries of 512 x 512 (bench/make_archive.cpp); the same archive",
        "with other extensions for the other formats.",
        "",
        "## Machine and conditions",
        "",
        *machine(work),
        f"- Load average (1, 5, 15 min) before: {load_before}; after: {load_after}. The machine is shared",
        "  with other jobs: wall times carry their noise, CPU times less so.",
        "",
        "## Runs",
        "",
        *lines,
        "",
        "## Targets (ratios of medians from the same rounds)",
        "",
        *targets,
        "",
        "## Notes",
        "",
        *saving_notes(micro_medians(micro_json), 4),
        "- BMP and PCX stay on the library's savers (rows above, and BM_Save*Library below).",
        "- Peak memory doesn't grow with the archive: the same for the archive a tenth the size.",
        "- Output folders: every run's files are emptied but kept until the end of the benchmark. This ext4",
        "  has no journal, and then the kernel steps over every inode freed in the last minutes when it",
        "  makes a file: deleting each run's 406 files made the next runs' file creations several times",
        "  dearer (raw mode 0.1 to 0.3 s instead of 0.05 s), a cost of the benchmark and not of the tool.",
        "  For the same reason, leave several minutes between two runs of bench/run.sh.",
        "- Raw mode writes 406 files where cp writes one: the floor program's raw mode (each payload copied by",
        "  the kernel into its file, no temporary names) shows what making 406 files costs by itself.",
        "",
        "## Micro-benchmarks (Google Benchmark, medians; Mpixel/s over CPU time)",
        "",
        *micro_table(micro_json),
        "",
    ]
    with open(results_md, "w") as f:
        f.write("\n".join(text))
    print("\n".join(text[text.index("## Runs"):]))


if __name__ == "__main__":
    main()
