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
wanted=(./usr/bin/kavo-control ./usr/bin/kavoctl ./usr/share/man/man1/kavoctl.1.gz
        ./usr/share/bash-completion/completions/kavoctl)
[ -f "$source/sim/CMakeLists.txt" ] && wanted+=(./usr/bin/kavo-projector-sim)
for want in "${wanted[@]}" \
            ./usr/share/applications/kavo-control.desktop \
            ./usr/share/icons/hicolor/scalable/apps/kavo-control.svg \
            ./usr/share/metainfo/org.kavo.KavoControl.metainfo.xml; do
  if ! grep -qx "$want" <<<"$files"; then
    echo "missing from package: $want"; status=1
  fi
done
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

# kavoctl and the simulator run where there is no display: no GUI library may
# be linked in; the simulator, which opens no serial device, not Qt Serial Port either.
tree="$out/tree"
dpkg-deb -x "$deb" "$tree"
for program in kavoctl kavo-projector-sim; do
  [ -f "$tree/usr/bin/$program" ] || continue
  if readelf -d "$tree/usr/bin/$program" | grep -E 'NEEDED.*(Qt6Gui|Qt6Widgets|libGL|libX)'; then
    echo "$program links GUI libraries"; status=1
  fi
done
if [ -f "$tree/usr/bin/kavo-projector-sim" ] &&
   readelf -d "$tree/usr/bin/kavo-projector-sim" | grep -E 'NEEDED.*Qt6SerialPort'; then
  echo "kavo-projector-sim links Qt Serial Port"; status=1
fi
# Every Qt library a program loads is one the package depends on.
for program in kavo-control kavoctl kavo-projector-sim; do
  [ -f "$tree/usr/bin/$program" ] || continue
  for needed in $(readelf -d "$tree/usr/bin/$program" | sed -n 's/.*NEEDED.*\[libQt6\([A-Za-z]*\)\.so.*/\1/p'); do
    package=libqt6$(tr 'A-Z' 'a-z' <<<"$needed")6
    if ! grep -q "$package" <<<"$depends"; then
      echo "$program loads libQt6$needed, but the package does not depend on $package"; status=1
    fi
  done
done
zcat "$tree/usr/share/man/man1/kavoctl.1.gz" | grep -q '^\.TH KAVOCTL 1' || { echo "kavoctl.1 is no manual page"; status=1; }
bash -n "$tree/usr/share/bash-completion/completions/kavoctl" || status=1

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$source/packaging/kavo-control.desktop" || status=1
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$source/packaging/org.kavo.KavoControl.metainfo.xml" || status=1
fi
exit $status
