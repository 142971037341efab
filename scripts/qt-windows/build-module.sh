#!/usr/bin/env bash
# Configures, builds and installs one Qt module for the Windows build, each
# step once for a given key: the configure step leaves WORK/.done-MODULE-configure
# and the install PREFIX/.key-MODULE, both holding the key, so a run with the
# same key goes on where the last one stopped and a run with another key
# configures and builds again. The build folder is WORK/MODULE-build.
#
#   scripts/qt-windows/build-module.sh [--fresh] MODULE KEY WORK PREFIX SOURCE -- CONFIGURE...
#
# CONFIGURE is the configure command without its -S and -B, which are added.
# --fresh empties the build folder before configuring; without it an existing
# build folder is configured again in place, so that only what changed is built.
# Environment: JOBS (parallel build jobs, default 2).
set -euo pipefail

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
fresh=0
if [ "${1:-}" = --fresh ]; then
  fresh=1
  shift
fi
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
  "$@" -S "$source" -B "$build"
  echo "$key" >"$configured"
fi
if ! holds_key "$installed"; then
  cmake --build "$build" -j"${JOBS:-2}"
  cmake --install "$build"
  echo "$key" >"$installed"
fi
