// The whole machine on hostile ROM images: a BIOS image and a cartridge
// image taken from the input go through the real loaders, the machine
// starts as the headless runner starts it and runs a bounded number of loop
// passes with keys held at the keyboard polls, then a frame is rendered and
// the state file, the debugger's box texts, the address report and the
// memory explorer's texts are made from whatever state the run left.
//
// Input layout (everything past the end reads as zero):
//   0      flags: bit 0 trace every instruction, bit 1 write a screenshot,
//          bit 2 save the state file and load it back, bit 3 stop address given,
//          bits 4-6 cartridge: 0 none, 1 8 KiB, 2 16 KiB, 3 31.5 KiB,
//          4 32 KiB, 5 a file longer than 32 KiB, 6-7 none
//   1-2    loop passes / 16 (little-endian); every run has at least one
//   3-4    stop address (with flag bit 3)
//   5-6    address for the debugger's report and the memory explorer
//   7      bit 7: the report's address is above 16 bits; bit 6: make the
//          memory explorer's text and a dump (bits 0-1 its mode, bits 2-5
//          its length: 1 + 37 * n bytes)
//   8-15   one key per keyboard poll (index into poll_keys; others: none)
//   16..   the BIOS image, 2048 bytes (a shorter rest is padded with FF)
//   2064.. the cartridge image, padded with FF to its size
#include "ovix_allegro.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/mem_explorer.h"
#include "debug/trace.h"
#include "fuzz_support.h"
#include "headless.h"
#include "main/loop.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "time/timer.h"
#include "video/tms3556.h"

namespace {

constexpr size_t BIOS_SIZE = 2048;
constexpr uint64 PASS_UNIT = 16;            // up to 1.05 million passes: our BIOS reaches its prompt
constexpr uint64 TRACED_PASSES_MAX = 20000; // one trace line per pass: keep the log small
constexpr int POLLS = 8;

constexpr size_t cart_sizes[8] = {0, 8192, 16384, 32256, 32768, 32768 + 1000, 0, 0};

// Keys a poll may hold: the machine's keys, F1 (stop), F2/F3 (handshake
// line forced high/low) and Escape (not the machine's).
constexpr int poll_keys[] = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z,
    KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9, KEY_ENTER, KEY_SPACE,
    KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_F1, KEY_F2, KEY_F3, KEY_ESC,
};
constexpr int POLL_KEYS = sizeof poll_keys / sizeof poll_keys[0];

struct key_script {
    uint8_t key[POLLS];
    int poll = 0;
    int held = -1;
};

void release_keys()
{
    for (int k : poll_keys) key[k] = 0;
}

void key_hook(BITMAP *, void *ctx)
{
    auto *s = static_cast<key_script *>(ctx);
    if (s->held >= 0) key[s->held] = 0;
    s->held = -1;
    if (s->poll >= POLLS) return;
    const uint8_t k = s->key[s->poll++];
    if (k < POLL_KEYS) {
        s->held = poll_keys[k];
        key[s->held] = 1;
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

void write_debug_list()
{
    std::string text;
    for (const char *n : traced_names)
        if (std::none_of(std::begin(unlisted), std::end(unlisted), [&](const char *u) { return !strcmp(n, u); }))
            text += std::string(n) + "\n";
    fuzz_write_file("debug.lst", reinterpret_cast<const uint8_t *>(text.data()), text.size());
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool started = false;
    if (!started) {
        started = true;
        fuzz_enter_workdir();
        write_debug_list();
        fuzz_start_video();
    }
    fuzz_reader in{data, size};
    const uint8_t flags = in.byte();
    uint64 passes = 1 + in.word() * PASS_UNIT;
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
    fuzz_write_file("bios.bin", bios.data(), bios.size());
    FUZZ_CHECK(MemInitFrom("bios.bin") == nullptr, "a 2048-byte BIOS image was refused");
    ovix_power_on();
    if (cart_size) {
        fuzz_write_file("cart.rom", cart.data(), cart.size());
        FUZZ_CHECK(RomLoad("cart.rom") == nullptr, "a cartridge of %zu bytes was refused", cart_size);
        ovix_reset();
    }

    dump_all = flags & 1;
    if (dump_all && passes > TRACED_PASSES_MAX) passes = TRACED_PASSES_MAX;
    const loop_hooks hooks = {key_hook, nullptr, &keys};
    const loop_result r = ovix_run(until_pc, passes, &hooks);
    dump_all = 0;
    release_keys();
    FUZZ_CHECK(r.passes >= 1 && r.passes <= passes, "%llu passes run, %llu allowed",
               (unsigned long long)r.passes, (unsigned long long)passes);
    FUZZ_CHECK(r.reason != LOOP_STOP_PC || tms7000.pc.w.l == until_pc, "stopped at %04X, not at the stop address",
               tms7000.pc.w.l);

    // The outputs a user asks for after such a run.
    if (flags & 2) {
        const char *e = write_screenshot("shot.png");
        FUZZ_CHECK(e == nullptr, "screenshot: %s", e);
    } else {
        FUZZ_CHECK(tms3556_redraw() != nullptr, "no frame");
    }
    if (flags & 4) {
        // The state file is a snapshot: whatever state the run reached must
        // load back, and the machine loaded from it must save the same bytes.
        const snapshot_counts counts{r.passes, r.cycles};
        const std::string saved = snapshot_save_bytes(counts);
        const nlohmann::json state = nlohmann::json::parse(saved, nullptr, false);
        FUZZ_CHECK(!state.is_discarded(), "the state file is not JSON");
        FUZZ_CHECK(state.value("pc", -1) == tms7000.pc.w.l, "the state file disagrees with the machine");
        std::string error;
        snapshot_counts loaded;
        FUZZ_CHECK(snapshot_load_bytes(reinterpret_cast<const uint8 *>(saved.data()), saved.size(), "state", &error,
                                       &loaded),
                   "the state file does not load back: %s", error.c_str());
        FUZZ_CHECK(snapshot_save_bytes(loaded) == saved, "the machine loaded from the state file saves other bytes");
    }

    debugger_refresh();
    const address_info info = address_info_text(address | (uint32)(dump_mode >> 7) << 16);
    for (const auto &line : info.line) FUZZ_CHECK(memchr(line, 0, sizeof line) != nullptr, "unterminated report");
    if (dump_mode & 0x40) {   // a hundred thousand formatted lines: not for every run
        static char box[DUMP_BOX_SIZE];
        mem_explorer_fill(box, sizeof box, DUMP_BOX_FIRST + address * 2);
        FUZZ_CHECK(memchr(box, 0, sizeof box) != nullptr, "unterminated dump box");
        FILE *f = fopen("/dev/null", "wb");
        FUZZ_CHECK(f != nullptr, "no /dev/null");
        mem_explorer_write(f, (dump_mode & 3) % 3, address, address + 37 * ((dump_mode >> 2) & 15));
        fclose(f);
    }
    // The trace ring and trace.log go with the run that made them (the next
    // run starts a new log), so that no run looks like it leaks.
    deinit_trace();
    return 0;
}
