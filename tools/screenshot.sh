#!/usr/bin/env bash
# Writes docs/panel-compact.png and docs/panel-extended.png from the panel
# drawn on a virtual X display, and the extended panel and the command console
# at display scale 2 (docs/panel-extended-2x.png, docs/console-2x.png); `tools/screenshot.sh windows` writes
# docs/panel-windows-wine.png instead: the Windows build's panel as Wine shows
# it against the simulated projector (make windows, then one Wine start).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = windows ]; then
  make windows
  make configure >/dev/null
  cmake --build build -j2 --target kavo-projector-sim kavo-button-centre >/dev/null
  KAVO_WINE_SUITES=0 KAVO_WINE_STARTS=1 KAVO_WINE_SCREENSHOT=$PWD/docs/panel-windows-wine.png \
    scripts/windows-test.sh build-win build
  exit 0
fi
KAVO_WITH_XVFB=1 scripts/ensure-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target kavo-screenshot
xvfb-run -a -s "-screen 0 1280x1024x24" build/tools/kavo-screenshot docs
mkdir -p build/hidpi
QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2560x2048x24" build/tools/kavo-screenshot build/hidpi
mv build/hidpi/panel-extended.png docs/panel-extended-2x.png
mv build/hidpi/console.png docs/console-2x.png
rm -f docs/console.png
echo "wrote docs/panel-compact.png, docs/panel-extended.png, docs/panel-extended-2x.png and docs/console-2x.png"
