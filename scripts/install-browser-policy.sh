#!/usr/bin/env bash
# Lets the pages of the given sites reach the Penmora service on this computer
# in Chromium and Google Chrome without asking the user (Local Network Access):
# writes the managed policy LocalNetworkAccessAllowedForUrls for both browsers,
# as penmora.json in /etc/chromium/policies/managed/ and
# /etc/opt/chrome/policies/managed/; and in Firefox ESR, whose policy
# LocalNetworkAccess lists the sites' host names in SkipDomains, merged into
# /usr/lib/firefox-esr/distribution/policies.json (the file Debian's
# firefox-esr reads; it does not read /etc/firefox-esr/policies) beside any
# other policies there (scripts/firefox_policy.py). Browsers read it at their next start.
# Usage: sudo scripts/install-browser-policy.sh ORIGIN...   e.g. https://app.example.com
#        scripts/install-browser-policy.sh --print ORIGIN...  print the policy, change nothing
#        sudo scripts/install-browser-policy.sh --remove      remove both files and
#                                                             Firefox's names
# An origin is https:// or http://, a host name (or [*.]example.com for every
# host below it) and an optional port; a page on a public site must be https.
# Each run replaces the list. The browsers do not join lists from several
# files: where another managed file sets this policy, put the origins there.
# PENMORA_CHROMIUM_POLICY_DIR, PENMORA_CHROME_POLICY_DIR and
# PENMORA_FIREFOX_POLICY_DIR name other folders (the tests use their own).
set -euo pipefail
folders=("${PENMORA_CHROMIUM_POLICY_DIR:-/etc/chromium/policies/managed}"
         "${PENMORA_CHROME_POLICY_DIR:-/etc/opt/chrome/policies/managed}")
file=penmora.json
firefox=${PENMORA_FIREFOX_POLICY_DIR:-/usr/lib/firefox-esr/distribution}
firefox_policy=$(dirname "$0")/firefox_policy.py

print=0 remove=0 origins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --print) print=1; shift ;;
    --remove) remove=1; shift ;;
    -*) echo "usage: $0 [--print] ORIGIN... | --remove" >&2; exit 2 ;;
    *) origins+=("${1%/}"); shift ;;
  esac
done

if [ "$remove" = 1 ]; then
  for folder in "${folders[@]}"; do
    [ -e "$folder/$file" ] || continue
    rm -f "$folder/$file"
    echo "removed $folder/$file"
  done
  python3 "$firefox_policy" remove "$firefox"
  exit 0
fi

[ ${#origins[@]} -gt 0 ] || { echo "usage: $0 [--print] ORIGIN... | --remove" >&2; exit 2; }
host='(\[\*\.\])?[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?'
list=""
for origin in "${origins[@]}"; do
  if ! [[ "$origin" =~ ^https?://$host(:[0-9]{1,5})?$ ]]; then
    echo "$0: \"$origin\" is not an origin such as https://app.example.com" >&2
    exit 2
  fi
  list+="${list:+, }\"$origin\""
done
policy="{ \"LocalNetworkAccessAllowedForUrls\": [$list] }"

if [ "$print" = 1 ]; then
  echo "$policy"
  echo "Firefox, LocalNetworkAccess SkipDomains:" $(python3 "$firefox_policy" print "${origins[@]}")
  exit 0
fi
for folder in "${folders[@]}" "$firefox"; do
  mkdir -p "$folder" 2>/dev/null || true
  if [ ! -w "$folder" ]; then
    echo "$0: cannot write $folder: run as root (sudo)" >&2
    exit 1
  fi
done
for folder in "${folders[@]}"; do
  printf '%s\n' "$policy" > "$folder/$file.tmp"
  chmod 644 "$folder/$file.tmp"
  mv "$folder/$file.tmp" "$folder/$file"
  echo "installed $folder/$file"
done
python3 "$firefox_policy" set "$firefox" "${origins[@]}"
