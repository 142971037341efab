#!/usr/bin/env bash
# The Windows installer from the Windows build (`make windows` runs it): the
# zip's files installed into WINDOWS_BUILD/setup-files, the list of them for
# the uninstaller, the service's own files (WINDOWS_BUILD/service-files: the
# service's program, the DLLs it loads, its plugins and the licences) for the
# optional component that shares the projector, then NSIS (Debian's nsis cross-builds Windows installers)
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

# The service's files: its program and plugins, then each DLL of the folder
# that one of them imports, until none is added (Windows' own stay out).
service=$win_build/service-files
rm -rf "$service"
mkdir -p "$service"
[ -f "$files/kavo-projectord.exe" ] || { echo "no kavo-projectord.exe in $files" >&2; exit 1; }
cp "$files/kavo-projectord.exe" "$files/LICENSE.txt" "$files/README.md" "$service/"
cp -r "$files/licenses" "$service/"
[ ! -d "$files/tls" ] || cp -r "$files/tls" "$service/"
objdump=x86_64-w64-mingw32-objdump
added=1
while [ "$added" = 1 ]; do
  added=0
  for dll in $(find "$service" -iname '*.exe' -o -iname '*.dll' | xargs "$objdump" -p |
    sed -n 's/^\s*DLL Name: //p' | sort -u); do
    found=$(find "$files" -maxdepth 1 -iname "$dll" | head -n 1)
    if [ -n "$found" ] && [ ! -e "$service/$(basename "$found")" ]; then
      cp "$found" "$service/"
      added=1
    fi
  done
done
web=()
[ ! -f "$service/Qt6HttpServer.dll" ] || web=(-DWEB_PAGE)

setup=$win_build/kavo-control-$version-win64-setup.exe
makensis -V2 -DVERSION="$version" -DFILES="$files" -DFILELIST="$list" \
  -DSERVICE_FILES="$service" "${web[@]}" \
  -DLICENCE="$root/LICENSE" -DOUTFILE="$setup" "$root/packaging/kavo-control.nsi"
echo "$setup"
