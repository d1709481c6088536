// The emulation loop's pass, the machine reset and power-on, and the host
// keyboard poll. Both the window program and the headless runner drive the
// machine through ovix_run; what differs between them (showing the frame,
// the quick popup, typing) comes in through the loop_hooks, which run only
// at frame passes so that the per-instruction path stays a handful of calls
// and tests.

#include "ovix_allegro.h"

#include "main/loop.h"

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

int ask_bkpt = 0;
int dump_all = 0;

// Passes since the last frame pass, mod LOOP_FRAME_PASSES, as the last run
// left it: ovix_resume starts from it.
static int pass_counter = 0;

// Flattened: the execute call, the bus's opcode fetch, the clock update and
// the timer check are inlined into this loop whatever the link-time
// optimiser would decide for each program (the window program ran about a
// quarter slower than the headless runner without it).
loop_result ovix_run(uint16 targetPC, uint64 max_passes, const loop_hooks *hooks)
{
    pass_counter = 0;
    return ovix_resume(targetPC, max_passes, hooks);
}

__attribute__((flatten)) loop_result ovix_resume(uint16 targetPC, uint64 max_passes, const loop_hooks *hooks)
{
    TRACE_FUNC("ovix_loop()");
    ask_bkpt = 0;
    bool (*const frame_due)(void *) = hooks ? hooks->frame_due : nullptr;
    const int frame_period = frame_due ? LOOP_DUE_PASSES : LOOP_FRAME_PASSES;
    // Passes since the last frame pass (or frame_due question), mod frame_period.
    int frame_counter = pass_counter % frame_period;
    loop_result r = {0, 0, LOOP_STOP_COUNT};

    for (;;) {
        const int cycles = tms7000_ovix_execute(1);
        r.passes++;
        r.cycles += (uint64)cycles;

        if (dump_all) {
            // The listing shows the instruction that will run next.
            char text[256];
            const unsigned pc = tms7000.pc.w.l;
            Dasm7000(text, pc);
            TRACE_ALWAYS("%04X %s", pc, text);
        }

        // Forcing the I/O processor's handshake line: F3 clears it, then F2
        // sets it, so with both held it ends set.
        if (key[KEY_F3]) and_porta(0xFE);
        if (key[KEY_F2]) or_porta(0x01);

        orlo_timer_update_clock(orlo_time{0, (uint32)cycles});
        orlo_check_timers();

        if (frame_counter == 0 && (!frame_due || r.passes == 1 || frame_due(hooks->ctx))) {
            BITMAP *frame = tms3556_redraw();
            if (hooks && hooks->before_poll) hooks->before_poll(frame, hooks->ctx);
            ovix_key();
            if (hooks && hooks->after_poll) hooks->after_poll(hooks->ctx);
        }
        if (++frame_counter == frame_period) frame_counter = 0;

        if (tms7000.pc.w.l == targetPC) {
            r.reason = LOOP_STOP_PC;
            break;
        }
        if (key[KEY_F1] || ask_bkpt) {
            r.reason = LOOP_STOP_DEBUGGER;
            break;
        }
        if (r.passes >= max_passes) {
            r.reason = LOOP_STOP_COUNT;
            break;
        }
    }
    pass_counter = frame_counter;
    return r;
}

int ovix_reset()
{
    tms7000_reset(nullptr);
    reset_iocpu();
    tms3556_reset();
    return 2;   // D_REDRAW
}

void ovix_power_on()
{
    mem_power_on();
    tms7000_power_on();
    io_cpu_power_on();
    tms3556_power_on();
    // Then the same start-up sequence as at program start.
    tms7000_reset(nullptr);
    tms3556_reset();
    io_cpu_callback(0);
}

// The host keys that reach the machine, in scanning order, with the codes
// they produce. KEY_0 follows KEY_9; the arrows come last and so beat every
// other key held at the same poll.
struct key_map_entry {
    int host;     // Allegro key code
    uint8 code;   // the machine's key code
};
static constexpr key_map_entry key_map[] = {
    {KEY_A, 0x41}, {KEY_B, 0x42}, {KEY_C, 0x43}, {KEY_D, 0x44}, {KEY_E, 0x45}, {KEY_F, 0x46},
    {KEY_G, 0x47}, {KEY_H, 0x48}, {KEY_I, 0x49}, {KEY_J, 0x4A}, {KEY_K, 0x4B}, {KEY_L, 0x4C},
    {KEY_M, 0x4D}, {KEY_N, 0x4E}, {KEY_O, 0x4F}, {KEY_P, 0x50}, {KEY_Q, 0x51}, {KEY_R, 0x52},
    {KEY_S, 0x53}, {KEY_T, 0x54}, {KEY_U, 0x55}, {KEY_V, 0x56}, {KEY_W, 0x57}, {KEY_X, 0x58},
    {KEY_Y, 0x59}, {KEY_Z, 0x5A},
    {KEY_1, 0x31}, {KEY_2, 0x32}, {KEY_3, 0x33}, {KEY_4, 0x34}, {KEY_5, 0x35}, {KEY_6, 0x36},
    {KEY_7, 0x37}, {KEY_8, 0x38}, {KEY_9, 0x39}, {KEY_0, 0x30},
    {KEY_ENTER, 0x0D}, {KEY_SPACE, 0x20},
    {KEY_UP, 0x80}, {KEY_DOWN, 0x82}, {KEY_LEFT, 0x83}, {KEY_RIGHT, 0x81},
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

void ovix_key()
{
    if (ovix_key_source) {
        const int code = ovix_key_source();
        if (code >= 0) send_key(code);
        return;
    }
    ovix_key_state &ovix_key = held_key;
    if (ovix_key.code != KEY_NONE) {
        if (key[ovix_key.host]) return;
        send_key(KEY_RELEASE);
        ovix_key.code = KEY_NONE;
        return;   // a new key can be reported from the next poll on
    }
    for (const key_map_entry &m : key_map) {
        if (key[m.host]) {
            ovix_key.code = m.code;
            ovix_key.host = m.host;
        }
    }
    if (ovix_key.code != KEY_NONE) send_key(ovix_key.code);
}

// ---------------------------------------------------------------------------
// Snapshot access.

int ovix_get_pass_counter() { return pass_counter; }
void ovix_set_pass_counter(int passes) { pass_counter = passes; }
ovix_key_state ovix_get_key_state() { return held_key; }
void ovix_set_key_state(const ovix_key_state &k) { held_key = k; }
