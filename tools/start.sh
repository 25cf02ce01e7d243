#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop program. Extra
# arguments go to the program (a project file to open).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh default
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "orvane: no display to open a window on; without one, use the command line: build/default/bin/orvane-cli --help" >&2
  exit 1
fi
exec build/default/bin/orvane "$@"
