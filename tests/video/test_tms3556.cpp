// Video chip: register-port protocol, 16-bit loads, pointer reloads and
// advance, VRAM bounds, reset/power-on, the register listing and the traces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debug/trace.h"
#include "machine/loop.h"
#include "test_support.h"
#include "video/tms3556.h"

// Written before anything is traced, so that the routine messages of the
// port functions reach the ring.
static const bool s_debug_list_written = write_file("debug.lst", [] {
    std::string names = "tms3556_reg_w() tms3556_vram_w() tms3556_vram_r() tms3556_initptr_r()\n";
    return std::vector<uint8>(names.begin(), names.end());
}());

namespace {

enum { COL = 1, ROW = 2, BAMP = 9, BAGC0 = 11, BAMTF = 15 };

void port(std::initializer_list<int> bytes)
{
    for (int b : bytes) tms3556_reg_w(0x12D, static_cast<uint8>(b));
}
void load_row_col(int row, int col) { port({0x21, col, row}); }
uint16 r16(int n) { return vdp_regs16[n - 8]; }

std::vector<int> port_state()
{
    int sel, reg, reg2;
    tms3556_get_port_state(&sel, &reg, &reg2);
    return {sel, reg, reg2};
}

class Tms3556 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(s_debug_list_written);
        tms3556_power_on();
        ask_bkpt = 0;
    }
};

TEST_F(Tms3556, SelectionAndDataBytes)
{
    struct Case {
        std::vector<int> bytes;
        std::vector<int> state;  // sel, reg, reg2 afterwards
        int col, row;
    } cases[] = {
        {{0x00}, {0, 0, 0}, 0, 0},                      // low nibble 0 selects nothing
        {{0x10, 0x01, 0x55}, {0, 1, 0}, 0x55, 0},       // ...so the next byte selects again
        {{0x02}, {1, 2, 0}, 0, 0},
        {{0x02, 0x40}, {0, 2, 0}, 0, 0x40},
        {{0x21, 0x34}, {1, 2, 0}, 0x34, 0},             // second register queued
        {{0x21, 0x34, 0x12}, {0, 2, 0}, 0x34, 0x12},
        {{0x12, 0x77, 0x66}, {0, 1, 0}, 0x66, 0x77},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        tms3556_power_on();
        for (int b : c.bytes) port({b});
        EXPECT_EQ(port_state(), c.state);
        EXPECT_EQ(vdp_regs8[COL], c.col);
        EXPECT_EQ(vdp_regs8[ROW], c.row);
        EXPECT_EQ(row_col_written, c.row != 0);
    }
}

