// The emulation loop's per-pass work, shared by every front end: one
// instruction, the optional per-instruction listing, the F2/F3 handshake
// keys, the clock and one timer check per pass, and every 100000 passes a
// frame and a keyboard poll. The machine's keyboard port, reset and
// power-on, its time, and the hooks through which the layers above it (the
// debugger engine, the timeline) follow its runs.
#pragma once

#include "config.h"
#include "machine/keys.h"

// ask_bkpt (config.h), the debugger request: the loop stops when non-zero.
extern int dump_all;   // non-zero: trace a disassembly line per instruction

constexpr int LOOP_FRAME_PASSES = 100000;
// With a frame_due hook, the loop asks it every this many passes instead.
constexpr int LOOP_DUE_PASSES = 1000;

// Why ovix_run returned. LOOP_STOP_ENGINE: the debugger engine stopped the
// run (a breakpoint, a watchpoint, the end of a step: debug/engine.h says
// which).
enum loop_stop { LOOP_STOP_PC, LOOP_STOP_DEBUGGER, LOOP_STOP_COUNT, LOOP_STOP_ENGINE };

// A stop address no program counter can equal: the run has none.
constexpr uint32 LOOP_NO_TARGET = 0x10000;

// Calls made at each frame pass (the first pass of a run, then every
// 100000th): the frame is rendered, then before_poll runs with it (the
// video chip's picture: PICTURE_W x PICTURE_H colour indices, video/tms3556.h),
// then the keyboard is polled (ovix_key), then after_poll runs. Any may be
// null.
// With frame_due set, the frame passes follow it instead of the fixed
// count: after the first pass, it is asked every LOOP_DUE_PASSES passes
// and a frame pass follows when it returns true (the window program times
// its frames by the emulated or the host clock).
struct loop_hooks {
    void (*before_poll)(const uint8 *frame, void *ctx);
    void (*after_poll)(void *ctx);
    void *ctx;
    bool (*frame_due)(void *ctx) = nullptr;
};

struct loop_result {
    uint64 passes;    // instructions (or idle steps) executed
    uint64 cycles;    // sum of the cycles the execute calls returned
    loop_stop reason; // the first of pc, debugger, count that held
};

// Runs passes until the program counter equals targetPC after a pass, the
// F1 key is held or ask_bkpt is set (LOOP_STOP_DEBUGGER), the debugger
// engine stops it (LOOP_STOP_ENGINE, only while something of the engine is
// in use: then the loop takes its debugging path), or max_passes passes
// have run; when several hold after the same pass, the first in that order
// is the reason (the program's own request passed while loop_pass_requests
// is set). Clears ask_bkpt when it starts. Always runs at least one pass.
loop_result ovix_run(uint32 targetPC, uint64 max_passes, const loop_hooks *hooks);
// The same, but the first pass is a frame pass only if the pass counter
// says so: the count of passes since the last frame pass goes on from where
// the previous run (or a loaded snapshot) left it, so that runs in a row
// behave as one long run.
loop_result ovix_resume(uint32 targetPC, uint64 max_passes, const loop_hooks *hooks);

// The debugger's single step: one instruction (tms7000_ovix_execute(1)),
// the clock advance and the timer check, without a frame pass, the
// per-instruction listing or the F2/F3 keys; it counts in the pass counter
// and the machine's time like a pass of a run. Returns its cycles.
int ovix_step_pass();

// Machine reset: CPU, I/O processor, video chip, in this order.
void ovix_reset();

// The start-up sequence of a program, once the BIOS image is loaded: the
// CPU's reset, the video chip's start and reset, the I/O processor's first
// state.
void ovix_start();

// Cold start, as at power-on: RAM and port latches cleared, every chip back
// to its power-on state, then the start-up sequence (CPU reset, video reset,
// I/O processor's first state). The loaded ROM images are kept.
void ovix_power_on();

// The keyboard port: which host keys are down, indexed by key number
// (machine/keys.h), OVIX_KEY_MAX entries. A front end sets the keys of its
// own array (ovix_key_down, all up at start) or points ovix_keys at an
// array its keyboard driver keeps up to date; the loop reads F1 (a debugger
// request), F2 and F3 (the handshake line) and the keyboard poll the keys
// the machine knows.
extern volatile char *ovix_keys;
extern volatile char ovix_key_down[OVIX_KEY_MAX];

