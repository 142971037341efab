#!/usr/bin/env bash
# Configures, builds and installs one Qt module for the Windows build, each
# step once for a given key: the configure step leaves WORK/.done-MODULE-configure
# and the install PREFIX/.key-MODULE, both holding the key, so a run with the
# same key goes on where the last one stopped and a run with another key
# configures and builds again. The build folder is WORK/MODULE-build.
#
#   scripts/qt-windows/build-module.sh [--fresh|--autotools] MODULE KEY WORK PREFIX SOURCE -- CONFIGURE...
#
# CONFIGURE is the configure command without its -S and -B, which are added.
# --fresh empties the build folder before configuring; without it an existing
# build folder is configured again in place, so that only what changed is built.
# --autotools: an Autotools source instead; CONFIGURE is then the arguments
# of its configure script (made by autoreconf when missing), run in an
# empty build folder, and make builds and installs.
# Environment: JOBS (parallel build jobs, default 2).
set -euo pipefail

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
fresh=0 autotools=0
case ${1:-} in
--fresh) fresh=1; shift ;;
--autotools) fresh=1 autotools=1; shift ;;
esac
if [ $# -lt 7 ] || [ "$6" != -- ]; then usage; fi
module=$1 key=$2 work=$3 prefix=$4 source=$5
shift 6
build=$work/$module-build
configured=$work/.done-$module-configure
installed=$prefix/.key-$module

# holds_key FILE: FILE exists and holds this run's key.
holds_key() { [ -f "$1" ] && [ "$(cat "$1")" = "$key" ]; }

if ! holds_key "$configured"; then
  rm -f "$installed"
  [ "$fresh" = 0 ] || rm -rf "$build"
  if [ "$autotools" = 1 ]; then
    [ -x "$source/configure" ] || (cd "$source" && autoreconf -fi)
    mkdir -p "$build"
    (cd "$build" && "$source/configure" "$@")
  else
    "$@" -S "$source" -B "$build"
  fi
  echo "$key" >"$configured"
fi
if ! holds_key "$installed"; then
  if [ "$autotools" = 1 ]; then
    make -C "$build" -j"${JOBS:-2}"
    make -C "$build" install
  else
    cmake --build "$build" -j"${JOBS:-2}"
    cmake --install "$build"
  fi
  echo "$key" >"$installed"
fi
