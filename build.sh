#!/usr/bin/env bash
# Builds the Ovix emulator on a Debian machine, installing what is missing.
#   ./build.sh run [OVIX OPTIONS...]
#                     build the programs and ROM images (not the tests) and
#                     start the emulator; the options after `run` go to the
#                     window program, the files they name taken relative to
#                     the folder you call the script from
#   ./build.sh install [PREFIX]
#                     build the same and install it under PREFIX
#                     (default /usr/local): cmake --install
#   ./build.sh test   build everything and run every test, then the whole
#                     suite again in a build with AddressSanitizer and
#                     UndefinedBehaviorSanitizer (build/asan), then the
#                     fuzz harnesses' short runs (clang's libFuzzer,
#                     build/fuzzer)
set -euo pipefail
CALLER=$(pwd)
cd "$(dirname "$0")"
ROOT=$(pwd)

PACKAGES="cmake make g++ pkg-config python3 libgtest-dev liballegro4-dev xvfb xdotool xauth x11-apps
          libpng-dev nlohmann-json3-dev libcli11-dev libssl-dev clang libclang-rt-dev llvm
          retroarch-dev retroarch dbus desktop-file-utils"
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
    # What running and installing need (the programs and the ROM images,
    # target install-set): the test programs are not built.
    cmake --build "$BUILD" -j"$(nproc)" --target install-set
    # From the caller's folder, so that the files named in the options
    # are found where the caller sees them.
    cd "$CALLER"
    exec "$ROOT/tools/run-ovix.sh" "$BUILD" "${@:2}"
    ;;
install)
    PREFIX="${2:-/usr/local}"
    case "$PREFIX" in /*) ;; *) PREFIX="$CALLER/$PREFIX" ;; esac
    cmake --build "$BUILD" -j"$(nproc)" --target install-set
    cmake --install "$BUILD" --prefix "$PREFIX"
    ;;
test)
    cmake --build "$BUILD" -j"$(nproc)"
    # Each stage stops the script when a test fails; the last line sums
    # the tests of all stages.
    LOGS="$BUILD/test-logs"
    mkdir -p "$LOGS"
    ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)" | tee "$LOGS/release.txt"

    # The sanitized suite. Every report of every process (test programs and
    # the programs they start) goes to a file in $REPORTS; one file fails
    # the run, even from a child whose exit status a test does not look at.
    # Reports exit with status 86, which no program of ours uses. The
    # runtimes are linked statically: with g++'s shared ones, undefined-
    # behaviour reports ignore log_path and would only reach stderr.
    # No suppressions are needed: Allegro, X and the window program under
    # Xvfb give no report.
    ASAN_BUILD="$BUILD/asan"
    REPORTS="$ASAN_BUILD/sanitizer-reports"
    SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    echo "== Sanitized build in $ASAN_BUILD"
    cmake -S "$ROOT" -B "$ASAN_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVIX_LTO=OFF -DCMAKE_CXX_FLAGS="$SAN" \
          -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined -static-libasan -static-libubsan" >/dev/null
    cmake --build "$ASAN_BUILD" -j"$(nproc)"
    rm -rf "$REPORTS"
    mkdir -p "$REPORTS"
    start=$(date +%s)
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:exitcode=86:log_path=$REPORTS/report" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$REPORTS/report" \
        ctest --test-dir "$ASAN_BUILD" --output-on-failure -j"$(nproc)" | tee "$LOGS/sanitized.txt" || {
            cat "$REPORTS"/report.* 2>/dev/null || true
            exit 1
        }
    echo "sanitized suite: $(( $(date +%s) - start )) s"
    if compgen -G "$REPORTS/report.*" >/dev/null; then
        echo "sanitizer reports:" >&2
        cat "$REPORTS"/report.* >&2
        exit 1
    fi

    # The fuzz harnesses: a clang build with libFuzzer; each harness replays
    # its stored corpus and fuzzes for a few seconds (fuzz/run-fuzzer.sh).
    FUZZ_BUILD="$BUILD/fuzzer"
    echo "== Fuzz build in $FUZZ_BUILD"
    cmake -S "$ROOT" -B "$FUZZ_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVIX_LTO=OFF -DOVIX_TESTS=OFF \
          -DOVIX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
          -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
          >/dev/null
    cmake --build "$FUZZ_BUILD" --target fuzzers -j"$(nproc)"
    ctest --test-dir "$FUZZ_BUILD" -L fuzzsmoke --output-on-failure -j"$(nproc)" | tee "$LOGS/fuzz.txt"

    total=0
    for log in release sanitized fuzz; do
        n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$LOGS/$log.txt" | tail -1)
        total=$(( total + ${n:-0} ))
    done
    echo "tests: $total passed, 0 failed"
    ;;
*)
    echo "usage: $0 run [OVIX OPTIONS...] | test | install [PREFIX]" >&2
    exit 2
    ;;
esac
