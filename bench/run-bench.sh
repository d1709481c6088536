#!/usr/bin/env bash
# Speed of the emulation loop on five workloads, run by the headless runner:
#
#   bench/run-bench.sh [--build DIR] [--runs N] [--baseline RUNNER] [--no-callgrind] [--check] [--debugger]
#
#   mixed        the mixed loop (27 instructions of the common kinds) as the BIOS
#   mixed-cart   the same loop as a cartridge under the open BIOS, timer 1 running
#   prompt       the open BIOS at its prompt (mostly IDLE steps)
#   video        a loop on the video chip's ports
#   mailbox      a loop on the mailbox: every access writes a trace line to trace.log
#
# For each workload, medians of N runs (default 5): millions of emulated
# instructions and emulated MHz per second of the runner's CPU time (user +
# system, start-up included, which is a few milliseconds), the factor over
# the real machine's 5 MHz, and the emulated MHz per wall-clock second of the
# loop as the runner's summary line gives it. With valgrind installed,
# callgrind's count of host instructions per emulated instruction, taken as
# the difference between a run of 3 and one of 1 million passes, so that
# start-up does not count. --baseline runs a second runner (another build)
# on the same workloads and gives the ratio of the CPU-time rates. --check
# makes the script fail when the mixed loop takes more than 140 host
# instructions per emulated instruction.
#
# --debugger runs every workload (and the baseline) with the debugger
# engine in use: 16 breakpoints at addresses none of the programs reach
# (0300-031E) and 4 write watchpoints on RAM blocks none of them touches
# (C400-C5FF), so that the figures show what the engine costs a program
# that is being debugged.
#
# Runs happen in a temporary folder (under TMPDIR): the mailbox workload
# writes trace.log there (up to twice the log's size limit). On a machine
# shared with other work, CPU time is the steadier measure; the load average
# is printed before and after.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD="$ROOT/build"
RUNS=5
BASELINE=""
CALLGRIND=1
CHECK=0
DEBUGGER=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --baseline) BASELINE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --no-callgrind) CALLGRIND=0; shift ;;
    --check) CHECK=1; shift ;;
    --debugger)
        for a in 0300 0302 0304 0306 0308 030A 030C 030E 0310 0312 0314 0316 0318 031A 031C 031E; do
            DEBUGGER+=(--break "$a")
        done
        DEBUGGER+=(--watch w:C400-C47F --watch w:C480-C4FF --watch w:C500-C57F --watch w:C580-C5FF)
        shift ;;
    -h|--help) bench_help "$0"; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done

RUNNER="$BUILD/tools/headless/ovix-headless"
WL="$BUILD/bench/workloads"
BIOS="$BUILD/roms/bios/BIOS7020.bin"
bench_need "$RUNNER" "$WL/mixed_bios.bin" "$WL/mixed_cart.rom" "$WL/video_bios.bin" "$WL/mailbox_bios.bin" "$BIOS"
if [ "$CALLGRIND" = 1 ] && ! command -v valgrind >/dev/null; then
    echo "(valgrind not installed: no host instruction counts)"
    CALLGRIND=0
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

WORKLOADS="mixed mixed-cart prompt video mailbox"
# The runner's options of a workload (into OPTS) and its passes per timed run.
workload() {
    case "$1" in
    mixed) OPTS=(--bios "$WL/mixed_bios.bin"); PASSES=200000000 ;;
    mixed-cart) OPTS=(--bios "$BIOS" --cart "$WL/mixed_cart.rom"); PASSES=200000000 ;;
    prompt) OPTS=(--bios "$BIOS"); PASSES=1000000000 ;;
    video) OPTS=(--bios "$WL/video_bios.bin"); PASSES=100000000 ;;
    mailbox) OPTS=(--bios "$WL/mailbox_bios.bin"); PASSES=20000000 ;;
    esac
    OPTS+=("${DEBUGGER[@]}")
}

