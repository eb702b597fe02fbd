#!/usr/bin/env bash
# Fresh-machine set-up: installs the packages building needs (and nothing
# for the tests, such as a web server), builds the release tree into build/,
# and runs the main job: ten seconds of a synthetic four-person meeting
# recorded to an MP4 under PlenovaMp4/ in the current folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_BUILD_TESTS=OFF \
  -DPLENOVA_BUILD_BENCH=OFF
cmake --build build -j"$(nproc)"
build/bin/plenova-record --participants 4 --duration 10 --log-dir "$root/build"
