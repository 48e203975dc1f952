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

# What the main job needs: the build tools, the libraries of the host and its
# module, and the font linked as the system font of the card faces.
packages=(
  cmake g++ make
  libjsoncpp-dev libjpeg-dev libfreetype-dev libboost-dev
  fonts-wqy-zenhei
)
# What the tests add: GoogleTest with GoogleMock, Benchmark, Clang with its
# runtimes for the fuzz targets, and OCR-B as a second font file.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev
  fonts-ocr-b
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

# The browser and package tests: Debian's chromium driven from Node; the npm
# packages (puppeteer-core, TypeScript) come from web/package-lock.json
# (npm ci) when they are missing or the lockfile is newer.
browser_tests() {
  local tools=()
  command -v chromium >/dev/null || tools+=(chromium)
  command -v node >/dev/null || tools+=(nodejs)
  command -v npm >/dev/null || tools+=(npm)
  [ ${#tools[@]} -eq 0 ] || install_missing "${tools[@]}"
  if [ ! "$here/web/node_modules/.package-lock.json" -nt "$here/web/package-lock.json" ]; then
    (cd "$here/web" && npm ci --no-audit --no-fund --ignore-scripts)
  fi
  echo "== browser tests (chromium) and the npm package's test"
  (cd "$here/web" && IVELCARD_BIN_DIR="$here/build/bin" CHROMIUM="$(command -v chromium)" npm test)
}

run_tests() {
  build "$here/build"
  ctest --test-dir "$here/build" --output-on-failure --no-tests=error -j "$jobs"
  echo "== Fuzz targets, 5 seconds each (Clang, libFuzzer, in build-fuzz/)"
  FUZZ_JOBS=$jobs "$here/tests/fuzz/run.sh" 5
  browser_tests
  build "$here/build-asan" -DIVELCARD_SANITIZE=ON -DIVELCARD_BUILD_BENCH=OFF
  # use_tls=0 and the suppressions: see tests/sanitizer/lsan.supp.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="use_tls=0:print_suppressions=0:suppressions=$here/tests/sanitizer/lsan.supp" \
    ctest --test-dir "$here/build-asan" --output-on-failure --no-tests=error -j "$jobs"
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

case "${1:-main}" in
  main) install_missing "${packages[@]}"; main_job ;;
  test) install_missing "${packages[@]}" "${test_packages[@]}"; run_tests ;;
  windows) install_missing "${packages[@]}"; "$here/tools/windows/build.sh" build ;;
  windows-test) install_missing "${packages[@]}"; "$here/tools/windows/build.sh" test ;;
  package) install_missing "${packages[@]}" build-essential debhelper dpkg-dev; "$here/packaging/deb-package.sh" "${@:2}" ;;
  windows-package) install_missing "${packages[@]}"; "$here/tools/windows/build.sh" package "${@:2}" ;;
  *) echo "usage: $0 [main|test|windows|windows-test|package|windows-package]" >&2; exit 64 ;;
esac
