#!/usr/bin/env bash
# Makes the Windows installer of one architecture from an installed build
# (cmake --install BUILD --prefix FOLDER) with wixl (Debian's wixl package).
# Usage: scripts/make-msi.sh x64|x86 FOLDER [OUTPUT.msi] [VERSION]
#   OUTPUT   default: dist/penmora-VERSION-ARCH.msi
#   VERSION  default: the project's version in the top CMakeLists.txt, the
#            version the executables' version information carries
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

arch=${1:-}
folder=${2:-}
case "$arch" in
  x64) win64=yes ;;
  x86) win64=no ;;
  *) echo "usage: $0 x64|x86 FOLDER [OUTPUT.msi] [VERSION]" >&2; exit 2 ;;
esac
[ -f "$folder/penmora.exe" ] || { echo "$0: no penmora.exe in ${folder:-(none)}" >&2; exit 1; }
[ -f "$folder/demo/penmora-demo.exe" ] || { echo "$0: no demo/penmora-demo.exe in $folder" >&2; exit 1; }
version=${4:-$(sed -n 's/^project(penmora VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")}
[ -n "$version" ] || { echo "$0: no project version in CMakeLists.txt" >&2; exit 1; }
output=${3:-$top/dist/penmora-$version-$arch.msi}
folder=$(cd "$folder" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/penmora-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The demo's page files, whatever the build installs in demo/web.
heat=(--directory-ref DemoFolder --component-group DemoPages --var var.DemoSource -p demo/)
[ "$win64" = yes ] && heat+=(--win64)
(cd "$folder" && find demo/web -type f | LC_ALL=C sort | wixl-heat "${heat[@]}") >"$work/pages.wxs"
mkdir -p "$(dirname "$output")"
# wixl finds the files by paths relative to where it runs.
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
(cd "$folder" && wixl -a "$arch" -D Version="$version" -D Source=. -D DemoSource=demo \
  -D Win64="$win64" -D Arch="$arch" -o "$output" "$top/installer/penmora.wxs" "$work/pages.wxs")
echo "$output"
