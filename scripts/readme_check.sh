#!/usr/bin/env bash
# Runs the blocks of README.md as a new user would, in the README's order.
# Every fenced block carries a tag after its language, which says what to do:
#
#   readme-run sdk     run with bash -e in the SDK's folder
#   readme-run app     run with bash -e in the app's folder (build/readme/app);
#                      it must end by running an app whose events reach the
#                      server double
#   readme-server      start the server double as written (in the app's
#                      folder), stopping the one started before
#   readme-file NAME   write the block to NAME in the app's folder
#   readme-harness     the program the fragments go into, at "// (the snippet)"
#   readme-fragment    compiled into the harness against the installed package
#                      (pkg-config) and run
#   readme-skip        not run here (the suite itself, hour-long runs)
#
# A block without a tag fails the check. The only changes made to the text are
# the README's placeholders, replaced as listed in subst below. Needs the
# server double built in build/gcc (scripts/demo.sh, the first block, builds
# it). JOBS (default: all cores) caps the builds' parallel jobs.
set -uo pipefail
cd "$(dirname "$0")/.."
SDK="$PWD"
WORK="$SDK/build/readme"
APP="$WORK/app"
PREFIX="$WORK/prefix"
PORT=""
# The install recipe builds into build/release as a new user's first build:
# removed first, so that a renderer built by an earlier run is not installed.
rm -rf "$WORK" build/release && mkdir -p "$APP" "$WORK/blocks" "$WORK/data" || exit 1
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-${JOBS:-$(nproc)}}"

# The placeholders: the install prefix, the SDK's folder, the server double's
# port (its URL and its --port option) and the builds' jobs (JOBS' cap).
subst() {
  sed -e "s|\\\$HOME/opt/sorvelkv|$PREFIX|g" -e "s|/path/to/sorvelkv|$SDK|g" \
      -e "s|127\.0\.0\.1:8080|127.0.0.1:${PORT:-8080}|g" \
      -e "s|--port 8080|--port ${PORT:-0} --port-file $WORK/port|g" \
      -e "s|-j \"\\\$(nproc)\"|-j $CMAKE_BUILD_PARALLEL_LEVEL|g"
}

# The apps keep their data where the SDK puts it by default, below the user's
# data home: a new user's, empty, here (and one of its own for each fragment).
unset SORVEL_HOME
export XDG_DATA_HOME="$WORK/data"

fail() { echo "README check: $*"; exit 1; }

server=""
stop_server() {
  if [ -n "$server" ]; then
    kill -- -"$server" 2>/dev/null
    wait "$server" 2>/dev/null
    server=""
  fi
}
trap stop_server EXIT

# The blocks, one file each, and an index: number, line, tag, argument.
awk -v dir="$WORK/blocks" '
  !inside && /^```/ {
    n++; inside = 1; tag = $2; arg = $3
    if (tag !~ /^readme-/) { printf "%d\t%d\tuntagged\t%s\n", n, NR, $0; next }
    printf "%d\t%d\t%s\t%s\n", n, NR, tag, arg
    printf "" > (dir "/" n); next
  }
  inside && /^```$/ { inside = 0; close(dir "/" n); next }
  inside { print >> (dir "/" n) }
' README.md >"$WORK/index" || fail "cannot read README.md"

bulk_count() { grep -c '"endpoint":"event_bulk"' "$WORK/server.log" 2>/dev/null || true; }

# After the first install: the core package works without the renderer, and
# asking for the render component fails with a message saying why.
core_only_checked=""
check_core_only_prefix() {
  [ -z "$core_only_checked" ] && [ -e "$PREFIX/lib/cmake/SorvelKV/SorvelKVConfig.cmake" ] || return 0
  core_only_checked=1
  [ ! -e "$PREFIX/lib/cmake/SorvelKV/SorvelKVRenderTargets.cmake" ] &&
    [ ! -e "$PREFIX/lib/pkgconfig/sorvelkv-render.pc" ] ||
    fail "the renderer was installed though only the library was built"
  cmake -S tests/consumer/installed -B "$WORK/core-only" -DCMAKE_PREFIX_PATH="$PREFIX" \
    </dev/null >"$WORK/core-only.log" 2>&1 || { cat "$WORK/core-only.log"; fail "find_package(SorvelKV) failed"; }
  if cmake -S tests/consumer/installed -B "$WORK/core-only-render" -DCMAKE_PREFIX_PATH="$PREFIX" \
      -DWITH_RENDER=ON </dev/null >"$WORK/core-only-render.log" 2>&1 ||
      ! grep -q "render component is not installed" "$WORK/core-only-render.log"; then
    cat "$WORK/core-only-render.log"
    fail "find_package(SorvelKV COMPONENTS render) on a prefix without it did not fail as it should"
  fi
  echo "    (the core package alone: found; the render component: refused with its reason)"
}

