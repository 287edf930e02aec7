#!/usr/bin/env bash
# scripts/package-test.sh: what a user and a packager get, from a fresh build
# made by ./run.sh in a scratch folder (test.sh runs it after the unit tests).
#   1. ./run.sh builds and extracts its demo archive.
#   2. `cmake --install` into a temporary prefix puts every program, man page
#      and completion file in place; the installed programs work.
#   3. `cpack -G DEB` builds what the packages hold and not the tests: the
#      programs' package, whose fields name the packages of the shared
#      libraries the programs link, libmorvex-tex1 (the shared library and its
#      shlibs) and libmorvex-tex-dev (depending on libmorvex-tex1 of its
#      version, with doc/api.md and the examples), each with its changelog,
#      which lintian finds no error in
#      (nor missing hardening); unpacked with `dpkg -x` into a scratch root,
#      the programs and the library work. A maintainer given to CMake is the
#      packages'.
# "Work" means: the extractor writes the same files as the build tree's on the
# demo archive, the packer replaces and creates archives the extractor reads,
# the version is the project's everywhere, the completions answer; and the
# examples (examples/), built on the installed library through pkg-config and
# through CMake's find_package (shared, and static from the package), list the
# demo archive as `morvex_tex list` does and write an entry as a PNG file whose
# pixels, read by Python's zlib, are those of the extractor's TGA file.
# When the build made the Python module, `cmake --install` installs it and
# cpack makes a fourth package, python3-morvex-tex, on libmorvex-tex1 and
# lintian clean; installed or unpacked, it imports and lists the demo archive
# as `morvex_tex list` does.
#   scripts/package-test.sh [PAGE]
# PAGE, the browser page scripts/build-web.sh makes (test.sh builds it first),
# is given to the build as MORVEX_WEB_PAGE_INSTALL once ./run.sh has shown
# that without it no page is installed: `cmake --install` puts it in
# share/morvex-tex/morvex_tex.html, the programs' package in
# /usr/share/morvex-tex/morvex_tex.html, byte for byte.
# Prints one line per failed check and closes with "N passed, N failed".
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

scratch="$(mktemp -d -t morvex-package.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
build="$scratch/build"
web_page="${1:-}"
if [ -n "$web_page" ] && [ ! -f "$web_page" ]; then
  echo "package-test: no page $web_page (scripts/build-web.sh makes it)" >&2
  exit 1
fi
passed=0
failed=0

check() {  # check DESCRIPTION COMMAND...: one check, counted
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}

contains() { [[ $1 == *"$2"* ]]; }

"$here/scripts/install-deps.sh" package || exit 1

# --- 1. ./run.sh, on a build folder of its own --------------------------------
echo "package test: ./run.sh in $build" >&2
run_out="$(MORVEX_BUILD_DIR="$build" "$here/run.sh" 2>&1)"
run_status=$?
check "./run.sh exits 0 (got $run_status): $run_out" test "$run_status" -eq 0
demo_dir="$(sed -n 's/^demo folder: //p' <<<"$run_out")"
[ -n "$demo_dir" ] && [ -d "$demo_dir" ] && rm -rf "$demo_dir"
if [ "$run_status" -ne 0 ]; then
  echo "package: $passed passed, $failed failed"
  exit 1
fi

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")"
check "the project's version is in the cache" test -n "$version"
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")"
check "the library folder is in the cache" test -n "$libdir"

# ./run.sh's build is given no page, and installs none; then the page, when
# there is one, goes in with the programs.
nopage="$scratch/no-page"
check "cmake --install of the programs without MORVEX_WEB_PAGE_INSTALL succeeds" \
  eval 'cmake --install "$build" --component programs --prefix "$nopage" >/dev/null'
check "without MORVEX_WEB_PAGE_INSTALL no page is installed" test ! -e "$nopage/share/morvex-tex"
rm -rf "$nopage"
if [ -n "$web_page" ]; then
  check "configuring with MORVEX_WEB_PAGE_INSTALL=$web_page succeeds" \
    eval 'cmake -B "$build" -DMORVEX_WEB_PAGE_INSTALL="$web_page" >/dev/null'
