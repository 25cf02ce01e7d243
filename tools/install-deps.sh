#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Idempotent: packages already present are left alone, and apt is asked only
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang-14 libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  libuv1-dev libidn2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  microsocks
  xvfb xauth trayer
  dpkg-dev lintian desktop-file-utils librsvg2-bin   # tools/package.sh
  parallel python3-yaml                               # the scaling recipe and its example
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
