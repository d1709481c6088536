// Instruction handlers, one instruction at a time through the real execution
// loop. Each case gives the bytes at 0xC100 (RAM), the state before, and the
// expected pc, sr, cycles and changed locations after; every other register,
// peripheral-file and RAM byte must stay as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "cpu/tms70op.h"
#include "debug/trace.h"
#include "mem/memory.h"
#include "test_support.h"
#include "video/tms3556.h"

constexpr int O = 0xC100;   // where each case's bytes are placed
constexpr int A = 0, B = 1;
constexpr int P1 = 0x101, P5 = 0x105;   // plain peripheral-file storage
// Locations outside the bus: the stack pointer, the idle flag, INT1's line.
constexpr int SP = 0x10000, IDLE = 0x10001, IRQ1 = 0x10002;
constexpr uint8 C = SR_C, N = SR_N, Z = SR_Z, I = SR_I;

struct Loc {
    int at;
    int v;
};

struct Case {
    const char *what;
    std::vector<uint8> code;
    std::vector<Loc> in;
    int sr;
    std::vector<Loc> out;   // every location expected to change (or to be written)
    int sr_out;
    int cycles;
    int pc;
    bool ovix = false;      // run the machine's set (tms7000_ovix_execute), not the standard one
};

static uint8 *loc(int at)
{
    if (at == SP) return &tms7000.sp;
    if (at == IDLE) return &tms7000.idle_state;
    if (at == IRQ1) return &tms7000.irq_state[0];
    if (at < 0x80) return &tms7000.rf[at];
    if (at >= 0x100 && at < 0x200) return &tms7000.pf[at - 0x100];
    if (at >= 0xC000 && at < 0xC800) return &ram_2k[at - 0xC000];
    ADD_FAILURE() << "no test location " << at;
    static uint8 none;
    return &none;
}

static std::vector<int> all_locations()
{
    std::vector<int> v = {SP, IDLE, IRQ1};
    for (int a = 0; a < 0x80; a++) v.push_back(a);
    for (int a = 0x100; a < 0x200; a++) v.push_back(a);
    for (int a = 0xC000; a < 0xC800; a++) v.push_back(a);
    return v;
}

static void power_on()
{
    tms7000_power_on();
    mem_power_on();
    tms3556_power_on();
    for (int r = 0; r < 0x80; r++) tms7000.rf[r] = (uint8)(0xA5 ^ r);   // stray writes show
    tms7000.sp = 0x40;
    // Trap vectors: TRAP n -> 0xF000 + n.
    for (int n = 0; n < 24; n++) {
        rom_7020[0x7FE - 2 * n] = 0xF0;
        rom_7020[0x7FF - 2 * n] = (uint8)n;
    }
}

static std::string fmt(const char *f, int a, int b = 0)
{
    char s[64];
    snprintf(s, sizeof s, f, a, b);
    return s;
}

// Runs one case; the expected and observed states are compared as one text.
static void check(const Case &c, const std::function<void()> &prepare = nullptr)
{
    power_on();
    for (const Loc &l : c.in) *loc(l.at) = (uint8)l.v;
    for (size_t k = 0; k < c.code.size(); k++) ram_2k[O - 0xC000 + k] = c.code[k];
    tms7000.sr = (uint8)c.sr;
    tms7000.pc.w.l = O;
    if (prepare) prepare();

    static const std::vector<int> every = all_locations();
    std::vector<uint8> before;
    for (int at : every) before.push_back(*loc(at));

    const int cycles = c.ovix ? tms7000_ovix_execute(1) : tms7000_execute(1);

    std::string want = fmt("pc=%04X sr=%02X", c.pc, c.sr_out) + fmt(" cycles=%d", c.cycles);
    std::string got = fmt("pc=%04X sr=%02X", tms7000.pc.w.l, tms7000.sr) + fmt(" cycles=%d", cycles);
    std::set<int> named;
    for (const Loc &l : c.out) {
        want += fmt(" [%X]=%02X", l.at, l.v);
        got += fmt(" [%X]=%02X", l.at, *loc(l.at));
        named.insert(l.at);
    }
    for (size_t k = 0; k < every.size(); k++)
        if (!named.count(every[k]) && *loc(every[k]) != before[k])
            got += fmt(" stray[%X]=%02X", every[k], *loc(every[k]));
    EXPECT_EQ(want, got) << c.what;
}

static void check_all(const std::vector<Case> &cases)
{
    for (const Case &c : cases) check(c);
}

