#!/usr/bin/env bash
# The Windows checks, stage 8: the installer's component "Share the projector
# (service)". In a Wine prefix of its own, COM1 the simulated projector's
# pseudo-terminal: a bad /COMPORT= refused with nothing installed; /S
# /COMPORT=1 sets aside a configuration it did not write and installs the
# service kavo-projectord-projector, which runs under Wine's service control
# manager on COM1, its configuration and the user's port folder entry COM1
# naming its pipe; the installed panel and kavoctl.exe send at the same time
# through that entry, both answered, the journal file naming both; a start of
# Wine starts the service again, as a boot would; PJLink from Linux on
# loopback once the configuration has it; an upgrade stops and starts the
# service and keeps the configuration; the uninstaller removes the service
# and its program and keeps the configuration, unless /REMOVECONFIG.
#
#   scripts/windows-test/shared-service.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

setup=$(ls -t "$win_build"/kavo-control-*-win64-setup.exe 2>/dev/null | head -n 1)
shared=kavo-projectord-projector
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kavo-projectord'

# sc_state: what Wine's sc query says of the service, in $sc_out; fails
# when there is no such service.
sc_state() { sc_out=$(env -u WINEPATH wine sc query "$shared" 2>&1 | tr -d '\r') || return 1; }
service_is() { sc_state && grep -q "STATE.*$1" <<<"$sc_out"; }
# run_setup LOG ARGS...: the installer (or uninstaller, as $1) to its end;
# its exit status in $status. Not wineserver -w: the service goes on running.
run_setup() {
  local log=$1
  shift
  status=0
  env -u WINEPATH wine "$@" >"$log" 2>&1 || status=$?
}
# journal_count WORDS: how often the service's journal file has WORDS.
journal_count() { grep -c "$1" "$journal" 2>/dev/null || true; }
more_starts_than() { [ "$(journal_count 'serving on pipe:')" -gt "$1" ]; }
# received: how many commands the simulator on COM1 has read.
received() { grep -c ' in: ' "$work/sim.log" || true; }
more_received_than() { [ "$(received)" -gt "$1" ]; }
# uninstall ARGS...: the installed uninstaller, run in place so that its exit
# status is its own (a copy of itself would do the work otherwise); what it
# cannot remove while it runs, itself and its folder, goes afterwards.
uninstall() {
  run_setup "$work/shared-uninstall.log" "$installed/uninstall.exe" "$@" "_?=$(winepath -w "$installed")"
  rm -rf "$installed"
}

com1_simulator
if [ -z "$setup" ]; then
  fail "installer built" "no kavo-control-*-win64-setup.exe in $win_build (make windows)"
  finish_stage
  return 0 2>/dev/null || exit
fi
note "the installer's component that shares the projector, in a fresh Wine prefix"
rm -rf "$work/shared-prefix"
use_prefix "$work/shared-prefix"
map_com1
drive=$WINEPREFIX/drive_c
programs=$drive/Program\ Files/KAVO/projectord
data=$drive/ProgramData/KAVO/projectord
config=$data/projector.conf
journal=$data/projector.log
local_data=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')")
installed=$local_data/Programs/kavo-control
entry=$local_data/KAVO/ports/COM1

# A bad port ends the installer before it installs anything.
for bad in 0 257 1x; do
  run_setup "$work/shared-bad.log" "$setup" /S "/COMPORT=$bad"
  if [ "$status" = 3 ] && grep -q "/COMPORT=$bad: not a port number from 1 to 256" "$work/shared-bad.log" &&
    [ ! -e "$installed" ] && [ ! -e "$programs" ] && ! sc_state; then
    pass "/COMPORT=$bad refused (exit 3, the reason said), nothing installed"
  else
    fail "/COMPORT=$bad refused (exit 3, the reason said), nothing installed" \
      "exit $status: $(cat "$work/shared-bad.log")"
  fi
done

# A configuration someone put there before the installer locked the folder.
mkdir -p "$data"
printf 'device = COM9\r\n' >"$config"
before=$(received)
run_setup "$work/shared-install.log" "$setup" /S /COMPORT=1
if [ "$status" = 0 ] && wait_for 30 service_is RUNNING; then
  pass "/S /COMPORT=1: the service $shared runs under the service control manager"
else
  fail "/S /COMPORT=1: the service $shared runs under the service control manager" \
    "exit $status; $sc_out"
fi
if [ -x "$programs/kavo-projectord.exe" ] && [ -f "$programs/Qt6Core.dll" ] &&
  [ -d "$programs/licenses" ] && [ ! -e "$programs/Qt6Widgets.dll" ] &&
  wine reg query "$event_source" /v EventMessageFile 2>/dev/null | grep -qF 'KAVO\projectord\kavo-projectord.exe'; then
  pass "the service's program and its DLLs alone in Program Files, its event source registered"
else
  fail "the service's program and its DLLs alone in Program Files, its event source registered" \
    "$(ls "$programs" 2>&1 | tr '\n' ' ')"
