#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The idle viewer's cost: roadeye started on a card under its own Xvfb display, left alone with the
# card listed and nothing playing (and, with --after-play, after it played a recording and
# stopped at the end of the list), then watched for SECONDS (default 60). Prints the CPU time
# used meanwhile as a share of one core, and the wake-ups per second (voluntary and involuntary
# context switches of all its threads), for the viewer alone and with its helper processes
# (the map's WebKit processes) included.
#
#   bench/idle_bench.sh [BIN_DIR] [SECONDS] [--after-play]
set -euo pipefail
bin=${1:-build/bin}
seconds=${2:-60}
mode=${3:-}
work=$(mktemp -d /tmp/roadeye-idle-XXXXXX)
trap 'kill $viewer $server 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/roadeye-mkcard" "$work/card" --seconds 4 --count 1 --kinds REC --no-damaged \
  --bitrate 4000 > /dev/null
Xvfb :93 -screen 0 1280x1024x24 -nolisten tcp > /dev/null 2>&1 &
server=$!
sleep 1
play=()
[ "$mode" = --after-play ] && play=(--play)
DISPLAY=:93 SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} "$bin/roadeye" --card "$work/card" \
  --config-dir "$work/config" "${play[@]}" > /dev/null 2>&1 &
viewer=$!
# Start-up (and the 4-second recording, with --after-play) settle first.
sleep 10

# CPU ticks of a process (all its threads, those ended included), and the context switches of
# its threads that are there at both looks (a thread that ended takes its count with it).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches_by_thread() {
  for task in /proc/"$1"/task/*; do
    awk -v t="${task##*/}" '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2}
      END {print t, n + 0}' "$task/status" 2>/dev/null
  done
}

family() { echo "$1"; pgrep -P "$1" || true; }

declare -A t0
for p in $(family $viewer); do
  t0[$p]=$(ticks "$p")
  switches_by_thread "$p" > "$work/before.$p"
done
sleep "$seconds"
hz=$(getconf CLK_TCK)
own_t=0 own_s=0 all_t=0 all_s=0
for p in "${!t0[@]}"; do
  [ -r "/proc/$p/stat" ] || continue
  dt=$(( $(ticks "$p") - t0[$p] ))
  switches_by_thread "$p" > "$work/after.$p"
  ds=$(awk 'NR == FNR {before[$1] = $2; next} ($1 in before) {n += $2 - before[$1]}
            END {print n + 0}' "$work/before.$p" "$work/after.$p")
  all_t=$((all_t + dt)); all_s=$((all_s + ds))
  if [ "$p" = "$viewer" ]; then own_t=$dt; own_s=$ds; fi
done
awk -v t="$own_t" -v s="$own_s" -v at="$all_t" -v as="$all_s" -v hz="$hz" -v sec="$seconds" \
  'BEGIN {
     printf "idle viewer over %d s: %.3f %% of a core, %.1f wake-ups/s\n", sec, 100 * t / hz / sec, s / sec;
     printf "with its helper processes: %.3f %% of a core, %.1f wake-ups/s\n", 100 * at / hz / sec, as / sec;
   }'
# Where the viewer's own wake-ups come from, by thread name.
for task in /proc/$viewer/task/*; do
  n=$(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2} END {print n + 0}' "$task/status")
  echo "  $(cat "$task/comm"): $n in all"
done | sort | uniq -c | sort -rn | head -12
