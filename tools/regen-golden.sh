#!/bin/sh
# Rewrites the golden pictures of the end-to-end tests of our machine
# software (tests/roms/golden/*.png) from the current build, then runs the
# same tests again against them. Use it only after a change that is meant
# to alter what the machine shows, and look at the new pictures before
# committing them.
#
#   tools/regen-golden.sh [BUILD_DIR]      (default: build)
set -e
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target roms ovix-headless roms_test_bios roms_test_bios_inprocess roms_test_demo -j2
OVIX_REGEN_GOLDEN=1 ctest --test-dir "$build" -L '^roms$' --output-on-failure
ctest --test-dir "$build" -L '^roms$' --output-on-failure
git status --short tests/roms/golden
