#!/usr/bin/env bash
# How much of the project's code the tests run, by hand (not part of ./test.sh):
#
#   scripts/coverage.sh [BUILD]     (default: build-coverage/ in the source)
#
# Builds everything with g++'s coverage counters, unoptimised (MORVEX_COVERAGE,
# Debug), runs every test CTest knows (the unit and end-to-end tests, the fuzz
# corpus replays; the browser test when chromium is installed), then prints the
# line and branch coverage of each module (format/, images/, files/, entries/,
# pack/, app/) and their total.
# Only those folders count: the tests, bench/, fuzz/, the generated headers and
# the system's headers are left out. So are the branches of throwing (each call
# that may throw has one nobody means to test) and the compiler's own branches
# on lines without code.
#
# It leaves in BUILD/coverage/: index.html, the report with every source file
# annotated line by line (which branches were taken); summary.csv, the figures
# per file; coverage.json, gcovr's data, to read again with
# `gcovr -a BUILD/coverage/coverage.json ...` without running the tests.
#
# The counts of an earlier run are removed first, so every run measures one
# run of the tests. Exits 1 when a test failed (the figures are still printed:
# they count what ran).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-coverage}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"
jobs="$(nproc)"
out="$build/coverage"

"$here/scripts/install-deps.sh" coverage

# g++, as gcov reads only g++'s counters. Warnings are not errors here: a
# warning that only -O0 brings would stop a measurement, not a release.
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DMORVEX_COVERAGE=ON -DMORVEX_WERROR=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$jobs"

# Counts add up across runs; a changed source's old counts would not even fit.
# gcov's own files are what an interrupted report leaves behind.
find "$build" \( -name '*.gcda' -o -name '*.gcov' \) -delete
status=0
(cd "$build" && ctest --output-on-failure -j"$jobs") || status=$?

rm -rf "$out"
mkdir -p "$out"
# Filters are relative to the folder gcovr runs in (the source); the search
# path is the build folder alone, so that another build inside the source is
# never read. One gcov at a time: when one fails, Debian 12's gcovr (5.2)
# waits forever for its parallel ones.
cd "$here"
gcovr --root "$here" --object-directory "$build" \
  --filter 'format/' --filter 'images/' --filter 'files/' --filter 'entries/' --filter 'pack/' --filter 'app/' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json "$out/coverage.json" --csv "$out/summary.csv" \
  --html-details "$out/index.html" --html-title "morvex_tex_extractor coverage" \
  "$build"

# summary.csv: filename,line_total,line_covered,line_percent,branch_total,branch_covered,...
# one row per file, named relative to the source.
awk -F, '
  function pct(covered, total) { return total ? sprintf("%5.1f %%", 100 * covered / total) : "    - " }
  function row(name, lc, lt, bc, bt) {
    printf "%-8s %s %13s   %s %13s\n", name, pct(lc, lt), "(" lc "/" lt ")", pct(bc, bt), "(" bc "/" bt ")"
  }
  NR > 1 {
    folder = $1
    sub(/\/.*/, "", folder)
    lt[folder] += $2; lc[folder] += $3; bt[folder] += $5; bc[folder] += $6
    LT += $2; LC += $3; BT += $5; BC += $6
  }
  END {
    printf "%-8s %-21s   %s\n", "folder", "lines", "branches"
    n = split("format images files entries pack app", folders, " ")
    for (i = 1; i <= n; i++) row(folders[i], lc[folders[i]], lt[folders[i]], bc[folders[i]], bt[folders[i]])
    row("total", LC, LT, BC, BT)
  }' "$out/summary.csv"
echo "annotated sources: $out/index.html"

if [ "$status" -ne 0 ]; then
  echo "coverage: some tests failed (above); the figures count what ran" >&2
  exit 1
fi
