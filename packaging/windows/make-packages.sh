#!/usr/bin/env bash
# The Windows installer (NSIS) and MSI (wixl) from a Windows build:
#
#   packaging/windows/make-packages.sh OUT [READER_NAME]
#
# OUT is the Windows build directory (build-windows/, with bin/ivelcard.ocx,
# ivelcard.exe, ivelcard-bridge.exe and web\); READER_NAME names the reader
# whose libraries the module carries (empty: the stand-ins). Writes
# OUT/packages/ivelcard-setup-<version>.exe and ivelcard-<version>.msi
# (<version>+<reader> with a reader's libraries) and, for the tests,
# OUT/packages/registration.rows: what the module's own registration adds
# to the registry, taken from exports before and after `regsvr32` in a
# fresh Wine prefix, which the MSI carries as its registry rows.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=$(cd "$1" && pwd)
reader_name=${2:-}
packages=$out/packages
stage=$packages/stage
version=$(sed -n 's/^project(Ivelcard VERSION \([0-9.]*\) .*/\1/p' "$here/CMakeLists.txt")
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
if [ -n "$reader_name" ]; then
  suffix=+$(printf '%s' "$reader_name" | tr 'A-Z' 'a-z' | tr -c 'a-z0-9.' '.')
  reader="Drives the reader $reader_name: carries the libraries of its maker."
else
  suffix=""
  reader="Virtual reader: reads a sample card, not a real reader."
fi
display_version=$version$suffix
installdir='C:\Program Files\Ivelcard\'

rm -rf "$stage" "$packages"/wine-*
mkdir -p "$stage/web"
cp "$out/bin/ivelcard.ocx" "$out/bin/ivelcard.exe" "$out/bin/ivelcard-bridge.exe" "$stage/"
cp -r "$out/bin/web/." "$stage/web/"
sed 's/$/\r/' "$here/LICENSE" > "$stage/LICENSE.txt"
cp "$here/THIRD-PARTY-NOTICES.md" "$stage/"
cp "$here/packaging/bridge.json" "$stage/"

echo "== The module's own registration, in a fresh Wine prefix"
# The desks' code page (936): the type library's Chinese description is
# registered through it, as in the tests.
# shellcheck source=../../tools/windows/wine-common.sh
. "$here/tools/windows/wine-common.sh"
export WINEPREFIX=$packages/wine-registration
wine_environment "$out"
wineboot -i >/dev/null 2>&1
wineserver -w
mkdir -p "$WINEPREFIX/drive_c/Program Files/Ivelcard"
cp "$stage/ivelcard.ocx" "$WINEPREFIX/drive_c/Program Files/Ivelcard/"
wine regedit /E 'C:\before.reg' 'HKEY_LOCAL_MACHINE'
wine regsvr32 /s "${installdir}ivelcard.ocx"
wine regedit /E 'C:\after.reg' 'HKEY_LOCAL_MACHINE'
wineserver -w
python3 "$here/packaging/windows/regdiff.py" "$WINEPREFIX/drive_c/before.reg" "$WINEPREFIX/drive_c/after.reg" \
  --under 'HKEY_LOCAL_MACHINE\Software\Classes' > "$packages/registration.rows"
[ -s "$packages/registration.rows" ] || { echo "regsvr32 wrote nothing" >&2; exit 1; }
rm -rf "$WINEPREFIX"

echo "== MSI (wixl)"
wxi=$packages/wxi
mkdir -p "$wxi"
python3 "$here/packaging/windows/regdiff.py" --wxs "$packages/registration.rows" "$installdir" "$wxi"
mv "$wxi/registration.reg" "$stage/"
# One component per web file, in directories as in web\.
{
  echo '<Include>'
  (cd "$stage/web" && find . -mindepth 1 -maxdepth 1 -type d | sort) | while read -r dir; do
    name=${dir#./}
    echo "<Directory Id=\"Web_$name\" Name=\"$name\">"
    (cd "$stage/web/$name" && find . -type f | sort) | while read -r f; do
      id=Web_${name}_$(printf '%s' "${f#./}" | tr -c 'A-Za-z0-9' '_')
      echo "<Component Id=\"$id\" Guid=\"*\"><File Id=\"$id\" Name=\"${f#./}\" Source=\"web/$name/${f#./}\" KeyPath=\"yes\"/></Component>"
    done
    echo '</Directory>'
  done
  (cd "$stage/web" && find . -maxdepth 1 -type f | sort) | while read -r f; do
    id=Web_$(printf '%s' "${f#./}" | tr -c 'A-Za-z0-9' '_')
    echo "<Component Id=\"$id\" Guid=\"*\"><File Id=\"$id\" Name=\"${f#./}\" Source=\"web/${f#./}\" KeyPath=\"yes\"/></Component>"
  done
  echo '</Include>'
} > "$wxi/web.wxi"
{ echo '<Include>'; sed -n 's/.*<Component Id="\([^"]*\)".*/<ComponentRef Id="\1"\/>/p' "$wxi/web.wxi"; echo '</Include>'; } \
  > "$wxi/web-refs.wxi"
msi=$packages/ivelcard-$display_version.msi
rm -f "$packages"/ivelcard-*.msi "$packages"/ivelcard-setup-*.exe
# wixl takes sources relative to where it runs.
(cd "$stage" && wixl -a x86 -I "$wxi" -D VERSION="$version" -D DISPLAYVERSION="$display_version" -D STAGE=. \
  -D READER="$reader" -o "$msi" "$here/packaging/windows/ivelcard.wxs")

echo "== Installer (NSIS)"
setup=$packages/ivelcard-setup-$display_version.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DDISPLAYVERSION="$display_version" -DSTAGE="$stage" \
  -DOUTFILE="$setup" -DREADER="$reader" "$here/packaging/windows/ivelcard.nsi"
rm -rf "$wxi"
echo "$setup"
echo "$msi"
