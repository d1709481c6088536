// The debugger engine: breakpoints with conditions and hit counts,
// watchpoints on the CPU's space and on video memory, steps into, over and
// out of routines, the call stack, the history of executed instructions,
// and the one type that says why the machine stopped. The window's
// debugger, the runner's console and the debug adapter are its front ends;
// nothing here needs a window.
//
// The machine runs through the emulation loop (machine/loop.h), which calls
// the engine through its hooks (ovix_observers). While nothing of
// the engine is in use (no enabled breakpoint or watchpoint, no history, no
// step under way) the loop runs its plain path, untouched. Otherwise it
// runs its debugging path, which after every pass looks at one byte of the
// breakpoint map for the new program counter, at one flag, and at whether
// the stack pointer moved, and calls the engine only when one of them says
// so. A watchpoint takes the 128-byte blocks it covers out of the bus's
// fast tables, so that only accesses to those blocks reach the engine.
//
// Numbers: breakpoints and watchpoints share one numbering, from 1, as
// they are set; a number is never given twice in a run of the program.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"
#include "cpu/tms7000.h"
#include "debug/expr.h"
#include "machine/loop.h"

constexpr int DBG_MAX_BREAKPOINTS = 256;
constexpr int DBG_MAX_WATCHPOINTS = 64;
constexpr int DBG_HISTORY_SIZE = 100000;
constexpr int DBG_MAX_FRAMES = TMS7000_MAX_FRAMES;

// ---------------------------------------------------------------------------
// Why the machine stopped.

enum dbg_stop_kind : uint8 {
    DBG_STOP_NONE,
    DBG_STOP_PC,         // the run's stop address was reached (B, Go to breakpoint, --until-pc)
    DBG_STOP_DEBUGGER,   // a debugger request (F1, Call Debugger, a read of the debug stop port, an interrupt of the console)
    DBG_STOP_COUNT,      // the run's count of passes ran out
    DBG_STOP_BREAK,      // a breakpoint
    DBG_STOP_WATCH,      // a watchpoint
    DBG_STOP_STEP,       // a step (into, over, out, back) ended
    DBG_STOP_ERROR,      // a breakpoint's or watchpoint's condition could not be evaluated
    DBG_STOP_UNWRITTEN,  // the program went to a byte no source line produced (debug information loaded)
};

// The front end's part of a debugger request.
enum dbg_request : uint8 {
    DBG_REQ_NONE,        // none of the front end's: F1 held, or the debug stop port
    DBG_REQ_F1,          // F1
    DBG_REQ_POPUP,       // the popup's Call Debugger
    DBG_REQ_STEP_KEY,    // the stop key of a step over
    DBG_REQ_INTERRUPT,   // the console's run was interrupted (Ctrl-C)
};

enum dbg_step_kind : uint8 {
    DBG_STEP_INTO,       // one instruction
    DBG_STEP_OVER,       // the design's step over: until pc is 1 to 4 bytes past the start
    DBG_STEP_NEXT,       // over calls, traps and interrupts: back in the same routine
    DBG_STEP_OUT,        // until the routine it was in returns
    DBG_STEP_BACK,       // backwards in time (time travel)
};

struct dbg_stop {
    dbg_stop_kind kind = DBG_STOP_NONE;
    uint16 pc = 0;            // the program counter when it stopped
    uint16 target = 0;        // PC: the stop address
    dbg_request request = DBG_REQ_NONE;   // DEBUGGER
    bool requested = false;   // DEBUGGER: ask_bkpt was set (else F1 was held)
    dbg_step_kind step = DBG_STEP_INTO;   // STEP
    int id = 0;               // BREAK, WATCH, ERROR: the breakpoint's or watchpoint's number
    uint32 hits = 0;          // BREAK, WATCH: its hit count, this hit included
    bool temporary = false;   // BREAK: a temporary breakpoint (deleted by the hit)
    // WATCH
    uint16 access_pc = 0;     // the instruction that made the access
    uint32 address = 0;       // the address accessed
    bool vram = false;        // in video memory (else the CPU's space)
    bool write = false;       // a write (else a read)
    uint8 old_value = 0;      // the byte before the access
    uint8 new_value = 0;      // the byte read or written
    uint64 passes = 0;        // the machine's time when it stopped (passes since power-on)
    bool back = false;        // reached by going back in time
    bool start_of_time = false;   // STEP, going back: the start of the recorded time
    std::string error;        // ERROR: the evaluation error
};

// The summary's word for a stop: "pc", "debugger", "count", "break",
// "watch", "step", "error", "unwritten" ("" for none).
const char *dbg_stop_name(dbg_stop_kind kind);

