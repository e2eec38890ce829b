#!/usr/bin/env bash
# scripts/demo.sh --help (or -h, anywhere among the options) prints its usage
# and the sample's options, the very text the sample's own --help prints, and
# exits 0 at once: no package installed, nothing configured or built.
# Usage: demo_help_test.sh path/to/demo.sh path/to/sorvel_sample
set -uo pipefail
demo="$1"
sample="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0

# Every program the demo installs or builds with: a call is recorded, and fails.
mkdir "$tmp/bin"
for tool in cmake ninja apt-get sudo dpkg-query g++ make; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 97\n' "$tool" "$tmp" >"$tmp/bin/$tool"
  chmod +x "$tmp/bin/$tool"
done
"$sample" --help >"$tmp/sample-help" || { echo "FAIL: $sample --help"; exit 1; }

for args in "--help" "-h" "--offline --help"; do
  rm -f "$tmp/called"
  # shellcheck disable=SC2086
  PATH="$tmp/bin:$PATH" bash "$demo" $args >"$tmp/out" 2>"$tmp/err"
  rc=$?
  lines="$(wc -l <"$tmp/sample-help")"
  if [ "$rc" -ne 0 ] || [ -s "$tmp/err" ] || [ -e "$tmp/called" ] ||
      ! head -n 1 "$tmp/out" | grep -q '^usage: bash scripts/demo.sh' ||
      ! tail -n "$lines" "$tmp/out" | cmp -s - "$tmp/sample-help"; then
    echo "FAIL: demo.sh $args: status $rc"
    echo "--- stdout:"; cat "$tmp/out"
    echo "--- stderr:"; cat "$tmp/err"
    [ -e "$tmp/called" ] && { echo "--- ran:"; cat "$tmp/called"; }
    failures=$((failures + 1))
  fi
done

[ "$failures" -eq 0 ] && echo "demo.sh --help: usage at once, the sample's options as it prints them"
exit $((failures > 0))
