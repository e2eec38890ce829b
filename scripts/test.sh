#!/usr/bin/env bash
# First checks that every include in src/ points down the SDK's folder order
# (scripts/check_layering.sh; a break stops here, before any build). Builds the
# public headers' reference with doxygen (docs/Doxyfile; any undocumented
# public declaration fails), then builds the SDK three times and
# runs the whole test suite in each build:
#   1. GCC, warnings as errors;
#   2. Clang with AddressSanitizer + UndefinedBehaviorSanitizer and -Wthread-safety;
#   3. Clang with ThreadSanitizer (any data race or lock-order inversion fails the test).
# After the first, runs the kill soak (50 kills, tools/kill_soak.cpp), builds and runs
# a small app that adds the SDK with add_subdirectory,
# then installs the SDK into a prefix and builds and runs the same app against the
# installed package, once through CMake (find_package, with and without the
# render component) and once through pkg-config; then runs every block of
# README.md as written (scripts/readme_check.sh).
# Then runs every fuzz target for FUZZ_SECONDS (30 s by default; scripts/fuzz.sh).
# Ends on one verdict line, "=== All checks passed ===" or "=== FAILED: <the
# stages that failed> ===", and exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
failed=()
# Records a stage that failed, for the verdict.
stage_failed() { failed+=("$1"); }
# The last line of the run: whether everything passed, else which stages did
# not; its status is the run's.
verdict() {
  if [ "${#failed[@]}" -eq 0 ]; then
    echo "=== All checks passed ==="
    return 0
  fi
  local list
  list="$(printf ', %s' "${failed[@]}")"
  echo "=== FAILED: ${list:2} ==="
  return 1
}

echo "=== Includes point down the folder order of src/ ==="
bash scripts/check_layering.sh || {
  echo "an include points up the folder order (see the lines above)"
  stage_failed "include order (nothing else ran)"; verdict; exit
}

bash scripts/deps.sh || { stage_failed "dependencies (nothing else ran)"; verdict; exit; }

JOBS="${JOBS:-$(nproc)}"

run_suite() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" || return 1
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 300
}

# An app that takes the SDK in as the README says (the SDK's folder as
# sorvelkv/ beside the app, add_subdirectory, link by name): build it and run it.
run_consumer() {
  local dir="build/consumer"
  rm -rf "$dir/app" && mkdir -p "$dir/app" || return 1
  cp -p tests/consumer/CMakeLists.txt tests/consumer/main.cpp "$dir/app/" || return 1
  ln -s "$PWD" "$dir/app/sorvelkv" || return 1
  cmake -S "$dir/app" -B "$dir/build" -G Ninja >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir/build" -j "$JOBS" || return 1
  # Taken in by another project, the SDK builds its shared library only, and
  # leaves the app's compiler warnings to the app.
  if find "$dir/build" -name 'libsorvelkv_static.a' -o -name 'libsorvelkv_render.so*' | grep -q .; then
    echo "the unused static library or the renderer was built"; return 1
  fi
  if ninja -C "$dir/build" -t commands sorvelkv | grep -F "/src/" | grep -q -e '-Werror'; then
    echo "the SDK's sources were compiled with -Werror inside another project"; return 1
  fi
  SORVEL_SERVER_DOUBLE="$PWD/build/gcc/tools/sorvel-server-double" "$dir/build/my_app"
}

