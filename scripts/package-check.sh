#!/usr/bin/env bash
# Installs the Debian packages of dist/ (scripts/package.sh) as a user would,
# with apt-get, then checks the installation under /usr: the consumers of
# scripts/install-check.sh built against it alone, the parcel tool from PATH
# and its manual page.  Whatever happens, every package that the installation
# added (ours and any dependency apt-get pulled in) is purged again, so the
# machine is left as it was.  Runs as root (or through sudo).
#   scripts/package-check.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

shopt -s nullglob
debs=("$root"/dist/*.deb)
((${#debs[@]})) || { echo "package-check: no packages in dist/ (run scripts/package.sh)" >&2; exit 1; }
for deb in "${debs[@]}"; do
  name=$(dpkg-deb --field "$deb" Package)
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    echo "package-check: $name is installed already; remove it first" >&2
    exit 1
  fi
done

"$root/scripts/deps.sh"
# What the installation adds, ours and any dependency missing, as apt-get
# plans it; exactly these are purged again.
mapfile -t added < <(apt-get install -s "${debs[@]}" | awk '$1 == "Inst" { print $2 }')
purge() {
  local present=() package status
  for package in "${added[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) && [[ $status != *not-installed ]] &&
      present+=("$package")
  done
  if ((${#present[@]})); then
    echo "== purging ${present[*]}"
    "${sudo_cmd[@]}" apt-get purge -y -qq "${present[@]}" >/dev/null
  fi
}
trap purge EXIT

echo "== apt-get install ${debs[*]#"$root"/}: adds ${added[*]}"
# apt-get takes local packages by a path with a slash in it.
"${sudo_cmd[@]}" apt-get install -y -qq "${debs[@]}" >/dev/null

bash "$root/scripts/install-check.sh" --installed /usr

echo "== man parcel"
page=$(MANPAGER=cat MANWIDTH=80 man parcel 2>&1) || { echo "$page"; exit 1; }
grep -q "^NAME" <<<"$page" && grep -q "parcel - " <<<"$page" ||
  { echo "$page"; echo "package-check: man parcel did not render" >&2; exit 1; }
head -n 4 <<<"$page"
# A routine's name leads to its family's page, the overview is there.
{ man -w xdr_decode_p_cu_vuser_msg_t parcel_encode_drv_msg goheap_destroy && man -w 7 parcel; } ||
  { echo "package-check: a manual page of libparcel-dev is missing" >&2; exit 1; }
echo "package-check: ok"
