#!/usr/bin/env bash
# Builds the Windows programs' libraries with MinGW-w64, once, into a cache
# folder outside the work tree: Qt 6.4.2 (Base, Serial Port, WebSockets and
# HTTP Server), libmosquitto (the MQTT client library alone) and libsodium.
# The steps are the scripts in scripts/qt-windows/.
#
#   scripts/build-qt-windows.sh            build when needed, then print the prefix
#   scripts/build-qt-windows.sh --prefix   only print the prefix
#
# Every source but Qt Serial Port's is Debian's source package of that
# version, fetched with apt (which checks it against Debian's signed release
# files); the SHA-256 of its upstream tarball is printed and recorded. Where
# the registry does not serve a package's tarballs, a copy of the upstream
# tarball in the vendor folder is taken instead, once its SHA-256 matches the
# one in Debian's signed source description. Qt WebSockets and Qt HTTP Server
# are left out, with a notice, when neither is at hand: the service is then
# built without its web page.
#
# What a library is built from makes its key, a SHA-256 over its version, its
# source's checksum, the toolchain file and its configure command line (a Qt
# module's also over Qt Base's key). The prefix records the key of each
# library in it, and a library whose key is another is configured and built
# again. Every step leaves a mark, so a second run does nothing and an
# interrupted run goes on where it stopped.
#
# Environment:
#   KAVO_CACHE        cache folder (default ~/.cache/kavo-control)
#   KAVO_VENDOR       folder of vendored tarballs (default ../shared/vendor)
#   QTSERIALPORT_SRC  Qt Serial Port 6.4.2 source: a .tar.xz or an unpacked folder
#                     (default: the vendored tarball)
#   QTSERIALPORT_SHA256  expected SHA-256 of a tarball given in QTSERIALPORT_SRC
#                     (a tarball next to a SHA256SUMS that lists it is checked
#                     against that list)
#   JOBS              parallel build jobs (default 2)
set -euo pipefail

QT_VERSION=6.4.2
MOSQUITTO_VERSION=2.0.11
SODIUM_VERSION=1.0.18
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
steps=$here/scripts/qt-windows
cache=${KAVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kavo-control}
prefix=$cache/qt-$QT_VERSION-win64
work=$cache/qt-$QT_VERSION-win64-build
vendor=${KAVO_VENDOR:-$here/../shared/vendor}
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
# format plugins (the programs draw their pictures) and OpenSSL: TLS (the web
# page's HTTPS) goes through Windows' own TLS, Qt's Schannel back end.
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
  -DFEATURE_schannel=ON
)
# The other Qt modules, configured alike through Qt Base's qt-cmake.
qtmodule_configure=(
  "$prefix/bin/qt-cmake" -G Ninja
  -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
)
# The MQTT client library alone, as a DLL: no broker, clients, plugins or
# C++ wrapper. Without TLS: Debian has no OpenSSL built for MinGW, and a
# hand-built one would be a second TLS stack to keep up to date beside
# Windows' own (see docs/WINDOWS.md). No threads: the service drives the
# library from its event loop.
mosquitto_configure=(
  cmake -G Ninja
  -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  -DCMAKE_INSTALL_PREFIX="$prefix"
  -DCMAKE_BUILD_TYPE=Release
  -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF
  -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF -DWITH_CJSON=OFF -DWITH_TLS=OFF
  -DWITH_THREADING=OFF -DWITH_STATIC_LIBRARIES=OFF -DWITH_SRV=OFF
)
# Password hashes and secret comparisons, as a DLL. Its Debian source has no
# generated configure script: autoreconf makes it (autoconf, automake and
# libtool). No stack protector: with MinGW it needs a runtime DLL more.
sodium_configure=(
  --host=x86_64-w64-mingw32 --prefix="$prefix"
  CC=x86_64-w64-mingw32-gcc-posix
  --enable-shared --disable-static --disable-ssp --disable-dependency-tracking
)

