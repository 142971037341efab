#!/usr/bin/env bash
# The Windows installer from the Windows build (`make windows` runs it): the
# zip's files installed into WINDOWS_BUILD/setup-files, the list of them for
# the uninstaller, then NSIS (Debian's nsis cross-builds Windows installers)
# with packaging/kavo-control.nsi. The result:
# WINDOWS_BUILD/kavo-control-<version>-win64-setup.exe.
#
#   scripts/build-windows-installer.sh [WINDOWS_BUILD]   (build-win)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
win_build=$(cd "${1:-$root/build-win}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")
[ -n "$version" ] || { echo "no version in $win_build/CMakeCache.txt (make windows)" >&2; exit 1; }

files=$win_build/setup-files
rm -rf "$files"
cmake --install "$win_build" --prefix "$files" >/dev/null
# The uninstaller removes these and nothing else: each file, then each folder
# (the deepest first), as Windows paths below the installation folder.
list=$win_build/setup-files.nsh
(
  cd "$files"
  find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
  find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
) >"$list"

setup=$win_build/kavo-control-$version-win64-setup.exe
makensis -V2 -DVERSION="$version" -DFILES="$files" -DFILELIST="$list" \
  -DLICENCE="$root/LICENSE" -DOUTFILE="$setup" "$root/packaging/kavo-control.nsi"
echo "$setup"
