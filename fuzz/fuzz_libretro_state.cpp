// The libretro core's save states, hostile ones above all. The input:
//
//   byte 0     mode: bit 0 clear: the rest of the input is the state as it
//              stands; set: a real state of the core with the changes below.
//              Bit 1: the checksums of the changed state are made right
//              again, so that the changes reach the checks of the values
//   byte 1     frames run before saving the real state (0-3)
//   the rest   changes to the real state: 3 bytes of offset (little-endian,
//              taken modulo the state's size) and a byte to xor there, each
//
// Every state is refused (the core says why in its log and the machine goes
// on exactly as it was) or loaded; a loaded one runs, and what the core
// saves from it loads back and saves to the same bytes.
#include <cstring>
#include <string>
#include <vector>

#include <openssl/sha.h>

#include "fuzz_libretro.h"
#include "machine/machine_state.h"

namespace {

// The core's state layout: its own 402 bytes and their SHA-256, then the
// machine state, whose last 32 bytes are the SHA-256 of the rest of it.
constexpr size_t CORE_PART = 402, MACHINE_PART = CORE_PART + 32;

std::vector<uint8_t> save()
{
    std::vector<uint8_t> state(retro_serialize_size());
    FUZZ_CHECK(retro_serialize(state.data(), state.size()), "the core did not save its state");
    return state;
}

// The machine at the BIOS's prompt.
const std::vector<uint8_t> &base_state()
{
    static std::vector<uint8_t> base;
    if (!base.empty()) return base;
    using namespace fuzz_libretro;
    FUZZ_CHECK(retro_load_game(nullptr), "the core did not start: %s", fe.log.c_str());
    run_frames(100);
    base = save();
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace fuzz_libretro;
    start();
    const std::vector<uint8_t> &base = base_state();
    fuzz_reader in{data, size};
    const unsigned mode = in.byte();
    const unsigned frames = in.byte() & 3;

    FUZZ_CHECK(retro_unserialize(base.data(), base.size()), "the base state did not load: %s", fe.log.c_str());
    run_frames((int)frames);
    const std::vector<uint8_t> before = save();

    std::vector<uint8_t> state;
    if (!(mode & 1)) {
        state.assign(in.rest(), in.rest() + in.left());
    } else {
        state = before;
        while (in.left() >= 4) {
            const size_t at = (in.byte() | (size_t)in.byte() << 8 | (size_t)in.byte() << 16) % state.size();
            state[at] ^= in.byte();
        }
        if (mode & 2) {
            SHA256(state.data(), CORE_PART, state.data() + CORE_PART);
            SHA256(state.data() + MACHINE_PART, MACHINE_STATE_BYTES - 32, state.data() + state.size() - 32);
        }
    }

    fe.log.clear();
    if (!retro_unserialize(state.data(), state.size())) {
        FUZZ_CHECK(fe.log.find("Cannot load the state: ") != std::string::npos, "refused without a reason: %s",
                   fe.log.c_str());
        FUZZ_CHECK(save() == before, "a refused state changed the machine: %s", fe.log.c_str());
        return 0;
    }
    run_frames(1);
    const std::vector<uint8_t> saved = save();
    FUZZ_CHECK(retro_unserialize(saved.data(), saved.size()), "a state the core saved did not load: %s",
               fe.log.c_str());
    FUZZ_CHECK(save() == saved, "a state the core saved loaded into another machine");
    return 0;
}
