#!/usr/bin/env bash
# Starts the emulator's window program.
#   tools/run-ovix.sh BUILD_DIR [OVIX OPTIONS...]
# The options after BUILD_DIR go to the program (ovix --help lists them);
# the files they name (every option that `ovix --help` shows with FILE)
# are taken relative to the directory the script was called from, though
# the program runs elsewhere.
# Without --bios the program looks for bios/BIOS7020.bin in its working
# directory. A BIOS image of your own placed at <repo>/bios/BIOS7020.bin is
# used as it is, with the repository root as working directory; otherwise
# our open BIOS (built at BUILD_DIR/roms/bios/BIOS7020.bin) is copied into
# BUILD_DIR/run/bios/ and the program runs in BUILD_DIR/run (as it does
# with --bios).
# trace.log, debug.lst, the memory explorer's FILE*.bin/.asm dumps, the
# quick snapshot quick.ovs and the screenshots screen*.png live in that
# working directory.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [OVIX OPTIONS...]" >&2
    exit 2
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
shift

OVIX="$BUILD/src/main/ovix"
if [ ! -x "$OVIX" ]; then
    echo "No window program at $OVIX: build first (./build.sh)." >&2
    exit 1
fi

# The options that name files, as the program lists them ("--cart FILE"),
# and their values made absolute (both "--cart x" and "--cart=x").
FILE_OPTIONS=" $("$OVIX" --help | sed -n 's/^ *\(--[a-z-]*\) FILE .*/\1/p' | tr '\n' ' ')"
CALLER=$(pwd)
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$CALLER/$1" ;; esac; }
takes_file() { case "$FILE_OPTIONS" in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
ARGS=()
file_next=0
BIOS_GIVEN=""
for a in "$@"; do
    case "$a" in --bios | --bios=*) BIOS_GIVEN=1 ;; esac
    if [ "$file_next" = 1 ]; then
        a=$(absolute "$a")
        file_next=0
    elif takes_file "$a"; then
        file_next=1
    elif [[ "$a" == --*=* ]] && takes_file "${a%%=*}"; then
        a="${a%%=*}=$(absolute "${a#*=}")"
    fi
    ARGS+=("$a")
done

if [ -n "$BIOS_GIVEN" ]; then
    # The BIOS named with --bios; the working directory as without a BIOS
    # of your own.
    mkdir -p "$BUILD/run"
    echo "BIOS: the image given with --bios (working directory $BUILD/run)"
    cd "$BUILD/run"
elif [ -f "$ROOT/bios/BIOS7020.bin" ]; then
    echo "BIOS: your own image, $ROOT/bios/BIOS7020.bin"
    cd "$ROOT"
else
    OPEN_BIOS="$BUILD/roms/bios/BIOS7020.bin"
    if [ ! -f "$OPEN_BIOS" ]; then
        echo "No BIOS: neither $ROOT/bios/BIOS7020.bin nor the open BIOS $OPEN_BIOS." >&2
        exit 1
    fi
    mkdir -p "$BUILD/run/bios"
    cp "$OPEN_BIOS" "$BUILD/run/bios/BIOS7020.bin"
    echo "BIOS: the open BIOS, $OPEN_BIOS (working directory $BUILD/run)"
    cd "$BUILD/run"
fi
exec "$OVIX" ${ARGS[@]+"${ARGS[@]}"}
