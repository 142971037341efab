#!/usr/bin/env bash
# Fetches Debian's newest qt6-base source package of one Qt version and
# unpacks it into a folder (the Qt Base source for the Windows build), through
# a private apt configuration with a deb-src entry, so the system's own
# sources stay as they are (its state in apt/ beside FOLDER).
#
#   scripts/qt-windows/qtbase-source.sh QT_VERSION FOLDER
#
# FOLDER is emptied first; the source ends up in FOLDER/qt6-base-<version>.
set -euo pipefail

[ $# = 2 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
qt_version=$1
folder=$2

apt_dir=$(dirname "$folder")/apt
rm -rf "$apt_dir" "$folder"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$folder"
cat >"$apt_dir/sources.list" <<'LIST'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
LIST
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o Debug::NoLocking=1)
apt-get "${apt_opts[@]}" update -qq
version=$(apt-cache "${apt_opts[@]}" showsrc qt6-base | sed -n 's/^Version: //p' |
          grep "^$qt_version+" | sort -V | tail -n 1)
[ -n "$version" ] || { echo "No qt6-base $qt_version source found" >&2; exit 1; }
echo "qt6-base $version"
(cd "$folder" && apt-get "${apt_opts[@]}" source -qq "qt6-base=$version")
