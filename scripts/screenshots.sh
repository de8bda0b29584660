#!/usr/bin/env bash
# Takes the README's pictures of the main window: the real program window, started by
# main_window_shot on a small program folder of invented sites, once with the light Fusion
# palette at a scale of 1 and once with a dark palette at a scale of 1.5, on a 1280x800 screen.
#
#   bash scripts/screenshots.sh [BUILD_DIR]     (default build/default)
#
# It builds main_window_shot and storetool when they are missing, runs the window under Xvfb
# (xvfb-run) when it is installed and offscreen otherwise, and writes
#   docs/images/main-window-light.png
#   docs/images/main-window-dark-scale-1.5.png
# The person's own settings are not read or written: the window starts with a settings folder
# of its own, so the pictures show the window as a new user first sees it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
shot=$build/bin/main_window_shot
storetool=$build/bin/storetool
if [[ ! -x $shot || ! -x $storetool ]]; then
  cmake --build "$build" --target main_window_shot storetool
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quellor-shots-XXXXXX")
trap 'rm -rf "$work"' EXIT
folder=$work/program/
mkdir -p "$folder" "$work/config" "$work/home"

# A few invented sites: Url, E-mails, BadE-mails, IPAddr, Notes, the category and status flags,
# Urls, LastSent, LastDMCASent, Priority, KilledBy, DMCAUrls (the CSV layout of the import).
cat > "$work/sites.csv" <<'CSV'
"http://www.crackz-archive.example/","abuse@hoster-one.example","","192.0.2.17","mirror of the 2019 lists","True","True","False","False","False","False","False","False","False","True","http://www.crackz-archive.example/dl/","False","True","False","False","False","2025-11-03 14:21:07","2025-11-10 09:02:44","1","",""
"http://serials.example.net/list.php","noc@netblock.example","","198.51.100.4","forum with serial numbers","False","True","False","False","False","True","False","False","False","False","","False","False","False","False","False","2025-10-28 08:15:00","","2","",""
"http://warez-links.example.org/","abuse@hoster-two.example","old@hoster-two.example","203.0.113.88","links only","False","False","True","True","False","False","False","False","False","False","","False","False","True","False","False","","","3","",""
"http://tools4all.example.com/keygens/","abuse@isp-three.example","","192.0.2.200","","True","False","False","False","False","False","True","False","True","False","","False","False","False","False","False","2025-12-01 17:45:30","","2","",""
"http://old-cracks.example.info/","abuse@hoster-one.example","","198.51.100.23","taken down","True","False","False","False","False","False","False","False","False","False","","False","False","False","True","True","2025-06-14 10:00:00","","1","J",""
CSV
"$storetool" init "$folder" > /dev/null
"$storetool" load "$folder" cracks.DAT "$work/sites.csv" > /dev/null

mkdir -p "$root/docs/images"
run() {
  if command -v xvfb-run > /dev/null; then
    xvfb-run -a -s "-screen 0 1280x800x24" "$@"
  else
    QT_QPA_PLATFORM=offscreen "$@"
  fi
}
export XDG_CONFIG_HOME=$work/config HOME=$work/home LC_ALL=C.UTF-8
run "$shot" "$folder" "$root/docs/images/main-window-light.png" --site 2
run env QT_SCALE_FACTOR=1.5 "$shot" "$folder" "$root/docs/images/main-window-dark-scale-1.5.png" \
  --dark --site 1
echo "written: docs/images/main-window-light.png docs/images/main-window-dark-scale-1.5.png"