TEST(Tms70op, ArithmeticAndCompare)
{
    check_all({
        {"ADD %01,A wraps", {0x28, 0x01}, {{A, 0xFF}}, 0, {{A, 0x00}}, C | Z, 7, O + 2},
        {"ADD B,A keeps I and bits 3-0", {0x68}, {{A, 0x12}, {B, 0x34}}, 0x1F | C, {{A, 0x46}}, 0x1F, 5, O + 1},
        {"ADD R5,R6 stores in the second", {0x48, 0x05, 0x06}, {{5, 0x90}, {6, 0x80}}, 0, {{6, 0x10}}, C, 10, O + 3},
        {"ADC %01,R7 adds C", {0x79, 0x01, 0x07}, {{7, 0x10}}, C, {{7, 0x12}}, 0, 9, O + 3},
        {"SUB B,A borrows", {0x6A}, {{A, 0x10}, {B, 0x20}}, 0, {{A, 0xF0}}, N, 5, O + 1},
        {"SUB B,A equal", {0x6A}, {{A, 0x33}, {B, 0x33}}, 0, {{A, 0x00}}, C | Z, 5, O + 1},
        {"SUB R5,R6 is d - s", {0x4A, 0x05, 0x06}, {{5, 0x01}, {6, 0x03}}, 0, {{6, 0x02}}, C, 10, O + 3},
        {"SBB B,A C clear borrows one more", {0x6B}, {{A, 0x10}, {B, 0x01}}, 0, {{A, 0x0E}}, C, 5, O + 1},
        {"SBB R5,B C set", {0x3B, 0x05}, {{5, 0x01}, {B, 0x10}}, C, {{B, 0x0F}}, C, 8, O + 2},
        {"SBB %00,A from 0 with borrow", {0x2B, 0x00}, {{A, 0x00}}, 0, {{A, 0xFF}}, N, 7, O + 2},
        {"CMP %80,A below", {0x2D, 0x80}, {{A, 0x7F}}, 0, {}, N, 7, O + 2},
        {"CMP R5,R6 equal", {0x4D, 0x05, 0x06}, {{5, 0x42}, {6, 0x42}}, 0, {}, C | Z, 10, O + 3},
        {"CMP %10,R7 above", {0x7D, 0x10, 0x07}, {{7, 0x20}}, 0, {}, C, 9, O + 3},
        {"CMP B,A unsigned", {0x6D}, {{A, 0x01}, {B, 0xFF}}, C, {}, 0, 5, O + 1},
        {"MPY B,A", {0x6C}, {{A, 0x10}, {B, 0x10}}, 0, {{A, 0x01}, {B, 0x00}}, 0, 43, O + 1},
        {"MPY B,A flags from MSB only", {0x6C}, {{A, 0x02}, {B, 0x03}}, C, {{A, 0x00}, {B, 0x06}}, Z, 43, O + 1},
        {"MPY R5,R6 to A:B, R6 kept", {0x4C, 0x05, 0x06}, {{5, 0xFF}, {6, 0xFF}}, 0, {{A, 0xFE}, {B, 0x01}}, N, 48, O + 3},
    });
}

TEST(Tms70op, DecimalArithmetic)
{
    check_all({
        {"DAC B,A", {0x6E}, {{A, 0x19}, {B, 0x28}}, 0, {{A, 0x47}}, 0, 7, O + 1},
        {"DAC B,A decimal carry", {0x6E}, {{A, 0x99}, {B, 0x01}}, 0, {{A, 0x00}}, C | Z, 7, O + 1},
        {"DAC R5,A with C", {0x1E, 0x05}, {{5, 0x05}, {A, 0x05}}, C, {{A, 0x11}}, 0, 10, O + 2},
        {"DAC B,A non-BCD digits", {0x6E}, {{A, 0x0F}, {B, 0x0F}}, C, {{A, 0x25}}, 0, 7, O + 1},
        {"DAC %99,R7 with C", {0x7E, 0x99, 0x07}, {{7, 0x99}}, C, {{7, 0x99}}, C | N, 11, O + 3},
        {"DSB B,A", {0x6F}, {{A, 0x50}, {B, 0x20}}, C, {{A, 0x30}}, 0, 7, O + 1},
        {"DSB B,A borrow in", {0x6F}, {{A, 0x50}, {B, 0x20}}, 0, {{A, 0x29}}, 0, 7, O + 1},
        {"DSB B,A below", {0x6F}, {{A, 0x20}, {B, 0x50}}, C, {{A, 0x70}}, C, 7, O + 1},
        {"DSB B,A minus 0", {0x6F}, {{A, 0x42}, {B, 0x00}}, C, {{A, 0x42}}, C, 7, O + 1},
        {"DSB R3,R4", {0x4F, 0x03, 0x04}, {{3, 0x20}, {4, 0x50}}, C, {{4, 0x30}}, 0, 12, O + 3},
    });
}

TEST(Tms70op, BcdHelpers)
{
    EXPECT_EQ(0x199, bcd_add(0x99, 0x99, 1));
    EXPECT_EQ(0x31, bcd_add(0x1230, 0x4501, 0));   // only the low bytes count
    struct { uint16 v, r; } comps[] = {{0x01, 0xF999}, {0x20, 0xF980}, {0x00, 0x0000}, {0x50, 0xF950}, {0x99, 0xF901}};
    for (auto &t : comps) EXPECT_EQ(t.r, bcd_tencomp(t.v)) << std::hex << t.v;
    EXPECT_EQ(0x130, bcd_sub(0x50, 0x20));
    EXPECT_EQ(0x070, bcd_sub(0x20, 0x50));
}

