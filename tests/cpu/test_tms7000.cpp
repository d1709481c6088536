// The CPU core: reset, interrupt recognition and entry, the execution loop's
// cycle accounting and timer-1 divider, the peripheral file and ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

// Lists the core's routine-trace functions before anything traces, so that
// their messages reach the ring and the tests can look for them.
class TraceEnv : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(write_text("debug.lst",
                               "tms7000_set_irq_line() tms7000_do_interrupt() tms70x0_pf_w() tms70x0_pf_r()\n"
                               "tms7000_service_timer1() tms7000_ovix_execute()\n"));
        init_trace();
    }
};
const auto *trace_env = ::testing::AddGlobalTestEnvironment(new TraceEnv);

std::string log_text()
{
    static char buf[0x10000];
    get_log_str(buf, sizeof buf);
    return buf;
}

int count_in_log(const std::string &needle)
{
    const std::string text = log_text();
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) n++;
    return n;
}

constexpr uint16 VEC_RESET = 0xF000, VEC_INT1 = 0xF100, VEC_INT2 = 0xF200, VEC_INT3 = 0xF300;

void set_word(uint16 address, uint16 value)
{
    rom_7020[address - 0xF800] = (uint8)(value >> 8);
    rom_7020[address - 0xF800 + 1] = (uint8)value;
}

class Core : public ::testing::Test {
protected:
    void SetUp() override
    {
        tms7000_power_on();
        mem_power_on();
        memset(rom_7020, 0, sizeof rom_7020);
        set_word(0xFFFE, VEC_RESET);
        set_word(0xFFFC, VEC_INT1);
        set_word(0xFFFA, VEC_INT2);
        set_word(0xFFF8, VEC_INT3);
        clear_log_str();
    }
    // Runs idle steps through the machine's loop until INT2 is requested;
    // returns the cycles those calls reported (0 if it never came).
    static long cycles_until_int2(long limit)
    {
        long total = 0;
        tms7000.idle_state = 1;
        while (total < limit) {
            total += tms7000_ovix_execute(1);
            if (tms7000.irq_state[TMS7000_IRQ2_LINE] == ASSERT_LINE) return total;
        }
        return 0;
    }
};

}  // namespace

TEST_F(Core, ResetLoadsVectorAndKeepsFlags)
{
    tms7000.pc.w.l = 0x1234;
    tms7000.sp = 0x40;
    tms7000.sr = 0xF5;
    tms7000.idle_state = 1;
    tms7000.irq_state[0] = tms7000.irq_state[1] = ASSERT_LINE;
    tms7000.pf[0] = 0x3F;                 // every enable and every flag
    program_write_byte_8(0x0102, 0x20);   // T1DATA
    program_write_byte_8(0x0103, 0x83);   // timer running
    program_write_byte_8(0x0109, 0xFF);   // CDDR
    program_write_byte_8(0x0108, 0x5A);   // port C outputs 0x5A
    tms7000_icount = -7;

    tms7000_reset(nullptr);

    EXPECT_EQ(tms7000.pc.w.l, VEC_RESET);
    EXPECT_EQ(tms7000.sp, 1);
    EXPECT_EQ(tms7000.sr, 0);
    EXPECT_EQ(tms7000.rf[0], 0x12);   // A: old pc high byte
    EXPECT_EQ(tms7000.rf[1], 0x34);   // B: old pc low byte
    EXPECT_EQ(tms7000.idle_state, 0);
    for (int line = 0; line < 3; line++) EXPECT_EQ(tms7000.irq_state[line], CLEAR_LINE) << line;
    EXPECT_EQ(tms7000.pf[0], 0x2A);   // flags kept, enables cleared
    EXPECT_EQ(tms7000.pf[9], 0);
    EXPECT_EQ(tms7000.pf[11], 0);
    EXPECT_EQ(tms7000.pf[8], 0);
    EXPECT_EQ(portc_val, 0);
    EXPECT_EQ(tms7000.pf[2], 0x20);
    EXPECT_EQ(tms7000.pf[3], 0x83);
    EXPECT_EQ(tms7000.t1_decrementer, 0x20);
    EXPECT_EQ(tms7000_icount, -7);
    EXPECT_EQ(tms7000_div_by_16_trigger, -7 - 16);
}

