// Machines for the state tests: random programs that reach every part of
// the machine, cold starts on them or on our BIOS and demo cartridge, and
// runs of an exact number of passes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "asm.h"
#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "test_support.h"
#include "time/timer.h"

inline const std::string BIOS = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
inline const std::string DEMO = OVIX_BINARY_DIR "/roms/demo/demo.rom";

// Runs exactly n passes, going on through every stop (a stop address or a
// debugger request ends a call of the loop, not the count).
inline void run_passes(uint64 n)
{
    for (uint64 done = 0; done < n;) done += ovix_resume(0xFFFF, n - done, nullptr).passes;
}

// A random program for the BIOS area: timer 1 running with INT2 and INT1
// enabled, then a loop of random instructions that reach the registers,
// RAM, the video ports, port B (the I/O processor's handshake), the
// mailbox, IOCNT0, timer 1 and IDLE; an interrupt routine of its own.
inline std::vector<uint8> random_program(uint32 seed)
{
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };
    auto num = [&](int n) { return std::to_string(pick(n)); };
    auto reg = [&] { return "R" + std::to_string(16 + pick(32)); };
    auto ram = [&] { return "@" + std::to_string(0xC000 + pick(2048)); };
    const std::vector<std::function<std::string()>> forms = {
        [&] { return "MOV %" + num(256) + "," + reg(); },
        [&] { return "ADD " + reg() + "," + reg(); },
        [&] { return "SUB %" + num(256) + "," + reg(); },
        [&] { return "XOR " + reg() + "," + reg(); },
        [&] { return "RLC " + reg(); },
        [&] { return "MPY " + reg() + "," + reg(); },
        [&] { return "DEC " + reg(); },
        [&] { return "MOV " + reg() + ",A"; },
        [&] { return "STA " + ram(); },
        [&] { return "LDA " + ram(); },
        [&] { return "MOVP %" + num(256) + ",P45"; },   // video register port
        [&] { return "MOVP %" + num(256) + ",P46"; },   // VRAM data port
        [&] { return std::string("MOVP P36,A"); },      // VRAM read port
        [&] { return "MOVP %" + num(4) + ",P6"; },      // handshake lines B0, B1
        [&] { return std::string("MOVP P4,B"); },       // port A
        [&] { return std::string("LDA @$0130"); },      // mailbox
        [&] { return "MOVP %" + num(256) + ",P2"; },    // T1DATA
        [&] { return "MOVP %" + std::to_string(0x05 | 0x2A * pick(2)) + ",P0"; },
        [&] { return std::string("PUSH A\n POP B"); },
        [&] { return std::string("EINT\n IDLE"); },
        [&] { return std::string("DINT"); },
        [&] { return std::string("EINT"); },
    };
    std::string src = " ORG $F800\nstart: MOVP %" + num(256) + ",P2\n MOVP %" + std::to_string(0x80 | pick(32)) +
                      ",P3\n MOVP %5,P0\n EINT\nloop:\n";
    for (int i = 0, n = 8 + pick(24); i < n; i++) src += " " + forms[(size_t)pick((int)forms.size())]() + "\n";
    src += " BR loop\nisr: INC R60\n";
    for (int i = 0, n = pick(3); i < n; i++) src += " " + forms[(size_t)pick(8)]() + "\n";
    src += " RETI\n ORG $FFF8\n DW isr, isr, isr, start\n";
    ovasm::Options o;
    o.has_base = o.has_size = true;
    o.base = 0xF800;
    o.size = 2048;
    const ovasm::Result r = ovasm::assemble_text("random.asm", src, o);
    EXPECT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors.front()) << "\n" << src;
    return r.image;
}

class random_machine_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(start_headless_video()); }

    // A cold start on the BIOS image (our BIOS when empty) and cartridge.
    static void start(const std::vector<uint8> &program, bool demo)
    {
        ASSERT_EQ(MemInitFrom(BIOS.c_str()), nullptr);
        if (!program.empty()) memcpy(rom_7020, program.data(), sizeof rom_7020);
        if (demo) {
            ASSERT_EQ(RomLoad(DEMO.c_str()), nullptr);
        }
        for (int k = 0; k < OVIX_KEY_MAX; k++) ovix_key_down[k] = 0;
        ovix_power_on();
        ovix_set_pass_counter(0);
        ovix_set_key_state({0xFF, 0});
    }

    // Moves the machine far from any snapshot: a power-on, other passes,
    // another pass counter and held key.
    static void scramble()
    {
        ovix_power_on();
        run_passes(12345);
        ovix_set_pass_counter(777);
        ovix_set_key_state({0x41, OVIX_KEY_A});
    }
};

// Counts of the moments a table of runs reached, for the tests' own check
// that they reach what matters.
struct moments {
    int mid_transfer = 0, timer_pending = 0, irq_pending = 0;
    void look()
    {
        const int s = cur_state;
        mid_transfer += l_7041_index > 0 && (s == get_state_num("command2") || s == get_state_num("command3") ||
                                             s == get_state_num("next"));
        timer_pending += g_timer_num > 0;
        irq_pending += tms7000.irq_state[0] == ASSERT_LINE || tms7000.irq_state[1] == ASSERT_LINE ||
                       (tms7000.pf[0] & 0x2A) != 0;
    }
};
