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
measured by morvex_bench_run. The tool runs with MORVEX_TEX_JOBS unset (its
default: every processor) and with MORVEX_TEX_JOBS=1; the floor program on one
thread and with --jobs 2.
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


def run_once(build, work, argv, jobs):
    """One run of argv in a fresh folder; jobs is MORVEX_TEX_JOBS, or None for the default."""
    folder = tempfile.mkdtemp(prefix="run-", dir=os.path.join(work, "runs"))
    env = {k: v for k, v in os.environ.items() if k != "MORVEX_TEX_JOBS"}
    if jobs is not None:
        env["MORVEX_TEX_JOBS"] = str(jobs)
    out = subprocess.run([os.path.join(build, "bench", "morvex_bench_run"), folder] + argv,
                         check=True, capture_output=True, text=True, env=env).stdout.split()
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
    results = {c[0]: [] for c in contenders}
    for r in range(rounds):
        order = contenders[r % len(contenders):] + contenders[:r % len(contenders)]
        for name, argv, jobs in order:
            results[name].append(run_once(build, work, argv, jobs))
        log(f"round {r + 1}/{rounds}: " + ", ".join(f"{c[0]} {results[c[0]][-1]['wall']:.3f}s" for c in contenders))
    return results


def entries_of(archive):
    """The file count a TEX archive's header states."""
    with open(archive, "rb") as f:
        header = f.read(8)
    return int.from_bytes(header[4:8], "little")


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
                "python3-pil", "libpng16-16", "coreutils"]:
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


def writer_notes(micro):
    """What the writers cost, from the micro-benchmarks: one 1024 x 1024 type-4 texture."""
    def find(prefix):
        return next((b for name, b in micro.items() if name.startswith(prefix)), None)

    notes = []
    for label, own, library in [("TGA", "BM_WriteTga/0", "BM_SaveTgaLibrary"),
                                ("BMP", "BM_WriteBmp/0", "BM_SaveBmpLibrary"),
                                ("PCX", "BM_WritePcx/0", "BM_SavePcxLibrary")]:
        a, b = find(own), find(library)
        if a and b:
            notes.append(f"- {label}: the project's writer saves at {a['Mpixel/s']:.0f} Mpixel/s, the graphics "
                         f"library's saver (no longer used) at {b['Mpixel/s']:.0f} Mpixel/s; the files are the "
                         "same byte for byte (the writers' tests).")
    png, addon = find("BM_WritePng/texture:0/level:1/filter:1"), find("BM_SavePngLevel/4/")
    if png and addon:
        notes.append(f"- PNG: the project's writer (libdeflate level 1, \"sub\" filter) saves at "
                     f"{png['Mpixel/s']:.0f} Mpixel/s for {png['file_KiB']:.0f} KiB; the library's add-on at zlib "
                     f"level 4 with adaptive filters, which the tool used before, at {addon['Mpixel/s']:.1f} "
                     f"Mpixel/s for {addon['file_KiB']:.0f} KiB. The floor calls the same writer, so the PNG "
                     "ratio measures everything but the compressor.")
    return notes