// The always-form lines of the decimal helpers and of DECD A.
TEST(Tms70op, DecimalAndDecdTraceLines)
{
    auto tail = [](int back) {
        const std::string s = trace_log_slot((trace_log_next + 1000 - back) % 1000);
        return s.substr(s.find(' ', 9) + 1);   // past the time stamp and pc
    };
    check({"DSB B,A borrow in", {0x6F}, {{A, 0x50}, {B, 0x20}}, 0, {{A, 0x29}}, 0, 7, O + 1});
    EXPECT_EQ("bcd_sub():called 50 20", tail(4));
    EXPECT_EQ("bcd_add():called 50 80 0 = 130", tail(3));
    EXPECT_EQ("bcd_sub():called 130 1", tail(2));
    EXPECT_EQ("bcd_add():called 130 99 0 = 129", tail(1));
    check({"DECD A", {0xBB}, {{127, 0x12}, {A, 0x00}}, 0, {{127, 0x11}, {A, 0xFF}}, C, 9, O + 1});
    EXPECT_EQ("decd_a():Called !", tail(1));
}

TEST(Tms70op, LogicAndPeripheralLogic)
{
    check_all({
        {"AND %0F,A clears C", {0x23, 0x0F}, {{A, 0xF0}}, C, {{A, 0x00}}, Z, 7, O + 2},
        {"OR B,A", {0x64}, {{A, 0x80}, {B, 0x01}}, 0, {{A, 0x81}}, N, 5, O + 1},
        {"XOR R5,B", {0x35, 0x05}, {{5, 0xFF}, {B, 0x0F}}, 0, {{B, 0xF0}}, N, 8, O + 2},
        {"XOR %FF,R7", {0x75, 0xFF, 0x07}, {{7, 0xFF}}, 0, {{7, 0x00}}, Z, 9, O + 3},
        {"ANDP A,P1", {0x83, 0x01}, {{A, 0x0F}, {P1, 0x3C}}, 0, {{P1, 0x0C}}, 0, 10, O + 2},
        {"ORP B,P1", {0x94, 0x01}, {{B, 0x80}, {P1, 0x01}}, 0, {{P1, 0x81}}, N, 9, O + 2},
        {"XORP %FF,P5", {0xA5, 0xFF, 0x05}, {{P5, 0x0F}}, C, {{P5, 0xF0}}, N, 11, O + 3},
    });
}

TEST(Tms70op, SingleOperand)
{
    check_all({
        {"INC A from FF", {0xB3}, {{A, 0xFF}}, 0, {{A, 0x00}}, C | Z, 5, O + 1},
        {"DEC A from 0", {0xB2}, {{A, 0x00}}, 0, {{A, 0xFF}}, N, 5, O + 1},
        {"DEC A from 1", {0xB2}, {{A, 0x01}}, 0, {{A, 0x00}}, C | Z, 5, O + 1},
        {"DEC R5", {0xD2, 0x05}, {{5, 0x81}}, 0, {{5, 0x80}}, C | N, 7, O + 2},
        {"INV R5", {0xD4, 0x05}, {{5, 0x0F}}, C, {{5, 0xF0}}, N, 7, O + 2},
        {"CLR A keeps I", {0xB5}, {{A, 0x80}}, C | N | I, {{A, 0x00}}, Z | I, 5, O + 1},
        {"DECD B wraps", {0xCB}, {{A, 0x00}, {B, 0x00}}, 0, {{A, 0xFF}, {B, 0xFF}}, N, 9, O + 1},
        {"DECD B MSB to 0", {0xCB}, {{A, 0x01}, {B, 0x00}}, 0, {{A, 0x00}, {B, 0xFF}}, C | Z, 9, O + 1},
        {"DECD R5 MSB FF", {0xDB, 0x05}, {{4, 0xFF}, {5, 0x05}}, C, {{5, 0x04}}, N, 11, O + 2},
        {"DECD A uses R127", {0xBB}, {{127, 0x12}, {A, 0x00}}, 0, {{127, 0x11}, {A, 0xFF}}, C, 9, O + 1},
        {"RR A", {0xBC}, {{A, 0x01}}, 0, {{A, 0x80}}, C | N, 5, O + 1},
        {"RRC A C in", {0xBD}, {{A, 0x02}}, C, {{A, 0x81}}, N, 5, O + 1},
        {"RRC R5 C out", {0xDD, 0x05}, {{5, 0x01}}, 0, {{5, 0x00}}, C | Z, 7, O + 2},
        {"RL R5", {0xDE, 0x05}, {{5, 0x81}}, 0, {{5, 0x03}}, C, 7, O + 2},
        {"RLC A", {0xBF}, {{A, 0x80}}, 0, {{A, 0x00}}, C | Z, 5, O + 1},
        {"RLC B C in", {0xCF}, {{B, 0x40}}, C, {{B, 0x81}}, N, 5, O + 1},
        {"SWAP A", {0xB7}, {{A, 0x1E}}, 0, {{A, 0xE1}}, C | N, 8, O + 1},
        {"SWAP B", {0xC7}, {{B, 0x10}}, C, {{B, 0x01}}, C, 8, O + 1},
    });
}

