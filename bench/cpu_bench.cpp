// CPU throughput benchmark. A small program in the BIOS ROM (moves,
// arithmetic, a compare and branch, DJNZ, a CALL to a subroutine that
// stores to and loads from RAM, RETS) loops for ever, run by the emulation
// loop itself (ovix_run: one instruction, the handshake keys, the emulated
// clock advanced by its cycles, one timer check per pass, and a frame and a
// keyboard poll every 100000 passes; no window). Prints emulated
// instructions per host second and emulated MHz (emulated cycles per host
// second / 1e6). Both rates are given per second of wall-clock time and per
// second of this process's CPU time: on a machine shared with other work the
// second one is the stable figure.
//
//   ovix-bench [seconds] [--trace-on]
//
// Tracing is switched off (no_trace) unless --trace-on is given; then the
// facility is on with whatever debug.lst in the working directory lists, as
// in the emulator's own loop (it writes trace.log there).
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "mem/memory.h"
#include "machine/loop.h"
#include "video/tms3556.h"

static constexpr uint16 ORG = 0xF800;

// Hand-assembles the loop into rom_7020 and points the reset vector at it.
static void load_program()
{
    std::vector<uint8> p;
    auto here = [&] { return (int)(ORG + p.size()); };
    auto emit = [&](std::initializer_list<int> bytes) { for (int b : bytes) p.push_back((uint8)b); };
    // The offset byte of a relative jump ending at `end` towards `target`.
    auto rel = [](int target, int end) { return (uint8)(target - end); };

    const int start = here();
    emit({0x72, 0x40, 0x0A});                 // MOV %0x40,R10     loop count
    const int loop = here();
    emit({0x12, 0x0A});                       // MOV R10,A
    emit({0x28, 0x03});                       // ADD %3,A
    emit({0xD0, 0x0B});                       // MOV A,R11
    emit({0xC3});                             // INC B
    const int call_at = here();
    emit({0x8E, 0x00, 0x00});                 // CALL sub          (patched below)
    emit({0x2D, 0x80});                       // CMP %0x80,A
    emit({0xE6, 0x01});                       // JNE +1
    emit({0x00});                             // NOP
    emit({0x48, 0x0B, 0x0C});                 // ADD R11,R12
    const int djnz_at = here();
    emit({0xDA, 0x0A, rel(loop, djnz_at + 3)}); // DJNZ R10,loop
    emit({0x8C, start >> 8, start & 0xFF});   // BR start
    const int sub = here();
    emit({0x8B, 0xC0, 0x00});                 // STA @0xC000
    emit({0x8A, 0xC0, 0x01});                 // LDA @0xC001
    emit({0x0A});                             // RETS
    p[call_at - ORG + 1] = (uint8)(sub >> 8);
    p[call_at - ORG + 2] = (uint8)(sub & 0xFF);

    for (size_t k = 0; k < p.size(); k++) rom_7020[k] = p[k];
    rom_7020[0x7FE] = ORG >> 8;               // reset vector
    rom_7020[0x7FF] = ORG & 0xFF;
}

int main(int argc, char **argv)
{
    double seconds = 1.0;
    bool trace_on = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--trace-on") == 0) trace_on = true;
        else seconds = atof(argv[i]);
    }
    if (!trace_on) no_trace();
    // The frames are drawn into a memory bitmap, as in the headless runner.
    if (tms3556_init(0x8000) != 0) {
        fprintf(stderr, "ovix-bench: cannot create the frame bitmap\n");
        return 1;
    }
    tms7000_power_on();
    mem_power_on();
    load_program();
    tms7000_reset(nullptr);

    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    const std::clock_t cpu0 = std::clock();
    uint64 passes = 0, cycles = 0;
    double elapsed = 0;
    do {
        // The program never reaches 0xFFFF: each call runs its count.
        const loop_result r = ovix_run(0xFFFF, 1 << 20, nullptr);
        passes += r.passes;
        cycles += r.cycles;
        elapsed = std::chrono::duration<double>(clock::now() - t0).count();
    } while (elapsed < seconds);
    const double cpu = (double)(std::clock() - cpu0) / CLOCKS_PER_SEC;

    // The program never leaves its loop; a pc outside it means the run
    // measured something else.
    const uint16 pc = get_pc();
    if (pc < ORG || pc >= ORG + 0x40 || ram_2k[0] == 0) {
        fprintf(stderr, "ovix-bench: the program left its loop (pc %04X)\n", pc);
        return 1;
    }
    printf("%llu instructions, %llu cycles in %.3f s wall, %.3f s CPU (%.2f cycles per instruction)\n",
           (unsigned long long)passes, (unsigned long long)cycles, elapsed, cpu, (double)cycles / passes);
    printf("wall time: %.1f million emulated instructions per second, %.1f emulated MHz\n",
           passes / elapsed / 1e6, cycles / elapsed / 1e6);
    printf("CPU time:  %.1f million emulated instructions per second, %.1f emulated MHz\n",
           passes / cpu / 1e6, cycles / cpu / 1e6);
    return 0;
}
