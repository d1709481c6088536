// The emulation loop's pass, the machine reset and power-on, and the host
// keyboard poll. Every front end drives the machine through ovix_run; what
// differs between them (showing the frame, the quick popup, typing) comes in
// through the loop_hooks, which run only at frame passes so that the
// per-instruction path stays a handful of calls and tests. The debugger
// engine and the timeline come in through ovix_observers.

#include "machine/loop.h"

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

int ask_bkpt = 0;
int dump_all = 0;
bool ovix_following = false;
char ovix_follow_keys[OVIX_KEY_MAX];
volatile char ovix_key_down[OVIX_KEY_MAX];
volatile char *ovix_keys = ovix_key_down;

loop_observers ovix_observers;
uint8 loop_pc_map[0x10000];
bool loop_debug_path;
uint16 loop_access_pc;
int loop_stop_request;
bool loop_pass_requests;

// Passes since the last frame pass (or frame_due question), mod the frame
// period, as the last run left it: ovix_resume starts from it.
static int pass_counter = 0;

// Loop passes since power-on (the machine's time).
static uint64 machine_passes = 0;

// The rare parts of a pass, kept out of line so that the pass itself stays
// a straight run of inlined code.

// The per-instruction listing: the instruction that will run next. The
// disassembler reads through the bus whether or not tracing is on.
OVIX_COLD static void dump_line()
{
    char text[256];
    const unsigned pc = tms7000.pc.w.l;
    Dasm7000(text, pc);
    if (!g_notrace) {
        g_func_name = "ovix_loop()";
        static trace_site site;
        do_trace_at(&site, "%04X %s", pc, text);
    }
}

// The keys F1, F2 and F3 (consecutive key numbers) read at once: F1 in the
// low byte, then F2, then F3.
static_assert(OVIX_KEY_F2 == OVIX_KEY_F1 + 1 && OVIX_KEY_F3 == OVIX_KEY_F1 + 2, "F1..F3 are neighbours");
static inline uint32 function_keys(volatile char *keys)
{
    typedef uint32 __attribute__((may_alias, aligned(1))) key_word;
    return *reinterpret_cast<volatile key_word *>(keys + OVIX_KEY_F1) & 0xFFFFFF;
}
static constexpr uint32 F1_HELD = 0x0000FF;

// Forcing the I/O processor's handshake line: F3 clears it, then F2 sets
// it, so with both held it ends set. `keys` is where the loop reads them;
// `pass` is the machine's time of the pass, for the timeline.
OVIX_COLD static void force_handshake_line(volatile char *keys, uint64 pass)
{
    if (keys[OVIX_KEY_F3]) and_porta(0xFE);
    if (keys[OVIX_KEY_F2]) or_porta(0x01);
    if (ovix_observers.fkeys_held)
        ovix_observers.fkeys_held(pass, (uint8)((keys[OVIX_KEY_F2] ? 1 : 0) | (keys[OVIX_KEY_F3] ? 2 : 0)));
}

// The frame pass: the frame, the hooks around the keyboard poll. The counts
// are re-based first, so that the hooks see the machine as between two
// execute calls.
OVIX_COLD static void frame_pass(const loop_hooks *hooks)
{
    tms7000_rebase();
    if (hooks && hooks->before_poll)
        hooks->before_poll(tms3556_redraw(), hooks->ctx);
    else
        tms3556_redraw_unseen();
    ovix_key();
    if (hooks && hooks->after_poll) hooks->after_poll(hooks->ctx);
    if (ovix_observers.frame) ovix_observers.frame();   // a keyframe of the timeline when one is due
}

OVIX_COLD static bool ask_frame_due(const loop_hooks *hooks) { return hooks->frame_due(hooks->ctx); }

// Whether the debugger's request stops the run: F1 held or ask_bkpt set,
// but for the program's own request alone while loop_pass_requests is set
// (then it is cleared and the run goes on).
OVIX_COLD static bool debugger_stops(uint32 f1)
{
    if (f1) return true;
    if (ask_bkpt == ASK_BKPT_PROGRAM && loop_pass_requests) {
        ask_bkpt = 0;
        return false;
    }
    return ask_bkpt != 0;
}

// After a pass that found F1 held, ask_bkpt or (Debug) the engine's request
// set: the reason to stop, the debugger's first, or -1 to go on. Out of
// line, so that the pass's own test stays as it was.
template <bool Debug>
OVIX_COLD static int stop_asked(uint32 fkeys)
{
    if (debugger_stops(fkeys & F1_HELD)) return LOOP_STOP_DEBUGGER;
    if (Debug && loop_stop_request) return LOOP_STOP_ENGINE;
    return -1;
}

