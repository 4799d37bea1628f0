#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the fuzz targets' seed corpora into OUT_DIR/<target>/: small recordings from
# roadeye-mkcard and their AVI copies, the card's settings file, telemetry records and the
# cameras' H.264 streams, plus a few hand-made inputs. Nothing of it is committed.
#
#   scripts/fuzz-seeds.sh BIN_DIR OUT_DIR      (BIN_DIR: a normal build's bin, with the tools)
set -euo pipefail
bin=$(realpath "$1")
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{vex,avi,telemetry,settings,decoder}

# Small pictures, a few of them: a run makes many executions a second.
"$bin/roadeye-mkcard" "$work/card" --seconds 1 --count 1 --kinds REC,EVENT --rear mixed \
  --front 128x64 --rear-size 64x64 --fps 5 > /dev/null
cp "$work"/card/VEX/*.vex "$out/vex/"
"$bin/roadeye-convert" "$work/card" "$work/avi" > /dev/null || true
cp "$work"/avi/*.avi "$out/avi/"
cp "$work/card/SETTING/blackbox.cfg" "$out/settings/camera.cfg"
printf '[config]\r\nbrightness=3\r\nvolume=50\r\n[Info]\r\nTargetFolder="/home/u/clips"\r\n' \
  > "$out/settings/viewer.ini"

name=$(basename "$(ls "$work"/card/VEX/*_D.vex | head -1)" .vex)
"$bin/roadeye-vexdump" "$work/card" "$name.avi" "$work/dump" > /dev/null
{ printf '\x00'; cat "$work/dump/front.h264"; } > "$out/decoder/front"
{ printf '\x01'; cat "$work/dump/rear.h264"; } > "$out/decoder/rear"
{ printf '\x06'; head -c 1200 "$work/dump/front.h264"; } > "$out/decoder/front-small-surface"
# Two frame threads, each picture's successor named first; and never named (drains and replays).
{ printf '\x40'; cat "$work/dump/front.h264"; } > "$out/decoder/front-frame-threads"
{ printf '\xc1'; cat "$work/dump/rear.h264"; } > "$out/decoder/rear-frame-threads-unnamed"

printf 'G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\x00M\x82\x87\x82\x00M\x7f\x8a\x80' \
  > "$out/telemetry/fix-and-samples"
printf '$GPRMC,000000.000,V,0000.0000,S,00000.0000,W,0.0,0.0,010100,,,N*7F\x00' \
  > "$out/telemetry/no-fix"
