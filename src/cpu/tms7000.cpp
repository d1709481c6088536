// TMS7020 main processor core: the register record, reset, the cycle-counted
// execution loop with its divide-by-16 clock for timer 1, the interrupt lines
// INT1..INT3 with their priority and entry sequence, and the peripheral file
// (IOCNT0, timer 1, ports A-D) with the register-file accessors.
//
// The core owns no memory map of its own: opcode fetches, operands, stack
// pushes and vector reads all go through the bus (mem/memory.h), which routes
// 0x0000-0x007F back to tms7000_internal_r/_w and 0x0100-0x010B to
// tms70x0_pf_r/_w. The instruction handlers live in tms70op.cpp; they
// subtract their own cycles from tms7000_icount.
//
// Cycle balance: each execute call adds its budget to tms7000_icount and runs
// until the balance is no longer positive. At the end of every call the final
// balance (0 or negative) is subtracted from both the balance and the divider
// threshold, so both stay small over any run while their difference, which
// alone decides when timer 1 ticks, is unchanged.
#include "cpu/tms7000.h"

#include <cstdio>
#include <cstring>

#include "debug/trace.h"

tms7000_Regs tms7000;
int32 tms7000_icount;
int32 tms7000_div_by_16_trigger;
int32 tms7000_cycles_per_INT2;
int32 tms7000_div_point;
int32 tms7000_div_alarm = INT32_MIN;

// Trace flag of "tms7000_ovix_execute()", whose routine message is the
// divider's "service timer" (0 not looked up, 1 listed, -1 not).
static int s_execute_flag;

// Peripheral-file register numbers.
enum {
    PF_IOCNT0 = 0,
    PF_T1DATA = 2,
    PF_T1CTL = 3,
    PF_APORT = 4,
    PF_BPORT = 6,
    PF_CPORT = 8,
    PF_CDDR = 9,
    PF_DPORT = 10,
    PF_DDDR = 11,
};

// IOCNT0 bits.
enum : uint8 {
    IOCNT0_INT1_ENABLE = 0x01,
    IOCNT0_INT1_FLAG = 0x02,
    IOCNT0_INT2_ENABLE = 0x04,
    IOCNT0_INT2_FLAG = 0x08,
    IOCNT0_INT3_ENABLE = 0x10,
    IOCNT0_INT3_FLAG = 0x20,
    IOCNT0_FLAGS = IOCNT0_INT1_FLAG | IOCNT0_INT2_FLAG | IOCNT0_INT3_FLAG,   // write 1 to clear
};

// T1CTL bits.
enum : uint8 { T1CTL_RUN = 0x80, T1CTL_EXTERNAL = 0x40, T1CTL_PRESCALE = 0x1F };

static constexpr int CYCLES_INTERRUPT = 19;
static constexpr int CYCLES_INTERRUPT_FROM_IDLE = 17;
static constexpr int CYCLES_ILLEGAL = 4;

// ---------------------------------------------------------------------------
// Memory and register-pair words.

uint16 RM16(uint32 mAddr)
{
    const int hi = program_read_byte_8((int)(mAddr & 0xFFFF));
    const int lo = program_read_byte_8((int)((mAddr + 1) & 0xFFFF));
    return (uint16)((hi << 8) | lo);
}

void WM16(uint32 mAddr, PAIR p)
{
    program_write_byte_8((int)(mAddr & 0xFFFF), p.b.h);
    program_write_byte_8((int)((mAddr + 1) & 0xFFFF), p.b.l);
}

// A register pair n: MSB in register (n - 1) & 0x7F, LSB in register n.
uint16 RRF16(uint32 mAddr)
{
    const int hi = program_read_byte_8((int)((mAddr - 1) & 0x7F));
    const int lo = program_read_byte_8((int)(mAddr & 0xFFFF));
    return (uint16)((hi << 8) | lo);
}

void WRF16(uint32 mAddr, PAIR p)
{
    program_write_byte_8((int)((mAddr - 1) & 0x7F), p.b.h);
    program_write_byte_8((int)(mAddr & 0xFFFF), p.b.l);
}

