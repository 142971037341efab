#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks its file list and
# declared dependencies; validates the desktop entry and the AppStream data
# with the validators when they are installed.
set -euo pipefail
build=$1
source=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
status=0
wanted=(./usr/bin/kavo-control ./usr/share/man/man1/kavo-control.1.gz
        ./usr/bin/kavoctl ./usr/share/man/man1/kavoctl.1.gz
        ./usr/share/bash-completion/completions/kavoctl)
[ -f "$source/sim/CMakeLists.txt" ] && wanted+=(./usr/bin/kavo-projector-sim)
service=0
if [ -f "$source/service/CMakeLists.txt" ]; then
  service=1
  wanted+=(./usr/bin/kavo-projectord ./usr/share/man/man8/kavo-projectord.8.gz
           ./lib/systemd/system/kavo-projectord@.service ./usr/lib/sysusers.d/kavo-projectord.conf
           ./usr/share/doc/kavo-control/examples/projectord-example.conf ./etc/kavo/projectord/
           ./usr/share/doc/kavo-control/examples/mosquitto/kavo.conf
           ./usr/share/doc/kavo-control/examples/mosquitto/kavo.acl)
fi
for want in "${wanted[@]}" \
            ./usr/share/applications/kavo-control.desktop \
            ./usr/share/icons/hicolor/scalable/apps/kavo-control.svg \
            ./usr/share/metainfo/org.kavo.KavoControl.metainfo.xml \
            ./usr/share/doc/kavo-control/copyright; do
  if ! grep -qx "$want" <<<"$files"; then
    echo "missing from package: $want"; status=1
  fi
done
grep -q -E '^\./usr/lib/(.*/)?kavo-control/kavo-network-ports\.so$' <<<"$files" ||
  { echo "missing from package: the panel's module kavo-network-ports.so"; status=1; }
if grep -q -E '\.(a|h|cpp)$|/tst_|fuzz_' <<<"$files"; then
  echo "package carries build or test files:"; grep -E '\.(a|h|cpp)$|/tst_|fuzz_' <<<"$files"; status=1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6network6 qt6-qpa-plugins; do
  if ! grep -q "$lib" <<<"$depends"; then
    echo "package does not depend on $lib: $depends"; status=1
  fi
done
[ "$(dpkg-deb -f "$deb" Package)" = kavo-control ] || { echo "wrong package name"; status=1; }

# kavoctl, the simulator and the service run where there is no display: no GUI
# library may be linked in; the simulator, which opens no serial device, not Qt
# Serial Port either.
tree="$out/tree"
dpkg-deb -x "$deb" "$tree"
for program in kavoctl kavo-projector-sim kavo-projectord; do
  [ -f "$tree/usr/bin/$program" ] || continue
  if readelf -d "$tree/usr/bin/$program" | grep -E 'NEEDED.*(Qt6Gui|Qt6Widgets|libGL|libX)'; then
    echo "$program links GUI libraries"; status=1
  fi
done
if [ -f "$tree/usr/bin/kavo-projector-sim" ] &&
   readelf -d "$tree/usr/bin/kavo-projector-sim" | grep -E 'NEEDED.*Qt6SerialPort'; then
  echo "kavo-projector-sim links Qt Serial Port"; status=1
fi
# The panel loads Qt Network with its network ports only when they are used.
if readelf -d "$tree/usr/bin/kavo-control" | grep -E 'NEEDED.*Qt6Network'; then
  echo "kavo-control links Qt Network"; status=1
fi
# Every Qt library a program loads is one the package depends on.
for program in kavo-control kavoctl kavo-projector-sim kavo-projectord; do
  [ -f "$tree/usr/bin/$program" ] || continue
  for needed in $(readelf -d "$tree/usr/bin/$program" | sed -n 's/.*NEEDED.*\[libQt6\([A-Za-z]*\)\.so.*/\1/p'); do
    package=libqt6$(tr 'A-Z' 'a-z' <<<"$needed")6
    if ! grep -q "$package" <<<"$depends"; then
      echo "$program loads libQt6$needed, but the package does not depend on $package"; status=1
    fi
  done
done
# grep -q stops at the first match; zcat, cut off with more of a page to write,
# would fail a pipeline under pipefail, so the pages are read through <( ).
grep -q '^\.TH KAVO-CONTROL 1' <(zcat "$tree/usr/share/man/man1/kavo-control.1.gz") ||
  { echo "kavo-control.1 is no manual page"; status=1; }
grep -q '^\.TH KAVOCTL 1' <(zcat "$tree/usr/share/man/man1/kavoctl.1.gz") || { echo "kavoctl.1 is no manual page"; status=1; }
bash -n "$tree/usr/share/bash-completion/completions/kavoctl" || status=1
if command -v man >/dev/null; then
  for page in "$tree"/usr/share/man/man*/*.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "${page#$tree}: $warnings"; status=1; }
  done
fi

if [ $service = 1 ]; then
  grep -q '^\.TH KAVO-PROJECTORD 8' <(zcat "$tree/usr/share/man/man8/kavo-projectord.8.gz") ||
    { echo "kavo-projectord.8 is no manual page"; status=1; }
  unit=$tree/lib/systemd/system/kavo-projectord@.service
  program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ -x "$tree$program" ] || { echo "the unit starts $program, which the package does not hold"; status=1; }
  # The maintainer scripts: without systemd they do nothing and succeed; with
  # it, postinst makes the unit's user in the unit's group from the packaged
  # sysusers file (into the unpacked tree, as for an installation below
  # DPKG_ROOT), and it never enables or starts an instance. systemctl is a
  # stand-in that only notes its calls.
  dpkg-deb -e "$deb" "$out/control"
  for call in "postinst configure" "prerm remove" "postrm remove"; do
    set -- $call
    PATH=/nonexistent /bin/sh "$out/control/$1" "$2" ||
      { echo "$1 fails where systemd is missing"; status=1; }
  done
  if command -v systemd-sysusers >/dev/null; then
    mkdir -p "$out/bin" "$tree/etc"
    printf '#!/bin/sh\necho "$*" >>"%s"\n' "$out/systemctl.log" >"$out/bin/systemctl"
    chmod +x "$out/bin/systemctl"
    PATH="$out/bin:$PATH" DPKG_ROOT="$tree" /bin/sh "$out/control/postinst" configure \
      >"$out/postinst.log" 2>&1 || { echo "postinst failed:"; cat "$out/postinst.log"; status=1; }
    user=$(sed -n 's/^User=//p' "$unit")
    gid=$(awk -F: -v group="$(sed -n 's/^Group=//p' "$unit")" '$1 == group {print $3}' "$tree/etc/group")
    awk -F: -v user="$user" -v gid="$gid" '$1 == user && $4 == gid && gid != "" {found = 1}
                                           END {exit !found}' "$tree/etc/passwd" ||
      { echo "postinst did not make the unit's user $user in its group:"; cat "$tree/etc/passwd" "$tree/etc/group"; status=1; }
    if grep -w -E 'enable|start' "$out/systemctl.log" 2>/dev/null; then
      echo "postinst enables or starts an instance"; status=1
    fi
  else
    echo "systemd-sysusers is missing (Debian package systemd): postinst's user not checked"
  fi
fi

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$source/packaging/kavo-control.desktop" || status=1
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$source/packaging/org.kavo.KavoControl.metainfo.xml" || status=1
fi
exit $status
