#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Penmora needs.
# Does nothing when all of them are present. Run as root (or with sudo available).
# Usage: scripts/setup.sh [windows]   (windows: also the cross compilers, Wine and the tools that
# scripts/windows-deps.sh needs to build the Windows libraries)
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  # libraries
  libcjson-dev libhidapi-dev libpng-dev zlib1g-dev libcairo2-dev libstb-dev
  libayatana-appindicator3-dev libgtk-3-dev
  # the sealed evidence's cryptography (libcrypto)
  libssl-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-websockets python3-pil python3-dbus python3-gi gir1.2-glib-2.0
  # opening the sealed evidence (tests and penmora-evidence)
  python3-jwcrypto
  pngcheck umockdev libumockdev-dev gir1.2-umockdev-1.0 dbus dbus-x11 xvfb xauth xfonts-base
  at-spi2-core gir1.2-atspi-2.0
  # browser tests (openssl makes the certificate of the public-site test)
  chromium nodejs npm openssl
  # the same tests in Firefox ESR, over WebDriver BiDi
  firefox-esr
)
if [ "${1:-}" = windows ]; then
  packages+=(
    # cross compilers (the posix flavour, for std::thread) and zlib
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
    # building the libraries from Debian's source packages
    dpkg-dev meson ninja-build autoconf automake libtool
    # running the Windows tests
    wine wine64
    # the installers (wixl, msibuild), reading them (msiinfo, msiextract)
    # and signing them and the programs (osslsigncode, openssl)
    wixl msitools osslsigncode openssl
  )
fi

missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done
# nodejs may come from another repository that also provides npm.
if [ ${#missing[@]} -gt 0 ] && command -v node >/dev/null && command -v npm >/dev/null; then
  kept=()
  for p in "${missing[@]}"; do
    case "$p" in nodejs|npm) ;; *) kept+=("$p") ;; esac
  done
  missing=("${kept[@]+"${kept[@]}"}")
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}"
fi

# Browser test driver and TypeScript, pinned by web/package-lock.json; installed
# again when the lock file has changed since the last install.
top=$(cd "$(dirname "$0")/.." && pwd)
lock="$top/web/package-lock.json"
stamp="$top/web/node_modules/.penmora-package-lock.json"
if [ -f "$lock" ] && ! cmp -s "$lock" "$stamp"; then
  (cd "$top/web" && npm ci --no-audit --no-fund --silent)
  cp "$lock" "$stamp"
fi
