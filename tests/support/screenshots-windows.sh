#!/usr/bin/env bash
# Screenshots of the Windows build's settings window under Wine: a first run
# (empty settings, so the window shows) on its "Basic Settings" page, then on
# its "Exceptions" page after a click on that tab. Uses the test services'
# display and Wine prefix, and ImageMagick's import.
#
#   tests/support/services.sh start DIR --wine && . DIR/env
#   tests/support/screenshots-windows.sh BUILD_DIR [OUT_DIR]
#
# OUT_DIR defaults to docs/screenshots; the files are windows-basic.png and
# windows-exceptions.png. The settings key is removed before and after.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [OUT_DIR]}
out=${2:-$(cd "$(dirname "$0")/../.." && pwd)/docs/screenshots}
: "${DISPLAY:?start the test services and source their env file first}"
: "${WINEPREFIX:?start the test services with --wine and source their env file first}"
program=$(cd "$build" && pwd)/RestLevel.exe
[ -f "$program" ] || { echo "no $program" >&2; exit 1; }
mkdir -p "$out"

key='HKCU\SOFTWARE\Halvane\RestLevel'
wine reg delete "$key" /f >/dev/null 2>&1 || true

wine "$program" >/dev/null 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    wine reg delete "$key" /f >/dev/null 2>&1 || true
}
trap cleanup EXIT

window=
for _ in $(seq 1 300); do
    window=$(xdotool search --onlyvisible --name '^RestLevel$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.2
done
[ -n "$window" ] || { echo "the RestLevel window did not appear" >&2; exit 1; }

# Wine's own notification area is a small window at the top left that comes
# with our tray icon and would lie over our window's tabs.
hide_wine_tray() {
    local tray
    for tray in $(xdotool search --onlyvisible --name 'Wine System Tray' 2>/dev/null); do
        xdotool windowunmap --sync "$tray" || true
    done
}
for _ in $(seq 1 50); do
    xdotool search --onlyvisible --name 'Wine System Tray' >/dev/null 2>&1 && break
    sleep 0.1
done
hide_wine_tray
sleep 1  # the first paint

import -window "$window" "$out/windows-basic.png"

# The window's X geometry includes Wine's frame; the client area (359 x 238
# at 96 DPI) sits at its bottom, inside an equal border left, right and below.
eval "$(xdotool getwindowgeometry --shell "$window")"
border=$(( (WIDTH - 359) / 2 ))
client_x=$(( X + border ))
client_y=$(( Y + HEIGHT - border - 238 ))
# The "Exceptions" tab: right of "Basic Settings", in the tab row at the top
# of the page control (9, 8).
xdotool mousemove --sync $(( client_x + 132 )) $(( client_y + 18 )) click 1
xdotool mousemove --sync $(( client_x + 200 )) $(( client_y + 229 ))
sleep 1.5  # the running programs are listed on the page
hide_wine_tray

import -window "$window" "$out/windows-exceptions.png"
echo "wrote $out/windows-basic.png and $out/windows-exceptions.png"
