#!/usr/bin/env bash
# Builds the Ovix emulator on a Debian machine, installing what is missing.
#   ./build.sh run    build what running needs (window program, assembler,
#                     ROM images) and start the emulator
#   ./build.sh test   build everything and run every test
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

PACKAGES="cmake make g++ pkg-config libgtest-dev liballegro4-dev xvfb xdotool xauth x11-apps
          libpng-dev nlohmann-json3-dev libcli11-dev libssl-dev clang libclang-rt-dev"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

BUILD="$ROOT/build"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null

case "${1:-run}" in
run)
    # Only what running needs (the window program, the assembler and the
    # ROM images it makes): the test programs are not built.
    cmake --build "$BUILD" -j"$(nproc)" --target ovix ovix-asm roms
    if [ ! -x "$BUILD/src/main/ovix" ]; then
        echo "The emulation core and its tools are built in $BUILD."
        echo "The window program is not part of this version yet; it comes in a later step."
        exit 0
    fi
    exec "$ROOT/tools/run-ovix.sh" "$BUILD"
    ;;
test)
    cmake --build "$BUILD" -j"$(nproc)"
    ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