serial_src_in=${QTSERIALPORT_SRC:-$vendor/qtserialport-everywhere-src-$QT_VERSION.tar.xz}
if [ ! -e "$serial_src_in" ] && [ -e "$prefix/.complete" ]; then
  step "Qt Serial Port source not found ($serial_src_in): the libraries for Windows in $prefix are used as they were built"
  exit 0
fi

step "1/9 build tools (MinGW-w64, Ninja, dpkg-dev, autotools)"
KAVO_WITH_WINDOWS=1 "$here/scripts/ensure-deps.sh"
mkdir -p "$prefix" "$work"
cp "$here/cmake/mingw-w64-x86_64.cmake" "$toolchain"

# fetch_debian PACKAGE VERSION FOLDER: Debian's source of that version into
# FOLDER once (its mark holds the tarball's SHA-256); true when it is there.
fetch_debian() {
  local package=$1 version=$2 folder=$3 mark=$work/.done-$1-source
  if [ ! -e "$mark" ] || [ ! -d "$folder" ]; then
    if ! "$steps/debian-source.sh" "$package" "$version" "$folder" "$vendor"; then
      return 1
    fi
    cp "$folder/SHA256" "$mark"
  fi
  echo "$package $version: SHA-256 $(cat "$mark")"
}
# source_dir FOLDER NAME: the unpacked source in FOLDER.
source_dir() {
  local dir
  dir=$(find "$1" -mindepth 1 -maxdepth 1 -type d -name "$2-*" | head -n 1)
  [ -d "$dir" ] || { echo "$2 source missing in $1" >&2; return 1; }
  echo "$dir"
}

step "2/9 sources: Debian's qt6-base, qt6-websockets, qt6-httpserver, mosquitto and libsodium; Qt Serial Port"
fetch_debian qt6-base "$QT_VERSION" "$work/qtbase-source"
fetch_debian mosquitto "$MOSQUITTO_VERSION" "$work/mosquitto-source"
fetch_debian libsodium "$SODIUM_VERSION" "$work/sodium-source"
web_modules=1
for package in qt6-websockets qt6-httpserver; do
  if ! fetch_debian "$package" "$QT_VERSION" "$work/$package-source"; then
    web_modules=0
    step "$package $QT_VERSION: no source (the registry does not serve its tarballs and" \
      "$vendor has no ${package}_$QT_VERSION.orig.tar.xz): the service is built without its web page"
  fi
done
qtbase_src=$(source_dir "$work/qtbase-source" qt6-base)
mosquitto_src=$(source_dir "$work/mosquitto-source" mosquitto)
sodium_src=$(source_dir "$work/sodium-source" libsodium)
serial_sum=$("$steps/qtserialport-source.sh" checksum "$serial_src_in")
serial_src=$work/qtserialport-source
if ! holds "$work/.done-qtserialport-source" "$serial_sum"; then
  "$steps/qtserialport-source.sh" unpack "$serial_src_in" "$serial_src"
  echo "$serial_sum" >"$work/.done-qtserialport-source"
fi
echo "Qt Serial Port $QT_VERSION: SHA-256 $serial_sum"

toolchain_sum=$(sha256sum "$here/cmake/mingw-w64-x86_64.cmake" | cut -d' ' -f1)
qtbase_key=$(key_of "Qt $QT_VERSION" "source: Debian qt6-base $(cat "$work/.done-qt6-base-source")" \
  "toolchain: $toolchain_sum" "configure: ${qtbase_configure[*]@Q}")
# qt_module_key NAME SOURCE_SUM: a Qt module's key.
qt_module_key() {
  key_of "Qt $QT_VERSION" "source: $1 $2" "Qt Base: $qtbase_key" "configure: ${qtmodule_configure[*]@Q}"
}
qtserialport_key=$(qt_module_key qtserialport "$serial_sum")
mosquitto_key=$(key_of "mosquitto $MOSQUITTO_VERSION" \
  "source: Debian mosquitto $(cat "$work/.done-mosquitto-source")" \
  "toolchain: $toolchain_sum" "configure: ${mosquitto_configure[*]@Q}")
