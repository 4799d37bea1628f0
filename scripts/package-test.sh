#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Tests the Debian package without installing it: builds it (scripts/package.sh), unpacks it into a
# scratch folder, checks that every library of its programs resolves, that the desktop entry,
# metainfo, icons and manual pages are there, then writes a card with the unpacked roadeye-mkcard,
# lists and converts it with the unpacked tools and takes a screenshot of the unpacked viewer
# on it under Xvfb, which must not be blank.
# Usage: scripts/package-test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# The build's and checks' lines are shown, and the last one names the package. (Not through
# `tee /dev/stderr`: opening /dev/stderr anew truncates a log file the output is redirected to.)
out=$(scripts/package.sh "$build")
printf '%s\n' "$out"
deb=$(tail -1 <<<"$out")
[ -f "$deb" ] || { echo "no package: $deb" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg -x "$deb" "$root"
fail() { echo "package test: $*" >&2; exit 1; }

# Every library of every program resolves.
for p in roadeye roadeye-convert roadeye-mkcard roadeye-vexdump; do
  exe="$root/usr/bin/$p"
  [ -x "$exe" ] || fail "$p missing"
  libs=$(ldd "$exe")
  ! grep -q 'not found' <<<"$libs" || fail "$p: $(grep 'not found' <<<"$libs")"
  grep -q 'libc.so' <<<"$libs" || fail "$p: ldd shows no libraries"
done

# The desktop entry, the metainfo, the icons at their sizes, the manual pages.
share="$root/usr/share"
grep -qx 'Exec=roadeye %F' "$share/applications/roadeye.desktop" || fail "desktop entry"
grep -q '^MimeType=.*video/mp4;' "$share/applications/roadeye.desktop" || fail "desktop MIME types"
grep -q '<launchable type="desktop-id">roadeye.desktop</launchable>' \
  "$share/metainfo/roadeye.metainfo.xml" || fail "metainfo"
for size in 16 24 32 48 64 128 256; do
  png="$share/icons/hicolor/${size}x${size}/apps/roadeye.png"
  [ "$(identify -format '%wx%h' "$png")" = "${size}x${size}" ] || fail "icon $png"
done
[ -s "$share/icons/hicolor/scalable/apps/roadeye.svg" ] || fail "SVG icon"
for p in roadeye roadeye-convert roadeye-mkcard roadeye-vexdump; do
  page="$share/man/man1/$p.1.gz"
  gzip -t "$page" || fail "manual page $page"
  man -l "$page" 2>/dev/null | grep -q "$p" || fail "manual page $page does not render"
done
[ -s "$root/usr/share/doc/roadeye/copyright" ] || fail "copyright file"

# The package's run-time needs: the libraries' packages, the font, the map page's Leaflet.
depends=$(dpkg-deb -f "$deb" Depends)
for d in fonts-nanum libjs-leaflet libwxgtk3.2-1 libavcodec libavformat libsdl2; do
  grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done

# The unpacked tools on a card written by the unpacked roadeye-mkcard.
card="$scratch/card"
# Recordings of the default length: the viewer leaves out ones under 512 KiB as damaged.
"$root/usr/bin/roadeye-mkcard" "$card" --count 1 --kinds REC,EVENT > /dev/null
listing=$("$root/usr/bin/roadeye-vexdump" "$card")
name=$(grep -oE 'REC_[0-9_]+(_D)?\.avi' <<<"$listing" | head -1)
[ -n "$name" ] || fail "roadeye-vexdump lists no REC recording: $listing"
"$root/usr/bin/roadeye-convert" --gpx "$card" "$scratch/out" "$name" > /dev/null
[ -s "$scratch/out/$name" ] && [ -s "$scratch/out/${name%.avi}.gpx" ] || fail "roadeye-convert wrote nothing"

# Another family's card, listed by the unpacked tools.
"$root/usr/bin/roadeye-mkcard" "$scratch/tesla" --family tesla --kinds REC --count 1 --seconds 2 \
  --front 320x180 --no-damaged > /dev/null
"$root/usr/bin/roadeye-convert" --list --json "$scratch/tesla" | grep -q '"family":"tesla"' ||
  fail "roadeye-convert --list lists no Tesla recording"

# The unpacked viewer playing that card: a screenshot whose picture area (the upper left of the
# window) shows the recording, not the empty view's dark field and logo. Its settings and tile cache
# stay in the scratch folder, and the map's tiles come from a loopback port where nothing listens.
shot="$scratch/shot.png"
SDL_AUDIODRIVER=dummy XDG_CACHE_HOME="$scratch/cache" ROADEYE_TILE_URL='http://127.0.0.1:9/{z}/{x}/{y}.png' \
  timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$root/usr/bin/roadeye" --card "$card" --config-dir "$scratch/config" --play --screenshot "$shot" \
  > "$scratch/roadeye.log" 2>&1 || { cat "$scratch/roadeye.log" >&2; fail "roadeye failed"; }
[ -s "$shot" ] || fail "no screenshot"
read -r w h sd <<<"$(identify -format '%w %h %[fx:standard_deviation]' "$shot")"
[ "$w" -ge 400 ] && [ "$h" -ge 300 ] || fail "screenshot is ${w}x${h}"
awk -v sd="$sd" 'BEGIN { exit !(sd > 0.05) }' || fail "screenshot is blank (standard deviation $sd)"
view_sd=$(convert "$shot" -gravity NorthWest -crop 50%x45%+20+80 +repage -format '%[fx:standard_deviation]' info:)
awk -v sd="$view_sd" 'BEGIN { exit !(sd > 0.08) }' ||
  fail "the picture area shows no recording (standard deviation $view_sd)"
echo "package test passed: $deb (screenshot ${w}x${h}, standard deviation $sd, picture area $view_sd)"