# One timed run of RUNNER with OPTS for N passes: prints "cpu_seconds
# cycles wall_seconds".
timed_run() {
    local runner=$1 passes=$2
    rm -f "$TMP"/trace.log*
    local t
    t=$( { TIMEFORMAT='%3U %3S'; time (cd "$TMP" && "$runner" "${OPTS[@]}" --instructions "$passes" >"$TMP/out" 2>"$TMP/err"); } 2>&1 ) \
        || { echo "run failed: $runner ${OPTS[*]}" >&2; cat "$TMP/err" >&2; exit 1; }
    local line
    line=$(cat "$TMP/out")
    local cycles=${line#*cycles=}; cycles=${cycles%% *}
    local wall=${line#*host_seconds=}; wall=${wall%% *}
    echo "$t" | awk -v c="$cycles" -v w="$wall" '{ print $1 + $2, c, w }'
}

# Host instructions per emulated instruction of RUNNER with OPTS (callgrind).
host_per_instruction() {
    local runner=$1
    ir() {
        rm -f "$TMP"/trace.log*
        (cd "$TMP" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$runner" "${OPTS[@]}" --instructions "$1" 2>&1 >/dev/null) |
            sed -n 's/.*refs: *\([0-9,]*\).*/\1/p' | tr -d ,
    }
    local a b
    a=$(ir 1000000); b=$(ir 3000000)
    awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1f", (b - a) / 2000000 }'
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"
printf '%-11s %12s %12s %10s %12s %14s' workload "M instr/s" "MHz (CPU)" "x real" "MHz (wall)" "host/instr"
[ -n "$BASELINE" ] && printf ' %14s %8s' "baseline MHz" ratio
echo
STATUS=0
for name in $WORKLOADS; do
    workload "$name"
    rates=(); walls=(); mips=(); base=()
    for ((i = 0; i < RUNS; i++)); do
        read -r cpu cycles wall < <(timed_run "$RUNNER" "$PASSES")
        rates+=("$(awk -v c="$cycles" -v t="$cpu" 'BEGIN { print c / t / 1e6 }')")
        walls+=("$(awk -v c="$cycles" -v t="$wall" 'BEGIN { print c / t / 1e6 }')")
        mips+=("$(awk -v p="$PASSES" -v t="$cpu" 'BEGIN { print p / t / 1e6 }')")
        if [ -n "$BASELINE" ]; then
            read -r bcpu bcycles bwall < <(timed_run "$BASELINE" "$PASSES")
            base+=("$(awk -v c="$bcycles" -v t="$bcpu" 'BEGIN { print c / t / 1e6 }')")
        fi
    done
    mhz=$(printf '%s\n' "${rates[@]}" | bench_median)
    wmhz=$(printf '%s\n' "${walls[@]}" | bench_median)
    mi=$(printf '%s\n' "${mips[@]}" | bench_median)
    hpi="-"
    if [ "$CALLGRIND" = 1 ]; then hpi=$(host_per_instruction "$RUNNER"); fi
    printf '%-11s %12.1f %12.0f %10.0f %12.0f %14s' "$name" "$mi" "$mhz" "$(awk -v m="$mhz" 'BEGIN { print m / 5 }')" "$wmhz" "$hpi"
    if [ -n "$BASELINE" ]; then
        bmhz=$(printf '%s\n' "${base[@]}" | bench_median)
        printf ' %14.0f %8.2f' "$bmhz" "$(awk -v a="$mhz" -v b="$bmhz" 'BEGIN { print a / b }')"
    fi
    echo
    if [ "$CHECK" = 1 ] && [ "$name" = mixed ] && [ "$hpi" != "-" ] && awk -v h="$hpi" 'BEGIN { exit !(h > 140) }'; then
        echo "the mixed loop takes $hpi host instructions per emulated instruction (at most 140)" >&2
        STATUS=1
    fi
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $STATUS