// The stop line: "Stopped: breakpoint 3 at 60C4 (tick), hit 5",
// "Stopped: watchpoint 2: C010 written by FA91, 00 -> 41", "Stepped out
// to FA91", "Stopped: FC39 reached (pollkey)", "Stopped: F1", ...
std::string dbg_stop_text(const dbg_stop &stop);

// The stop of the last run of the loop, as the engine saw it (kind NONE
// before any). Front ends fill the request part for DEBUGGER stops.
const dbg_stop &dbg_last_stop();

// Forgets everything: breakpoints and watchpoints (numbers start at 1
// again), the history (off), the frames, a step under way, the unwritten
// ranges. A new session of a front end (a debug adapter's launch) starts
// from here.
void dbg_reset();

// Bytes no source line produced: with debug information loaded, the fill
// of the program's images (source_map.h). A pass that arrives at one of
// them stops the machine (DBG_STOP_UNWRITTEN): "executing a byte no source
// line produced at 63F0 (after label X)". The ranges are [first, last]
// pairs; an empty list ends the check. While any is set the loop takes its
// debugging path.
void dbg_set_unwritten(const std::vector<std::pair<uint16, uint16>> &ranges);
bool dbg_unwritten_set();

// ---------------------------------------------------------------------------
// Breakpoints and watchpoints.

// A hit rule: when a hit (the address reached, the condition true) stops.
enum dbg_hit_rule : uint8 { HIT_ALWAYS, HIT_GE, HIT_EQ, HIT_GT, HIT_EVERY };

// Who set a breakpoint: each front end manages its own (the debug adapter
// replaces all of a kind at once).
enum dbg_owner : uint8 { OWNER_USER, OWNER_SOURCE, OWNER_INSTRUCTION, OWNER_FUNCTION, OWNER_DATA, OWNER_RUN };

enum dbg_watch_kind : uint8 { WATCH_READ = 1, WATCH_WRITE = 2, WATCH_ACCESS = 3 };

struct dbg_point {
    int id = 0;
    bool watch = false;        // a watchpoint (else a breakpoint)
    bool enabled = true;
    bool temporary = false;    // deleted when it stops the machine
    dbg_owner owner = OWNER_USER;
    // Breakpoint: the address; watchpoint: the range first..last.
    uint32 first = 0, last = 0;
    bool vram = false;         // a watchpoint on video memory
    dbg_watch_kind kind = WATCH_WRITE;
    std::string location;      // as given (a label, an address, a range)
    dbg_expr condition;        // empty: none
    dbg_hit_rule hit_rule = HIT_ALWAYS;
    uint32 hit_count = 0;      // the rule's N
    uint32 hits = 0;           // hits so far (condition true)
};

// Sets a breakpoint at `location` (an expression: a label, an address,
// tick+3), with an optional condition and hit rule ("5": from the 5th hit
// on; "=5": the 5th only; ">5"; "%5": every 5th; "" or null: always).
// Returns its number, or 0 with *error set.
int dbg_break_add(const char *location, const char *condition, const char *hit_rule, bool temporary,
                  std::string *error, dbg_owner owner = OWNER_USER);
// A breakpoint at a known address (the debug adapter's lines).
int dbg_break_add_at(uint16 address, const char *location, const char *condition, const char *hit_rule,
                     std::string *error, dbg_owner owner);

// Sets a watchpoint on `range`: an address, a label, FROM-TO (each side an
// expression, split at the first '-' outside brackets), or v[...] with any
// of those inside for video memory. Returns its number, or 0.
int dbg_watch_add(dbg_watch_kind kind, const char *range, const char *condition, const char *hit_rule,
                  std::string *error, dbg_owner owner = OWNER_USER);

// Parses "r", "w", "rw" (or "a"); false for anything else.
bool dbg_parse_watch_kind(const char *text, dbg_watch_kind *kind);

bool dbg_delete(int id, std::string *error);
void dbg_delete_all();
void dbg_delete_owner(dbg_owner owner);
bool dbg_enable(int id, bool enable, std::string *error);
// Replaces a point's condition (empty text: none) or hit rule.
bool dbg_set_condition(int id, const char *condition, std::string *error);
bool dbg_set_hit_rule(int id, const char *hit_rule, std::string *error);

// Every breakpoint and watchpoint, in the order of their numbers.
const std::vector<dbg_point> &dbg_points();
const dbg_point *dbg_find(int id);
// The enabled breakpoints at an address (for the disassembly's marks):
// 0 none, 1 some enabled, 2 only disabled ones.
int dbg_break_mark(uint16 address);
// One line describing a point: "breakpoint 3 at 60C4 (tick) hits=2 if A==3".
std::string dbg_point_text(const dbg_point &p);

