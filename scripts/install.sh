#!/usr/bin/env bash
# Installs the service for the calling user, or removes it again.
# Usage: scripts/install.sh [--allow-origin ORIGIN]... [--allow-host HOST]... [BUILD_FOLDER]
#                                               install (default: build/,
#                                               built first when it has no penmora)
#        scripts/install.sh --uninstall         remove
#
# Install: penmora goes to ~/.local/lib/penmora/, where it writes its daily
# log, with the project's LICENSE beside it; the udev rule that lets the
# desktop's user open the pad is installed (the one step that needs root: sudo
# is asked for it, and only for it); the service is started from its folder,
# and writes its own autostart entry.
# Each --allow-origin (https://app.example.com) lets that site's pages reach
# the service in Chromium, Google Chrome and Firefox ESR without asking the
# user: the browsers' managed policy, written in the same root step as the
# udev rule (scripts/install-browser-policy.sh), and the service's own list
# of allowed origins in /etc/penmora/ (scripts/install-trust-lists.sh), so
# that the person at the desk is not asked about it either. Each --allow-host
# (an address or a CIDR range) lets that host of the network use the service,
# which then listens beyond loopback. Without them existing lists stay.
# An installed service that runs is ended first, so installing again
# upgrades it.
# Uninstall: ends the installed service, removes its files, its autostart
# entry, the udev rule, the browsers' policy and the service's lists, and
# leaves the log folder,
# which is the user's data.
# PENMORA_UDEV_RULES_DIR, PENMORA_CHROMIUM_POLICY_DIR,
# PENMORA_CHROME_POLICY_DIR, PENMORA_FIREFOX_POLICY_DIR and PENMORA_TRUST_DIR
# name other folders for the udev rule, the policies and the lists (the tests
# use their own).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
home=${HOME:?HOME is not set}
folder=$home/.local/lib/penmora
exe=$folder/penmora
autostart=${XDG_CONFIG_HOME:-$home/.config}/autostart/Penmora.exe.desktop
[[ "${XDG_CONFIG_HOME:-}" == /* ]] || autostart=$home/.config/autostart/Penmora.exe.desktop
rules_dir=${PENMORA_UDEV_RULES_DIR:-/etc/udev/rules.d}
chromium_policy=${PENMORA_CHROMIUM_POLICY_DIR:-/etc/chromium/policies/managed}
chrome_policy=${PENMORA_CHROME_POLICY_DIR:-/etc/opt/chrome/policies/managed}
trust_dir=${PENMORA_TRUST_DIR:-/etc/penmora}
firefox_policy=${PENMORA_FIREFOX_POLICY_DIR:-/usr/lib/firefox-esr/distribution}

uninstall=0 build="" origins=() hosts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --uninstall) uninstall=1; shift ;;
    --allow-origin) origins+=("${2:?--allow-origin needs an origin, such as https://app.example.com}"); shift 2 ;;
    --allow-host) hosts+=("${2:?--allow-host needs an address or range, such as 198.18.0.0/15}"); shift 2 ;;
    -*) echo "usage: $0 [--allow-origin ORIGIN]... [--allow-host HOST]... [BUILD_FOLDER] | --uninstall" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
# A wrong origin or host stops the install before anything has changed.
if [ ${#origins[@]} -gt 0 ]; then
  bash "$top/scripts/install-browser-policy.sh" --print "${origins[@]}" >/dev/null
fi
trust_args=()
for origin in "${origins[@]+"${origins[@]}"}"; do trust_args+=(--origin "$origin"); done
for host in "${hosts[@]+"${hosts[@]}"}"; do trust_args+=(--host "$host"); done
if [ ${#trust_args[@]} -gt 0 ]; then
  bash "$top/scripts/install-trust-lists.sh" --check "${trust_args[@]}"
fi

# The ids of the running processes of the installed executable (also of one
# whose file has been replaced since it started).
installed_pids() {
  find /proc/[0-9]*/exe -maxdepth 0 \( -lname "$exe" -o -lname "$exe (deleted)" \) \
    2>/dev/null | cut -d/ -f3 || true
}

end_service() {
  local pids pid
  pids=$(installed_pids)
  [ -n "$pids" ] || return 0
  echo "Ending the running service ($exe)"
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 100); do
    [ -z "$(installed_pids)" ] && return 0
    sleep 0.1
  done
  for pid in $(installed_pids); do kill -KILL "$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    [ -z "$(installed_pids)" ] && return 0
    sleep 0.1
  done
  echo "install.sh: the service does not end" >&2
  return 1
}

# True when `folder`, or the nearest folder above it that exists, is writable.
writable() {
  local folder=$1
  while [ ! -e "$folder" ] && [ "$folder" != / ]; do folder=$(dirname "$folder"); done
  [ -w "$folder" ]
}