// One keyboard poll: the held host key (ovix_keys) becomes the machine's
// key code for the I/O processor; its release sends 0x04. When
// ovix_key_source is set, the poll sends what it returns instead (a key
// code, 0x04, or nothing for a negative value) and ovix_keys is not read.
void ovix_key();
extern int (*ovix_key_source)();

// While the machine follows recorded input (the timeline going forwards
// along a recorded future, a movie), the keyboard poll reads no host key and
// sends nothing, and the loop reads F1, F2 and F3 from ovix_follow_keys,
// which the player sets as recorded, instead of ovix_keys.
extern bool ovix_following;
extern char ovix_follow_keys[OVIX_KEY_MAX];   // indexed by key number

// The machine's code for a host key (a key number), or -1 for a key that
// means nothing to the machine.
int ovix_key_code(int host_key);
constexpr int OVIX_KEY_RELEASE = 0x04;   // the code sent when the held key goes up

// For snapshots: the loop's pass counter (passes since the last frame pass
// of the fixed schedule, 0 to LOOP_FRAME_PASSES - 1) and the keyboard
// poll's held key.
int ovix_get_pass_counter();
void ovix_set_pass_counter(int passes);
struct ovix_key_state {
    int code;   // machine code of the key held since an earlier poll, 0xFF: none
    int host;   // the host key (key number) watched for its release
};
ovix_key_state ovix_get_key_state();
void ovix_set_key_state(const ovix_key_state &k);

// The machine's time: loop passes since power-on. Every pass counts, those
// of runs and those of the debugger's steps alike; ovix_power_on sets it
// to 0 and a restored machine state brings its own. During a run it is
// current at frame passes and wherever the debugger engine looks.
uint64 ovix_machine_passes();
void ovix_set_machine_passes(uint64 passes);
// Adds passes run outside ovix_run/ovix_resume (the debugger's steps).
void ovix_count_passes(uint64 passes);

// ---------------------------------------------------------------------------
// The layers above the machine.
//
// The debugger engine and the timeline follow the machine's runs through
// this table of hooks, which they fill when they are linked in; the loop
// calls a hook only when it is set, and nothing on a pass's plain path looks
// at it. While loop_debug_path is set (something of the engine is in use)
// the loop runs its debugging path: after every pass it looks at one byte
// of loop_pc_map for the new program counter, and calls after_pass when it
// is non-zero; it stops after a pass that left loop_stop_request set.
struct loop_observers {
    // Around every run of ovix_resume: begin only when it takes the
    // debugging path, end after every run, with its result.
    void (*run_begin)();
    void (*run_end)(const loop_result &r, uint32 target);
    // The debugging path, after a pass whose new pc has its byte of the map
    // set; the machine's state is saved and loop_access_pc is the pass's
    // instruction. True, with loop_stop_request set: stop.
    bool (*after_pass)();
    // The loop's own reads through the bus (the per-instruction listing,
    // the frame pass and its front-end hooks) are not the program's: it
    // disarms watchpoints around them.
    void (*watch_arm)(bool armed);
    // The machine's input and its frames, as they happen: a code sent by
    // the keyboard poll with the key it holds after it, F2/F3 held after a
    // pass (bit 0 F2, bit 1 F3), a reset, a cold start, a frame pass.
    void (*key_sent)(int code, const ovix_key_state &held);
    void (*fkeys_held)(uint64 pass, uint8 fkeys);
    void (*reset)();
    void (*power_on)();
    void (*frame)();
};
extern loop_observers ovix_observers;

extern uint8 loop_pc_map[0x10000];   // non-zero: after_pass is called after a pass that reaches the address
extern bool loop_debug_path;         // the loop runs its debugging path
extern uint16 loop_access_pc;        // the debugging path: the instruction of the pass under way
extern int loop_stop_request;        // after_pass asks the loop to stop after this pass
// While set, the program's own debugger request (ask_bkpt is
// ASK_BKPT_PROGRAM alone: a read of port 0125) does not stop the loop: it
// is cleared and the run goes on. The timeline sets it while it runs the
// machine again along recorded input, which passed such requests when it
// was recorded (a front end's request, F1 or the console's Ctrl-C, still
// stops it).
extern bool loop_pass_requests;
