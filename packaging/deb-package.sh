#!/usr/bin/env bash
# Builds the Debian package (debian/, debhelper) from a copy of the tree in
# build/package-src/, so that nothing is written beside the tree:
#
#   packaging/deb-package.sh [--reader-libraries DIR]
#
# writes build/packages/ivelcard_<version>_<arch>.deb and its debug symbols
# ivelcard-dbgsym_<version>_<arch>.deb. With --reader-libraries the module
# carries DIR's sdtapi.so, unpack.so and WltRs.so instead of the stand-ins;
# the package's version gets the suffix +<name of DIR> and its description
# names that reader. Prints the path of the .deb as its last line.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$here/build/packages
stage=$here/build/package-src
jobs=$(nproc 2>/dev/null || echo 2)

usage() { echo "usage: $0 [--reader-libraries DIR]" >&2; exit 64; }
readers=""
while [ $# -gt 0 ]; do
  case "$1" in
    --reader-libraries) [ $# -ge 2 ] || usage; readers=$2; shift 2 ;;
    *) usage ;;
  esac
done

version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)
reader_name=""
if [ -n "$readers" ]; then
  readers=$(cd "$readers" && pwd)
  for f in sdtapi.so unpack.so WltRs.so; do
    [ -f "$readers/$f" ] || { echo "$readers has no $f (the reader libraries are sdtapi.so, unpack.so, WltRs.so)" >&2; exit 64; }
  done
  reader_name=$(basename "$readers")
  suffix=$(printf '%s' "$reader_name" | tr 'A-Z' 'a-z' | tr -c 'a-z0-9.' '.')
  version=$version+$suffix
fi

rm -rf "$stage"
src=$stage/ivelcard-$version
mkdir -p "$src" "$out"
tar -C "$here" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='./obj-*' \
  --exclude=node_modules -cf - . | tar -C "$src" -xf -
if [ -n "$readers" ]; then
  sed -i "1s/^ivelcard ([^)]*)/ivelcard ($version)/" "$src/debian/changelog"
fi

echo "== dpkg-buildpackage (ivelcard $version)"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs" IVELCARD_READER_LIBRARIES="$readers" \
  IVELCARD_READER_NAME="$reader_name" dpkg-buildpackage -us -uc -b)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
rm -f "$out"/ivelcard_*.deb "$out"/ivelcard-dbgsym_*.deb "$out"/ivelcard_*.buildinfo "$out"/ivelcard_*.changes
mv "$stage"/ivelcard_"$version"_"$arch".deb "$stage"/ivelcard-dbgsym_"$version"_"$arch".deb \
  "$stage"/ivelcard_"$version"_"$arch".buildinfo "$stage"/ivelcard_"$version"_"$arch".changes "$out"/
rm -rf "$stage"
echo "$out/ivelcard_${version}_${arch}.deb"
