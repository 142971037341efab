#!/usr/bin/env bash
# The one-command demonstration behind `make run`: the simulated projector on
# COM1, then the panel, both under a configuration folder of their own
# (<build>/demo-config) so that the user's own settings are never touched.
# Closing the panel stops the simulator. Arguments are passed to the
# simulator, e.g. `scripts/demo.sh --delay-ms 300` (make run SIM_ARGS=...).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build}
panel=$build/app/kavo-control
sim=$build/sim/kavo-projector-sim
config=$build/demo-config
entry=$config/KAVO/ports/COM1

for program in "$panel" "$sim"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; build first (make build)." >&2
    exit 1
  fi
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'TEXT'
demo: no display ($DISPLAY and $WAYLAND_DISPLAY are both empty), so the panel
cannot show its window. Run it on a virtual display instead:
    xvfb-run -a make run          (xvfb-run comes with the Debian package xvfb)
or without any window at all:
    QT_QPA_PLATFORM=offscreen make run
TEXT
  exit 1
fi

# First run: port 1 at 19200 baud, so the panel opens the simulator at once.
mkdir -p "$config/KAVO/ports"
if [ ! -e "$config/KAVO.conf" ]; then
  printf '[StartUP]\nComPort=1\nBaudRate=192\n' >"$config/KAVO.conf"
fi
export XDG_CONFIG_HOME=$config

"$sim" --port 1 "$@" &
sim_pid=$!
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}
trap stop_sim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The panel may only start once the link is there; give the simulator 10 s.
for _ in $(seq 100); do
  [ -L "$entry" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    status=0
    wait "$sim_pid" || status=$?
    echo "demo: the simulator stopped before it was ready (exit status $status)." >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -L "$entry" ]; then
  echo "demo: the simulator did not link $entry within 10 s." >&2
  exit 1
fi

status=0
"$panel" || status=$?
exit "$status"
