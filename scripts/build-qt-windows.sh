#!/usr/bin/env bash
# Builds Qt 6.4.2 (Base and Serial Port) for 64-bit Windows with MinGW-w64,
# once, into a cache folder outside the work tree. Every step leaves a mark
# when it is done, so a second run does nothing and an interrupted run goes on
# where it stopped.
#
#   scripts/build-qt-windows.sh            build when needed, then print the prefix
#   scripts/build-qt-windows.sh --prefix   only print the prefix
#
# Environment:
#   KAVO_CACHE        cache folder (default ~/.cache/kavo-control)
#   QTSERIALPORT_SRC  Qt Serial Port 6.4.2 source: a .tar.xz or an unpacked folder
#                     (default: the vendored tarball in ../shared/vendor)
#   QTSERIALPORT_SHA256  expected SHA-256 of a tarball given in QTSERIALPORT_SRC
#                     (a tarball next to a SHA256SUMS that lists it is checked
#                     against that list)
#   JOBS              parallel build jobs (default 2)
set -euo pipefail

QT_VERSION=6.4.2
TRIPLET=x86_64-w64-mingw32
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KAVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavo-control}
prefix=$cache/qt-$QT_VERSION-win64
work=$cache/qt-$QT_VERSION-win64-build
jobs=${JOBS:-2}

if [ "${1:-}" = --prefix ]; then
  echo "$prefix"
  exit 0
fi
if [ $# -gt 0 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi

step() { echo "==> [$(date +%H:%M:%S)] $*"; }
done_mark() { [ -e "$work/.done-$1" ]; }
mark_done() { touch "$work/.done-$1"; }
# build_and_install MODULE: builds $work/MODULE-build and installs it into the
# prefix, once.
build_and_install() {
  done_mark "$1-install" && return 0
  cmake --build "$work/$1-build" -j"$jobs"
  cmake --install "$work/$1-build"
  mark_done "$1-install"
}

# Raised whenever the set of Qt modules or features below changes: a cache
# built with another set is configured and built again, from where it is.
build_revision=2 # 2: with Qt Network (ports on network serial servers)

if [ -e "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$build_revision" ]; then
  step "Qt $QT_VERSION for Windows is ready in $prefix"
  exit 0
fi
mkdir -p "$work"
if [ -e "$prefix/.complete" ]; then
  step "Qt $QT_VERSION for Windows was built with other modules: configuring and building again"
  rm -f "$prefix/.complete" "$work"/.done-qtbase-configure "$work"/.done-qtbase-install \
    "$work"/.done-qtserialport-configure "$work"/.done-qtserialport-install
fi

step "1/8 build tools (MinGW-w64, Ninja, dpkg-dev)"
KAVO_WITH_WINDOWS=1 "$here/scripts/ensure-deps.sh"

# The toolchain file goes into the cache: the installed Qt remembers its path,
# and the work tree it came from may move or go away.
mkdir -p "$prefix"
cp "$here/cmake/mingw-w64-x86_64.cmake" "$prefix/mingw-w64-x86_64.cmake"
toolchain=$prefix/mingw-w64-x86_64.cmake

step "2/8 Qt Base source (Debian source package qt6-base $QT_VERSION)"
if ! done_mark qtbase-source; then
  # A private apt configuration with a deb-src entry, so the system's own
  # sources stay as they are.
  apt_dir=$work/apt
  rm -rf "$apt_dir" "$work/qtbase-source"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/qtbase-source"
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
            grep "^$QT_VERSION+" | sort -V | tail -n 1)
  [ -n "$version" ] || { echo "No qt6-base $QT_VERSION source found" >&2; exit 1; }
  echo "qt6-base $version"
  (cd "$work/qtbase-source" && apt-get "${apt_opts[@]}" source -qq "qt6-base=$version")
  mark_done qtbase-source
fi
qtbase_src=$(find "$work/qtbase-source" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -d "$qtbase_src" ] || { echo "Qt Base source missing in $work/qtbase-source" >&2; exit 1; }

step "3/8 Qt Serial Port source"
serial_src_in=${QTSERIALPORT_SRC:-$here/../shared/vendor/qtserialport-everywhere-src-$QT_VERSION.tar.xz}
serial_src=$work/qtserialport-source
if ! done_mark qtserialport-source; then
  rm -rf "$serial_src"
  mkdir -p "$serial_src"
  if [ -d "$serial_src_in" ]; then
    cp -a "$serial_src_in/." "$serial_src/"
  elif [ -f "$serial_src_in" ]; then
    expected=${QTSERIALPORT_SHA256:-}
    sums=$(dirname "$serial_src_in")/SHA256SUMS
    if [ -z "$expected" ] && [ -f "$sums" ]; then
      expected=$(awk -v f="$(basename "$serial_src_in")" '$2 == f || $2 == "*" f { print $1 }' "$sums")
    fi
    actual=$(sha256sum "$serial_src_in" | cut -d' ' -f1)
    if [ -z "$expected" ]; then
      echo "No checksum known for $serial_src_in (set QTSERIALPORT_SHA256); its SHA-256 is $actual" >&2
      exit 1
    fi
    if [ "$actual" != "$expected" ]; then
      echo "SHA-256 mismatch for $serial_src_in: expected $expected, got $actual" >&2
      exit 1
    fi
    echo "SHA-256 verified: $actual"
    tar -xJf "$serial_src_in" -C "$serial_src" --strip-components=1
  else
    echo "Qt Serial Port source not found: $serial_src_in (set QTSERIALPORT_SRC)" >&2
    exit 1
  fi
  [ -f "$serial_src/CMakeLists.txt" ] || { echo "Not a Qt Serial Port source: $serial_src_in" >&2; exit 1; }
  mark_done qtserialport-source
fi

step "4/8 configure Qt Base"
if ! done_mark qtbase-configure; then
  # Only what the programs use: Core, Gui, Widgets, Network, Test and the
  # Windows platform and style plugins. An existing build folder is
  # configured again in place, so that only what changed is built.
  cmake -G Ninja -S "$qtbase_src" -B "$work/qtbase-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=ON -DFEATURE_dbus=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dynamicgl=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_testlib=ON -DFEATURE_widgets=ON
  mark_done qtbase-configure
fi

step "5/8 build and install Qt Base (about 1,200 steps; Ninja shows [done/total])"
build_and_install qtbase

step "6/8 configure Qt Serial Port"
if ! done_mark qtserialport-configure; then
  rm -rf "$work/qtserialport-build"
  "$prefix/bin/qt-cmake" -G Ninja -S "$serial_src" -B "$work/qtserialport-build" \
    -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
  mark_done qtserialport-configure
fi

step "7/8 build and install Qt Serial Port"
build_and_install qtserialport

step "8/8 licence texts of Qt and of the libraries built into it"
# Shipped with the programs: Qt's licences and those of the third-party code
# that the Qt libraries carry inside them.
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

echo "$build_revision" >"$prefix/.complete"
step "Qt $QT_VERSION for Windows is ready in $prefix (the build folder $work may be removed)"
