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
# A notification area (trayer) on the virtual display holds the tray icon.
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  trayer --edge top --align right --widthtype request --height 28 --transparent false \
    --tint 0x3c3c3c --SetDockType true --expand false >/dev/null 2>&1 &
  QT_QPA_PLATFORM=xcb build/default/bin/orvane-screenshots "$0"
  status=$?
  kill %1 2>/dev/null
  exit $status' "$out"
