// The debugger's expression language: values, names, bounds and the
// messages that say where an expression went wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cpu/tms7000.h"
#include "debug/expr.h"
#include "debug/symbols.h"
#include "mem/memory.h"
#include "video/tms3556.h"

namespace {

void machine_for_tests()
{
    tms7000 = {};
    tms7000.rf[0] = 0x12;   // A
    tms7000.rf[1] = 0x34;   // B
    tms7000.rf[5] = 0x56;
    tms7000.rf[127] = 0x7F;
    tms7000.pc.w.l = 0xF800;
    tms7000.sp = 0x61;
    tms7000.sr = SR_C | SR_Z;
    ram_2k[0x10] = 0xAB;    // C010
    ram_2k[0x11] = 0xCD;
    rom_7020[0x7FF] = 0xEE; // FFFF
    vram[0x7FFF] = 0x99;
    vram[0] = 0x01;
    const char syms[] = "C010 table\nFACE face\n6000 a.loop\nF800 reset\n";
    ASSERT_EQ(symbols_parse("t.sym", syms, strlen(syms)), nullptr);
}

struct value_case {
    const char *text;
    int64 value;
};

TEST(Expressions, Values)
{
    machine_for_tests();
    const value_case cases[] = {
        // Numbers: hexadecimal by default, #decimal, $ and 0x.
        {"10", 0x10}, {"#10", 10}, {"$1F", 0x1F}, {"0x1F", 0x1F}, {"C010", 0xC010}, {"0A", 0xA},
        // Registers and flags (A, B, C are names, not hexadecimal digits).
        {"A", 0x12}, {"b", 0x34}, {"C", 1}, {"N", 0}, {"Z", 1}, {"I", 0}, {"PC", 0xF800}, {"SP", 0x61},
        {"SR", SR_C | SR_Z}, {"ST", SR_C | SR_Z},
        // Register file and peripheral file, both ends.
        {"R0", 0x12}, {"R5", 0x56}, {"R127", 0x7F}, {"R128", 0xFF}, {"R255", 0xFF},
        // Memory: bytes, big-endian words, video memory, both ends of each space.
        {"[C010]", 0xAB}, {"w[C010]", 0xABCD}, {"[FFFF]", 0xEE}, {"[0]", 0x12}, {"v[7FFF]", 0x99}, {"v[0]", 1},
        {"[table]", 0xAB}, {"[table+1]", 0xCD},
        // Labels, also one made of hexadecimal digits.
        {"table", 0xC010}, {"a.loop", 0x6000}, {"label(face)", 0xFACE}, {"face", 0xFACE},
        // Operators with C's precedence.
        {"1+2*3", 7}, {"(1+2)*3", 9}, {"#10/#3", 3}, {"#10%#3", 1}, {"-1", -1}, {"~0", -1}, {"!0", 1}, {"!5", 0},
        {"1<<4", 0x10}, {"100>>4", 0x10}, {"3<4", 1}, {"4<=4", 1}, {"5<=4", 0}, {"4>3", 1}, {"3>=4", 0},
        {"A==12", 1}, {"A!=12", 0}, {"6&3", 2}, {"6|3", 7}, {"6^3", 5}, {"1&&0", 0}, {"0||2", 1},
        {"1|2==2", 1},   // == binds tighter than |
        // Short circuit: the right side is not evaluated.
        {"0&&1/0", 0}, {"1||1/0", 1},
    };
    for (const value_case &c : cases) {
        int64 v = -12345;
        std::string error;
        EXPECT_TRUE(expr_evaluate(c.text, &v, &error)) << c.text << ": " << error;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

struct error_case {
    const char *text;
    const char *message;   // the start of the error
};

TEST(Expressions, ErrorsSayWhere)
{
    machine_for_tests();
    const error_case cases[] = {
        {"", "at column 1: empty expression"},
        {"1+", "at column 3: the expression ends too early"},
        {"(1+2", "at column 5: ')' expected"},
        {"A=3", "at column 2: '=' is not an operator here"},
        {"nosuch", "at column 1: unknown name 'nosuch'"},
        {"R256", "at column 1: 'R256': the registers are R0-R255"},
        {"P256", "at column 1: 'P256': the registers are P0-P255"},
        {"[10000]", "at column 2: CPU addresses are 0000-FFFF"},
        {"v[8000]", "at column 3: video memory addresses are 0000-7FFF"},
        {"value==1", "at column 1: 'value' is known only in a watchpoint's condition"},
        {"12G", "at column 1: bad number '12G'"},
        {"#", "at column 1: digits expected after '#'"},
        {"1 @ 2", "at column 3: unexpected character '@'"},
        {"1/0", "at column 2: division by zero"},
        {"[FFFF+1]", "at column 1: address 10000 is outside the CPU's space"},
        {"10000000000000000", "at column 1: bad number"},
    };
    for (const error_case &c : cases) {
        int64 v;
        std::string error;
        EXPECT_FALSE(expr_evaluate(c.text, &v, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.text << " gave: " << error;
    }
}

TEST(Expressions, NestingAndLengthLimitsBothSides)
{
    machine_for_tests();
    auto nested = [](int depth) { return std::string((size_t)depth, '(') + "1" + std::string((size_t)depth, ')'); };
    int64 v;
    std::string error;
    // The outermost expression is a level of its own.
    EXPECT_TRUE(expr_evaluate(nested(EXPR_MAX_DEPTH - 1).c_str(), &v, &error)) << error;
    EXPECT_FALSE(expr_evaluate(nested(EXPR_MAX_DEPTH).c_str(), &v, &error));
    EXPECT_NE(error.find("too deeply nested"), std::string::npos) << error;
    const std::string longest = "1" + std::string(EXPR_MAX_LENGTH - 1, ' ');
    EXPECT_TRUE(expr_evaluate(longest.c_str(), &v, &error)) << error;
    EXPECT_FALSE(expr_evaluate((longest + " ").c_str(), &v, &error));
    // Unary operators count too: a long run of them is refused, not a crash.
    EXPECT_FALSE(expr_evaluate((std::string(200, '-') + "1").c_str(), &v, &error));
}

TEST(Expressions, WatchValueAndOld)
{
    machine_for_tests();
    dbg_expr e;
    std::string error;
    ASSERT_TRUE(expr_compile("value != old && value == 41", true, &e, &error)) << error;
    EXPECT_TRUE(e.uses_value);
    const expr_access changed{0x41, 0x40}, same{0x41, 0x41};
    int64 v;
    ASSERT_TRUE(expr_eval(e, &changed, &v, &error));
    EXPECT_EQ(v, 1);
    ASSERT_TRUE(expr_eval(e, &same, &v, &error));
    EXPECT_EQ(v, 0);
}

TEST(Expressions, EvaluatingChangesNothing)
{
    machine_for_tests();
    // The video port and the mailbox would move their chips on a CPU read.
    const uint16 pointer = tms3556_vram_address(false);
    int64 v;
    std::string error;
    ASSERT_TRUE(expr_evaluate("[0124]+[0130]+P36+P48+[C010]", &v, &error)) << error;
    EXPECT_EQ(tms3556_vram_address(false), pointer);
}

// A register or port name, or an alias of one, is its content as a value
// and its address as a location (outside brackets).
TEST(Expressions, RegisterNamesAsValuesAndAsLocations)
{
    machine_for_tests();
    tms7000.rf[40] = 0x9C;
    tms7000.rf[0x12] = 0x21;   // the byte A (12) points at
    const char syms[] = "; ovix-asm symbols 2\nC010 table\n;= register SEED R40\n;= port CTRL P0\n;= constant K $30\n";
    ASSERT_EQ(symbols_parse("t.sym", syms, strlen(syms)), nullptr);
    const struct {
        const char *text;
        int64 value, location;
    } cases[] = {
        {"R40", 0x9C, 0x28},         {"SEED", 0x9C, 0x28},   {"seed+1", 0x9D, 0x29},   {"label(SEED)", 0x9C, 0x28},
        {"A", 0x12, 0x0000},         {"B", 0x34, 0x0001},    {"R0", 0x12, 0x0000},     {"R255", 0xFF, 0x00FF},
        {"P0", 0x00, 0x0100},        {"CTRL", 0x00, 0x0100}, {"P255", 0x00, 0x01FF},
        {"[A]", 0x21, 0x21},         {"[SEED-9C]", 0x12, 0x12}, {"w[R0]", 0x2100, 0x2100},   // inside brackets: values
        {"PC", 0xF800, 0xF800},      {"SP", 0x61, 0x61},     {"table", 0xC010, 0xC010}, {"K", 0x30, 0x30},
    };
    for (const auto &c : cases) {
        int64 v = -1, at = -1;
        std::string error;
        EXPECT_TRUE(expr_evaluate(c.text, &v, &error)) << c.text << ": " << error;
        EXPECT_TRUE(expr_evaluate_location(c.text, &at, &error)) << c.text << ": " << error;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(at, c.location) << c.text;
    }
    // Set through an alias: the register it names.
    std::string error;
    ASSERT_TRUE(expr_set("SEED=5", &error)) << error;
    EXPECT_EQ(tms7000.rf[40], 5);
    int64 v;
    EXPECT_FALSE(expr_evaluate_location("R256", &v, &error));
    EXPECT_EQ(error, "at column 1: 'R256': the registers are R0-R255");
    symbols_clear();
}

struct assign_case {
    const char *target;
    int64 value;
    const char *check;   // an expression that must then be 1
};

TEST(Expressions, SetTargets)
{
    machine_for_tests();
    const assign_case cases[] = {
        {"A", 0x99, "A==99"},          {"B", -1, "B==FF"},         {"PC", 0x1234, "PC==1234"},
        {"SP", 0x7F, "SP==7F"},        {"C", 0, "C==0"},           {"Z", 1, "Z==1"},
        {"R10", 5, "R10==5"},          {"[C020]", 0x42, "[C020]==42"}, {"w[C030]", 0xBEEF, "w[C030]==BEEF"},
        {"v[10]", 7, "v[10]==7"},      {"[F900]", 0x5A, "[F900]==5A"},  // a ROM byte is patched
    };
    for (const assign_case &c : cases) {
        expr_target t;
        std::string error;
        ASSERT_TRUE(expr_parse_target(c.target, &t, &error)) << c.target << ": " << error;
        ASSERT_TRUE(expr_assign(t, c.value, &error)) << c.target << ": " << error;
        int64 v;
        ASSERT_TRUE(expr_evaluate(c.check, &v, &error)) << c.check << ": " << error;
        EXPECT_EQ(v, 1) << c.check;
    }
    // Values that do not fit, at both ends.
    struct {
        const char *target;
        int64 ok, bad;
    } bounds[] = {{"A", 0xFF, 0x100}, {"A", -0x80, -0x81}, {"SP", 0x7F, 0x80}, {"PC", 0xFFFF, 0x10000}, {"C", 1, 2}};
    for (const auto &b : bounds) {
        expr_target t;
        std::string error;
        ASSERT_TRUE(expr_parse_target(b.target, &t, &error));
        EXPECT_TRUE(expr_assign(t, b.ok, &error)) << b.target << " " << b.ok;
        EXPECT_FALSE(expr_assign(t, b.bad, &error)) << b.target << " " << b.bad;
    }
    expr_target t;
    std::string error;
    EXPECT_FALSE(expr_parse_target("A+1", &t, &error));
    EXPECT_FALSE(expr_parse_target("CYCLES", &t, &error));
}

}  // namespace
