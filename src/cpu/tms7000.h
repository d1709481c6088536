// TMS7020 main processor: register record, cycle-counted execution loop,
// interrupts INT1..INT3, the peripheral file (IOCNT0, timer 1, ports A-D)
// and the register-file accessors. Every memory access, opcode fetches
// included, goes through the bus (mem/memory.h).
#pragma once

#include "config.h"
#include "mem/memory.h"

// Cycles of one step while IDLE holds the processor.
constexpr int CYCLES_IDLE_STEP = 16;

// Status register bits.
enum : uint8 { SR_C = 0x80, SR_N = 0x40, SR_Z = 0x20, SR_I = 0x10 };

struct tms7000_Regs {
    PAIR pc;                    // program counter (pc.w.l)
    uint8 sp;                   // stack pointer: register-file address of the top
    uint8 sr;                   // status register: C N Z I x x x x
    uint8 irq_state[3];         // line states of INT1, INT2, INT3
    uint8 rf[128];              // register file R0..R127 (A = R0, B = R1)
    uint8 pf[256];              // peripheral file storage P0..P255
    int (*irq_callback)(int);   // called after an interrupt entry; may be null
    uint8 t1_capture_latch;     // timer 1 capture latch
    int8 t1_prescaler;          // timer 1 prescaler count
    int16 t1_decrementer;       // timer 1 decrementer count
    uint8 idle_state;           // 1 from IDLE until an interrupt is entered
};

extern tms7000_Regs tms7000;
// Both counts are re-based at the end of every execute call: the balance
// is 0 between calls (negative only after an interrupt entered from outside
// a call), and the divider threshold stays within 16 cycles of it. The
// emulation loop re-bases them only now and then (tms7000_rebase); outside
// it they always hold the values above.
extern int32 tms7000_icount;              // cycle balance
extern int32 tms7000_div_by_16_trigger;   // threshold of the timer-1 divider
extern int32 tms7000_cycles_per_INT2;     // timer-1 period, for traces only

// The divider runs lazily. The timer-1 clocks that the divider owes for the
// cycles consumed up to the end of the last step (tms7000_div_point) are
// applied in one go when something looks at timer 1 (a read or write of
// T1DATA or T1CTL, a reset, INT3, the context copies, the end of a run),
// and the divider runs step by step only from the step at which timer 1
// could request INT2 (tms7000_div_alarm), or at every step while its clock
// is traced. Between runs everything is applied: tms7000.t1_* and the two
// counts above read as they would with a divider run after every step.
extern int32 tms7000_div_point;   // tms7000_icount at the end of the last step
extern int32 tms7000_div_alarm;   // the divider runs when the balance falls below this
// Applies the owed timer-1 clocks (see above).
void tms7000_div_sync();
// Recomputes tms7000_div_alarm after timer 1, its counts or the trigger
// changed.
void tms7000_div_rearm();
// The divider's run after a step that reached the alarm.
OVIX_COLD void tms7000_divider();
// Applies the owed clocks and re-bases both counts to their values between
// execute calls.
void tms7000_rebase();
// The trace prologue of tms7000_ovix_execute (the flag of "service timer").
void tms7000_ovix_prologue();

void tms7000_reset(void *param);
int tms7000_ovix_execute(int cycles);
// The processor state a step works on: pc, sr and the cycle balance, kept
// in registers by the emulation loop and the instruction handlers, and
// written back (save) around every call that can see or change them.
struct tms7000_cpu {
    uint16 pc;
    uint8 sr;
    int32 icount;
    void load()
    {
        pc = tms7000.pc.w.l;
        sr = tms7000.sr;
        icount = tms7000_icount;
    }
    void save() const
    {
        tms7000.pc.w.l = pc;
        tms7000.sr = sr;
        tms7000_icount = icount;
    }
};

// One instruction of the machine's set, or one idle step: what each round
// of tms7000_ovix_execute runs before the divider (defined in tms70op.cpp).
// The machine's set is the standard one but for opcode D7.
void tms7000_ovix_step(tms7000_cpu &c);
// The same for the emulation loop's debugging path: it also keeps the
// call frames (tms7000_frames, below) at every call, trap, return, POP and
// LDSP.
void tms7000_ovix_step_debug(tms7000_cpu &c);
// The same with the standard set (tms7000_execute).
void tms7000_step(tms7000_cpu &c);

