// The movie reader on hostile files: the input is the file, read against
// our BIOS as the loaded image. A refused movie leaves the machine as it
// was and names the file; an accepted one plays to its end, and its text
// made again from the timeline reads back.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "state/movie.h"
#include "state/timeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        fuzz_enter_workdir();
        fuzz_start_video();
        ready = true;
    }
    // The machine the movies of the stored corpus were made on: a cold
    // start on an empty BIOS area of zeros.
    memset(rom_7020, 0, sizeof rom_7020);
    rom_7020[0x7FE] = 0xF8;   // the reset vector: F800
    memset(rom_cart + 0x200, 0xFF, sizeof rom_cart - 0x200);   // no cartridge
    ovix_power_on();
    tl_end();
    machine_state before;
    machine_state_capture(&before);
    std::string error;
    uint64 end = 0;
    if (!movie_load_bytes(data, size, "fuzz.ovm", &error, &end)) {
        machine_state after;
        machine_state_capture(&after);
        FUZZ_CHECK(memcmp(&before, &after, sizeof before) == 0, "a refused movie changed the machine: %s", error.c_str());
        FUZZ_CHECK(error.rfind("fuzz.ovm", 0) == 0, "the message names no file: %s", error.c_str());
        return 0;
    }
    // Bounded: at most a million passes of it.
    const uint64 start = ovix_machine_passes();
    const uint64 passes = end - start > 1000000 ? 1000000 : end - start;
    if (passes) tl_resume(LOOP_NO_TARGET, passes, nullptr);
    const std::string again = movie_text();
    tl_end();
    return 0;
}
