#!/usr/bin/env bash
# Cross-builds the libraries of the Windows build for mingw-w64, statically, from
# Debian's own source packages of the versions installed for the Linux build:
# cJSON, hidapi (Windows backend), libpng, pixman, cairo (image surface only),
# OpenSSL's libcrypto (the sealed evidence's cryptography), and for x86_64, whose suite runs under Wine, googletest with gmock. zlib is
# the sysroot's (libz-mingw-w64-dev); stb is header-only and comes from
# libstb-dev's folder.
#
# The prefix is cached under ${PENMORA_DEPS_CACHE:-~/.cache/penmora-deps}, named
# after the architecture and a hash of the source versions, the compiler, this
# script and the toolchain files; a complete prefix is reused as it is.
# Sources are fetched into a scratch folder that is removed afterwards.
#
# Usage: scripts/windows-deps.sh x86_64|i686
# Prints the prefix as the last line of its output.
set -euo pipefail

arch=${1:?usage: windows-deps.sh x86_64|i686}
case "$arch" in
  x86_64) cpu_family=x86_64 ;;
  i686) cpu_family=x86 ;;
  *) echo "windows-deps: unknown architecture $arch" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
top=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$top/cmake/mingw-$arch.cmake
sysroot=/usr/$triple
jobs=$(nproc)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# Source package and version of each library, as installed for the Linux build.
source_of() {
  dpkg-query -W -f '${source:Package}=${source:Version}' "$1"
}
sources=(
  "$(source_of libcjson-dev)"
  "$(source_of libhidapi-dev)"
  "$(source_of libpng-dev)"
  "$(source_of libpixman-1-dev)"
  "$(source_of libcairo2-dev)"
  "$(source_of libssl-dev)"
)
key=$(
  {
    printf '%s\n' "${sources[@]}"
    source_of googletest; echo
    source_of libz-mingw-w64-dev; echo
    source_of libstb-dev; echo
    "$triple-gcc-posix" --version | head -1
    dpkg-query -W -f '${Version}\n' "gcc-mingw-w64-${arch//_/-}-posix"
    cat "$0" "$toolchain" "$top/cmake/mingw-common.cmake"
  } | sha256sum | cut -c1-12
)
cache=${PENMORA_DEPS_CACHE:-$HOME/.cache/penmora-deps}
prefix=$cache/$arch-$key
stamp=$prefix/.complete
if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache"
exec 9>"$prefix.lock"
flock 9
if [ -f "$stamp" ]; then # built by a run that held the lock before us
  echo "$prefix"
  exit 0
fi
rm -rf "$prefix"
mkdir -p "$prefix"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/penmora-deps-$arch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
log=$cache/$arch-$key.log
: >"$log"
echo "windows-deps: building $arch libraries into $prefix (log: $log)" >&2
started=$SECONDS

