#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs every test; then builds the headless core a second
# time with AddressSanitizer and UndefinedBehaviorSanitizer and runs its tests again, and a third
# time with ThreadSanitizer and runs them (with the sound tests) once more; then runs each fuzz
# target over its seeds and kept findings, plus a short run of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# The sanitizer builds are compiled by clang at -O1 with line tables only: the sanitizers' own
# advice, and a third of the time GCC takes over the same sources, while their reports still name
# file and line. The plain build stays GCC's, so both compilers' warnings are seen.
san_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DROADEYE_BENCH=OFF
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
run_asan=$([ "${ROADEYE_SKIP_SANITIZERS:-0}" != 1 ] && echo 1 || echo 0)
run_fuzz=$([ "${ROADEYE_SKIP_FUZZ:-0}" != 1 ] && echo 1 || echo 0)

# The playback core builds without the GUI toolkit.
if grep -rlE '#include *<wx/' support platform vexlib cards media playback telemetry map export settings \
  resources/core 2>/dev/null | grep -vE '^(telemetry|map|settings)/gui/'; then
  echo "GUI headers found in the headless core (above)" >&2
  exit 1
fi
# The map and what the viewer exports sit above the telemetry: nothing below them includes them.
if grep -rlE '#include *"(map|export)/' support platform vexlib media playback telemetry settings \
  2>/dev/null; then
  echo "map/ or export/ included from a room below them (above)" >&2
  exit 1
fi
# The cards library sits just above the VEX card library: the rooms below it never include it, and
# it includes nothing above itself.
if grep -rlE '#include *"cards/' support platform vexlib 2>/dev/null ||
  grep -rlE '#include *"(media|playback|telemetry|map|export|settings|skin|resources|app)/' cards \
    2>/dev/null; then
  echo "cards/ out of its place in the data path (above)" >&2
  exit 1
fi

# Every source file names its licence in its first lines.
if git rev-parse --git-dir > /dev/null 2>&1; then
  unlicensed=$(git ls-files '*.cpp' '*.h' '*.sh' '*CMakeLists.txt' '*.cmake' |
    while read -r f; do head -3 "$f" | grep -q 'SPDX-License-Identifier: GPL-3.0-or-later' || echo "$f"; done)
  if [ -n "$unlicensed" ]; then
    echo "source files without an SPDX line:" >&2
    echo "$unlicensed" >&2
    exit 1
  fi
fi

