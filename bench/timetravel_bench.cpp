// Time-travel benchmark: a session of our BIOS with the demo cartridge run
// for MINUTES of emulated time at 5 MHz as the window program runs it (a
// frame pass every 100000 cycles) with a key typed every second, recorded
// on the timeline; then, at random points of it, the time a reverse step
// takes and the time a reverse continue back to the last key handled
// takes; the timeline's memory per recorded minute; the cost of recording
// (keyframes) per emulated second, as a share of a core at 5 MHz; and the
// in-memory capture and restore.
//
//   ovix-timetravel-bench [MINUTES [SAMPLES]]      (10 and 200 by default)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "debug/engine.h"
#include "debug/trace.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "state/timeline.h"
#include "time/timer.h"
#include "video/tms3556.h"

using steady = std::chrono::steady_clock;

static uint64 cycles_now()
{
    const orlo_time t = orlo_get_time();
    return (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
}

// Frames as the window program has them at 5 MHz: one per 100000 cycles.
static uint64 next_frame = 0;
static bool frame_due(void *)
{
    if (cycles_now() < next_frame && next_frame - cycles_now() <= 100000) return false;
    next_frame = cycles_now() + 100000;
    return true;
}

// A key every second of emulated time: letters, then Enter.
static int typed_key()
{
    static uint64 next = 5000000;
    static int n = 0;
    if (cycles_now() < next && next - cycles_now() <= 2500000) return -1;
    next = cycles_now() + 2500000;
    return n++ % 2 ? OVIX_KEY_RELEASE : (n % 16 == 15 ? 0x0D : 0x41 + n % 26);
}

static void report(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    printf("%-32s median %8.3f ms   90th %8.3f ms   worst %8.3f ms   (%zu)\n", what, ms[ms.size() / 2],
           ms[ms.size() * 9 / 10], ms.back(), ms.size());
}

int main(int argc, char **argv)
{
    const int minutes = argc > 1 ? atoi(argv[1]) : 10;
    const int samples = argc > 2 ? atoi(argv[2]) : 200;
    no_trace();
    if (tms3556_init(0x8000) != 0) return 1;
    if (const char *e = MemInitFrom(OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin")) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    if (const char *e = RomLoad(OVIX_BINARY_DIR "/roms/demo/demo.rom")) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    ovix_power_on();
    ovix_key_source = typed_key;
    const uint64 session = (uint64)minutes * 60 * ORLO_SUBSECONDS;
    tl_begin(session + 10 * ORLO_SUBSECONDS, 1u << 30);
    const loop_hooks hooks = {nullptr, nullptr, nullptr, frame_due};

    // The session, and what recording costs: the keyframes' time.
    const auto t0 = steady::now();
    uint64 from = cycles_now();
    while (cycles_now() - from < session) tl_resume(LOOP_NO_TARGET, 1000000, &hooks);
    const double run_s = std::chrono::duration<double>(steady::now() - t0).count();
    const uint64 end = ovix_machine_passes();
    printf("session: %d min of emulated time, %llu passes, %zu keyframes, %zu events, run in %.2f s\n", minutes,
           (unsigned long long)end, tl_keyframes(), tl_events().size(), run_s);
    printf("timeline memory: %.2f MiB, %.1f KiB per recorded minute\n", tl_memory() / 1048576.0,
           tl_memory() / 1024.0 / minutes);

    // A keyframe's cost (capture and coding), as tl_frame pays it.
    {
        std::vector<double> us;
        machine_state m;
        for (int i = 0; i < 2000; i++) {
            const auto a = steady::now();
            machine_state_capture(&m);
            us.push_back(std::chrono::duration<double, std::micro>(steady::now() - a).count());
        }
        std::sort(us.begin(), us.end());
        printf("capture: median %.2f us\n", us[us.size() / 2]);
        const auto a = steady::now();
        for (int i = 0; i < 2000; i++) machine_state_restore(m);
        printf("restore: mean %.2f us\n", std::chrono::duration<double, std::micro>(steady::now() - a).count() / 2000);
    }
    // Recording at 5 MHz: a keyframe per half second of emulated time; the
    // run above with the timeline and without it tells the whole cost.
    {
        ovix_power_on();   // a new timeline from a cold start
        tl_end();
        next_frame = 0;
        const auto a = steady::now();
        from = cycles_now();
        while (cycles_now() - from < session) ovix_resume(LOOP_NO_TARGET, 1000000, &hooks);
        const double plain_s = std::chrono::duration<double>(steady::now() - a).count();
        const double extra = run_s - plain_s;
        printf("recording: %.3f s of %.2f s for %d min; at 5 MHz, %.4f %% of a core\n", extra, run_s, minutes,
               100.0 * extra / (minutes * 60.0));
        // Back to the recorded session for the travel figures.
        ovix_power_on();
        next_frame = 0;
        tl_begin(session + 10 * ORLO_SUBSECONDS, 1u << 30);
        from = cycles_now();
        while (cycles_now() - from < session) tl_resume(LOOP_NO_TARGET, 1000000, &hooks);
    }
    const uint64 begin = tl_begin_pass(), last = tl_end_pass();

    std::mt19937_64 rng(1);
    std::vector<double> step_ms, continue_ms;
    std::string error;
    // A breakpoint at the BIOS's INT1 handler: each key typed reaches it.
    uint16 int1 = (uint16)(rom_7020[0x7FC] << 8 | rom_7020[0x7FD]);
    char where[8];
    snprintf(where, sizeof where, "%04X", int1);
    for (int i = 0; i < samples; i++) {
        const uint64 at = begin + 1 + rng() % (last - begin - 1);
        if (tl_goto(at, &error).kind == DBG_STOP_NONE) {
            fprintf(stderr, "goto %llu: %s\n", (unsigned long long)at, error.c_str());
            return 1;
        }
        auto a = steady::now();
        if (tl_step_back(&error).kind == DBG_STOP_NONE) {
            fprintf(stderr, "step back at %llu: %s\n", (unsigned long long)at, error.c_str());
            return 1;
        }
        step_ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - a).count());
        if (i % 4 == 0) {
            dbg_break_add(where, nullptr, nullptr, false, &error);
            a = steady::now();
            tl_reverse_continue(&error);
            continue_ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - a).count());
            dbg_delete_all();
        }
    }
    report("reverse step", step_ms);
    report("reverse continue (INT1)", continue_ms);
    return 0;
}