fail() {
  echo "windows-deps: $1 failed; the end of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
# step NAME COMMAND...: runs a build step with its output in the log.
step() {
  local name=$1 begun=$SECONDS
  shift
  echo "== $name: $*" >>"$log"
  "$@" >>"$log" 2>&1 || fail "$name"
  echo "== $name: $((SECONDS - begun)) s" >>"$log"
}

# apt-get source needs source entries; derive them from the Debian entries that
# are already configured.
ensure_deb_src() {
  if apt-get source --print-uris "${sources[0]}" >/dev/null 2>&1; then
    return
  fi
  local list=/etc/apt/sources.list.d/penmora-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee "$list.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb (.*)/deb-src \1/p' /etc/apt/sources.list | $sudo tee "$list.list" >/dev/null
  else
    echo "windows-deps: no Debian package sources configured" >&2
    exit 1
  fi
  $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
}

# unpack PACKAGE=VERSION: fetches a source package into the scratch folder and
# prints the folder it unpacks to. The installed version is taken when the
# archive still has it, else the newest the archive has whose .dsc it serves.
unpack() {
  local name=${1%%=*} dir="$scratch/src-${1%%=*}" version dsc="" begun=$SECONDS
  for version in "${1#*=}" $(apt-cache showsrc "$name" | sed -n 's/^Version: //p' |
    sort -urV); do
    rm -rf "$dir"
    mkdir -p "$dir"
    (cd "$dir" && apt-get source --download-only "$name=$version") >>"$log" 2>&1 || true
    dsc=$(ls "$dir"/*.dsc 2>/dev/null | head -1)
    [ -n "$dsc" ] && break
  done
  [ -n "$dsc" ] || fail "fetching $name"
  echo "$name=$version" >>"$scratch/used"
  # Every file the .dsc lists must match its SHA-256; Debian's part may be
  # missing from the archive (pixman), then the original tarball is used alone.
  local sum file missing=0 orig=""
  while read -r sum _ file; do
    if [ ! -f "$dir/$file" ]; then
      missing=1
      echo "windows-deps: $name: $file is missing from the archive" >>"$log"
      continue
    fi
    echo "$sum  $dir/$file" | sha256sum -c --quiet - >>"$log" 2>&1 || fail "checking $file"
    case "$file" in *.orig.tar.*) orig=$file ;; esac
  done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
  if [ $missing -eq 0 ]; then
    (cd "$dir" && dpkg-source --no-check -x "$(basename "$dsc")" tree) >>"$log" 2>&1 ||
      fail "unpacking $name"
  else
    [ -n "$orig" ] || fail "fetching $name"
    echo "windows-deps: $name: unpacking $orig without Debian's changes" >&2
    mkdir -p "$dir/tree"
    tar -xf "$dir/$orig" -C "$dir/tree" --strip-components=1 || fail "unpacking $orig"
  fi
  echo "== fetching and unpacking $name: $((SECONDS - begun)) s" >>"$log"
  echo "$dir/tree"
}

cmake_build() { # NAME SOURCE_DIR CMAKE_ARGS...
  local name=$1 src=$2
  shift 2
  step "$name configure" cmake -S "$src" -B "$scratch/build-$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPENMORA_DEPS_PREFIX="$prefix" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=OFF "$@"
  step "$name build" cmake --build "$scratch/build-$name" -j "$jobs"
  step "$name install" cmake --install "$scratch/build-$name"
}

ensure_deb_src
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:$sysroot/lib/pkgconfig
export PKG_CONFIG_PATH=

cjson_src=$(unpack "${sources[0]}")
cmake_build cjson "$cjson_src" -DENABLE_CUSTOM_COMPILER_FLAGS=OFF -DENABLE_CJSON_TEST=OFF \
  -DENABLE_CJSON_UTILS=OFF -DBUILD_SHARED_AND_STATIC_LIBS=OFF -DENABLE_HIDDEN_SYMBOLS=OFF

hidapi_src=$(unpack "${sources[1]}")
cmake_build hidapi "$hidapi_src" -DHIDAPI_BUILD_HIDTEST=OFF

png_src=$(unpack "${sources[2]}")
cmake_build libpng "$png_src" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
  -DPNG_EXECUTABLES=OFF -DPNG_BUILD_ZLIB=OFF -DZLIB_ROOT="$sysroot"

cross=$scratch/meson-cross.txt
cat >"$cross" <<CROSS
[binaries]
c = '$triple-gcc-posix'
cpp = '$triple-g++-posix'
ar = '$triple-gcc-ar-posix'
strip = '$triple-strip'
windres = '$triple-windres'
pkgconfig = 'pkg-config'

[host_machine]
system = 'windows'
cpu_family = '$cpu_family'
cpu = '$arch'
endian = 'little'
CROSS
pixman_src=$(unpack "${sources[3]}")
step "pixman configure" meson setup "$scratch/build-pixman" "$pixman_src" --cross-file "$cross" \
  --prefix "$prefix" --libdir lib --buildtype release --default-library static \
  -Dtests=disabled -Dgtk=disabled -Dlibpng=disabled -Dopenmp=disabled
step "pixman build" ninja -C "$scratch/build-pixman" -j "$jobs"
step "pixman install" meson install -C "$scratch/build-pixman"

cairo_src=$(unpack "${sources[4]}")
# Debian's changes touch the autotools files, so regenerate them as Debian does
# (without gtk-doc: the manual is not built).
step "cairo autoreconf" bash -c 'cd "$1" && GTKDOCIZE=true autoreconf -fi' _ "$cairo_src"
cairo_build=$scratch/build-cairo
mkdir -p "$cairo_build"
off=()
for feature in xlib xlib-xrender xcb xlib-xcb xcb-shm qt quartz quartz-font quartz-image win32 \
  win32-font skia os2 beos drm gallium png gl glesv2 glesv3 cogl directfb vg egl glx wgl script \
  ft fc ps pdf svg test-surfaces tee xml gobject full-testing trace interpreter symbol-lookup \
  valgrind gtk-doc; do
  off+=("--disable-$feature")
done
step "cairo configure" bash -c 'cd "$1" && shift && "$@"' _ "$cairo_build" \
  "$cairo_src/configure" --host="$triple" --prefix="$prefix" --libdir="$prefix/lib" \
  --enable-static --disable-shared "${off[@]}" \
  CC="$triple-gcc-posix" CXX="$triple-g++-posix" AR="$triple-gcc-ar-posix" \
  RANLIB="$triple-gcc-ranlib-posix" CFLAGS="-O2 -DCAIRO_HAS_UTF8_TO_UTF16=1"
# Only the library (src/ installs cairo.pc too). Its DLL export list does not
# apply to a static archive and clashes with Debian's symbol filter.
step "cairo build" make -C "$cairo_build/src" -j "$jobs" export_symbols=
step "cairo install" make -C "$cairo_build/src" install export_symbols=
rm -f "$prefix"/lib/*.la

# libcrypto alone, static, without the command-line program, the engines and
# the loadable modules: the service asks it for key parsing, RSA-OAEP, ECDH,
# the Concat KDF, AES key wrap, AES-GCM, SHA-256 and random numbers. Without
# assembly: the cross assembler's flavour needs no choosing, and public-key
# operations on one signature are fast enough in C.
openssl_src=$(unpack "${sources[5]}")
openssl_build=$scratch/build-openssl
mkdir -p "$openssl_build"
case "$arch" in
  x86_64) openssl_target=mingw64 ;;
  i686) openssl_target=mingw ;;
esac
step "openssl configure" bash -c 'cd "$1" && shift && "$@"' _ "$openssl_build" \
  perl "$openssl_src/Configure" "$openssl_target" no-shared no-tests no-module no-engine \
  no-dso no-asm no-ui-console --prefix="$prefix" --libdir=lib --openssldir="$prefix/ssl" \
  CC="$triple-gcc-posix" AR="$triple-gcc-ar-posix" RANLIB="$triple-gcc-ranlib-posix" \
  RC="$triple-windres"
step "openssl build" make -C "$openssl_build" -j "$jobs" build_libs
step "openssl install" make -C "$openssl_build" install_dev

# Only the x86_64 suite runs (under Wine); the i686 build has no tests.
if [ "$arch" = x86_64 ]; then
  cmake_build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
fi

# stb: the build machine's headers, nothing else. The Windows build compiles the
# implementation itself.
cat >"$prefix/lib/pkgconfig/stb.pc" <<PC
Name: stb
Description: single-file image libraries (headers only)
Version: 0.0
Cflags: -I/usr/include/stb
Libs:
PC

cp "$scratch/used" "$stamp"
echo "windows-deps: $arch done in $((SECONDS - started)) s" >&2
echo "$prefix"
