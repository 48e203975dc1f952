#!/usr/bin/env bash
# Runs the Windows module's tests under Wine:
#
#   wine-tests.sh <windows build dir> [<linux build dir>]
#
#  - the portable suites cross-built for Windows (ctest, Wine as emulator);
#  - registration by regsvr32 and removal by regsvr32 /u, with the keys;
#  - a script (cscript, JScript) calling the five operations; the documents
#    must equal byte for byte (as UTF-8) what the Linux host prints;
#  - a native client (creation by ProgID, object safety, type library,
#    calls by name and id, BSTR ownership, library deployment and reuse);
#  - an OLE container (site, in-place activation, drawing into a memory
#    device context, persistence, class information, events, pages);
#  - the hosts ivelcard.exe and ivelcard-bridge.exe (wine-host-tests.sh).
#
# The Wine prefix is the build directory's own (wineprefix/), without a
# display (boxes and dialogs return at once), with the Chinese ANSI code page
# (locale zh_CN.UTF-8, compiled into the build directory when the system
# lacks it) and WenQuanYi Zen Hei as the system's Fonts\SIMHEI.TTF.
set -euo pipefail

out=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
linux=${2:-$here/build}
jobs=$(nproc 2>/dev/null || echo 2)

# shellcheck source=wine-common.sh
. "$here/tools/windows/wine-common.sh"
export WINEPREFIX=$out/wineprefix
wine_environment "$out"

echo "== Wine prefix $WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
fonts=$WINEPREFIX/drive_c/windows/Fonts
mkdir -p "$fonts"
cp /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc "$fonts/SIMHEI.TTF"
acp=$(wine reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP 2>/dev/null | tr -d '\r' | awk '/ACP/ {print $3}')
[ "$acp" = 936 ] && pass "ANSI code page 936" || fail "ANSI code page is '$acp', not 936"

echo "== Portable suites under Wine"
if ctest --test-dir "$out" --output-on-failure -j "$jobs"; then pass "portable suites"; else fail "portable suites"; fi

module=$(winpath "$out/bin/ivelcard.ocx")
clsid='{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}'
page='{1D86AF72-1DBA-497B-845B-F18F5F982D56}'
libid='{149AC0AB-F3F1-402A-B3B3-B49562250391}'
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }
has_value() {  # has_value <key> <value name or ""> <expected text>
  local key=$1 name=$2 expected=$3 found
  if [ -z "$name" ]; then found=$(query "$key" /ve); else found=$(query "$key" /v "$name"); fi
  grep -qF -- "$expected" <<<"$found"
}
key_exists() { wine reg query "$1" >/dev/null 2>&1; }

echo "== Registration"
wine regsvr32 /s /u "$module" >/dev/null 2>&1 || true
if wine regsvr32 /s "$module"; then pass "regsvr32 exits 0"; else fail "regsvr32 exits $?"; fi
checks=(
  "HKCR\\CLSID\\$clsid||Ivelcard Control"
  "HKCR\\CLSID\\$clsid\\InprocServer32||$module"
  "HKCR\\CLSID\\$clsid\\InprocServer32|ThreadingModel|Apartment"
  "HKCR\\CLSID\\$clsid\\ProgID||IVELCARD.QVCtrl.1"
  "HKCR\\CLSID\\$clsid\\MiscStatus||131473"
  "HKCR\\CLSID\\$clsid\\TypeLib||$libid"
  "HKCR\\CLSID\\$clsid\\Version||1.0"
  "HKCR\\CLSID\\$clsid\\ToolboxBitmap32||$module, 201"
  "HKCR\\IVELCARD.QVCtrl.1\\CLSID||$clsid"
  "HKCR\\CLSID\\$page||Ivelcard Property Page"
  "HKCR\\CLSID\\$page\\InprocServer32|ThreadingModel|Apartment"
  "HKCR\\TypeLib\\$libid\\1.0\\0\\win32||$module"
)
for check in "${checks[@]}"; do
  IFS='|' read -r key name expected <<<"$check"
  if has_value "$key" "$name" "$expected"; then pass "$key ${name:-(default)}"; else fail "$key ${name:-(default)} is not '$expected'"; fi
done
if key_exists "HKCR\\CLSID\\$clsid\\Control"; then pass "Control key"; else fail "no Control key"; fi

if wine regsvr32 /s /u "$module"; then pass "regsvr32 /u exits 0"; else fail "regsvr32 /u exits $?"; fi
for key in "HKCR\\CLSID\\$clsid" "HKCR\\CLSID\\$page" "HKCR\\IVELCARD.QVCtrl.1" "HKCR\\TypeLib\\$libid"; do
  if key_exists "$key"; then fail "$key left after unregistering"; else pass "$key removed"; fi
done
set +e
wine regsvr32 /s /u "$module"
code=$?
set -e
# The type library is no longer registered: DllUnregisterServer fails, and
# regsvr32 reports a failed entry point with 5.
[ "$code" = 5 ] && pass "unregistering again exits 5" || fail "unregistering again exits $code, not 5"
wine regsvr32 /s "$module"

echo "== Script host: the five operations"
[ -x "$linux/bin/ivelcard" ] || cmake --build "$linux" --target ivelcard ivelcard_module -j "$jobs" >/dev/null
scratch=$out/wine-test-output
rm -rf "$scratch"
mkdir -p "$scratch"
"$linux/bin/ivelcard" call connect getStatus getSAMID readCert disconnect >"$scratch/linux.txt" 2>/dev/null
if wine cscript //nologo "$(winpath "$here/tests/windows/operations.js")" "$(winpath "$scratch/windows.utf16")"; then
  tail -c +3 "$scratch/windows.utf16" | iconv -f UTF-16LE -t UTF-8 >"$scratch/windows.txt"
  if cmp -s "$scratch/windows.txt" "$scratch/linux.txt"; then
    pass "script documents equal the Linux host's ($(wc -c <"$scratch/linux.txt") bytes)"
  else
    fail "script documents differ from the Linux host's: $(cmp "$scratch/windows.txt" "$scratch/linux.txt" 2>&1)"
  fi
else
  fail "script host"
fi

echo "== Native client"
if wine "$out/bin/windows_client_test.exe"; then pass "native client"; else fail "native client"; fi

echo "== OLE container"
if wine "$out/bin/windows_container_test.exe"; then pass "OLE container"; else fail "OLE container"; fi

"$here/tools/windows/wine-host-tests.sh" "$out" "$linux" || failures=$((failures + $?))

echo
if [ "$failures" -eq 0 ]; then echo "All Windows tests passed."; else echo "$failures Windows check(s) failed."; exit 1; fi