sodium_key=$(key_of "libsodium $SODIUM_VERSION" \
  "source: Debian libsodium $(cat "$work/.done-libsodium-source")" \
  "compiler: $(x86_64-w64-mingw32-gcc-posix --version | head -n 1)" \
  "configure: ${sodium_configure[*]@Q}")
keys=("$qtbase_key" "$qtserialport_key" "$mosquitto_key" "$sodium_key")
if [ "$web_modules" = 1 ]; then
  qtwebsockets_key=$(qt_module_key qtwebsockets "$(cat "$work/.done-qt6-websockets-source")")
  qthttpserver_key=$(qt_module_key qthttpserver "$(cat "$work/.done-qt6-httpserver-source")")
  keys+=("$qtwebsockets_key" "$qthttpserver_key")
fi
complete_key=$(key_of "${keys[@]}")

if holds "$prefix/.complete" "$complete_key"; then
  step "Qt $QT_VERSION and the libraries for Windows are ready in $prefix"
  exit 0
fi
if [ -e "$prefix/.complete" ]; then
  step "The libraries for Windows were built from other sources or settings: configuring and building what changed"
  rm -f "$prefix/.complete"
fi

step "3/9 Qt Base: configure, build and install (about 1,200 steps; Ninja shows [done/total])"
"$steps/build-module.sh" qtbase "$qtbase_key" "$work" "$prefix" "$qtbase_src" \
  -- "${qtbase_configure[@]}"

step "4/9 Qt Serial Port: configure, build and install"
"$steps/build-module.sh" --fresh qtserialport "$qtserialport_key" "$work" "$prefix" "$serial_src" \
  -- "${qtmodule_configure[@]}"

step "5/9 Qt WebSockets: configure, build and install"
step "6/9 Qt HTTP Server: configure, build and install"
if [ "$web_modules" = 1 ]; then
  "$steps/build-module.sh" --fresh qtwebsockets "$qtwebsockets_key" "$work" "$prefix" \
    "$(source_dir "$work/qt6-websockets-source" qt6-websockets)" -- "${qtmodule_configure[@]}"
  "$steps/build-module.sh" --fresh qthttpserver "$qthttpserver_key" "$work" "$prefix" \
    "$(source_dir "$work/qt6-httpserver-source" qt6-httpserver)" -- "${qtmodule_configure[@]}"
else
  echo "left out: no source"
fi

step "7/9 libmosquitto: configure, build and install"
"$steps/build-module.sh" --fresh mosquitto "$mosquitto_key" "$work" "$prefix" "$mosquitto_src" \
  -- "${mosquitto_configure[@]}"
# Its install rule leaves out the DLL's import library, which programs link with.
[ -f "$prefix/lib/libmosquitto.dll.a" ] || cp "$work/mosquitto-build/lib/libmosquitto.dll.a" "$prefix/lib/"

step "8/9 libsodium: configure, build and install"
"$steps/build-module.sh" --autotools sodium "$sodium_key" "$work" "$prefix" "$sodium_src" \
  -- "${sodium_configure[@]}"

step "9/9 licence texts of Qt and of the libraries built into it or beside it"
licence_sources=("$qtbase_src" "$serial_src" "$mosquitto_src" "$sodium_src")
if [ "$web_modules" = 1 ]; then
  licence_sources+=("$(source_dir "$work/qt6-websockets-source" qt6-websockets)"
                    "$(source_dir "$work/qt6-httpserver-source" qt6-httpserver)")
fi
"$steps/copy-licences.sh" "$prefix" "${licence_sources[@]}"

echo "$complete_key" >"$prefix/.complete"
step "Qt $QT_VERSION and the libraries for Windows are ready in $prefix (the build folder $work may be removed)"
