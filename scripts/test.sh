#!/usr/bin/env bash
# Builds the SDK three times and runs the whole test suite in each build:
#   1. GCC, warnings as errors;
#   2. Clang with AddressSanitizer + UndefinedBehaviorSanitizer and -Wthread-safety;
#   3. Clang with ThreadSanitizer (any data race or lock-order inversion fails the test).
# After the first, builds and runs a small app that adds the SDK with add_subdirectory.
# Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1

JOBS="${JOBS:-$(nproc)}"
status=0

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
  "$dir/build/my_app"
}

mkdir -p build
echo "=== GCC build ==="
CC=gcc CXX=g++ run_suite build/gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL_BUILD_BENCH=ON || status=1

echo "=== App using the SDK through add_subdirectory ==="
CC=gcc CXX=g++ run_consumer || { echo "consumer app failed"; status=1; }

echo "=== Clang + ASan + UBSan + thread-safety build ==="
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
CC=clang CXX=clang++ run_suite build/clang-asan -DCMAKE_BUILD_TYPE=Debug -DSORVEL_SANITIZE=ON \
  -DSORVEL_BUILD_BENCH=OFF || status=1

echo "=== Clang + ThreadSanitizer build ==="
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
CC=clang CXX=clang++ run_suite build/clang-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL_TSAN=ON \
  -DSORVEL_BUILD_BENCH=OFF || status=1

exit $status
