#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, builds the two programs
# and the desktop files with the "package" preset (Release, no tests), runs
# cpack, then checks the .deb: the files it must hold, lintian (no errors) and
# desktop-file-validate. The last line printed is the path of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

tools/install-deps.sh

# Time stamps in the package (file dates, the changelog's date) are the last
# commit's, so that building the same commit twice gives the same files.
if epoch="$(git log -1 --format=%ct 2>/dev/null)" && [ -n "$epoch" ]; then
  export SOURCE_DATE_EPOCH="$epoch"
fi

start=$SECONDS
cmake --preset package >/dev/null
# The build preset names the targets: orvane, orvane-cli, orvane_desktop_files.
cmake --build --preset package -j "$(nproc)"
echo "== built in $((SECONDS - start)) s"

rm -f build/package/orvane_*.deb
cpack --preset package >/dev/null
debs=(build/package/orvane_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: expected one build/package/orvane_*.deb, found: ${debs[*]}" >&2
  exit 1
fi
deb="${debs[0]}"
status=0

# 1. The files an installation needs.
contents="$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|')"
required=(
  /usr/bin/orvane
  /usr/bin/orvane-cli
  /usr/share/applications/orvane.desktop
  /usr/share/mime/packages/orvane.xml
  /usr/share/icons/hicolor/scalable/apps/orvane.svg
  /usr/share/man/man1/orvane.1.gz
  /usr/share/man/man1/orvane-cli.1.gz
  /usr/share/doc/orvane/copyright
  /usr/share/doc/orvane/changelog.gz
  /usr/share/doc/orvane/scaling.md
  /usr/share/doc/orvane/orvane-shards-job.yaml
)
for size in 16 32 48 64 128 256; do
  required+=("/usr/share/icons/hicolor/${size}x${size}/apps/orvane.png")
done
# The program opens <bindir>/../share/doc/orvane/manual/index.html.
for page in docs/manual/pages/*.html docs/manual/style.css; do
  required+=("/usr/share/doc/orvane/manual/$(basename "$page")")
done
# The address lists, read from <bindir>/../share/orvane/lists.
for list in data/lists/*.txt; do
  required+=("/usr/share/orvane/lists/$(basename "$list")")
done
for file in "${required[@]}"; do
  if ! grep -qxF "$file" <<<"$contents"; then
    echo "package.sh: $deb lacks $file" >&2
    status=1
  fi
done
echo "== contents: ${#required[@]} required files checked"

# 2. lintian: errors fail the build; warnings and notes are shown.
if ! lintian --fail-on error --display-info "$deb"; then
  echo "package.sh: lintian reports errors" >&2
  status=1
fi
echo "== lintian done"

# 3. The desktop entry and the file type, as installed.
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
if ! desktop-file-validate "$unpacked/usr/share/applications/orvane.desktop"; then
  echo "package.sh: desktop-file-validate fails on orvane.desktop" >&2
  status=1
fi
echo "== desktop-file-validate done"
XDG_DATA_DIRS="$unpacked/usr/share" update-mime-database "$unpacked/usr/share/mime" >/dev/null
if ! grep -qxF 'application/x-orvane-project:*.orp' "$unpacked/usr/share/mime/globs"; then
  echo "package.sh: orvane.xml does not give *.orp the type application/x-orvane-project" >&2
  status=1
fi


# 4. The manual page is written by hand: name the options of the commands'
# --help texts that it does not mention yet (a note, not a failure).
for command in check run show import export; do
  for option in $(build/package/bin/orvane-cli "$command" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    if ! grep -qF -- "${option//-/\\-}" packaging/orvane-cli.1; then
      echo "package.sh: note: packaging/orvane-cli.1 does not mention $option of 'orvane-cli $command'" >&2
    fi
  done
done

if [ $status -ne 0 ]; then
  exit $status
fi
echo "$root/$deb"
