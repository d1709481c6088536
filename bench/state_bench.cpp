// Machine state benchmark: how long capturing and restoring the whole
// machine in memory take, and writing and reading its byte form, on our
// BIOS with the demo cartridge after a second of emulated time. Prints the
// median and the worst of many timed calls, in microseconds.
//
//   ovix-state-bench [BIOS [CARTRIDGE]]
//
// The images default to the ones this build made.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "debug/trace.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "state/snapshot.h"
#include "video/tms3556.h"

static constexpr int ROUNDS = 20000;

// Median and worst of ROUNDS calls of f, in microseconds.
template <typename F>
static void time_it(const char *what, F &&f)
{
    std::vector<double> us(ROUNDS);
    for (int i = 0; i < ROUNDS; i++) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        us[i] = std::chrono::duration<double, std::micro>(t1 - t0).count();
    }
    std::sort(us.begin(), us.end());
    printf("%-34s median %7.2f us   99th %7.2f us   worst %8.2f us\n", what, us[ROUNDS / 2], us[ROUNDS * 99 / 100],
           us[ROUNDS - 1]);
}

int main(int argc, char **argv)
{
    const char *bios = argc > 1 ? argv[1] : OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
    const char *cart = argc > 2 ? argv[2] : OVIX_BINARY_DIR "/roms/demo/demo.rom";
    no_trace();
    if (tms3556_init(0x8000) != 0) {
        fprintf(stderr, "cannot create the frame bitmap\n");
        return 1;
    }
    if (const char *e = MemInitFrom(bios)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    if (const char *e = RomLoad(cart)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    ovix_power_on();
    ovix_run(0xFFFF, 1000000, nullptr);

    static machine_state s;
    static uint8 bytes[MACHINE_STATE_BYTES];
    std::string error;
    printf("record %zu bytes, byte form %zu bytes\n", sizeof s, MACHINE_STATE_BYTES);
    time_it("capture", [] { machine_state_capture(&s); });
    time_it("restore", [] { machine_state_restore(s); });
    time_it("write (byte form)", [] { machine_state_write(s, bytes); });
    time_it("read (checksum, checks)", [&] { machine_state_read(bytes, sizeof bytes, "b", &s, &error); });
    time_it("load (read, images, restore)", [&] {
        if (!machine_state_load_bytes(bytes, sizeof bytes, "b", &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            exit(1);
        }
    });
    const std::string text = snapshot_save_bytes({});
    printf("snapshot file %zu bytes, for comparison:\n", text.size());
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; i++) snapshot_save_bytes({});
    auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; i++) snapshot_load_bytes((const uint8 *)text.data(), text.size(), "s", &error);
    auto t2 = std::chrono::steady_clock::now();
    printf("%-34s mean %9.1f us\n%-34s mean %9.1f us\n", "snapshot save (JSON)",
           std::chrono::duration<double, std::micro>(t1 - t0).count() / 100, "snapshot load (JSON)",
           std::chrono::duration<double, std::micro>(t2 - t1).count() / 100);
    return 0;
}