TEST(Tms70op, Moves)
{
    check_all({
        {"MOV A,B", {0xC0}, {{A, 0x80}}, C, {{B, 0x80}}, N, 6, O + 1},
        {"MOV B,A", {0x62}, {{B, 0x00}}, 0, {{A, 0x00}}, Z, 5, O + 1},
        {"MOV A,R5", {0xD0, 0x05}, {{A, 0x11}}, 0, {{5, 0x11}}, 0, 8, O + 2},
        {"MOV B,R5", {0xD1, 0x05}, {{B, 0x22}}, 0, {{5, 0x22}}, 0, 7, O + 2},
        {"MOV R5,A", {0x12, 0x05}, {{5, 0x33}}, 0, {{A, 0x33}}, 0, 8, O + 2},
        {"MOV R5,B", {0x32, 0x05}, {{5, 0x44}}, 0, {{B, 0x44}}, 0, 8, O + 2},
        {"MOV R5,R6", {0x42, 0x05, 0x06}, {{5, 0x55}}, 0, {{6, 0x55}}, 0, 10, O + 3},
        {"MOV %80,A", {0x22, 0x80}, {}, 0, {{A, 0x80}}, N, 7, O + 2},
        {"MOV %44,R7", {0x72, 0x44, 0x07}, {}, 0, {{7, 0x44}}, 0, 9, O + 3},
        {"MOVD %0080,R3", {0x88, 0x00, 0x80, 0x03}, {}, C, {{2, 0x00}, {3, 0x80}}, Z, 15, O + 4},
        {"MOVD %1234,R0", {0x88, 0x12, 0x34, 0x00}, {}, 0, {{127, 0x12}, {A, 0x34}}, 0, 15, O + 4},
        {"MOVD %C200(B),R5", {0xA8, 0xC2, 0x00, 0x05}, {{B, 0x10}}, 0, {{4, 0xC2}, {5, 0x10}}, N, 17, O + 4},
        {"MOVD %FFFF(B),R5 wraps", {0xA8, 0xFF, 0xFF, 0x05}, {{B, 0x02}}, 0, {{4, 0x00}, {5, 0x01}}, Z, 17, O + 4},
        {"MOVD R3,R5", {0x98, 0x03, 0x05}, {{2, 0x80}, {3, 0x01}}, 0, {{4, 0x80}, {5, 0x01}}, N, 14, O + 3},
        {"MOVP A,P1", {0x82, 0x01}, {{A, 0x00}}, 0, {{P1, 0x00}}, Z, 10, O + 2},
        {"MOVP %42,P5", {0xA2, 0x42, 0x05}, {}, 0, {{P5, 0x42}}, 0, 11, O + 3},
        {"MOVP P1,A", {0x80, 0x01}, {{P1, 0x99}}, 0, {{A, 0x99}}, N, 9, O + 2},
        {"MOVP P1,B", {0x91, 0x01}, {{P1, 0x00}}, 0, {{B, 0x00}}, Z, 8, O + 2},
        {"LDA @C200", {0x8A, 0xC2, 0x00}, {{0xC200, 0x7F}}, 0, {{A, 0x7F}}, 0, 11, O + 3},
        {"LDA *R5", {0x9A, 0x05}, {{4, 0xC2}, {5, 0x10}, {0xC210, 0x80}}, 0, {{A, 0x80}}, N, 10, O + 2},
        {"LDA @C2FF(B)", {0xAA, 0xC2, 0xFF}, {{B, 0x01}, {0xC300, 0x5A}}, 0, {{A, 0x5A}}, 0, 13, O + 3},
        {"LDA @FFFF(B) wraps", {0xAA, 0xFF, 0xFF}, {{B, 0x02}}, 0, {{A, 0x02}}, 0, 13, O + 3},
        {"STA @C200", {0x8B, 0xC2, 0x00}, {{A, 0x00}, {0xC200, 0x77}}, 0, {{0xC200, 0x00}}, Z, 11, O + 3},
        {"STA @C200(B)", {0xAB, 0xC2, 0x00}, {{A, 0x01}, {B, 0x20}}, 0, {{0xC220, 0x01}}, 0, 13, O + 3},
        {"CMPA @C200", {0x8D, 0xC2, 0x00}, {{A, 0x20}, {0xC200, 0x10}}, 0, {}, C, 12, O + 3},
        {"CMPA @C200(B)", {0xAD, 0xC2, 0x00}, {{A, 0x20}, {B, 0x05}, {0xC205, 0x20}}, 0, {}, C | Z, 14, O + 3},
        {"XCHB A", {0xB6}, {{A, 0x12}, {B, 0x80}}, 0, {{A, 0x80}, {B, 0x12}}, N, 6, O + 1},
        {"XCHB B", {0xC6}, {{B, 0x00}}, C, {}, Z, 6, O + 1},
        {"XCHB R5", {0xD6, 0x05}, {{5, 0x01}, {B, 0x00}}, 0, {{5, 0x00}, {B, 0x01}}, Z, 8, O + 2},
        {"CLRC (TSTA)", {0xB0}, {{A, 0x80}}, C, {}, N, 6, O + 1},
        {"TSTB", {0xC1}, {{B, 0x00}}, C | N, {}, Z, 6, O + 1},
    });
}

