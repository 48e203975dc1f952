#!/usr/bin/env bash
# The Windows hosts under Wine, run by wine-tests.sh in its prefix (the
# module registered by regsvr32):
#
#   wine-host-tests.sh <windows build dir> <linux build dir>
#
#  - ivelcard.exe call, registered and unregistered, byte for byte what the
#    Linux host prints; read --out writes the same pictures; exit statuses;
#  - the bridge protocol tests (tests/bridge) and the browser tests
#    (web/tests, Chromium) against ivelcard-bridge.exe;
#  - one bridge per session, a start through the Run value (wineboot), the
#    end on WM_CLOSE with the port free;
#  - a module whose portrait library cannot load: the bridge still answers.
#
# The exit status is the number of failed checks.
set -uo pipefail

out=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
bin=$out/bin
scratch=$out/wine-test-output/hosts
rm -rf "$scratch"
mkdir -p "$scratch"

# shellcheck source=wine-common.sh
. "$here/tools/windows/wine-common.sh"
module=$(winpath "$bin/ivelcard.ocx")
operations=(connect getStatus getSAMID readCert disconnect)

# A desk has a desktop: the bridge's window, its icon and the control's
# message boxes need one. Wine's null display driver gives one without a
# display (boxes then stay up until closed), for these tests only.
drivers='HKCU\Software\Wine\Drivers'
wineserver -k 2>/dev/null || true
wine reg add "$drivers" /v Graphics /d null /f >/dev/null 2>&1
# The desktop takes its driver when the server starts: start it again.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
restore_driver() { wine reg delete "$drivers" /v Graphics /f >/dev/null 2>&1; wineserver -k 2>/dev/null || true; }
trap restore_driver EXIT

cmake --build "$linux" -j "$jobs" --target ivelcard ivelcard_module bridge_tests >/dev/null
"$linux/bin/ivelcard" call "${operations[@]}" >"$scratch/linux.txt" 2>/dev/null

echo "== ivelcard.exe"
expect_same() {  # expect_same <what> <file>
  if cmp -s "$2" "$scratch/linux.txt"; then pass "$1: the Linux host's documents ($(wc -c <"$2") bytes)"
  else fail "$1 differs from the Linux host: $(cmp "$2" "$scratch/linux.txt" 2>&1)"; fi
}
wine "$bin/ivelcard.exe" call "${operations[@]}" >"$scratch/registered.txt" 2>"$scratch/registered.err"
expect_same "call, registered" "$scratch/registered.txt"
wine regsvr32 /s /u "$module"
wine "$bin/ivelcard.exe" call "${operations[@]}" >"$scratch/unregistered.txt" 2>"$scratch/unregistered.err"
expect_same "call, unregistered" "$scratch/unregistered.txt"
if grep -qF "IVELCARD.QVCtrl.1 is not registered; using Z:" "$scratch/unregistered.err"; then
  pass "unregistered: says so and uses the module beside it"
else
  fail "unregistered: standard error is '$(cat "$scratch/unregistered.err")'"
fi
wine regsvr32 /s "$module"

"$linux/bin/ivelcard" read --out "$scratch/linux-card" >/dev/null 2>&1
wine "$bin/ivelcard.exe" read --out "$(winpath "$scratch/card")" >"$scratch/read.txt" 2>/dev/null
same=1
for picture in portrait.jpg front.jpg back.jpg; do
  cmp -s "$scratch/card/$picture" "$scratch/linux-card/$picture" || same=0
done
[ $same = 1 ] && pass "read --out: the Linux host's pictures" || fail "read --out: pictures differ from the Linux host's"
"$linux/bin/ivelcard" draw 120x80 --out "$scratch/linux.bmp" 2>/dev/null
wine "$bin/ivelcard.exe" draw 120x80 --out "$(winpath "$scratch/windows.bmp")" 2>/dev/null
cmp -s "$scratch/windows.bmp" "$scratch/linux.bmp" && pass "draw: the Linux host's bitmap, byte for byte" ||
  fail "draw: the bitmap differs from the Linux host's"
