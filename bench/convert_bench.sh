#!/usr/bin/env bash
# Conversion throughput of roadeye-convert beside a plain cp of the same card files and beside
# the ffmpeg remux a user would otherwise run on the AVI file; then roadeye-convert's peak memory
# for a short and a long recording (it must not grow with the length).
#
#   bench/convert_bench.sh [BIN_DIR]      (default build/bin; needs ffmpeg and /usr/bin/time)
#
# Every figure is the median of five runs with the files in the page cache.
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

t_cp=$(timed "rm -rf '$work/cp'; mkdir -p '$work/cp'" cp "$vex" "$work/cp/")
t_conv=$(timed "rm -rf '$work/avi'" "$bin/roadeye-convert" "$work/card" "$work/avi")
avi="$work/avi/$name"
avibytes=$(stat -c %s "$avi")
t_remux=$(timed "rm -f '$work/again.avi'" ffmpeg -nostdin -v error -y -i "$avi" -c copy -map 0 "$work/again.avi")

printf '\nrecording: %s, %.1f MB; its AVI copy %.1f MB\n' "$name" "$(echo "$bytes/1000000" | bc -l)" \
  "$(echo "$avibytes/1000000" | bc -l)"
printf '%-34s %8s s %8s MB/s\n' "cp of the card file" "$t_cp" "$(mbps "$bytes" "$t_cp")"
printf '%-34s %8s s %8s MB/s  (%.2f of cp)\n' "roadeye-convert" "$t_conv" "$(mbps "$bytes" "$t_conv")" \
  "$(echo "$t_cp / $t_conv" | bc -l)"
printf '%-34s %8s s %8s MB/s\n' "ffmpeg -c copy remux of the AVI" "$t_remux" "$(mbps "$avibytes" "$t_remux")"

echo
echo "Peak memory of roadeye-convert by recording length (640x360 + 320x180):"
for seconds in 20 300; do
  "$bin/roadeye-mkcard" "$work/m$seconds" --seconds "$seconds" --count 1 --kinds REC --rear yes \
    --front 640x360 --rear-size 320x180 --no-damaged > /dev/null
  kb=$(/usr/bin/time -f %M "$bin/roadeye-convert" "$work/m$seconds" "$work/mo$seconds" 2>&1 >/dev/null | tail -1)
  mb=$(du -m "$work"/m$seconds/VEX/*.vex | cut -f1)
  printf '  %4d s (%s MB): %s KB peak\n' "$seconds" "$mb" "$kb"
done
