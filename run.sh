#!/usr/bin/env bash
# Sets everything up, builds, and starts the demo: the service with a virtual
# signature pad and a virtual fingerprint reader, and a page to try it in a
# browser (the demo prints its address). Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build build -j "$(nproc)" --target penmora-demo
exec ./build/penmora-demo