// The hit rule parsed: false with *error when it is not one of the forms.
bool dbg_parse_hit_rule(const char *text, dbg_hit_rule *rule, uint32 *count, std::string *error);

// ---------------------------------------------------------------------------
// Running.

// Runs the machine through the loop until a stop, with the front end's
// hooks (null: frames unseen, keys from the key poll), for at most
// `max_passes` passes, stopping at `target` (0x10000 or more: none) like
// the design's run to an address; every enabled breakpoint and watchpoint
// stops it too. Returns the stop (also dbg_last_stop()).
dbg_stop dbg_run(uint32 target, uint64 max_passes, const loop_hooks *hooks);

// Steps. Each runs through the loop with `hooks` as dbg_run does, for at
// most `max_passes` passes, and stops early on a breakpoint or watchpoint.
//  into: `count` instructions;
//  over: the design's step over (pc 1 to 4 bytes past the start);
//  next: one instruction, and whatever calls, traps or interrupts it
//        enters, until the machine is back in the routine it started in
//        (or has left it);
//  out:  until the routine the machine is in returns (its frame is left);
//        an error when the call stack is empty.
dbg_stop dbg_step(dbg_step_kind kind, uint64 count, uint64 max_passes, const loop_hooks *hooks,
                  std::string *error = nullptr);

// The window's single step (F7): one instruction with its clock advance
// and timer check, and no frame pass or keyboard poll, as the design's step
// does; it counts as a pass of the machine's time.
dbg_stop dbg_step_instruction();

// ---------------------------------------------------------------------------
// The call stack.

// A frame of the call stack: the CPU keeps them as it runs on the loop's
// debugging path (cpu/tms7000.h); the engine finds them on the stack when
// it did not see them pushed, and says what a return would take now.
using dbg_frame = tms7000_frame;
using dbg_frame_kind = tms7000_frame_kind;

// The frames the program is in, innermost first (index 0).
std::vector<dbg_frame> dbg_call_stack();
// One line of the call stack: "#1 FA91 in getkey (called from F823 in main)",
// "#0 INT1 at FB00 (interrupted F8A0 in wait)".
std::string dbg_frame_text(const dbg_frame &f, int index);

// The machine was replaced or reset (a snapshot loaded, a reset, a power-on,
// a cartridge): the frames seen so far are forgotten.
void dbg_forget_frames();

// ---------------------------------------------------------------------------
// History of executed instructions.

struct dbg_history_entry {
    uint64 cycles;       // the emulated clock (cycles) after the instruction
    uint64 passes;       // the machine's time after it (passes since power-on)
    uint32 repeat;       // idle steps: how many in a row (1 for an instruction)
    uint16 pc;           // its address
    uint8 bytes[4];      // its bytes (length of them meaningful)
    uint8 length;        // 0: an idle step
    uint8 a, b, sp, sr;  // the registers after it
};

void dbg_history_enable(bool on);   // off: the recorded history is kept, nothing more is recorded
bool dbg_history_enabled();
void dbg_history_clear();
size_t dbg_history_size();
// The n-th newest entry (0: the newest).
const dbg_history_entry &dbg_history_at(size_t n);
// One line: "  123456 FA91 12 07       MOV R7,A        A=00 B=00 SP=61 SR=20 cycles=123".
std::string dbg_history_text(const dbg_history_entry &e);
// Writes the whole history, oldest first, to `path`; false with *error.
bool dbg_history_save(const char *path, std::string *error);

// ---------------------------------------------------------------------------
// Re-executing the recorded past (state/timeline.h).
//
// QUIET: the machine runs on the debugging path, so that the frames are
// kept, but nothing stops it and nothing goes into the history. COLLECT:
// the same, but the enabled breakpoints and watchpoints are tested (their
// conditions; not their hit counts, whose counters stay as they are), and
// the arrivals at bytes no source line produced, and the last hit is kept
// instead of stopping the run. LIVE: as usual.
// DEPTH: the last pass after which the machine was no deeper in frames
// than dbg_replay_depth says is kept (a STEP stop, step BACK).
enum dbg_replay_mode { DBG_LIVE, DBG_REPLAY_QUIET, DBG_REPLAY_COLLECT, DBG_REPLAY_DEPTH };
void dbg_replay(dbg_replay_mode mode);
void dbg_replay_depth(int frames);
// COLLECT: the last hit since dbg_replay(DBG_REPLAY_COLLECT) began, with
// `passes` its pass (kind NONE when there was none).
const dbg_stop &dbg_replay_last_hit();
// Drops the history's entries after `passes` (the machine went back).
void dbg_history_truncate(uint64 passes);