statuses=(
  "0|--version"
  "2|call noSuchMember"
  "2|--module Z:\\no\\such.ocx call connect"
  "64|call"
  "64|frobnicate"
)
for row in "${statuses[@]}"; do
  IFS='|' read -r expected arguments <<<"$row"
  # shellcheck disable=SC2086
  wine "$bin/ivelcard.exe" $arguments >/dev/null 2>&1
  code=$?
  [ "$code" = "$expected" ] && pass "exit $code: $arguments" || fail "exit $code, not $expected: $arguments"
done
version=$(wine "$bin/ivelcard.exe" --version 2>/dev/null)
expected_version=$(printf 'ivelcard 2.0.2.2\nmodule %s 2.0.2.2' "$module")
[ "$version" = "$expected_version" ] && pass "--version: the module's version record" || fail "--version printed '$version'"

# The desk bridge: its service options follow the program; WM_CLOSE (taskkill
# without /f) stops it.
bridge=$bin/ivelcard-bridge.exe
stop_bridge="wine taskkill /im ivelcard-bridge.exe >/dev/null 2>&1"
# http <method> <url>: the status, a space, the body.
http() {
  python3 - "$@" <<'PY' 2>/dev/null
import sys, urllib.request, urllib.error
method, url = sys.argv[1:3]
data = b"{}" if method == "POST" else None
request = urllib.request.Request(url, data=data, method=method, headers={"Content-Type": "application/json"})
try:
    with urllib.request.urlopen(request, timeout=30) as reply:
        status, body = reply.status, reply.read()
except urllib.error.HTTPError as error:
    status, body = error.code, error.read()
sys.stdout.write(f"{status} {body.decode()}")
PY
}
serves() { http GET "http://127.0.0.1:$1/v1/info" | grep -q '^200 '; }
port_free() {  # as a server binds: connections waiting out their close do not count
  python3 -c "import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', int(sys.argv[1])))" "$1" 2>/dev/null
}
wait_serving() {  # wait_serving <port>: up to 30 s
  for _ in $(seq 150); do serves "$1" && return 0; sleep 0.2; done
  return 1
}

