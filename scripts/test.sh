#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then builds the headless core a second
# time with AddressSanitizer and UndefinedBehaviorSanitizer and runs its tests again.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# The playback core builds without the GUI toolkit.
if grep -rlE '#include *<wx/' support platform media vexlib playback telemetry settings resources/core 2>/dev/null | grep -vE '^(telemetry|settings)/gui/'; then
  echo "GUI headers found in the headless core (above)" >&2
  exit 1
fi

scripts/setup.sh build
export SDL_AUDIODRIVER=dummy
(cd build && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$jobs")

if [ "${ROADEYE_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== AddressSanitizer + UBSan run of the headless tests =="
  scripts/setup.sh build-asan -DROADEYE_SANITIZE=ON -DROADEYE_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j"$jobs" -L core)
fi
