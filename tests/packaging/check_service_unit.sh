#!/usr/bin/env bash
# Has systemd check the service's template unit: a copy whose ExecStart= runs
# the built program (verify wants it to exist), with the manual page the unit
# names at hand. verify reports unknown keys and bad values on standard error
# without failing, so any complaint fails the check.
set -euo pipefail
source=$1
program=${2:-}
if [ -z "$program" ]; then
  echo "kavo-projectord is not built in this tree: its unit is not checked"; exit 77
fi
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is missing (Debian package systemd): the unit is not checked"; exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unit=$work/kavo-projectord@.service
sed "s|^ExecStart=/usr/bin/kavo-projectord |ExecStart=$program |" \
  "$source/packaging/kavo-projectord@.service" >"$unit"
grep -q "^ExecStart=$program " "$unit" ||
  { echo "the unit has no ExecStart=/usr/bin/kavo-projectord ..."; exit 1; }
mkdir -p "$work/man/man8"
cp "$source/packaging/kavo-projectord.8" "$work/man/man8/"
if ! complaints=$(MANPATH=$work/man systemd-analyze verify "$unit" 2>&1) || [ -n "$complaints" ]; then
  echo "$complaints"; exit 1
fi
