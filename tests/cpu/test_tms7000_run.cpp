// The execution loop running small hand-assembled programs from RAM: cycles
// per call, fetch wrap, interrupts entered by EINT and RETI, timer-1 requests
// at the cycle they fall due, and an interrupt entered inside a port write.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "time/timer.h"

namespace {

constexpr uint16 VEC_RESET = 0xC000, VEC_INT1 = 0xC100, VEC_INT2 = 0xC200;

void set_word(uint16 address, uint16 value)
{
    rom_7020[address - 0xF800] = (uint8)(value >> 8);
    rom_7020[address - 0xF800 + 1] = (uint8)value;
}

void put(uint16 address, std::initializer_list<uint8> bytes)
{
    for (uint8 b : bytes) ram_2k[(address++) - 0xC000] = b;
}

class Run : public ::testing::Test {
protected:
    void SetUp() override
    {
        tms7000_power_on();
        mem_power_on();
        memset(rom_7020, 0, sizeof rom_7020);
        set_word(0xFFFE, VEC_RESET);
        set_word(0xFFFC, VEC_INT1);
        set_word(0xFFFA, VEC_INT2);
        tms7000_reset(nullptr);
    }
};

}  // namespace

TEST_F(Run, BudgetOneRunsOneInstruction)
{
    struct Case { const char *name; std::initializer_list<uint8> bytes; int cycles; uint16 next_pc; } cases[] = {
        {"NOP", {0x00}, 4, 0xC001},
        {"MOV B,A", {0x62}, 5, 0xC001},
        {"DINT", {0x06}, 5, 0xC001},
        {"ADD %1,A", {0x28, 0x01}, 7, 0xC002},
        {"unassigned 02", {0x02}, 4, 0xC001},
        {"JMP $", {0xE0, 0xFE}, 7, 0xC000},
        {"MPY B,A", {0x6C}, 43, 0xC001},
        {"IDLE", {0x01}, 6, 0xC001},
    };
    for (const auto &c : cases) {
        SetUp();
        put(0xC000, c.bytes);
        EXPECT_EQ(tms7000_ovix_execute(1), c.cycles) << c.name;
        EXPECT_EQ(tms7000.pc.w.l, c.next_pc) << c.name;
        EXPECT_EQ(tms7000_icount, 0) << c.name;
    }
    // After IDLE every call is one 16-cycle step that fetches nothing.
    EXPECT_EQ(tms7000_ovix_execute(1), 16);
    EXPECT_EQ(tms7000.pc.w.l, 0xC001);

    // A larger budget runs instructions until it is spent.
    SetUp();
    put(0xC000, {0x00, 0x00, 0x00, 0x62});
    EXPECT_EQ(tms7000_ovix_execute(10), 12);
    EXPECT_EQ(tms7000.pc.w.l, 0xC003);
    EXPECT_EQ(tms7000_execute(3), 5);
    EXPECT_EQ(tms7000.pc.w.l, 0xC004);
}

TEST_F(Run, FetchWrapsAtTopOfMemory)
{
    rom_7020[0x7FF] = 0x00;   // NOP at 0xFFFF
    tms7000.pc.w.l = 0xFFFF;
    EXPECT_EQ(tms7000_ovix_execute(1), 4);
    EXPECT_EQ(tms7000.pc.w.l, 0x0000);
}

