#!/usr/bin/env bash
# The Windows checks, stage 6: kavo-projectord.exe from the zip, where the
# build has it, run in the foreground: its version and help, an option not
# available on Windows refused, an alert told to a program and a schedule's
# state kept beside its file, and the simulated projector served over TCP
# (socket://) shared with kavoctl.exe over the service's own TCP port, the
# exchange in the service's journal file; then a port folder entry naming the
# service's pipe (pipe:NAME) as COM5, through which the zip's panel and
# kavoctl.exe send at the same time, and the journal file naming both.
#
#   scripts/windows-test/projectord.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

unpack_zip

# projectord ARGS...: kavo-projectord.exe from the zip, as run_windows runs it.
projectord() { run_windows "$projectord_exe" "$@"; }

projectord_exe=$(ls "$work"/unpacked/*/kavo-projectord.exe 2>/dev/null || true)
if [ -z "$projectord_exe" ]; then
  fail "kavo-projectord.exe in the zip" "the Windows build has no service"
  finish_stage
  return 0 2>/dev/null || exit
fi
note "kavo-projectord.exe in the foreground"
projectord --version
if [ "$status" = 0 ] && [ "$out" = "kavo-projectord $version" ]; then
  pass "kavo-projectord.exe --version"
else
  fail "kavo-projectord.exe --version" "exit $status: $out $err"
fi
projectord --help
if [ "$status" = 0 ] && grep -qF '\\.\pipe\kavo-projectord-NAME' <<<"$out"; then
  pass "kavo-projectord.exe --help: the clients' endpoint is a named pipe"
else
  fail "kavo-projectord.exe --help: the clients' endpoint is a named pipe" "exit $status: $err"
fi
projectord --device socket://127.0.0.1:1 --alert-mail someone@example.org
if [ "$status" = 1 ] && grep -q 'not available on Windows yet' <<<"$err"; then
  pass "kavo-projectord.exe --alert-mail: refused as not available on Windows yet"
else
  fail "kavo-projectord.exe --alert-mail: refused as not available on Windows yet" \
    "exit $status: $out $err"
fi
projectord --device socket://127.0.0.1:1 --pipe-users kavo-nobody-here
if [ "$status" = 1 ] && grep -qF -- '--pipe-users takes an account or group this PC knows, or a SID (this PC knows no account or group "kavo-nobody-here")' <<<"$err"; then
  pass "kavo-projectord.exe --pipe-users: an unknown account is refused, naming the option"
else
  fail "kavo-projectord.exe --pipe-users: an unknown account is refused, naming the option" \
    "exit $status: $out $err"
fi
# A journal in a folder every user may add files to is refused, as on
# Linux: Wine gives a folder of mode 0777 a list that lets Everyone write.
mkdir -p "$work/open-folder"
chmod 777 "$work/open-folder"
rm -f "$work/open-folder/x.log"
# Refused at once; taken, it would go on trying its line, which the time limit ends.
run_limit=60 projectord --device socket://127.0.0.1:1 \
  --journal "$(winepath -w "$work/open-folder")\\x.log"
if [ "$status" = 1 ] && grep -q 'every user of this PC may add files to it' <<<"$err" &&
  [ ! -e "$work/open-folder/x.log" ]; then
  pass "kavo-projectord.exe: a journal in a folder every user may add files to is refused"
else
  fail "kavo-projectord.exe: a journal in a folder every user may add files to is refused" \
    "exit $status: $out $err"
fi

# The schedule and the alerts on Windows: a line that cannot be opened is an
# alert after a second, told to a program (kavoctl.exe, which answers no
# arguments with a complaint on standard error and exit status 1, as the
# journal then says); the schedule's state is kept beside its file.
alerts_journal=$work/alerts.journal
rm -f "$alerts_journal" "$work/lectern.schedule" "$work/lectern.schedule.state"
printf 'mon-sun 03:00 power off\r\n' >"$work/lectern.schedule"
env -u WINEPATH wine "$projectord_exe" --name alerts --device socket://127.0.0.1:1 \
  --line-alert-after 1 --alert-command "$(winepath -w "$kavoctl_exe")" \
  --schedule "$(winepath -w "$work/lectern.schedule")" \
  --journal "$(winepath -w "$alerts_journal")" >"$work/alerts-run.log" 2>&1 &
alerts_pid=$!
tcp_pids+=("$alerts_pid")
if wait_for 30 grep -q 'alert command .*kavoctl\.exe for line_lost raised: exit status 1; it said: kavoctl: no command given' "$alerts_journal" &&
  grep -q $'\tschedule\t1 entry, 0 skips from .*lectern\.schedule' "$alerts_journal" &&
  [ -s "$work/lectern.schedule.state" ]; then
  pass "the schedule (its state beside it) and an alert told to a program on Windows"
else
  fail "the schedule (its state beside it) and an alert told to a program on Windows" \
    "$(tail -n 5 "$alerts_journal" 2>/dev/null | tr '\n' ' ')"
fi
kill "$alerts_pid" 2>/dev/null || true

# share_through_pipe_entry: COM5 made the service's pipe in the user's port
# folder, shared by the zip's panel (whichever panel an earlier stage
# installed and removed) and kavoctl.exe.
share_through_pipe_entry() {
  port_entry 5 pipe:kavo-projectord-projector
  share_port 5 "$(ls "$work"/unpacked/*/kavo-control.exe)" "$kavoctl_exe"
  port_entry 5
}

