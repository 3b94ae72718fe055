#!/bin/sh
# Takes the README's picture of the main window: velkasio on the virtual card with four channels
# recording from start-up, on a virtual X display (Xvfb), cropped to the window.
# Usage: scripts/main_window_screenshot.sh [build-folder] [output.png]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
out=${2:-"$here/docs/main-window.png"}
root=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$root"' EXIT
export VELK_DATA_ROOT="$root" VELK_VIRTUAL_CARDS=1

# A first headless run writes the default configuration; then four channels, two columns,
# recording from start-up.
timeout -s INT 3 "$build/gui/velkasio" --headless >/dev/null 2>&1 || true
config=$(find "$root" -name config.xml | head -n 1)
python3 - "$config" <<'PY'
import sys, xml.etree.ElementTree as ET
path = sys.argv[1]
tree = ET.parse(path)
top = tree.getroot()
top.find("Window").set("Columns", "2")
top.find("Recording").set("Autostart", "1")
channels = top.find("Channels")
channels.set("Number", "4")
for i, (item, name) in enumerate(zip(channels.findall("Channel"), ["Studio A", "Studio B", "Lobby", "Phone line"])):
    item.set("Name", name)
    item.find("Chnum").set("Value", str(i))
tree.write(path, encoding="UTF-8", xml_declaration=True)
PY

mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  "$0/gui/velkasio" & pid=$!
  sleep 5
  ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size 1280x1024 -i "$DISPLAY" -frames:v 1 "$1/full.png"
  kill -TERM $pid; wait $pid || true
' "$build" "$root"
# Without a window manager the window sits at the top left on a black root window.
crop=$(ffmpeg -hide_banner -loop 1 -t 0.3 -i "$root/full.png" -vf format=yuv420p,cropdetect=limit=24:round=2:reset=0 -f null - 2>&1 |
       sed -n 's/.*crop=\([0-9:]*\).*/\1/p' | tail -n 1)
ffmpeg -loglevel error -y -i "$root/full.png" -vf "crop=$crop" "$out"
echo "$out ($crop)"