# The benchmarks are built and run by hand (docs/performance.md); the test run leaves them out.
# Optimised as released, with line tables only (a quarter less compile time than full -g, and a
# failing test's backtrace still names file and line).
scripts/setup.sh build -DROADEYE_BENCH=OFF \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
export SDL_AUDIODRIVER=dummy
# The cards the tests write are kept for the run (tools/CardCache.h); each run starts without them.
rm -rf build/test-cards build-asan/test-cards build-tsan/test-cards
(cd build && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$jobs")

# AddressSanitizer's test programs and the fuzz targets share one build: its libraries carry the
# fuzzer's coverage marks (ROADEYE_FUZZ) as well as both sanitizers, which the test programs carry
# unused, so the core is compiled once for both.
if [ "$run_asan" = 1 ] || [ "$run_fuzz" = 1 ]; then
  cmake -S . -B build-asan "${san_flags[@]}" -DROADEYE_FUZZ=ON > /dev/null
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
fi

if [ "$run_asan" = 1 ]; then
  echo "== AddressSanitizer + UBSan run of the headless tests =="
  # Only the core's test programs (and the tools they run): the windows are not built again.
  cmake --build build-asan --target core_tests -j"$jobs"
  # roadeye-convert --list's sweep over the families reads what the writer's sweep wrote; the
  # reading itself runs here in the cards library's tests and two of the tools' (one sweep is enough).
  # The speed sweep's cases start the same threads over the same code: four of its seven run.
  # The decoder's look-ahead patterns start the same threads over the same code: two of the five
  # run (every picture ahead, and wrong at seeks). Of the families' export sweep, whose readers
  # the fuzz targets also run under both sanitizers, the two-camera H.265 MP4 and the transport
  # stream run here (the plain build runs all five).
  (cd build-asan && ctest --output-on-failure -j"$jobs" -L core \
    -E '^Families/CardListTest\.|^EverySpeed/SpeedTest\..*/Quarters(8|16|32)( |$)|^Patterns/FrameThreadsTest\..*/(Never|EveryOther|AllButEverySeventh)( |$)|^Families/FamilyCardTest\.[A-Za-z0-9]+/(novatek|generic_ts_h265|tesla)( |$)')
fi

if [ "${ROADEYE_SKIP_TSAN:-0}" != 1 ]; then
  echo "== ThreadSanitizer run of the headless tests and the sound tests =="
  # Every core test (each of our threads is started by some of them) and the sound tests, which
  # alone start the latency query against a real server. A report ends its test program with
  # status 66, which fails the test; scripts/tsan.supp names the uninstrumented libraries.
  cmake -S . -B build-tsan "${san_flags[@]}" -DROADEYE_TSAN=ON > /dev/null
  # The sound tests are built where libpulse is (setup.sh installs it).
  tsan_targets=(core_tests)
  tsan_listed=$(cmake --build build-tsan --target help)
  if grep -q -x '\.\.\. playback_sound_tests' <<< "$tsan_listed"; then
    tsan_targets+=(playback_sound_tests)
  fi
  cmake --build build-tsan --target "${tsan_targets[@]}" -j"$jobs"
  export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
  # Sweeps that start the same threads in the same way run a few of their cases here, not all:
  # three of the seven speeds, one of the five look-ahead patterns, the hardware path with two
  # decoding threads and not one, three of the eight hardware faults (the first send, a picture
  # mid-block, the last packet), one of the three event-mark thresholds, and not the 1080p
  # sixteen times (the sixteen times of the sweep starts the same threads). ctest's regular
  # expressions hold at most nine groups, so each case left out is an alternative of its own: the
  # name, then its end or the space before ctest's note of the parameter.
  tsan_sweeps='^SpeedTest\.SixteenTimesOnA1080p'
  leave_out() {
    local test=$1 c
    shift
    for c in "$@"; do tsan_sweeps+="|^$test/$c\$|^$test/$c "; done
  }
  leave_out 'EverySpeed/SpeedTest\..*' Quarters1 Quarters8 Quarters16 Quarters32
  leave_out 'Patterns/FrameThreadsTest\..*' Never EveryOther AllButEverySeventh Always
  leave_out 'Threads/HardwareDecoderTest\..*' 1
  leave_out 'Breakages/HardwareFaultTest\..*' FirstPicture LastPictureOfABlock \
    PictureMidBlockOneThread SendMidBlock SendOfAKeyPicture
  leave_out 'AccLevels/EventMarksCardTest\..*' acc_level1 acc_level5
  # Sweeps of the bytes and the outside readers, whose threads the other tests start the same way
  # and which AddressSanitizer's run covers: the card writer's drives, the card library reading
  # recordings cut at every byte, the exports of other families' files checked by ffprobe, the
  # realistic pictures' encoding, and the card families' sweeps, which run roadeye-mkcard and the
  # outside readers once per family (the same writer threads each time).
  tsan_sweeps+='|^Seeds/DriveTest\.|^Endings/DamageTest\.|^FamilyExportTest\.'
  tsan_sweeps+='|^ToolsTest\.RealisticRecording|^Families/FamilyCardTest\.|^Families/CardListTest\.'
  (cd build-tsan && ctest --output-on-failure -j"$jobs" -L '^(core|sound)$' -E "$tsan_sweeps")
fi

if [ "$run_fuzz" = 1 ]; then
  echo "== Fuzz targets: seeds, kept findings and a short run each =="
  cmake --build build-asan --target fuzz_all -j"$jobs"
  scripts/fuzz-seeds.sh build/bin build-asan/seeds
  for t in vex avi telemetry settings decoder cards container gpmf tesla_sei nmea blackvue gpx garmin \
      freegps camera_metadata; do
    mkdir -p "fuzz/regressions/$t"
    # A fixed number of executions, so that a slow machine takes longer instead of testing less.
    "build-asan/bin/roadeye-${t}_fuzz" "build-asan/seeds/$t" "fuzz/regressions/$t" \
      -dict="fuzz/$t.dict" -runs=3000 -timeout=5 -rss_limit_mb=2048 \
      -artifact_prefix="build-asan/" > "build-asan/$t.log" 2>&1 ||
      { echo "fuzz target $t failed:" >&2; tail -40 "build-asan/$t.log" >&2; exit 1; }
    echo "$t: $(grep -cE '^#[0-9]+' "build-asan/$t.log") progress lines, no finding"
  done
fi

if [ "${ROADEYE_SKIP_PACKAGE:-0}" != 1 ]; then
  echo "== Debian package: built, checked, unpacked and run without installing =="
  scripts/package-test.sh build
fi
