#!/usr/bin/env bash
# Makes the README's pictures of the real windows under a virtual X display:
# the main window after a validation against scripted local servers, the run
# report and every dialog. Writes PNG files into the given folder (default
# docs/screenshots): at 1280x800, at twice the scale on a screen of twice the
# pixels (2x/) and with a dark palette (dark/).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshots}"
tools/install-deps.sh
tools/build.sh default
mkdir -p "$out" "$out/2x" "$out/dark"

# shoot SCREEN FOLDER [--dark]: one set of pictures on a display of SCREEN
# pixels. A notification area (trayer) on the display holds the tray icon.
shoot() {
  xvfb-run -a -s "-screen 0 $1x24" bash -c '
    trayer --edge top --align right --widthtype request --height 28 --transparent false \
      --tint 0x3c3c3c --SetDockType true --expand false >/dev/null 2>&1 &
    QT_QPA_PLATFORM=xcb build/default/bin/orvane-screenshots "$@"
    status=$?
    kill %1 2>/dev/null
    exit $status' shoot "${@:2}"
}

shoot 1280x800 "$out"
QT_SCALE_FACTOR=2 shoot 2560x1600 "$out/2x"
shoot 1280x800 "$out/dark" --dark