# The installed package: `cmake --install` into a prefix, then an app built
# against the prefix alone, through find_package and through pkg-config; and
# every installed header compiled on its own, reaching no header of the SDK's
# dependencies.
run_installed_consumer() {
  # The prefix lies below a folder named src, as many checkouts do: nothing
  # may take that for the SDK's own source folder.
  local dir="$PWD/build/installed" prefix="$PWD/build/installed/src/prefix"
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  cmake --install build/gcc --prefix "$prefix" >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; return 1; }
  local lib
  lib="$(find "$prefix" -name 'libsorvelkv.so' -print -quit)"
  [ -n "$lib" ] || { echo "libsorvelkv.so not installed"; return 1; }
  local libdir soname
  libdir="$(dirname "$lib")"
  soname="$(objdump -p "$lib" | awk '/SONAME/ {print $2}')"
  [ -n "$soname" ] && [ -e "$libdir/$soname" ] || { echo "no soname link ($soname)"; return 1; }

  echo "--- through find_package(SorvelKV)"
  cmake -S tests/consumer/installed -B "$dir/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    >"$dir/cmake.configure.log" 2>&1 || { cat "$dir/cmake.configure.log"; return 1; }
  cmake --build "$dir/cmake" || return 1
  SORVEL_SERVER_DOUBLE="$PWD/build/gcc/tools/sorvel-server-double" "$dir/cmake/my_app" || return 1

  echo "--- through find_package(SorvelKV COMPONENTS render)"
  cmake -S tests/consumer/installed -B "$dir/cmake-render" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DWITH_RENDER=ON >"$dir/cmake-render.configure.log" 2>&1 ||
    { cat "$dir/cmake-render.configure.log"; return 1; }
  cmake --build "$dir/cmake-render" || return 1
  "$dir/cmake-render/render_app" "$dir/message-cmake.png" || return 1

  echo "--- through pkg-config"
  local flags
  flags="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs sorvelkv)" || return 1
  # shellcheck disable=SC2086
  g++ -std=c++20 -Wall -Wextra -Werror tests/consumer/main.cpp $flags -o "$dir/my_app_pc" || return 1
  LD_LIBRARY_PATH="$libdir" SORVEL_SERVER_DOUBLE="$PWD/build/gcc/tools/sorvel-server-double" \
    "$dir/my_app_pc" || return 1

  echo "--- the renderer through pkg-config"
  flags="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs sorvelkv-render)" || return 1
  # shellcheck disable=SC2086
  g++ -std=c++20 -Wall -Wextra -Werror tests/consumer/render_main.cpp $flags -o "$dir/render_pc" || return 1
  LD_LIBRARY_PATH="$libdir" "$dir/render_pc" "$dir/message.png" || return 1

  echo "--- installed headers stand alone"
  local h deps
  for h in "$prefix"/include/sorvel/*.h; do
    deps="$(echo "#include <sorvel/$(basename "$h")>" |
      g++ -std=c++20 -I"$prefix/include" -x c++ -M - 2>&1)" || { echo "$h: $deps"; return 1; }
    # The SDK's own source folder, matched exactly: a checkout may well lie
    # below a folder named src.
    if echo "$deps" | tr ' ' '\n' | grep -E '\.(h|hpp)$' |
        grep -v -E "^($prefix/include/sorvel/|/usr/include/|/usr/lib/gcc/)" |
        grep -q . || echo "$deps" | grep -q -E 'nlohmann|curl|sqlite|openssl' ||
        echo "$deps" | grep -q -F "$PWD/src/"; then
      echo "$h reaches a header outside the public ones:"; echo "$deps"; return 1
    fi
  done
}

mkdir -p build
echo "=== Reference of the public headers (doxygen: an undocumented declaration fails) ==="
doxygen docs/Doxyfile || { echo "document every public declaration (see the lines above)"; stage_failed "reference"; }

echo "=== GCC build ==="
CC=gcc CXX=g++ run_suite build/gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL_BUILD_BENCH=ON || stage_failed "GCC build and tests"

echo "=== The thread stress's time-out grows with SORVEL_STRESS_SECONDS ==="
SORVEL_STRESS_SECONDS=600 ctest --test-dir build/gcc -R 'StressTest\.' --show-only=json-v1 |
  grep -A1 '"TIMEOUT"' | grep -q '"value" : 1920' || { echo "the stress keeps a fixed time-out"; stage_failed "stress time-out"; }

echo "=== Kill soak: 50 kills of an app recording events, then everything counted ==="
build/gcc/tools/sorvel_kill_soak --kills 50 || { echo "kill soak failed"; stage_failed "kill soak"; }

echo "=== App using the SDK through add_subdirectory ==="
CC=gcc CXX=g++ run_consumer || { echo "consumer app failed"; stage_failed "add_subdirectory app"; }

echo "=== App using the installed SDK ==="
CC=gcc CXX=g++ run_installed_consumer || { echo "installed consumer app failed"; stage_failed "installed app"; }

echo "=== Every block of README.md, as written ==="
CC=gcc CXX=g++ JOBS="$JOBS" bash scripts/readme_check.sh || { echo "a README block failed"; stage_failed "README blocks"; }

echo "=== Clang + ASan + UBSan + thread-safety build ==="
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
CC=clang CXX=clang++ run_suite build/clang-asan -DCMAKE_BUILD_TYPE=Debug -DSORVEL_SANITIZE=ON \
  -DSORVEL_BUILD_BENCH=OFF || stage_failed "ASan + UBSan build and tests"

echo "=== Clang + ThreadSanitizer build ==="
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
CC=clang CXX=clang++ run_suite build/clang-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL_TSAN=ON \
  -DSORVEL_BUILD_BENCH=OFF || stage_failed "TSan build and tests"

echo "=== Fuzz smoke run (libFuzzer, ASan + UBSan) ==="
FUZZ_SECONDS="${FUZZ_SECONDS:-30}" JOBS="$JOBS" bash scripts/fuzz.sh || stage_failed "fuzz"

verdict