TEST_F(Run, EintAndRetiEnterPendingInterrupts)
{
    // Main: EINT. INT1 routine: RETI. INT2 routine: JMP $.
    put(0xC000, {0x05, 0x00});
    put(VEC_INT1, {0x0B});
    put(VEC_INT2, {0xE0, 0xFE});
    program_write_byte_8(0x0100, 0x05);   // INT1 and INT2 enabled
    tms7000_set_irq_line(TMS7000_IRQ1_LINE, ASSERT_LINE);
    tms7000_set_irq_line(TMS7000_IRQ1_LINE, CLEAR_LINE);   // its flag stays
    tms7000_set_irq_line(TMS7000_IRQ2_LINE, ASSERT_LINE);
    EXPECT_EQ(tms7000.pc.w.l, 0xC000);   // I is clear: nothing yet

    EXPECT_EQ(tms7000_ovix_execute(1), 5 + 19);   // EINT enters INT1 at once
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT1);
    EXPECT_EQ(tms7000.sp, 4);
    EXPECT_EQ(tms7000.rf[2], 0xF0);   // the status EINT left
    EXPECT_EQ(tms7000.rf[3], 0xC0);
    EXPECT_EQ(tms7000.rf[4], 0x01);

    EXPECT_EQ(tms7000_ovix_execute(1), 9 + 19);   // RETI, then INT2
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT2);
    EXPECT_EQ(tms7000.sp, 4);
    EXPECT_EQ(tms7000.rf[4], 0x01);   // the frame RETI popped, pushed again
    EXPECT_EQ(tms7000.irq_state[1], CLEAR_LINE);
}

TEST_F(Run, TimerRequestsAtTheCycleItFallsDue)
{
    put(0xC000, {0xE0, 0xFE});   // JMP $: 7 cycles a pass
    put(VEC_INT2, {0xE0, 0xFE});
    program_write_byte_8(0x0102, 9);
    program_write_byte_8(0x0103, 0x80);   // 160 cycles a period

    // From the reset, clocks come when more than 16, 32, ... cycles have
    // been consumed; the tenth clock needs more than 160, i.e. the pass
    // that ends at 161, and the next request the pass that ends at 322.
    long total = 0;
    long requests[2] = {0, 0};
    for (int n = 0; n < 2; n++) {
        while (tms7000.irq_state[1] != ASSERT_LINE && total < 1000) total += tms7000_ovix_execute(1);
        requests[n] = total;
        tms7000_set_irq_line(TMS7000_IRQ2_LINE, CLEAR_LINE);
    }
    EXPECT_EQ(requests[0], 161);
    EXPECT_EQ(requests[1], 322);

    // Enabled, the request enters INT2 inside the call that clocks it, and
    // the entry is part of that call's cycles.
    program_write_byte_8(0x0100, 0x04);
    tms7000.sr = SR_I;
    int last = 0;
    while (tms7000.pc.w.l == 0xC000 && total < 2000) total += last = tms7000_ovix_execute(1);
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT2);
    EXPECT_EQ(last, 7 + 19);
    EXPECT_EQ(total - last + 7, 483);   // the pass that passed 480
}

TEST_F(Run, InterruptInsideAPortWrite)
{
    // The I/O processor waits for the acknowledging rising edge of port B
    // bit 1 after its last reply byte; that edge makes it assert INT1 at once.
    io_cpu_power_on();
    portb_val = 0x00;
    tms7000.pf[6] = 0x00;
    cur_state = get_state_num("command3");
    l_7041_index = -1;   // the reply is complete
    ASSERT_GE(cur_state, 0);

    put(0xC000, {0xA2, 0x82, 0x06});   // MOVP %0x82,P6
    program_write_byte_8(0x0100, 0x01);
    tms7000.sr = SR_I;
    tms7000.sp = 0x10;

    EXPECT_EQ(tms7000_ovix_execute(1), 19 + 11);
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT1);
    // The frame holds the address after the whole instruction.
    EXPECT_EQ(tms7000.rf[0x11], SR_I);
    EXPECT_EQ(tms7000.rf[0x12], 0xC0);
    EXPECT_EQ(tms7000.rf[0x13], 0x03);
    // The handler finished on the routine's state: its flags (N from 0x82)
    // land in the routine's status, and the port latch still takes the byte.
    EXPECT_EQ(tms7000.sr, SR_N);
    EXPECT_EQ(tms7000.pf[6], 0x82);
    EXPECT_EQ(tms7000.irq_state[0], ASSERT_LINE);
    orlo_timer_remove(16);
}
