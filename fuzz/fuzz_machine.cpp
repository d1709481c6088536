// The whole machine on hostile ROM images: a BIOS image and a cartridge
// image taken from the input are placed where the loaders put them, the
// machine starts as the headless runner starts it (or from one of a few
// states our BIOS and demo cartridge reach, deep in their start-up or at
// the prompt, with the input's images in place), and runs a short, bounded
// number of loop passes with a keyboard poll every 1000 passes and keys held
// at the polls, every traced function listed (the lines go to the trace
// ring: trace.log cannot be created here). Then the machine state is
// captured, written and read back, and restored after a further run, which
// must then run again to the very same state; a frame is rendered, and the
// debugger's box texts, the address report and the memory explorer's texts
// are made from whatever state the run left. Nothing touches a file, and
// runs are short, so that the harness runs about nine hundred inputs a
// second of CPU time with the sanitizers. (The loaders have harnesses of
// their own, bios and cart; the snapshot files too, snapshot; the machine
// state and the snapshot file hold the same machine: tests/state.)
//
// Input layout (everything past the end reads as zero):
//   0      flags: bit 0 trace every instruction, bit 1 render the frame,
//          bit 2 with bit 6 of byte 7, the memory explorer's box, bit 3 stop
//          address given, bits 4-6 cartridge: 0 none, 1 8 KiB, 2 16 KiB,
//          3 31.5 KiB, 4 32 KiB, 5 a file longer than 32 KiB, 6-7 none
//   1-2    loop passes: 1 + the low 11 bits (at most 2048: two keyboard
//          polls); the top 3 bits: 0-3 a cold start, 4-7 the start state
//          start_states[n - 4]
//   3-4    stop address (with flag bit 3)
//   5-6    address for the debugger's report and the memory explorer
//   7      bit 7: the report's address is above 16 bits; bit 6: make a
//          memory explorer's dump (bits 0-1 its mode, bits 2-4 its length:
//          1 + 37 * n bytes) and, with bit 2 of byte 0, the box's first lines
//   8-15   one key per keyboard poll (index into poll_keys; others: none)
//   16..   the BIOS image, 2048 bytes (a shorter rest is padded with FF)
//   2064.. the cartridge image, padded with FF to its size
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/mem_explorer.h"
#include "debug/trace.h"
#include "asm.h"
#include "fuzz_support.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "time/timer.h"
#include "video/tms3556.h"

