#!/usr/bin/env bash
# bench/before_after.sh REV [ROUNDS]
# The extractor built (Release, -O3) from REV against the work tree's,
# alternating in one run: `MORVEX_TEX_JOBS=1 morvex_tex_extractor
# bench-FORMAT.pak` in a fresh folder for each format, ROUNDS rounds (default
# 9), CPU (user + system) medians and their ratio. REV is checked out in a
# worktree beside the build (build-bench/before-REV), never in this one. Not
# part of the tests; wants an idle machine.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
rev="${1:?usage: bench/before_after.sh REV [ROUNDS]}"
rounds="${2:-9}"
build="$root/build-bench"
work="$build/bench-work"
old_src="$build/before-src"
old_build="$build/before-build"

"$root/scripts/install-deps.sh" bench
flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG" -DBUILD_TESTING=OFF)
cmake -S "$root" -B "$build" "${flags[@]}" -DMORVEX_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target morvex_tex_extractor morvex_bench_archive >/dev/null
commit="$(git -C "$root" rev-parse --verify "$rev^{commit}")"
if [ "$(git -C "$old_src" rev-parse HEAD 2>/dev/null || true)" != "$commit" ]; then
  git -C "$root" worktree remove --force "$old_src" 2>/dev/null || rm -rf "$old_src"
  git -C "$root" worktree add --detach "$old_src" "$commit" >/dev/null
fi
cmake -S "$old_src" -B "$old_build" "${flags[@]}" -DMORVEX_PYTHON=OFF >/dev/null
cmake --build "$old_build" -j2 --target morvex_tex_extractor >/dev/null

maker="$build/bench/morvex_bench_archive"
if [ "$maker" -nt "$work/bench-tga.pak" ]; then
  mkdir -p "$work"
  "$maker" "$work"
fi

python3 - "$rounds" "$work" "$old_build/morvex_tex_extractor" "$build/morvex_tex_extractor" "${rev}" <<'PY'
import os, resource, shutil, statistics, subprocess, sys, tempfile
rounds, work, before, after, rev = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
env = dict(os.environ, MORVEX_TEX_JOBS="1")
times = {}
for r in range(rounds):
    for fmt in ("bmp", "pcx", "tga", "png"):
        for who, program in (("before", before), ("after", after)) if r % 2 == 0 else (("after", after), ("before", before)):
            folder = tempfile.mkdtemp(dir=work)
            start = resource.getrusage(resource.RUSAGE_CHILDREN)
            subprocess.run([program, os.path.join(work, f"bench-{fmt}.pak")], cwd=folder, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            end = resource.getrusage(resource.RUSAGE_CHILDREN)
            shutil.rmtree(folder)
            cpu = (end.ru_utime - start.ru_utime) + (end.ru_stime - start.ru_stime)
            times.setdefault((fmt, who), []).append(cpu)
print(f"| format | before ({rev}) | after | after / before |")
print("| --- | ---: | ---: | ---: |")
for fmt in ("bmp", "pcx", "tga", "png"):
    b, a = statistics.median(times[(fmt, "before")]), statistics.median(times[(fmt, "after")])
    print(f"| .{fmt} | {b:.3f} s | {a:.3f} s | {a / b:.3f} |")
PY
