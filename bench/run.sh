#!/usr/bin/env bash
# bench/run.sh [ROUNDS]
# Builds what the benchmark needs (Release, -O3, in build-bench/), makes the
# archives once, runs the decoders' and writers' micro-benchmarks, then every
# contender in alternation for ROUNDS rounds (default 7): for each format the
# tool with its default workers and with one, and the floor program on one
# thread and on two; raw mode against the floor's two ways of copying; cp and
# the Python peer; test and gallery on the archive and on one of noisy alpha;
# then the packer's rows (compare_pack.py: create at every level against its
# floor). Prints the summary and writes it to bench/RESULTS.md. Not part of
# the tests; takes several minutes, and wants an idle machine.
# MORVEX_PACK_BEFORE, the path of another morvex_tex_pack, adds its row to the
# packer's.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
rounds="${1:-7}"
build="$root/build-bench"
work="$build/bench-work"

"$root/scripts/install-deps.sh" bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG" \
  -DMORVEX_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target morvex_tex_extractor morvex_tex morvex_tex_pack morvex_bench_archive \
  morvex_bench_floor morvex_bench_pack_floor morvex_bench_run morvex_bench_decoders >/dev/null

# The archives: about 100 MiB, and one a tenth the size to show that memory
# doesn't grow with the archive. Made again when the maker changed.
maker="$build/bench/morvex_bench_archive"
mkdir -p "$work/small"
if [ "$maker" -nt "$work/bench-tga.pak" ] || [ ! -e "$work/bench-noisy-alpha.pak" ]; then
  echo "making the archives..." >&2
  "$maker" "$work"
  "$maker" "$work/small" 14 24 3
  "$maker" "$work" noisy
fi

echo "micro-benchmarks..." >&2
"$build/bench/morvex_bench_decoders" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/micro.json" --benchmark_out_format=json | grep -v -E '_(mean|stddev|cv) '

echo "alternating runs..." >&2
/usr/bin/python3 "$here/compare.py" "$build" "$work" "$rounds" "$work/micro.json" "$here/RESULTS.md"

echo "the packer's rows..." >&2
/usr/bin/python3 "$here/compare_pack.py" "$build" "$work" "$rounds" "$here/RESULTS.md" ${MORVEX_PACK_BEFORE:+"$MORVEX_PACK_BEFORE"}
