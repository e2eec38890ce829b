#!/usr/bin/env bash
# The layering check over small trees: quiet on includes that point down (or
# sideways within one place of the order), and loud, with the file and line,
# on each that points up or comes from a folder outside the order.
# Usage: check_layering_test.sh path/to/check_layering.sh
set -uo pipefail
check="$1"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0

put() {  # put FILE LINE...: writes the lines into tmp/src/FILE
    mkdir -p "$(dirname "$tmp/src/$1")"
    local file="$tmp/src/$1"; shift
    printf '%s\n' "$@" >"$file"
}
expect() {  # expect STATUS PATTERN: the check ends with STATUS and prints PATTERN
    local want="$1" pattern="$2" out rc
    out="$(bash "$check" "$tmp" 2>&1)"; rc=$?
    if [ "$rc" -ne "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL: wanted status $want and /$pattern/, got $rc:"; echo "$out"
        failures=$((failures + 1))
    fi
}

put Common/A.h '#include "Platform/P.h"' '#include "sorvel/Value.h"'
put Data/ModelProvider/M.h '#include "Network/N.h"'
put Network/N.cpp '#include "Data/ModelProvider/M.h"'
put ActionHistory/H.cpp '#  include "Push/K.h"' '#include <vector>'
put Core/C.cpp '#include "Data/Repository/R.h"' '#include "View/InAppMessage/V.h"'
expect 0 '^$'

put Event/E.cpp '#include "Common/A.h"' '#include "Data/Repository/IRepository.h"'
expect 1 '^src/Event/E.cpp:2: Event includes Data/Repository/IRepository.h'
rm "$tmp/src/Event/E.cpp"

put Push/K.h '#include "ActionHistory/H.h"'
expect 1 '^src/Push/K.h:1: Push includes ActionHistory/H.h'
rm "$tmp/src/Push/K.h"

put Core/D.cpp '#include "sorvel/SorvelKV.h"'
expect 1 '^src/Core/D.cpp:1: Core includes sorvel/SorvelKV.h'
rm "$tmp/src/Core/D.cpp"

put Gadget/G.cpp '#include "Common/A.h"'
expect 1 '^src/Gadget/G.cpp: lies in no folder'
rm -r "$tmp/src/Gadget"

expect 0 '^$'
rm -r "$tmp/src"
expect 2 'no src folder'

[ "$failures" -eq 0 ] && echo "layering check: all cases pass"
exit $((failures > 0))
