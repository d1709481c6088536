#!/usr/bin/env bash
# Runs one fuzz harness of a libFuzzer build (the test command makes one in
# build/fuzzer; see docs/development.md, "Fuzzing"):
#
#   fuzz/run-fuzzer.sh [--fresh] BUILD_DIR NAME [SECONDS [libFuzzer options...]]
#
# NAME is a harness (fuzz/fuzz_NAME.cpp); without SECONDS it runs for its
# short test time. Inputs that reach new code go to BUILD_DIR/fuzz-work/NAME,
# kept from run to run; with --fresh (the test command's short runs) they go
# to an emptied BUILD_DIR/fuzz-smoke/NAME instead, so that a short run
# neither starts from nor disturbs a campaign's inputs. The stored corpus
# fuzz/corpus/NAME and the harness's seed folders are read, never written.
# A crash, a sanitizer report, a broken check, a hang or a leak stops the run
# with its input saved in BUILD_DIR/fuzz-findings/NAME/ and a non-zero exit.
set -euo pipefail
FUZZ_DIR=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$FUZZ_DIR")

fresh=0
if [ "${1:-}" = "--fresh" ]; then fresh=1; shift; fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--fresh] BUILD_DIR NAME [SECONDS [libFuzzer options...]]" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
NAME=$2
shift 2

# Per harness: longest input, seconds of the short test run, extra options,
# and folders of seeds kept elsewhere in the repository.
max_len=65536 smoke=15 extra="" seeds=""
case "$NAME" in
machine)   max_len=40000  smoke=35 ;;
asm)       max_len=8192   smoke=30 extra="-dict=$FUZZ_DIR/asm.dict" seeds="$ROOT/roms/bios $ROOT/roms/demo" ;;
snapshot)  max_len=131072 smoke=20 ;;
debug_lst) max_len=8192   smoke=15 ;;
bios)      max_len=4096   smoke=10 ;;
cart)      max_len=4096   smoke=10 ;;
console)   max_len=4096   smoke=15 ;;
dap)       max_len=16384  smoke=15 ;;
movie)     max_len=200000 smoke=15 ;;
esac
seconds=$smoke
if [ $# -gt 0 ]; then seconds=$1; shift; fi

BIN="$BUILD/fuzz/fuzz-$NAME"
if [ ! -x "$BIN" ]; then
    echo "$BIN is not built: build the fuzzers first (see docs/development.md, \"Fuzzing\")" >&2
    exit 1
fi
CORPUS="$FUZZ_DIR/corpus/$NAME"
WORK="$BUILD/fuzz-work/$NAME"
FINDINGS="$BUILD/fuzz-findings/$NAME"
RUNDIR="$BUILD/fuzz-run/$NAME"
if [ "$fresh" = 1 ]; then
    WORK="$BUILD/fuzz-smoke/$NAME"
    rm -rf "$WORK"
fi
mkdir -p "$WORK" "$FINDINGS" "$RUNDIR" "$CORPUS"

cd "$RUNDIR"
echo "fuzzing $NAME for ${seconds}s: new inputs in $WORK, findings in $FINDINGS"
status=0
# shellcheck disable=SC2086   # $extra and $seeds are word lists
"$BIN" -max_total_time="$seconds" -max_len="$max_len" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$FINDINGS/" $extra "$@" \
    "$WORK" "$CORPUS" $seeds || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz-$NAME stopped on a finding (exit $status); its input is in $FINDINGS:" >&2
    ls -t "$FINDINGS" | head -3 >&2
fi
exit "$status"
