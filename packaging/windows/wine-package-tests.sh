#!/usr/bin/env bash
# The Windows installer and MSI under Wine, each in a fresh prefix:
#
#   packaging/windows/wine-package-tests.sh OUT [LINUX_BUILD]
#
# OUT is the Windows build directory whose packages/ make-packages.sh wrote;
# LINUX_BUILD (default build/) holds the Linux host whose document the
# installed bridge must answer. For each package: the silent install puts the
# files and the registry keys in place (class, ProgIDs, type library, HKLM
# Run, uninstall entry), the origin it is given in the machine-wide
# allow-list (once ivelcard.exe has allow-origin), and adds under HKLM\Software\Classes exactly what
# `regsvr32` adds (registration.rows); the installed bridge answers
# /v1/read with the Linux host's document; the silent uninstall, with the
# bridge running, leaves no file, key or value naming Ivelcard or its class
# and library identifiers that was not there before.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=$(cd "$1" && pwd)
linux=${2:-$here/build}
packages=$out/packages
setup=$(ls "$packages"/ivelcard-setup-*.exe | head -n 1)
msi=$(ls "$packages"/ivelcard-*.msi | head -n 1)
rows=$packages/registration.rows
clsid='{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}'
page='{1D86AF72-1DBA-497B-845B-F18F5F982D56}'
libid='{149AC0AB-F3F1-402A-B3B3-B49562250391}'
installdir='C:\Program Files\Ivelcard'

# shellcheck source=../../tools/windows/wine-common.sh
. "$here/tools/windows/wine-common.sh"
wine_environment "$out"
regdiff() { python3 "$here/packaging/windows/regdiff.py" "$@"; }
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }
has_value() {  # has_value <key> <value name or ""> <expected text>
  local found
  if [ -z "$2" ]; then found=$(query "$1" /ve); else found=$(query "$1" /v "$2"); fi
  grep -qF -- "$3" <<<"$found"
}

# What names Ivelcard or its identifiers: files of the prefix, registry.
export_registry() { wine regedit /E "C:\\$1.reg"; wineserver -w; }
mentions() {  # mentions <export name>
  regdiff --mentions ivelcard "$clsid" "$page" "$libid" < "$WINEPREFIX/drive_c/$1.reg"
  (cd "$WINEPREFIX/drive_c" && find . | grep -i ivelcard || true)
}

[ -x "$linux/bin/ivelcard" ] || cmake --build "$linux" --target ivelcard >/dev/null
# The origin the installers are given, once ivelcard.exe can write it.
origins=""
grep -aqF 'allow-origin --remove' "$out/bin/ivelcard.exe" && origins=https://desk.example.org
expected=$("$linux/bin/ivelcard" read --document; echo x)

