# shellcheck shell=bash
# What every stage of the Windows checks shares, sourced by scripts/windows-test.sh
# and by a stage in scripts/windows-test/ that is run on its own:
#
#   source scripts/windows-test/wine-env.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# It runs the calling script again on a virtual X display of its own, makes
# the Wine prefix in WINDOWS_BUILD/wine-test/prefix, gives Windows programs
# the DejaVu fonts, counts passes and failures (pass, fail; summary prints
# "N passed, N failed" and fails when anything did) and at exit ends the
# programs and the simulators the stages started. The stages find the zip
# unpacked (unpack_zip), the simulated projector on COM1 (com1_simulator), and
# start, click and end the panel with the helpers below.
#
# Environment: WINEDEBUG (default -all; e.g. +comm,+file,+sync to trace the port).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
win_build=$(cd "${1:-$root/build-win}" && pwd)
linux_build=$(cd "${2:-$root/build}" && pwd)
# The script that sourced this file: a stage run on its own ends with the count.
wine_env_caller=${BASH_SOURCE[1]}

# Everything below runs on a virtual X display of its own.
if [ -z "${KAVO_WINE_ON_XVFB:-}" ]; then
  exec env KAVO_WINE_ON_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    "$0" "$win_build" "$linux_build"
fi

work=$win_build/wine-test
export WINEPREFIX=$work/prefix
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Wine's .NET and HTML engines into a new prefix.
export WINEDLLOVERRIDES="mscoree=;mshtml="
sim=$linux_build/sim/kavo-projector-sim
button_centre=$linux_build/tools/kavo-button-centre
# The titles of the windows the stages look for.
# shellcheck disable=SC2034
panel_title="KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0"
# shellcheck disable=SC2034
dialog_title="  COM PORT"

passed=0
failed=0
note() { echo "==> $*"; }
pass() { echo "PASS: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: $1${2:+ ($2)}"; failed=$((failed + 1)); }
summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
# finish_stage: the end of a stage; run on its own, the stage ends here with the count.
finish_stage() {
  [ "${BASH_SOURCE[1]}" = "$wine_env_caller" ] || return 0
  summary
}

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

sim_pid=
app_pid=
tcp_pids=()
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  for pid in "${tcp_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

for program in "$sim" "$button_centre" "$(command -v wine)" "$(command -v xdotool)"; do
  [ -x "$program" ] || { echo "windows-test: $program is missing" >&2; exit 1; }
done
zip=$(ls -t "$win_build"/kavo-control-*-win64.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || { echo "windows-test: no zip in $win_build (make windows)" >&2; exit 1; }

mkdir -p "$work"
# use_prefix FOLDER: the Wine prefix from now on, made when it is not there.
use_prefix() {
  wineserver -k 2>/dev/null || true
  export WINEPREFIX=$1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    note "new Wine prefix in $WINEPREFIX"
    wineboot -i >"$work/wineboot.log" 2>&1
    wineserver -w
  fi
  # Wine hands no QT_* variable to a Windows program, but it does pass on the
  # prefix's registry environment: the offscreen platform of the GUI suites
  # (given on their command lines) draws with the same DejaVu fonts as on Linux.
  wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /t REG_SZ \
    /d "$(winepath -w /usr/share/fonts/truetype/dejavu)" /f >/dev/null 2>&1
}
use_prefix "$WINEPREFIX"

# unpack_zip: the zip in a fresh folder, once; the panel in $exe, kavoctl.exe
# in $kavoctl_exe, the zip's version in $version.
exe=
unpack_zip() {
  [ -z "$exe" ] || return 0
  rm -rf "$work/unpacked"
  mkdir -p "$work/unpacked"
  (cd "$work/unpacked" && unzip -q "$zip")
  exe=$(ls "$work"/unpacked/*/kavo-control.exe)
  kavoctl_exe=$(ls "$work"/unpacked/*/kavoctl.exe)
  version=$(basename "$zip" | sed -n 's/^kavo-control-\(.*\)-win64\.zip$/\1/p')
}

# listen LOG [OPTIONS...]: the simulator served over TCP on a free loopback
# port; its socket:// address in $url, its process in $tcp_pid.
listen() {
  local log=$1
  shift
  "$sim" --listen 127.0.0.1:0 "$@" >"$log" 2>&1 &
  tcp_pid=$!
  tcp_pids+=("$tcp_pid")
  wait_for 10 grep -q 'listening on socket://' "$log" || return 1
  url=$(grep -o -m 1 'socket://127\.0\.0\.1:[0-9]*' "$log")
}

# port_entry N [TEXT]: the entry COMN of the user's port folder in the prefix
# holding TEXT, or removed without it.
port_entry() {
  local ports
  ports=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')")/KAVO/ports
  mkdir -p "$ports"
  if [ -n "${2:-}" ]; then printf '%s\r\n' "$2" >"$ports/COM$1"; else rm -f "$ports/COM$1"; fi
}

# run_windows PROGRAM ARGS...: a Windows program run to its end; stdout and
# stderr in $out and $err (without Windows line ends), its exit status in $status.
run_windows() {
  status=0
  # run_limit=SECONDS ends a program that goes on (exit status 124); 0 is none.
  timeout "${run_limit:-0}" env -u WINEPATH wine "$@" >"$work/program.out" 2>"$work/program.err" ||
    status=$?
  out=$(tr -d '\r' <"$work/program.out")
  err=$(tr -d '\r' <"$work/program.err")
}
# kavoctl ARGS...: kavoctl.exe from the zip, as run_windows runs it.
kavoctl() { run_windows "$kavoctl_exe" "$@"; }

# com1_simulator: the simulated projector, once, linked into Wine as COM1;
# its log in $work/sim.log.
com1_simulator() {
  [ -z "$sim_pid" ] || return 0
  local config=$work/config
  rm -rf "$config"
  mkdir -p "$config"
  XDG_CONFIG_HOME=$config "$sim" --port 1 >"$work/sim.log" 2>&1 &
  sim_pid=$!
  wait_for 10 test -L "$config/KAVO/ports/COM1" || { cat "$work/sim.log"; exit 1; }
  map_com1
}

# map_com1: the simulator's pseudo-terminal as COM1 of the current prefix.
map_com1() {
  local pts
  # Wine rebuilds $WINEPREFIX/dosdevices/comN from the serial devices it finds
  # each time it starts (COM1 is /dev/ttyS0), so a link made by hand lasts only
  # until then; a mapping under HKLM\Software\Wine\Ports stays.
  pts=$(readlink "$work/config/KAVO/ports/COM1")
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pts" /f >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
  wine cmd /c exit >/dev/null 2>&1 || true
  if [ "$(readlink "$WINEPREFIX/dosdevices/com1")" = "$pts" ]; then
    pass "COM1 is $pts"
  else
    fail "COM1 is $pts" "dosdevices/com1 -> $(readlink "$WINEPREFIX/dosdevices/com1")"
  fi
}

# The simulator prints one line per exchange: "<time>  in: C 0 0  [CR]   out:  [ACK] ".
exchanges() { grep -c 'in: C 0 0  \[CR\] .*out: .*\[ACK\]' "$work/sim.log" || true; }
more_exchanges_than() { [ "$(exchanges)" -gt "$1" ]; }
window_of() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
shown() { [ -n "$(window_of "$1")" ]; }

# click WINDOW X Y: a left click at client coordinates in pixels.
click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
}
# click_button WINDOW NUMBER: a left click on the panel's button CommandNUMBER,
# where the button map places it.
click_button() {
  local at
  at=$("$button_centre" "$2") || return 1
  click "$1" "${at% *}" "${at#* }"
}