fi

# The files the build tree's extractor writes from the demo archive, the
# reference for the installed programs.
reference="$scratch/reference"
mkdir -p "$reference"
(cd "$reference" && "$build/morvex_tex_demo" demo.pak && "$build/morvex_tex_extractor" demo.pak >report.txt 2>/dev/null)
mapfile -t demo_files < <(cd "$reference" && ls | grep -v -x -e demo.pak -e report.txt)
check "the build tree's extractor writes the demo's files" test "${#demo_files[@]}" -ge 4

# Checks an installed tree: ROOT is the prefix, LABEL names it in messages.
check_installed() {
  local root=$1 label=$2 page name out status
  for page in "$here"/man/*.1; do
    name="$(basename "$page")"
    # Every man page is a program's.
    check "$label: bin/${name%.1} is an executable" test -x "$root/bin/${name%.1}"
    check "$label: man page $name.gz installed" test -f "$root/share/man/man1/$name.gz"
    local th
    th="$(gzip -dc "$root/share/man/man1/$name.gz" 2>/dev/null | head -n 1)"
    check "$label: $name's .TH line carries version $version: $th" \
      eval '[[ $th == *" $version\""* && $th != *@* ]]'
  done
  for name in "$here"/completion/*; do
    check "$label: completion $(basename "$name") installed" \
      cmp -s "$name" "$root/share/bash-completion/completions/$(basename "$name")"
  done
  if [ -n "$web_page" ]; then
    check "$label: the browser page is share/morvex-tex/morvex_tex.html" cmp -s "$web_page" "$root/share/morvex-tex/morvex_tex.html"
  fi

  # The extractor on the demo archive: same status, files and bytes as the
  # build tree's.
  local work="$scratch/$label"
  mkdir -p "$work/extract" "$work/pack"
  cp "$reference/demo.pak" "$work/extract/"
  out="$(cd "$work/extract" && "$root/bin/morvex_tex_extractor" demo.pak 2>/dev/null)"
  status=$?
  check "$label: the extractor exits 0 on the demo archive (got $status)" test "$status" -eq 0
  check "$label: the extractor's banner shows version $version" \
    test "$(head -n 1 <<<"$out")" = "morvex_tex_extractor $version - TEX texture archive extractor"
  for name in "${demo_files[@]}"; do
    check "$label: the extractor writes $name as the build tree's does" \
      cmp -s "$reference/$name" "$work/extract/$name"
  done

  # The packer: its version, then a replace and a create whose archives the
  # installed extractor reads back.
  check "$label: morvex_tex_pack --version prints $version" \
    test "$("$root/bin/morvex_tex_pack" --version)" = "morvex_tex_pack $version"
  (cd "$work/pack" && cp "$work/extract/demo.pak" "$work/extract/sky.tga" "$work/extract/rings.png" .)
  check "$label: morvex_tex_pack replace exits 0" \
    eval '(cd "$work/pack" && "$root/bin/morvex_tex_pack" -q replace demo.pak mod.pak sky.tga)'
  check "$label: morvex_tex_pack create exits 0" \
    eval '(cd "$work/pack" && "$root/bin/morvex_tex_pack" -q --type 4 create new.pak sky.tga rings.png)'
  mkdir -p "$work/readback"
  check "$label: the extractor reads the packer's archives" \
    eval '(cd "$work/readback" && "$root/bin/morvex_tex_extractor" ../pack/mod.pak >/dev/null 2>&1 &&
           cmp -s sky.tga "$reference/sky.tga" &&
           "$root/bin/morvex_tex_extractor" ../pack/new.pak >/dev/null 2>&1 && test -s rings.png)'

  # The completions, loaded as bash-completion loads them.
  local words
  words="$(cd "$work/pack" && bash -c '
    source "$1/share/bash-completion/completions/morvex_tex_pack"
    source "$1/share/bash-completion/completions/morvex_tex_extractor"
    COMP_WORDS=(morvex_tex_pack ""); COMP_CWORD=1; _morvex_tex_pack; echo "${COMPREPLY[*]}"
    COMP_WORDS=(morvex_tex_pack replace ""); COMP_CWORD=2; _morvex_tex_pack
    printf "%s\n" "${COMPREPLY[@]}" | sort | paste -s -d " "
    COMP_WORDS=(morvex_tex_extractor demo.pak -); COMP_CWORD=2; _morvex_tex_extractor; echo "${COMPREPLY[*]}"
  ' bash "$root" 2>&1)"
  check "$label: completions answer (got: $words)" \
    test "$words" = "create replace add update delete rename"$'\n'"demo.pak mod.pak new.pak"$'\n'"-no-convert"
}


# The pixels of a PNG file (read with Python's zlib and struct, every filter
# type) and of an uncompressed 32-bit TGA file, compared: true when the same.
same_pixels() {  # same_pixels PNG TGA
  python3 - "$1" "$2" <<'PY'
import struct, sys, zlib
png = open(sys.argv[1], "rb").read()
assert png[:8] == b"\x89PNG\r\n\x1a\n"
at, idat, ihdr = 8, b"", None
while at < len(png):
    n, kind = struct.unpack(">I4s", png[at:at + 8])
    body = png[at + 8:at + 8 + n]
    assert zlib.crc32(kind + body) == struct.unpack(">I", png[at + 8 + n:at + 12 + n])[0]
    if kind == b"IHDR": ihdr = struct.unpack(">IIBBBBB", body)
    if kind == b"IDAT": idat += body
    at += 12 + n
w, h, depth, colour = ihdr[:4]
assert depth == 8 and colour == 6
raw, rows, prev = zlib.decompress(idat), [], bytearray(w * 4)
for y in range(h):
    f, line = raw[y * (w * 4 + 1)], bytearray(raw[y * (w * 4 + 1) + 1:(y + 1) * (w * 4 + 1)])
    for x in range(w * 4):
        a = line[x - 4] if x >= 4 else 0
        b, c = prev[x], prev[x - 4] if x >= 4 else 0
        p = a + b - c
        pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c][f]
        line[x] = (line[x] + pred) & 0xFF
    rows.append(bytes(line))
    prev = line
tga = open(sys.argv[2], "rb").read()
tw, th = struct.unpack("<HH", tga[12:16])
top_down, start = tga[17] & 0x20, 18 + tga[0]
assert (tw, th) == (w, h) and tga[2] == 2 and tga[16] == 32
for y in range(h):
    row = tga[start + (y if top_down else h - 1 - y) * w * 4:][:w * 4]
    rgba = b"".join(bytes((row[i + 2], row[i + 1], row[i], row[i + 3])) for i in range(0, w * 4, 4))
    if rgba != rows[y]: sys.exit(1)
PY
}

# Checks the installed library beneath ROOT (LABEL names it): its files, and
# the examples built on it as a user builds them (HOW: pkg-config, cmake, or
# cmake-static), run on the demo archive.
check_library() {
  local root=$1 label=$2 lib="$1/$libdir" header
  for header in "$here"/include/morvex_tex/*; do
    header="$(basename "$header")"
    check "$label: header morvex_tex/$header installed" cmp -s "$here/include/morvex_tex/$header" "$root/include/morvex_tex/$header"
  done
  check "$label: libmorvex_tex.so.1 is the shared library's SONAME" \
    eval '[[ $(objdump -p "$lib/libmorvex_tex.so.1" 2>/dev/null | awk '"'"'$1 == "SONAME" { print $2 }'"'"') == libmorvex_tex.so.1 ]]'
  check "$label: libmorvex_tex.so leads to it" test "$(readlink -f "$lib/libmorvex_tex.so")" = "$(readlink -f "$lib/libmorvex_tex.so.1")"
  check "$label: libmorvex_tex.a installed, with its symbols" eval '[[ $(nm "$lib/libmorvex_tex.a" 2>/dev/null) == *" T morvex_tex_open_path"$'"'"'\n'"'"'* ]]'
  check "$label: pkg-config finds version $version" \
    test "$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --modversion morvex_tex 2>&1)" = "$version"
  # The guide and the examples ship with the headers; the examples below are
  # built from the shipped copies.
  local docs="$root/share/doc/libmorvex-tex-dev" file
  check "$label: doc/api.md installed as $docs/api.md" cmp -s "$here/doc/api.md" "$docs/api.md"
  for file in "$here"/examples/*; do
    file="$(basename "$file")"
    check "$label: examples/$file installed in $docs/examples" cmp -s "$here/examples/$file" "$docs/examples/$file"
  done
  local work="$scratch/examples-$label" how program out expected
  mkdir -p "$work"
  cp "$reference/demo.pak" "$work/"
  expected="$(cd "$work" && "$root/bin/morvex_tex" list demo.pak | awk '{ print $1, $5, $3, $4 " bytes" }')"
  for how in pkg-config cmake cmake-static; do
    [ "$how" = cmake-static ] && [ "$label" != package ] && continue
    local bin="$work/$how"
    mkdir -p "$bin"
    case "$how" in
      pkg-config)
        for program in list_entries entry_to_png; do
          check "$label: $program builds through pkg-config" \
            eval 'g++ -std=c++20 -Wall -Werror -o "$bin/$program" "$docs/examples/$program.cpp" \
                    $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs morvex_tex) 2>"$bin/log" ||
                  { cat "$bin/log" >&2; false; }'
        done ;;
      cmake*)
        local static=OFF
        [ "$how" = cmake-static ] && static=ON
        check "$label: the examples build through find_package (static $static)" \
          eval '{ cmake -S "$docs/examples" -B "$bin/build" -DCMAKE_PREFIX_PATH="$root" -DMORVEX_TEX_STATIC=$static &&
                  cmake --build "$bin/build"; } >"$bin/log" 2>&1 && cp "$bin/build/list_entries" "$bin/build/entry_to_png" "$bin/" ||
                { cat "$bin/log" >&2; false; }'
        ;;
    esac
    local linked
    linked="$(LD_LIBRARY_PATH="$lib" ldd "$bin/list_entries" 2>&1 | awk '$1 == "libmorvex_tex.so.1" { print $3 }')"
    if [ "$how" = cmake-static ]; then
      check "$label: the static examples need no libmorvex_tex.so.1 (got '$linked')" test -z "$linked"
    else
      check "$label ($how): list_entries runs on $root's library (got '$linked')" \
        test "$(readlink -f "$linked")" = "$(readlink -f "$lib/libmorvex_tex.so.1")"
    fi
    out="$(cd "$work" && LD_LIBRARY_PATH="$lib" "$bin/list_entries" demo.pak 2>&1)"
    check "$label ($how): list_entries lists the demo as morvex_tex list does: $out" test "$out" = "$expected"
    rm -f "$work/sky.png"
    out="$(cd "$work" && LD_LIBRARY_PATH="$lib" "$bin/entry_to_png" demo.pak sky.tga sky.png 2>&1)"
    check "$label ($how): entry_to_png writes sky.png: $out" test "$out" = "sky.png: entry 1, 64 x 32 pixels"
    check "$label ($how): sky.png is a valid PNG file" eval 'pngcheck -q "$work/sky.png" >/dev/null'
    check "$label ($how): sky.png holds the pixels of the extractor's sky.tga" same_pixels "$work/sky.png" "$reference/sky.tga"
    out="$(cd "$work" && LD_LIBRARY_PATH="$lib" "$bin/entry_to_png" demo.pak nothing.tga x.png 2>&1)"
    check "$label ($how): entry_to_png says when no entry has the name: $out" \
      test "$out" = "entry_to_png: demo.pak: no entry named nothing.tga"
  done
}

# The Python module built with the rest (python/): installed and packaged.
python_built=0
compgen -G "$build/python/morvex_tex/_morvex_tex*.so" >/dev/null && python_built=1

# Checks the module installed in the folder SITE, on the library in LIB (LABEL
# names it): it imports, says the project's version and lists the demo
# archive's entries as the installed `morvex_tex list` does.
check_python() {
  local site=$1 lib=$2 label=$3 root=$4 out expected
  check "$label: the Python module is installed in $site" test -f "$site/morvex_tex/__init__.py"
  out="$(cd "$scratch" && PYTHONPATH="$site" LD_LIBRARY_PATH="$lib" python3 -B -c '
import sys, morvex_tex
with morvex_tex.open(sys.argv[1]) as a:
    print(morvex_tex.__version__, morvex_tex.__file__)
    for e in a:
        print(e.index, e.name, e.payload_size)
' "$reference/demo.pak" 2>&1)"
  expected="$(cd "$reference" && "$root/bin/morvex_tex" list demo.pak | awk '{ print $1, $5, $4 }')"
  check "$label: the module imports from there with version $version: $(head -n 1 <<<"$out")" \
    eval '[[ $(head -n 1 <<<"$out") == "$version $site/morvex_tex/__init__.py" ]]'
  check "$label: the module lists the demo archive as morvex_tex list: $out" test "$(tail -n +2 <<<"$out")" = "$expected"
}

# --- 2. cmake --install into a temporary prefix ------------------------------
prefix="$scratch/prefix"
check "cmake --install succeeds" eval 'cmake --install "$build" --prefix "$prefix" >/dev/null'
check_installed "$prefix" install
check_library "$prefix" install
if [ "$python_built" = 1 ]; then
  site="$(cd "$prefix" && ls -d lib/python3*/*-packages 2>/dev/null | head -n 1)"
  check_python "$prefix/$site" "$prefix/$libdir" install "$prefix"
