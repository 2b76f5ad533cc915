#!/usr/bin/env bash
# Sets everything up, builds, and starts the service. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build -j "$(nproc)" --target penmora
exec ./build/penmora
