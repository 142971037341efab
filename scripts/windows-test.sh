#!/usr/bin/env bash
# The Windows build under Wine on a virtual display (`make windows-test`):
#   1. the test suites built as .exe (those that need no pseudo-terminal), by ctest;
#   2. the zip unpacked into a fresh folder and run from there with nothing but
#      its own DLLs. Wine reaches the simulated projector of the Linux build as
#      COM1 through $WINEPREFIX/dosdevices/com1, a link to its pseudo-terminal
#      (kept in place by a mapping under HKLM\Software\Wine\Ports).
#      With nothing in the registry the port dialog comes up; COM1 and OK store
#      the choice under HKCU\Software\KAVO\StartUP and "C00" from the panel
#      reaches the projector, which answers (its log shows both; Wine 8 never
#      lets Qt's serial port read, so the reply is not checked on the panel);
#   3. starts with COM1 stored, several in a row: the panel shows at once, in
#      its colours, exchanges a command, and "END" ends it;
#   4. kavoctl.exe from the zip against the simulated projector served over
#      TCP (socket://), where Wine does deliver the replies: the whole exchange,
#      the status reads and the exit codes for a refused connection and for
#      no answer.
#
#   scripts/windows-test.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Environment: KAVO_WINE_STARTS (starts with COM1 stored, default 3),
# KAVO_WINE_SUITES=0 (leave out the test suites),
# KAVO_WINE_SCREENSHOT (write the panel as Wine shows it to this PNG),
# WINEDEBUG (default -all; e.g. +comm,+file,+sync to trace the port).
# Ends with a line "N passed, N failed"; the exit status is 0 only without failures.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
win_build=$(cd "${1:-$root/build-win}" && pwd)
linux_build=$(cd "${2:-$root/build}" && pwd)
starts=${KAVO_WINE_STARTS:-3}

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
panel_title="KAVO   QV-TN310 QV-TN320  CONTROL  Ver.2.0"
dialog_title="  COM PORT"

passed=0
failed=0
note() { echo "==> $*"; }
pass() { echo "PASS: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: $1${2:+ ($2)}"; failed=$((failed + 1)); }

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
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  for pid in "${tcp_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

for program in "$sim" "$(command -v wine)" "$(command -v xdotool)"; do
  [ -x "$program" ] || { echo "windows-test: $program is missing" >&2; exit 1; }
