#!/usr/bin/env bash
# The shared library exports exactly the routines its version script lists,
# each as the default version of the node that lists it (name@@NODE): no
# helper, no C++ symbol, no symbol of the libraries it links against.
#   check_exports.sh VERSION-SCRIPT LIBRARY
set -euo pipefail
script=$1 library=$2
nodes=$(awk '$2 == "{" { printf "%s%s", sep, $1; sep = ", " }' "$script")
expected=$(awk '$2 == "{" { node = $1 } /^ *global:/ { on = 1; next } /^ *(local:|})/ { on = 0 }
  on && /;$/ { sub(/^ */, ""); sub(/;$/, ""); print $0 "@@" node }' "$script" | sort)
# nm lists the version node itself as an absolute symbol; the rest are routines.
actual=$(nm -D --defined-only "$library" | awk '$2 != "A" { print $3 }' | sort)
diff <(echo "$expected") <(echo "$actual")
echo "$(basename "$library") exports exactly the $(wc -l <<<"$expected") routines of $nodes"
