#!/usr/bin/env bash
# Tests the Windows build under Wine:
#   scripts/windows-test.sh [OUT]      (default: build-windows/ in the source)
# builds it (scripts/build-windows.sh OUT), runs its test program, then runs
# the Linux and the Windows programs on the same archives and images and
# compares, byte for byte, what they print (standard output and error), how
# they end, and every file they write. The Linux programs are those of
# $MORVEX_LINUX_BUILD (default: build/, which test.sh has just built). With
# MORVEX_WEB_PAGE_INSTALL naming the browser page, the .zip must carry it,
# byte for byte, as morvex_tex.html beside the programs.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$here/build-windows}"
linux="${MORVEX_LINUX_BUILD:-$here/build}"

start=$SECONDS
"$here/scripts/build-windows.sh" "$out" >/dev/null
out="$(cd "$out" && pwd)"
echo "windows build: $((SECONDS - start)) s"

zip_status=0
if [ -n "${MORVEX_WEB_PAGE_INSTALL:-}" ]; then
  python3 - "$MORVEX_WEB_PAGE_INSTALL" "$(ls -t "$out"/*.zip | head -n 1)" <<'PY' || zip_status=1
import sys, zipfile
page = open(sys.argv[1], "rb").read()
with zipfile.ZipFile(sys.argv[2]) as z:
    tops = {n.split("/")[0] for n in z.namelist()}
    held = [n for n in z.namelist() if n.endswith("/morvex_tex.exe") and n.count("/") == 1]
    name = held[0].rsplit("/", 1)[0] + "/morvex_tex.html" if held else None
    if len(tops) != 1 or not name or name not in z.namelist() or z.read(name) != page:
        sys.exit("windows-test: %s does not carry the page as morvex_tex.html beside the programs" % sys.argv[2])
PY
fi

# Statically linked: the programs need nothing but Windows' own libraries.
for program in morvex_tex_extractor morvex_tex morvex_tex_pack; do
  others="$(x86_64-w64-mingw32-objdump -p "$out/build/$program.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    grep -viE '^(kernel32|advapi32|ntdll|bcrypt|shell32|msvcrt|user32)\.dll$' || true)"
  if [ -n "$others" ]; then
    echo "windows-test: $program.exe needs libraries that are not Windows' own: $others" >&2
    exit 1
  fi
done

# Wine's own files in the build folder; no prompt to install its .NET or
# browser components; its debug messages off.
export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
win="$out/build"
# One Wine server for every run, kept until the end, rather than one started
# and stopped around each program. The prefix is this build's own: whatever
# still runs in it from an earlier run is stopped first.
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
wineserver -p
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
wine wineboot --init >/dev/null 2>&1 || true

start=$SECONDS
status=0
# A failing test is final. A run that ends without the test program's
# summary was lost before it could give one (see run() below): it runs again.
tests_log="$out/windows-tests.log"
for attempt in 1 2; do
  set +e
  (cd "$win" && wine ./morvex_tests.exe --gtest_brief=1) 2>&1 | tee "$tests_log"
  rc=${PIPESTATUS[0]}
  set -e
  [ "$rc" -eq 0 ] && break
  if [ "$attempt" -eq 2 ] || grep -q '^\[  FAILED  \]' "$tests_log"; then
    status=1
    break
  fi
  echo "UNSTEADY: the Windows test program ended without its summary (status $rc): run again" >&2
done
echo "windows test program: $((SECONDS - start)) s"

# ---------------------------------------------------------------------------
# The same runs on both systems.
start=$SECONDS
work="$(mktemp -d -t morvex-windows.XXXXXX)"
trap 'rm -rf "$work"; stop_wine' EXIT
compared=0
differ=0
unsteady=0