fi
if grep -qx $'device = COM1\r' "$config" &&
  grep -qx $'journal = C:/ProgramData/KAVO/projectord/projector.log\r' "$config" &&
  grep -q '^;pipe-users = S-1-5-32-545' "$config" && grep -q '^;pjlink = ' "$config" &&
  grep -q 'COM9' "$config.unknown"; then
  pass "its configuration: COM1, the journal beside it, the rest commented; one found there set aside"
else
  fail "its configuration: COM1, the journal beside it, the rest commented; one found there set aside" \
    "see $config"
fi
if [ "$(tr -d '\r' <"$entry" 2>/dev/null)" = "pipe:$shared" ]; then
  pass "the user's port folder entry COM1 names the service's pipe"
else
  fail "the user's port folder entry COM1 names the service's pipe" \
    "$(cat "$entry" 2>&1)"
fi

if wait_for 30 grep -q 'line open: COM1' "$journal" && wait_for 30 more_received_than "$before"; then
  pass "the service opens COM1 and sends to the projector there"
else
  fail "the service opens COM1 and sends to the projector there" "see $journal and $work/sim.log"
fi
share_port 1 "$installed/kavo-control.exe" "$installed/kavoctl.exe"

# Wine starts the services marked to start automatically with its own start,
# as Windows does at boot.
starts=$(journal_count 'serving on pipe:')
wineserver -k 2>/dev/null || true
wineserver -w
if wait_for 30 service_is RUNNING && wait_for 30 more_starts_than "$starts"; then
  pass "started again with Wine's own start, as at boot"
else
  fail "started again with Wine's own start, as at boot" "$sc_out; see $journal"
fi

pjlink_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'pjlink = 127.0.0.1:%s\r\n' "$pjlink_port" >>"$config"
starts=$(journal_count 'serving on pipe:')
env -u WINEPATH wine net stop "$shared" >"$work/shared-net.log" 2>&1 || true
env -u WINEPATH wine net start "$shared" >>"$work/shared-net.log" 2>&1 || true
if wait_for 30 service_is RUNNING && wait_for 30 more_starts_than "$starts"; then
  pass "net stop, net start: the service runs again on the changed configuration"
else
  fail "net stop, net start: the service runs again on the changed configuration" \
    "see $work/shared-net.log and $journal"
fi

# PJLink from Linux: the greeting, then the power's state.
reply=$(timeout 10 python3 - "$pjlink_port" <<'EOF' || true
import socket, sys
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5) as s:
    lines = s.makefile("r", encoding="latin-1", newline="\r")
    greeting = lines.readline().strip()
    s.sendall(b"%1POWR ?\r")
    print(greeting, lines.readline().strip())
EOF
)
if grep -qE '^PJLINK 0 %1POWR=[0-9]$' <<<"$reply"; then
  pass "PJLink from Linux on loopback: %1POWR ? answered ($reply)"
else
  fail "PJLink from Linux on loopback: %1POWR ? answered" "got \"$reply\"; see $journal"
fi
note "the web page is not in this build (no Qt HTTP Server and Qt WebSockets for Windows): not tried"

note "an upgrade: the installer again, /S /COMPORT=1"
stops=$(journal_count 'stopping: service stop')
starts=$(journal_count 'serving on pipe:')
run_setup "$work/shared-upgrade.log" "$setup" /S /COMPORT=1
if [ "$status" = 0 ] && [ "$(journal_count 'stopping: service stop')" -gt "$stops" ] &&
  wait_for 30 service_is RUNNING && wait_for 30 more_starts_than "$starts" &&
  grep -q "^pjlink = 127.0.0.1:$pjlink_port" "$config"; then
  pass "upgrade: the service stopped and started again, its configuration kept"
else
  fail "upgrade: the service stopped and started again, its configuration kept" \
    "exit $status; $sc_out; see $journal"
fi

note "the uninstaller, silently"
uninstall /S
if [ "$status" = 0 ] && wait_for 10 bash -c "! env -u WINEPATH wine sc query $shared >/dev/null 2>&1" &&
  [ ! -e "$programs" ] && [ ! -e "$entry" ] && [ -f "$config" ] && [ -f "$journal" ] &&
  ! wine reg query "$event_source" >/dev/null 2>&1; then
  pass "uninstalled: no service, program, event source or entry; configuration and journal kept"
else
  fail "uninstalled: no service, program, event source or entry; configuration and journal kept" \
    "exit $status; $(find "$programs" "$entry" 2>/dev/null | head -n 3 | tr '\n' ' ')"
fi

note "installed again, then uninstalled with /REMOVECONFIG"
run_setup "$work/shared-again.log" "$setup" /S /COMPORT=1
if [ "$status" = 0 ] && wait_for 30 service_is RUNNING &&
  grep -q "^pjlink = 127.0.0.1:$pjlink_port" "$config"; then
  pass "installed again: the kept configuration used"
else
  fail "installed again: the kept configuration used" "exit $status; $sc_out"
fi
uninstall /S /REMOVECONFIG
if [ "$status" = 0 ] && ! sc_state && [ ! -e "$data" ] && [ ! -e "$programs" ]; then
  pass "uninstalled with /REMOVECONFIG: configuration and journal gone too"
else
  fail "uninstalled with /REMOVECONFIG: configuration and journal gone too" \
    "exit $status; $(ls "$data" 2>&1 | tr '\n' ' ')"
fi

finish_stage
