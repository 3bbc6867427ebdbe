#!/usr/bin/env bash
# Screenshots of the Linux build's update windows in docs/screenshots: the
# release-notes window with sample notes (RTF with a heading, italic, colour
# and lists of changes) and the download window part-way through a download,
# both shown by the helper program as the program shows them, each taken
# with ImageMagick's import.
#
#   tests/support/services.sh start build/services && . build/services/env
#   tests/support/screenshots-update-linux.sh [BUILD_DIR [OUT_DIR]]   defaults: build/linux, docs/screenshots
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/linux}
out=${2:-docs/screenshots}
[ -n "${DISPLAY:-}" ] || { echo "DISPLAY is not set: start the test services and source their env" >&2; exit 1; }
helper=$build/rl_update_windows_helper
[ -x "$helper" ] || { echo "no $helper: build the target rl_update_windows_helper" >&2; exit 1; }
notes=$here/release-notes-sample.rtf
mkdir -p "$out"

pid=
end_helper() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    pid=
}
trap end_helper EXIT

take() {
    local title=$1 file=$2 window
    window=$(timeout 20 xdotool search --sync --onlyvisible --pid "$pid" --name "$title" | head -n 1)
    [ -n "$window" ] || { echo "the window \"$title\" did not appear" >&2; exit 1; }
    sleep 1.5  # the first paint, and the bar's run to its position
    import -window "$window" "$file"
}

"$helper" info "$notes" &
pid=$!
take '^RestLevel Update$' "$out/linux-update-info.png"
end_helper

"$helper" progress 60000 &
pid=$!
take '^Downloading Update\.\.\.$' "$out/linux-update-progress.png"
end_helper
echo "wrote $out/linux-update-info.png and $out/linux-update-progress.png"
