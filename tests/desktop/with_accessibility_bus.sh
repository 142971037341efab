#!/usr/bin/env bash
# Runs a program in a D-Bus session of its own, whose accessibility bus starts
# on demand as on a desktop with a screen reader. Exits 77 (skipped) when
# dbus, at-spi2-core or the AT-SPI Python bindings (python3-gi,
# gir1.2-atspi-2.0) are missing; scripts/ensure-deps.sh installs them.
set -euo pipefail
if ! command -v dbus-run-session >/dev/null ||
   [ ! -e /usr/share/dbus-1/services/org.a11y.Bus.service ] ||
   ! "$(dirname "$0")/atspi_listener.py" --check; then
  echo "skipped: needs dbus, at-spi2-core, python3-gi and gir1.2-atspi-2.0" >&2
  exit 77
fi
exec dbus-run-session -- "$@"