TEST_F(Core, IocntFlagsClearOnlyWhenWrittenOne)
{
    struct Case { uint8 old_value, data, expected; } cases[] = {
        {0x0B, 0x02, 0x08},   // INT1 enable and flag cleared, INT2 flag kept
        {0x2A, 0x15, 0x3F},   // flags stay, enables set
        {0x3F, 0x2A, 0x00},   // every flag cleared, the enables follow the data
        {0xFF, 0x00, 0x2A},   // bits 6-7 follow the data
        {0x00, 0xFF, 0xD5},   // writing a flag bit never sets it
    };
    for (const auto &c : cases) {
        tms7000.pf[0] = c.old_value;
        program_write_byte_8(0x0100, c.data);
        EXPECT_EQ(tms7000.pf[0], c.expected) << std::hex << int(c.old_value) << " <- " << int(c.data);
    }
    // Reads show the INT1 and INT3 lines as flags while they are asserted.
    tms7000.pf[0] = 0x04;
    tms7000.irq_state[0] = ASSERT_LINE;
    tms7000.irq_state[2] = ASSERT_LINE;
    EXPECT_EQ(program_read_byte_8(0x0100), 0x26);
    EXPECT_EQ(tms7000.pf[0], 0x04);
    EXPECT_EQ(count_in_log("IOCNT0 write result 2a"), 1);
    EXPECT_EQ(count_in_log("reading IOCNT0 26"), 1);
}

TEST_F(Core, PriorityAndWhatEachEntryClears)
{
    enum { NONE = 0 };
    struct Case {
        const char *name;
        uint8 lines[3];
        uint8 iocnt0;
        uint16 expected_pc;   // NONE: nothing entered
        uint8 iocnt0_after;
        uint8 int2_line_after;
    } cases[] = {
        {"INT1 line", {1, 0, 0}, 0x01, VEC_INT1, 0x01, 0},
        {"INT1 flag alone", {0, 0, 0}, 0x03, VEC_INT1, 0x01, 0},
        {"INT1 disabled, INT2 next", {1, 1, 0}, 0x0C, VEC_INT2, 0x0C, 0},
        {"INT2 flag without its line", {0, 0, 0}, 0x0C, NONE, 0x0C, 0},
        {"INT2 line, disabled", {0, 1, 0}, 0x08, NONE, 0x08, 1},
        {"INT3 flag", {0, 0, 0}, 0x30, VEC_INT3, 0x10, 0},
        {"INT3 line", {0, 0, 1}, 0x10, VEC_INT3, 0x10, 0},
        {"all pending: INT1 first", {1, 1, 1}, 0x3F, VEC_INT1, 0x3D, 1},
        {"INT2 before INT3", {0, 1, 0}, 0x3C, VEC_INT2, 0x3C, 0},
    };
    for (const auto &c : cases) {
        tms7000_power_on();
        tms7000.pc.w.l = 0x4321;
        tms7000.sr = SR_I;
        for (int i = 0; i < 3; i++) tms7000.irq_state[i] = c.lines[i];
        tms7000.pf[0] = c.iocnt0;
        tms7000_check_IRQ_lines();
        EXPECT_EQ(tms7000.pc.w.l, c.expected_pc == NONE ? 0x4321 : c.expected_pc) << c.name;
        EXPECT_EQ(tms7000.pf[0], c.iocnt0_after) << c.name;
        EXPECT_EQ(tms7000.irq_state[1], c.int2_line_after) << c.name;
        EXPECT_EQ(tms7000_icount, c.expected_pc == NONE ? 0 : -19) << c.name;
    }
}

