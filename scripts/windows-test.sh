#!/usr/bin/env bash
# The Windows build under Wine on a virtual display (`make windows-test`): the
# stages in scripts/windows-test/, in order, on one display, one Wine prefix
# and one count, with what they share from scripts/windows-test/wine-env.sh:
#   1. suites.sh: the test suites built as .exe (those that need no
#      pseudo-terminal), by ctest;
#   2. port-dialog.sh: the zip unpacked into a fresh folder and run from there
#      with nothing but its own DLLs, against the simulated projector on COM1;
#      on an empty registry the port dialog, the stored choice, "C00";
#   3. starts.sh: starts with COM1 stored, several in a row: the panel shows at
#      once, in its colours, exchanges a command, and "END" ends it;
#   4. kavoctl.sh: kavoctl.exe from the zip against the simulated projector
#      served over TCP: the exchange, the status reads and the exit codes;
#   5. installer.sh: the installer, silently, in a fresh prefix: the installed
#      panel through the checks of stages 2 and 3, then the uninstaller, which
#      leaves the settings;
#   6. projectord.sh: kavo-projectord.exe from the zip in the foreground,
#      sharing the simulated projector served over TCP with kavoctl.exe, then
#      with the zip's panel and kavoctl.exe at once through a pipe: entry;
#   7. service.sh: kavo-projectord.exe under Wine's service control manager:
#      sc create, net start, a client through the pipe, net stop, sc delete;
#   8. shared-service.sh: the installer's component that shares the projector:
#      /COMPORT= refused when bad; /S /COMPORT=1 installs and starts the
#      service on COM1, the installed panel and kavoctl.exe share it through
#      the pipe entry, PJLink from Linux, an upgrade, the uninstaller with and
#      without /REMOVECONFIG.
#
#   scripts/windows-test.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Environment: KAVO_WINE_STARTS (starts with COM1 stored, default 3),
# KAVO_WINE_SUITES=0 (leave out the test suites),
# KAVO_WINE_SCREENSHOT (write the panel as Wine shows it to this PNG),
# WINEDEBUG (default -all; e.g. +comm,+file,+sync to trace the port).
# Ends with a line "N passed, N failed"; the exit status is 0 only without failures.
set -euo pipefail

stages=$(cd "$(dirname "${BASH_SOURCE[0]}")/windows-test" && pwd)
# shellcheck source=windows-test/wine-env.sh
source "$stages/wine-env.sh" "$@"
# shellcheck source=windows-test/suites.sh
source "$stages/suites.sh"
# shellcheck source=windows-test/port-dialog.sh
source "$stages/port-dialog.sh"
# shellcheck source=windows-test/starts.sh
source "$stages/starts.sh"
# shellcheck source=windows-test/kavoctl.sh
source "$stages/kavoctl.sh"
# shellcheck source=windows-test/installer.sh
source "$stages/installer.sh"
# shellcheck source=windows-test/projectord.sh
source "$stages/projectord.sh"
# shellcheck source=windows-test/service.sh
source "$stages/service.sh"
# shellcheck source=windows-test/shared-service.sh
source "$stages/shared-service.sh"
summary