start_app() {
  local log=$1
  env -u WINEPATH wine "$exe" >"$log" 2>&1 &
  app_pid=$!
}
# stop_app: kills the panel if it still runs.
stop_app() {
  [ -n "$app_pid" ] || return 0
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=
}
# Ends the panel with its "END" button; kills it when it does not go.
end_app() {
  local window=$1
  click_button "$window" 16 # END
  if wait_for 10 bash -c "! kill -0 $app_pid 2>/dev/null"; then
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    return 0
  fi
  stop_app
  return 1
}

# pipe_clients_answered N: whether the journal file $journal has answered
# "C00"s from at least N pipe clients, each named by its account and Windows
# process id.
pipe_clients_answered() {
  local answered
  answered=$(grep -oE $'\tpipe:[^\t]*\\([0-9]+\\)\tTxD: C 0 0  \\[CR\\] \tRxD:  \\[ACK\\]' \
    "$journal" | cut -f 2 | sort -u | wc -l)
  [ "$answered" -ge "$1" ]
}

# share_port N PANEL KAVOCTL: the panel PANEL started on COMN, whose port
# folder entry names a service's pipe, sends "C00" (POWER ON) twice while
# KAVOCTL --port N sends three of its own; kavoctl.exe reads its replies and
# the service's journal file $journal names both clients, answered.
share_port() {
  local port=$1 panel_exe=$2 kavoctl_exe=$3 panel_log=$work/panel-pipe.log
  wine reg add 'HKCU\Software\KAVO\StartUP' /v ComPort /t REG_SZ /d "$port" /f >/dev/null 2>&1
  local exe=$panel_exe
  start_app "$panel_log"
  if ! wait_for 30 shown "$panel_title"; then
    fail "the panel on COM$port, the service's pipe" "see $panel_log"
    stop_app
    return
  fi
  local panel kavoctl_pid
  panel=$(window_of "$panel_title")
  sleep 1 # first paint, the port opened
  env -u WINEPATH wine "$kavoctl_exe" send --port "$port" C00 C00 C00 \
    >"$work/kavoctl-pipe.out" 2>"$work/kavoctl-pipe.err" &
  kavoctl_pid=$!
  click_button "$panel" 17 # POWER ON
  sleep 0.3
  click_button "$panel" 17
  status=0
  wait "$kavoctl_pid" || status=$?
  answered=$(tr -d '\r' <"$work/kavoctl-pipe.out" | grep -c $'^TxD: C 0 0  \\[CR\\] \tRxD:  \\[ACK\\] $' || true)
  if [ "$status" = 0 ] && [ "$answered" = 3 ]; then
    pass "kavoctl.exe --port $port through the pipe entry: its replies read"
  else
    fail "kavoctl.exe --port $port through the pipe entry: its replies read" \
      "exit $status, $answered answered: $(cat "$work/kavoctl-pipe.err")"
  fi
  if wait_for 10 pipe_clients_answered 2; then
    pass "the journal file names the panel and kavoctl.exe on the pipe, both answered"
  else
    fail "the journal file names the panel and kavoctl.exe on the pipe, both answered" \
      "see $journal"
  fi
  end_app "$panel" || true
}
