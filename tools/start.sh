#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh default
if [ -x build/default/bin/orvane ]; then
  exec build/default/bin/orvane "$@"
fi
if [ $# -eq 0 ]; then set -- --help; fi
exec build/default/bin/orvane-cli "$@"