// One call of tms7000_ovix_execute(1) as the emulation loop makes it, on
// `c`, without re-basing the counts: returns the cycles consumed. The
// balance before the call's budget is tms7000_div_point. Debug: with the
// debugging path's step.
template <bool Debug = false>
inline int tms7000_ovix_pass(tms7000_cpu &c)
{
    const int32 zero = tms7000_div_point;
    const int32 start = c.icount;
    do {
        if constexpr (Debug)
            tms7000_ovix_step_debug(c);
        else
            tms7000_ovix_step(c);
        tms7000_div_point = c.icount;
        if (c.icount < tms7000_div_alarm) [[unlikely]] {
            c.save();
            tms7000_divider();
            c.load();
        }
    } while (c.icount >= zero);   // budget 1: one step unless the balance was positive
    return start - c.icount;
}

int tms7000_execute(int cycles);
OVIX_COLD void tms7000_set_irq_line(int irqline, int state);
OVIX_COLD void tms7000_check_IRQ_lines();
OVIX_COLD void tms7000_do_interrupt(int address, int line);
void tms7000_set_irq_callback(int (*callback)(int));
void tms7000_get_context(tms7000_Regs *dst);
void tms7000_set_context(const tms7000_Regs *src);
void tms7000_init();
void tms7000_exit();
void tms7000_A6EC1();
unsigned tms7000_dasm(char *buffer, unsigned pc);

// Power-on state: the whole record, counts and divider back to zero (the
// cold start of the front end; the program start is the same state).
void tms7000_power_on();

uint16 get_pc();
uint8 get_sp();
uint8 get_sr();
const char *get_sr_str();
uint8 get_rf(int reg);

uint16 RM16(uint32 mAddr);
void WM16(uint32 mAddr, PAIR p);
uint16 RRF16(uint32 mAddr);
void WRF16(uint32 mAddr, PAIR p);
void illegal();

// Peripheral file and timer 1.
OVIX_COLD uint8 tms70x0_pf_r(int offset);
OVIX_COLD void tms70x0_pf_w(int offset, uint8 data);
// The value tms70x0_pf_r would give, without trace or port access (for the
// debugger).
uint8 tms70x0_pf_peek(int offset);
OVIX_COLD void tms7000_service_timer1();
uint8 tms7000_internal_r(int offset);
void tms7000_internal_w(int offset, uint8 data);

// The execution counts outside the register record, for snapshots: the
// cycle balance between execute calls and the timer-1 divider's phase (the
// balance minus the divider threshold). Whatever represents the divider
// inside, these give and take the same two numbers.
struct tms7000_counts {
    int32 icount;      // cycle balance (0, or negative after an interrupt entered between calls)
    int32 div_phase;   // cycle balance minus the divider threshold
    int32 int2_period; // tms7000_cycles_per_INT2 (traces only)
};
tms7000_counts tms7000_get_counts();
void tms7000_set_counts(const tms7000_counts &c);

// ---------------------------------------------------------------------------
// Call frames, for the debugger's call stack.
//
// While tms7000_frames_kept is set (a run on the emulation loop's debugging
// path, or the debugger's own step), the machine's step appends a frame at
// every call and trap (just pushed: its return address is on top of the
// stack, its routine is where pc now is), tms7000_do_interrupt one at every
// interrupt entry, and every return, POP and LDSP drops those above the
// stack pointer. Otherwise the frames are left as they were; the debugger
// engine knows when that made them stale.

enum tms7000_frame_kind : uint8 { FRAME_CALL, FRAME_TRAP, FRAME_INTERRUPT };

struct tms7000_frame {
    tms7000_frame_kind kind = FRAME_CALL;
    uint8 sp = 0;             // the stack pointer just after the frame was pushed
    uint16 return_pc = 0;     // the return address as pushed
    uint16 call_pc = 0;       // the call or trap instruction, or the interrupted one
    uint16 entry = 0;         // the routine's first instruction (the call's target, the vector's)
    int line = -1;            // FRAME_INTERRUPT: INT1..INT3 as 0..2
    bool found = false;       // found by looking at the stack, not seen pushed
    bool changed = false;     // the return address on the stack differs now (the program changed it)
    uint16 stack_return = 0;  // when changed: the address a return would take now
};

constexpr int TMS7000_MAX_FRAMES = 128;   // the stack lives in 128 bytes
extern tms7000_frame tms7000_frames[TMS7000_MAX_FRAMES];   // outermost first
extern int tms7000_nframes;
extern bool tms7000_frames_kept;
// Drops the frames whose return address lies above the stack pointer `sp`.
void tms7000_drop_frames_above(uint8 sp);