TEST(Tms70op, Stack)
{
    check_all({
        {"PUSH B at 7F wraps to A", {0xC8}, {{SP, 0x7F}, {B, 0x55}}, 0, {{SP, 0x00}, {A, 0x55}}, 0, 6, O + 1},
        {"POP B at 0 wraps", {0xC9}, {{SP, 0x00}, {A, 0x80}}, 0, {{SP, 0x7F}, {B, 0x80}}, N, 6, O + 1},
        {"LDSP all eight bits", {0x0D}, {{B, 0x90}}, C, {{SP, 0x90}}, C, 5, O + 1},
        {"PUSH A above 7F", {0xB8}, {{SP, 0x90}, {A, 0x80}}, 0, {{SP, 0x11}, {0x11, 0x80}}, N, 6, O + 1},
        {"STSP", {0x09}, {{SP, 0x42}}, C | N, {{B, 0x42}}, C | N, 6, O + 1},
        {"PUSH ST", {0x0E}, {{SP, 0x20}}, 0x9F, {{SP, 0x21}, {0x21, 0x9F}}, 0x9F, 6, O + 1},
        {"POP ST all bits", {0x08}, {{SP, 0x21}, {0x21, 0x5A}}, 0, {{SP, 0x20}}, 0x5A, 6, O + 1},
        {"PUSH R5", {0xD8, 0x05}, {{SP, 0x20}, {5, 0x00}}, 0, {{SP, 0x21}, {0x21, 0x00}}, Z, 8, O + 2},
        {"POP R5", {0xD9, 0x05}, {{SP, 0x30}, {0x30, 0xC0}}, 0, {{SP, 0x2F}, {5, 0xC0}}, N, 8, O + 2},
    });
}

TEST(Tms70op, CallsReturnsAndTraps)
{
    check_all({
        {"BR @1234", {0x8C, 0x12, 0x34}, {}, 0, {}, 0, 10, 0x1234},
        {"BR *R5", {0x9C, 0x05}, {{4, 0xC3}, {5, 0x00}}, 0, {}, 0, 9, 0xC300},
        {"BR @C200(B)", {0xAC, 0xC2, 0x00}, {{B, 0x10}}, 0, {}, 0, 12, 0xC210},
        {"CALL @1234", {0x8E, 0x12, 0x34}, {{SP, 0x10}}, 0, {{SP, 0x12}, {0x11, 0xC1}, {0x12, 0x03}}, 0, 14, 0x1234},
        {"CALL *R5", {0x9E, 0x05}, {{SP, 0x10}, {4, 0xC2}, {5, 0x34}}, 0,
         {{SP, 0x12}, {0x11, 0xC1}, {0x12, 0x02}}, 0, 13, 0xC234},
        {"CALL *R5 reads the pair after the pushes", {0x9E, 0x05}, {{SP, 0x03}}, 0,
         {{SP, 0x05}, {4, 0xC1}, {5, 0x02}}, 0, 13, 0xC102},
        {"CALL @C200(B) reads B after the pushes", {0xAE, 0xC2, 0x00}, {{SP, 0x00}, {B, 0x05}}, 0,
         {{SP, 0x02}, {B, 0xC1}, {2, 0x03}}, 0, 16, 0xC2C1},
        {"RETS", {0x0A}, {{SP, 0x12}, {0x11, 0x20}, {0x12, 0x03}}, C, {{SP, 0x10}}, C, 7, 0x2003},
        {"RETI", {0x0B}, {{SP, 0x13}, {0x11, 0xC5}, {0x12, 0xC2}, {0x13, 0x34}}, 0, {{SP, 0x10}}, 0xC5, 9, 0xC234},
        {"TRAP 0", {0xFF}, {{SP, 0x10}}, I, {{SP, 0x12}, {0x11, 0xC1}, {0x12, 0x01}}, I, 14, 0xF000},
        {"TRAP 5", {0xFA}, {{SP, 0x10}}, 0, {{SP, 0x12}, {0x11, 0xC1}, {0x12, 0x01}}, 0, 14, 0xF005},
        {"TRAP 23", {0xE8}, {{SP, 0x7F}}, C, {{SP, 0x01}, {A, 0xC1}, {B, 0x01}}, C, 14, 0xF017},
    });
}

