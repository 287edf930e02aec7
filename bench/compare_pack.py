#!/usr/bin/env python3
"""The packer's rows of the benchmark, and their section of RESULTS.md.

    compare_pack.py BUILD_DIR WORK_DIR ROUNDS RESULTS_MD [BEFORE]

The images are those the extractor writes from the benchmark's archive a tenth
the size (WORK_DIR/small/bench-tga.pak: 41 TGA files, 14 of 1024 x 1024, 24 of
256 x 256 and 3 of 512 x 512; the whole archive's would take an hour a round at
the slow levels). `create` makes an archive of them at every level offered
(type 4) and in type 6, on one thread (-j 1) and with its default workers,
against morvex_bench_pack_floor (bench/pack_floor.cpp), the least work any
packer does, on one thread. The floor with zlib's level 9 makes, byte for byte,
the archive the packer made before it compressed with libdeflate; BEFORE, the
path of such a packer, adds its own row. Rounds alternate as in compare.py
(its run_once and alternate). Afterwards, untimed: every archive is checked to
be the floor's byte for byte at any -j, and every type-4 stream is inflated by
Python's zlib. The section "## Packer" of RESULTS_MD is replaced (or added);
the rest of the file is left as it is.
"""
import os
import shutil
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402  (the benchmark's runner, beside this file)
import results_md as results_file  # noqa: E402

LEVELS = list(range(1, 13))
DEFAULT_LEVEL = 6  # pack/payload.hpp: pack_level_default
HEADING = "## Packer (create)"


def images_of(build, work):
    """The extracted images, made once from the small archive (again when it is newer)."""
    folder = os.path.join(work, "pack-images")
    archive = os.path.join(work, "small", "bench-tga.pak")
    if not os.path.isdir(folder) or os.path.getmtime(folder) < os.path.getmtime(archive):
        part = folder + ".part"
        shutil.rmtree(part, ignore_errors=True)
        os.makedirs(part)
        subprocess.run([os.path.join(build, "morvex_tex_extractor"), archive], cwd=part, check=True,
                       stdout=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)
        os.rename(part, folder)
    return folder


def type4_streams_ok(path):
    """Every type-4 payload inflated by Python's zlib to its pixels' bytes; the entries counted."""
    with open(path, "rb") as f:
        data = f.read()
    count = int.from_bytes(data[4:8], "little")
    for i in range(count):
        record = data[256 + 12 * i:256 + 12 * i + 12]
        offset, size = int.from_bytes(record[4:8], "little"), int.from_bytes(record[8:12], "little")
        header = data[offset:offset + 80]
        width, height = int.from_bytes(header[32:34], "little"), int.from_bytes(header[34:36], "little")
        if header[36] == 4 and len(zlib.decompress(data[offset + 80:offset + 80 + size])) != width * height * 2:
            raise SystemExit(f"{path}: entry {i} inflates to other than its pixels")
    return count


def verify(build, work, images, before):
    """Untimed: the packer's archives are the floor's at any -j; Python's zlib reads every stream."""
    pack = os.path.join(build, "morvex_tex_pack")
    floor = os.path.join(build, "bench", "morvex_bench_pack_floor")
    folder = os.path.join(work, "pack-verify")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    notes = []
    for type_, level in [("4", str(l)) for l in LEVELS] + [("6", "1")]:
        paths = []
        for name, argv in [("floor", [floor, "floor.pak", type_, level, images]),
                           ("j1", [pack, "-q", "-j", "1", "-t", type_, "--level", level, "create", "j1.pak", images]),
                           ("j2", [pack, "-q", "-j", "2", "-t", type_, "--level", level, "create", "j2.pak", images]),
                           ("j16", [pack, "-q", "-j", "16", "-t", type_, "--level", level, "create", "j16.pak",
                                    images])]:
            # Each made anew: create over the last level's archive would say it replaced one.
            paths.append(os.path.join(folder, f"{name}.pak"))
            if os.path.exists(paths[-1]):
                os.remove(paths[-1])
            subprocess.run(argv, cwd=folder, check=True)
        contents = [open(p, "rb").read() for p in paths]
        if any(c != contents[0] for c in contents):
            raise SystemExit(f"type {type_} level {level}: the archives differ")
        type4_streams_ok(paths[0])
    subprocess.run([floor, "zlib9.pak", "4", "zlib9", images], cwd=folder, check=True)
    type4_streams_ok(os.path.join(folder, "zlib9.pak"))
    notes.append("- Checked after the runs (untimed): at every level and in type 6, the archive of `create` at -j 1, "
                 "-j 2 and -j 16 is the floor's, byte for byte; Python's zlib inflates every type-4 stream of "
                 "them to its entry's pixels.")
    if before:
        subprocess.run([before, "-q", "-t", "4", "create", "before.pak", images], cwd=folder, check=True)
        same = open(os.path.join(folder, "before.pak"), "rb").read() == open(os.path.join(folder, "zlib9.pak"),
                                                                             "rb").read()
        notes.append(f"- The packer given as BEFORE writes {'the same archive as' if same else 'another archive than'} "
                     "the floor with zlib's level 9, byte for byte.")
    shutil.rmtree(folder)
    return notes


def busy_seconds():
    """CPU seconds every processor of the machine has been busy, and the wall clock."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK"), time.monotonic()


def others_load(start, end, runs):
    """The processors other jobs kept busy on average while the rounds ran."""
    ours = sum(r["cpu"] for rs in runs.values() for r in rs)
    return max(0.0, (end[0] - start[0] - ours) / (end[1] - start[1]))


def section(runs, started, rounds, load_before, load_after, before, notes, others):
    med = compare.median

    def row(name):
        rs = runs[name]
        return (f"| {name} | {len(rs)} | {med(rs, 'wall'):.3f} s | {med(rs, 'cpu'):.3f} s | {med(rs, 'user'):.3f} s | "
                f"{med(rs, 'sys'):.3f} s | {max(r['rss'] for r in rs):.1f} MiB | {rs[0]['bytes'] / 2**20:.2f} |")

    def ratio(a, b, key):
        return med(runs[a], key) / med(runs[b], key)

    today = "before: create -t 4, one thread" if before else "floor -t 4, zlib 9"
    today_text = ("the packer before this change, on one thread" if before else
                  "the floor with zlib's level 9, which writes the packer's archive of before, byte for byte")
    lines = ["| contender | runs | wall (median) | CPU user+sys (median) | user | sys | peak memory (max) "
             "| MiB written |", "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    lines += [row(name) for name in runs]

    levels = ["| level | archive MiB | size / zlib 9 | one thread: packer / floor (CPU) | default workers / floor "
              "(wall) | default workers / today's (wall) | default workers / one thread (CPU) |",
              "| ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    today_bytes = runs[today][0]["bytes"]
    for level in LEVELS:
        one, many, floor = f"create -t 4 -{level}, -j 1", f"create -t 4 -{level}", f"floor -t 4 -{level}"
        levels.append(f"| {level}{' (default)' if level == DEFAULT_LEVEL else ''}{' (--best)' if level == 12 else ''} | "
                      f"{runs[many][0]['bytes'] / 2**20:.2f} | {runs[many][0]['bytes'] / today_bytes:.3f} | "
                      f"{ratio(one, floor, 'cpu'):.2f} | {ratio(many, floor, 'wall'):.2f} | "
                      f"{ratio(many, today, 'wall'):.3f} | {ratio(many, one, 'cpu'):.2f} |")

    def verdict(ok):
        return "met" if ok else "NOT met"

    d = DEFAULT_LEVEL
    default_many, default_one, default_floor = f"create -t 4 -{d}", f"create -t 4 -{d}, -j 1", f"floor -t 4 -{d}"
    size_default = runs[default_many][0]["bytes"] / today_bytes
    size_best = runs["create -t 4 -12"][0]["bytes"] / today_bytes
    targets = [
        "| target | measured | at most | |", "| --- | ---: | ---: | --- |",
        f"| default level, default workers: wall / today's (zlib 9, one thread) | "
        f"{ratio(default_many, today, 'wall'):.3f} | 0.167 | {verdict(ratio(default_many, today, 'wall') <= 1 / 6)} |",
        f"| default level: archive / today's | {size_default:.3f} | 1.05 | {verdict(size_default <= 1.05)} |",
        f"| --best: archive / today's | {size_best:.3f} | 0.93 | {verdict(size_best <= 0.93)} |",
        f"| default level, one thread: packer / floor (CPU) | {ratio(default_one, default_floor, 'cpu'):.2f} | 1.10 | "
        f"{verdict(ratio(default_one, default_floor, 'cpu') <= 1.10)} |",
        f"| default level, default workers / floor on one thread (wall) | "
        f"{ratio(default_many, default_floor, 'wall'):.2f} | 0.60 | "
        f"{verdict(ratio(default_many, default_floor, 'wall') <= 0.60)} |",
        f"| type 6, one thread: packer / floor (CPU) | {ratio('create -t 6, -j 1', 'floor -t 6', 'cpu'):.2f} | 1.10 | "
        f"{verdict(ratio('create -t 6, -j 1', 'floor -t 6', 'cpu') <= 1.10)} |",
        f"| type 6, default workers / floor on one thread (wall) | {ratio('create -t 6', 'floor -t 6', 'wall'):.2f} | "
        "| for reference |",
    ]
    walls = ", ".join(f"{r['wall']:.2f}" for r in runs[default_many])
    notes = [f"- Default level, default workers, wall time of each round: {walls} s, against {med(runs[default_floor], 'wall'):.2f} s "
             "for the floor on one thread: the rounds in which another job held a processor gained nothing."] + notes
    return [
        HEADING,
        "",
        f"Measured by `bench/compare_pack.py` on {started}, {rounds} alternating rounds, on its own: the rest of this",
        "file is an earlier run of `bench/run.sh`, not repeated (run.sh runs this section after the rest).",
        "Images: the 41 TGA files the extractor writes from the archive a tenth the size (14 of 1024 x 1024, 24 of",
        "256 x 256, 3 of 512 x 512, 66 MiB). \"create\" is `morvex_tex_pack create` of that folder (-j 1: one thread;",
        "otherwise its default workers, one per processor: 2 here); \"floor\" is morvex_bench_pack_floor on one thread",
        "(bench/pack_floor.cpp: the packer's decoders and payload maker, one read and one write an image, nothing",
        f"else). \"today's\" is {today_text}.",
        f"Load average (1, 5, 15 min) before: {load_before}; after: {load_after}. Other jobs kept {others:.2f} of the",
        f"{os.cpu_count()} processors busy on average while the rounds ran (/proc/stat, less the runs' own CPU time): wall",
        "times carry their noise, and the default workers gain on wall time only from a processor that is free;",
        "CPU times (user + system) are the steadier measure.",
        "",
        *lines,
        "",
        "### Levels (ratios of medians from the same rounds; sizes against zlib's level 9)",
        "",
        *levels,
        "",
        "### Targets",
        "",
        *targets,
        "",
        *notes,
        "",
    ]


def main():
    build, work, rounds, results_md = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), int(sys.argv[3]), \
        sys.argv[4]
    before = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else None
    images = images_of(build, work)
    runs_dir = os.path.join(work, "runs")
    shutil.rmtree(runs_dir, ignore_errors=True)
    os.makedirs(runs_dir)
    pack = os.path.join(build, "morvex_tex_pack")
    floor = os.path.join(build, "bench", "morvex_bench_pack_floor")

    contenders = []
    for level in LEVELS:
        create = [pack, "-q", "-t", "4", f"--level={level}", "create", "out.pak", images]
        contenders += [
            (f"create -t 4 -{level}, -j 1", create[:1] + ["-j", "1"] + create[1:], None),
            (f"create -t 4 -{level}", create, None),
            (f"floor -t 4 -{level}", [floor, "out.pak", "4", str(level), images], None),
        ]
    contenders += [
        ("create -t 6, -j 1", [pack, "-q", "-j", "1", "create", "out.pak", images], None),
        ("create -t 6", [pack, "-q", "create", "out.pak", images], None),
        ("floor -t 6", [floor, "out.pak", "6", "1", images], None),
        ("floor -t 4, zlib 9", [floor, "out.pak", "4", "zlib9", images], None),
    ]
    if before:
        contenders.append(("before: create -t 4, one thread", [before, "-q", "-t", "4", "create", "out.pak", images],
                           None))
    load_before = compare.loadavg()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    busy_start = busy_seconds()
    runs = compare.alternate(build, work, contenders, rounds, lambda s: print(s, flush=True))
    others = others_load(busy_start, busy_seconds(), runs)
    load_after = compare.loadavg()
    shutil.rmtree(runs_dir)
    notes = verify(build, work, images, before)
    text = section(runs, started, rounds, load_before, load_after, before, notes, others)
    results_file.splice(results_md, HEADING, text)
    print("\n".join(text))


if __name__ == "__main__":
    main()