TEST_F(Core, EntryPushesFrameAndCharges)
{
    struct Case { uint8 sp, idle; uint8 expected_sp, sr_at, hi_at, lo_at; int cycles; } cases[] = {
        {0x10, 0, 0x13, 0x11, 0x12, 0x13, 19},
        {0x10, 1, 0x13, 0x11, 0x12, 0x13, 17},
        {0x7F, 0, 0x02, 0x00, 0x01, 0x02, 19},   // wraps from R127 to R0
        {0x7E, 1, 0x01, 0x7F, 0x00, 0x01, 17},
    };
    for (const auto &c : cases) {
        tms7000_power_on();
        tms7000.pc.w.l = 0xC123;
        tms7000.sp = c.sp;
        tms7000.sr = 0xB7;
        tms7000.idle_state = c.idle;
        tms7000_do_interrupt(0xFFFA, 1);
        EXPECT_EQ(tms7000.sp, c.expected_sp);
        EXPECT_EQ(tms7000.rf[c.sr_at], 0xB7);
        EXPECT_EQ(tms7000.rf[c.hi_at], 0xC1);
        EXPECT_EQ(tms7000.rf[c.lo_at], 0x23);
        EXPECT_EQ(tms7000.sr, 0);
        EXPECT_EQ(tms7000.pc.w.l, VEC_INT2);
        EXPECT_EQ(tms7000.idle_state, 0);
        EXPECT_EQ(tms7000_icount, -c.cycles) << int(c.sp) << " idle " << int(c.idle);
    }
    EXPECT_EQ(count_in_log("tms7000_do_interrupt():void interrupt handle"), 4);

    static int seen_line = -1;
    tms7000_set_irq_callback([](int line) { return seen_line = line; });
    tms7000_do_interrupt(0x1FFF8, 0x102);   // address taken as 16 bits, line as 8
    EXPECT_EQ(seen_line, 2);
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT3);
}

TEST_F(Core, Int1WhileDisabledWaitsForEint)
{
    tms7000.pf[0] = 0x01;
    tms7000.sp = 0x20;
    tms7000_set_irq_line(TMS7000_IRQ1_LINE, ASSERT_LINE);
    EXPECT_EQ(tms7000.pc.w.l, 0);
    EXPECT_EQ(tms7000.pf[0], 0x03);
    EXPECT_EQ(count_in_log("tms7000_check_IRQ_lines():Interrupt disabled"), 1);
    EXPECT_EQ(count_in_log("tms7000: set_irq_line (INT1, state 1)"), 1);

    // What EINT does: set the status bits, then look.
    tms7000.sr |= 0xF0;
    tms7000_check_IRQ_lines();
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT1);
    EXPECT_EQ(tms7000.pf[0], 0x01);

    // The line is still asserted: the next look enters INT1 again.
    tms7000.sr = SR_I;
    tms7000_check_IRQ_lines();
    EXPECT_EQ(tms7000.sp, 0x20 + 6);
}

TEST_F(Core, EnablingDoesNotEnterAndFlagClearKeepsRequest)
{
    tms7000.sr = SR_I;
    tms7000_set_irq_line(TMS7000_IRQ2_LINE, ASSERT_LINE);   // INT2 disabled
    EXPECT_EQ(tms7000.pc.w.l, 0);
    program_write_byte_8(0x0100, 0x0C);   // clear the flag, enable INT2
    EXPECT_EQ(tms7000.pf[0], 0x04);
    EXPECT_EQ(tms7000.pc.w.l, 0);
    EXPECT_EQ(tms7000.irq_state[1], ASSERT_LINE);

    // Re-asserting an asserted line changes nothing, not even the flag.
    tms7000_set_irq_line(TMS7000_IRQ2_LINE, ASSERT_LINE);
    EXPECT_EQ(tms7000.pf[0], 0x04);
    EXPECT_EQ(tms7000.pc.w.l, 0);

    tms7000_check_IRQ_lines();   // EINT or RETI
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT2);
}

