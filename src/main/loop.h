// The emulation loop's per-pass work, shared by the window program and the
// headless runner: one instruction, the optional per-instruction listing,
// the F2/F3 handshake keys, the clock and one timer check per pass, and
// every 100000 passes a frame and a keyboard poll.
#pragma once

#include "config.h"

extern int ask_bkpt;   // debugger request: the loop stops when non-zero
extern int dump_all;   // non-zero: trace a disassembly line per instruction

// Machine reset: CPU, I/O processor, video chip, in this order. Returns 2
// (the dialog manager's D_REDRAW) so that it can serve as a menu callback.
int ovix_reset();

// One keyboard poll: the held host key (Allegro's key[] array) becomes the
// machine's key code for the I/O processor; its release sends 0x04.
void ovix_key();
