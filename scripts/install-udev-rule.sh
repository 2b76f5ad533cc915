#!/usr/bin/env bash
# Lets the user of the local desktop session open the signature pad's hidraw
# node, which udev otherwise gives to root alone. Installs a udev rule for the
# pad's USB ids (read from pad/device.h, so they never drift apart) and applies
# it to a pad already plugged in.
# Usage: sudo scripts/install-udev-rule.sh [--group NAME] [--print] [--remove]
#   --group NAME  also open the node to the members of group NAME (for
#                 machines where the service runs outside a desktop session)
#   --print       print the rule and change nothing
#   --remove      remove the rule
# PENMORA_UDEV_RULES_DIR names another rules folder; udev is then not told.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
rules_dir=${PENMORA_UDEV_RULES_DIR:-/etc/udev/rules.d}
rule_file=$rules_dir/70-penmora-pad.rules

group="" print=0 remove=0
while [ $# -gt 0 ]; do
  case "$1" in
    --group) group=${2:?--group needs a name}; shift 2 ;;
    --print) print=1; shift ;;
    --remove) remove=1; shift ;;
    *) echo "usage: $0 [--group NAME] [--print] [--remove]" >&2; exit 2 ;;
  esac
done

id_of() {
  local value
  value=$(sed -n "s/^constexpr uint16_t $1 = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p" "$top/pad/device.h")
  [ -n "$value" ] || { echo "$0: $1 not found in pad/device.h" >&2; exit 1; }
  echo "$value" | tr 'A-F' 'a-f'
}
vendor=$(id_of PadVendorId)
product=$(id_of PadProductId)

access='TAG+="uaccess"'
if [ -n "$group" ]; then
  getent group "$group" >/dev/null || { echo "$0: no group $group" >&2; exit 1; }
  access="$access, GROUP=\"$group\", MODE=\"0660\""
fi
rule="# The Penmora signature pad: its hidraw nodes, for the local session's user.
SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"$vendor\", ATTRS{idProduct}==\"$product\", $access"

if [ "$print" = 1 ]; then
  echo "$rule"
  exit 0
fi
if [ "$remove" = 1 ] && [ ! -e "$rule_file" ]; then
  echo "no $rule_file to remove"
  exit 0
fi
[ "$remove" = 1 ] || mkdir -p "$rules_dir" 2>/dev/null || true
if [ ! -w "$rules_dir" ]; then
  echo "$0: cannot write $rules_dir: run as root (sudo)" >&2
  exit 1
fi
if [ "$remove" = 1 ]; then
  rm -f "$rule_file"
  echo "removed $rule_file"
else
  printf '%s\n' "$rule" > "$rule_file.tmp"
  mv "$rule_file.tmp" "$rule_file"
  echo "installed $rule_file"
fi
[ -n "${PENMORA_UDEV_RULES_DIR:-}" ] && exit 0
if ! { udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw --action=change; }; then
  echo "$0: udev did not reload its rules; they apply from the next boot" >&2
fi
