#!/usr/bin/env bash
# Copies the licence texts shipped with the Windows programs into the Qt
# prefix: Qt's own and those of the third-party code that the Qt libraries
# carry inside them. PREFIX/licenses is written anew.
#
#   scripts/qt-windows/copy-licences.sh QTBASE_SOURCE QTSERIALPORT_SOURCE PREFIX
set -euo pipefail

[ $# = 3 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
qtbase_src=$1 serial_src=$2 prefix=$3

rm -rf "$prefix/licenses"
mkdir -p "$prefix/licenses/qtbase" "$prefix/licenses/qtserialport"
cp "$qtbase_src"/LICENSES/*.txt "$prefix/licenses/qtbase/"
cp "$serial_src"/LICENSES/*.txt "$prefix/licenses/qtserialport/"
find "$qtbase_src/src/3rdparty" -maxdepth 2 -type f \
     \( -iname 'LICENSE*' -o -iname 'COPYING*' -o -iname '*LICENSE*.txt' \) |
  while read -r file; do
    dir=$prefix/licenses/3rdparty/$(basename "$(dirname "$file")")
    mkdir -p "$dir"
    cp "$file" "$dir/"
  done
