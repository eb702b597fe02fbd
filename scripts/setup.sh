#!/usr/bin/env bash
# Fresh-machine set-up: installs the packages, builds the release tree and
# runs the main job.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"
build/bin/hello_recorder "$root"