done
zip=$(ls -t "$win_build"/kavo-control-*-win64.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || { echo "windows-test: no zip in $win_build (make windows)" >&2; exit 1; }

mkdir -p "$work"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  note "new Wine prefix in $WINEPREFIX"
  wineboot -i >"$work/wineboot.log" 2>&1
  wineserver -w
fi

# 1. The test suites, with the DLLs from the Qt and MinGW folders.
qt=$("$root/scripts/build-qt-windows.sh" --prefix)
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
dll_path="$(winepath -w "$qt/bin");$(winepath -w "$gcc_dir");$(winepath -w /usr/x86_64-w64-mingw32/lib)"
# Wine hands no QT_* variable to a Windows program, but it does pass on the
# prefix's registry environment: the offscreen platform of the GUI suites
# (given on their command lines) draws with the same DejaVu fonts as on Linux.
wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /t REG_SZ \
  /d "$(winepath -w /usr/share/fonts/truetype/dejavu)" /f >/dev/null 2>&1
if [ "${KAVO_WINE_SUITES:-1}" = 0 ]; then
  note "test suites left out"
elif note "test suites under Wine" && WINEPATH=$dll_path QT_QPA_PLATFORM=offscreen \
   ctest --test-dir "$win_build" --output-on-failure -j2 >"$work/ctest.log" 2>&1; then
  pass "test suites ($(grep -o '[0-9]* tests failed out of [0-9]*\|100% tests passed, 0 tests failed out of [0-9]*' "$work/ctest.log"))"
else
  cat "$work/ctest.log"
  fail "test suites" "see $work/ctest.log"
fi

# 2. The zip in a fresh folder.
rm -rf "$work/unpacked"
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
exe=$(ls "$work"/unpacked/*/kavo-control.exe)

# The simulated projector, linked into Wine as COM1.
config=$work/config
rm -rf "$config"
mkdir -p "$config"
XDG_CONFIG_HOME=$config "$sim" --port 1 >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for 10 test -L "$config/KAVO/ports/COM1" || { cat "$work/sim.log"; exit 1; }
# Wine rebuilds $WINEPREFIX/dosdevices/comN from the serial devices it finds
# each time it starts (COM1 is /dev/ttyS0), so a link made by hand lasts only
# until then; a mapping under HKLM\Software\Wine\Ports stays.
pts=$(readlink "$config/KAVO/ports/COM1")
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pts" /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w
wine cmd /c exit >/dev/null 2>&1 || true
if [ "$(readlink "$WINEPREFIX/dosdevices/com1")" = "$pts" ]; then
  pass "COM1 is $pts"
else
  fail "COM1 is $pts" "dosdevices/com1 -> $(readlink "$WINEPREFIX/dosdevices/com1")"
fi

# The simulator prints one line per exchange: "<time>  in: C 0 0  [CR]   out:  [ACK] ".
exchanges() { grep -c 'in: C 0 0  \[CR\] .*out: .*\[ACK\]' "$work/sim.log" || true; }
window_of() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
shown() { [ -n "$(window_of "$1")" ]; }
more_exchanges_than() { [ "$(exchanges)" -gt "$1" ]; }

# click WINDOW X Y: a left click at client coordinates in pixels.
click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
}

start_app() {
  local log=$1
  env -u WINEPATH wine "$exe" >"$log" 2>&1 &
  app_pid=$!
}

# Ends the panel with its "END" button; kills it when it does not go.
end_app() {
  local window=$1
  click "$window" 654 321 # END
  if wait_for 10 bash -c "! kill -0 $app_pid 2>/dev/null"; then
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    return 0
  fi
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=
  return 1
}

# Counts the pixels of a PNG for which an ImageMagick fx expression holds.
pixels_where() {
  convert "$1" -alpha off -fx "$2" -format '%[fx:round(mean*w*h)]' info:
}

# The panel's colours by family, as the style shades them: green ON buttons,
# red OFF buttons, teal for most of the others. A style that ignores the
# buttons' colours leaves only a little red in a few captions.
check_colours() {
  local shot=$1 green red teal
  green=$(pixels_where "$shot" '(g-max(r,b))>0.15')
  red=$(pixels_where "$shot" '(r-max(g,b))>0.15')
  teal=$(pixels_where "$shot" 'min(g,b)-r>0.3')
  [ "$green" -ge 1000 ] && [ "$red" -ge 1000 ] && [ "$teal" -ge 10000 ] ||
    { echo "green $green, red $red, teal $teal pixels"; return 1; }
}

note "first start: empty registry, the port dialog"
wine reg delete 'HKCU\Software\KAVO' /f >/dev/null 2>&1 || true
start_app "$work/first-start.log"
if wait_for 30 shown "$dialog_title"; then
  pass "port dialog shown with nothing stored"
  dialog=$(window_of "$dialog_title")
  click "$dialog" 48 225 # the "OTHER" box, "0" selected
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 50 1
  before=$(exchanges)
  click "$dialog" 160 108 # OK
  if wait_for 20 shown "$panel_title"; then
    pass "OK opens COM1 and shows the panel"
    panel=$(window_of "$panel_title")
    query=$(wine reg query 'HKCU\Software\KAVO\StartUP' 2>/dev/null | tr -d '\r')
    if grep -q 'ComPort.*REG_SZ.*1$' <<<"$query" && grep -q 'BaudRate.*REG_SZ.*192$' <<<"$query"; then
      pass "choice stored under HKCU\\Software\\KAVO\\StartUP"
    else
      fail "choice stored under HKCU\\Software\\KAVO\\StartUP" "$query"
    fi
    click "$panel" 40 38 # POWER ON
    if wait_for 10 more_exchanges_than "$before"; then
      pass "C00 exchanged through COM1 after the dialog"
    else
      fail "C00 exchanged through COM1 after the dialog"
    fi
    end_app "$panel" && pass "END ends the program" || fail "END ends the program"
  else
    fail "OK opens COM1 and shows the panel" "see $work/first-start.log"
  fi
else
  fail "port dialog shown with nothing stored" "see $work/first-start.log"
fi
[ -z "$app_pid" ] || { kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null || true; app_pid=; }

for run in $(seq "$starts"); do
  note "start $run of $starts with COM1 stored"
  start_app "$work/start-$run.log"
  if ! wait_for 30 shown "$panel_title"; then
    fail "start $run: panel shown" "see $work/start-$run.log"
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    continue
  fi
  pass "start $run: panel shown"
  panel=$(window_of "$panel_title")
  sleep 1 # first paint
  shot=$work/panel-$run.png
  import -window "$panel" "$shot"
  if why=$(check_colours "$shot"); then
    pass "start $run: panel in its colours"
  else
    fail "start $run: panel in its colours" "$why, see $shot"
  fi
  before=$(exchanges)
  click "$panel" 40 38 # POWER ON
  if wait_for 10 more_exchanges_than "$before"; then
    pass "start $run: C00 exchanged through COM1"
  else
    fail "start $run: C00 exchanged through COM1"
  fi
  if [ "$run" = 1 ] && [ -n "${KAVO_WINE_SCREENSHOT:-}" ]; then
    # The extended panel with the exchange on its trace lines.
    xdotool key --window "$panel" --clearmodifiers ctrl+h
    sleep 0.5
    click "$panel" 40 38
    sleep 0.3
    import -window "$panel" "$KAVO_WINE_SCREENSHOT"
    note "wrote $KAVO_WINE_SCREENSHOT"
  fi
  end_app "$panel" && pass "start $run: END ends the program" ||
    fail "start $run: END ends the program"
done

# listen LOG [OPTIONS...]: the simulator served over TCP on a free loopback
# port; its socket:// address in $url, its process in $tcp_pid.
listen() {
  local log=$1
  shift
  "$sim" --listen 127.0.0.1:0 "$@" >"$log" 2>&1 &
  tcp_pid=$!
  tcp_pids+=("$tcp_pid")
  wait_for 10 grep -q 'listening on socket://' "$log" || return 1
  url=$(grep -o 'socket://127\.0\.0\.1:[0-9]*' "$log" | head -n 1)
}

# kavoctl ARGS...: kavoctl.exe from the zip; stdout and stderr in $out and
# $err (without Windows line ends), its exit status in $status.
kavoctl() {
  status=0
  env -u WINEPATH wine "$kavoctl_exe" "$@" >"$work/kavoctl.out" 2>"$work/kavoctl.err" || status=$?
  out=$(tr -d '\r' <"$work/kavoctl.out")
  err=$(tr -d '\r' <"$work/kavoctl.err")
}

note "kavoctl.exe over the network"
kavoctl_exe=$(ls "$work"/unpacked/*/kavoctl.exe)
version=$(basename "$zip" | sed -n 's/^kavo-control-\(.*\)-win64\.zip$/\1/p')
kavoctl --version
if [ "$status" = 0 ] && [ "$out" = "kavoctl $version" ]; then
  pass "kavoctl.exe --version"
else
  fail "kavoctl.exe --version" "exit $status: $out"
fi
if listen "$work/sim-tcp.log"; then
  kavoctl send --device "$url" C00 CR1
  if [ "$status" = 0 ] && grep -q $'^TxD: C 0 0  \[CR\] \tRxD:  \[ACK\] $' <<<"$out" &&
    grep -q $'^TxD: C R 1  \[CR\] \tRxD: .*\tSTATUS: Input ' <<<"$out"; then
    pass "kavoctl.exe send: replies read and decoded"
  else
    fail "kavoctl.exe send: replies read and decoded" "exit $status: $out $err"
  fi
  kavoctl status --device "$url" --json
  answered=$(grep -c '"answered": true' <<<"$out" || true)
  if [ "$status" = 0 ] && [ "$answered" = 7 ]; then
    pass "kavoctl.exe status --json: seven reads answered"
  else
    fail "kavoctl.exe status --json: seven reads answered" "exit $status, $answered answered: $err"
  fi
  kill "$tcp_pid"
  wait "$tcp_pid" 2>/dev/null || true
  kavoctl send --device "$url" C00
  if [ "$status" = 2 ] && grep -q 'connection refused' <<<"$err"; then
    pass "kavoctl.exe: a refused connection is exit 2"
  else
    fail "kavoctl.exe: a refused connection is exit 2" "exit $status: $err"
  fi
else
  fail "simulator listening on TCP" "see $work/sim-tcp.log"
fi
if listen "$work/sim-tcp-silent.log" --no-answer; then
  kavoctl send --device "$url" --timeout 300 C00
  if [ "$status" = 3 ]; then
    pass "kavoctl.exe: no answer is exit 3"
  else
    fail "kavoctl.exe: no answer is exit 3" "exit $status: $out $err"
  fi
else
  fail "silent simulator listening on TCP" "see $work/sim-tcp-silent.log"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