# check_package <name> <install command...>; then the uninstall command in $uninstall.
check_package() {
  local name=$1; shift
  echo "== $name: install, bridge, uninstall in a fresh prefix"
  export WINEPREFIX=$packages/wine-$name
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  # A desk has a desktop for the bridge's window and icon; Wine's null
  # display driver gives one without a display.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/SIMHEI.TTF"
  export_registry before
  mentions before > "$packages/$name.before"

  if "$@"; then pass "$name installs silently"; else fail "$name install exits $?"; fi
  wineserver -w
  local f
  for f in ivelcard.ocx ivelcard.exe ivelcard-bridge.exe LICENSE.txt THIRD-PARTY-NOTICES.md \
           web/ivelcard.js web/demo/index.html; do
    [ -f "$WINEPREFIX/drive_c/Program Files/Ivelcard/$f" ] && pass "$name: $f" || fail "$name: no $f"
  done
  local allowlist=$WINEPREFIX/drive_c/ProgramData/Ivelcard/bridge.json
  if [ ! -f "$allowlist" ]; then
    fail "$name: no ProgramData\\Ivelcard\\bridge.json"
  elif [ -z "$origins" ]; then
    pass "$name: bridge.json (SKIP the origins given at install: this ivelcard.exe has no allow-origin)"
  elif grep -q '"https://desk.example.org"' "$allowlist"; then
    pass "$name: bridge.json allows the origin given at install"
  else
    fail "$name: bridge.json lacks the origin given at install: $(cat "$allowlist")"
  fi
  local checks=(
    "HKCR\\CLSID\\$clsid\\InprocServer32||$installdir\\ivelcard.ocx"
    "HKCR\\CLSID\\$clsid\\ProgID||IVELCARD.QVCtrl.1"
    "HKCR\\IVELCARD.QVCtrl.1\\CLSID||$clsid"
    "HKCR\\TypeLib\\$libid\\1.0\\0\\win32||$installdir\\ivelcard.ocx"
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run|Ivelcard Bridge|$installdir\\ivelcard-bridge.exe"
  )
  local check key value text
  for check in "${checks[@]}"; do
    IFS='|' read -r key value text <<<"$check"
    has_value "$key" "$value" "$text" && pass "$name: $key ${value:-(default)}" ||
      fail "$name: $key ${value:-(default)} is not '$text'"
  done
  if query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -q 'DisplayName.*Ivelcard'; then
    pass "$name: uninstall entry"
  else
    fail "$name: no uninstall entry"
  fi
  export_registry installed
  regdiff "$WINEPREFIX/drive_c/before.reg" "$WINEPREFIX/drive_c/installed.reg" \
    --under 'HKEY_LOCAL_MACHINE\Software\Classes' --except 'HKEY_LOCAL_MACHINE\Software\Classes\Installer' \
    > "$packages/$name.rows"
  if cmp -s "$rows" "$packages/$name.rows"; then
    pass "$name: the class rows are what regsvr32 writes"
  else
    fail "$name: the class rows differ from what regsvr32 writes:"; diff "$rows" "$packages/$name.rows" || true
  fi

  # The installed bridge, left running for the uninstaller to stop.
  wine "$installdir\\ivelcard-bridge.exe" --port 0 >/dev/null 2>&1 &
  local port="" log
  for _ in $(seq 1 150); do
    log=$(find "$WINEPREFIX/drive_c/users" -path '*/Ivelcard/bridge.log' 2>/dev/null | head -n 1)
    [ -n "$log" ] && port=$(sed -n 's|.*serving on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$log" | tail -n 1)
    [ -n "$port" ] && break
    sleep 0.2
  done
  if [ -z "$port" ]; then
    fail "$name: the installed bridge did not start"
  else
    local answer
    answer=$(curl -sf -X POST -H 'Content-Type: application/json' "http://127.0.0.1:$port/v1/read"; echo x)
    [ "$answer" = "$expected" ] && pass "$name: the installed bridge answers /v1/read with the Linux document" ||
      fail "$name: /v1/read differs from the Linux document"
  fi

  if "${uninstall[@]}"; then pass "$name uninstalls silently"; else fail "$name uninstall exits $?"; fi
  wineserver -w
  export_registry after
  mentions after > "$packages/$name.after"
  if diff "$packages/$name.before" "$packages/$name.after" > "$packages/$name.left"; then
    pass "$name: nothing naming Ivelcard is left"
  else
    fail "$name: left behind:"; cat "$packages/$name.left"
  fi
  wineserver -k 2>/dev/null || true
}

uninstall=(wine "$installdir\\uninstall.exe" /S)
check_package nsis wine "$setup" /S ${origins:+/ORIGINS=$origins}
uninstall=(wine msiexec /x "Z:${msi//\//\\}" /qn)
check_package msi wine msiexec /i "Z:${msi//\//\\}" /qn ${origins:+ALLOWORIGINS=$origins}

if [ "$failures" -ne 0 ]; then
  echo "$failures package check(s) failed"
  exit 1
fi
echo "== all package checks passed"
