#!/usr/bin/env bash
# Installs what is missing, builds, writes a demo card into demo-card/ and shows what is on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
card=${ROADEYE_DEMO_CARD:-demo-card}
if [ ! -d "$card/VEX" ]; then
  build/bin/roadeye-mkcard "$card"
fi
build/bin/roadeye-vexdump "$card"
