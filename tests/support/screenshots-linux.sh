#!/usr/bin/env bash
# Makes the screenshots of the Linux settings window in docs/screenshots:
# the program on a fresh store (so that it opens its window), one exception
# in the list, each page taken with ImageMagick's import.
#
#   tests/support/services.sh start build/services && . build/services/env
#   tests/support/screenshots-linux.sh [BUILD_DIR [OUT_DIR]]   defaults: build/linux, docs/screenshots
set -euo pipefail
build=${1:-build/linux}
out=${2:-docs/screenshots}
[ -n "${DISPLAY:-}" ] || { echo "DISPLAY is not set: start the test services and source their env" >&2; exit 1; }
mkdir -p "$out"

config=$(mktemp -d)
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_CONFIG_HOME=$config XDG_RUNTIME_DIR=$runtime
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$config" "$runtime"
}
trap cleanup EXIT

"$build/restlevel-reg" add 'HKCU\SOFTWARE\Halvane\RestLevel' /v Exceptions /t REG_MULTI_SZ /d '/usr/bin/mpv' /f >/dev/null
"$build/restlevel" &
pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" --name '^RestLevel$' | head -n 1)
[ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
sleep 1  # let it paint

import -window "$window" "$out/linux-basic.png"
# The "Exceptions" tab: the page control is at (9, 8), its second tab to the
# right of "Basic Settings".
xdotool mousemove --window "$window" 150 20 click 1
sleep 1
import -window "$window" "$out/linux-exceptions.png"
echo "wrote $out/linux-basic.png and $out/linux-exceptions.png"
