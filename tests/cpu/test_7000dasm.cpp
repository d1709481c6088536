// The disassembler: bytes in, exact text and length out; the rotating text
// buffers of set_ea_info and its texts.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "mem/memory.h"

namespace {

constexpr unsigned AT = 0xC100;   // in RAM, so the test can place any bytes

struct Case {
    std::vector<uint8> bytes;
    const char *text;
    unsigned length;
};

std::string dasm_at(unsigned addr, const std::vector<uint8> &bytes, unsigned *len)
{
    memset(ram_2k, 0, sizeof ram_2k);
    for (size_t i = 0; i < bytes.size(); i++) ram_2k[addr - 0xC000 + i] = bytes[i];
    char buf[256];
    memset(buf, 'x', sizeof buf);
    *len = Dasm7000(buf, addr);
    return buf;
}

void check(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        unsigned len = 0;
        std::string text = dasm_at(AT, c.bytes, &len);
        EXPECT_EQ(text, c.text) << "bytes starting " << std::hex << (int)c.bytes[0];
        EXPECT_EQ(len, c.length) << c.text;
    }
}

}  // namespace

// The reference examples: one per notation the disassembler uses.
TEST(Dasm7000, ReferenceExamples)
{
    check({
        {{0x48, 0x05, 0x06}, "ADD R5,R6", 3},
        {{0x22, 0x1F}, "MOV #1F,A", 2},
        {{0x52, 0x0A}, "MOV #A,B", 2},
        {{0xA2, 0x0F, 0x05}, "MOVP #0F,P5", 3},
        {{0x88, 0x12, 0x34, 0x07}, "MOVD #1234,R7", 4},
        {{0xA8, 0x12, 0x34, 0x07}, "MOVD #1234(B),R7", 4},
        {{0x8C, 0x12, 0x34}, "BR $1234", 3},
        {{0x8A, 0x12, 0x34}, "LDA @#1234", 3},
        {{0xAA, 0x12, 0x34}, "LDA @#1234(B)", 3},
        {{0x9A, 0x05}, "LDA *R5", 2},
        {{0xE0, 0xFE}, "JMP $-2", 2},
        {{0xE0, 0x00}, "JMP $", 2},
        {{0xE2, 0x05}, "JEQ $+5", 2},
        {{0xE3, 0x05}, "JHS $+5", 2},
        {{0xE5, 0x05}, "JPI $+5", 2},
        {{0xE6, 0x05}, "JNZ $+5", 2},
        {{0x66, 0x03}, "BTJO B,A,$+3", 2},
        {{0x76, 0x80, 0x07, 0xFA}, "BTJO #80,R7,$-6", 4},
        {{0xA6, 0x01, 0x05, 0xFD}, "BTJOP #01,P5,$-3", 4},
        {{0xBA, 0xFD}, "DJNZ A,$-3", 2},
        {{0xDA, 0x09, 0xFD}, "DJNZ R9,$-3", 3},
        {{0xFF}, "TRAP 0", 1},
        {{0xE8}, "TRAP 23", 1},
        {{0xB0}, "CLRC", 1},
        {{0xC1}, "TSTB", 1},
        {{0xD7, 0x05}, "LDVDP A,P5", 2},
        {{0x02}, "Illegal Opcode", 1},
    });
}

