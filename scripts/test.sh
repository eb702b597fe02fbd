#!/usr/bin/env bash
# The whole test suite: installs the packages, builds under AddressSanitizer
# and UndefinedBehaviorSanitizer and runs every test, then builds under
# ThreadSanitizer and runs the threaded tests again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh build test
jobs="$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_odr_violation=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# PLENOVA_WERROR=ON (set by .ci/run) makes warnings errors.
werror="-DPLENOVA_WERROR=${PLENOVA_WERROR:-OFF}"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_SANITIZE=address \
  -DPLENOVA_BUILD_BENCH=OFF "$werror"
cmake --build build-asan -j"$jobs"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_SANITIZE=thread \
  -DPLENOVA_BUILD_BENCH=OFF "$werror"
# Only what the threaded tests need (and the libraries loaded at run time).
mapfile -t threaded < <(ctest --test-dir build-tsan -N -L threaded | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build build-tsan -j"$jobs" --target "${threaded[@]}" plenova wendrel tarvane

# One local RTMP server for the tests that publish; they find it through
# PLENOVA_TEST_RTMP_URL (or PLENOVA_TEST_RTMP_PORT) and
# PLENOVA_TEST_RTMP_RECORD_DIR (STREAM.flv per published stream) and skip
# without them.
rtmp_port="${PLENOVA_TEST_RTMP_PORT:-19350}"
rtmp_records="$root/build-asan/rtmp-records"
rm -rf "$rtmp_records"
rtmp_prefix="$(scripts/rtmp-server.sh start "$rtmp_port" "$rtmp_records")"
trap 'scripts/rtmp-server.sh stop "$rtmp_prefix"' EXIT
export PLENOVA_TEST_RTMP_PORT="$rtmp_port"
export PLENOVA_TEST_RTMP_URL="rtmp://127.0.0.1:$rtmp_port/live"
export PLENOVA_TEST_RTMP_RECORD_DIR="$rtmp_records"

status=0
# What users build: a Release tree (g++ warns differently at -O3), whose
# tests that need no server or real time run too.
echo "== Release build"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DPLENOVA_BUILD_BENCH=OFF "$werror"
cmake --build build-release -j"$jobs"
ctest --test-dir build-release -LE slow --output-on-failure -j"$jobs" || status=1
# A Debug tree, where the engine's internal assertions are live: its unit
# tests and the bad-input rows must never reach one.
echo "== Debug build"
cmake -S . -B build-debug -DCMAKE_BUILD_TYPE=Debug -DPLENOVA_BUILD_BENCH=OFF "$werror"
mapfile -t unit < <(ctest --test-dir build-debug -N -LE slow | sed -n 's/^ *Test *#[0-9]*: //p')
# Some tests are scripts, not programs: build the targets among the names.
mapfile -t targets < <(cmake --build build-debug --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' |
  grep -Fx -f <(printf '%s\n' "${unit[@]}"))
cmake --build build-debug -j"$jobs" --target "${targets[@]}" bad_input_test plenova wendrel tarvane \
  aaclc pavanel plenova_c
ctest --test-dir build-debug -R "^($(IFS='|'; echo "${unit[*]} bad_input_test" | tr ' ' '|'))$" \
  --output-on-failure -j"$jobs" || status=1
echo "== ThreadSanitizer: threaded tests"
ctest --test-dir build-tsan -L threaded --output-on-failure -j"$jobs" || status=1
echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=1
exit $status