TEST_F(Core, LineNumbersOutsideTheThreeAreIgnored)
{
    tms7000.sr = SR_I;
    tms7000.pf[0] = 0x15;
    tms7000.rf[0] = 0x00;   // lies right after irq_state in the record
    tms7000_set_irq_line(3, ASSERT_LINE);
    tms7000_set_irq_line(TMS7000_IRQNONE, ASSERT_LINE);
    tms7000_set_irq_line(-1, ASSERT_LINE);
    EXPECT_EQ(tms7000.pf[0], 0x15);
    EXPECT_EQ(tms7000.pc.w.l, 0);
    EXPECT_EQ(tms7000.rf[0], 0x00);
    EXPECT_EQ(tms7000.sp, 0);
}

TEST_F(Core, Int3CapturesDecrementer)
{
    program_write_byte_8(0x0102, 0x5C);
    tms7000_set_irq_line(TMS7000_IRQ3_LINE, ASSERT_LINE);
    EXPECT_EQ(tms7000.t1_capture_latch, 0x5C);
    EXPECT_EQ(program_read_byte_8(0x0103), 0x5C);   // T1CTL reads the latch
    EXPECT_EQ(tms7000.pf[0], 0x20);
}

TEST_F(Core, ContextCopies)
{
    tms7000.pc.w.l = 0xABCD;
    tms7000.rf[77] = 0x42;
    tms7000_Regs saved{};
    tms7000_get_context(&saved);
    tms7000_get_context(nullptr);
    EXPECT_EQ(saved.pc.w.l, 0xABCD);
    EXPECT_EQ(saved.rf[77], 0x42);

    // Setting a context looks at the lines at once.
    saved.sr = SR_I;
    saved.pf[0] = 0x01;
    saved.irq_state[0] = ASSERT_LINE;
    tms7000_set_context(&saved);
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT1);
    EXPECT_EQ(tms7000.rf[77], 0x42);
    tms7000_set_context(nullptr);   // copies nothing, enters nothing (I is now clear)
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT1);
}

TEST_F(Core, TimerPeriods)
{
    struct Case { uint8 t1data, t1ctl; long period; const char *trace; } cases[] = {
        {9, 0x80, 160, "Timer started. Prescaler: 0x 0 (Cycles per interrupt: 160)"},
        {0xFF, 0x9F, 131072, "Timer started. Prescaler: 0x1f (Cycles per interrupt: 131072)"},
        {0, 0x80, 16, "Timer started. Prescaler: 0x 0 (Cycles per interrupt: 16)"},
        {3, 0xA1, 128, "Timer started. Prescaler: 0x 1 (Cycles per interrupt: 128)"},
    };
    for (const auto &c : cases) {
        SetUp();
        tms7000_reset(nullptr);
        program_write_byte_8(0x0102, c.t1data);
        program_write_byte_8(0x0103, c.t1ctl);
        EXPECT_EQ(tms7000_cycles_per_INT2, c.period);
        EXPECT_EQ(count_in_log(c.trace), 1) << c.trace;
        // After a reset the first clock needs more than 16 cycles, so the
        // first request comes one divider step late; then every period.
        EXPECT_EQ(cycles_until_int2(2 * c.period + 64), c.period + 16) << c.period;
        tms7000_set_irq_line(TMS7000_IRQ2_LINE, CLEAR_LINE);
        EXPECT_EQ(cycles_until_int2(2 * c.period + 64), c.period) << c.period;
        EXPECT_EQ(tms7000.pf[0] & 0x08, 0x08);
    }
}

