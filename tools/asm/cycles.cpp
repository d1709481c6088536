// ovix-asm: the cycles the processor charges for each opcode of the
// machine's instruction set, for the listing. tests/tools/test_asm_guide.cpp
// runs every opcode through the emulation core and checks this table (and
// the programmer's guide's table of instructions) against what it charges,
// so neither can drift from the core.
#include <array>

#include "asm.h"

namespace ovasm {
namespace {

// Cycles of every opcode, taken for the conditional branches; the 30
// unassigned opcodes take 4. D7 is the machine's LDVDP.
constexpr std::array<uint8_t, 256> k_cycles = {
/*        x0  x1  x2  x3  x4  x5  x6  x7  x8  x9  xA  xB  xC  xD  xE  xF */
/* 0x */   4,  6,  4,  4,  4,  5,  5,  5,  6,  6,  7,  9,  4,  5,  6,  4,
/* 1x */   4,  4,  8,  8,  8,  8,  9,  9,  8,  8,  8,  8, 46,  8, 10, 10,
/* 2x */   4,  4,  7,  7,  7,  7, 11, 11,  7,  7,  7,  7, 45,  7,  9,  9,
/* 3x */   4,  4,  8,  8,  8,  8, 12, 12,  8,  8,  8,  8, 46,  8, 10, 10,
/* 4x */   4,  4, 10, 10, 10, 10, 14, 14, 10, 10, 10, 10, 48, 10, 12, 12,
/* 5x */   4,  4,  7,  7,  7,  7, 11, 11,  7,  7,  7,  7, 45,  7,  9,  9,
/* 6x */   4,  4,  5,  5,  5,  5,  9,  9,  5,  5,  5,  5, 43,  5,  7,  7,
/* 7x */   4,  4,  9,  9,  9,  9, 13, 13,  9,  9,  9,  9, 47,  9, 11, 11,
/* 8x */   9,  4, 10, 10, 10, 10, 13, 13, 15,  4, 11, 11, 10, 12, 14,  4,
/* 9x */   4,  8, 10,  9,  9,  9, 12, 12, 14,  4, 10, 10,  9, 11, 13,  4,
/* Ax */   4,  4, 11, 11, 11, 11, 14, 14, 17,  4, 13, 13, 12, 14, 16,  4,
/* Bx */   6,  4,  5,  5,  5,  5,  6,  8,  6,  6,  7,  9,  5,  5,  5,  5,
/* Cx */   6,  6,  5,  5,  5,  5,  6,  8,  6,  6,  7,  9,  5,  5,  5,  5,
/* Dx */   8,  7,  7,  7,  7,  7,  8,  9,  8,  8,  9, 11,  7,  7,  7,  7,
/* Ex */   7,  7,  7,  7,  7,  7,  7,  7, 14, 14, 14, 14, 14, 14, 14, 14,
/* Fx */  14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14,
};

// The conditional branches' cycles when they do not branch (0: not one).
constexpr std::array<uint8_t, 256> k_not_taken = [] {
    std::array<uint8_t, 256> t{};
    const struct {
        uint8_t op, cycles;
    } list[] = {
        {0xE1, 5},  {0xE2, 5},  {0xE3, 5},  {0xE4, 5},  {0xE5, 5},  {0xE6, 5},  {0xE7, 5},    // JN .. JL
        {0xBA, 2},  {0xCA, 2},  {0xDA, 3},                                                    // DJNZ
        {0x66, 7},  {0x67, 7},  {0x16, 7},  {0x17, 7},  {0x36, 10}, {0x37, 10}, {0x46, 12},   // BTJO, BTJZ
        {0x47, 12}, {0x26, 9},  {0x27, 9},  {0x56, 9},  {0x57, 9},  {0x76, 11}, {0x77, 11},
        {0x86, 11}, {0x87, 11}, {0x96, 10}, {0x97, 10}, {0xA6, 12}, {0xA7, 12},               // BTJOP, BTJZP
    };
    for (const auto &e : list) t[e.op] = e.cycles;
    return t;
}();

}  // namespace

void opcode_cycles(uint8_t opcode, int &cycles, int &not_taken)
{
    cycles = k_cycles[opcode];
    not_taken = k_not_taken[opcode] ? k_not_taken[opcode] : -1;
}

}  // namespace ovasm
