#!/usr/bin/env bash
# Makes the README's pictures of the real windows under a virtual X display:
# the main window after a validation against scripted local servers, and the
# dialogs. Writes PNG files into the given folder (default docs/screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshots}"
tools/install-deps.sh
tools/build.sh default
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
  build/default/bin/orvane-screenshots "$out"
