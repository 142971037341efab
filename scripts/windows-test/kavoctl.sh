#!/usr/bin/env bash
# The Windows checks, stage 4: kavoctl.exe from the zip against the simulated
# projector served over TCP (socket://), where Wine does deliver the replies:
# the whole exchange, the status reads, and the exit codes for a refused
# connection and for no answer.
#
#   scripts/windows-test/kavoctl.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

unpack_zip

note "kavoctl.exe over the network"
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

finish_stage
