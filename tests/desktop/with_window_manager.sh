#!/usr/bin/env bash
# Runs a test program on a virtual X display of its own with a real window
# manager, so that window frames, placement and heights are those a user sees.
# Usage: with_window_manager.sh WM PROGRAM [ARGS...]   (WM: openbox or twm)
# Exits 77 (skipped) when Xvfb or the window manager is not installed.
set -euo pipefail

wm=$1
shift
for tool in Xvfb "$wm"; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/ensure-deps.sh installs it)" >&2
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"

# A window manager of its own: no user configuration, no session.
export HOME=$work XDG_CONFIG_HOME=$work/config
case $wm in
  openbox) openbox --sm-disable >"$work/wm.log" 2>&1 & ;;
  twm)
    # By default twm lets the user place each new window with the pointer,
    # holding the display until then.
    { cat /etc/X11/twm/system.twmrc 2>/dev/null || true
      printf 'RandomPlacement\nUsePPosition "on"\n'; } >"$work/.twmrc"
    twm -f "$work/.twmrc" >"$work/wm.log" 2>&1 &
    ;;
  *) "$wm" >"$work/wm.log" 2>&1 & ;;
esac
pids+=($!)

# The program waits for the window manager itself before it shows a window
# (waitForWindowManager in window_manager.h: it sees it take over the root
# window and answer), so a slow start never shows as a failure.
export QT_QPA_PLATFORM=xcb KAVO_TEST_WINDOW_MANAGER=$wm
"$@"
