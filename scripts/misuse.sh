#!/usr/bin/env bash
# The misuse test in its long form: each seed in a process of its own, for
# PLENOVA_MISUSE_SECONDS (default 60) under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan, built by scripts/test.sh or here).
# A failing seed's calls are in the file its run printed; replay them with
#   PLENOVA_MISUSE_REPLAY=FILE PLENOVA_MISUSE_SEEDS=N build-asan/bin/fault_misuse_test
#
#   scripts/misuse.sh [FIRST_SEED [LAST_SEED]]     default: 1 20
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
first="${1:-1}"
last="${2:-20}"
build="${PLENOVA_MISUSE_BUILD:-$root/build-asan}"
cd "$root"
if [[ ! -d "$build" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_SANITIZE=address \
    -DPLENOVA_BUILD_BENCH=OFF
fi
cmake --build "$build" -j2 --target fault_misuse_test plenova wendrel tarvane
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_odr_violation=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export PLENOVA_MISUSE_SECONDS="${PLENOVA_MISUSE_SECONDS:-60}"
export PLENOVA_SOURCE_DIR="$root" PLENOVA_BINARY_DIR="$build"
log="$build/misuse.log"
: >"$log"
failed=()
for ((seed = first; seed <= last; seed++)); do
  start=$(date +%s)
  if PLENOVA_MISUSE_SEEDS="$seed" "$build/bin/fault_misuse_test" >>"$log" 2>&1; then
    echo "misuse: seed $seed passed ($(($(date +%s) - start)) s)"
  else
    echo "misuse: seed $seed FAILED ($(($(date +%s) - start)) s), see $log"
    failed+=("$seed")
  fi
done
grep -E "\[ misuse \]" "$log" | grep "calls$" || true
if ((${#failed[@]} > 0)); then
  echo "misuse: failed seeds: ${failed[*]}" >&2
  exit 1
fi
echo "misuse: seeds $first to $last passed, ${PLENOVA_MISUSE_SECONDS} s each"
