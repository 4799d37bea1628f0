#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Roadeye needs (when any is missing), then configures and builds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev nlohmann-json3-dev
  libturbojpeg0-dev
  libsdl2-dev libsoundtouch-dev zlib1g-dev libexiv2-dev
  libwxgtk3.2-dev libwxgtk-webview3.2-dev libwebkit2gtk-4.0-dev libjs-leaflet libsoup2.4-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libgtk-3-dev libxtst-dev
  ffmpeg xvfb xauth imagemagick openbox weston xwayland libimage-exiftool-perl
  clang libclang-rt-14-dev
  libpugixml-dev gpsbabel libxml2-utils nettle-dev fonts-nanum
  protobuf-c-compiler libprotobuf-c-dev
  lintian desktop-file-utils appstream dpkg-dev fakeroot librsvg2-bin
  pulseaudio pulseaudio-utils libpulse-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
