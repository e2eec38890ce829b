#!/usr/bin/env bash
# Builds the library, the sample program, the standalone server double and the
# gallery of in-app layouts, runs the sample program (its options are passed
# on; --help lists them), then renders the gallery into build/gcc/gallery.
# JOBS build jobs at a time, all cores by default, as scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
JOBS="${JOBS:-$(nproc)}"
cmake --build build/gcc -j "$JOBS" --target sorvel_sample sorvel_sample_app sorvel-server-double \
  sorvel_gallery
./build/gcc/apps/sorvel_sample "$@"
for arg in "$@"; do
  case "$arg" in -h | --help) exit 0 ;; esac
done
./build/gcc/render/sorvel_gallery --out build/gcc/gallery
echo "gallery: every in-app layout, in both orientations and image states, in build/gcc/gallery/"
