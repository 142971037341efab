#!/usr/bin/env bash
# The Qt Serial Port source for the Windows build: a .tar.xz, checked against
# its SHA-256, or an unpacked folder.
#
#   scripts/qt-windows/qtserialport-source.sh checksum SOURCE
#       prints the source's SHA-256: a tarball's own (after the check), a
#       folder's over the names and contents of its files
#   scripts/qt-windows/qtserialport-source.sh unpack SOURCE FOLDER
#       the checked source into FOLDER (emptied first)
#
# A tarball's expected SHA-256 is $QTSERIALPORT_SHA256, or else its line in a
# SHA256SUMS next to it.
set -euo pipefail

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
mode=$1
source=$2

# Prints the SHA-256 of the tarball SOURCE once it matches the expected one.
checked_tarball_sum() {
  local expected=${QTSERIALPORT_SHA256:-} sums actual
  sums=$(dirname "$source")/SHA256SUMS
  if [ -z "$expected" ] && [ -f "$sums" ]; then
    expected=$(awk -v f="$(basename "$source")" '$2 == f || $2 == "*" f { print $1 }' "$sums")
  fi
  actual=$(sha256sum "$source" | cut -d' ' -f1)
  if [ -z "$expected" ]; then
    echo "No checksum known for $source (set QTSERIALPORT_SHA256); its SHA-256 is $actual" >&2
    exit 1
  fi
  if [ "$actual" != "$expected" ]; then
    echo "SHA-256 mismatch for $source: expected $expected, got $actual" >&2
    exit 1
  fi
  echo "$actual"
}

checksum() {
  if [ -d "$source" ]; then
    (cd "$source" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum) |
      sha256sum | cut -d' ' -f1
  elif [ -f "$source" ]; then
    checked_tarball_sum
  else
    echo "Qt Serial Port source not found: $source (set QTSERIALPORT_SRC)" >&2
    exit 1
  fi
}

case $mode in
checksum)
  [ $# = 2 ] || usage
  checksum
  ;;
unpack)
  [ $# = 3 ] || usage
  folder=$3
  rm -rf "$folder"
  mkdir -p "$folder"
  if [ -d "$source" ]; then
    checksum >/dev/null
    cp -a "$source/." "$folder/"
  else
    sum=$(checksum)
    echo "SHA-256 verified: $sum"
    tar -xJf "$source" -C "$folder" --strip-components=1
  fi
  [ -f "$folder/CMakeLists.txt" ] || { echo "Not a Qt Serial Port source: $source" >&2; exit 1; }
  ;;
*) usage ;;
esac