TEST_F(Core, ClockSources)
{
    // Running on the external clock: the loop never clocks the timer, each
    // pulse of the external input does.
    program_write_byte_8(0x0102, 4);
    program_write_byte_8(0x0103, 0xC0);
    EXPECT_EQ(cycles_until_int2(16 * 1000), 0);
    EXPECT_EQ(tms7000.t1_decrementer, 4);
    for (int i = 0; i < 4; i++) tms7000_A6EC1();
    EXPECT_EQ(program_read_byte_8(0x0102), 0);
    EXPECT_EQ(tms7000.irq_state[1], CLEAR_LINE);
    tms7000_A6EC1();
    EXPECT_EQ(tms7000.irq_state[1], ASSERT_LINE);
    EXPECT_EQ(tms7000.t1_decrementer, 4);

    // Stopped: neither clock counts.
    tms7000_set_irq_line(TMS7000_IRQ2_LINE, CLEAR_LINE);
    program_write_byte_8(0x0103, 0x00);
    tms7000_A6EC1();
    EXPECT_EQ(cycles_until_int2(16 * 100), 0);
    EXPECT_EQ(tms7000.t1_decrementer, 4);
}

TEST_F(Core, DecrementerReadsCountDown)
{
    program_write_byte_8(0x0102, 3);
    program_write_byte_8(0x0103, 0x80);
    tms7000.idle_state = 1;
    const uint8 expected[] = {2, 1, 0, 3, 2, 1, 0, 3};
    for (uint8 e : expected) {
        tms7000_ovix_execute(1);   // one 16-cycle step: one clock
        EXPECT_EQ(program_read_byte_8(0x0102), e);
    }
    EXPECT_EQ(count_in_log("tms7000: trigger int2"), 2);
    EXPECT_EQ(count_in_log("tms7000_ovix_execute():service timer"), 8);
}

TEST_F(Core, TimerControlWrites)
{
    struct Case {
        uint8 before, data;
        int8 count_before, count_after;
        const char *trace;
    } cases[] = {
        {0x00, 0x83, 0, 3, "tms7000: Timer started. Prescaler: 0x 3 (Cycles per interrupt: 1024)\n"},
        {0x85, 0x00, 2, 0, "tms7000: Timer stopped. Prescaler: 0x 0 (Cycles per interrupt: 256)"},
        {0x81, 0x85, 1, 1, "tms7000: Timer adjusted. Prescaler: 0x 5 (Cycles per interrupt: 1536)"},
        {0x00, 0x07, 0, 0, "tms7000: Timer adjusted. Prescaler: 0x 7 (Cycles per interrupt: 2048)"},
    };
    for (const auto &c : cases) {
        SetUp();
        program_write_byte_8(0x0102, 15);
        tms7000.t1_decrementer = 9;
        tms7000.pf[3] = c.before;
        tms7000.t1_prescaler = c.count_before;
        program_write_byte_8(0x0103, c.data);
        EXPECT_EQ(tms7000.pf[3], c.data);
        EXPECT_EQ(tms7000.t1_prescaler, c.count_after) << c.trace;
        EXPECT_EQ(tms7000.t1_decrementer, 9) << c.trace;
        EXPECT_EQ(count_in_log(c.trace), 1) << c.trace;
    }
    SetUp();
    program_write_byte_8(0x0102, 0x2A);
    EXPECT_EQ(count_in_log("tms7000: Timer adjusted. Decrementer: 0x2a (Cycles per interrupt: 688)"), 1);
}