// Every operand format at least once, with boundary operand values.
TEST(Dasm7000, EveryOperandFormat)
{
    check({
        {{0x69}, "ADC B,A", 1},                                   // 0
        {{0x1A, 0x00}, "SUB R0,A", 2},                            // 1
        {{0x3B, 0xFF}, "SBB R255,B", 2},                          // 2
        {{0x4D, 0x7F, 0x80}, "CMP R127,R128", 3},                 // 3
        {{0x2E, 0x00}, "DAC #0,A", 2},                            // 4
        {{0x5F, 0xFF}, "DSB #FF,B", 2},                           // 5
        {{0x7C, 0x0A, 0x03}, "MPY #A,R3", 3},                     // 6
        {{0x83, 0x06}, "ANDP A,P6", 2},                           // 7
        {{0x94, 0xFF}, "ORP B,P255", 2},                          // 8
        {{0xA5, 0x00, 0x00}, "XORP #00,P0", 3},                   // 9
        {{0x8D, 0x00, 0x00}, "CMPA @#0000", 3},                   // 10
        {{0xDE, 0x05}, "RL R5", 2},                               // 11
        {{0xAC, 0xFF, 0xFF}, "BR @#FFFF(B)", 3},                  // 12
        {{0x67, 0x7F}, "BTJZ B,A,$+127", 2},                      // 13
        {{0x16, 0x03, 0x80}, "BTJO R3,A,$-128", 3},               // 14
        {{0x37, 0x03, 0x01}, "BTJZ R3,B,$+1", 3},                 // 15
        {{0x46, 0xFF, 0xFF, 0x80}, "BTJO R255,R255,$-128", 4},    // 16: the longest text
        {{0x27, 0x0F, 0x00}, "BTJZ #F,A,$", 3},                   // 17
        {{0x56, 0x80, 0xFF}, "BTJO #80,B,$-1", 3},                // 18
        {{0x77, 0x01, 0x02, 0x03}, "BTJZ #1,R2,$+3", 4},          // 19
        {{0x86, 0x04, 0x10}, "BTJOP A,P4,$+16", 3},               // 20
        {{0x97, 0x06, 0xF0}, "BTJZP B,P6,$-16", 3},               // 21
        {{0xA7, 0xAB, 0x00, 0x00}, "BTJZP #AB,P0,$", 4},          // 22
        {{0x0B}, "RETI", 1},                                      // 23
        {{0xD5, 0x00}, "CLR R0", 2},                              // 24
        {{0xBA, 0x00}, "DJNZ A,$", 2},                            // 25
        {{0xCA, 0x7F}, "DJNZ B,$+127", 2},                        // 26
        {{0xDA, 0xFF, 0x80}, "DJNZ R255,$-128", 3},               // 27
        {{0xE7, 0x80}, "JL $-128", 2},                            // 28
        {{0xC0}, "MOV A,B", 1},                                   // 29
        {{0x62}, "MOV B,A", 1},                                   // 30
        {{0xD0, 0x09}, "MOV A,R9", 2},                            // 31
        {{0xD1, 0x09}, "MOV B,R9", 2},                            // 32
        {{0x12, 0x09}, "MOV R9,A", 2},                            // 33
        {{0x32, 0x09}, "MOV R9,B", 2},                            // 34
        {{0x98, 0x02, 0x04}, "MOVD R2,R4", 3},                    // 35
        {{0x22, 0x00}, "MOV #0,A", 2},                            // 36
        {{0x52, 0xFF}, "MOV #FF,B", 2},                           // 37
        {{0x72, 0x10, 0x20}, "MOV #10,R32", 3},                   // 38
        {{0x88, 0x00, 0x80, 0x03}, "MOVD #0080,R3", 4},           // 39
        {{0xA8, 0x00, 0x00, 0x00}, "MOVD #0000(B),R0", 4},        // 40
        {{0x80, 0x04}, "MOVP P4,A", 2},                           // 41
        {{0x91, 0x06}, "MOVP P6,B", 2},                           // 42
        {{0x8E, 0xF8, 0x00}, "CALL $F800", 3},                    // 43
        {{0xF4}, "TRAP 11", 1},                                   // 44
        {{0x9E, 0x03}, "CALL *R3", 2},                            // 45
    });
}

