#!/usr/bin/env bash
# Fetches Debian's newest source package of one upstream version and unpacks
# it into a folder, through a private apt configuration with a deb-src entry,
# so the system's own sources stay as they are (its state in apt/ beside
# FOLDER). apt checks the files against the signed release files.
#
#   scripts/qt-windows/debian-source.sh PACKAGE VERSION FOLDER [VENDOR]
#
# FOLDER is emptied first; the source ends up in FOLDER/PACKAGE-<version>, and
# FOLDER/SHA256 holds the SHA-256 of the upstream tarball (the .orig file),
# which is printed too. Where the registry serves the signed source
# description but not the tarballs, the upstream tarball is taken from the
# folder VENDOR under its Debian name (PACKAGE_VERSION.orig.tar.xz) once its
# SHA-256 matches the description's, and unpacked without Debian's changes.
set -euo pipefail

[ $# = 3 ] || [ $# = 4 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
package=$1
upstream=$2
folder=$3
vendor=${4:-}

apt_dir=$(dirname "$folder")/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
rm -rf "$folder"
mkdir -p "$folder"
cat >"$apt_dir/sources.list" <<'LIST'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
LIST
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o Debug::NoLocking=1)
apt-get "${apt_opts[@]}" update -qq
version=$(apt-cache "${apt_opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' |
          grep -E "^([0-9]+:)?$upstream[+-]" | sort -V | tail -n 1)
[ -n "$version" ] || { echo "No $package $upstream source found" >&2; exit 1; }
echo "$package $version"
if ! (cd "$folder" && apt-get "${apt_opts[@]}" source -qq "$package=$version"); then
  dsc=$(find "$folder" -maxdepth 1 -name "${package}_*.dsc" | head -n 1)
  [ -n "$dsc" ] || exit 1
  # The description's own lines: " SHA256 SIZE NAME" under Checksums-Sha256.
  read -r expected _ name < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | grep '\.orig\.tar\.')
  if [ -z "$vendor" ] || [ ! -f "$vendor/$name" ]; then
    echo "$package $version: the registry serves no tarball and ${vendor:-no vendor folder} has no $name" >&2
    exit 1
  fi
  actual=$(sha256sum "$vendor/$name" | cut -d' ' -f1)
  if [ "$actual" != "$expected" ]; then
    echo "SHA-256 mismatch for $vendor/$name: Debian's $package $version says $expected, got $actual" >&2
    exit 1
  fi
  cp "$vendor/$name" "$folder/"
  mkdir "$folder/$package-$upstream"
  tar -xf "$folder/$name" -C "$folder/$package-$upstream" --strip-components=1
  echo "$package $version: upstream tarball from $vendor, as Debian's source description lists it"
fi
orig=$(find "$folder" -maxdepth 1 -name "${package}_*.orig.tar.*" ! -name '*.asc' | head -n 1)
[ -n "$orig" ] || { echo "No upstream tarball in $package $version" >&2; exit 1; }
sha256sum "$orig" | cut -d' ' -f1 >"$folder/SHA256"
echo "SHA-256 of $(basename "$orig"): $(cat "$folder/SHA256")"