TEST_F(Core, Ports)
{
    // Port C and D: output bits from the latch, input bits from outside.
    struct Case { int port, ddr; uint8 *outside; } cases[] = {
        {0x0108, 0x0109, &portc_val},
        {0x010A, 0x010B, &portd_val},
    };
    for (const auto &c : cases) {
        program_write_byte_8(c.ddr, 0x0F);
        program_write_byte_8(c.port, 0xFF);
        EXPECT_EQ(*c.outside, 0x0F);
        EXPECT_EQ(program_read_byte_8(c.port), 0x0F);
        *c.outside = 0xA3;   // the outside drives the input bits
        EXPECT_EQ(program_read_byte_8(c.port), 0xAF);
    }
    EXPECT_EQ(count_in_log("PORT C Write ff"), 1);
    EXPECT_EQ(count_in_log("PORT D Write ff"), 1);

    // Port B reads back the last byte written, not the port.
    program_write_byte_8(0x0106, 0x84);
    EXPECT_EQ(portb_val, 0x84);
    portb_val = 0x00;
    EXPECT_EQ(program_read_byte_8(0x0106), 0x84);

    // Port A is input only: writes store nothing and leave no trace.
    porta_val = 0x5E;
    const int lines = trace_log_size;
    program_write_byte_8(0x0104, 0x00);
    EXPECT_EQ(trace_log_size, lines);
    EXPECT_EQ(porta_val, 0x5E);
    EXPECT_EQ(program_read_byte_8(0x0104), 0x5E);

    // The spare registers are plain storage.
    program_write_byte_8(0x0105, 0x66);
    EXPECT_EQ(program_read_byte_8(0x0105), 0x66);
    // CDDR, DDDR and P5 are all "other" registers for the write trace.
    EXPECT_EQ(count_in_log("tms70x0_pf_w():Other io port"), 3);
}

TEST_F(Core, StatusText)
{
    struct Case { uint8 sr; const char *text; } cases[] = {
        {0x90, "CnzIxxxx"}, {0x00, "cnzixxxx"}, {0xFF, "CNZIXXXX"}, {0x6A, "cNZiXxXx"}, {0x05, "cnzixXxX"},
    };
    for (const auto &c : cases) {
        tms7000.sr = c.sr;
        EXPECT_STREQ(get_sr_str(), c.text);
    }
}

TEST_F(Core, WordAccessesWrap)
{
    rom_7020[0x7FF] = 0x9C;
    tms7000.rf[0] = 0x71;
    EXPECT_EQ(RM16(0xFFFF), 0x9C71);
    EXPECT_EQ(RM16(0x1FFFC), VEC_INT1);   // taken as 16 bits

    PAIR p{};
    p.w.l = 0xBEEF;
    WM16(0xC7FF, p);   // the low byte goes to 0xC800, which is unmapped
    EXPECT_EQ(ram_2k[0x7FF], 0xBE);
    EXPECT_EQ(ram_2k[0], 0x00);
    WM16(0xC010, p);
    EXPECT_EQ(ram_2k[0x10], 0xBE);
    EXPECT_EQ(ram_2k[0x11], 0xEF);

    // Register pairs: pair 0 has its high byte in R127.
    tms7000.rf[127] = 0x12;
    tms7000.rf[0] = 0x34;
    EXPECT_EQ(RRF16(0), 0x1234);
    p.w.l = 0xA55A;
    WRF16(0, p);
    EXPECT_EQ(tms7000.rf[127], 0xA5);
    EXPECT_EQ(tms7000.rf[0], 0x5A);
    WRF16(5, p);
    EXPECT_EQ(tms7000.rf[4], 0xA5);
    EXPECT_EQ(tms7000.rf[5], 0x5A);
    // Pair 0x80: MSB from R127, LSB from the unmapped gap at 0x0080.
    EXPECT_EQ(RRF16(0x80), 0xA5FF);
}

TEST_F(Core, SmallAccessors)
{
    rom_7020[0x10] = 0xAB;
    char text[8] = "zzzzzzz";
    EXPECT_EQ(tms7000_dasm(text, 0xF810), 1u);
    EXPECT_STREQ(text, "$AB");

    tms7000_icount = 10;
    illegal();
    EXPECT_EQ(tms7000_icount, 6);

    tms7000.rf[3] = 0x33;
    tms7000.pf[7] = 0x77;
    tms7000_init();
    EXPECT_EQ(tms7000.rf[3], 0);
    EXPECT_EQ(tms7000.pf[7], 0);
}

