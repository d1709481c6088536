// The I/O processor together with the CPU core: a small program in the BIOS
// ROM runs the start-up handshake and a CHAR command through the real bus,
// port B and INT1, driven by the emulation loop's pass; and an interrupt
// that the I/O processor raises inside a port-B write.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "time/timer.h"

namespace {

constexpr uint16 ROM = 0xF800;
constexpr uint16 ISR = 0xF820;

// Places bytes in the BIOS ROM at a CPU address.
void put(uint16 address, std::vector<uint8> bytes)
{
    for (uint8 b : bytes) rom_7020[address++ - ROM] = b;
}

void machine_at(uint16 reset_vector)
{
    tms7000_power_on();
    mem_power_on();
    io_cpu_power_on();
    orlo_timer_remove(16);
    memset(rom_7020, 0, sizeof rom_7020);
    put(0xFFFE, {(uint8)(reset_vector >> 8), (uint8)reset_vector});
    put(0xFFFC, {ISR >> 8, ISR & 0xFF});
    tms7000_reset(nullptr);
}

// One pass of the emulation loop.
int pass()
{
    const int cycles = tms7000_ovix_execute(1);
    orlo_timer_update_clock({0, (uint32)cycles});
    orlo_check_timers();
    return cycles;
}

}  // namespace

TEST(IoCpuSystem, HandshakeAndCharCommandFromAProgram)
{
    machine_at(ROM);
    // Main program: stack at R33 and up, store pointer R11:R12 = 0xC000,
    // phase R20 = 0, INT1 enabled, B0 set to start the handshake, then wait
    // until the interrupt routine marks the end (R20 bit 1).
    put(0xF800, {
        0x52, 0x20,              // F800 MOV   %0x20,B
        0x0D,                    // F802 LDSP
        0x88, 0xC0, 0x00, 0x0C,  // F803 MOVD  %0xC000,R12
        0x72, 0x00, 0x14,        // F807 MOV   %0,R20
        0xA2, 0x01, 0x00,        // F80A MOVP  %0x01,P0      INT1 enable
        0x05,                    // F80D EINT
        0xA2, 0x01, 0x06,        // F80E MOVP  %0x01,P6      B0 high
        0x77, 0x02, 0x14, 0xFC,  // F811 BTJZ  %0x02,R20,F811
        0xE0, 0xFE,              // F815 JMP   F815
    });
    // INT1: wait until the line is released (IOCNT0 bit 1 reads set while
    // it is asserted), then by phase:
    //  0 - handshake: B1 high, B0 low, mailbox = 0x0B, B0 high; phase 1;
    //  1 - A0 high means the end of the reply: B0 low, phase 2; otherwise
    //      store the mailbox at *R12, advance R11:R12, and acknowledge with
    //      B1 low then high.
    put(ISR, {
        0xA6, 0x02, 0x00, 0xFC,  // F820 BTJOP %0x02,P0,F820
        0x76, 0x01, 0x14, 0x10,  // F824 BTJO  %0x01,R20,F838
        0xA2, 0x03, 0x06,        // F828 MOVP  %0x03,P6      B1 high
        0xA2, 0x02, 0x06,        // F82B MOVP  %0x02,P6      B0 low
        0xA2, 0x0B, 0x30,        // F82E MOVP  %0x0B,P48     mailbox
        0xA2, 0x03, 0x06,        // F831 MOVP  %0x03,P6      B0 high
        0x72, 0x01, 0x14,        // F834 MOV   %1,R20
        0x0B,                    // F837 RETI
        0xA6, 0x01, 0x04, 0x11,  // F838 BTJOP %0x01,P4,F84D
        0x80, 0x30,              // F83C MOVP  P48,A
        0x9B, 0x0C,              // F83E STA   *R12
        0xD3, 0x0C,              // F840 INC   R12
        0xE6, 0x02,              // F842 JNE   F846
        0xD3, 0x0B,              // F844 INC   R11
        0xA2, 0x01, 0x06,        // F846 MOVP  %0x01,P6      B1 low
        0xA2, 0x03, 0x06,        // F849 MOVP  %0x03,P6      B1 high
        0x0B,                    // F84C RETI
        0xA2, 0x02, 0x06,        // F84D MOVP  %0x02,P6      B0 low
        0x72, 0x02, 0x14,        // F850 MOV   %2,R20
        0x0B,                    // F853 RETI
    });
    io_cpu_callback(0);

    uint64 cycles = 0;
    int passes = 0;
    while (tms7000.pc.w.l != 0xF815 && passes < 3000000) {
        cycles += (uint64)pass();
        passes++;
    }
    ASSERT_EQ(tms7000.pc.w.l, 0xF815) << "after " << passes << " passes";
    // 0.5 s of start-up wait, then at least 1,000 cycles for each byte.
    EXPECT_GT(cycles, 2500000u + 1283u * 1000u);

    std::vector<uint8> expected = {0x07, 0x04, 0xFF};
    for (int glyph = 0; glyph < 128; glyph++)
        for (int row = 9; row >= 0; row--) expected.push_back(fontdata[glyph * 10 + row]);
    const std::vector<uint8> got(ram_2k, ram_2k + 1283);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(ram_2k[1283], 0);   // nothing beyond the reply
    EXPECT_EQ(tms7000.rf[11] * 256 + tms7000.rf[12], 0xC000 + 1283);

    EXPECT_STREQ(io_cpu_auto[cur_state].name, "ready");
    EXPECT_EQ(porta_val & 1, 0);
    EXPECT_EQ(tms7000.irq_state[TMS7000_IRQ1_LINE], CLEAR_LINE);
    EXPECT_EQ(g_timer_num, 0);
    EXPECT_EQ(l_7041_index, -1);
}

TEST(IoCpuSystem, InterruptEnteredInsideAPortBWrite)
{
    machine_at(ROM);
    put(ROM, {0xA2, 0x83, 0x06});   // MOVP %0x83,P6: B1 rises, bit 7 sets N
    put(ISR, {0x00});

    // The I/O processor in "command3" with its one-byte reply taken.
    start_7041_command(0x42);
    io_cpu_callback(get_state_num("command2"));
    io_cpu_callback(get_state_num("command3"));
    ASSERT_EQ(l_7041_index, -1);
    portb_val = 0x01;

    tms7000.sp = 0x20;
    tms7000.pf[0] = 0x01;   // INT1 enabled, no flag pending
    tms7000.sr = SR_I;

    const int cycles = tms7000_ovix_execute(1);

    EXPECT_STREQ(io_cpu_auto[cur_state].name, "commack");
    EXPECT_EQ(tms7000.irq_state[TMS7000_IRQ1_LINE], ASSERT_LINE);
    EXPECT_EQ(tms7000.pc.w.l, ISR);
    // The frame holds the status before the write and the address after the
    // whole three-byte MOVP.
    EXPECT_EQ(tms7000.sp, 0x23);
    EXPECT_EQ(tms7000.rf[0x21], SR_I);
    EXPECT_EQ(tms7000.rf[0x22], 0xF8);
    EXPECT_EQ(tms7000.rf[0x23], 0x03);
    // The MOVP finished on top of the interrupt routine's state: its flags
    // (N from 0x83) land in the cleared status, its 11 cycles come on top of
    // the entry's 19.
    EXPECT_EQ(tms7000.sr, SR_N);
    EXPECT_EQ(cycles, 19 + 11);
    EXPECT_EQ(portb_val, 0x83);
}
