#!/usr/bin/env bash
# The Windows checks, stage 2: the zip unpacked into a fresh folder and run
# from there with nothing but its own DLLs, against the simulated projector
# of the Linux build on COM1. With nothing in the registry the port dialog
# comes up; COM1 and OK store the choice under HKCU\Software\KAVO\StartUP,
# and "C00" from the panel reaches the projector, which answers (its log
# shows both; Wine 8 never lets Qt's serial port read, so the reply is not
# checked on the panel). It leaves COM1 stored for the next stage.
#
#   scripts/windows-test/port-dialog.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

unpack_zip
com1_simulator

note "first start: empty registry, the port dialog"
wine reg delete 'HKCU\Software\KAVO' /f >/dev/null 2>&1 || true
start_app "$work/first-start.log"
if wait_for 30 shown "$dialog_title"; then
  pass "port dialog shown with nothing stored"
  dialog=$(window_of "$dialog_title")
  click "$dialog" 48 225 # the "OTHER" box (Text1 in Frame2), "0" selected
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 50 1
  before=$(exchanges)
  click "$dialog" 160 108 # OK (Command1)
  if wait_for 20 shown "$panel_title"; then
    pass "OK opens COM1 and shows the panel"
    panel=$(window_of "$panel_title")
    query=$(wine reg query 'HKCU\Software\KAVO\StartUP' 2>/dev/null | tr -d '\r')
    if grep -q 'ComPort.*REG_SZ.*1$' <<<"$query" && grep -q 'BaudRate.*REG_SZ.*192$' <<<"$query"; then
      pass "choice stored under HKCU\\Software\\KAVO\\StartUP"
    else
      fail "choice stored under HKCU\\Software\\KAVO\\StartUP" "$query"
    fi
    click_button "$panel" 17 # POWER ON
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
stop_app

finish_stage
