#!/usr/bin/env bash
# Runs a program in a D-Bus session of its own, where the accessibility bus
# (at-spi2-core) starts on demand, as on a desktop with a screen reader.
# Usage: with_accessibility_bus.sh PROGRAM [ARGS...]
# Exits 77 (skipped) when D-Bus, at-spi2-core or the AT-SPI Python bindings are
# not installed (scripts/ensure-deps.sh installs them).
set -euo pipefail
here=$(dirname "$0")
if ! command -v dbus-run-session >/dev/null; then
  echo "skipped: dbus-run-session is not installed (package dbus)" >&2
  exit 77
fi
if [ ! -e /usr/share/dbus-1/services/org.a11y.Bus.service ]; then
  echo "skipped: the accessibility bus is not installed (package at-spi2-core)" >&2
  exit 77
fi
if ! "$here/atspi_listener.py" --check; then
  echo "skipped: the AT-SPI Python bindings are not installed (packages python3-gi gir1.2-atspi-2.0)" >&2
  exit 77
fi
exec dbus-run-session -- "$@"
