// The machine's timeline: its time is the count of loop passes since
// power-on (ovix_machine_passes). While a timeline is kept, the machine's
// states are captured at intervals (keyframes, in memory, compressed against
// one another) and every input that can change the machine is recorded with
// the pass after which it came: the key changes the keyboard poll hands to
// the I/O processor (with the poll's held key), F2 and F3 held over passes,
// resets, and the debugger's changes of registers and memory (as the whole
// state after them). Because the machine is deterministic, restoring the
// keyframe before a pass and running again with the recorded input gives
// exactly the machine that was there: going back in time, and forwards
// again along the same future.
//
// The present is where the machine is; the end of the recorded time the
// furthest pass recorded. Below the end the machine follows the recorded
// input (front ends' live keys are not read); tl_drop_future makes the
// present the end again, and live input is recorded from there. A new
// timeline begins at a cold start, a loaded snapshot or cartridge, and
// another BIOS: those end the previous one.
//
// Keyframes are kept for the length of time set (by default 2 minutes of
// emulated time, at least) within a memory budget (64 MiB); the oldest go
// first, and the recorded time then begins at the oldest one left.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"
#include "debug/engine.h"
#include "machine/loop.h"
#include "machine/machine_state.h"

enum tl_event_kind : uint8 {
    TL_KEY,     // the keyboard poll sent a code (or none) and holds a key
    TL_FKEYS,   // F2 (bit 0) and F3 (bit 1) held over passes pass..last
    TL_RESET,   // ovix_reset
    TL_STATE,   // the debugger changed the machine: its whole state after
};

struct tl_event {
    uint64 pass = 0;      // after this many passes since power-on
    tl_event_kind kind = TL_KEY;
    int32 code = -1;      // TL_KEY: the code sent to the I/O processor, -1: none
    int32 held_code = 0xFF, held_host = 0;   // TL_KEY: the poll's held key after it
    uint8 fkeys = 0;      // TL_FKEYS
    uint64 last = 0;      // TL_FKEYS: the last pass they were held
    uint32 state = 0;     // TL_STATE: the index of the recorded state
};

// Starts a new timeline at the machine as it is (its first keyframe); any
// previous one ends. length_cycles: how far back keyframes are kept
// (emulated cycles; 0: the default, 2 minutes); memory_limit: bytes (0:
// 64 MiB).
void tl_begin(uint64 length_cycles = 0, size_t memory_limit = 0);
void tl_end();
bool tl_active();
// A new timeline with the settings of the current one, if there is one: a
// cold start, a loaded snapshot or cartridge end the old one.
void tl_restart();

constexpr uint64 TL_DEFAULT_LENGTH = 120ull * 5000000;   // 2 minutes of emulated time
constexpr size_t TL_DEFAULT_MEMORY = 64u << 20;
constexpr uint64 TL_KEYFRAME_CYCLES = 2500000;          // a keyframe per half second of emulated time

// The recorded time: from the oldest keyframe to the end; and the present.
uint64 tl_begin_pass();
uint64 tl_end_pass();
bool tl_replaying();   // the present is below the end: the future is recorded

// Recording (called by the loop and the front ends; each does nothing
// unless live input is being recorded).
void tl_note_key(int code, const ovix_key_state &held);
void tl_note_fkeys(uint64 pass, uint8 fkeys);
void tl_note_reset();
void tl_note_change();   // the debugger changed the machine between two runs
void tl_frame();         // at a frame pass: a keyframe when one is due

// Live input takes over: the recorded future is dropped.
void tl_drop_future();

// Runs the machine as ovix_resume does, following the recorded input while
// the present is below the end (the front end's hooks run as usual, its
// live keys are not read), then recording live input.
loop_result tl_resume(uint32 target, uint64 max_passes, const loop_hooks *hooks);

// Travel. Each restores the machine to a pass of the recorded time and
// returns the stop to show (kind STEP with step BACK, or the breakpoint or
// watchpoint of a reverse continue, `back` set), or kind NONE with *error.
//  goto:           to pass `pass` (at most the end of the recorded time)
//  step back:      one pass back
//  step back over: to the previous pass at which the machine was in the
//                  routine it is in now (over calls and interrupt routines)
//  reverse:        back to the most recent pass at which an enabled
//                  breakpoint or watchpoint would have stopped a forward
//                  run (conditions count, hit counts do not), or to the
//                  start of the recorded time
dbg_stop tl_goto(uint64 pass, std::string *error);
dbg_stop tl_step_back(std::string *error);
dbg_stop tl_step_back_over(std::string *error);
dbg_stop tl_reverse_continue(std::string *error);

// For rewinding and measuring: the keyframes' memory, their count, and
// the recorded events (in order).
size_t tl_memory();
size_t tl_keyframes();
const std::vector<tl_event> &tl_events();
// The recorded state of a TL_STATE event, all of them, and the machine
// when the timeline began.
const machine_state &tl_state(uint32 index);
const std::vector<machine_state> &tl_states();
const machine_state &tl_origin();

// A timeline whose future is given (a movie): the machine is restored to
// `origin` and follows the events up to pass `end`, then takes live input.
void tl_load_future(const machine_state &origin, std::vector<tl_event> events, std::vector<machine_state> states,
                    uint64 end);
// The pass of the keyframe at or before `pass` (the start of a rewind
// step), or false when there is none.
bool tl_keyframe_before(uint64 pass, uint64 *keyframe_pass);

// A run following recorded input: events in order from `first` (left at
// the next one not applied), each applied when the machine has run to its
// pass, up to pass `to`; with `hooks` (null for a quiet re-execution).
// `held`: F2 and F3 held from before, up to a pass. Returns false if the
// run stopped early (a debugger request, a breakpoint), with *r its result.
struct tl_play_held {
    uint8 fkeys = 0;
    uint64 until = 0;
};
bool tl_play(const std::vector<tl_event> &events, size_t *first, const std::vector<machine_state> &states,
             uint64 to, uint32 target, const loop_hooks *hooks, loop_result *r, tl_play_held held = {});
