#!/usr/bin/env bash
# Writes docs/panel-compact.png and docs/panel-extended.png from the panel
# drawn on a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
KAVO_WITH_XVFB=1 scripts/ensure-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target kavo-screenshot
xvfb-run -a -s "-screen 0 1280x1024x24" build/tools/kavo-screenshot docs
mkdir -p build/hidpi
QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2560x2048x24" build/tools/kavo-screenshot build/hidpi
mv build/hidpi/panel-extended.png docs/panel-extended-2x.png
echo "wrote docs/panel-compact.png, docs/panel-extended.png and docs/panel-extended-2x.png"