TEST(Tms70op, RelativeJumpConditions)
{
    // Taken ('T') for sr = C N Z from 000 to 111.
    struct { uint8 op; const char *taken; } jumps[] = {
        {0xE0, "TTTTTTTT"}, {0xE1, "--TT--TT"}, {0xE2, "-T-T-T-T"}, {0xE3, "----TTTT"},
        {0xE4, "T---T---"}, {0xE5, "-T---T--"}, {0xE6, "T-T-T-T-"}, {0xE7, "TTTT----"},
    };
    for (auto &j : jumps)
        for (int k = 0; k < 8; k++) {
            const int sr = (k & 4 ? C : 0) | (k & 2 ? N : 0) | (k & 1 ? Z : 0) | I;
            const bool t = j.taken[k] == 'T';
            check({"jump", {j.op, 0x10}, {}, sr, {}, sr, t ? 7 : 5, t ? O + 0x12 : O + 2});
        }
    check_all({
        {"JMP -2 loops", {0xE0, 0xFE}, {}, 0, {}, 0, 7, O},
        {"JMP +127", {0xE0, 0x7F}, {}, 0, {}, 0, 7, O + 0x81},
        {"JMP -128", {0xE0, 0x80}, {}, 0, {}, 0, 7, O + 2 - 0x80},
        {"DJNZ A 1 falls through", {0xBA, 0x10}, {{A, 0x01}}, C | N, {{A, 0x00}}, C | N, 2, O + 2},
        {"DJNZ A 0 wraps and jumps", {0xBA, 0xFE}, {{A, 0x00}}, 0, {{A, 0xFF}}, 0, 7, O},
        {"DJNZ B", {0xCA, 0x10}, {{B, 0x05}}, Z, {{B, 0x04}}, Z, 7, O + 0x12},
        {"DJNZ R5 taken", {0xDA, 0x05, 0xFD}, {{5, 0x02}}, 0, {{5, 0x01}}, 0, 9, O},
        {"DJNZ R5 not taken", {0xDA, 0x05, 0xFD}, {{5, 0x01}}, 0, {{5, 0x00}}, 0, 3, O + 3},
    });
}

TEST(Tms70op, BitTestAndJump)
{
    check_all({
        {"BTJZ %00,A never", {0x27, 0x00, 0x10}, {{A, 0x00}}, C, {}, Z, 9, O + 3},
        {"BTJO %80,A", {0x26, 0x80, 0x10}, {{A, 0x80}}, 0, {}, N, 11, O + 0x13},
        {"BTJO B,A", {0x66, 0x04}, {{A, 0x04}, {B, 0x0C}}, 0, {}, 0, 9, O + 6},
        {"BTJZ B,A mask is B", {0x67, 0x04}, {{A, 0x04}, {B, 0x0C}}, 0, {}, 0, 9, O + 6},
        {"BTJO R5,A none", {0x16, 0x05, 0x02}, {{5, 0x01}, {A, 0x02}}, 0, {}, Z, 7, O + 3},
        {"BTJZ R5,B", {0x37, 0x05, 0x02}, {{5, 0xF0}, {B, 0x0F}}, 0, {}, N, 12, O + 5},
        {"BTJO R5,R6 back", {0x46, 0x05, 0x06, 0xFC}, {{5, 0x80}, {6, 0x81}}, 0, {}, N, 14, O},
        {"BTJZ R5,R6 mask first", {0x47, 0x05, 0x06, 0x10}, {{5, 0x01}, {6, 0x00}}, 0, {}, 0, 14, O + 0x14},
        {"BTJZ R5,R6 not", {0x47, 0x05, 0x06, 0x10}, {{5, 0x00}, {6, 0x01}}, 0, {}, Z, 12, O + 4},
        {"BTJO %01,R7 none", {0x76, 0x01, 0x07, 0x05}, {{7, 0x00}}, 0, {}, Z, 11, O + 4},
        {"BTJOP A,P1", {0x86, 0x01, 0x08}, {{A, 0x02}, {P1, 0x03}}, 0, {}, 0, 13, O + 11},
        {"BTJZP A,P1 none", {0x87, 0x01, 0x08}, {{A, 0x02}, {P1, 0x03}}, 0, {}, Z, 11, O + 3},
        {"BTJZP B,P1", {0x97, 0x01, 0x08}, {{B, 0x04}, {P1, 0x03}}, 0, {}, 0, 12, O + 11},
        {"BTJOP %80,P5", {0xA6, 0x80, 0x05, 0x08}, {{P5, 0x80}}, 0, {}, N, 14, O + 12},
        {"BTJZP %80,P5 none", {0xA7, 0x80, 0x05, 0x08}, {{P5, 0x80}}, 0, {}, Z, 12, O + 4},
    });
}

