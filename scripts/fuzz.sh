#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz: Clang, ASan + UBSan) and runs each
# for FUZZ_SECONDS (default 30), JOBS at a time, on a scratch copy of its seed
# corpus under build/fuzz/corpus/<target> (the committed corpus in
# fuzz/corpus/ is never written). FUZZ_TARGETS picks targets by name (for
# example "json_value deeplink"; default: all). Inputs that crash, leak or time
# out are kept in build/fuzz/artifacts/<target>/. Exits non-zero when any target
# found something or did not run. Extra arguments go to every fuzzer.
set -uo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${FUZZ_SECONDS:-30}"
JOBS="${JOBS:-$(nproc)}"
BUILD="build/fuzz"

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVEL_FUZZ=ON -DSORVEL_BUILD_TESTS=OFF -DSORVEL_BUILD_BENCH=OFF -DSORVEL_BUILD_APPS=OFF \
  >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" || exit 1

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/*_fuzz.cpp; do
    name="$(basename "$src" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run_one() {
  local t="$1" shift_args=("${@:2}")
  local corpus="$BUILD/corpus/$t" artifacts="$BUILD/artifacts/$t" log="$BUILD/logs/$t.log"
  local dict=() extra=()
  rm -rf "$corpus" && mkdir -p "$corpus" "$artifacts" "$BUILD/logs" || return 1
  [ -d "fuzz/corpus/$t" ] && cp -p fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null
  case "$t" in
    deeplink) dict=(-dict=fuzz/dict/deeplink.dict) ;;
    json_value | remote_config | remote_push | unsent_packages | v1_migration | history_records | campaign_list)
      dict=(-dict=fuzz/dict/json.dict) ;;
  esac
  # The SDK keeps every recorded event queued, so each input allocates more
  # than it frees and libFuzzer would search for leaks after every one (nine
  # tenths of the time); the search at the end of the run still happens.
  [ "$t" = event_attributes ] && extra=(-detect_leaks=0)
  "$BUILD/fuzz/${t}_fuzz" "$corpus" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
    "${extra[@]}" "${shift_args[@]}" >"$log" 2>&1
}

# One line per target: what it ran and reached, from libFuzzer's own figures.
report() {
  local t="$1" rc="$2" log="$BUILD/logs/$1.log"
  local execs rate cov ft corp
  execs="$(awk '/stat::number_of_executed_units/ {print $2}' "$log")"
  rate="$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")"
  cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')"
  ft="$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | awk '{print $2}')"
  corp="$(ls "$BUILD/corpus/$t" | wc -l)"
  printf '%-18s %-6s %6ss %12s %8s/s  cov %6s  ft %7s  corpus %5s\n' "$t" \
    "$([ "$rc" = 0 ] && echo ok || echo FAILED)" "$SECONDS_PER_TARGET" "${execs:-?}" \
    "${rate:-?}" "${cov:-?}" "${ft:-?}" "$corp"
}

declare -A pids=()
status=0
for t in "${targets[@]}"; do
  [ -x "$BUILD/fuzz/${t}_fuzz" ] || { echo "no fuzz target $t"; status=1; continue; }
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n; done
  run_one "$t" "$@" &
  pids[$t]=$!
done
echo "target             result   time   executions     rate       coverage    features   corpus"
for t in "${!pids[@]}"; do
  wait "${pids[$t]}"
  rc=$?
  report "$t" "$rc"
  if [ "$rc" != 0 ]; then
    status=1
    echo "--- $t found a fault (inputs in $BUILD/artifacts/$t/):"
    grep -E -A30 'ERROR:|runtime error|fuzz check failed|SUMMARY' "$BUILD/logs/$t.log" | head -60
  fi
done
exit $status
