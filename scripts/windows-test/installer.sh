#!/usr/bin/env bash
# The Windows checks, stage 5: the installer. In a Wine prefix of its own,
# kavo-control-<version>-win64-setup.exe /S installs for the user without a
# question; the installed panel passes the checks of stages 2 and 3 (the port
# dialog on an empty registry, a start with COM1 stored); its uninstaller /S
# removes the program files, the Start menu entry and the entry in the list of
# programs, and the settings under HKCU\Software\KAVO stay.
#
#   scripts/windows-test/installer.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

here=$(dirname "${BASH_SOURCE[0]}")
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kavo-control'
setup=$(ls -t "$win_build"/kavo-control-*-win64-setup.exe 2>/dev/null | head -n 1)
com1_simulator
if [ -z "$setup" ]; then
  fail "installer built" "no kavo-control-*-win64-setup.exe in $win_build (make windows)"
else
  note "the installer, silently, in a fresh Wine prefix"
  rm -rf "$work/install-prefix"
  use_prefix "$work/install-prefix"
  map_com1
  wine "$setup" /S >"$work/install.log" 2>&1 || true
  wineserver -w
  programs=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')")/Programs
  menu=$(winepath -u "$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')")
  menu="$menu/Microsoft/Windows/Start Menu/Programs/kavo-control"
  installed=$programs/kavo-control
  if [ -x "$installed/kavo-control.exe" ] && [ -f "$installed/platforms/qwindows.dll" ] &&
    [ -f "$menu/kavo-control.lnk" ]; then
    pass "installed for the user into %LOCALAPPDATA%\\Programs, with a Start menu entry"
  else
    fail "installed for the user into %LOCALAPPDATA%\\Programs, with a Start menu entry" \
      "see $work/install.log; $(ls "$installed" "$menu" 2>&1 | tr '\n' ' ')"
  fi
  if wine reg query "$uninstall_key" /v UninstallString 2>/dev/null | grep -q 'uninstall.exe'; then
    pass "in the user's list of programs"
  else
    fail "in the user's list of programs"
  fi

  # The installed panel, through the same checks as the unpacked zip's.
  exe=$installed/kavo-control.exe
  # shellcheck source=port-dialog.sh
  source "$here/port-dialog.sh"
  KAVO_WINE_STARTS=1 source "$here/starts.sh"

  note "the uninstaller, silently"
  wine "$installed/uninstall.exe" /S >"$work/uninstall.log" 2>&1 || true
  wineserver -w
  if [ ! -e "$installed" ] && [ ! -e "$menu" ]; then
    pass "uninstalled: program files and Start menu entry gone"
  else
    fail "uninstalled: program files and Start menu entry gone" \
      "$(find "$installed" "$menu" 2>/dev/null | head -n 5 | tr '\n' ' ')"
  fi
  if wine reg query "$uninstall_key" >/dev/null 2>&1; then
    fail "uninstalled: gone from the list of programs"
  else
    pass "uninstalled: gone from the list of programs"
  fi
  if wine reg query 'HKCU\Software\KAVO\StartUP' 2>/dev/null | tr -d '\r' | grep -q 'ComPort.*REG_SZ.*1$'; then
    pass "the settings stayed"
  else
    fail "the settings stayed"
  fi
fi

finish_stage