void illegal() { tms7000_icount -= CYCLES_ILLEGAL; }

// ---------------------------------------------------------------------------
// Accessors for the debugger, the trace prefix and the loop.

uint16 get_pc() { return tms7000.pc.w.l; }
uint8 get_sp() { return tms7000.sp; }
uint8 get_sr() { return tms7000.sr; }
uint8 get_rf(int reg) { return tms7000.rf[reg & 0x7F]; }

const char *get_sr_str()
{
    static char text[9];
    const uint8 sr = tms7000.sr;
    snprintf(text, sizeof text, "%c%c%c%c%c%c%c%c",
             sr & 0x80 ? 'C' : 'c', sr & 0x40 ? 'N' : 'n', sr & 0x20 ? 'Z' : 'z', sr & 0x10 ? 'I' : 'i',
             sr & 0x08 ? 'X' : 'x', sr & 0x04 ? 'X' : 'x', sr & 0x02 ? 'X' : 'x', sr & 0x01 ? 'X' : 'x');
    return text;
}

unsigned tms7000_dasm(char *buffer, unsigned pc)
{
    // "$XX" and its NUL: the caller's buffer holds at least that.
    snprintf(buffer, 4, "$%02X", (unsigned)program_read_byte_8((int)(pc & 0xFFFF)));
    return 1;
}

// ---------------------------------------------------------------------------
// Lifecycle.

void tms7000_power_on()
{
    tms7000 = {};
    tms7000_icount = 0;
    tms7000_div_by_16_trigger = 0;
    tms7000_cycles_per_INT2 = 0;
    tms7000_div_point = 0;
    tms7000_div_rearm();
}

void tms7000_init()
{
    memset(tms7000.pf, 0, sizeof tms7000.pf);
    memset(tms7000.rf, 0, sizeof tms7000.rf);
}

void tms7000_exit() {}

void tms7000_reset(void *param)
{
    const uint16 old_pc = tms7000.pc.w.l;
    tms7000_div_sync();

    tms7000.idle_state = 0;
    for (uint8 &line : tms7000.irq_state) line = CLEAR_LINE;

    // Direction registers first, so that ports C and D then output 0.
    program_write_byte_8(0x0100 + PF_CDDR, 0x00);
    program_write_byte_8(0x0100 + PF_DDDR, 0x00);
    program_write_byte_8(0x0100 + PF_APORT, 0xFF);
    program_write_byte_8(0x0100 + PF_CPORT, 0xFF);
    program_write_byte_8(0x0100 + PF_DPORT, 0xFF);

    tms7000.sp = 1;
    tms7000.sr = 0;

    // Clears the enables; the flags survive (they clear only when written 1).
    program_write_byte_8(0x0100 + PF_IOCNT0, 0x00);

    program_write_byte_8(0x0000, (uint8)(old_pc >> 8));
    program_write_byte_8(0x0001, (uint8)old_pc);

    tms7000.pc.w.l = RM16(0xFFFE);

    tms7000_div_by_16_trigger = tms7000_icount - 16;
    tms7000_div_rearm();
}

void tms7000_set_irq_callback(int (*callback)(int)) { tms7000.irq_callback = callback; }

void tms7000_get_context(tms7000_Regs *dst)
{
    tms7000_div_sync();
    if (dst) *dst = tms7000;
}

void tms7000_set_context(const tms7000_Regs *src)
{
    // Clocks owed so far belong to the record being replaced.
    tms7000_div_sync();
    if (src) tms7000 = *src;
    tms7000_div_rearm();
    tms7000_check_IRQ_lines();
}

// ---------------------------------------------------------------------------
// Interrupts.

tms7000_frame tms7000_frames[TMS7000_MAX_FRAMES];
int tms7000_nframes;
bool tms7000_frames_kept;

