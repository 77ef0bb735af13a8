#!/usr/bin/env bash
# The shared library exports exactly the expected routines: no helper, no
# C++ symbol, no symbol of the services it links against.
set -euo pipefail
expected=$1 library=$2
diff <("$expected" | sort) <(nm -D --defined-only "$library" | awk '{print $3}' | sort)
count=$("$expected" | wc -l)
echo "libparcel exports exactly the $count expected routines"