// Exactly the 30 unassigned opcodes print "Illegal Opcode"; each of the
// others has a mnemonic, and its length is 1 to 4 bytes.
TEST(Dasm7000, IllegalOpcodesAreExactlyTheUnassignedOnes)
{
    const std::set<int> unassigned = {0x02, 0x03, 0x04, 0x0C, 0x0F, 0x10, 0x11, 0x20, 0x21, 0x30,
                                      0x31, 0x40, 0x41, 0x50, 0x51, 0x60, 0x61, 0x70, 0x71, 0x81,
                                      0x89, 0x8F, 0x90, 0x99, 0x9F, 0xA0, 0xA1, 0xA9, 0xAF, 0xB1};
    for (int op = 0; op < 256; op++) {
        unsigned len = 0;
        std::string text = dasm_at(AT, {(uint8)op, 0x11, 0x22, 0x33}, &len);
        if (unassigned.count(op)) {
            EXPECT_EQ(text, "Illegal Opcode") << std::hex << op;
            EXPECT_EQ(len, 1u) << std::hex << op;
        } else {
            EXPECT_NE(text, "Illegal Opcode") << std::hex << op;
            EXPECT_GE(len, 1u);
            EXPECT_LE(len, 4u);
        }
    }
}

// The table's order decides the duplicates: 00 and B0 have two entries each,
// every other opcode at most one, and the first entry of B0 is CLRC.
TEST(Dasm7000, TableDuplicatesAndFirstMatch)
{
    int count[256] = {};
    for (const opcodeinfo &o : opcodes) count[o.opcode]++;
    int listed = 0;
    for (int op = 0; op < 256; op++) {
        if (op == 0x00 || op == 0xB0) EXPECT_EQ(count[op], 2) << std::hex << op;
        else EXPECT_LE(count[op], 1) << std::hex << op;
        listed += count[op] > 0;
    }
    EXPECT_EQ(listed, 226);
    for (int n = 0; n < 24; n++) {
        unsigned len = 0;
        EXPECT_EQ(dasm_at(AT, {(uint8)(0xFF - n)}, &len), "TRAP " + std::to_string(n));
    }
}

// Operand bytes of an instruction at 0xFFFF come from 0x0000 on: the bus
// wraps, here into the register file (A and B).
TEST(Dasm7000, OperandsWrapAroundTheAddressSpace)
{
    uint8 saved = rom_7020[0x7FF];
    rom_7020[0x7FF] = 0x8C;   // BR @a
    program_write_byte_8(0x0000, 0x12);
    program_write_byte_8(0x0001, 0x34);
    char buf[256];
    EXPECT_EQ(Dasm7000(buf, 0xFFFF), 3u);
    EXPECT_STREQ(buf, "BR $1234");
    rom_7020[0x7FF] = saved;
}

// set_ea_info's texts, access by access.
TEST(SetEaInfo, Texts)
{
    struct T {
        int what;
        unsigned value;
        int size;
        int access;
        const char *text;
    };
    const T cases[] = {
        {EA_DST, 0x1000, 5, EA_REL_PC, "$+5"},
        {EA_DST, 0x1000, -2, EA_REL_PC, "$-2"},
        {EA_DST, 0x1000, 0, EA_REL_PC, "$"},
        {EA_DST, 0x1000, -128, EA_REL_PC, "$-128"},
        {EA_SRC, 0x1000, 127, EA_REL_PC, "$+127"},
        {EA_DST, 0x1234, EA_UINT16, EA_ABS_PC, "$1234"},
        {EA_DST, 0x12345, EA_UINT16, EA_ABS_PC, "$2345"},
        {EA_DST, 0x0034, EA_UINT8, EA_ABS_PC, "$34"},
        {EA_DST, 0x1234, EA_UINT32, EA_ABS_PC, "$00001234"},
        {EA_SRC, 0xFF, EA_INT8, EA_VALUE, "-$01"},
        {EA_SRC, 0x80, EA_INT8, EA_VALUE, "-$80"},
        {EA_SRC, 0x7F, EA_INT8, EA_VALUE, "$7F"},
        {EA_SRC, 0x1FF, EA_UINT8, EA_VALUE, "$FF"},
        {EA_SRC, 0xFFFF, EA_INT16, EA_VALUE, "-$0001"},
        {EA_SRC, 0x8000, EA_UINT16, EA_VALUE, "$8000"},
        {EA_SRC, 0xFFFFFFFF, EA_INT32, EA_VALUE, "-$00000001"},
        {EA_SRC, 0x12345678, EA_UINT32, EA_VALUE, "$12345678"},
        {EA_DST, 0x1234, EA_UINT16, EA_ZPG_RD, "$34"},
        {EA_DST, 0x00FF, EA_DEFAULT, EA_ZPG_RDWR, "$FF"},
        {2, 0x1234, EA_UINT16, EA_ABS_PC, "set_ea_info: invalid <what>!"},
        {-1, 0, 0, EA_REL_PC, "set_ea_info: invalid <what>!"},
        {EA_DST, 0x12, EA_DEFAULT, EA_VALUE, "set_ea_info: invalid <size>!"},
        {EA_DST, 0x12, EA_SIZE, EA_VALUE, "set_ea_info: invalid <size>!"},
    };
    for (const T &c : cases)
        EXPECT_STREQ(set_ea_info(c.what, c.value, c.size, c.access), c.text)
            << c.value << " size " << c.size << " access " << c.access;
}

