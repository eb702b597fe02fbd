#!/usr/bin/env bash
# The fault suite in its long form: every fault test of build-asan (built by
# scripts/test.sh or by hand) with PLENOVA_FAULTS_FULL=1, which makes the
# outages, stalls and churn last longer and kills recordings at more points.
# The tests start their own RTMP servers on 127.0.0.1 (ports 19371, 19372).
#
#   scripts/faults.sh [BUILD_DIR]     default: build-asan
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-asan}"
cd "$root"
if [[ ! -d "$build" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_SANITIZE=address \
    -DPLENOVA_BUILD_BENCH=OFF
fi
cmake --build "$build" -j2 --target fault_rtmp_test fault_recording_test fault_meeting_test fault_churn_test
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_odr_violation=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export PLENOVA_FAULTS_FULL=1
# One at a time: each test paces a meeting in real time. The measured
# values (resume time, memory, canvas rate, sync) are printed at the end.
log="$build/faults.log"
status=0
ctest --test-dir "$build" -L fault --timeout 900 --output-on-failure -V >"$log" 2>&1 || status=1
grep -E "\[ measured \]|Test +#|tests passed|FAILED" "$log" || true
((status == 0)) || echo "faults: some fault tests failed, see $log" >&2
exit $status
