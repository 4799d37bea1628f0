#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package roadeye_<version>_<arch>.deb with CPack, leaves it in the build folder
# and prints its path (the last line of the output); then checks it: lintian (no error and no
# warning about the copyright file; other warnings are listed), desktop-file-validate on its desktop entry and appstreamcli on its
# metainfo. Installs what is missing and builds through scripts/setup.sh first.
# Usage: scripts/package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
scripts/setup.sh "$build"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb="$build/roadeye_${version}_${arch}.deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB > cpack.log 2>&1) ||
  { echo "cpack failed:" >&2; tail -40 "$build/cpack.log" >&2; exit 1; }
[ -f "$deb" ] || { echo "cpack did not write $deb" >&2; exit 1; }

echo "== lintian =="
lintian_out=$(lintian --fail-on error --display-info --tag-display-limit 0 "$deb" 2>&1) || {
  echo "$lintian_out" >&2
  echo "lintian found errors in $deb" >&2
  exit 1
}
if grep -E '^[EW]: .*copyright' <<<"$lintian_out" >&2; then
  echo "lintian found the copyright file wanting in $deb (above)" >&2
  exit 1
fi
if [ -n "$lintian_out" ]; then
  echo "$lintian_out"
else
  echo "no lintian tags"
fi

# The desktop entry and the metainfo as the package holds them.
root="$build/package-root"
rm -rf "$root"
dpkg -x "$deb" "$root"
echo "== desktop-file-validate =="
desktop-file-validate "$root/usr/share/applications/roadeye.desktop"
echo "== appstreamcli validate =="
# The component id is the desktop entry's name (roadeye), not a reverse domain name: that
# warning is kept as a note. Any other warning is listed; an error fails.
as_rc=0
as_out=$(appstreamcli validate --no-net --override=cid-desktopapp-is-not-rdns=info \
  "$root/usr/share/metainfo/roadeye.metainfo.xml" 2>&1) || as_rc=$?
echo "$as_out"
if [ "$as_rc" -ne 0 ] && ! grep -qE 'Validation failed: warnings: [0-9]+$' <<<"$as_out"; then
  echo "appstreamcli found errors in the metainfo" >&2
  exit 1
fi

echo "Package:"
realpath "$deb"