// The accesses without a defined width still give a short text.
TEST(SetEaInfo, UndefinedAccessesStayWithinTheBuffer)
{
    for (int access : std::initializer_list<int>{EA_NONE, EA_MEM_RD, EA_MEM_WR, EA_MEM_RDWR, EA_PORT_RD, EA_PORT_WR, EA_COUNT, 99, -5})
        for (int size = -1; size <= EA_SIZE + 1; size++) {
            const char *t = set_ea_info(EA_DST, 0xFFFFFFFFu, size, access);
            ASSERT_NE(t, nullptr);
            EXPECT_GT(strlen(t), 0u);
            EXPECT_LT(strlen(t), 64u);
        }
    for (int size : std::initializer_list<int>{EA_DEFAULT, EA_SIZE, 42}) {
        const char *t = set_ea_info(EA_DST, 0xFFFFFFFFu, size, EA_ABS_PC);
        EXPECT_LT(strlen(t), 64u);
        EXPECT_EQ(t[0], '$');
    }
}

// Eight results stay valid at once; the ninth call reuses the first buffer.
TEST(SetEaInfo, EightRotatingBuffers)
{
    const char *p[9];
    for (int i = 0; i < 9; i++) p[i] = set_ea_info(EA_DST, 0x1000u + (unsigned)i, EA_UINT16, EA_ABS_PC);
    std::set<const char *> distinct(p, p + 8);
    EXPECT_EQ(distinct.size(), 8u);
    EXPECT_EQ(p[8], p[0]);
    EXPECT_STREQ(p[0], "$1008");   // overwritten by the ninth
    for (int i = 1; i < 8; i++) EXPECT_EQ(std::string(p[i]), "$100" + std::to_string(i));

    // A constant message still uses up a buffer position.
    const char *a = set_ea_info(EA_DST, 1, EA_UINT16, EA_ABS_PC);
    set_ea_info(7, 1, EA_UINT16, EA_ABS_PC);
    const char *c = set_ea_info(EA_DST, 1, EA_UINT16, EA_ABS_PC);
    int found = 0;
    for (int i = 0; i < 8; i++) {
        if (p[i] == a) {
            EXPECT_EQ(c, p[(i + 2) % 8]);
            found++;
        }
    }
    EXPECT_EQ(found, 1);
}

// TRAP n formats its vector word into the next buffer without printing it:
// for TRAP 0 the word at 0xFFFE/0xFFFF.
TEST(SetEaInfo, TrapUsesOneBufferForItsVector)
{
    uint8 saved[2] = {rom_7020[0x7FE], rom_7020[0x7FF]};
    rom_7020[0x7FE] = 0xF8;
    rom_7020[0x7FF] = 0x21;
    const char *p[8];
    for (int i = 0; i < 8; i++) p[i] = set_ea_info(EA_DST, 0, EA_UINT16, EA_ABS_PC);
    unsigned len = 0;
    EXPECT_EQ(dasm_at(AT, {0xFF}, &len), "TRAP 0");
    const char *after = set_ea_info(EA_DST, 0, EA_UINT16, EA_ABS_PC);
    EXPECT_EQ(after, p[1]);         // p[0] went to the vector text
    EXPECT_STREQ(p[0], "$F821");
    rom_7020[0x7FE] = saved[0];
    rom_7020[0x7FF] = saved[1];
}
