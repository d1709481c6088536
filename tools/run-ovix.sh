#!/usr/bin/env bash
# Starts the emulator's window program.
#   tools/run-ovix.sh BUILD_DIR
# The program looks for bios/BIOS7020.bin in its working directory. A BIOS
# image of your own placed at <repo>/bios/BIOS7020.bin is used as it is,
# with the repository root as working directory; otherwise our open BIOS
# (built at BUILD_DIR/roms/bios/BIOS7020.bin) is copied into
# BUILD_DIR/run/bios/ and the program runs in BUILD_DIR/run.
# trace.log, debug.lst and the memory explorer's FILE*.bin/.asm dumps live
# in that working directory.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
OVIX="$BUILD/src/main/ovix"
if [ ! -x "$OVIX" ]; then
    echo "No window program at $OVIX: build first (./build.sh)." >&2
    exit 1
fi

if [ -f "$ROOT/bios/BIOS7020.bin" ]; then
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
exec "$OVIX"