# run NAME PROGRAM ARGS...: runs the Linux and the Windows program in fresh
# copies of $work/in and compares everything. With names_differ=1, the files
# are compared by content alone: names that are not UTF-8 are read as
# Windows-1252 on Windows, on purpose. With piped=FILE, FILE is piped into
# the program's standard input.
#
# A Windows run that differs is run once more. Differing again, it is a
# failure; matching then, it is reported as unsteady with everything the
# first run showed, and counted apart: Wine's loader now and then fails to
# map a new process's shared memory (about one start in a thousand), and the
# program ends before it begins, with status 1 and nothing written. One such
# loss should not stop the build; anything the programs do wrong every time
# does.
names_differ=0
piped=/dev/null
run_side() {
  local side="$1" program="$2"
  shift 2
  rm -rf "$work/$side"
  cp -r "$work/in" "$work/$side"
  set +e
  if [ "$side" = linux ]; then
    (cd "$work/$side" && cat "$piped" | "$linux/$program" "$@" >"$work/$side.out" 2>"$work/$side.err")
  else
    (cd "$work/$side" && cat "$piped" | wine "$win/$program.exe" "$@" >"$work/$side.out" 2>"$work/$side.err")
  fi
  echo "$?" >"$work/$side.status"
  set -e
}
# differences NAME: what differs between the two sides, on standard error.
differences() {
  local name="$1" what found=1
  for what in out err status; do
    if ! cmp -s "$work/linux.$what" "$work/windows.$what"; then
      echo "$name: standard $what" >&2
      diff <(od -c "$work/linux.$what" | head -20) <(od -c "$work/windows.$what" | head -20) >&2 || true
      found=0
    fi
  done
  if [ "$names_differ" = 1 ]; then
    if ! cmp -s <(cd "$work/linux" && find . -type f -exec md5sum {} + | cut -d' ' -f1 | sort) \
      <(cd "$work/windows" && find . -type f -exec md5sum {} + | cut -d' ' -f1 | sort); then
      echo "$name: the files written" >&2
      found=0
    fi
  elif ! diff -r "$work/linux" "$work/windows" >&2; then
    echo "$name: the files written" >&2
    found=0
  fi
  return "$found"
}
run() {
  local name="$1"
  shift
  compared=$((compared + 1))
  run_side linux "$@"
  run_side windows "$@"
  local first
  first="$(differences "$name" 2>&1)" || return 0
  run_side windows "$@"
  if differences "$name" 2>/dev/null; then
    echo "DIFFERS: $first" >&2
    differ=$((differ + 1))
  else
    echo "UNSTEADY (matched when run again): $first" >&2
    unsteady=$((unsteady + 1))
  fi
}

