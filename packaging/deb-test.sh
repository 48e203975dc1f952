#!/usr/bin/env bash
# The Debian package on this machine (needs root: it installs and purges):
#
#   packaging/deb-test.sh [BUILD_DIR [PACKAGE.deb]]
#
# builds the package (packaging/deb-package.sh; or takes PACKAGE.deb and the
# debug-symbol package beside it), checks it with lintian
# --pedantic (no error, no warning), installs it with apt-get, compares what
# the installed `ivelcard read` prints with the build tree's
# (BUILD_DIR/bin/ivelcard, default build/), asks the installed bridge for
# /v1/read and /demo/, verifies the installed user unit, then purges the
# package and compares the file lists from before and after. Without root it
# says so and does nothing.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}
if [ "$(id -u)" -ne 0 ]; then
  echo "== Debian package checks skipped: they install and purge the package, which needs root"
  exit 0
fi
as_apt() { env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 "$@"; }
missing=()
for tool in dpkg-buildpackage:dpkg-dev dh:debhelper lintian:lintian curl:curl systemd-analyze:systemd; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then as_apt update; as_apt install --no-install-recommends "${missing[@]}"; fi

scratch=$(mktemp -d)
server=""
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

deb=${2:-}
[ -n "$deb" ] || deb=$("$here/packaging/deb-package.sh" | tail -n 1)
deb=$(realpath "$deb")
dbgsym=$(dirname "$deb")/$(basename "$deb" | sed 's/^ivelcard_/ivelcard-dbgsym_/')
[ -f "$deb" ] && [ -f "$dbgsym" ] || fail "no package and debug-symbol package in $(dirname "$deb")"

echo "== lintian --pedantic"
lintian --pedantic --tag-display-limit 0 "$deb" "$dbgsym" 2>&1 | { grep -v 'running with root privileges' || true; } | tee "$scratch/lintian"
! grep -q '^[EW]:' "$scratch/lintian" || fail "lintian reports errors or warnings"

dpkg -c "$deb" > "$scratch/contents"
grep -q '/usr/share/doc/ivelcard/copyright$' "$scratch/contents" && grep -q 'THIRD-PARTY-NOTICES.md' "$scratch/contents" ||
  fail "the package carries no copyright file or no third-party notices"

# Everything the package or its scripts could add, leaving out the package
# manager's own records.
file_list() {
  find /etc /usr /opt /srv /var -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log -o -path /var/tmp \
       -o -path /var/lib/lintian \) -prune -o -print | sort
}
dpkg-query -W ivelcard >/dev/null 2>&1 && as_apt purge ivelcard >/dev/null
file_list > "$scratch/before"

echo "== apt-get install $deb"
as_apt install "$deb" >/dev/null
for f in /usr/bin/ivelcard /usr/lib/ivelcard/libivelcard.so /usr/share/ivelcard/web/ivelcard.js \
         /usr/share/ivelcard/web/demo/index.html /usr/lib/systemd/user/ivelcard-bridge.service \
         /usr/share/man/man1/ivelcard.1.gz /etc/ivelcard/bridge.json; do
  [ -e "$f" ] || fail "$f is not installed"
done
dpkg-query -W -f='${Conffiles}\n' ivelcard | grep -q '/etc/ivelcard/bridge.json' || fail "bridge.json is no conffile"
[ -L /etc/systemd/user/default.target.wants/ivelcard-bridge.service ] ||
  fail "the user unit is not enabled for all users"

# The installed programs run as a user would: their own home and private
# runtime directory, nothing registered.
mkdir -m 0700 "$scratch/home" "$scratch/run"
as_user() { env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" "$@"; }

echo "== the installed ivelcard read prints the build tree's document"
as_user "$build/bin/ivelcard" read --document > "$scratch/expected"
as_user /usr/bin/ivelcard read --document > "$scratch/installed"
cmp "$scratch/expected" "$scratch/installed" || fail "the installed ivelcard read differs from the build tree's"

echo "== the installed bridge answers /v1/read and serves /demo/"
as_user /usr/bin/ivelcard serve --port 0 2> "$scratch/serve.log" &
server=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's|^ivelcard: serving on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$scratch/serve.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "the installed bridge did not start: $(cat "$scratch/serve.log")"
curl -sf -X POST -H 'Content-Type: application/json' "http://127.0.0.1:$port/v1/read" > "$scratch/read"
cmp "$scratch/expected" "$scratch/read" || fail "/v1/read differs from the build tree's document"
curl -sf "http://127.0.0.1:$port/demo/" | grep -qi '<html' || fail "/demo/ is not served"
grep -q '^ivelcard: virtual reader: reads a sample card, not a real reader$' "$scratch/serve.log" ||
  fail "the bridge does not say that it reads the virtual reader"
kill "$server"; wait "$server" || true; server=""

echo "== systemd-analyze --user verify"
as_user systemd-analyze --user verify /usr/lib/systemd/user/ivelcard-bridge.service

echo "== apt-get purge leaves no file behind"
as_apt purge ivelcard >/dev/null
file_list > "$scratch/after"
diff "$scratch/before" "$scratch/after" || fail "the purge left files behind or removed others"
echo "== Debian package checks passed"