TEST(Tms70op, ProcessorControl)
{
    check_all({
        {"NOP", {0x00}, {}, 0x5A, {}, 0x5A, 4, O + 1},
        {"IDLE", {0x01}, {}, 0, {{IDLE, 1}}, 0, 6, O + 1},
        {"EINT sets C N Z I", {0x05}, {}, 0x00, {}, 0xF0, 5, O + 1},
        {"DINT clears C N Z I", {0x06}, {}, 0xFF, {}, 0x0F, 5, O + 1},
        {"SETC", {0x07}, {}, N | I | 0x0F, {}, C | Z | I | 0x0F, 5, O + 1},
        {"unassigned 02", {0x02}, {}, 0xA5, {}, 0xA5, 4, O + 1},
        {"unassigned B1", {0xB1}, {}, 0, {}, 0, 4, O + 1},
        // A pending INT1 is entered by EINT after its own 5 cycles: the
        // frame holds EINT's sr and the address after it.
        {"EINT enters pending INT1", {0x05}, {{SP, 0x10}, {0x100, 0x01}, {IRQ1, ASSERT_LINE}}, 0,
         {{SP, 0x13}, {0x11, 0xF0}, {0x12, 0xC1}, {0x13, 0x01}}, 0, 5 + 19, 0xF001},
        {"RETI enters pending INT1", {0x0B}, {{SP, 0x13}, {0x11, 0x10}, {0x12, 0xC2}, {0x13, 0x00}, {0x100, 0x01}, {IRQ1, ASSERT_LINE}}, 0,
         {{SP, 0x13}}, 0, 9 + 19, 0xF001},
    });
}

TEST(Tms70op, OvixD7ReadsVideoMemory)
{
    check({"LDVDP", {0xD7, 0x05}, {{5, 0xF0}}, C, {{A, 0x9C}}, N, 9, O + 2, true}, [] {
        vdp_acmpxy = 0x1234;
        set_vram(0x1234, 0x9C);
    });
    EXPECT_EQ(0x1235, vdp_acmpxy) << "one video-memory read";
    check({"SWAP R5 in the standard table", {0xD7, 0x05}, {{5, 0xF0}}, 0, {{5, 0x0F}}, C, 8, O + 2});
}

TEST(Tms70op, SixteenBitWrap)
{
    // MOV %n,A at 0xFFFF: its operand is fetched from 0x0000 (register A).
    check({"operand past FFFF", {}, {{A, 0x55}}, 0, {}, 0, 7, 0x0001}, [] {
        rom_7020[0x7FF] = 0x22;
        tms7000.pc.w.l = 0xFFFF;
    });
    check({"JMP across FFFF", {}, {}, 0, {}, 0, 7, 0x0002}, [] {
        rom_7020[0x7F0] = 0xE0;
        rom_7020[0x7F1] = 0x10;
        tms7000.pc.w.l = 0xFFF0;
    });
}

// Cycles (taken, for the conditional ones) and length of every opcode,
// worked out from the instruction tables; unassigned opcodes are 4 and 1.
static const uint8 k_cycles[256] = {
/*         x0  x1  x2  x3  x4  x5  x6  x7  x8  x9  xA  xB  xC  xD  xE  xF */
/* 0x */    4,  6,  4,  4,  4,  5,  5,  5,  6,  6,  7,  9,  4,  5,  6,  4,
/* 1x */    4,  4,  8,  8,  8,  8,  9,  9,  8,  8,  8,  8, 46,  8, 10, 10,
/* 2x */    4,  4,  7,  7,  7,  7, 11, 11,  7,  7,  7,  7, 45,  7,  9,  9,
/* 3x */    4,  4,  8,  8,  8,  8, 12, 12,  8,  8,  8,  8, 46,  8, 10, 10,
/* 4x */    4,  4, 10, 10, 10, 10, 14, 14, 10, 10, 10, 10, 48, 10, 12, 12,
/* 5x */    4,  4,  7,  7,  7,  7, 11, 11,  7,  7,  7,  7, 45,  7,  9,  9,
/* 6x */    4,  4,  5,  5,  5,  5,  9,  9,  5,  5,  5,  5, 43,  5,  7,  7,
/* 7x */    4,  4,  9,  9,  9,  9, 13, 13,  9,  9,  9,  9, 47,  9, 11, 11,
/* 8x */    9,  4, 10, 10, 10, 10, 13, 13, 15,  4, 11, 11, 10, 12, 14,  4,
/* 9x */    4,  8, 10,  9,  9,  9, 12, 12, 14,  4, 10, 10,  9, 11, 13,  4,
/* Ax */    4,  4, 11, 11, 11, 11, 14, 14, 17,  4, 13, 13, 12, 14, 16,  4,
/* Bx */    6,  4,  5,  5,  5,  5,  6,  8,  6,  6,  7,  9,  5,  5,  5,  5,
/* Cx */    6,  6,  5,  5,  5,  5,  6,  8,  6,  6,  7,  9,  5,  5,  5,  5,
/* Dx */    8,  7,  7,  7,  7,  7,  8,  8,  8,  8,  9, 11,  7,  7,  7,  7,
/* Ex */    7,  7,  7,  7,  7,  7,  7,  7, 14, 14, 14, 14, 14, 14, 14, 14,
/* Fx */   14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14,
};
static const uint8 k_bytes[256] = {
/*         x0  x1  x2  x3  x4  x5  x6  x7  x8  x9  xA  xB  xC  xD  xE  xF */
/* 0x */    1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,
/* 1x */    1,  1,  2,  2,  2,  2,  3,  3,  2,  2,  2,  2,  2,  2,  2,  2,
/* 2x */    1,  1,  2,  2,  2,  2,  3,  3,  2,  2,  2,  2,  2,  2,  2,  2,
/* 3x */    1,  1,  2,  2,  2,  2,  3,  3,  2,  2,  2,  2,  2,  2,  2,  2,
/* 4x */    1,  1,  3,  3,  3,  3,  4,  4,  3,  3,  3,  3,  3,  3,  3,  3,
/* 5x */    1,  1,  2,  2,  2,  2,  3,  3,  2,  2,  2,  2,  2,  2,  2,  2,
/* 6x */    1,  1,  1,  1,  1,  1,  2,  2,  1,  1,  1,  1,  1,  1,  1,  1,
/* 7x */    1,  1,  3,  3,  3,  3,  4,  4,  3,  3,  3,  3,  3,  3,  3,  3,
/* 8x */    2,  1,  2,  2,  2,  2,  3,  3,  4,  1,  3,  3,  3,  3,  3,  1,
/* 9x */    1,  2,  2,  2,  2,  2,  3,  3,  3,  1,  2,  2,  2,  2,  2,  1,
/* Ax */    1,  1,  3,  3,  3,  3,  4,  4,  4,  1,  3,  3,  3,  3,  3,  1,
/* Bx */    1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  2,  1,  1,  1,  1,  1,
/* Cx */    1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  2,  1,  1,  1,  1,  1,
/* Dx */    2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  3,  2,  2,  2,  2,  2,
/* Ex */    2,  2,  2,  2,  2,  2,  2,  2,  1,  1,  1,  1,  1,  1,  1,  1,
/* Fx */    1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,
};
static const struct { uint8 op, cycles; } k_not_taken[] = {
    {0xE1, 5}, {0xE2, 5}, {0xE3, 5}, {0xE4, 5}, {0xE5, 5}, {0xE6, 5}, {0xE7, 5},
    {0xBA, 2}, {0xCA, 2}, {0xDA, 3},
    {0x66, 7}, {0x67, 7}, {0x16, 7}, {0x17, 7}, {0x36, 10}, {0x37, 10}, {0x46, 12}, {0x47, 12},
    {0x26, 9}, {0x27, 9}, {0x56, 9}, {0x57, 9}, {0x76, 11}, {0x77, 11},
    {0x86, 11}, {0x87, 11}, {0x96, 10}, {0x97, 10}, {0xA6, 12}, {0xA7, 12},
};

