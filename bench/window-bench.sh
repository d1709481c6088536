#!/usr/bin/env bash
# Speed of the window program, under a virtual X server of its own (Xvfb,
# xdotool):
#
#   bench/window-bench.sh [--build DIR] [--seconds N]
#
# 1. Fastest speed: the mixed loop as the BIOS, and the same loop as a
#    cartridge under the open BIOS, each started with --fast and "Turn
#    Profile ON" chosen from the popups; the window title's emulated MHz is
#    read once a second for N seconds (default 10) and its median given. The
#    title measures wall-clock time.
# 2. 5 MHz at the prompt: the open BIOS at its prompt at the default speed;
#    the program's CPU time (user + system, from /proc) over 20 seconds,
#    taken after the start-up, as a share of one core: with the timeline
#    kept (the default) and without it (--rewind 0), three times each, in turn.
# 3. Rewinding: the open BIOS at its prompt after 20 seconds at 5 MHz, the
#    profile on, Backspace held: the pictures shown per second and the
#    factor over real time that the window title gives while it rewinds.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD="$ROOT/build"
SECONDS_FASTEST=10
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --seconds) SECONDS_FASTEST=$2; shift 2 ;;
    -h|--help) bench_help "$0"; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
OVIX="$BUILD/src/main/ovix"
WL="$BUILD/bench/workloads"
OPEN_BIOS="$BUILD/roms/bios/BIOS7020.bin"
bench_need "$OVIX" "$WL/mixed_bios.bin" "$WL/mixed_cart.rom" "$OPEN_BIOS"
for p in Xvfb xdotool; do
    command -v "$p" >/dev/null || { echo "$p is needed (./build.sh installs it)" >&2; exit 1; }
done

TMP=$(mktemp -d)
XPID=""
OPID=""
cleanup() {
    [ -n "$OPID" ] && kill "$OPID" 2>/dev/null || true
    [ -n "$XPID" ] && kill "$XPID" 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$TMP/display" 2>/dev/null &
XPID=$!
for _ in $(seq 50); do [ -s "$TMP/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$TMP/display")"

# Starts the window program in a fresh folder with the options given;
# waits for its window (WIN). The graphics library now and then fails to
# start right after another program on the display ended: the program is
# then started again, a second later, at most twice.
start_ovix() {
    WIN=""
    for _ in 1 2 3; do
        rm -rf "$TMP/run"
        mkdir -p "$TMP/run"
        xdotool mousemove 790 590
        (cd "$TMP/run" && exec "$OVIX" "$@" >/dev/null 2>&1) &
        OPID=$!
        for _ in $(seq 300); do
            WIN=$(xdotool search --name '^ovix( - .*)?$' 2>/dev/null | head -1 || true)
            [ -n "$WIN" ] && break
            kill -0 "$OPID" 2>/dev/null || break
            sleep 0.1
        done
        [ -n "$WIN" ] && break
        sleep 1
    done
    [ -n "$WIN" ] || { echo "the window program did not open its window" >&2; exit 1; }
    xdotool windowfocus "$WIN"
    sleep 1
}

stop_ovix() {
    kill "$OPID" 2>/dev/null || true
    wait "$OPID" 2>/dev/null || true
    OPID=""
}

# The popups sit at fixed places in the 640 x 500 window at (0, 0): the
# fast popup's "Set options" at y = 137, the options popup's "Turn Profile
# ON" at y = 88 (their layouts' places, 20 right and 10 down). The pointer is parked inside the window, the buttons
# pressed slowly enough for the dialog manager to see them.
park() { xdotool mousemove 636 490; sleep 0.3; }
click() { xdotool mousemove "$1" "$2"; sleep 0.3; xdotool mousedown 1; sleep 0.15; xdotool mouseup 1; sleep 0.5; }
profile_on() {
    park; xdotool keydown Escape; sleep 0.3; xdotool keyup Escape; sleep 0.7
    click 160 137; click 160 88
    park
}

# Median of the MHz in the profile title over N seconds (the first two
# measuring windows skipped: they hold the popups' pause).
profile_mhz() {
    sleep 2.5
    for _ in $(seq "$SECONDS_FASTEST"); do
        xdotool getwindowname "$WIN" | sed -n 's/.* - \([0-9.]*\) MHz emulated.*/\1/p'
        sleep 1
    done | bench_median
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

start_ovix --bios "$WL/mixed_bios.bin" --fast
profile_on
echo "fastest speed, mixed loop as BIOS:        $(profile_mhz) MHz (window title)"
stop_ovix

start_ovix --bios "$OPEN_BIOS" --cart "$WL/mixed_cart.rom" --fast
profile_on
echo "fastest speed, mixed loop as cartridge:   $(profile_mhz) MHz (window title)"
stop_ovix

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$OPID/stat"; }
prompt_share() {
    start_ovix --bios "$OPEN_BIOS" "$@"
    sleep 4                                    # start-up done, the prompt blinking
    c0=$(cpu); t0=$(date +%s.%N)
    sleep 20
    c1=$(cpu); t1=$(date +%s.%N)
    awk -v c="$((c1 - c0))" -v k="$ticks" -v a="$t0" -v b="$t1" -v what="$*" \
        'BEGIN { printf "5 MHz at the prompt %-12s %.2f%% of one core (%.2f s CPU in %.1f s)\n", what ":", 100 * c / k / (b - a), c / k, b - a }'
    stop_ovix
}
for _ in 1 2 3; do
    prompt_share --rewind 120
    prompt_share --rewind 0
done

start_ovix --bios "$OPEN_BIOS"
sleep 20                                   # 20 seconds of the machine's time to go back over
profile_on
sleep 2
xdotool keydown BackSpace
for _ in 1 2 3; do
    sleep 2
    echo "$(xdotool getwindowname "$WIN" | sed -n 's/.* - \(rewinding: .*\)/\1/p') (window title)"
done
xdotool keyup BackSpace
stop_ovix
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
