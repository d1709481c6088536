// The window program's front end: the emulation loop with its window hooks,
// the popups and alerts, the cartridge command and the integrated debugger.
// Everything runs on the program's one thread; Allegro's timer and keyboard
// contexts only touch vbl, key[] and the close-button flag.
#pragma once

#include "config.h"

struct DIALOG;

// main.cpp
extern volatile int vbl;            // counted 600 times a second; nothing reads it
extern volatile int close_request;  // the window's close button was clicked
int ovix_loop(int targetPC);
void allegro_keyb();
// Emulated-speed bookkeeping: call after anything that stops the machine
// for a while (a dialog), so that pacing and profiling start afresh.
void speed_restart();
// Profile display in the window title: on or off.
void set_profile(bool on);
// If the close button was clicked: asks the quit question and ends the
// program on "&Yes".
void answer_close_request();
// Idle object for the program's dialogs: yields like d_yield_proc and
// answers the close button.
int frontend_yield_proc(int msg, DIALOG *d, int c);
// The debugger's and popups' colours: black, grey, light grey.
void set_gray_gui_colors();

// popups.cpp
extern int exact;   // 1: run at 5 MHz against the host clock, 0: as fast as possible
void fastPopup();
void optionsPopup();
int quit();
int reset_or_turnout();
int about();
int ovix_load_rom();

// debugger.cpp
void debugger();