void tms7000_drop_frames_above(uint8 sp)
{
    while (tms7000_nframes && tms7000_frames[tms7000_nframes - 1].sp > sp) tms7000_nframes--;
}

// An interrupt entry, before its frame is pushed: the interrupted
// instruction returns there, the routine starts at the vector's address.
OVIX_COLD static void push_interrupt_frame(int line, uint16 return_pc, uint16 vector_address)
{
    const uint8 sp = tms7000.sp;
    tms7000_drop_frames_above(sp);
    if (tms7000_nframes >= TMS7000_MAX_FRAMES) return;
    tms7000_frame &f = tms7000_frames[tms7000_nframes++];
    f = tms7000_frame{};
    f.kind = FRAME_INTERRUPT;
    f.sp = (uint8)((sp + 3) & 0x7F);
    f.return_pc = return_pc;
    f.call_pc = return_pc;
    f.entry = (uint16)(bus_peek(vector_address) << 8 | bus_peek((vector_address + 1) & 0xFFFF));
    f.line = line;
}

void tms7000_do_interrupt(int address, int line)
{
    TRACE_FUNC("tms7000_do_interrupt()");
    TRACE("called");
    // The call stack sees the frame pushed.
    if (tms7000_frames_kept) push_interrupt_frame(line, tms7000.pc.w.l, (uint16)address);

    const uint8 frame[3] = {tms7000.sr, tms7000.pc.b.h, tms7000.pc.b.l};
    for (uint8 byte : frame) {
        tms7000.sp = (uint8)((tms7000.sp + 1) & 0x7F);
        program_write_byte_8(tms7000.sp, byte);
    }
    tms7000.sr = 0;   // clears I: no nesting until EINT or RETI
    tms7000.pc.w.l = RM16((uint32)address & 0xFFFF);

    if (tms7000.idle_state == 0) {
        tms7000_icount -= CYCLES_INTERRUPT;
    } else {
        tms7000_icount -= CYCLES_INTERRUPT_FROM_IDLE;
        tms7000.idle_state = 0;
    }

    if (tms7000.irq_callback)
        tms7000.irq_callback(line & 0xFF);
    else
        TRACE("void interrupt handle");
}

void tms7000_check_IRQ_lines()
{
    TRACE_FUNC("tms7000_check_IRQ_lines()");
    if (!(tms7000.sr & SR_I)) {
        TRACE_ALWAYS("Interrupt disabled");
        return;
    }
    uint8 &iocnt0 = tms7000.pf[PF_IOCNT0];

    if ((tms7000.irq_state[TMS7000_IRQ1_LINE] == ASSERT_LINE || (iocnt0 & IOCNT0_INT1_FLAG)) &&
        (iocnt0 & IOCNT0_INT1_ENABLE)) {
        tms7000_do_interrupt(0xFFFC, TMS7000_IRQ1_LINE);
        iocnt0 &= (uint8)~IOCNT0_INT1_FLAG;
        return;
    }
    // INT2 is recognised from its line alone; its flag is left as it is.
    if (tms7000.irq_state[TMS7000_IRQ2_LINE] == ASSERT_LINE && (iocnt0 & IOCNT0_INT2_ENABLE)) {
        tms7000_do_interrupt(0xFFFA, TMS7000_IRQ2_LINE);
        tms7000.irq_state[TMS7000_IRQ2_LINE] = CLEAR_LINE;
        return;
    }
    if ((tms7000.irq_state[TMS7000_IRQ3_LINE] == ASSERT_LINE || (iocnt0 & IOCNT0_INT3_FLAG)) &&
        (iocnt0 & IOCNT0_INT3_ENABLE)) {
        tms7000_do_interrupt(0xFFF8, TMS7000_IRQ3_LINE);
        iocnt0 &= (uint8)~IOCNT0_INT3_FLAG;
    }
}

