# Fetching the dependencies' Debian source packages, for the builds that
# compile them for another system (build-windows.sh, build-web.sh): sourced,
# with $deps the cache they are unpacked beneath and $who the script's name
# for its messages.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

# `apt-get source` needs a deb-src line beside each deb line; added once, in a
# file of its own, from the machine's own sources.
ensure_source_lists() {
  if apt-cache showsrc libdeflate 2>/dev/null | grep -q '^Package: libdeflate$'; then return; fi
  local list=/etc/apt/sources.list.d/morvex-deb-src.sources
  local tmp
  tmp="$(mktemp)"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && [ "$f" != "$list" ] && sed -n '/^Types:/!p;/^Types:/s/.*/Types: deb-src/p' "$f" >>"$tmp" && echo >>"$tmp"
  done
  local old=/etc/apt/sources.list.d/morvex-deb-src.list
  : >"$tmp.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && [ "$f" != "$old" ] && sed -n 's/^deb \(.*\)/deb-src \1/p' "$f" >>"$tmp.list"
  done
  [ -s "$tmp" ] && as_root install -m 644 "$tmp" "$list"
  [ -s "$tmp.list" ] && as_root install -m 644 "$tmp.list" "$old"
  rm -f "$tmp" "$tmp.list"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
}

# Fetches and unpacks a Debian source package (with Debian's patches) into
# $2: the newest version the mirrors hold, trying older ones when the newest's
# files are not there (a security update whose sources lag behind).
fetch_source() {
  local package="$1" into="$2" version
  mkdir -p "$deps/src"
  for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -urV); do
    if (cd "$deps/src" && apt-get source -qq --download-only "$package=$version" >/dev/null 2>&1); then
      local dsc="$deps/src/${package}_${version#*:}.dsc"
      rm -rf "$into"
      dpkg-source --no-check -x "$dsc" "$into" >/dev/null
      echo "$package $version" >>"$deps/versions"
      return 0
    fi
  done
  echo "$who: no source of $package could be fetched" >&2
  return 1
}
