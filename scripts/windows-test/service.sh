#!/usr/bin/env bash
# The Windows checks, stage 7: kavo-projectord.exe from the zip as a service
# of Wine's service control manager: created with sc, started with net start
# against the simulated projector served over TCP, a client's exchange through
# a pipe: entry answered, stopped with net stop (the journal file says why),
# deleted with sc, after which no service of that name is left. Its settings
# are in its configuration's place, %ProgramData%\KAVO\projectord\NAME.conf,
# found by its name alone; a service with a bad setting tells the manager.
#
#   scripts/windows-test/service.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

unpack_zip
service_exe=$(ls "$work"/unpacked/*/kavo-projectord.exe 2>/dev/null || true)
service_name=kavo-projectord-test

# sc ARGS...: Wine's sc, its words in $sc_out.
sc() { sc_out=$(env -u WINEPATH wine sc "$@" 2>&1 | tr -d '\r') || return 1; }

# service_control VERB STATE JOURNAL_WORDS CHECK: net VERB on the service,
# then the journal file has the words and sc query says STATE.
service_control() {
  env -u WINEPATH wine net "$1" "$service_name" >"$work/net-$1.log" 2>&1 || true
  if wait_for 30 grep -q "$3" "$journal" && sc query "$service_name" &&
    grep -q "$2" <<<"$sc_out"; then
    pass "$4"
  else
    fail "$4" "$sc_out; see $work/net-$1.log and $journal"
  fi
}

note "kavo-projectord.exe under the service control manager"
if [ -z "$service_exe" ]; then
  fail "kavo-projectord.exe in the zip" "the Windows build has no service"
elif listen "$work/sim-scm.log"; then
  # The configuration in its place, found by the service's name alone.
  config_folder=$(winepath -u 'C:\ProgramData')/KAVO/projectord
  journal=$config_folder/scm-test.log
  mkdir -p "$config_folder"
  rm -f "$journal"
  printf 'device = %s\r\njournal = %s\r\n' "$url" "$(winepath -w "$journal")" \
    >"$config_folder/scm-test.conf"
  sc delete "$service_name" || true
  bin="\"$(winepath -w "$service_exe")\" --name scm-test"
  if sc create "$service_name" binPath= "$bin" start= demand; then
    pass "sc create $service_name"
  else
    fail "sc create $service_name" "$sc_out"
  fi
  service_control start RUNNING 'serving on pipe:' \
    "net start: the service runs and serves on its pipe"
  port_entry 6 pipe:kavo-projectord-scm-test
  kavoctl send --port 6 C00
  port_entry 6
  if [ "$status" = 0 ] && grep -q $'^TxD: C 0 0  \\[CR\\] \tRxD:  \\[ACK\\] $' <<<"$out" &&
    wait_for 10 grep -qE $'\tpipe:[^\t]*\\([0-9]+\\)\tTxD: C 0 0' "$journal"; then
    pass "kavoctl.exe through the service's pipe: answered and journaled"
  else
    fail "kavoctl.exe through the service's pipe: answered and journaled" "exit $status: $out $err"
  fi
  service_control stop STOPPED 'stopping: service stop' \
    "net stop: the service stops cleanly, the journal says why"
  sc delete "$service_name" || true

  # A bad setting: the manager hears of it (the service's own exit code)
  # rather than waiting for a service that never reports.
  sc create "$service_name-bad" binPath= "\"$(winepath -w "$service_exe")\" --baud 1234" start= demand || true
  env -u WINEPATH wine net start "$service_name-bad" >"$work/net-bad.log" 2>&1 || true
  bad_stopped() { sc query "$service_name-bad" && grep -q STOPPED <<<"$sc_out"; }
  if wait_for 30 bad_stopped && grep -qE 'SERVICE_EXIT_CODE *: *1\b' <<<"$sc_out"; then
    pass "a bad setting: the service stops with its exit code 1, told to the manager"
  else
    fail "a bad setting: the service stops with its exit code 1, told to the manager" "$sc_out"
  fi
  sc delete "$service_name-bad" || true
  if ! sc query "$service_name"; then
    pass "sc delete: no service left"
  else
    fail "sc delete: no service left" "$sc_out"
  fi
else
  fail "simulator listening on TCP" "see $work/sim-scm.log"
fi

finish_stage