void tms7000_set_irq_line(int irqline, int state)
{
    TRACE_FUNC("tms7000_set_irq_line()");
    // Only the three lines exist; any other number would index past
    // irq_state.
    if (irqline < TMS7000_IRQ1_LINE || irqline > TMS7000_IRQ3_LINE) return;
    // Held and pulsed lines are never passed; they count as asserted.
    if (state != CLEAR_LINE) state = ASSERT_LINE;

    if (tms7000.irq_state[irqline] == state) return;
    tms7000.irq_state[irqline] = (uint8)state;
    TRACE("tms7000: set_irq_line (INT%d, state %d)\n", irqline + 1, state);
    if (state == CLEAR_LINE) return;

    tms7000.pf[PF_IOCNT0] |= (uint8)(IOCNT0_INT1_FLAG << (2 * irqline));
    if (irqline == TMS7000_IRQ3_LINE) {
        tms7000_div_sync();
        tms7000.t1_capture_latch = (uint8)tms7000.t1_decrementer;
    }
    tms7000_check_IRQ_lines();
}

// ---------------------------------------------------------------------------
// Execution.

static bool timer_on_internal_clock()
{
    return (tms7000.pf[PF_T1CTL] & (T1CTL_RUN | T1CTL_EXTERNAL)) == T1CTL_RUN;
}

// One timer-1 clock from the divider; the machine's loop reports each under
// its own trace name.
template <bool traced>
static inline void divider_clock()
{
    if constexpr (traced) {
        tms7000_ovix_prologue();
        if (s_execute_flag == 1 && !g_notrace) {
            static trace_site site;
            do_trace_at(&site, "service timer");
        }
    }
    tms7000_service_timer1();
}

// The divider as it runs after every step: a clock for every 16 cycles
// consumed since the last one, while the timer runs on the internal clock.
// `point` is the balance it catches up with (read again after each clock,
// whose INT2 entry charges its cycles).
template <bool traced>
static inline void clock_divider(const int32 &point = tms7000_icount)
{
    while (point < tms7000_div_by_16_trigger) {
        tms7000_div_by_16_trigger -= 16;
        if (timer_on_internal_clock()) divider_clock<traced>();
    }
}

// Clocks until the one that requests INT2, from the counts as they are; 0
// when they hold values that the closed form below does not cover.
static int64 clocks_to_int2()
{
    const int q = tms7000.t1_prescaler, d = tms7000.t1_decrementer;
    if (q < 0 || d < 0) return 0;
    const int p = tms7000.pf[PF_T1CTL] & T1CTL_PRESCALE;
    return (int64)(q + 1) + (int64)d * (p + 1);
}

// n clocks that request no INT2 (n < clocks_to_int2()), in one go: the
// prescaler counts q..0 and reloads p, each reload takes one from the
// decrementer.
static void apply_clocks(int64 n)
{
    const int64 q = tms7000.t1_prescaler;
    if (n <= q) {
        tms7000.t1_prescaler = (int8)(q - n);
        return;
    }
    const int64 p1 = (tms7000.pf[PF_T1CTL] & T1CTL_PRESCALE) + 1;
    const int64 after = n - (q + 1);   // clocks after the first reload
    tms7000.t1_prescaler = (int8)(p1 - 1 - after % p1);
    tms7000.t1_decrementer = (int16)(tms7000.t1_decrementer - 1 - after / p1);
}

// Clocks owed while the balance went from the trigger down to `point`.
static int64 owed_clocks(int32 point)
{
    if (point >= tms7000_div_by_16_trigger) return 0;
    return ((int64)tms7000_div_by_16_trigger - point + 15) / 16;
}

// Applies up to `limit` owed clocks (all of them when the timer is not on
// the internal clock, where a clock does nothing).
static void catch_up(int32 point, int64 limit)
{
    int64 n = owed_clocks(point);
    if (timer_on_internal_clock()) {
        if (n > limit) n = limit;
        if (n > 0) apply_clocks(n);
    }
    tms7000_div_by_16_trigger = (int32)(tms7000_div_by_16_trigger - 16 * n);
}

// Whether the clocks may be applied lazily: not while "service timer" is
// traced (or its flag not looked up yet).
static bool clocks_traced() { return s_execute_flag != -1 && !g_notrace; }

