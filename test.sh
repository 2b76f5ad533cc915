#!/usr/bin/env bash
# Sets everything up and runs the whole test suite three times: a normal build
# (warnings as errors), AddressSanitizer with UndefinedBehaviorSanitizer, and
# ThreadSanitizer; then runs the fuzz targets for a short while; then the
# Windows stage cross-builds the Windows programs for x86-64 and i686 with
# mingw-w64, runs the x86-64 suite under Wine and puts both builds and their
# installers in dist/, signed with a throwaway certificate.
# Usage: ./test.sh [ci] [asan] [tsan] [fuzz] [windows]   (default: all five)
set -euo pipefail
cd "$(dirname "$0")"

runs=("$@")
[ ${#runs[@]} -eq 0 ] && runs=(ci asan tsan fuzz windows)
jobs=$(nproc)
if [[ " ${runs[*]} " == *" windows "* ]]; then
  bash scripts/setup.sh windows
else
  bash scripts/setup.sh
fi

# The Windows stage's libraries take minutes to cross-build the first time:
# they are built from the start, at the lowest priority, so that they use
# what the other stages leave of the processors. The Windows stage waits for
# them.
deps_job=""
deps_out=""
if [[ " ${runs[*]} " == *" windows "* ]]; then
  deps_out=$(mktemp -d "${TMPDIR:-/tmp}/penmora-test-deps.XXXXXX")
  (
    nice -n 19 bash scripts/windows-deps.sh x86_64 >"$deps_out/x86_64" 2>&1 &&
      nice -n 19 bash scripts/windows-deps.sh i686 >"$deps_out/i686" 2>&1
  ) &
  deps_job=$!
  trap '[ -n "$deps_job" ] && kill "$deps_job" 2>/dev/null; rm -rf "$deps_out"' EXIT
fi

# The Windows stage: libraries (cached), both cross-builds, the x86-64 suite
# under Wine in a prefix of its own; the files of both go to dist/ first.
windows() {
  local prefix_x64 prefix_x86
  if ! wait "$deps_job"; then
    deps_job=""
    cat "$deps_out"/* >&2
    echo "the Windows libraries could not be built" >&2
    return 1
  fi
  deps_job=""
  cat "$deps_out/x86_64" "$deps_out/i686"
  prefix_x64=$(tail -n 1 "$deps_out/x86_64")
  prefix_x86=$(tail -n 1 "$deps_out/i686")
  cmake --preset windows-x64 -DPENMORA_DEPS_PREFIX="$prefix_x64" >/dev/null
  cmake --build build-windows-x64 -j "$jobs"
  cmake --preset windows-x86 -DPENMORA_DEPS_PREFIX="$prefix_x86" >/dev/null
  cmake --build build-windows-x86 -j "$jobs"
  rm -rf dist/windows-x64 dist/windows-x86
  cmake --install build-windows-x64 --prefix dist/windows-x64 >/dev/null
  cmake --install build-windows-x86 --prefix dist/windows-x86 >/dev/null
  # Signed as IT signs with its own certificate (README), here with a
  # throwaway self-signed one, and every signature checked.
  signing=$(mktemp -d "${TMPDIR:-/tmp}/penmora-signing.XXXXXX")
  trap 'rm -rf "$deps_out" "$signing"' EXIT
  python3 tests/install/signing.py certificate "$signing"
  msi_x64=$(PENMORA_SIGN_PFX="$signing/signing.pfx" PENMORA_SIGN_PASSWORD="$(cat "$signing/password")" \
    bash scripts/make-msi.sh x64 dist/windows-x64 | tail -n 1)
  msi_x86=$(PENMORA_SIGN_PFX="$signing/signing.pfx" PENMORA_SIGN_PASSWORD="$(cat "$signing/password")" \
    bash scripts/make-msi.sh x86 dist/windows-x86 | tail -n 1)
  python3 tests/install/signing.py verify "$signing/certificate.pem" "$msi_x64" "$msi_x86" \
    dist/windows-x64/penmora.exe dist/windows-x64/demo/penmora-demo.exe \
    dist/windows-x86/penmora.exe dist/windows-x86/demo/penmora-demo.exe
  rm -rf "$signing"
  echo "Windows builds in dist/windows-x64 and dist/windows-x86, signed installers in dist/"
  # A persistent wineserver and a booted prefix before ctest starts, or the
  # first tests race the prefix's creation.
  trap 'sh tests/wine/run.sh --stop build-windows-x64; rm -rf "$deps_out"' EXIT
  sh tests/wine/run.sh --start build-windows-x64
  ctest --test-dir build-windows-x64 --output-on-failure -j "$jobs" --timeout 300 \
    --repeat until-pass:2
  sh tests/wine/run.sh --stop build-windows-x64
}

for run in "${runs[@]}"; do
  echo "=== $run build ==="
  begun=$SECONDS
  if [ "$run" = windows ]; then
    windows
    echo "=== $run: $((SECONDS - begun)) s"
    continue
  fi
  cmake --preset "$run" >/dev/null
  cmake --build "build-$run" -j "$jobs"
  if [ "$run" = fuzz ]; then
    bash scripts/fuzz.sh "build-$run" "${PENMORA_FUZZ_SECONDS:-45}"
  else
    # On a loaded machine the desktop tests' status item now and then never
    # reaches their private session bus; a failed test is run once more, and
    # its first failure stays in the output.
    ctest --test-dir "build-$run" --output-on-failure -j "$jobs" --timeout 300 \
      --repeat until-pass:2
  fi
  echo "=== $run: $((SECONDS - begun)) s"
done
