#!/usr/bin/env bash
# Copies the licence texts shipped with the Windows programs into the prefix:
# those of each library built there (a Qt module's LICENSES folder, another
# library's LICENSE, COPYING and their like) and of the third-party code that
# the Qt libraries carry inside them. PREFIX/licenses is written anew, a
# folder for each source named after it without its version.
#
#   scripts/qt-windows/copy-licences.sh PREFIX SOURCE...
set -euo pipefail

[ $# -ge 2 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
prefix=$1
shift

rm -rf "$prefix/licenses"
for source in "$@"; do
  name=$(basename "$source" | sed -E 's/-[0-9][^-]*$//; s/^qt6-/qt/')
  [ "$(basename "$source")" != qtserialport-source ] || name=qtserialport
  dest=$prefix/licenses/$name
  mkdir -p "$dest"
  if [ -d "$source/LICENSES" ]; then
    cp "$source"/LICENSES/*.txt "$dest/"
  fi
  find "$source" -maxdepth 1 -type f \( -iname 'LICENSE*' -o -iname 'COPYING*' -o -iname 'edl-*' \
       -o -iname 'epl-*' \) -exec cp {} "$dest/" \;
  [ -n "$(ls -A "$dest")" ] || { echo "No licence text found in $source" >&2; exit 1; }
  [ -d "$source/src/3rdparty" ] || continue
  find "$source/src/3rdparty" -maxdepth 2 -type f \
       \( -iname 'LICENSE*' -o -iname 'COPYING*' -o -iname '*LICENSE*.txt' \) |
    while read -r file; do
      dir=$prefix/licenses/3rdparty/$(basename "$(dirname "$file")")
      mkdir -p "$dir"
      cp "$file" "$dir/"
    done
done