void tms7000_div_rearm()
{
    if (!timer_on_internal_clock()) {
        tms7000_div_alarm = INT32_MIN;   // clocks do nothing: never
        return;
    }
    const int64 k = clocks_to_int2();
    if (k == 0 || clocks_traced()) {
        tms7000_div_alarm = tms7000_div_by_16_trigger;   // every clock
        return;
    }
    // The k-th clock comes when the balance falls below this.
    const int64 alarm = (int64)tms7000_div_by_16_trigger - 16 * (k - 1);
    tms7000_div_alarm = alarm < INT32_MIN ? INT32_MIN : (int32)alarm;
}

void tms7000_div_sync()
{
    if (tms7000_div_point >= tms7000_div_by_16_trigger) return;
    if (!timer_on_internal_clock() || owed_clocks(tms7000_div_point) < clocks_to_int2()) {
        catch_up(tms7000_div_point, INT64_MAX);
    } else {
        // Only after a direct change of the counts: clock by clock.
        clock_divider<false>(tms7000_div_point);
    }
    tms7000_div_rearm();
}

void tms7000_divider()
{
    // The clocks before the one that requests INT2 in one go, then the
    // divider as it always runs (INT2, its entry's cycles, more clocks).
    const int64 k = clocks_to_int2();
    if (k > 1 && !clocks_traced()) catch_up(tms7000_icount, k - 1);
    clock_divider<true>();
    tms7000_div_point = tms7000_icount;
    tms7000_div_rearm();
}

void tms7000_rebase()
{
    tms7000_div_sync();
    const int32 zero = tms7000_div_point;
    tms7000_icount -= zero;
    tms7000_div_by_16_trigger -= zero;
    tms7000_div_point = 0;
    tms7000_div_rearm();
}

void tms7000_ovix_prologue()
{
    g_func_name = "tms7000_ovix_execute()";
    if (s_execute_flag == 0 && !g_notrace) {
        s_execute_flag = check_debug("tms7000_ovix_execute()");
        tms7000_div_rearm();
    }
}

int tms7000_ovix_execute(int cycles)
{
    tms7000_ovix_prologue();
    tms7000_rebase();
    tms7000_icount += cycles;
    const int32 start = tms7000_icount;
    tms7000_div_by_16_trigger += cycles;

    do {
        tms7000_cpu c;
        c.load();
        // The debugger's step keeps the engine's frames while it tracks them.
        if (tms7000_frames_kept)
            tms7000_ovix_step_debug(c);
        else
            tms7000_ovix_step(c);
        c.save();
        clock_divider<true>();
    } while (tms7000_icount > 0);

    const int32 consumed = start - tms7000_icount;
    tms7000_div_by_16_trigger -= tms7000_icount;
    tms7000_icount = 0;
    tms7000_div_rearm();
    return consumed;
}

int tms7000_execute(int cycles)
{
    tms7000_rebase();
    tms7000_icount += cycles;
    tms7000_div_by_16_trigger += cycles;

    do {
        tms7000_cpu c;
        c.load();
        tms7000_step(c);
        c.save();
        clock_divider<false>();
    } while (tms7000_icount > 0);

    const int32 balance = tms7000_icount;
    const int consumed = cycles - balance;
    // This entry point moves the divider threshold by the final balance
    // (timer 1 comes due that much earlier), then both counts are re-based
    // like every call.
    tms7000_div_by_16_trigger -= balance;
    tms7000_div_by_16_trigger -= balance;
    tms7000_icount = 0;
    tms7000_div_rearm();
    return consumed;
}

// ---------------------------------------------------------------------------
// Timer 1.

void tms7000_A6EC1()
{
    if ((tms7000.pf[PF_T1CTL] & (T1CTL_RUN | T1CTL_EXTERNAL)) == (T1CTL_RUN | T1CTL_EXTERNAL))
        tms7000_service_timer1();
}

