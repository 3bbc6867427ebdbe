#!/usr/bin/env bash
# Starts and stops what the tests need on this machine: an Xvfb display, a
# PulseAudio daemon with a null sink as its default, and (for the Windows
# build) a fresh Wine prefix. Everything lives under one state folder.
#
#   services.sh start DIR [--wine]   starts them; writes DIR/env to be sourced
#   services.sh stop DIR             stops whatever DIR/env says was started
set -u

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR [--wine]" >&2; exit 2; }

stop_services() {
    [ -f "$dir/env" ] || return 0
    # shellcheck disable=SC1091
    . "$dir/env"
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
    fi
    for f in "$dir"/*.pid; do
        [ -f "$f" ] || continue
        kill "$(cat "$f")" >/dev/null 2>&1 || true
        rm -f "$f"
    done
    rm -f "$dir/env"
}

start_services() {
    mkdir -p "$dir"
    stop_services
    local home=$dir/home runtime=$dir/runtime
    mkdir -p "$home" "$runtime"
    chmod 700 "$runtime"

    # Xvfb picks a free display itself and tells us which.
    local fifo=$dir/displayfd
    rm -f "$fifo"; mkfifo "$fifo"
    # -noreset: the server would otherwise reset (and refuse clients) whenever its last client leaves.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$fifo" >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/xvfb.pid"
    local display
    read -r -t 30 display <"$fifo" || { echo "Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; return 1; }
    rm -f "$fifo"

    local pulse_socket=$runtime/pulse.sock
    HOME=$home XDG_RUNTIME_DIR=$runtime pulseaudio -n --daemonize=no --exit-idle-time=-1 \
        --disallow-exit --use-pid-file=no -F /dev/null \
        --load="module-native-protocol-unix socket=$pulse_socket auth-anonymous=1" \
        --load="module-null-sink sink_name=rl_null sink_properties=device.description=RestLevel-Null" \
        >"$dir/pulse.log" 2>&1 &
    echo $! >"$dir/pulse.pid"
    local i
    for i in $(seq 1 100); do
        PULSE_SERVER=unix:$pulse_socket pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    PULSE_SERVER=unix:$pulse_socket pactl info >/dev/null 2>&1 \
        || { echo "PulseAudio did not start" >&2; cat "$dir/pulse.log" >&2; return 1; }

    {
        echo "export DISPLAY=:$display"
        # An X11 session of its own, whatever session this runs from.
        echo "export XDG_SESSION_TYPE=x11"
        echo "unset WAYLAND_DISPLAY"
        echo "export PULSE_SERVER=unix:$pulse_socket"
        echo "export RL_TEST_SINK=rl_null"
        echo "export XDG_RUNTIME_DIR=$runtime"
        # RestLevel's start-up update check stays off unless a test points it
        # at a server of its own: no test reaches beyond this machine.
        echo "export RESTLEVEL_UPDATE_SERVER="
    } >"$dir/env"

    if [ "${3:-}" = "--wine" ]; then
        local prefix=$dir/wineprefix
        rm -rf "$prefix"
        # No Mono or Gecko installers: the tests need neither.
        DISPLAY=:$display PULSE_SERVER=unix:$pulse_socket WINEPREFIX=$prefix WINEDEBUG=-all \
            WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$dir/wineboot.log" 2>&1 \
            || { echo "Wine prefix could not be created" >&2; cat "$dir/wineboot.log" >&2; return 1; }
        # Wine finds its own fonts (Tahoma, the window's font) only through
        # fontconfig here; without them it draws with a wider substitute.
        cat >"$dir/fonts.conf" <<'EOF_FONTS'
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <dir>/usr/share/wine/fonts</dir>
</fontconfig>
EOF_FONTS
        # Wine's desktop (explorer.exe) and RPC service end a few seconds after
        # the last Windows program; every test program would then start them
        # anew, and they would keep the test's output pipe open long after it.
        # One idle program of our own holds them (and the wine server) for the
        # whole run: cmd.exe waiting on a pipe that never ends, its output
        # going nowhere. Ready once the desktop's window is there.
        local holder_in=$dir/wine-holder.fifo
        rm -f "$holder_in"; mkfifo "$holder_in"
        DISPLAY=:$display PULSE_SERVER=unix:$pulse_socket WINEPREFIX=$prefix FONTCONFIG_FILE=$dir/fonts.conf \
            WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd.exe <>"$holder_in" >/dev/null 2>&1 &
        echo $! >"$dir/wine-holder.pid"
        local desktop_up=
        for i in $(seq 1 300); do
            for pid in $(pgrep -f 'explorer.exe /desktop'); do
                grep -qzx "WINEPREFIX=$prefix" "/proc/$pid/environ" 2>/dev/null && desktop_up=1
            done
            [ -n "$desktop_up" ] && break
            sleep 0.1
        done
        [ -n "$desktop_up" ] || echo "warning: Wine's desktop did not start; each Windows test will start it" >&2
        {
            echo "export FONTCONFIG_FILE=$dir/fonts.conf"
            echo "export WINEPREFIX=$prefix"
            echo "export WINEDEBUG=-all"
            echo "export WINEDLLOVERRIDES='mscoree,mshtml='"
        } >>"$dir/env"
    fi
}

case "$cmd" in
    start) start_services "$@" ;;
    stop) stop_services ;;
    *) echo "usage: $0 start|stop DIR [--wine]" >&2; exit 2 ;;
esac
