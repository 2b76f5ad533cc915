#!/usr/bin/env bash
# IT's lists of the Penmora service: the sites whose pages may use the pad
# without the person at the desk being asked (/etc/penmora/allowed-origins)
# and the hosts of the network it admits besides this computer
# (/etc/penmora/allowed-hosts). The service reads them at every new
# connection: no restart is needed, except to start or stop listening beyond
# loopback when the first host is listed or the last one removed.
# Usage: sudo scripts/install-trust-lists.sh [--origin ORIGIN]... [--host HOST]...
#        sudo scripts/install-trust-lists.sh --remove     remove both files
#        scripts/install-trust-lists.sh --check ...       check the entries, change nothing
# Each run replaces the lists it is given entries for. An origin is http(s)://
# a host name and an optional port (a "[*.]" wildcard of the browsers' policy
# is left out: the service takes whole origins); a host is an IPv4 address or
# a CIDR range. PENMORA_TRUST_DIR names another folder (the tests use their
# own).
set -euo pipefail
folder=${PENMORA_TRUST_DIR:-/etc/penmora}
usage="usage: $0 [--origin ORIGIN]... [--host HOST]... | --remove"

remove=0 check=0 origins=() hosts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --remove) remove=1; shift ;;
    --check) check=1; shift ;;
    --origin) origins+=("${2:?$usage}"); shift 2 ;;
    --host) hosts+=("${2:?$usage}"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

if [ "$remove" = 1 ]; then
  for name in allowed-origins allowed-hosts; do
    [ -e "$folder/$name" ] || continue
    rm -f "$folder/$name"
    echo "removed $folder/$name"
  done
  rmdir "$folder" 2>/dev/null || true
  exit 0
fi

host_name='[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?'
octet='(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])'
kept=()
for origin in "${origins[@]+"${origins[@]}"}"; do
  origin=${origin%/}
  case "$origin" in *'[*.]'*) echo "$0: $origin: the service takes whole origins; left out" >&2; continue ;; esac
  if ! [[ "$origin" =~ ^https?://$host_name(:[0-9]{1,5})?$ ]]; then
    echo "$0: \"$origin\" is not an origin such as https://app.example.com" >&2
    exit 2
  fi
  kept+=("$origin")
done
for host in "${hosts[@]+"${hosts[@]}"}"; do
  if ! [[ "$host" =~ ^$octet\.$octet\.$octet\.$octet(/([0-9]|[12][0-9]|3[0-2]))?$ ]]; then
    echo "$0: \"$host\" is not an IPv4 address or range such as 198.18.0.0/15" >&2
    exit 2
  fi
done

[ "$check" = 1 ] && exit 0
mkdir -p "$folder" 2>/dev/null || true
if [ ! -w "$folder" ]; then
  echo "$0: cannot write $folder: run as root (sudo)" >&2
  exit 1
fi
write() {  # NAME ENTRY...
  local name=$1
  shift
  { echo "# Written by Penmora's install.sh; one entry a line."; printf '%s\n' "$@"; } > "$folder/$name.tmp"
  chmod 644 "$folder/$name.tmp"
  mv "$folder/$name.tmp" "$folder/$name"
  echo "installed $folder/$name"
}
[ ${#kept[@]} -gt 0 ] && write allowed-origins "${kept[@]}"
[ ${#hosts[@]} -gt 0 ] && write allowed-hosts "${hosts[@]}"
exit 0
