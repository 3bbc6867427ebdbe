#!/usr/bin/env bash
# What restlevel costs while it watches an idle desktop, against programs
# that do about as much:
#   - CPU: the CPU time (utime + stime from /proc/PID/stat) that restlevel
#     and xautolock (which only watches: -time 60 -locker true) use over the
#     same stretch of time on the same display; goal: ratio <= 1;
#   - memory: restlevel's peak resident size (VmHWM) against a Qt program
#     that only shows a tray icon (bench/MinimalTray.cpp); goal: ratio <= 1.2.
# restlevel runs as on every start after the first: with its tray icon only.
# The script starts its own Xvfb and PulseAudio null sink and stops them.
#
#   cmake --build build/linux -j2 --target restlevel restlevel-reg rl_minimal_tray
#   bench/idle_watchers.sh [BUILD_DIR [SECONDS]]     defaults: build/linux (made by ./test), 60
#
# The kernel counts utime and stime in clock ticks (10 ms), coarse for
# programs this quiet; the on-CPU time from /proc/PID/schedstat (ns) is
# printed beside them as the finer reading of the same thing.
set -euo pipefail
build=${1:-build/linux}
seconds=${2:-60}
for program in restlevel restlevel-reg rl_minimal_tray; do
    [ -x "$build/$program" ] || { echo "missing $build/$program: build it first (see the top of $0)" >&2; exit 1; }
done
if ! command -v xautolock >/dev/null; then
    apt-get install -y xautolock >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y xautolock >/dev/null; } \
        || { echo "xautolock could not be installed" >&2; exit 1; }
fi

# shellcheck source=bench/scratch.sh
. "$(dirname "$0")/scratch.sh"

# The display: no reset when a client leaves, so that starting order does
# not matter.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/displayfd" >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 30 display <"$work/displayfd" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$display

mkdir -p "$work/home" "$work/runtime" "$work/config"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config
socket=$work/runtime/pulse.sock
HOME=$work/home pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no -F /dev/null \
    --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
    --load="module-null-sink sink_name=rl_bench" >"$work/pulse.log" 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$socket
for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || { echo "PulseAudio did not start" >&2; exit 1; }

"$build/restlevel-reg" add 'HKCU\SOFTWARE\Halvane\RestLevel' /v Configured /t REG_DWORD /d 1 /f >/dev/null

"$build/restlevel" >"$work/restlevel.log" 2>&1 &
restlevel=$!; pids+=($restlevel)
xautolock -time 60 -locker true >"$work/xautolock.log" 2>&1 &
xautolock=$!; pids+=($xautolock)
"$build/rl_minimal_tray" >"$work/tray.log" 2>&1 &
tray=$!; pids+=($tray)

# Start-up is not what is measured.
sleep 3
for pid in $restlevel $xautolock $tray; do
    kill -0 "$pid" 2>/dev/null || { echo "a program ended early (pid $pid):" >&2; cat "$work"/*.log >&2; exit 1; }
done

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }            # fields after "(comm)" hold no blanks here
oncpu() { awk '{print $1}' "/proc/$1/schedstat" 2>/dev/null || echo 0; }
hwm() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }

r0=$(ticks $restlevel); x0=$(ticks $xautolock); rn0=$(oncpu $restlevel); xn0=$(oncpu $xautolock)
sleep "$seconds"
r1=$(ticks $restlevel); x1=$(ticks $xautolock); rn1=$(oncpu $restlevel); xn1=$(oncpu $xautolock)
hz=$(getconf CLK_TCK)
rhwm=$(hwm $restlevel); thwm=$(hwm $tray)

python3 - "$seconds" "$hz" $((r1 - r0)) $((x1 - x0)) $((rn1 - rn0)) $((xn1 - xn0)) "$rhwm" "$thwm" <<'PY'
import sys
seconds, hz, rt, xt, rn, xn, rhwm, thwm = (int(a) for a in sys.argv[1:])
def ratio(a, b):
    return f"{a / b:.2f}" if b else ("1.00" if a == 0 else "n/a (xautolock used none)")
print(f"over {seconds} s on one idle display:")
print(f"  CPU, utime+stime   restlevel {rt * 1000 // hz:6d} ms   xautolock {xt * 1000 // hz:6d} ms"
      f"   ratio {ratio(rt, xt)}   (goal <= 1)")
print(f"  CPU, on-CPU time   restlevel {rn / 1e6:9.1f} ms   xautolock {xn / 1e6:9.1f} ms   ratio {ratio(rn, xn)}")
print(f"  peak memory (VmHWM) restlevel {rhwm} kB   minimal Qt tray {thwm} kB   ratio {rhwm / thwm:.2f}   (goal <= 1.2)")
PY