fi

# --- 3. the Debian package ---------------------------------------------------
echo "package test: cpack -G DEB" >&2
# ./run.sh built the programs; cpack makes again the one removed here, and
# builds no test.
rm -f "$build/morvex_tex_pack"
check "cpack -G DEB succeeds" eval '(cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) ||
                                    { cat "$scratch/cpack.log" >&2; false; }'
programs_deb="$(ls "$scratch"/deb/morvex-tex-extractor_*.deb 2>/dev/null | head -n 1)"
library_deb="$(ls "$scratch"/deb/libmorvex-tex1_*.deb 2>/dev/null | head -n 1)"
dev_deb="$(ls "$scratch"/deb/libmorvex-tex-dev_*.deb 2>/dev/null | head -n 1)"
python_deb="$(ls "$scratch"/deb/python3-morvex-tex_*.deb 2>/dev/null | head -n 1)"
check "$((3 + python_built)) .deb files are made: $(ls "$scratch"/deb/*.deb 2>&1)" \
  test "$(ls "$scratch"/deb/*.deb | wc -l)" -eq $((3 + python_built))
[ "$python_built" = 1 ] && check "python3-morvex-tex is made" test -f "$python_deb"
check "the programs' package is made" test -f "$programs_deb"
check "libmorvex-tex1 is made" test -f "$library_deb"
check "libmorvex-tex-dev is made" test -f "$dev_deb"
check "cpack rebuilt morvex_tex_pack" test -x "$build/morvex_tex_pack"
check "cpack built no test program" test ! -e "$build/tests/morvex_tests"
if [ -f "$programs_deb" ] && [ -f "$library_deb" ] && [ -f "$dev_deb" ]; then
  deb=$programs_deb
  field() { dpkg-deb -f "$deb" "$1"; }
  check "package name" test "$(field Package)" = morvex-tex-extractor
  check "package version starts with $version" eval '[[ $(field Version) == "$version"-* ]]'
  check "package section" test "$(field Section)" = graphics
  maintainer="$(field Maintainer)"
  name_address='^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
  check "package maintainer is 'Name <address>': $maintainer" eval '[[ $maintainer =~ $name_address ]]'
  package_version="$(field Version)"
  for d in "$library_deb" "$dev_deb"; do
    check "$(basename "$d"): the version and maintainer of the programs' package" \
      test "$(dpkg-deb -f "$d" Version)/$(dpkg-deb -f "$d" Maintainer)" = "$package_version/$maintainer"
  done
  check "libmorvex-tex1's section is libs" test "$(dpkg-deb -f "$library_deb" Section)" = libs
  check "libmorvex-tex-dev's section is libdevel" test "$(dpkg-deb -f "$dev_deb" Section)" = libdevel
  check "libmorvex-tex-dev depends on libmorvex-tex1 (= $package_version): $(dpkg-deb -f "$dev_deb" Depends)" \
    eval '[[ ", $(dpkg-deb -f "$dev_deb" Depends)," == *", libmorvex-tex1 (= $package_version),"* ]]'
  control="$scratch/library-control"
  dpkg-deb -e "$library_deb" "$control"
  check "libmorvex-tex1's shlibs names it: $(cat "$control/shlibs" 2>&1)" \
    test "$(cat "$control/shlibs" 2>&1)" = "libmorvex_tex 1 libmorvex-tex1 (>= $package_version)"
  check "libmorvex-tex1 has the ldconfig trigger" grep -qx "activate-noawait ldconfig" "$control/triggers"
  check "the programs don't need the shared library" \
    eval '! dpkg-deb -f "$programs_deb" Depends | grep -q libmorvex'
  if [ -n "$web_page" ]; then
    listed="$(dpkg-deb -c "$programs_deb" | awk '$6 == "./usr/share/morvex-tex/morvex_tex.html" { print $1 }')"
    check "the programs' package holds usr/share/morvex-tex/morvex_tex.html, -rw-r--r-- (got '$listed')" \
      test "$listed" = -rw-r--r--
  fi

  # lintian: every E: tag fails (so does lintian's own failure), and so do the
  # hardening and stripping the build promises, which are I: tags; the other
  # tags are listed with a failure.
  python_debs=()
  if [ -f "$python_deb" ]; then
    python_debs=("$python_deb")
    check "python3-morvex-tex's section is python" test "$(dpkg-deb -f "$python_deb" Section)" = python
    check "python3-morvex-tex: the version and maintainer of the programs' package" \
      test "$(dpkg-deb -f "$python_deb" Version)/$(dpkg-deb -f "$python_deb" Maintainer)" = "$package_version/$maintainer"
    check "python3-morvex-tex depends on libmorvex-tex1, python3 and NumPy: $(dpkg-deb -f "$python_deb" Depends)" \
      eval '[[ ", $(dpkg-deb -f "$python_deb" Depends)," == *", libmorvex-tex1 (>= $version),"*", python3-numpy,"* ]]'
  fi
  tags="$(lintian --pedantic --display-info --fail-on error "$programs_deb" "$library_deb" "$dev_deb" "${python_debs[@]}" \
          2>"$scratch/lintian.err")"
  lintian_status=$?
  check "lintian exits 0 (got $lintian_status): $tags $(cat "$scratch/lintian.err")" test "$lintian_status" -eq 0
  bad="$(grep -E '^E: |hardening-no-|binary-has-unneeded-section|unstripped-binary' <<<"$tags")"
  check "lintian finds no error, no missing hardening: $tags" test -z "$bad"
  check "lintian finds nothing at all: $tags" test -z "$tags"
  root="$scratch/root"
  for d in "$programs_deb" "$library_deb" "$dev_deb" "${python_debs[@]}"; do
    outside="$(dpkg-deb -c "$d" | awk '{ print $6 }' | grep -v -e '^\./usr/' -e '^\./$')"
    check "nothing in $(basename "$d") outside /usr: $outside" test -z "$outside"
    check "dpkg -x unpacks $(basename "$d")" dpkg -x "$d" "$root"
  done
  packages=(morvex-tex-extractor libmorvex-tex1 libmorvex-tex-dev)
  [ -f "$python_deb" ] && packages+=(python3-morvex-tex)
  for p in "${packages[@]}"; do
    doc="$root/usr/share/doc/$p"
    check "$p holds the licence" test -s "$doc/copyright"
    if [ -n "$web_page" ] && [ "$p" = morvex-tex-extractor ]; then
      for lib in zlib1g libdeflate0 libpng16-16 libwebp7 libjpeg62-turbo; do
        check "$p's copyright carries the terms of $lib, compiled into the page" \
          eval 'grep -q "^==== $lib: " "$doc/copyright" && head -n 1 "$doc/copyright" | cmp -s - <(head -n 1 "$here/LICENSE")'
      done
    fi
    entry="$(gzip -dc "$doc/changelog.Debian.gz" 2>/dev/null)"
    check "$p: changelog.Debian.gz opens with this version: $(head -n 1 <<<"$entry")" \
      test "$(head -n 1 <<<"$entry")" = "morvex-tex-extractor ($package_version) unstable; urgency=medium"
    check "$p: changelog.Debian.gz is signed by the maintainer: $(tail -n 1 <<<"$entry")" \
      eval '[[ $(tail -n 1 <<<"$entry") == " -- $maintainer  "* ]]'
    check "$p: changelog.gz is CHANGELOG.md" eval 'gzip -dc "$doc/changelog.gz" | cmp -s - "$here/CHANGELOG.md"'
  done
  # Every shared library a packaged program or library links directly must be
  # a dependency of its package, by the name of the package that holds it on
  # this machine.
  for object in "$root"/usr/bin/* "$root/usr/$libdir"/libmorvex_tex.so.1 "$root"/usr/lib/python3/dist-packages/morvex_tex/*.so; do
    [ -e "$object" ] || continue
    deb=$programs_deb
    [[ $object == */libmorvex_tex.so.1 ]] && deb=$library_deb
    [[ $object == */morvex_tex/*.so ]] && deb=$python_deb
    depends="$(field Depends)"
    while read -r soname; do
      # ldd names the dynamic loader by its path alone, every other library
      # as "soname => path".
      lib="$(LD_LIBRARY_PATH="$root/usr/$libdir" ldd "$object" | awk -v n="$soname" '
        $1 == n && $2 == "=>" { print $3; exit }
        substr($1, length($1) - length(n)) == "/" n { print $1; exit }')"
      owner=""
      # The project's own library is the unpacked one, of its own package.
      [ "$soname" = libmorvex_tex.so.1 ] && owner=libmorvex-tex1
      if [[ -z $owner && $lib == /* ]]; then
        # Asking dpkg about an empty or relative name matches every package.
        for candidate in "$lib" "$(readlink -f "$lib")" "${lib#/usr}" "/usr$lib"; do
          owner="$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1)" && [ -n "$owner" ] && break
        done
      fi
      check "$(basename "$object") links $soname, of package '$owner', a dependency: $depends" \
        eval '[ -n "$owner" ] && [[ ", $depends," == *[,\ ]"$owner"[\ ,]* ]]'
    done < <(objdump -p "$object" | awk '$1 == "NEEDED" { print $2 }')
  done
  check_installed "$root/usr" package
  check_library "$root/usr" package
  [ -f "$python_deb" ] && check_python "$root/usr/lib/python3/dist-packages" "$root/usr/$libdir" package "$root/usr"
fi

# A packager's own name and address, through the cache variable.
own="A Packager <packager@example.net>"
check "configuring with MORVEX_PACKAGE_MAINTAINER succeeds" \
  eval 'cmake -B "$build" -DMORVEX_PACKAGE_MAINTAINER="$own" >/dev/null'
check "cpack -G DEB succeeds again" eval '(cd "$build" && cpack -G DEB -B "$scratch/deb-own" >"$scratch/cpack.log" 2>&1) ||
                                          { cat "$scratch/cpack.log" >&2; false; }'
deb="$(ls "$scratch"/deb-own/morvex-tex-extractor_*.deb 2>/dev/null | head -n 1)"
check "the package's maintainer is the packager: $(dpkg-deb -f "$deb" Maintainer 2>&1)" \
  test "$(dpkg-deb -f "$deb" Maintainer 2>&1)" = "$own"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
