#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every fuzz target for SECONDS (default 60) each, JOBS targets at a time (default 1), on
# corpora kept in build-fuzz/corpus/<target> (seeded from scripts/fuzz-seeds.sh); what a run finds
# goes to build-fuzz/crashes/<target>/, its log to build-fuzz/logs/<target>.log.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
jobs=${JOBS:-1}

scripts/setup.sh build > /dev/null
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROADEYE_FUZZ=ON \
  -DROADEYE_BENCH=OFF > /dev/null
cmake --build build-fuzz --target fuzz_all -j"$(nproc)"
[ -d build-fuzz/seeds ] || scripts/fuzz-seeds.sh build/bin build-fuzz/seeds

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(vex avi telemetry settings decoder cards container gpmf tesla_sei nmea
  blackvue gpx garmin freegps camera_metadata)
mkdir -p build-fuzz/logs
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run() {
  local t=$1
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/crashes/$t"
  cp -n build-fuzz/seeds/"$t"/* "build-fuzz/corpus/$t/" 2>/dev/null || true
  "build-fuzz/bin/roadeye-${t}_fuzz" "build-fuzz/corpus/$t" -dict="fuzz/$t.dict" \
    -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$t/" > "build-fuzz/logs/$t.log" 2>&1 &&
    echo "$t: $(grep -E '^stat::number_of_executed_units' "build-fuzz/logs/$t.log" | awk '{print $2}') executions, no finding" ||
    echo "$t: FOUND SOMETHING, see build-fuzz/logs/$t.log and build-fuzz/crashes/$t/"
}
running=0
for t in "${targets[@]}"; do
  run "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