TEST_F(Core, IdleStepsAndWakeUp)
{
    tms7000.pc.w.l = 0xC000;
    tms7000.idle_state = 1;
    tms7000.sr = SR_I;
    tms7000.pf[0] = 0x04;
    program_write_byte_8(0x0102, 1);
    program_write_byte_8(0x0103, 0x81);   // INT2 every fourth clock
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(tms7000_ovix_execute(1), 16);
        EXPECT_EQ(tms7000.pc.w.l, 0xC000);   // nothing fetched while idle
    }
    // The fourth step's clock requests INT2, which wakes the processor
    // inside the call: the step and the 17-cycle entry are both reported,
    // and the entry's cycles clock the timer twice more in the same call.
    EXPECT_EQ(tms7000_ovix_execute(1), 16 + 17);
    EXPECT_EQ(tms7000.idle_state, 0);
    EXPECT_EQ(tms7000.pc.w.l, VEC_INT2);
    EXPECT_EQ(tms7000.irq_state[1], CLEAR_LINE);
    EXPECT_EQ(tms7000.t1_decrementer, 0);
    EXPECT_EQ(tms7000_icount, 0);
}

TEST_F(Core, EntryBetweenCallsIsNotReported)
{
    program_write_byte_8(0x0102, 100);
    program_write_byte_8(0x0103, 0x80);
    tms7000.sr = SR_I;
    tms7000.pf[0] = 0x01;
    tms7000_set_irq_line(TMS7000_IRQ1_LINE, ASSERT_LINE);   // from the loop's timer processing
    EXPECT_EQ(tms7000_icount, -19);
    EXPECT_EQ(tms7000.t1_decrementer, 100);

    tms7000.idle_state = 1;
    EXPECT_EQ(tms7000_ovix_execute(1), 16);
    // The divider still saw all 35 cycles: a clock at each multiple of 16
    // passed (three of them from a fresh divider).
    EXPECT_EQ(tms7000.t1_decrementer, 97);
    EXPECT_EQ(tms7000_icount, 0);
}

TEST_F(Core, CountsStayBoundedOverLongRuns)
{
    program_write_byte_8(0x0102, 7);
    program_write_byte_8(0x0103, 0x82);
    tms7000_reset(nullptr);
    tms7000.pf[0] = 0x01;   // INT1 enabled, INT2 never entered
    long long reported = 0;
    int worst_gap = 0, worst_balance = 0;
    const int calls = 3000000;
    for (int i = 0; i < calls; i++) {
        tms7000.idle_state = 1;
        if (i % 1000 == 999) {   // an entry between calls now and then
            tms7000.sr = SR_I;
            tms7000_set_irq_line(TMS7000_IRQ1_LINE, ASSERT_LINE);
            tms7000_set_irq_line(TMS7000_IRQ1_LINE, CLEAR_LINE);
            tms7000.idle_state = 1;
        }
        reported += tms7000_ovix_execute(1);
        worst_balance = std::max(worst_balance, std::abs(tms7000_icount));
        worst_gap = std::max(worst_gap, std::abs(tms7000_div_by_16_trigger - tms7000_icount));
    }
    EXPECT_EQ(reported, 16LL * calls);
    EXPECT_EQ(worst_balance, 0);
    EXPECT_LE(worst_gap, 16);
    // The 3000 entries of 17 cycles (from idle) clocked the timer too. From
    // a reset, a clock comes each time the consumed total passes a further
    // multiple of 16; prescaler 2 makes every third clock a decrement, and
    // the decrementer runs 7..0 then reloads 7.
    const long long consumed = 16LL * calls + 17LL * (calls / 1000);
    const long long clocks = (consumed - 1) / 16;
    EXPECT_EQ(tms7000.t1_decrementer, 7 - (clocks / 3) % 8) << clocks;
}