static bool register_switch_hook()
{
    // Lazy or step by step depends on whether "service timer" is traced.
    trace_add_switch_hook([] {
        tms7000_div_sync();
        tms7000_div_rearm();
    });
    return true;
}
static const bool switch_hook_registered = register_switch_hook();

void tms7000_service_timer1()
{
    TRACE_FUNC("tms7000_service_timer1()");
    tms7000.t1_prescaler = (int8)(tms7000.t1_prescaler - 1);
    if (tms7000.t1_prescaler >= 0) return;
    tms7000.t1_prescaler = (int8)(tms7000.pf[PF_T1CTL] & T1CTL_PRESCALE);

    tms7000.t1_decrementer = (int16)(tms7000.t1_decrementer - 1);
    if (tms7000.t1_decrementer >= 0) return;
    tms7000.t1_decrementer = tms7000.pf[PF_T1DATA];

    tms7000_set_irq_line(TMS7000_IRQ2_LINE, ASSERT_LINE);
    TRACE("tms7000: trigger int2");
}

static void compute_int2_period()
{
    tms7000_cycles_per_INT2 =
        16 * ((tms7000.pf[PF_T1CTL] & T1CTL_PRESCALE) + 1) * (tms7000.pf[PF_T1DATA] + 1);
}

// ---------------------------------------------------------------------------
// Peripheral file.

// The value a read of IOCNT0 gives: the stored byte, with the INT1 and INT3
// flags also set while their lines are asserted.
static uint8 iocnt0_value()
{
    uint8 v = tms7000.pf[PF_IOCNT0];
    if (tms7000.irq_state[TMS7000_IRQ1_LINE] == ASSERT_LINE) v |= IOCNT0_INT1_FLAG;
    if (tms7000.irq_state[TMS7000_IRQ3_LINE] == ASSERT_LINE) v |= IOCNT0_INT3_FLAG;
    return v;
}

// A bidirectional port reads its output bits from the latch and its input
// bits from the port.
static uint8 mixed_port(uint8 ddr, uint8 latch, uint8 input) { return (uint8)((ddr & latch) | (input & ~ddr)); }

// Reads P0..P255; `port` gives the outside side of a port (traced, or not
// for the peek).
template <uint8 (*port)(int)>
static uint8 pf_value(int offset)
{
    const uint8 *pf = tms7000.pf;
    switch (offset & 0xFF) {
    case PF_IOCNT0: return iocnt0_value();
    case PF_T1DATA: return (uint8)tms7000.t1_decrementer;
    case PF_T1CTL: return tms7000.t1_capture_latch;
    case PF_APORT: return port(TMS7000_PORTA);
    case PF_BPORT: return pf[PF_BPORT];
    case PF_CPORT: return mixed_port(pf[PF_CDDR], pf[PF_CPORT], port(TMS7000_PORTC));
    case PF_DPORT: return mixed_port(pf[PF_DDDR], pf[PF_DPORT], port(TMS7000_PORTD));
    default: return pf[offset & 0xFF];
    }
}

static uint8 port_latch(int port)
{
    switch (port) {
    case TMS7000_PORTA: return porta_val;
    case TMS7000_PORTB: return portb_val;
    case TMS7000_PORTC: return portc_val;
    case TMS7000_PORTD: return portd_val;
    default: return 0;
    }
}

uint8 tms70x0_pf_r(int offset)
{
    TRACE_FUNC("tms70x0_pf_r()");
    if ((offset & 0xFF) == PF_T1DATA) tms7000_div_sync();
    const uint8 v = pf_value<io_read_byte_8>(offset);
    if ((offset & 0xFF) == PF_IOCNT0) TRACE("reading IOCNT0 %02x", v);
    return v;
}

uint8 tms70x0_pf_peek(int offset)
{
    if ((offset & 0xFF) == PF_T1DATA) tms7000_div_sync();
    return pf_value<port_latch>(offset);
}

