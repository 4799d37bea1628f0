#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Conversion throughput of roadeye-convert beside a plain cp of the same card files and beside
# the ffmpeg remux a user would otherwise run on the AVI file; then roadeye-convert's peak memory
# for a short and a long recording (it must not grow with the length).
#
#   bench/convert_bench.sh [BIN_DIR]      (default build/bin; needs ffmpeg and /usr/bin/time)
#
# Every figure is the median of five runs, first with the card file in the page cache, then with
# it dropped from the cache before each run (as reading a card is).
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=5

now() { date +%s.%N; }
# median SECONDS... -> the middle value
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# timed CLEANUP COMMAND... -> prints the median wall time of $runs runs
timed() {
  local cleanup=$1; shift
  local times=()
  for _ in $(seq $runs); do
    eval "$cleanup"
    local t0; t0=$(now)
    "$@" > /dev/null
    local t1; t1=$(now)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  median "${times[@]}"
}
mbps() { echo "scale=1; $1 / 1000000 / $2" | bc -l; }

echo "Writing a 60 s 1920x1080 + 1280x720 recording at 12 Mbit/s..."
"$bin/roadeye-mkcard" "$work/card" --seconds 60 --count 1 --kinds REC --rear yes \
  --front 1920x1080 --rear-size 1280x720 --no-damaged --bitrate 12000 > /dev/null
vex=$(ls "$work"/card/VEX/*.vex)
name=$(basename "$vex" .vex).avi
bytes=$(stat -c %s "$vex")
cat "$vex" > /dev/null  # into the page cache

evict() { sync; dd if="$1" iflag=nocache count=0 status=none; }

t_cp=$(timed "rm -rf '$work/cp'; mkdir -p '$work/cp'" cp "$vex" "$work/cp/")
t_conv=$(timed "rm -rf '$work/avi'" "$bin/roadeye-convert" "$work/card" "$work/avi")
t_cp_cold=$(timed "rm -rf '$work/cp'; mkdir -p '$work/cp'; evict '$vex'" cp "$vex" "$work/cp/")
t_conv_cold=$(timed "rm -rf '$work/avi'; evict '$vex'" "$bin/roadeye-convert" "$work/card" "$work/avi")
avi="$work/avi/$name"
avibytes=$(stat -c %s "$avi")
# The pictures and sound: ffmpeg cannot write the empty telemetry stream (unknown codec) again.
t_remux=$(timed "rm -f '$work/again.avi'" ffmpeg -nostdin -v error -y -i "$avi" -map 0:v -map 0:a -c copy "$work/again.avi")

printf '\nrecording: %s, %.1f MB; its AVI copy %.1f MB\n' "$name" "$(echo "$bytes/1000000" | bc -l)" \
  "$(echo "$avibytes/1000000" | bc -l)"
row() { printf '%-44s %8.4f s %8s MB/s\n' "$1" "$2" "$(mbps "$3" "$2")"; }
row "cp of the card file (cached)" "$t_cp" "$bytes"
row "roadeye-convert (cached)" "$t_conv" "$bytes"
row "cp of the card file (from disk)" "$t_cp_cold" "$bytes"
row "roadeye-convert (from disk)" "$t_conv_cold" "$bytes"
row "ffmpeg -c copy remux of the AVI (cached)" "$t_remux" "$avibytes"
printf 'roadeye-convert / cp: %.2f cached, %.2f from disk; %.1f times the remux rate\n' \
  "$(echo "$t_cp / $t_conv" | bc -l)" "$(echo "$t_cp_cold / $t_conv_cold" | bc -l)" \
  "$(echo "$t_remux / $t_conv * $avibytes / $bytes" | bc -l)"

echo
echo "Peak memory of roadeye-convert by recording length (640x360 + 320x180):"
for seconds in 60 600; do
  "$bin/roadeye-mkcard" "$work/m$seconds" --seconds "$seconds" --count 1 --kinds REC --rear yes \
    --front 640x360 --rear-size 320x180 --no-damaged > /dev/null
  kb=$(/usr/bin/time -f %M "$bin/roadeye-convert" "$work/m$seconds" "$work/mo$seconds" 2>&1 >/dev/null | tail -1)
  mb=$(du -m "$work"/m$seconds/VEX/*.vex | cut -f1)
  printf '  %4d s (%s MB): %s KB peak\n' "$seconds" "$mb" "$kb"
done
