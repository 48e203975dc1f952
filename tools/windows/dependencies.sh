#!/usr/bin/env bash
# Cross-builds the libraries the Windows module links statically (jsoncpp,
# libjpeg-turbo, FreeType) and GoogleTest for 32-bit Windows, from Debian's
# own source packages, into a cache outside the work tree:
#
#   ${IVELCARD_CACHE:-~/.cache/ivelcard-win}/<versions>/   (the install prefix)
#
# The directory name carries the source versions, so a cache is reused as
# long as Debian ships the same versions. Prints the prefix on standard output.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
toolchain=$here/cmake/toolchains/i686-w64-mingw32.cmake
cache=${IVELCARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ivelcard-win}
jobs=$(nproc 2>/dev/null || echo 2)

source_version() {  # the candidate source version of a binary package
  dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null || apt-cache policy "$1" | awk '/Candidate:/ {print $2}'
}

v_json=$(source_version libjsoncpp-dev)
v_jpeg=$(source_version libjpeg62-turbo-dev)
v_ft=$(source_version libfreetype-dev)
v_gtest=$(source_version googletest)
key=$(printf 'jsoncpp-%s_jpeg-%s_freetype-%s_gtest-%s' "$v_json" "$v_jpeg" "$v_ft" "$v_gtest" | tr ':+~' '___')
prefix=$cache/$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$cache/work-$key
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
cd "$work"
echo "Fetching the sources of jsoncpp, libjpeg-turbo and FreeType" >&2
apt-get source -qq --download-only libjsoncpp libjpeg-turbo freetype >&2
for dsc in *.dsc; do dpkg-source -x "$dsc" >/dev/null; done

cross() {  # cross <source dir> <cmake options...>
  local src=$1; shift
  echo "Cross-building $(basename "$src")" >&2
  cmake -S "$src" -B "$src/build-win32" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_POLICY_DEFAULT_CMP0077=NEW "$@" >/dev/null
  cmake --build "$src/build-win32" -j "$jobs" >/dev/null
  cmake --install "$src/build-win32" >/dev/null
}

cross "$(ls -d libjsoncpp-*/ jsoncpp-*/ 2>/dev/null | head -1)" \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF \
  -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF
cross "$(ls -d libjpeg-turbo-*/ | head -1)" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
cross "$(ls -d freetype-*/ | head -1)" \
  -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
cp -r /usr/src/googletest googletest
cross googletest -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF

cd "$cache"
rm -rf "$work"
touch "$prefix/.complete"
echo "$prefix"