# windows_directory NAME: "%NAME%\Ivelcard" as Windows names it (C:\...);
# in_prefix WINDOWS_PATH: that path's file in the prefix.
windows_directory() { wine cmd /c "echo %$1%\\Ivelcard" 2>/dev/null | tr -d '\r'; }
in_prefix() { local path=${1#C:\\}; echo "$WINEPREFIX/drive_c/${path//\\//}"; }

echo "== Bridge protocol tests against ivelcard-bridge.exe"
# The tests write the allow-lists where the Windows bridge reads them, in this
# prefix's %APPDATA% and %ProgramData%, and stop it with WM_CLOSE where they
# signal the Linux service. Left to the Linux service: file modes, SIGHUP and
# the host's own allow-origin files, which those tests check beside the rest.
if IVELCARD_BRIDGE_COMMAND="wine $bridge" IVELCARD_BRIDGE_STOP="$stop_bridge" \
    IVELCARD_BRIDGE_DRIVE_C="$WINEPREFIX/drive_c" IVELCARD_BRIDGE_MODULE="$module" \
    IVELCARD_BRIDGE_USER_CONFIG="$(windows_directory APPDATA)" \
    IVELCARD_BRIDGE_MACHINE_CONFIG="$(windows_directory ProgramData)" \
    "$linux/bin/bridge_tests" --gtest_brief=1 >"$scratch/bridge-tests.log" 2>&1; then
  pass "bridge protocol tests: $(grep -F '[  PASSED  ]' "$scratch/bridge-tests.log")"
else
  fail "bridge protocol tests:"; grep -E '^\[  FAILED  \]|Failure' "$scratch/bridge-tests.log" | head -20
fi

echo "== Browser tests against ivelcard-bridge.exe"
if [ -d "$here/web/node_modules/puppeteer-core" ] && command -v chromium >/dev/null; then
  if (cd "$here/web" && IVELCARD_BIN_DIR="$linux/bin" CHROMIUM="$(command -v chromium)" \
      IVELCARD_BRIDGE_COMMAND="wine $bridge" IVELCARD_BRIDGE_STOP="$stop_bridge" \
      node --test --test-name-pattern="demo page|allowed local origin|not on the list" tests/ \
      >"$scratch/browser-tests.log" 2>&1); then
    pass "browser tests: $(grep -E '^# pass' "$scratch/browser-tests.log")"
  else
    fail "browser tests:"; tail -30 "$scratch/browser-tests.log"
  fi
else
  fail "browser tests: web/node_modules or chromium missing (./build.sh test installs them)"
fi

echo "== One bridge per session, its log, autostart, WM_CLOSE"
port=24019
# A log a few lines short of its 1 MiB: the bridge's lines go on in a new one.
logs=$(in_prefix "$(windows_directory LOCALAPPDATA)")
mkdir -p "$logs"
rm -f "$logs/bridge.old.log"
python3 -c "import sys; open(sys.argv[1], 'w').write('earlier line\r\n' * 74896)" "$logs/bridge.log"
wine "$bridge" --port $port >"$scratch/first.log" 2>&1 &
first=$!
if wait_serving $port; then pass "the bridge serves on $port"; else fail "the bridge did not start: $(cat "$scratch/first.log")"; fi
wine "$bridge" --port $((port + 1)) >"$scratch/second.log" 2>&1
code=$?
[ "$code" = 0 ] && pass "a second bridge exits 0" || fail "a second bridge exits $code"
grep -qF "already running" "$scratch/second.log" && serves $port && ! serves $((port + 1)) &&
  pass "the first keeps serving" || fail "after a second start: $(cat "$scratch/second.log")"
eval "$stop_bridge"
wait "$first"
code=$?
[ "$code" = 0 ] && pass "WM_CLOSE: the bridge exits 0" || fail "WM_CLOSE: the bridge exits $code"
port_free $port && pass "WM_CLOSE: port $port is free" || fail "WM_CLOSE: port $port still taken"
if [ "$(head -c 12 "$logs/bridge.old.log" 2>/dev/null)" = "earlier line" ] &&
   [ "$(stat -c %s "$logs/bridge.log")" -lt 4096 ] && grep -qF "serving on http://127.0.0.1:$port/" "$logs/bridge.log" &&
   grep -qF "already running in this session" "$logs/bridge.log" && grep -qF "stopped with status 0" "$logs/bridge.log"; then
  pass "the log: 1 MiB kept as bridge.old.log, both bridges' lines in the new bridge.log"
else
  fail "the log: $(ls -l "$logs"; tail -5 "$logs/bridge.log")"
fi

run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
wine "$bridge" --install-autostart
wine reg query "$run_key" /v "Ivelcard Bridge" 2>/dev/null | tr -d '\r' | grep -qF "\"$(winpath "$bridge")\"" &&
  pass "--install-autostart writes the Run value" || fail "no Run value after --install-autostart"
wineserver -w
wine wineboot >/dev/null 2>&1
if wait_serving 24010; then pass "wineboot starts the bridge from the Run value"; else fail "the Run value did not start the bridge"; fi
eval "$stop_bridge"
for _ in $(seq 50); do port_free 24010 && break; sleep 0.2; done
port_free 24010 && pass "stopped, port 24010 free" || fail "port 24010 still taken after WM_CLOSE"
wine "$bridge" --remove-autostart
wine reg query "$run_key" /v "Ivelcard Bridge" >/dev/null 2>&1 && fail "the Run value stays after --remove-autostart" ||
  pass "--remove-autostart removes the Run value"

echo "== A module whose portrait library cannot load"
# Creating its control shows the deployment's message box, which stays up
# until closed. Meanwhile the bridge serves (calls wait for the control);
# WM_CLOSE closes the box with the program, which then ends with 0 and frees
# the port.
IVELCARD_MODULE=$(winpath "$bin/ivelcard_bad_decoder.ocx") wine "$bridge" --port $port >"$scratch/bad.log" 2>&1 &
first=$!
if wait_serving $port && grep -q "still being created" "$scratch/bad.log"; then
  pass "the bridge answers other clients while the box is up"
else fail "no answer while the box is up: $(cat "$scratch/bad.log")"; fi
eval "$stop_bridge"
wait "$first"
code=$?
[ "$code" = 0 ] && pass "WM_CLOSE with the box up: exit 0" || fail "WM_CLOSE with the box up: exit $code"
for _ in $(seq 50); do port_free $port && break; sleep 0.2; done
port_free $port && pass "then port $port is free" || fail "port $port still taken"

exit "$failures"