if listen "$work/sim-service.log"; then
  journal=$work/projectord.journal
  rm -f "$journal"
  : >"$work/projectord-run.log"
  # A PJLink password file every user may read: Wine gives a file of mode
  # 0644 an access control list that lets Everyone read it.
  printf 'lectern7\n' >"$work/pjlink.password"
  chmod 644 "$work/pjlink.password"
  env -u WINEPATH wine "$projectord_exe" --device "$url" --listen 127.0.0.1:0 \
    --pjlink 127.0.0.1:0 --pjlink-password-file "$(winepath -w "$work/pjlink.password")" \
    --journal "$(winepath -w "$journal")" >"$work/projectord-run.log" 2>&1 &
  service_pid=$!
  tcp_pids+=("$service_pid")
  if wait_for 30 grep -q 'serving on tcp:127\.0\.0\.1:[0-9]' "$work/projectord-run.log"; then
    port=$(grep -o -m 1 'serving on tcp:127\.0\.0\.1:[0-9]*' "$work/projectord-run.log")
    if grep -qF 'serving on pipe:\\.\pipe\kavo-projectord-projector' "$work/projectord-run.log"; then
      pass "kavo-projectord.exe serves on its named pipe"
    else
      fail "kavo-projectord.exe serves on its named pipe" "see $work/projectord-run.log"
    fi
    if wait_for 10 grep -qF 'pjlink.password can be read by other users of this PC' \
      "$work/projectord-run.log"; then
      pass "a PJLink password file that every user may read is warned of"
    else
      fail "a PJLink password file that every user may read is warned of" \
        "see $work/projectord-run.log"
    fi
    projectord --device "$url"
    if grep -qF 'the pipe is open to BUILTIN\Users and the administrators' \
      "$work/projectord-run.log" && [ "$status" = 1 ] &&
      grep -qF 'another program serves that pipe already' <<<"$err"; then
      pass "the pipe is open to the PC's users; a second kavo-projectord.exe for it does not start"
    else
      fail "the pipe is open to the PC's users; a second kavo-projectord.exe for it does not start" \
        "exit $status: $err; see $work/projectord-run.log"
    fi
    kavoctl send --device "socket://127.0.0.1:${port##*:}" C00
    if [ "$status" = 0 ] && grep -q $'^TxD: C 0 0  \[CR\] \tRxD:  \[ACK\] $' <<<"$out"; then
      pass "kavoctl.exe through kavo-projectord.exe: the reply read"
    else
      fail "kavoctl.exe through kavo-projectord.exe: the reply read" "exit $status: $out $err"
    fi
    if wait_for 10 grep -q 'tcp:127\.0\.0\.1:[0-9]*.*connected' "$journal"; then
      pass "kavo-projectord.exe's journal file names the client"
    else
      fail "kavo-projectord.exe's journal file names the client" "see $journal"
    fi
    share_through_pipe_entry
  else
    fail "kavo-projectord.exe serving the simulator" "see $work/projectord-run.log"
  fi
  kill "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
else
  fail "simulator listening on TCP" "see $work/sim-service.log"
fi

finish_stage
