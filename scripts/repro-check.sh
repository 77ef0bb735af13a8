#!/usr/bin/env bash
# Checks that the Debian packages are reproducible: exports the committed
# tree (git archive of HEAD) into a temporary directory, so at another path,
# without .git and later, builds the packages there with scripts/package.sh
# and compares each .deb (the -dbgsym ones too) and the source package (.dsc,
# .tar.xz) with the file of the same name in dist/, byte for byte.  Both
# builds take SOURCE_DATE_EPOCH from debian/changelog.  Fails when a file
# differs, or is built by one side only; diffoscope, when installed, says
# what differs.  Run it after scripts/package.sh.
#   scripts/repro-check.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)

shopt -s nullglob
dist=$root/dist
[[ -n $(echo "$dist"/*.deb) ]] || dist=$root/dist/$(dpkg --print-architecture) # after package.sh release
debs=("$dist"/*.deb "$dist"/*.dsc "$dist"/*.tar.xz)
((${#debs[@]})) || { echo "repro-check: no packages in dist/ (run scripts/package.sh)" >&2; exit 1; }
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]]; then
  echo "repro-check: the tree has uncommitted changes, which dist/ may hold and the copy does not" >&2
fi

copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
git -C "$root" archive --prefix=parcel/ HEAD | tar -x -C "$copy"
echo "== packages again, from $copy/parcel"
if ! bash "$copy/parcel/scripts/package.sh" >"$copy/package.log" 2>&1; then
  tail -n 50 "$copy/package.log"
  echo "repro-check: the package build of the copy failed" >&2
  exit 1
fi
grep '^== parcel' "$copy/package.log"

again=("$copy"/parcel/dist/*.deb "$copy"/parcel/dist/*.dsc "$copy"/parcel/dist/*.tar.xz)
mapfile -t names < <(for deb in "${debs[@]}" "${again[@]}"; do echo "${deb##*/}"; done | sort -u)
failed=0
for name in "${names[@]}"; do
  first=$dist/$name second=$copy/parcel/dist/$name
  if [[ ! -e $first || ! -e $second ]]; then
    echo "repro-check: $name is made by one of the two builds only" >&2
    failed=1
  elif cmp -s "$first" "$second"; then
    echo "same    $(sha256sum "$first" | cut -d' ' -f1)  $name"
  else
    echo "DIFFERS $name"
    if command -v diffoscope >/dev/null; then
      diffoscope --text - "$first" "$second" | head -n 200 || true
    else
      cmp "$first" "$second" || true
      echo "(diffoscope says what differs: apt-get install diffoscope-minimal)"
    fi
    failed=1
  fi
done
((failed == 0)) || { echo "repro-check: the packages are not reproducible" >&2; exit 1; }
echo "repro-check: ok, ${#debs[@]} files identical"
