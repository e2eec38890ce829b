#!/usr/bin/env bash
# Builds the library and runs the sample program (JOBS build jobs at a time,
# all cores by default, as scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
JOBS="${JOBS:-$(nproc)}"
cmake --build build/gcc -j "$JOBS" --target sorvel_sample sorvel_sample_app
./build/gcc/apps/sorvel_sample "$@"
