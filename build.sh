#!/usr/bin/env bash
# Builds Ivelcard and runs its main job or its tests.
#
#   ./build.sh          install what is missing, build, read the card on the
#                       virtual reader and save its pictures in build/card/
#   ./build.sh test     install what is missing, build, run every test (also
#                       under AddressSanitizer + UndefinedBehaviorSanitizer,
#                       the thread tests under ThreadSanitizer, the fuzz
#                       targets briefly and the browser tests in Chromium)
#   ./build.sh windows  cross-build the 32-bit Windows module and the reader
#                       stand-ins into build-windows/ (tools/windows/)
#   ./build.sh windows-test
#                       build for Windows and run the Windows tests under Wine
#   ./build.sh package [--reader-libraries DIR]
#                       the Debian package in build/packages/ (packaging/)
#   ./build.sh windows-package [--reader-libraries DIR]
#                       the Windows installer and MSI in build-windows/packages/
#
# Debian packages that are missing are installed with apt-get (as root, or
# through sudo).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(
  cmake g++ make pkg-config
  libjsoncpp-dev libjpeg-dev libfreetype-dev
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  fonts-wqy-zenhei fonts-ocr-b
  clang libclang-rt-dev
)

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure <dir> <cmake options...>
configure() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIVELCARD_WERROR=ON "$@" >/dev/null
}

# build <dir> <cmake options...>: everything (tests, fuzz drivers, benchmarks)
build() {
  configure "$@"
  cmake --build "$1" -j "$jobs"
}

main_job() {
  # Only the host and the module it loads; a second run builds nothing.
  configure "$here/build"
  cmake --build "$here/build" -j "$jobs" --target ivelcard
  echo "== ivelcard read --out build/card (the sample card on the virtual reader)"
  "$here/build/bin/ivelcard" read --out "$here/build/card"
  echo "== The portrait and both card faces: $here/build/card/{portrait,front,back}.jpg"
}

# The browser tests: Debian's chromium driven from Node; the npm packages
# come from web/package-lock.json (npm ci) when they are missing.
browser_tests() {
  local tools=()
  command -v chromium >/dev/null || tools+=(chromium)
  command -v node >/dev/null || tools+=(nodejs)
  command -v npm >/dev/null || tools+=(npm)
  [ ${#tools[@]} -eq 0 ] || install_missing "${tools[@]}"
  if [ ! -d "$here/web/node_modules/puppeteer-core" ]; then
    (cd "$here/web" && npm ci --no-audit --no-fund --ignore-scripts)
  fi
  echo "== browser tests (chromium)"
  (cd "$here/web" && IVELCARD_BIN_DIR="$here/build/bin" CHROMIUM="$(command -v chromium)" npm test)
}

run_tests() {
  build "$here/build"
  ctest --test-dir "$here/build" --output-on-failure -j "$jobs"
  echo "== Fuzz targets, 5 seconds each (Clang, libFuzzer, in build-fuzz/)"
  FUZZ_JOBS=$jobs "$here/tests/fuzz/run.sh" 5
  browser_tests
  build "$here/build-asan" -DIVELCARD_SANITIZE=ON -DIVELCARD_BUILD_BENCH=OFF
  # use_tls=0 and the suppressions: see tests/sanitizer/lsan.supp.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="use_tls=0:print_suppressions=0:suppressions=$here/tests/sanitizer/lsan.supp" \
    ctest --test-dir "$here/build-asan" --output-on-failure -j "$jobs"
  run_thread_tests
  "$here/packaging/deb-test.sh" "$here/build"
}

# The thread tests under ThreadSanitizer: only they and the module are built.
run_thread_tests() {
  cmake -S "$here" -B "$here/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIVELCARD_WERROR=ON \
    -DIVELCARD_TSAN=ON -DIVELCARD_BUILD_BENCH=OFF >/dev/null
  cmake --build "$here/build-tsan" -j "$jobs" --target thread_tests
  TSAN_OPTIONS="halt_on_error=1" ctest --test-dir "$here/build-tsan" -R '^thread_tests$' --output-on-failure
}

install_missing "${packages[@]}"
case "${1:-main}" in
  main) main_job ;;
  test) run_tests ;;
  windows) "$here/tools/windows/build.sh" build ;;
  windows-test) "$here/tools/windows/build.sh" test ;;
  package) install_missing debhelper dpkg-dev; "$here/packaging/deb-package.sh" "${@:2}" ;;
  windows-package) "$here/tools/windows/build.sh" package "${@:2}" ;;
  *) echo "usage: $0 [main|test|windows|windows-test|package|windows-package]" >&2; exit 64 ;;
esac
