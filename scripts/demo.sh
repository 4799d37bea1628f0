#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, writes a demo card into demo-card/ and starts the viewer on it.
# Without a display the viewer runs under Xvfb, plays the first recording and saves a screenshot
# of its window (demo-screenshot.png) instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
card=${ROADEYE_DEMO_CARD:-demo-card}
if [ ! -d "$card/VEX" ]; then
  build/bin/roadeye-mkcard "$card"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/roadeye --card "$card"
fi
shot=${ROADEYE_DEMO_SCREENSHOT:-demo-screenshot.png}
echo "No display: running the viewer under Xvfb; its window will be in $shot"
SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} xvfb-run -a -s "-screen 0 1280x1024x24" \
  build/bin/roadeye --card "$card" --play --screenshot "$shot" --after 8000 >/dev/null
echo "Saved $shot"