// Ports C and D output only the bits their direction register makes
// outputs; the latch keeps the masked byte.
static void write_masked_port(int pf_port, int pf_ddr, int port, uint8 data)
{
    const uint8 value = data & tms7000.pf[pf_ddr];
    io_write_byte_8(port, value);
    tms7000.pf[pf_port] = value;
}

void tms70x0_pf_w(int offset, uint8 data)
{
    TRACE_FUNC("tms70x0_pf_w()");
    offset &= 0xFF;
    uint8 *pf = tms7000.pf;
    switch (offset) {
    case PF_IOCNT0:
        TRACE("IOCNT0 write %02x", data);
        pf[PF_IOCNT0] = (uint8)((data & ~IOCNT0_FLAGS) | (pf[PF_IOCNT0] & IOCNT0_FLAGS & ~data));
        TRACE("IOCNT0 write result %02x", pf[PF_IOCNT0]);
        break;
    case PF_T1DATA:
        tms7000_div_sync();
        pf[PF_T1DATA] = data;
        tms7000.t1_decrementer = data;
        compute_int2_period();
        TRACE("tms7000: Timer adjusted. Decrementer: 0x%2x (Cycles per interrupt: %d)",
              tms7000.t1_decrementer, tms7000_cycles_per_INT2);
        tms7000_div_rearm();
        break;
    case PF_T1CTL: {
        tms7000_div_sync();
        const bool was_running = pf[PF_T1CTL] & T1CTL_RUN;
        const bool runs = data & T1CTL_RUN;
        pf[PF_T1CTL] = data;
        if (was_running != runs) tms7000.t1_prescaler = (int8)(data & T1CTL_PRESCALE);
        compute_int2_period();
        if (!was_running && runs)
            TRACE("tms7000: Timer started. Prescaler: 0x%2x (Cycles per interrupt: %d)\n",
                  data & T1CTL_PRESCALE, tms7000_cycles_per_INT2);
        else if (was_running && !runs)
            TRACE("tms7000: Timer stopped. Prescaler: 0x%2x (Cycles per interrupt: %d)",
                  data & T1CTL_PRESCALE, tms7000_cycles_per_INT2);
        else
            TRACE("tms7000: Timer adjusted. Prescaler: 0x%2x (Cycles per interrupt: %d)",
                  data & T1CTL_PRESCALE, tms7000_cycles_per_INT2);
        tms7000_div_rearm();
        break;
    }
    case PF_APORT:
        break;   // input only
    case PF_BPORT:
        TRACE("PORT B Write %02x", data);
        // The handshake events raised here may enter INT1 before this returns.
        io_write_byte_8(TMS7000_PORTB, data);
        pf[PF_BPORT] = data;
        break;
    case PF_CPORT:
        TRACE("PORT C Write %02x", data);
        write_masked_port(PF_CPORT, PF_CDDR, TMS7000_PORTC, data);
        break;
    case PF_DPORT:
        TRACE("PORT D Write %02x", data);
        write_masked_port(PF_DPORT, PF_DDDR, TMS7000_PORTD, data);
        break;
    default:
        TRACE("Other io port");
        pf[offset] = data;
        break;
    }
}

uint8 tms7000_internal_r(int offset) { return tms7000.rf[offset & 0x7F]; }
void tms7000_internal_w(int offset, uint8 data) { tms7000.rf[offset & 0x7F] = data; }

// ---------------------------------------------------------------------------
// Snapshot access.

tms7000_counts tms7000_get_counts()
{
    // Between runs nothing is owed to the divider (a run applies it all at
    // its end): the counts are the ones a divider run after every step gives.
    return {tms7000_icount, tms7000_icount - tms7000_div_by_16_trigger, tms7000_cycles_per_INT2};
}

void tms7000_set_counts(const tms7000_counts &c)
{
    tms7000_icount = c.icount;
    tms7000_div_by_16_trigger = c.icount - c.div_phase;
    tms7000_cycles_per_INT2 = c.int2_period;
    tms7000_div_point = 0;   // between two calls
    tms7000_div_rearm();
}
