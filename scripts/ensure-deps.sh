#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

# The desktop tests run the windows on a virtual display under real window
# managers; the X client headers let the panel ask for its frame before showing.
# The package tests check the service's unit and system user with systemd's
# own tools (systemd-analyze, systemd-sysusers) and the manual pages with man.
# The service speaks MQTT through libmosquitto; its tests start Debian's
# mosquitto broker themselves, on a free loopback port (the README tries it
# out with mosquitto-clients). The layout test draws the windows in DejaVu
# Sans (fonts-dejavu-core), the sans-serif face of a stock Debian desktop. The
# screen reader test listens on the accessibility bus (at-spi2-core) of a
# D-Bus session of its own, through the AT-SPI Python bindings. The service's
# web page is served with Qt HTTP Server and Qt WebSockets; its tests drive
# Debian's Chromium headless through ChromeDriver and Selenium, and check the
# metrics with Prometheus' promtool. openssl makes the certificates of the
# README's TLS example and of the gate's test.
packages=(cmake make g++ clang libclang-rt-14-dev qt6-base-dev qt6-serialport-dev libgl-dev
          libxcb1-dev appstream desktop-file-utils xvfb xauth openbox twm systemd man-db
          pkg-config libmosquitto-dev mosquitto mosquitto-clients libsodium-dev
          qt6-httpserver-dev qt6-websockets-dev chromium chromium-driver python3-selenium
          prometheus openssl
          fonts-dejavu-core dbus at-spi2-core python3-gi gir1.2-atspi-2.0)
if [ "${KAVO_WITH_XVFB:-0}" = 1 ]; then
  packages+=(xvfb xauth)
fi
# `make bench`: a virtual display, and the X client headers its driver uses
# to see the measured windows mapped; the web page is timed in Chromium
# headless through ChromeDriver and Selenium, its event streams opened with
# Qt WebSockets.
if [ "${KAVO_WITH_BENCH:-0}" = 1 ]; then
  packages+=(xvfb libxcb1-dev chromium chromium-driver python3-selenium qt6-websockets-dev)
fi
# `make windows` and `make windows-test`: the MinGW-w64 cross compilers (posix
# threads, which Qt needs), Ninja for the one-time Qt build, NSIS for the
# installer, Wine on a virtual display to run the Windows programs, and the
# Autotools that make libsodium's configure script for its Windows build.
if [ "${KAVO_WITH_WINDOWS:-0}" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             mingw-w64-x86-64-dev ninja-build dpkg-dev xz-utils zip wine wine64 xvfb xauth
             xdotool imagemagick unzip fonts-dejavu-core nsis autoconf automake libtool)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Another install on the same machine holds the dpkg lock for a while: wait for it.
  apt-get update -qq -o DPkg::Lock::Timeout=600
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
