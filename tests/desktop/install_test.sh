#!/usr/bin/env bash
# Installs the built program into a throwaway prefix and builds its Debian package, then starts
# the installed and the unpacked program under a virtual X server from a read-only location:
# each must show its main window and make a per-user program folder with the empty tables.
#
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
cleanup() { chmod -R u+w "$work" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# start_program EXE HOME: starts EXE with its own home folder under Xvfb and prints the names of
# the top-level windows that appeared within 40 seconds (a loaded machine starts it slowly).
start_program() {
  local exe=$1 home=$2
  mkdir -p "$home"
  HOME=$home XDG_DATA_HOME= XDG_CONFIG_HOME= QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
      "$0" >/dev/null 2>&1 & pid=$!
      for _ in $(seq 200); do
        xwininfo -root -tree | grep -q "\"Quellor" && break
        sleep 0.2
      done
      xwininfo -root -tree | grep -o "\"Quellor[^\"]*\"" | sort -u
      kill $pid 2>/dev/null || true
      wait $pid 2>/dev/null || true' "$exe"
}

# check_started EXE: the window title and the per-user program folder.
check_started() {
  local exe=$1 home=$work/home-$RANDOM
  local titles
  titles=$(start_program "$exe" "$home")
  echo "$exe: windows $titles"
  grep -qx '"Quellor"' <<<"$titles" || fail "$exe showed no window titled Quellor"
  local folder=$home/.local/share/quellor
  for f in cracks.DAT cracks.IDX isps.DAT noticeFooter.txt dmca-template.txt help/index.html; do
    [ -e "$folder/$f" ] || fail "$exe did not make $folder/$f"
  done
}

# 1. cmake --install into a prefix that is then made read-only.
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/Quellor bin/storetool share/quellor/help/index.html share/quellor/noticeFooter.txt \
         share/quellor/dmca-template.txt share/applications/quellor.desktop \
         share/icons/hicolor/scalable/apps/quellor.svg; do
  [ -e "$prefix/$f" ] || fail "cmake --install left out $f"
done
desktop-file-validate "$prefix/share/applications/quellor.desktop"
chmod -R a-w "$prefix"
check_started "$prefix/bin/Quellor"

# 2. The Debian package: its run-time dependencies, its files, and a program that starts when
#    the package is unpacked into a throwaway folder.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/quellor_*.deb)
info=$(dpkg-deb -I "$deb")
echo "$info" | grep -E "^ (Package|Version|Architecture|Depends):"
for dep in libqt6widgets6 libqt6gui6 libqt6core6 libicu qt6-qpa-plugins xdg-utils; do
  grep -q "Depends:.*$dep" <<<"$info" || fail "the package does not depend on $dep"
done
files=$(dpkg-deb -c "$deb")
for f in ./usr/bin/Quellor ./usr/bin/storetool ./usr/share/quellor/help/index.html \
         ./usr/share/applications/quellor.desktop ./usr/share/icons/hicolor/scalable/apps/quellor.svg; do
  grep -q " $f\$" <<<"$files" || fail "the package lacks $f"
done
dpkg-deb -x "$deb" "$work/unpacked"
chmod -R a-w "$work/unpacked"
check_started "$work/unpacked/usr/bin/Quellor"
echo "1 passed, 0 failed"
