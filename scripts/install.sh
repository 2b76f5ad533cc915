#!/usr/bin/env bash
# Installs the service for the calling user, or removes it again.
# Usage: scripts/install.sh [BUILD_FOLDER]      install (default: build/,
#                                               built first when it has no penmora)
#        scripts/install.sh --uninstall         remove
#
# Install: penmora goes to ~/.local/lib/penmora/, where it writes its daily
# log, with the project's LICENSE beside it; the udev rule that lets the desktop's user open the pad is installed
# (the one step that needs root: sudo is asked for it, and only for it); the
# service is started from its folder, and writes its own autostart entry.
# An installed service that runs is ended first, so installing again
# upgrades it.
# Uninstall: ends the installed service, removes its files, its autostart
# entry and the udev rule, and leaves the log folder, which is the user's
# data.
# PENMORA_UDEV_RULES_DIR names another folder for the udev rule (the tests
# use one of their own).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
home=${HOME:?HOME is not set}
folder=$home/.local/lib/penmora
exe=$folder/penmora
autostart=${XDG_CONFIG_HOME:-$home/.config}/autostart/Penmora.exe.desktop
[[ "${XDG_CONFIG_HOME:-}" == /* ]] || autostart=$home/.config/autostart/Penmora.exe.desktop
rules_dir=${PENMORA_UDEV_RULES_DIR:-/etc/udev/rules.d}

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

# The udev rule: directly when its folder is writable, else through sudo.
udev_rule() {
  local rule=(bash "$top/scripts/install-udev-rule.sh" "$@")
  if [ "${1:-}" = --remove ] && [ ! -e "$rules_dir/70-penmora-pad.rules" ]; then
    return 0
  fi
  if [ "$(id -u)" = 0 ] || [ -w "$rules_dir" ]; then
    PENMORA_UDEV_RULES_DIR=$rules_dir "${rule[@]}"
  else
    echo "The udev rule for the pad goes into $rules_dir, which needs root: asking sudo for this step only."
    if ! sudo env PENMORA_UDEV_RULES_DIR="$rules_dir" "${rule[@]}"; then
      echo "install.sh: the udev rule was not changed; run sudo scripts/install-udev-rule.sh $* later" >&2
    fi
  fi
}

if [ "${1:-}" = --uninstall ]; then
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
  udev_rule --remove
  rmdir "$folder" 2>/dev/null || true
  if [ -d "$folder" ]; then
    echo "Left in $folder (the log is yours to keep or delete):"
    ls -A "$folder" | sed 's/^/  /'
  fi
  echo "Penmora is uninstalled."
  exit 0
fi

build=${1:-$top/build}
if [ ! -x "$build/penmora" ] && [ -z "${1:-}" ]; then
  (cd "$top" && cmake --preset default >/dev/null && cmake --build build -j "$(nproc)" --target penmora)
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
udev_rule
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