# The steps that need root, in one go: the pad's udev rule and, with
# --allow-origin, the browsers' policy; with --remove, both removed. Directly
# when their folders are writable, else through sudo, asked once.
root_step() {
  local steps=()
  if [ "${1:-}" = --remove ]; then
    if [ -e "$rules_dir/70-penmora-pad.rules" ]; then
      steps+=("$(printf '%q ' bash "$top/scripts/install-udev-rule.sh" --remove)")
    fi
    if [ -e "$chromium_policy/penmora.json" ] || [ -e "$chrome_policy/penmora.json" ] ||
       [ -e "$firefox_policy/penmora-skip-domains" ]; then
      steps+=("$(printf '%q ' bash "$top/scripts/install-browser-policy.sh" --remove)")
    fi
    if [ -e "$trust_dir/allowed-origins" ] || [ -e "$trust_dir/allowed-hosts" ]; then
      steps+=("$(printf '%q ' bash "$top/scripts/install-trust-lists.sh" --remove)")
    fi
  else
    steps+=("$(printf '%q ' bash "$top/scripts/install-udev-rule.sh")")
    if [ ${#origins[@]} -gt 0 ]; then
      steps+=("$(printf '%q ' bash "$top/scripts/install-browser-policy.sh" "${origins[@]}")")
    fi
    # The service's own lists: the sites its pages may use the pad from
    # without a question, the hosts of the network it admits.
    if [ ${#trust_args[@]} -gt 0 ]; then
      steps+=("$(printf '%q ' bash "$top/scripts/install-trust-lists.sh" "${trust_args[@]}")")
    fi
  fi
  [ ${#steps[@]} -gt 0 ] || return 0
  local script="set -e" step
  for step in "${steps[@]}"; do script+="; $step"; done
  local vars=(PENMORA_UDEV_RULES_DIR="$rules_dir" PENMORA_CHROMIUM_POLICY_DIR="$chromium_policy"
              PENMORA_CHROME_POLICY_DIR="$chrome_policy" PENMORA_FIREFOX_POLICY_DIR="$firefox_policy"
              PENMORA_TRUST_DIR="$trust_dir")
  if [ "$(id -u)" = 0 ] || { writable "$rules_dir" && writable "$chromium_policy" && writable "$chrome_policy" &&
                             writable "$firefox_policy" && writable "$trust_dir"; }; then
    env "${vars[@]}" bash -c "$script"
  else
    echo "The udev rule for the pad (and the browsers' policy) go into folders that need root: asking sudo for this step only."
    if ! sudo env "${vars[@]}" bash -c "$script"; then
      echo "install.sh: the udev rule and the browsers' policy were not changed; run" \
           "sudo scripts/install-udev-rule.sh and sudo scripts/install-browser-policy.sh later" >&2
    fi
  fi
}

if [ "$uninstall" = 1 ]; then
  end_service
  rm -f "$exe" "$folder/LICENSE" "$folder/sign.bmp" "$folder/sign.png" "$folder/finger.png" \
    "$folder/SignFP.png"
  # The autostart entry, when it names this executable (another copy of the
  # service may have written it since).
  if [ -f "$autostart" ] && grep -qF "$exe" "$autostart"; then
    rm -f "$autostart"
  elif [ -f "$autostart" ]; then
    echo "Left $autostart: it starts another program"
  fi
  root_step --remove
  rmdir "$folder" 2>/dev/null || true
  if [ -d "$folder" ]; then
    echo "Left in $folder (the log is yours to keep or delete):"
    ls -A "$folder" | sed 's/^/  /'
  fi
  echo "Penmora is uninstalled."
  exit 0
fi

if [ -z "$build" ]; then
  build=$top/build
  if [ ! -x "$build/penmora" ]; then
    (cd "$top" && cmake --preset default >/dev/null && cmake --build build -j "$(nproc)" --target penmora)
  fi
fi
[ -x "$build/penmora" ] || { echo "install.sh: no penmora in $build" >&2; exit 1; }

end_service
mkdir -p "$folder"
# Replaced in one rename, never written in place.
cp "$build/penmora" "$exe.new"
chmod 755 "$exe.new"
mv -f "$exe.new" "$exe"
install -m 644 "$top/LICENSE" "$folder/LICENSE"
echo "Installed $exe"
root_step
# Started in its own folder, detached from this terminal; it registers its
# autostart entry itself.
cd "$folder"
setsid -f "$exe" </dev/null >/dev/null 2>&1
for _ in $(seq 100); do
  [ -n "$(installed_pids)" ] && [ -f "$autostart" ] && break
  sleep 0.1
done
if [ -z "$(installed_pids)" ]; then
  echo "install.sh: the service did not start; see $folder/log/" >&2
  exit 1
fi
echo "The service runs, and starts at every logon ($autostart)."
