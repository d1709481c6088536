// The window program's keyboard for the machine: host key events, recorded
// in the order they happened, become the machine's key changes one at a
// time, so that no press is lost however short it was.
//
// The machine's keyboard holds one key at a time: a press sends its code,
// the release sends 0x04, and the I/O processor takes a change only in its
// "ready" state (it drops one that comes while it is busy). Each host press
// of a key the machine knows becomes a stroke; strokes are played in the
// order of their presses: the press at one poll, its release at a later
// poll once the host key has gone up, the next stroke's press at a later
// poll still. A poll that finds the I/O processor busy delivers nothing and
// keeps the change for a later poll.
//
// keyq_push may be called from any thread (the keyboard driver's callback):
// it only writes a lock-free ring. Everything else runs on the emulation
// thread.
#pragma once

constexpr int KEYQ_RING = 512;      // host events waiting to be read
constexpr int KEYQ_STROKES = 128;   // strokes waiting to be played

// One host event: a key number (machine/keys.h), with bit 7 set for a
// release, as the window program's keyboard driver reports it. An event
// that does not fit in the ring is dropped.
void keyq_push(int scancode);

// Reads the events recorded so far into strokes.
void keyq_drain();

// At most one change for the machine: a key code, 0x04 for a release, or
// -1 for nothing. `can_take` says whether the I/O processor is ready.
int keyq_next(bool can_take);

// The machine resumes after a pause (a dialog, the debugger): events
// recorded meanwhile were meant for the dialogs and are dropped. `down`
// (indexed by scancode) says which host keys are down now: a stroke still
// waiting for its release is released unless its key is still down, and
// every other key that is down is ignored until it goes up, so that a key
// held when a run starts never reaches the machine as a press.
void keyq_resume(const volatile char *down, int keys);

// Forgets everything: no stroke, no ignored key, an empty ring.
void keyq_clear();

// The key the machine holds (its press was delivered, its release not
// yet): true with its machine code and host scancode, false when none.
bool keyq_held(int *code, int *host);

// The machine holds `code`, pressed with host key `host` (a restored
// snapshot's key): it becomes the pressed stroke, as if just delivered.
// Call after keyq_clear and before keyq_resume, which releases it unless
// the host key is down then.
void keyq_hold(int code, int host);

// The machine's held key was replaced without the queue (it went back in
// time, or followed recorded input): `code` pressed with host key `host`
// (code 0xFF: none) takes the place of the stroke the queue had delivered,
// released at once unless that host key is down in `down` (indexed by
// scancode); the strokes still waiting are kept, after it.
void keyq_set_held(int code, int host, const volatile char *down, int keys);

// A stroke as keyq_strokes reports it.
struct keyq_stroke {
    int host;        // scancode
    int code;        // the machine's code
    bool released;   // the host key has gone up since the press
};

// The strokes recorded so far (events still in the ring are not), in press
// order; the first is the machine's held key when keyq_held says so. For
// front ends whose saved states must bring the queue back: keyq_clear,
// keyq_hold and keyq_push rebuild it. Copies at most `max` into `out` and
// returns how many there are.
int keyq_strokes(keyq_stroke *out, int max);