TEST_F(Tms3556, SixteenBitLoadsTakeRowColPlusOffset)
{
    struct Case { int reg, row, col; uint16 value; } cases[] = {
        {8, 0x10, 0x00, 0x1001},  {BAMP, 0x10, 0x00, 0x1001}, {10, 0x12, 0xFF, 0x1300},
        {BAGC0, 0x10, 0x00, 0x1002}, {12, 0x10, 0xFE, 0x1100}, {13, 0x20, 0x00, 0x2002},
        {14, 0xFF, 0xFF, 0x0001}, {BAMTF, 0xFF, 0xFF, 0x0000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(vdp_name[c.reg]);
        tms3556_power_on();
        load_row_col(c.row, c.col);
        port({c.reg, 0xAB});  // the data byte itself is not stored
        EXPECT_EQ(r16(c.reg), c.value);
        EXPECT_EQ(row_col_written, 0);
        EXPECT_EQ(bamp_written, c.reg == BAMP);
        // BAMP returns to selection at once; the others swallow one more byte.
        EXPECT_EQ(port_state()[0], c.reg == BAMP ? 0 : 2);
        port({0x01, 0x99});
        EXPECT_EQ(vdp_regs8[COL], c.reg == BAMP ? 0x99 : c.col);
    }
    // A queued 16-bit register: 0xF1 loads COL, then BAMTF from the new COL.
    tms3556_power_on();
    vdp_regs8[ROW] = 0x20;
    port({0x19, 0x00, 0xF1, 0x0F, 0x00});
    EXPECT_EQ(r16(BAMTF), 0x2010);
    EXPECT_FALSE(bamp_written);  // the BAMTF load dropped the pending BAMP
    EXPECT_EQ(port_state()[0], 2);
}

TEST_F(Tms3556, PointerReloadsAndAccesses)
{
    // BAMP = 0x1001: the next write goes there through the linear pointer.
    load_row_col(0x10, 0x00);
    port({0x09, 0x00});
    tms3556_vram_w(0x12E, 0xA5);
    EXPECT_EQ(get_vram(0x1001), 0xA5);
    EXPECT_EQ(vdp_acmp, 0x1002);
    EXPECT_EQ(vdp_acmpxy_mode, dma_read);

    // ROW/COL = 0x1234: writes go through the column/row pointer...
    load_row_col(0x12, 0x34);
    tms3556_vram_w(0x12E, 0x5A);
    tms3556_vram_w(0x12E, 0x5B);
    EXPECT_EQ(get_vram(0x1234), 0x5A);
    EXPECT_EQ(get_vram(0x1235), 0x5B);
    EXPECT_EQ(vdp_acmpxy, 0x1236);
    // ...and reads, the other direction, through the linear one.
    set_vram(0x1002, 0x77);
    EXPECT_EQ(tms3556_vram_r(0x124), 0x77);
    EXPECT_EQ(vdp_acmp, 0x1003);

    // A read after a ROW/COL load takes the column/row pointer for reading,
    // so the following write (no new load) goes through the linear pointer.
    set_vram(0x0400, 0x11);
    load_row_col(0x04, 0x00);
    EXPECT_EQ(tms3556_vram_r(0x124), 0x11);
    tms3556_vram_w(0x12E, 0x22);
    EXPECT_EQ(get_vram(0x1003), 0x22);
    EXPECT_EQ(get_vram(0x0401), 0x00);

    // Both loads pending: the BAMP reload runs last, in either direction.
    for (bool write : {true, false}) {
        set_vram(0x2001, write ? 0x00 : 0x99);
        load_row_col(0x20, 0x00);
        port({0x09, 0x00, 0x02, 0x30});  // BAMP = 0x2001, then ROW again
        ASSERT_TRUE(row_col_written && bamp_written);
        if (write) tms3556_vram_w(0x12E, 0x99);
        else EXPECT_EQ(tms3556_vram_r(0x124), 0x99);
        EXPECT_EQ(get_vram(0x2001), 0x99);
        EXPECT_EQ(vdp_acmpxy, 0x3000);
        EXPECT_EQ(vdp_acmp, 0x2002);
        EXPECT_EQ(vdp_acmpxy_mode, write ? dma_read : dma_write);
    }
    EXPECT_EQ(get_vram(0x3000), 0x00);

    // The pointer-initialise read consumes nothing.
    load_row_col(0x01, 0x00);
    EXPECT_EQ(tms3556_initptr_r(0x128), 0);
    EXPECT_EQ(row_col_written, 1);
    EXPECT_EQ(ask_bkpt, 0);
}

// The debugger's peek gives the byte the next read returns, and leaves
// pointers, modes and pending loads as they were.
TEST_F(Tms3556, PeekMatchesTheNextReadWithoutEffect)
{
    for (int a = 0; a < 0x8000; a++) set_vram(static_cast<uint16>(a), static_cast<uint8>(a ^ (a >> 8)));
    // Owning vectors: an initializer_list's array dies with the full
    // expression that made it, so a container of lists would dangle.
    const std::vector<std::vector<int>> setups = {
        {0x21, 0x34, 0x12},                    // row/col load pending
        {0x21, 0x00, 0x10, 0x09, 0x00},        // BAMP load pending (0x1001)
        {0x21, 0x00, 0x20, 0x09, 0x00, 0x02, 0x30},   // both pending
        {},                                    // nothing pending
    };
    for (const auto &bytes : setups) {
        for (int b : bytes) port({b});
        for (int i = 0; i < 3; i++) {
            const uint16 acmp = vdp_acmp, acmpxy = vdp_acmpxy;
            const dma_mode mode = vdp_acmpxy_mode;
            const uint8 rc = row_col_written;
            const bool bw = bamp_written;
            const uint8 peeked = tms3556_vram_peek();
            EXPECT_EQ(vdp_acmp, acmp);
            EXPECT_EQ(vdp_acmpxy, acmpxy);
            EXPECT_EQ(vdp_acmpxy_mode, mode);
            EXPECT_EQ(row_col_written, rc);
            EXPECT_EQ(bamp_written, bw);
            EXPECT_EQ(tms3556_vram_r(0x124), peeked);
        }
    }
}

TEST_F(Tms3556, PointerAdvanceWraps)
{
    struct Case { uint16 bamp, bamtf, start, after; } cases[] = {
        {0x1001, 0x2000, 0x1FFF, 0x1001},  // BAMTF met after the increment
        {0x1001, 0x2000, 0x1FFE, 0x1FFF},
        {0x1001, 0x2000, 0x2000, 0x2001},  // equality after the increment only
        {0x1001, 0x0000, 0xFFFF, 0x1001},  // 16-bit wrap meets BAMTF = 0
        {0x1001, 0x2000, 0xFFFF, 0x0000},
        {0x1001, 0x2000, 0x7FFF, 0x8000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.start);
        vdp_regs16[BAMP - 8] = c.bamp;
        vdp_regs16[BAMTF - 8] = c.bamtf;
        // Both pointers advance the same way, on reads and writes.
        for (dma_mode xy : {dma_write, dma_read}) {
            vdp_acmpxy_mode = xy;
            vdp_acmpxy = vdp_acmp = c.start;
            tms3556_vram_w(0x12E, 0x01);
            EXPECT_EQ(xy == dma_write ? vdp_acmpxy : vdp_acmp, c.after);
            vdp_acmpxy = vdp_acmp = c.start;
            tms3556_vram_r(0x124);
            EXPECT_EQ(xy == dma_read ? vdp_acmpxy : vdp_acmp, c.after);
        }
    }
}

TEST_F(Tms3556, AccessesPastVramEnd)
{
    set_vram(0x0000, 0x42);
    load_row_col(0x80, 0x00);
    EXPECT_EQ(tms3556_vram_r(0x124), 0xFF);
    load_row_col(0x80, 0x00);
    tms3556_vram_w(0x12E, 0x13);
    set_vram(0xFFFF, 0x13);
    EXPECT_EQ(get_vram(0x0000), 0x42);  // nothing folds onto low VRAM
    EXPECT_EQ(get_vram(0x7FFF), 0x00);
    for (int a : {-1, 0x8000, 0xFFFF, 0x10000}) EXPECT_EQ(get_vram(a), 0xFF) << a;
}

TEST_F(Tms3556, StatusReadRequestsDebugger)
{
    EXPECT_EQ(tms3556_reg_r(0x125), 0);
    EXPECT_EQ(ask_bkpt, 1);
}

TEST_F(Tms3556, ResetKeepsEightBitRegistersAndPortState)
{
    load_row_col(0x12, 0x34);
    tms3556_vram_w(0x12E, 0x77);  // mode write
    port({0x0A, 0x00, 0x00});     // BAPA
    port({0x02, 0x60, 0x76});     // ROW pending; port waits for a data byte
    tms3556_reset();
    for (int i = 8; i < 16; i++) EXPECT_EQ(r16(i), 0) << vdp_name[i];
    EXPECT_EQ(vdp_acmp + vdp_acmpxy + get_vram(0x1234), 0);
    EXPECT_EQ(vdp_regs8[COL], 0x34);
    EXPECT_EQ(vdp_regs8[ROW], 0x60);
    EXPECT_EQ(row_col_written, 1);
    EXPECT_EQ(vdp_acmpxy_mode, dma_write);
    EXPECT_EQ(port_state(), (std::vector<int>{1, 6, 7}));

    tms3556_power_on();
    for (int i = 0; i < 8; i++) EXPECT_EQ(vdp_regs8[i], 0) << i;
    EXPECT_EQ(row_col_written, 0);
    EXPECT_EQ(vdp_acmpxy_mode, dma_read);
    EXPECT_EQ(port_state(), (std::vector<int>{0, 0, 0}));
}

TEST_F(Tms3556, RegisterListing)
{
    load_row_col(0x12, 0x34);
    tms3556_vram_w(0x12E, 0x00);
    port({0x0C, 0x00, 0x00});  // BAGC1 = 0x1236
    vdp_regs8[6] = 0xC0;
    char buf[2048] = "before\n";
    get_vdp_debug(buf);
    EXPECT_STREQ(buf,
                 "before\n"
                 "COL = x34\nROW = x12\nSTAT = x00\nCM1 = x00\nCM2 = x00\nCM3 = xc0\nCM4 = x00\n"
                 "BAMT = x0000\nBAMP = x0000\nBAPA = x0000\nBAGC0 = x0000\nBAGC1 = x1236\n"
                 "BAGC2 = x0000\nBAGC3 = x0000\nBAMTF = x0000\n"
                 "acmp = x0000\nacmpxy = x1235\nacmpxy mode = write\n");
}

TEST_F(Tms3556, TraceMessages)
{
    clear_log_str();
    load_row_col(0x12, 0x34);
    tms3556_vram_w(0x12E, 0xAB);
    port({0x09, 0x00});
    tms3556_vram_r(0x124);
    tms3556_initptr_r(0x128);
    port({0x02, 0x20});
    tms3556_vram_r(0x124);
    port({0x09, 0x00});
    tms3556_vram_w(0x12E, 0x0C);
    std::string got;
    for (int i = 0; i < trace_log_size; i++) {
        std::string s = trace_log_slot(i);
        got += s.substr(s.find(' ', 9) + 1) + "\n";  // without time and PC
    }
    EXPECT_EQ(got,
              "tms3556_reg_w():WRITE 21\ntms3556_reg_w():WRITE 34\ntms3556_reg_w():VDP => COL = 52\n"
              "tms3556_reg_w():WRITE 12\ntms3556_reg_w():VDP => ROW = 18\n"
              "tms3556_vram_w():SET (col row) acmpxy(WRITE) =x1234\n"
              "tms3556_vram_w():VRAM (acmpxy=x1234) = ab\n"
              "tms3556_reg_w():WRITE 9\ntms3556_reg_w():WRITE 0\n"
              "tms3556_vram_r():read value\ntms3556_vram_r():SET (bamp) acmp(READ) =x1235\n"
              "tms3556_vram_r():Read VRAM (acmp=x1235) = 0\n"
              "tms3556_initptr_r():called\n"
              "tms3556_reg_w():WRITE 2\ntms3556_reg_w():WRITE 20\ntms3556_reg_w():VDP => ROW = 32\n"
              "tms3556_vram_r():read value\ntms3556_vram_r():SET (colrow) acmpxy(READ) =x2034\n"
              "tms3556_vram_r():Read VRAM (acmpxy=x2034) = 0\n"
              "tms3556_reg_w():WRITE 9\ntms3556_reg_w():WRITE 0\n"
              "tms3556_vram_w():SET (bamp) acmp(WRITE) =x2035\n"
              "tms3556_vram_w():VRAM (acmp=x2035) = c\n");
}

}  // namespace
