#!/usr/bin/env bash
# Writes docs/panel-compact.png and docs/panel-extended.png from the panel
# drawn on a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
KAVO_WITH_XVFB=1 scripts/ensure-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target kavo-screenshot
xvfb-run -a -s "-screen 0 1280x1024x24" build/tools/kavo-screenshot docs
echo "wrote docs/panel-compact.png and docs/panel-extended.png"
