#!/usr/bin/env bash
# Keeps the SDK's folders pointing one way. Reads every `#include "..."` line
# of the sources under ROOT/src (the repository by default) and names each one
# that reaches a folder above its own in the order below, and each source that
# lies in no folder of the order (a new subsystem must be given its place).
# Exits 1 when it names anything, 2 when ROOT has no src folder.
#
# Usage: scripts/check_layering.sh [ROOT]
set -euo pipefail

root="${1:-$(dirname "$0")/..}"
cd "$root/src" 2>/dev/null || { echo "check_layering: no src folder under $root" >&2; exit 2; }

# Bottom first. Folders on one line share a place and may include each other:
# the request models' providers belong with the connection that sends them.
# The facade's public headers count as the facade; the other public headers
# are the vocabulary every folder speaks.
ORDER='Base
Platform
Common
Network Data/ModelProvider Data/DataProviders
Event
Push
ActionHistory
InAppMessage
View
Data/Repository
Core
Public sorvel/SorvelKV.h sorvel/SorvelHost.h sorvel/SorvelPushService.h'

find . -type f \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||' | LC_ALL=C sort |
  awk -v order="$ORDER" '
    BEGIN {
      levels = split(order, lines, "\n")
      for (i = 1; i <= levels; i++) {
        n = split(lines[i], folders, " ")
        for (j = 1; j <= n; j++) rank[folders[j]] = i
      }
    }
    # The longest folder of the order that holds path, "" when none does.
    function folderOf(path,    f, best) {
      best = ""
      for (f in rank)
        if ((path == f || index(path, f "/") == 1) && length(f) > length(best)) best = f
      return best
    }
    {
      file = $0
      me = folderOf(file)
      if (me == "") {
        printf "src/%s: lies in no folder of the order (scripts/check_layering.sh)\n", file
        bad++
        next
      }
      line = 0
      while ((getline text < file) > 0) {
        line++
        if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
        target = text
        sub(/^[^"]*"/, "", target)
        sub(/".*$/, "", target)
        them = folderOf(target)
        if (them != "" && rank[them] > rank[me]) {
          printf "src/%s:%d: %s includes %s, from %s above it\n", file, line, me, target, them
          bad++
        }
      }
      close(file)
    }
    END {
      if (bad) printf "%d place(s) against the folder order (README, Notes for developers)\n", bad
      exit bad ? 1 : 0
    }'