loop_result ovix_run(uint32 targetPC, uint64 max_passes, const loop_hooks *hooks)
{
    pass_counter = 0;
    return ovix_resume(targetPC, max_passes, hooks);
}

// Passes of the run under way, as far as counted: brought up to date at
// frame passes, and on the debugging path at the start of every pass (the
// pass under way included), so that the machine's time reads right there
// and wherever the debugger engine looks (a watchpoint's condition during
// the pass sees the pass its stop would report).
static uint64 run_passes = 0;

// The loop. Flattened: the execute pass with its opcode dispatch and
// handlers, the bus's inline paths and the timer check are inlined into
// this loop whatever the link-time optimiser would decide for each program;
// everything rare is out of line (OVIX_COLD).
//
// Debug: the debugging path, taken while something of the debugger engine
// is in use. Its step keeps the engine's frames (calls, traps, returns);
// after each pass it looks at the engine's map for the new program counter
// and calls the engine when it says so, and keeps the address of the
// instruction the next pass runs where the engine finds it. The plain path
// has none of it.
//
// The stop address is 16 bits wide here (a wider comparison would cost
// every pass an instruction); ovix_resume stands in for "no stop address".
template <bool Debug>
__attribute__((flatten)) static loop_result resume(uint16 targetPC, uint64 max_passes, const loop_hooks *hooks)
{
    tms7000_ovix_prologue();
    tms7000_rebase();
    volatile char *const keys = ovix_following ? ovix_follow_keys : ovix_keys;
    bool dump = dump_all != 0;
    uint64 passes = 0, cycles = 0;
    const bool frame_due = hooks && hooks->frame_due;
    const uint32 period = frame_due ? LOOP_DUE_PASSES : LOOP_FRAME_PASSES;
    // Passes until the next frame pass (or frame_due question), that one
    // included.
    const int start_counter = pass_counter;
    const uint32 counter = (uint32)pass_counter % period;
    uint32 frame_left = counter == 0 ? 1 : period - counter + 1;
    // The emulated clock advances by exactly the cycles of each pass, and
    // only here: the run's cycles are its advance (counted around the
    // hooks, which might set it). It advances lazily: by the balance's
    // fall at the end of each pass (tms7000_div_point), counted from the
    // balance at the start of the next pass.
    uint64 clock_start = orlo_timer_cycles();
    orlo_clock_lazy(&tms7000_div_point, tms7000_icount);
    // pc, sr and the balance stay in registers; they are written back
    // before anything out of line runs, and read again after it.
    tms7000_cpu cpu;
    cpu.load();
    // Passes until the next frame pass or the count stop, whichever is first.
    uint32 chunk = 1, left = 1;
    loop_stop reason;
    if constexpr (Debug) loop_access_pc = cpu.pc;

    for (;;) {
        // The debugging path counts the pass under way, so that the machine's
        // time reads right wherever the engine looks during the pass.
        if constexpr (Debug) ++run_passes;
        tms7000_ovix_pass<Debug>(cpu);

        if (dump) [[unlikely]] {
            cpu.save();
            if constexpr (Debug) ovix_observers.watch_arm(false);
            dump_line();
            if constexpr (Debug) ovix_observers.watch_arm(true);
            cpu.load();
        }
        uint32 fkeys = function_keys(keys);
        if (fkeys > F1_HELD) [[unlikely]]
            force_handshake_line(keys, machine_passes + passes + (chunk - left) + 1);   // port A only

        if (cpu.icount < orlo_lazy.due) [[unlikely]] {
            // A timer may have expired (or the table changed).
            cpu.save();
            orlo_check_timers();
            orlo_clock_lazy(&tms7000_div_point, tms7000_icount);
            cpu.load();
        }

        if constexpr (Debug) {
            if (loop_pc_map[cpu.pc] != 0) [[unlikely]] {
                cpu.save();
                ovix_observers.after_pass();   // sets loop_stop_request to stop
                cpu.load();
            }
        }

        if (--left == 0) [[unlikely]] {
            passes += chunk;
            frame_left -= chunk;
            if (frame_left == 0) {
                frame_left = period;
                cpu.save();
                // The first pass of a run is a frame pass when it is due.
                if (!frame_due || passes == 1 || ask_frame_due(hooks)) {
                    orlo_clock_lazy(nullptr, 0);   // the counts are re-based
                    cycles += orlo_timer_cycles() - clock_start;
                    run_passes = passes;
                    pass_counter = (int)(((uint64)start_counter + passes) % LOOP_FRAME_PASSES);
                    if constexpr (Debug) ovix_observers.watch_arm(false);
                    frame_pass(hooks);
                    if constexpr (Debug) ovix_observers.watch_arm(true);
                    clock_start = orlo_timer_cycles();
                    orlo_clock_lazy(&tms7000_div_point, tms7000_icount);
                    dump = dump_all != 0;
                    fkeys = function_keys(keys);
                }
                cpu.load();
            }
            if (passes >= max_passes) {
                // The count stop comes last.
                if (cpu.pc == targetPC) {
                    reason = LOOP_STOP_PC;
                } else {
                    const int why = stop_asked<Debug>(fkeys);
                    reason = why < 0 ? LOOP_STOP_COUNT : (loop_stop)why;
                }
                left = chunk;   // all counted
                break;
            }
            const uint64 remaining = max_passes - passes;
            chunk = remaining < frame_left ? (uint32)remaining : frame_left;
            left = chunk;
        }

        if (cpu.pc == targetPC) [[unlikely]] {
            reason = LOOP_STOP_PC;
            break;
        }
        // The engine's request is tested with the debugger's; the debugger
        // comes first.
        if ((fkeys & F1_HELD) | ask_bkpt | (Debug ? loop_stop_request : 0)) [[unlikely]] {
            const int why = stop_asked<Debug>(fkeys);
            if (why >= 0) {
                reason = (loop_stop)why;
                break;
            }
        }
        if constexpr (Debug) loop_access_pc = cpu.pc;   // the next pass's instruction
    }
    // The passes of the chunk that ran before a stop.
    passes += chunk - left;
    pass_counter = (int)(((uint64)start_counter + passes) % LOOP_FRAME_PASSES);
    orlo_clock_lazy(nullptr, 0);
    cycles += orlo_timer_cycles() - clock_start;
    cpu.save();
    tms7000_rebase();
    machine_passes += passes;
    run_passes = 0;
    return loop_result{passes, cycles, reason};
}

