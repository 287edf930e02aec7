#!/usr/bin/env bash
# scripts/package-test.sh: what a user and a packager get, from a fresh build
# made by ./run.sh in a scratch folder (test.sh runs it after the unit tests).
#   1. ./run.sh builds and extracts its demo archive.
#   2. `cmake --install` into a temporary prefix puts every program, man page
#      and completion file in place; the installed programs work.
#   3. `cpack -G DEB` builds what the package holds and not the tests, and a
#      package whose fields name the packages of the shared libraries the
#      programs link, with its changelog, which lintian finds no error in
#      (nor missing hardening); unpacked with `dpkg -x` into a scratch root,
#      its programs work. A maintainer given to CMake is the package's.
# "Work" means: the extractor writes the same files as the build tree's on the
# demo archive, the packer replaces and creates archives the extractor reads,
# the version is the project's everywhere, the completions answer.
# Prints one line per failed check and closes with "N passed, N failed".
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

scratch="$(mktemp -d -t morvex-package.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
build="$scratch/build"
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
    test "$words" = "create replace"$'\n'"demo.pak mod.pak new.pak"$'\n'"-no-convert"
}

# --- 2. cmake --install into a temporary prefix ------------------------------
prefix="$scratch/prefix"
check "cmake --install succeeds" eval 'cmake --install "$build" --prefix "$prefix" >/dev/null'
check_installed "$prefix" install

# --- 3. the Debian package ---------------------------------------------------
echo "package test: cpack -G DEB" >&2
# ./run.sh built the programs; cpack makes again the one removed here, and
# builds no test.
rm -f "$build/morvex_tex_pack"
check "cpack -G DEB succeeds" eval '(cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) ||
                                    { cat "$scratch/cpack.log" >&2; false; }'
deb="$(ls "$scratch"/deb/*.deb 2>/dev/null | head -n 1)"
check "one .deb is made" test -f "$deb"
check "cpack rebuilt morvex_tex_pack" test -x "$build/morvex_tex_pack"
check "cpack built no test program" test ! -e "$build/tests/morvex_tests"
if [ -f "$deb" ]; then
  field() { dpkg-deb -f "$deb" "$1"; }
  check "package name" test "$(field Package)" = morvex-tex-extractor
  check "package version starts with $version" eval '[[ $(field Version) == "$version"-* ]]'
  check "package section" test "$(field Section)" = graphics
  maintainer="$(field Maintainer)"
  name_address='^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
  check "package maintainer is 'Name <address>': $maintainer" eval '[[ $maintainer =~ $name_address ]]'

  # lintian: every E: tag fails (so does lintian's own failure), and so do the
  # hardening and stripping the build promises, which are I: tags; the other
  # tags are listed with a failure.
  tags="$(lintian --pedantic --display-info --fail-on error "$deb" 2>"$scratch/lintian.err")"
  lintian_status=$?
  check "lintian exits 0 (got $lintian_status): $tags $(cat "$scratch/lintian.err")" test "$lintian_status" -eq 0
  bad="$(grep -E '^E: |hardening-no-|binary-has-unneeded-section|unstripped-binary' <<<"$tags")"
  check "lintian finds no error, no missing hardening: $tags" test -z "$bad"
  outside="$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v -e '^\./usr/' -e '^\./$')"
  check "nothing in the package outside /usr: $outside" test -z "$outside"
  root="$scratch/root"
  check "dpkg -x unpacks it" dpkg -x "$deb" "$root"
  check "the package holds the licence" test -s "$root/usr/share/doc/morvex-tex-extractor/copyright"
  doc="$root/usr/share/doc/morvex-tex-extractor"
  entry="$(gzip -dc "$doc/changelog.Debian.gz" 2>/dev/null)"
  check "changelog.Debian.gz opens with this version: $(head -n 1 <<<"$entry")" \
    test "$(head -n 1 <<<"$entry")" = "morvex-tex-extractor ($(field Version)) unstable; urgency=medium"
  check "changelog.Debian.gz is signed by the maintainer: $(tail -n 1 <<<"$entry")" \
    eval '[[ $(tail -n 1 <<<"$entry") == " -- $maintainer  "* ]]'
  check "changelog.gz is CHANGELOG.md" eval 'gzip -dc "$doc/changelog.gz" | cmp -s - "$here/CHANGELOG.md"'
  # Every shared library a packaged program links directly must be a
  # dependency, by the name of the package that holds it on this machine.
  depends="$(field Depends)"
  for program in "$root"/usr/bin/*; do
    while read -r soname; do
      lib="$(ldd "$program" | awk -v n="$soname" '$1 == n { print $3 }')"
      owner=""
      for candidate in "$lib" "$(readlink -f "$lib")" "${lib#/usr}" "/usr$lib"; do
        owner="$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1)" && [ -n "$owner" ] && break
      done
      check "$(basename "$program") links $soname, of package '$owner', a dependency: $depends" \
        eval '[ -n "$owner" ] && [[ ", $depends," == *[,\ ]"$owner"[\ ,]* ]]'
    done < <(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }')
  done
  check_installed "$root/usr" package
fi

# A packager's own name and address, through the cache variable.
own="A Packager <packager@example.net>"
check "configuring with MORVEX_PACKAGE_MAINTAINER succeeds" \
  eval 'cmake -B "$build" -DMORVEX_PACKAGE_MAINTAINER="$own" >/dev/null'
check "cpack -G DEB succeeds again" eval '(cd "$build" && cpack -G DEB -B "$scratch/deb-own" >"$scratch/cpack.log" 2>&1) ||
                                          { cat "$scratch/cpack.log" >&2; false; }'
deb="$(ls "$scratch"/deb-own/*.deb 2>/dev/null | head -n 1)"
check "the package's maintainer is the packager: $(dpkg-deb -f "$deb" Maintainer 2>&1)" \
  test "$(dpkg-deb -f "$deb" Maintainer 2>&1)" = "$own"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
