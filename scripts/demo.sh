#!/usr/bin/env bash
# Builds the library and runs the sample program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/gcc -j "$(nproc)" --target sorvel_sample sorvel_sample_app
./build/gcc/apps/sorvel_sample "$@"