loop_result ovix_resume(uint32 targetPC, uint64 max_passes, const loop_hooks *hooks)
{
    ask_bkpt = 0;
    // The debugging path needs the engine's hooks: they are set whenever
    // the engine can set the flag.
    const bool debug = loop_debug_path;
    if (debug) ovix_observers.run_begin();
    // Without a stop address the loop gets FFFF and goes on when it stops
    // there, unless something else stopped it after the same pass.
    const bool none = targetPC > 0xFFFF;
    const uint16 target = none ? 0xFFFF : (uint16)targetPC;
    loop_result total{0, 0, LOOP_STOP_COUNT};
    for (;;) {
        const uint64 left = max_passes - total.passes;
        const loop_result r = debug ? resume<true>(target, left, hooks) : resume<false>(target, left, hooks);
        total.passes += r.passes;
        total.cycles += r.cycles;
        total.reason = r.reason;
        if (!none || r.reason != LOOP_STOP_PC) break;
        if ((ovix_keys[OVIX_KEY_F1] || ask_bkpt) && debugger_stops(ovix_keys[OVIX_KEY_F1])) {
            total.reason = LOOP_STOP_DEBUGGER;
            break;
        }
        if (debug && loop_stop_request) {
            total.reason = LOOP_STOP_ENGINE;
            break;
        }
        if (total.passes >= max_passes) {
            total.reason = LOOP_STOP_COUNT;
            break;
        }
    }
    if (ovix_observers.run_end) ovix_observers.run_end(total, targetPC);
    return total;
}

int ovix_step_pass()
{
    // One instruction, the clock and the timer check, as the debugger's
    // step has always made them (no listing line, no handshake keys).
    run_passes = 1;   // the pass under way, as the debugging path counts it
    const int cycles = tms7000_ovix_execute(1);
    orlo_timer_update_clock({0, (uint32)cycles});
    orlo_check_timers();
    pass_counter = (pass_counter + 1) % LOOP_FRAME_PASSES;
    run_passes = 0;
    machine_passes++;
    return cycles;
}

void ovix_reset()
{
    tms7000_reset(nullptr);
    reset_iocpu();
    tms3556_reset();
    if (ovix_observers.reset) ovix_observers.reset();
}

