#!/usr/bin/env bash
# Builds the fuzz targets with Clang for libFuzzer (with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each of them for SECONDS from its seed
# corpus, then prints per target the inputs run, the coverage reached and
# the findings. Exits 1 when a target found something (a crash, a leak, a
# timeout, a sanitizer report), 2 when the build or a run failed otherwise.
#
#   tests/fuzz/run.sh SECONDS [TARGET...]
#
# TARGET is a name such as fuzz_control_document; without one, every
# libfuzzer_* executable of the build runs. The committed corpus
# tests/fuzz/corpus/<target>/ is copied to a scratch directory first, so a
# run never changes it; with FUZZ_MERGE=1 the inputs that reach new coverage
# are then minimised into it (libFuzzer's merge). Findings are kept in
# <build>/fuzz-findings/<target>/.
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS targets at a
# time (default 1), FUZZ_MERGE.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-1}
merge=${FUZZ_MERGE:-0}

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 64
fi
seconds=$1; shift

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIVELCARD_WERROR=ON \
  -DIVELCARD_SANITIZE=ON -DIVELCARD_LIBFUZZER=ON -DIVELCARD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

targets=()
if [ $# -gt 0 ]; then
  targets=("$@")
else
  for binary in "$build"/bin/libfuzzer_*; do
    [ -x "$binary" ] && targets+=("${binary##*/libfuzzer_}")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/bin" >&2
  exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/start"

# The same sanitizer settings as the sanitizer test run.
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
export LSAN_OPTIONS="use_tls=0:print_suppressions=0:suppressions=$root/tests/sanitizer/lsan.supp"

# fuzz <target>: runs one target; its log is $scratch/<target>.log, its exit
# code $scratch/<target>.rc.
fuzz() {
  local target=$1
  local binary=$build/bin/libfuzzer_$target
  local corpus=$scratch/$target.corpus
  local findings=$build/fuzz-findings/$target
  mkdir -p "$corpus" "$findings"
  if [ -d "$here/corpus/$target" ]; then
    cp -R "$here/corpus/$target/." "$corpus/"
  fi
  local rc=0
  (cd "$findings" && "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus") >"$scratch/$target.log" 2>&1 || rc=$?
  echo "$rc" >"$scratch/$target.rc"
  if [ "$merge" = 1 ] && [ "$rc" = 0 ]; then
    mkdir -p "$here/corpus/$target"
    "$binary" -merge=1 "$here/corpus/$target" "$corpus" >>"$scratch/$target.log" 2>&1 || true
  fi
}

running=0
for target in "${targets[@]}"; do
  if [ ! -x "$build/bin/libfuzzer_$target" ]; then
    echo "no fuzz target $target" >&2
    exit 2
  fi
  fuzz "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
failed=0
printf '%-30s %12s %9s %7s %8s %8s %s\n' target executions exec/s cov ft corpus findings
for target in "${targets[@]}"; do
  log=$scratch/$target.log
  rc=$(cat "$scratch/$target.rc")
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  # The last status line: "#N ... cov: C ft: F corp: K/SIZE ...".
  line=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  field() { sed -n "s/.* $1: \\([^ ]*\\).*/\\1/p" <<<"$line"; }
  artifacts=$(find "$build/fuzz-findings/$target" -maxdepth 1 -type f -newer "$scratch/start" 2>/dev/null | wc -l)
  found=0
  if [ "$rc" != 0 ] || [ "$artifacts" -gt 0 ]; then
    found=$((artifacts > 0 ? artifacts : 1))
  fi
  printf '%-30s %12s %9s %7s %8s %8s %s\n' "$target" "$(stat number_of_executed_units)" \
    "$(stat average_exec_per_sec)" "$(field cov)" "$(field ft)" "$(field corp)" "$found"
  if [ "$found" != 0 ]; then
    status=1
    failed=$((failed + 1))
    echo "== $target: exit code $rc; findings in $build/fuzz-findings/$target; the end of its log:"
    tail -40 "$log"
  fi
done
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
exit "$status"
