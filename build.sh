#!/usr/bin/env bash
# Builds Ivelcard and runs its main job or its tests.
#
#   ./build.sh          install what is missing, build, read the card on the
#                       virtual reader and save its pictures in build/card/
#   ./build.sh test     install what is missing, build, run every test (also
#                       under AddressSanitizer + UndefinedBehaviorSanitizer)
#   ./build.sh windows  cross-build the 32-bit Windows module and the reader
#                       stand-ins into build-windows/ (tools/windows/)
#   ./build.sh windows-test
#                       build for Windows and run the Windows tests under Wine
#
# Debian packages that are missing are installed with apt-get (as root, or
# through sudo).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(
  cmake g++ make pkg-config
  libjsoncpp-dev libjpeg-dev libfreetype-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-wqy-zenhei fonts-ocr-b
)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build <dir> <cmake options...>
build() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIVELCARD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

main_job() {
  build "$here/build"
  echo "== ivelcard read --out build/card (the sample card on the virtual reader)"
  "$here/build/bin/ivelcard" read --out "$here/build/card"
  echo "== The portrait and both card faces: $here/build/card/{portrait,front,back}.jpg"
}

run_tests() {
  build "$here/build"
  ctest --test-dir "$here/build" --output-on-failure -j "$jobs"
  build "$here/build-asan" -DIVELCARD_SANITIZE=ON -DIVELCARD_BUILD_BENCH=OFF
  # use_tls=0 and the suppressions: see tests/sanitizer/lsan.supp.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="use_tls=0:print_suppressions=0:suppressions=$here/tests/sanitizer/lsan.supp" \
    ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs"
}

install_missing
case "${1:-main}" in
  main) main_job ;;
  test) run_tests ;;
  windows) "$here/tools/windows/build.sh" build ;;
  windows-test) "$here/tools/windows/build.sh" test ;;
  *) echo "usage: $0 [main|test|windows|windows-test]" >&2; exit 64 ;;
esac