// Every opcode of both tables under 64 set-ups (operand bytes, register
// contents and flags varied) so that each conditional one is seen taken and
// not taken. Relative offsets are 0, so pc always ends past the instruction,
// except for the transfers of control, whose CALL and TRAP forms push it.
// The disassembler must give the same length.
TEST(Tms70op, EveryOpcodeCyclesAndLength)
{
    int not_taken[256];
    for (int &n : not_taken) n = -1;
    for (auto &t : k_not_taken) not_taken[t.op] = t.cycles;
    const uint8 srs[4] = {0, Z, N, C};

    for (const bool ovix : {false, true})
        for (int op = 0; op < 256; op++) {
            const int bytes = k_bytes[op];
            const bool relative = not_taken[op] >= 0 || op == 0xE0;
            const bool pushes = op == 0x8E || op == 0x9E || op == 0xAE || op >= 0xE8;
            const bool jumps = pushes || op == 0x0A || op == 0x0B || op == 0x8C || op == 0x9C || op == 0xAC;
            std::set<int> want = {ovix && op == 0xD7 ? 9 : k_cycles[op]}, seen;
            if (not_taken[op] >= 0) want.insert(not_taken[op]);

            for (int setup = 0; setup < 64; setup++) {
                power_on();
                const int fill = setup & 3, regs = (setup >> 2) & 3;
                for (int r = 0; r < 0x80; r++) tms7000.rf[r] = (uint8)(r & 1 ? regs >> 1 : regs & 1);
                tms7000.pf[1] = tms7000.pf[5] = (uint8)(regs & 1);
                tms7000.sr = srs[setup >> 4];
                ram_2k[O - 0xC000] = (uint8)op;
                for (int k = 1; k < bytes; k++) ram_2k[O - 0xC000 + k] = (uint8)((fill >> (k - 1)) & 1);
                if (relative) ram_2k[O - 0xC000 + bytes - 1] = 0;
                tms7000.pc.w.l = O;
                if (setup == 0) {
                    char text[256];
                    EXPECT_EQ(bytes, (int)Dasm7000(text, O)) << std::hex << "disassembly of opcode " << op;
                }

                seen.insert(ovix ? tms7000_ovix_execute(1) : tms7000_execute(1));
                const int sp = tms7000.sp;
                const int pushed = tms7000.rf[(sp - 1) & 0x7F] << 8 | tms7000.rf[sp];
                if (!jumps) {
                    EXPECT_EQ(O + bytes, tms7000.pc.w.l) << std::hex << "opcode " << op;
                }
                if (pushes) {
                    EXPECT_EQ(O + bytes, pushed) << std::hex << "opcode " << op;
                }
            }
            EXPECT_EQ(want, seen) << std::hex << "opcode " << op << (ovix ? " (machine table)" : "");
        }
}