def main():
    build, work, rounds, micro_json, results_md = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], \
        sys.argv[5]
    runs_dir = os.path.join(work, "runs")
    shutil.rmtree(runs_dir, ignore_errors=True)
    os.makedirs(runs_dir)
    tool = os.path.join(build, "morvex_tex_extractor")
    companion = os.path.join(build, "morvex_tex")
    floor = os.path.join(build, "bench", "morvex_bench_floor")
    formats = ["tga", "png", "bmp", "pcx"]
    pak = {ext: os.path.join(work, f"bench-{ext}.pak") for ext in formats}
    small_pak = os.path.join(work, "small", "bench-tga.pak")
    noisy_pak = os.path.join(work, "bench-noisy-alpha.pak")
    peer = [PYTHON, os.path.join(HERE, "peer.py")]
    log = lambda s: print(s, flush=True)

    # (name, command, MORVEX_TEX_JOBS or None for the tool's default)
    contenders = []
    for ext in formats:
        contenders += [
            (f"tool, .{ext}", [tool, pak[ext]], None),
            (f"tool, .{ext}, MORVEX_TEX_JOBS=1", [tool, pak[ext]], 1),
            (f"floor, .{ext}", [floor, pak[ext]], None),
            (f"floor, .{ext}, 2 threads", [floor, pak[ext], "--jobs", "2"], None),
        ]
    contenders += [
        ("tool -no-convert", [tool, pak["tga"], "-no-convert"], None),
        ("tool -no-convert, MORVEX_TEX_JOBS=1", [tool, pak["tga"], "-no-convert"], 1),
        ("floor --raw (pread, write)", [floor, pak["tga"], "--raw"], None),
        ("floor --raw-copy-range (copy_file_range)", [floor, pak["tga"], "--raw-copy-range"], None),
        ("cp of the archive", ["cp", pak["tga"], "."], None),
        ("peer (Python), .tga", peer + [pak["tga"]], None),
        ("tool, .tga, archive a tenth the size", [tool, small_pak], None),
        ("morvex_tex test", [companion, "test", pak["tga"]], None),
        ("morvex_tex gallery", [companion, "gallery", pak["tga"]], None),
        ("morvex_tex test, noisy alpha", [companion, "test", noisy_pak], None),
        ("morvex_tex gallery, noisy alpha", [companion, "gallery", noisy_pak], None),
    ]
    load_before = loadavg()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    runs = alternate(build, work, contenders, rounds, log)
    load_after = loadavg()
    shutil.rmtree(runs_dir)

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

    def check(label, a, b, limit=None, judged=("wall", "cpu")):
        """A row of the targets: both ratios, the verdict on the judged ones."""
        w, c = ratio(a, b, "wall"), ratio(a, b, "cpu")
        if limit is None:
            return f"| {label} | {w:.2f} | {c:.2f} | | for reference |"
        ok = {"wall": w <= limit, "cpu": c <= limit}
        if all(ok[k] for k in judged):
            verdict = "met"
        elif judged == ("wall", "cpu") and ok["cpu"]:
            verdict = "met on CPU time"
        else:
            verdict = "NOT met"
        on = "" if judged == ("wall", "cpu") else f" ({judged[0] if judged[0] == 'wall' else 'CPU'})"
        return f"| {label} | {w:.2f} | {c:.2f} | {limit:.2f}{on} | {verdict} |"

    def memory_row(label, names, limit):
        peak = max(r["rss"] for n in names for r in runs[n])
        return f"| {label} | {peak:.1f} MiB | | {limit:.0f} MiB | {'met' if peak <= limit else 'NOT met'} |"

    one = {"tga": 1.10, "png": 1.25, "bmp": 1.15, "pcx": 1.15}
    targets = ["| target | wall ratio | CPU ratio | at most | |", "| --- | ---: | ---: | ---: | --- |"]
    for ext in formats:
        targets.append(check(f"tool MORVEX_TEX_JOBS=1 / floor, .{ext}", f"tool, .{ext}, MORVEX_TEX_JOBS=1",
                             f"floor, .{ext}", one[ext]))
    for ext in formats:
        limit = 0.65 if ext in ("tga", "png") else None
        targets.append(check(f"tool / floor (one thread), .{ext}", f"tool, .{ext}", f"floor, .{ext}", limit,
                             ("wall",)))
    for ext in formats:
        limit = 1.15 if ext in ("tga", "png") else None
        targets.append(check(f"tool / tool MORVEX_TEX_JOBS=1, .{ext}", f"tool, .{ext}",
                             f"tool, .{ext}, MORVEX_TEX_JOBS=1", limit, ("cpu",)))
    for ext in formats:
        targets.append(check(f"tool / floor 2 threads, .{ext}", f"tool, .{ext}", f"floor, .{ext}, 2 threads"))
    for ext in formats:
        targets.append(check(f"floor 2 threads / floor, .{ext}", f"floor, .{ext}, 2 threads", f"floor, .{ext}"))
    raw, kernel = "floor --raw (pread, write)", "floor --raw-copy-range (copy_file_range)"
    largest = 1024 * 1024 * 4 / 2**20  # the bitmap of a 1024 x 1024 entry
    targets += [
        check("tool -no-convert / floor --raw", "tool -no-convert", raw, 1.10),
        check("tool -no-convert MORVEX_TEX_JOBS=1 / floor --raw", "tool -no-convert, MORVEX_TEX_JOBS=1", raw),
        check("floor --raw-copy-range / floor --raw", kernel, raw),
        check("tool -no-convert / cp (the earlier target)", "tool -no-convert", "cp of the archive", 1.5),
        check("floor --raw / cp", raw, "cp of the archive"),
        check("tool MORVEX_TEX_JOBS=1 / peer, .tga", "tool, .tga, MORVEX_TEX_JOBS=1", "peer (Python), .tga", 0.4),
        check("tool / peer, .tga", "tool, .tga", "peer (Python), .tga"),
        memory_row(f"tool peak memory, MORVEX_TEX_JOBS=1, every format (64 MiB + {largest:.0f} MiB for the "
                   "largest bitmap)", [f"tool, .{e}, MORVEX_TEX_JOBS=1" for e in formats] +
                   ["tool -no-convert, MORVEX_TEX_JOBS=1"], 64 + largest),
        memory_row("tool peak memory, default workers, every format",
                   [f"tool, .{e}" for e in formats] + ["tool -no-convert"], 74),
        check("morvex_tex gallery / morvex_tex test", "morvex_tex gallery", "morvex_tex test", 1.5, ("wall",)),
        check("morvex_tex gallery / morvex_tex test, noisy alpha", "morvex_tex gallery, noisy alpha",
              "morvex_tex test, noisy alpha", 1.5, ("cpu",)),
    ]
    page_kib = runs["morvex_tex gallery"][0]["bytes"] / 1024 / entries_of(pak["tga"])
    targets.append(f"| gallery page, KiB an entry | {page_kib:.1f} KiB | | 16 KiB | {'met' if page_kib <= 16 else 'NOT met'} |")

    kernel_wall, kernel_cpu = ratio(kernel, raw, "wall"), ratio(kernel, raw, "cpu")
    faster = "pread and write" if kernel_cpu > 1 else "copy_file_range"
    big_peak = max(r["rss"] for r in runs["tool, .tga"])
    small_peak = max(r["rss"] for r in runs["tool, .tga, archive a tenth the size"])
    text = [
        "# Benchmark results",
        "",
        f"Measured by `bench/run.sh` on {started}, {rounds} alternating rounds, every run in a fresh empty folder.",
        f"Archive: {pak_mib:.1f} MiB, 140 type-4 entries of 1024 x 1024, 240 of 256 x 256 and 26 type-6 entries",
        "of 512 x 512 (bench/make_archive.cpp); the same archive with other extensions for the other formats.",
        "",
        "Contenders: \"tool\" is morvex_tex_extractor with its default workers (one per processor it may run",
        f"on: {len(os.sched_getaffinity(0))} here), \"MORVEX_TEX_JOBS=1\" the same on one thread; \"floor\" is "
        "morvex_bench_floor (bench/floor.cpp,",
        "the least work any extractor must do) on one thread, \"2 threads\" the same with `--jobs 2`.",
        "\"morvex_tex test\" decodes every entry of the .tga archive and writes nothing; \"morvex_tex gallery\"",
        "makes the archive's page of thumbnails (WebP or PNG, 128 pixels a side), both with their default workers;",
        "\"noisy alpha\": the same two on 32 type-4 entries of 1024 x 1024, 64 of 256 x 256 and 16 type-6 of",
        "512 x 512 whose alpha is random at every pixel (`morvex_bench_archive DIR noisy`).",
        "",
        "## Machine and conditions",
        "",
        *machine(work),
        f"- Load average (1, 5, 15 min) before: {load_before}; after: {load_after}. The machine is shared",
        "  with other jobs: wall times carry their noise, CPU times less so. The threaded runs gain on wall",
        "  time only from a core that is idle: on a loaded machine their wall ratios say little.",
        "",
        "## Runs",
        "",
        *lines,
        "",
        "## Targets (ratios of medians from the same rounds)",
        "",
        "Where \"at most\" names one of the two, only that ratio is judged; otherwise both.",
        "",
        *targets,
        "",
        "## Notes",
        "",
        *writer_notes(micro_medians(micro_json)),
        "- The tool writes every output into an unnamed file (O_TMPFILE) that it links into place once",
        "  complete, decodes and saves on worker threads and prints its report in table order; the floor",
        "  opens each name directly, and its threads keep no order. The one-thread ratios hold what that",
        "  costs, with the tool's checks and report.",
        "- Raw mode: copy_file_range from the archive (payloads start 80 bytes past a page boundary) against",
        f"  one pread into a buffer and one write: {kernel_wall:.2f} times the wall time and {kernel_cpu:.2f} times",
        f"  the CPU time of the latter; {faster} is the cheaper here. The tool copies through a 1 MiB buffer.",
        "- Raw mode writes 406 files where cp writes one: the floor's raw modes show what making 406 files",
        "  costs by itself.",
        f"- Peak memory doesn't grow with the archive: {big_peak:.1f} MiB for the whole archive, {small_peak:.1f} MiB",
        "  for the one a tenth the size.",
        "- Output folders: every run's files are emptied but kept until the end of the benchmark. This ext4",
        "  has no journal, and then the kernel steps over every inode freed in the last minutes when it",
        "  makes a file: deleting each run's 406 files made the next runs' file creations several times",
        "  dearer (raw mode 0.1 to 0.3 s instead of 0.05 s), a cost of the benchmark and not of the tool.",
        "  For the same reason, leave several minutes between two runs of bench/run.sh.",
        "",
        "## Micro-benchmarks (Google Benchmark, medians; Mpixel/s over CPU time)",
        "",
        "- BM_Type4*, BM_Type6Convert: the decoders (BM_Type4InflateZlib and BM_Type4WidenByTable are the",
        "  alternatives they replaced).",
        "- BM_WriteTga, BM_WriteBmp, BM_WritePcx, BM_WritePng: the project's writers, each run into a fresh",
        "  unnamed file; the first argument is the texture (0: type 4 of 1024 x 1024, 1: type 4 of 256 x 256,",
        "  2: type 6 of 512 x 512). BM_WritePng tries libdeflate's levels and the row filters (0 none, 1 sub,",
        "  2 up, 3 average, 4 paeth); the tool uses level 1, sub. BM_WritePngStreaming: the path for images",
        "  above the size cap, through libpng at zlib's levels.",
        "- BM_SaveTga: the TGA writer through write_image into a named file.",
        "- BM_Save*Library, BM_SavePngLevel: the graphics library's savers and its PNG add-on at every zlib",
        "  level, which the tool no longer uses: the reference the writers' tests compare against.",
        "",
        *micro_table(micro_json),
        "",
    ]
    with open(results_md, "w") as f:
        f.write("\n".join(text))
    print("\n".join(text[text.index("## Runs"):]))


if __name__ == "__main__":
    main()
