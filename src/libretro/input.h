// The core's keyboard: the front end's key events and the RetroPad's
// buttons become the machine's key strokes through the window program's key
// queue (machine/keyqueue.h), so that the machine gets every key in the order
// it was typed, one change per frame, exactly as in the window.
//
// Both sources drive one set of host keys (the keyboard port's key numbers,
// machine/keys.h, as the window program maps them): a key is down while it is held on the keyboard or
// its pad button is, and only the changes of that combined state become
// events, so that a key held on both (RetroArch binds the RetroPad to keys
// too) is one stroke. Events wait in a list of their own until the next
// frame starts: a saved state brings back the queue's strokes, and events
// that came after it still follow them.
#pragma once

#include <cstddef>

#include "config.h"

// A libretro key (RETROK_*) went down or up on the keyboard. Keys that
// mean nothing to the machine are ignored. May be called from any thread.
void lr_input_key(bool down, unsigned retrok);

// The machine's keys on the RetroPad.
enum lr_pad_button : unsigned {
    LR_PAD_UP = 1u << 0,
    LR_PAD_DOWN = 1u << 1,
    LR_PAD_LEFT = 1u << 2,
    LR_PAD_RIGHT = 1u << 3,
    LR_PAD_SPACE = 1u << 4,   // B
    LR_PAD_ENTER = 1u << 5,   // Start
};
// The pad's buttons now (LR_PAD_* bits): their changes become events.
void lr_input_pad(unsigned buttons);

// Hands the events recorded since the last call to the key queue, in the
// order they came; called when a frame starts, before the machine runs.
void lr_input_flush();

// Forgets every event, stroke and held key (a new machine).
void lr_input_reset();

// The key queue's strokes in a saved state: a fixed-size record.
constexpr size_t LR_INPUT_STATE_SIZE = 2 + 3 * 128;
// Writes the record of the queue as it is now.
void lr_input_save(uint8 *out);
// Null when `in` is a record lr_input_save could have written, else why not.
const char *lr_input_check(const uint8 *in);
// Rebuilds the queue from a checked record. Events recorded since the last
// frame are kept; a stroke waiting for its release whose key is not down
// now is released.
void lr_input_restore(const uint8 *in);
