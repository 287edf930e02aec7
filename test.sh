#!/usr/bin/env bash
# Installs what is missing (the browser for the gallery page's test too),
# builds with warnings as errors and runs every test;
# then builds the browser page (scripts/build-web.sh, WebAssembly); then checks
# ./run.sh, `cmake --install` and the Debian package, which carries the page, on
# a fresh build (scripts/package-test.sh); then tests the page in chromium
# against the Linux programs; then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) and runs every test once more, failing on any
# sanitizer report; then builds with ThreadSanitizer and runs the tests that
# put entries on worker threads and those of the library's API; last, cross-builds the Windows programs and
# runs their tests under Wine, and compares them with the Linux programs
# (scripts/windows-test.sh); its .zip carries the page too. The tests are run from their build folder, as ctest before
# 3.20 has no --test-dir.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc)"

"$here/scripts/install-deps.sh" browser

# The browser page's test runs in its own stage below, once the page is built.
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON -DMORVEX_WEB_PAGE= >/dev/null
cmake --build "$here/build" -j"$jobs"
(cd "$here/build" && ctest --output-on-failure -j"$jobs")

# The browser page: the library built to WebAssembly (the dependencies built
# once, cached in build-web/deps); installed and packaged with the programs,
# then opened in chromium from disk and held to the Linux programs just built.
"$here/scripts/build-web.sh" "$here/build-web"
page="$here/build-web/morvex_tex.html"

"$here/scripts/package-test.sh" "$page"

cmake -S "$here" -B "$here/build" -DMORVEX_WEB_PAGE="$page" >/dev/null
(cd "$here/build" && ctest --output-on-failure -R '^WebPage\.')

# Every report stops the process it happens in (the build sets
# -fno-sanitize-recover=all), so it fails its test. AddressSanitizer's and
# LeakSanitizer's reports are also written to files, so that one from an
# extractor run whose exit status a test ignores still fails the suite.
asan="$here/build-asan"
cmake -S "$here" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DMORVEX_SANITIZE=ON -DMORVEX_WERROR=OFF >/dev/null
cmake --build "$asan" -j"$jobs"
reports="$asan/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
(cd "$asan" && ctest --output-on-failure -j"$jobs") || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for f in "$reports"/*; do
    echo "== $f" >&2
    cat "$f" >&2
  done
  status=1
fi

# The tests that run entries on worker threads, under ThreadSanitizer: any
# report fails the run (the extractor runs they start are built with it too).
tsan="$here/build-tsan"
cmake -S "$here" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DMORVEX_TSAN=ON -DMORVEX_WERROR=OFF >/dev/null
cmake --build "$tsan" -j"$jobs" --target morvex_tests morvex_tex_extractor
unset ASAN_OPTIONS
export TSAN_OPTIONS="halt_on_error=1:log_path=$reports/tsan"
(cd "$tsan" && ctest --output-on-failure -j"$jobs" -R '^(Workers|Corruption|OutputFiles|Overlap|TypeFourInflation|PublicApi)\.') ||
  status=$?
if compgen -G "$reports/tsan*" >/dev/null; then
  echo "thread sanitizer reports:" >&2
  cat "$reports"/tsan* >&2
  status=1
fi
unset TSAN_OPTIONS

MORVEX_LINUX_BUILD="$here/build" MORVEX_WEB_PAGE_INSTALL="$page" "$here/scripts/windows-test.sh" "$here/build-windows" || status=1
exit "$status"