namespace {

constexpr size_t BIOS_SIZE = 2048;
constexpr unsigned PASS_MASK = 0x7FF;       // at most 2048 passes
constexpr uint64 TRACED_PASSES_MAX = 1024;  // a listing line per pass: fewer of them
constexpr uint64 AGAIN_PASSES = 256;        // the run from a restored state
constexpr int POLLS = 8;

constexpr size_t cart_sizes[8] = {0, 8192, 16384, 32256, 32768, 32768 + 1000, 0, 0};

// Keys a poll may hold: the machine's keys, F1 (stop), F2/F3 (handshake
// line forced high/low) and Escape (not the machine's).
constexpr int poll_keys[] = {
    OVIX_KEY_A, OVIX_KEY_B, OVIX_KEY_C, OVIX_KEY_D, OVIX_KEY_E, OVIX_KEY_F, OVIX_KEY_G, OVIX_KEY_H, OVIX_KEY_I, OVIX_KEY_J, OVIX_KEY_K, OVIX_KEY_L, OVIX_KEY_M,
    OVIX_KEY_N, OVIX_KEY_O, OVIX_KEY_P, OVIX_KEY_Q, OVIX_KEY_R, OVIX_KEY_S, OVIX_KEY_T, OVIX_KEY_U, OVIX_KEY_V, OVIX_KEY_W, OVIX_KEY_X, OVIX_KEY_Y, OVIX_KEY_Z,
    OVIX_KEY_0, OVIX_KEY_1, OVIX_KEY_2, OVIX_KEY_3, OVIX_KEY_4, OVIX_KEY_5, OVIX_KEY_6, OVIX_KEY_7, OVIX_KEY_8, OVIX_KEY_9, OVIX_KEY_ENTER, OVIX_KEY_SPACE,
    OVIX_KEY_UP, OVIX_KEY_DOWN, OVIX_KEY_LEFT, OVIX_KEY_RIGHT, OVIX_KEY_F1, OVIX_KEY_F2, OVIX_KEY_F3, OVIX_KEY_ESC,
};
constexpr int POLL_KEYS = sizeof poll_keys / sizeof poll_keys[0];

struct key_script {
    uint8_t key[POLLS];
    int poll = 0;
    int held = -1;
};

void release_keys()
{
    for (int k : poll_keys) ovix_key_down[k] = 0;
}

// After each keyboard poll: the key the next poll finds held (no frame is
// rendered for it: the picture is made once, at the end, when asked for).
void key_hook(void *ctx)
{
    auto *s = static_cast<key_script *>(ctx);
    if (s->held >= 0) ovix_key_down[s->held] = 0;
    s->held = -1;
    if (s->poll >= POLLS) return;
    const uint8_t k = s->key[s->poll++];
    if (k < POLL_KEYS) {
        s->held = poll_keys[k];
        ovix_key_down[s->held] = 1;
    }
}

// Every traced function is listed in debug.lst, so that the chips' routine
// messages are formatted too, but for those that write a line for nearly
// every instruction or memory access: with them a run would measure the
// log, not the machine.
const char *const traced_names[] = {
#include "trace_names.inc"
};
const char *const unlisted[] = {"program_read_byte_8()", "program_write_byte_8()", "tms7000_ovix_execute()",
                                "tms70x0_pf_r()"};

// debug.lst, read once when the trace starts; a folder named trace.log
// keeps the lines in the ring.
void prepare_trace()
{
    std::string text;
    for (const char *n : traced_names)
        if (std::none_of(std::begin(unlisted), std::end(unlisted), [&](const char *u) { return !strcmp(n, u); }))
            text += std::string(n) + "\n";
    fuzz_write_file("debug.lst", reinterpret_cast<const uint8_t *>(text.data()), text.size());
    FUZZ_CHECK(mkdir("trace.log", 0755) == 0, "cannot make the folder trace.log");
}

// The images where the loaders place them: the BIOS as it is, a cartridge
// of each size to end at 0x7FFF (32768 bytes and more: the first 512
// hidden), the rest of the cartridge area 0xFF.
void place_images(const std::vector<uint8_t> &bios, const std::vector<uint8_t> &cart)
{
    memcpy(rom_7020, bios.data(), sizeof rom_7020);
    memset(rom_cart + 0x200, 0xFF, sizeof rom_cart - 0x200);
    const size_t n = cart.size() > 32768 ? 32768 : cart.size();
    if (n == 32768)
        memcpy(rom_cart + 0x200, cart.data() + 0x200, 0x8000 - 0x200);
    else if (n)
        memcpy(rom_cart + 0x8000 - n, cart.data(), n);
}

// The keyboard polls: every LOOP_DUE_PASSES passes.
bool poll_due(void *) { return true; }

// Runs exactly n passes, through stops.
void run_passes(uint64 n)
{
    for (uint64 done = 0; done < n;) done += ovix_resume(0xFFFF, n - done, nullptr).passes;
}

// The power-on state of the clock and the keyboard (ovix_power_on does the
// chips), whatever the run before did, so that an input always runs the
// same way.
void power_on_clock_and_keys()
{
    release_keys();
    ovix_set_key_state({0xFF, 0});   // no key held since an earlier poll
    memset(timer_tab, 0, sizeof timer_tab);
    g_timer_num = 0;
    g_timer_clock = orlo_time{0, 0};
}

// States our BIOS (assembled from its sources) reaches with the demo
// cartridge, or alone, after so many passes from power-on: runs may start
// from them, deep in the machine, with the input's images in place.
struct start_state {
    uint64 passes;
    bool demo;
    machine_state state;
};
start_state start_states[4] = {
    {180000, true, {}},   // the character set on its way through the mailbox
    {220000, true, {}},   // the same, INT1 asserted
    {900000, true, {}},   // the demo running
    {750000, false, {}},  // the BIOS alone at its prompt
};

std::vector<uint8_t> assembled(const char *source, unsigned base, unsigned size)
{
    ovasm::Options o;
    o.has_base = o.has_size = true;
    o.base = base;
    o.size = size;
    const ovasm::Result r = ovasm::assemble_file(source, o);
    FUZZ_CHECK(r.ok, "%s does not assemble: %s", source, r.errors.empty() ? "" : r.errors.front().c_str());
    return r.image;
}

void make_start_states()
{
    const std::vector<uint8_t> bios = assembled(OVIX_SOURCE_DIR "/roms/bios/bios.asm", 0xF800, 2048);
    const std::vector<uint8_t> demo = assembled(OVIX_SOURCE_DIR "/roms/demo/demo.asm", 0x4000, 16384);
    fuzz_write_file("bios.bin", bios.data(), bios.size());
    fuzz_write_file("demo.rom", demo.data(), demo.size());
    for (bool with_demo : {true, false}) {
        FUZZ_CHECK(MemInitFrom("bios.bin") == nullptr, "our BIOS was refused");
        if (with_demo) FUZZ_CHECK(RomLoad("demo.rom") == nullptr, "the demo cartridge was refused");
        power_on_clock_and_keys();
        ovix_power_on();
        uint64 at = 0;
        for (start_state &s : start_states) {
            if (s.demo != with_demo) continue;
            for (; at < s.passes;) at += ovix_resume(0xFFFF, s.passes - at, nullptr).passes;
            machine_state_capture(&s.state);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool started = false;
    if (!started) {
        started = true;
        fuzz_enter_workdir();
        prepare_trace();
        fuzz_start_video();
        no_trace();   // the start states are made untraced
        make_start_states();
        restore_trace();
    }
    fuzz_reader in{data, size};
    const uint8_t flags = in.byte();
    const unsigned passes_word = in.word();
    uint64 passes = 1 + (passes_word & PASS_MASK);
    const unsigned start = passes_word >> 13;
    const unsigned stop_word = in.word();
    const uint16 until_pc = (flags & 8) ? (uint16)stop_word : 0xFFFF;
    const unsigned address = in.word();
    const uint8_t dump_mode = in.byte();
    key_script keys;
    for (uint8_t &k : keys.key) k = in.byte();

    std::vector<uint8_t> bios(BIOS_SIZE, 0xFF);
    in.take(bios.data(), BIOS_SIZE);
    const size_t cart_size = cart_sizes[(flags >> 4) & 7];
    std::vector<uint8_t> cart(cart_size, 0xFF);
    in.take(cart.data(), cart_size);

    // The headless runner's start-up.
    power_on_clock_and_keys();
    place_images(bios, cart);
    ovix_power_on();
    if (cart_size) ovix_reset();
    if (start >= 4) machine_state_restore(start_states[start - 4].state);

    dump_all = flags & 1;
    if (dump_all && passes > TRACED_PASSES_MAX) passes = TRACED_PASSES_MAX;
    const loop_hooks hooks = {nullptr, key_hook, &keys, poll_due};
    const loop_result r = ovix_run(until_pc, passes, &hooks);
    dump_all = 0;
    release_keys();
    FUZZ_CHECK(r.passes >= 1 && r.passes <= passes, "%llu passes run, %llu allowed",
               (unsigned long long)r.passes, (unsigned long long)passes);
    FUZZ_CHECK(r.reason != LOOP_STOP_PC || tms7000.pc.w.l == until_pc, "stopped at %04X, not at the stop address",
               tms7000.pc.w.l);

    // The machine state: its byte form reads back to the same record, and
    // a machine restored from it runs to the same state as the machine
    // that went on.
    static machine_state at_end, read_back, went_on, again;
    static uint8 bytes[MACHINE_STATE_BYTES];
    machine_state_capture(&at_end);
    machine_state_write(at_end, bytes);
    std::string why;
    FUZZ_CHECK(machine_state_read(bytes, sizeof bytes, "state", &read_back, &why), "the state does not read back: %s",
               why.c_str());
    FUZZ_CHECK(memcmp(&read_back, &at_end, sizeof at_end) == 0, "the state read back differs");
    run_passes(AGAIN_PASSES);
    machine_state_capture(&went_on);
    machine_state_restore(at_end);
    run_passes(AGAIN_PASSES);
    machine_state_capture(&again);
    FUZZ_CHECK(memcmp(&again, &went_on, sizeof again) == 0, "a restored machine went elsewhere");
    machine_state_restore(at_end);

    // The outputs a user asks for after such a run.
    if (flags & 2) FUZZ_CHECK(tms3556_redraw() != nullptr, "no frame");
    debugger_refresh();
    const address_info info = address_info_text(address | (uint32)(dump_mode >> 7) << 16);
    for (const auto &line : info.line) FUZZ_CHECK(memchr(line, 0, sizeof line) != nullptr, "unterminated report");
    if (dump_mode & 0x40) {
        // The dump to a file: a few lines.
        static char text[1 << 16];
        FILE *f = fmemopen(text, sizeof text, "w");
        FUZZ_CHECK(f != nullptr, "no memory stream");
        mem_explorer_write(f, (dump_mode & 3) % 3, address, address + 37 * ((dump_mode >> 2) & 7));
        fclose(f);
    }
    if ((dump_mode & 0x40) && (flags & 4)) {
        // The box's first lines (the whole box is thousands of lines). Where
        // memory repeats, making them reads through the whole space, which
        // costs more than the rest of an input together: one input in four
        // does it.
        static char box[4096];
        mem_explorer_fill(box, sizeof box, DUMP_BOX_FIRST + address * 2);
        FUZZ_CHECK(memchr(box, 0, sizeof box) != nullptr, "unterminated dump box");
    }
    return 0;
}