harness=""
while IFS=$'\t' read -r n line tag arg; do
  block="$WORK/blocks/$n"
  [ -e "$block" ] || : >"$block"
  echo "--- README.md:$line $tag $arg"
  case "$tag" in
    untagged) fail "README.md:$line: a block without a readme-* tag: $arg" ;;
    readme-skip) ;;
    readme-file)
      [ -n "$arg" ] || fail "README.md:$line: readme-file needs a name"
      if [ -z "$PORT" ] && grep -q '127\.0\.0\.1:8080' "$block"; then
        fail "README.md:$line: the file names the server double before a block starts it"
      fi
      subst <"$block" >"$APP/$arg" || fail "cannot write $arg" ;;
    readme-harness)
      grep -q '^ *// (the snippet)$' "$block" || fail "README.md:$line: no \"// (the snippet)\" line"
      harness="$block" ;;
    readme-server)
      stop_server
      rm -f "$WORK/port"
      subst <"$block" >"$WORK/server.sh"
      (cd "$APP" && exec setsid bash -e "$WORK/server.sh") </dev/null >"$WORK/server.log" 2>"$WORK/server.err" &
      server=$!
      for _ in $(seq 300); do
        [ -s "$WORK/port" ] && break
        kill -0 "$server" 2>/dev/null || break
        sleep 0.1
      done
      [ -s "$WORK/port" ] || { cat "$WORK/server.err"; fail "README.md:$line: the server double did not start"; }
      PORT="$(cat "$WORK/port")" ;;
    readme-run)
      case "$arg" in
        sdk) dir="$SDK" ;;
        app) dir="$APP" ;;
        *) fail "README.md:$line: readme-run wants sdk or app, not \"$arg\"" ;;
      esac
      subst <"$block" >"$WORK/run-$n.sh"
      before="$(bulk_count)"
      (cd "$dir" && timeout 1800 bash -e "$WORK/run-$n.sh") </dev/null >"$WORK/run-$n.log" 2>&1 ||
        { tail -n 60 "$WORK/run-$n.log"; fail "README.md:$line: the block failed"; }
      if [ "$arg" = app ]; then
        [ -n "$server" ] || fail "README.md:$line: an app ran before a block started the server double"
        for _ in $(seq 50); do
          [ "$(bulk_count)" -gt "$before" ] && break
          sleep 0.1
        done
        [ "$(bulk_count)" -gt "$before" ] ||
          { tail -n 60 "$WORK/run-$n.log"; fail "README.md:$line: the app's events did not reach the server double"; }
      fi
      check_core_only_prefix ;;
    readme-fragment)
      [ -n "$harness" ] || fail "README.md:$line: a fragment before the harness"
      [ -e "$PREFIX/lib/pkgconfig/sorvelkv.pc" ] || fail "README.md:$line: a fragment before the install"
      src="$WORK/fragment-$n.cpp"
      # The fragment replaces the harness's "// (the snippet)" line, indented as it.
      awk -v frag="$block" '
        /^ *\/\/ \(the snippet\)$/ {
          pad = $0; sub(/[^ ].*/, "", pad)
          while ((getline l < frag) > 0) print (l == "" ? "" : pad l)
          next
        }
        { print }' "$harness" | subst >"$src"
      flags="$(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --cflags --libs sorvelkv)" ||
        fail "pkg-config cannot find sorvelkv"
      # shellcheck disable=SC2086
      g++ -std=c++20 -Wall -Wextra -Werror "$src" $flags -o "$WORK/fragment-$n" ||
        fail "README.md:$line: the fragment does not compile in the harness ($src)"
      XDG_DATA_HOME="$WORK/data/fragment-$n" LD_LIBRARY_PATH="$PREFIX/lib" timeout 120 "$WORK/fragment-$n" </dev/null >"$WORK/fragment-$n.log" 2>&1 ||
        { tail -n 60 "$WORK/fragment-$n.log"; fail "README.md:$line: the fragment's program failed"; } ;;
    *) fail "README.md:$line: unknown tag $tag" ;;
  esac
done <"$WORK/index"

[ -n "$core_only_checked" ] || fail "no block installed the SDK into the prefix"
echo "every block of README.md ran"
