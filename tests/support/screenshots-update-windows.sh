#!/usr/bin/env bash
# Screenshots of the Windows build's update windows under Wine: the
# release-notes window with sample notes (RTF with a heading, italic,
# colour and lists of changes) and the download window part-way through a
# download, both shown by the helper program as the program shows them. Uses
# the test services' display and Wine prefix, and ImageMagick's import.
#
#   tests/support/services.sh start DIR --wine && . DIR/env
#   tests/support/screenshots-update-windows.sh BUILD_DIR [OUT_DIR]
#
# OUT_DIR defaults to docs/screenshots; the files are windows-update-info.png
# and windows-update-progress.png.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: $0 BUILD_DIR [OUT_DIR]}
out=${2:-$(cd "$here/../.." && pwd)/docs/screenshots}
: "${DISPLAY:?start the test services and source their env file first}"
: "${WINEPREFIX:?start the test services with --wine and source their env file first}"
helper=$(cd "$build" && pwd)/rl_update_windows_helper.exe
[ -f "$helper" ] || { echo "no $helper" >&2; exit 1; }
notes=$here/release-notes-sample.rtf
mkdir -p "$out"

# Without a window manager Wine leaves the frame of a window with a full
# caption to the manager that is not there; told so, it draws the frame
# itself, as Windows would. The prefix's setting is put back afterwards.
x11_key='HKCU\Software\Wine\X11 Driver'
decorated=$(wine reg query "$x11_key" /v Decorated 2>/dev/null | tr -d '\r' | awk '$1 == "Decorated" { print $3 }') || true
wine reg add "$x11_key" /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

pid=
end_helper() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    pid=
}
cleanup() {
    end_helper
    if [ -n "$decorated" ]; then
        wine reg add "$x11_key" /v Decorated /t REG_SZ /d "$decorated" /f >/dev/null 2>&1 || true
    else
        wine reg delete "$x11_key" /v Decorated /f >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

# Waits for a visible window with exactly this title and prints its id.
wait_window() {
    local window=
    for _ in $(seq 1 300); do
        window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && { echo "$window"; return 0; }
        sleep 0.2
    done
    echo "the window \"$1\" did not appear" >&2
    return 1
}

wine "$helper" info "$(winepath -w "$notes")" >/dev/null 2>&1 &
pid=$!
window=$(wait_window 'RestLevel Update')
sleep 1  # the first paint
import -window "$window" "$out/windows-update-info.png"
end_helper

wine "$helper" progress 60000 >/dev/null 2>&1 &
pid=$!
window=$(wait_window 'Downloading Update\.\.\.')
sleep 1.5  # the bar moves to its position
import -window "$window" "$out/windows-update-progress.png"
end_helper
echo "wrote $out/windows-update-info.png and $out/windows-update-progress.png"
