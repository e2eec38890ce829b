#!/usr/bin/env bash
# Builds the library, the sample program, the standalone server double and the
# gallery of in-app layouts, runs the sample program (its options are passed
# on), then renders the gallery into build/gcc/gallery.
# --help (or -h) prints the options at once, before anything is installed or
# built. JOBS build jobs at a time, all cores by default, as scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      cat <<'USAGE'
usage: bash scripts/demo.sh [sample options]
Installs the Debian packages the SDK needs (only those missing), builds the SDK,
the sample app, the server double and the gallery of in-app layouts (JOBS jobs
at a time, default all cores), runs the sample app with the options given, then
renders every in-app layout into build/gcc/gallery/. The sample's options:

USAGE
      cat apps/sample_usage.txt
      exit 0 ;;
  esac
done
bash scripts/deps.sh
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
JOBS="${JOBS:-$(nproc)}"
cmake --build build/gcc -j "$JOBS" --target sorvel_sample sorvel_sample_app sorvel-server-double \
  sorvel_gallery
./build/gcc/apps/sorvel_sample "$@"
./build/gcc/render/sorvel_gallery --out build/gcc/gallery
echo "gallery: every in-app layout, in both orientations and image states, in build/gcc/gallery/"