void ovix_start()
{
    tms7000_reset(nullptr);
    tms3556_init(0x8000);
    tms3556_reset();
    io_cpu_callback(0);
}

void ovix_power_on()
{
    mem_power_on();
    machine_passes = 0;
    tms7000_power_on();
    io_cpu_power_on();
    tms3556_power_on();
    // Then the same start-up sequence as at program start.
    tms7000_reset(nullptr);
    tms3556_reset();
    io_cpu_callback(0);
    if (ovix_observers.power_on) ovix_observers.power_on();   // a cold start ends the timeline
}

// The host keys that reach the machine, in scanning order, with the codes
// they produce. 0 follows 9; the arrows come last and so beat every
// other key held at the same poll.
struct key_map_entry {
    int host;     // key number
    uint8 code;   // the machine's key code
};
static constexpr key_map_entry key_map[] = {
#define LETTER(c) {ovix_letter_key(c), (uint8)(c)}
    LETTER('A'), LETTER('B'), LETTER('C'), LETTER('D'), LETTER('E'), LETTER('F'), LETTER('G'),
    LETTER('H'), LETTER('I'), LETTER('J'), LETTER('K'), LETTER('L'), LETTER('M'), LETTER('N'),
    LETTER('O'), LETTER('P'), LETTER('Q'), LETTER('R'), LETTER('S'), LETTER('T'), LETTER('U'),
    LETTER('V'), LETTER('W'), LETTER('X'), LETTER('Y'), LETTER('Z'),
#define DIGIT(c) {ovix_digit_key(c), (uint8)(c)}
    DIGIT('1'), DIGIT('2'), DIGIT('3'), DIGIT('4'), DIGIT('5'), DIGIT('6'), DIGIT('7'),
    DIGIT('8'), DIGIT('9'), DIGIT('0'),
#undef LETTER
#undef DIGIT
    {OVIX_KEY_ENTER, 0x0D}, {OVIX_KEY_SPACE, 0x20},
    {OVIX_KEY_UP, 0x80}, {OVIX_KEY_DOWN, 0x82}, {OVIX_KEY_LEFT, 0x83}, {OVIX_KEY_RIGHT, 0x81},
};
static_assert(sizeof key_map / sizeof key_map[0] == 42, "the machine sees 42 host keys");

static constexpr int KEY_NONE = 0xFF;      // no key held
static constexpr int KEY_RELEASE = OVIX_KEY_RELEASE;

int (*ovix_key_source)() = nullptr;

int ovix_key_code(int host_key)
{
    for (const key_map_entry &m : key_map)
        if (m.host == host_key) return m.code;
    return -1;
}

// The key held since an earlier poll: its machine code (KEY_NONE when
// none) and the host key that produced it, watched for its release.
static ovix_key_state held_key = {KEY_NONE, 0};

static void note_key(int code)
{
    if (ovix_observers.key_sent) ovix_observers.key_sent(code, held_key);
}

void ovix_key()
{
    if (ovix_following) return;   // the recorded input is played instead
    if (ovix_key_source) {
        const int code = ovix_key_source();
        if (code >= 0) {
            send_key(code);
            note_key(code);
        }
        return;
    }
    ovix_key_state &ovix_key = held_key;
    if (ovix_key.code != KEY_NONE) {
        if (ovix_keys[ovix_key.host]) return;
        send_key(KEY_RELEASE);
        ovix_key.code = KEY_NONE;
        note_key(KEY_RELEASE);
        return;   // a new key can be reported from the next poll on
    }
    for (const key_map_entry &m : key_map) {
        if (ovix_keys[m.host]) {
            ovix_key.code = m.code;
            ovix_key.host = m.host;
        }
    }
    if (ovix_key.code != KEY_NONE) {
        send_key(ovix_key.code);
        note_key(ovix_key.code);
    }
}

// ---------------------------------------------------------------------------
// Snapshot access.

int ovix_get_pass_counter() { return pass_counter; }
void ovix_set_pass_counter(int passes) { pass_counter = passes; }
ovix_key_state ovix_get_key_state() { return held_key; }
void ovix_set_key_state(const ovix_key_state &k) { held_key = k; }
uint64 ovix_machine_passes() { return machine_passes + run_passes; }
void ovix_set_machine_passes(uint64 passes) { machine_passes = passes; }
void ovix_count_passes(uint64 passes) { machine_passes += passes; }
