#!/usr/bin/env bash
# Builds Qt 6.4.2 (Base and Serial Port) for 64-bit Windows with MinGW-w64,
# once, into a cache folder outside the work tree; the steps are the scripts
# in scripts/qt-windows/.
#
#   scripts/build-qt-windows.sh            build when needed, then print the prefix
#   scripts/build-qt-windows.sh --prefix   only print the prefix
#
# What a module is built from makes its key, a SHA-256 over the Qt version,
# its source's checksum, the toolchain file and its configure command line
# (Qt Serial Port's also over Qt Base's key). The prefix records the key of
# each module in it, and a module whose key is another is configured and built
# again. Every step leaves a mark, so a second run does nothing and an
# interrupted run goes on where it stopped.
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
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
steps=$here/scripts/qt-windows
cache=${KAVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavo-control}
prefix=$cache/qt-$QT_VERSION-win64
work=$cache/qt-$QT_VERSION-win64-build
export JOBS=${JOBS:-2}

if [ "${1:-}" = --prefix ]; then
  echo "$prefix"
  exit 0
fi
if [ $# -gt 0 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi

step() { echo "==> [$(date +%H:%M:%S)] $*"; }
# holds FILE TEXT: FILE exists and holds TEXT.
holds() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
# key_of LINE...: the SHA-256 of the lines.
key_of() { printf '%s\n' "$@" | sha256sum | cut -d' ' -f1; }

# The toolchain file goes into the cache: the installed Qt remembers its path,
# and the work tree it came from may move or go away.
toolchain=$prefix/mingw-w64-x86_64.cmake

# The configure commands, without their source and build folders. Qt Base has
# only what the programs use: Core, Gui, Widgets, Network, Test and the
# Windows platform plugin. Every window draws with Fusion, which is part of
# Qt Widgets, so the Windows styles' plugin is left out; so are the image
# format plugins (the programs draw their pictures) and TLS (a network port
# is plain TCP).
qtbase_configure=(
  cmake -G Ninja
  -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  -DCMAKE_INSTALL_PREFIX="$prefix"
  -DCMAKE_BUILD_TYPE=Release
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_network=ON -DFEATURE_dbus=OFF
  -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dynamicgl=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_testlib=ON -DFEATURE_widgets=ON
  -DFEATURE_style_windowsvista=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_openssl=OFF
)
qtserialport_configure=(
  "$prefix/bin/qt-cmake" -G Ninja
  -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
)

serial_src_in=${QTSERIALPORT_SRC:-$here/../shared/vendor/qtserialport-everywhere-src-$QT_VERSION.tar.xz}
if [ ! -e "$serial_src_in" ] && [ -e "$prefix/.complete" ]; then
  step "Qt Serial Port source not found ($serial_src_in): Qt $QT_VERSION for Windows in $prefix is used as it was built"
  exit 0
fi
serial_sum=$("$steps/qtserialport-source.sh" checksum "$serial_src_in")
# Qt Base's source is Debian's qt6-base of this Qt version, fetched once.
toolchain_sum=$(sha256sum "$here/cmake/mingw-w64-x86_64.cmake" | cut -d' ' -f1)
qtbase_key=$(key_of "Qt $QT_VERSION" "source: Debian qt6-base $QT_VERSION" \
  "toolchain: $toolchain_sum" "configure: ${qtbase_configure[*]@Q}")
qtserialport_key=$(key_of "Qt $QT_VERSION" "source: $serial_sum" "Qt Base: $qtbase_key" \
  "configure: ${qtserialport_configure[*]@Q}")
complete_key=$(key_of "$qtbase_key" "$qtserialport_key")

if holds "$prefix/.complete" "$complete_key"; then
  step "Qt $QT_VERSION for Windows is ready in $prefix"
  exit 0
fi
mkdir -p "$work"
if [ -e "$prefix/.complete" ]; then
  step "Qt $QT_VERSION for Windows was built from other sources or settings: configuring and building again"
  rm -f "$prefix/.complete"
fi

step "1/6 build tools (MinGW-w64, Ninja, dpkg-dev)"
KAVO_WITH_WINDOWS=1 "$here/scripts/ensure-deps.sh"
mkdir -p "$prefix"
cp "$here/cmake/mingw-w64-x86_64.cmake" "$toolchain"

step "2/6 Qt Base source (Debian source package qt6-base $QT_VERSION)"
# Its one input, the Qt version, names the work folder: the mark says only
# that it was fetched.
if [ ! -e "$work/.done-qtbase-source" ]; then
  "$steps/qtbase-source.sh" "$QT_VERSION" "$work/qtbase-source"
  touch "$work/.done-qtbase-source"
fi
qtbase_src=$(find "$work/qtbase-source" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -d "$qtbase_src" ] || { echo "Qt Base source missing in $work/qtbase-source" >&2; exit 1; }

step "3/6 Qt Serial Port source"
serial_src=$work/qtserialport-source
if ! holds "$work/.done-qtserialport-source" "$serial_sum"; then
  "$steps/qtserialport-source.sh" unpack "$serial_src_in" "$serial_src"
  echo "$serial_sum" >"$work/.done-qtserialport-source"
fi

step "4/6 Qt Base: configure, build and install (about 1,200 steps; Ninja shows [done/total])"
"$steps/build-module.sh" qtbase "$qtbase_key" "$work" "$prefix" "$qtbase_src" \
  -- "${qtbase_configure[@]}"

step "5/6 Qt Serial Port: configure, build and install"
"$steps/build-module.sh" --fresh qtserialport "$qtserialport_key" "$work" "$prefix" "$serial_src" \
  -- "${qtserialport_configure[@]}"

step "6/6 licence texts of Qt and of the libraries built into it"
"$steps/copy-licences.sh" "$qtbase_src" "$serial_src" "$prefix"

echo "$complete_key" >"$prefix/.complete"
step "Qt $QT_VERSION for Windows is ready in $prefix (the build folder $work may be removed)"
