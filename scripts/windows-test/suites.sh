#!/usr/bin/env bash
# The Windows checks, stage 1: the test suites built as .exe (those that need
# no pseudo-terminal), run by ctest under Wine with the DLLs from the Qt and
# MinGW folders.
#
#   scripts/windows-test/suites.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well. KAVO_WINE_SUITES=0 leaves the suites out.
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

qt=$("$root/scripts/build-qt-windows.sh" --prefix)
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
dll_path="$(winepath -w "$qt/bin");$(winepath -w "$gcc_dir");$(winepath -w /usr/x86_64-w64-mingw32/lib)"
if [ "${KAVO_WINE_SUITES:-1}" = 0 ]; then
  note "test suites left out"
elif note "test suites under Wine" && WINEPATH=$dll_path QT_QPA_PLATFORM=offscreen \
  ctest --test-dir "$win_build" --output-on-failure -j2 >"$work/ctest.log" 2>&1; then
  pass "test suites ($(grep -o '[0-9]* tests failed out of [0-9]*\|100% tests passed, 0 tests failed out of [0-9]*' "$work/ctest.log"))"
else
  cat "$work/ctest.log"
  fail "test suites" "see $work/ctest.log"
fi

finish_stage