for archive in "$here"/fuzz/corpus/*; do
  a="$(basename "$archive")"
  rm -rf "$work/in"
  mkdir -p "$work/in"
  cp "$archive" "$work/in/$a.pak"
  names_differ=0
  [ "$a" = name-with-a-c1-byte ] && names_differ=1
  run "$a: report" morvex_tex_extractor "$a.pak"
  run "$a: report, as stored" morvex_tex_extractor "$a.pak" -no-convert
  run "$a: list" morvex_tex list "$a.pak"
  run "$a: list --json" morvex_tex list --json "$a.pak"
  run "$a: test --json" morvex_tex test --json "$a.pak"
  run "$a: extract" morvex_tex extract -C out "$a.pak"
  run "$a: extract --raw --keep" morvex_tex extract --raw --keep -j 2 "$a.pak"
  run "$a: extract --format png" morvex_tex extract --format png -q -C png "$a.pak" '*.t?a'
  run "$a: extract -O" morvex_tex extract -O "$a.pak"
  run "$a: gallery" morvex_tex gallery -j 2 "$a.pak"
  run "$a: gallery -o sub/page.html" morvex_tex gallery --size 16 -o sub/page.html "$a.pak"
  piped="$archive"
  run "$a: list - (a pipe)" morvex_tex list --json -
  run "$a: gallery -o - - (a pipe)" morvex_tex gallery -o - -
  run "$a: extract -O --raw - (a pipe)" morvex_tex extract -O --raw --ignore-case - 'A*' '*.TGA'
  piped=/dev/null
done

# The packer, from the image fixtures of every format, and back.
rm -rf "$work/in"
mkdir -p "$work/in"
cp "$here"/tests/fixtures/images/*.{png,tga,bmp,pcx,jpg,jpeg,webp} "$work/in/"
images=()
for f in "$work"/in/*.{png,tga,bmp,pcx,jpg,jpeg,webp}; do images+=("$(basename "$f")"); done
run "pack create" morvex_tex_pack create all.pak "${images[@]}"
run "pack create --type 4" morvex_tex create --type 4 all4.pak "${images[@]}"
"$linux/morvex_tex_pack" create -q "$work/in/all.pak" "${images[@]/#/$work/in/}" >/dev/null 2>&1
run "pack replace" morvex_tex_pack replace all.pak new.pak rgba8.png=pal8.png
run "extract what was packed" morvex_tex_extractor all.pak
run "extract --format webp" morvex_tex extract --format webp -q -C webp all.pak
# Edits in place: the archive replaced by its edited copy, on both sides.
run "add in place" morvex_tex add all.pak rgba8.png=extra/new.png
run "delete in place" morvex_tex delete -v all.pak 'PAL*' --ignore-case
run "rename in place" morvex_tex rename all.pak rgba8.png x/y.tga
run "replace in place" morvex_tex replace all.pak all.pak rgba8.png=pal8.png
run "an edit refused" morvex_tex add all.pak rgba8.png
run "update in place" morvex_tex update all.pak rgba8.png=pal8.png grey8.png=new/g.png
run "update, nothing changed" morvex_tex update -v all.pak rgba8.png
run "create over an archive, refused" morvex_tex create all.pak rgba8.png
run "add, operands swapped" morvex_tex add rgba8.png all.pak

# The command line: list's patterns and totals, the hint of --ignore-case,
# bundled options, a usage error in one line, arguments in the wrong order,
# an error that ends the call.
run "list -v with patterns" morvex_tex list -v all.pak '*.png' -x 'rgb*'
run "list, another letter case" morvex_tex list all.pak 'PAL*.PNG'
run "extract, bundled options" morvex_tex extract -qkC out -j2 all.pak '*.tga'
run "a misspelt option" morvex_tex extract --ignore-cas all.pak
run "a misspelt command" morvex_tex lsit all.pak
run "the wrong order" morvex_tex extract rgba8.png all.pak
run "no such archive" morvex_tex extract nothere.pak 'ui/*'
run "list --json of no archive" morvex_tex list --json nothere.pak

# Archives dropped on the program, alone on the line: each into the folder
# beside it named after it, the next name when that one holds files; a line
# with anything else is the usage error, and nothing is written.
run "dropped archives" morvex_tex all.pak
mkdir -p "$work/in/sub" "$work/in/all"
cp "$work/in/all.pak" "$work/in/sub/Other.PAK"
echo mine >"$work/in/all/mine.txt"
run "dropped archives, the first name taken" morvex_tex all.pak sub/Other.PAK
run "dropped archives and an image" morvex_tex all.pak rgba8.png

# What is there already: a folder under an entry's name is never replaced, a
# file is only where replacing is asked for, and a failed entry leaves what
# was there.
rm -rf "$work/in"
mkdir -p "$work/in/out/a.tga"
cp "$here/tests/fixtures/images/rgb24.tga" "$work/in/one.tga"
echo old >"$work/in/out/b.tga"
echo old >"$work/in/out/c.tga"
"$linux/morvex_tex_pack" create -q "$work/in/there.pak" "$work/in/one.tga=a.tga" "$work/in/one.tga=b.tga" >/dev/null
run "what is there, replaced" morvex_tex extract -C out there.pak
run "what is there, kept" morvex_tex extract --keep -C out there.pak
run "what is there, the extractor" morvex_tex_extractor there.pak

# Links beneath the output folder: one leading out is never followed, one
# leading to a folder inside is, on both systems (Wine shows a link of the
# system underneath as a folder; where it really is gives it away).
rm -rf "$work/in" "$work/elsewhere"
mkdir -p "$work/in/out/real" "$work/elsewhere"
ln -s "$work/elsewhere" "$work/in/out/away"
ln -s real "$work/in/out/inside"
cp "$here/tests/fixtures/images/rgb24.tga" "$work/in/one.tga"
"$linux/morvex_tex_pack" create -q "$work/in/links.pak" "$work/in/one.tga=away/x.tga" \
  "$work/in/one.tga=inside/y.tga" "$work/in/one.tga=away/deeper/z.tga" >/dev/null
run "links" morvex_tex extract -C out links.pak
run "links, no folders made" morvex_tex_extractor links.pak
if [ -n "$(ls -A "$work/elsewhere")" ]; then
  echo "DIFFERS: links: something was written through the link leading out" >&2
  differ=$((differ + 1))
fi

# Ctrl-C typed at a run: what was in flight is gone, what is there is whole,
# and the process ends as Ctrl-C ends it (STATUS_CONTROL_C_EXIT, of which the
# system underneath keeps the low byte, 0x3A).
rm -rf "$work/in"
mkdir -p "$work/in/out"
cp "$here/tests/fixtures/images/rgb24.tga" "$work/in/one.tga"
many=()
for k in $(seq -w 1 4000); do many+=("one.tga=e$k.tga"); done
(cd "$work/in" && "$linux/morvex_tex_pack" create -q many.pak "${many[@]}" >/dev/null)
(cd "$work/in" && "$linux/morvex_tex" extract -q -C whole many.pak >/dev/null)
set +e
(cd "$work/in" && python3 "$here/scripts/ctrl-c.py" out wine "$win/morvex_tex.exe" extract -j 2 -C out many.pak)
interrupted=$?
set -e
left="$(find "$work/in/out" -name '.morvex-*' | wc -l)"
broken=0
for f in "$work"/in/out/*; do
  [ -e "$f" ] || continue
  cmp -s "$f" "$work/in/whole/$(basename "$f")" || broken=$((broken + 1))
done
placed="$(find "$work/in/out" -type f | wc -l)"
compared=$((compared + 1))
if [ "$interrupted" -ne 58 ] || [ "$left" -ne 0 ] || [ "$broken" -ne 0 ] || [ "$placed" -ge 4000 ]; then
  echo "DIFFERS: Ctrl-C: status $interrupted, $left temporary files left, $broken of $placed files not whole" >&2
  differ=$((differ + 1))
fi

echo "windows against linux: $compared runs compared in $((SECONDS - start)) s"
echo "windows: $((compared - differ)) passed ($unsteady only when run again), $differ failed"
[ "$differ" -eq 0 ] || status=1
[ "$zip_status" -eq 0 ] || status=1
exit "$status"
