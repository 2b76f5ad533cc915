#!/usr/bin/env bash
# Makes the Windows installer of one architecture from an installed build
# (cmake --install BUILD --prefix FOLDER) with wixl and msibuild (Debian's
# wixl and msitools packages).
# Usage: scripts/make-msi.sh x64|x86 FOLDER [OUTPUT.msi] [VERSION]
#   OUTPUT   default: dist/penmora-VERSION-ARCH.msi
#   VERSION  default: the project's version in the top CMakeLists.txt, the
#            version the executables' version information carries
# With a certificate in PENMORA_SIGN_PFX (see scripts/sign.sh) it signs
# FOLDER's penmora.exe and demo/penmora-demo.exe in place before it packs
# them, then the installer; without one, nothing is signed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

arch=${1:-}
folder=${2:-}
case "$arch" in
  x64) win64=yes ;;
  x86) win64=no ;;
  *) echo "usage: $0 x64|x86 FOLDER [OUTPUT.msi] [VERSION]" >&2; exit 2 ;;
esac
for file in penmora.exe LICENSE.txt demo/penmora-demo.exe demo/ZAZAPIt.dll; do
  [ -f "$folder/$file" ] || { echo "$0: no $file in ${folder:-(none)}" >&2; exit 1; }
done
version=${4:-$(sed -n 's/^project(penmora VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")}
[ -n "$version" ] || { echo "$0: no project version in CMakeLists.txt" >&2; exit 1; }
output=${3:-$top/dist/penmora-$version-$arch.msi}
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
folder=$(cd "$folder" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/penmora-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT

bash "$top/scripts/sign.sh" "$folder/penmora.exe" "$folder/demo/penmora-demo.exe" >&2

# The list of installed programs shows the service's own icon (its
# resource 102).
python3 "$top/scripts/pe_resources.py" icon "$folder/penmora.exe" 102 "$work/penmora.ico"

# The demo's page files, whatever the build installs in demo/web: one File
# element each for the one component that holds them all.
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  (cd "$folder/demo/web" && find . -mindepth 1 | LC_ALL=C sort) | while read -r page; do
    page=${page#./}
    if [[ ! "$page" =~ ^[A-Za-z0-9_][A-Za-z0-9_.]*$ ]] || [ ! -f "$folder/demo/web/$page" ]; then
      echo "$0: demo/web/$page: the demo's pages are plain files" \
        "named with letters, digits, _ and ." >&2
      exit 1
    fi
    echo "  <File Id=\"DemoPage.$page\" Name=\"$page\" Source=\"demo/web/$page\"/>"
  done
  echo '</Include>'
} >"$work/demo-pages.wxi"

# wixl finds the files by paths relative to where it runs.
icon=$(realpath --relative-to="$folder" "$work/penmora.ico")
(cd "$folder" && wixl -a "$arch" -I "$work" -D Version="$version" -D Source=. \
  -D Win64="$win64" -D Arch="$arch" -D Icon="$icon" \
  -o "$work/penmora.msi" "$top/installer/penmora.wxs")

# What wixl cannot say. The upgrade row also finds the package's own version
# (IncludeMaximum, 0x200, beside MigrateFeatures, 1): an install of the same
# version, of the other architecture or of another build, replaces the
# installed product instead of becoming a second one beside it. The row's
# attributes are part of its key, so it is replaced, not updated.
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$top/installer/penmora.wxs")
columns="UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty"
queries=(
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
  -q "INSERT INTO Upgrade ($columns)
      VALUES ('{$upgrade_code}', '', '$version', '', 513, '', 'WIX_UPGRADE_DETECTED')"
)
# The executables' versions and languages from their version information,
# so Windows Installer compares versions, not hashes, when it replaces
# them; a versioned file has no hash row.
for entry in PenmoraExe:penmora.exe DemoExe:demo/penmora-demo.exe VirtualReader:demo/ZAZAPIt.dll; do
  info=$(python3 "$top/scripts/pe_resources.py" version "$folder/${entry#*:}")
  [ -n "$info" ] || continue
  read -r file_version language <<<"$info"
  queries+=(
    -q "UPDATE File SET Version = '$file_version', Language = '${language:-0}'
        WHERE File = '${entry%%:*}'"
    -q "DELETE FROM MsiFileHash WHERE File_ = '${entry%%:*}'"
  )
done
msibuild "$work/penmora.msi" "${queries[@]}"

bash "$top/scripts/sign.sh" "$work/penmora.msi" >&2
if [ -n "${PENMORA_SIGN_PFX:-}" ]; then
  echo "signed penmora.exe, penmora-demo.exe and the installer with $PENMORA_SIGN_PFX" >&2
fi
mkdir -p "$(dirname "$output")"
mv -f "$work/penmora.msi" "$output"
echo "$output"
