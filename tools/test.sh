#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite of one preset
# (default: "default"; "asan" for the sanitizer build).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
tools/install-deps.sh
tools/build.sh "$preset"
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset" -j "$(nproc)"
