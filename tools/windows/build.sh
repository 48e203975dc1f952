#!/usr/bin/env bash
# The Windows module: cross-built with mingw-w64 for 32-bit Windows and
# tested under Wine.
#
#   tools/windows/build.sh build   install what is missing, cross-build the
#                                  dependencies (cached), build the module
#                                  ivelcard.ocx, the reader stand-ins and the
#                                  test programs into build-windows/
#   tools/windows/build.sh test    build, then run the tests under Wine
#   tools/windows/build.sh package [--reader-libraries DIR]
#                                  build, then the installer and the MSI in
#                                  build-windows/packages/ (packaging/windows/);
#                                  with DIR the module carries DIR's sdtapi.dll,
#                                  unpack.dll and WltRs.dll
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=$here/build-windows
jobs=$(nproc 2>/dev/null || echo 2)

as_root() { if [ "$(id -u)" -eq 0 ]; then env DEBIAN_FRONTEND=noninteractive "$@"; else sudo env DEBIAN_FRONTEND=noninteractive "$@"; fi; }

packages=(
  cmake make python3 dpkg-dev
  mingw-w64 mingw-w64-tools wine wine32:i386 libwine-dev:i386
  googletest fonts-wqy-zenhei locales
)

# Source entries for Debian's own archive, made from the binary entries the
# machine already has, so that `apt-get source` works.
ensure_source_entries() {
  apt-cache showsrc libjsoncpp >/dev/null 2>&1 && return 0
  local list=/etc/apt/sources.list.d/ivelcard-deb-src.sources
  local entries=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$list" ] || continue
    entries+=$(awk 'BEGIN { RS=""; ORS="\n\n" } /(^|\n)Types:[^\n]*deb([ \n]|$)/ && /debian-archive-keyring/ {
      sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f")
  done
  if [ -z "$entries" ] && [ -f /etc/apt/sources.list ]; then
    list=/etc/apt/sources.list.d/ivelcard-deb-src.list
    entries=$(sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list)
  fi
  [ -n "$entries" ] || { echo "no Debian archive entries to derive source entries from" >&2; return 1; }
  printf '%s\n' "$entries" | as_root tee "$list" >/dev/null
  as_root apt-get update -q
}

install_missing() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    as_root apt-get update -q
  fi
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -q
    as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  ensure_source_entries
}

# The reader libraries the module embeds: DIR's (package --reader-libraries)
# or, when empty, the stand-ins.
readers=""

build_windows() {
  install_missing
  local prefix
  prefix=$("$here/tools/windows/dependencies.sh")
  local images=(sdtapi unpack WltRs) options=() image
  for image in "${images[@]}"; do
    local name
    name=$(tr 'a-z' 'A-Z' <<<"$image")
    options+=("-DIVELCARD_${name}_IMAGE=${readers:+$readers/$image.dll}")
  done
  cmake -S "$here" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/i686-w64-mingw32.cmake" \
    -DIVELCARD_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DIVELCARD_WERROR=ON \
    -DIVELCARD_BUILD_BENCH=OFF "${options[@]}" >/dev/null
  cmake --build "$out" -j "$jobs"
}

case "${1:-build}" in
  build) build_windows ;;
  test)
    build_windows
    "$here/tools/windows/wine-tests.sh" "$out"
    packages+=(nsis wixl)
    install_missing
    "$here/packaging/windows/make-packages.sh" "$out"
    "$here/packaging/windows/wine-package-tests.sh" "$out"
    ;;
  package)
    if [ "${2:-}" = --reader-libraries ] && [ -n "${3:-}" ]; then
      readers=$(cd "$3" && pwd)
      for image in sdtapi.dll unpack.dll WltRs.dll; do
        [ -f "$readers/$image" ] || { echo "$readers has no $image (the reader libraries are sdtapi.dll, unpack.dll, WltRs.dll)" >&2; exit 64; }
      done
    elif [ $# -gt 1 ]; then
      echo "usage: $0 package [--reader-libraries DIR]" >&2; exit 64
    fi
    packages+=(nsis wixl)
    build_windows
    "$here/packaging/windows/make-packages.sh" "$out" "${readers:+$(basename "$readers")}"
    ;;
  *) echo "usage: $0 [build|test|package [--reader-libraries DIR]]" >&2; exit 64 ;;
esac
