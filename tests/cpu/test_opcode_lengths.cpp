// One fact kept in two places: for every opcode, the bytes the CPU's handler
// consumes equal the length the disassembler reports. Each opcode runs once
// with operand bytes that make control transfers land on the next
// instruction (relative offsets 0, absolute targets, vectors and return
// addresses pointing just past the instruction), so the program counter
// after the step measures the handler's length whether a branch is taken or
// not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "mem/memory.h"

namespace {

constexpr unsigned X = 0xC200;   // the instruction, in RAM

void set_reg(int n, uint8 v) { program_write_byte_8(n, v); }

// Places opcode `op` at X with the operands and machine state that make
// its successor address X + len; returns the disassembler's length.
unsigned prepare(int op)
{
    tms7000_power_on();
    memset(ram_2k, 0, sizeof ram_2k);
    ram_2k[X - 0xC000] = (uint8)op;
    char text[256];
    unsigned len = Dasm7000(text, X);
    unsigned next = X + len;
    uint8 hi = (uint8)(next >> 8), lo = (uint8)next;

    switch (op) {
    case 0x8C: case 0x8E: case 0xAC: case 0xAE:     // BR/CALL @a and @a(B), B = 0
        ram_2k[X - 0xC000 + 1] = hi;
        ram_2k[X - 0xC000 + 2] = lo;
        tms7000.sp = 10;                            // CALL's pushes must not reach B
        break;
    case 0x9C: case 0x9E:                           // BR/CALL *R0: pair R127:R0
        set_reg(127, hi);
        set_reg(0, lo);
        tms7000.sp = 10;                            // CALL's pushes stay clear of the pair
        break;
    case 0x0A:                                      // RETS: LSB on top, then MSB
        tms7000.sp = 2;
        set_reg(2, lo);
        set_reg(1, hi);
        break;
    case 0x0B:                                      // RETI: LSB, MSB, then the status
        tms7000.sp = 3;
        set_reg(3, lo);
        set_reg(2, hi);
        set_reg(1, 0);
        break;
    default:
        if (op >= 0xE8) {                           // TRAP n: vector at 0xFFFE - 2n
            int n = 0xFF - op;
            rom_7020[0xFFFE - 2 * n - 0xF800] = hi;
            rom_7020[0xFFFF - 2 * n - 0xF800] = lo;
        }
        break;
    }
    tms7000.pc.w.l = (uint16)X;
    return len;
}

}  // namespace

TEST(OpcodeLengths, HandlersConsumeTheDisassemblersLength)
{
    uint8 saved_rom[sizeof rom_7020];
    memcpy(saved_rom, rom_7020, sizeof rom_7020);

    struct Table {
        const char *name;
        int (*execute)(int);
    };
    // D7 is SWAP Rn in the standard table and the video read in the
    // machine's own: two bytes in both.
    for (Table t : {Table{"standard set", tms7000_execute}, Table{"machine set", tms7000_ovix_execute}}) {
        for (int op = 0; op < 256; op++) {
            unsigned len = prepare(op);
            t.execute(1);
            unsigned consumed = (unsigned)(uint16)(tms7000.pc.w.l - X);
            EXPECT_EQ(consumed, len) << t.name << " opcode " << std::hex << op;
        }
    }
    memcpy(rom_7020, saved_rom, sizeof rom_7020);
    tms7000_power_on();
}
