// The window program's front end: the emulation loop with its window hooks,
// the popups and alerts, the cartridge command, the integrated debugger and
// the memory explorer's dialog. Everything runs on the program's one
// thread; Allegro's keyboard context only records key events (keyqueue.h,
// the window keys) and its close-button callback sets close_request.
#pragma once

#include <string>

#include "config.h"
#include "debug/debugger_text.h"
#include "main/loop.h"

struct DIALOG;

// main.cpp
extern volatile int close_request;  // the window's close button was clicked

// Runs the machine until the debugger is asked for or the program counter
// reaches targetPC, and says why it stopped in debugger_status (the
// debugger refreshes its boxes when it shows them).
void ovix_loop(int targetPC);

// What the front end runs: the machine as usual, or a step over, in which
// Escape and F1 stop the run instead of their usual actions.
enum run_kind { RUN_NORMAL, RUN_STEP_OVER };

// Around every run: run_begin lets the machine go on (keys typed while it
// was paused are dropped, a key held now never reaches it as a press, the
// picture is shown afresh, pacing starts anew); run_end keeps the keys
// typed for the machine until then and drops the presses waiting for the
// dialogs (the F1 or Escape that stopped the run). No wait of the front end
// depends on seeing a key go up: the X server may give a release to another
// window (one under the pointer, when the window shrank away from it).
void run_begin(run_kind kind);
void run_end();
// The machine goes on after a pause within a run (a popup, a question).
void machine_resume();
// The frame hooks of the window program's runs (frames by the clock, the
// key queue, the window keys, pacing).
const loop_hooks *window_hooks();
// Stops the running loop (ask_bkpt) and remembers why; the first cause of
// a run is kept.
void request_stop(stop_cause cause);
// Writes why the last run stopped to debugger_status.
void note_stop(loop_stop reason, uint16 target);
constexpr int DEBUGGER_STATUS_SIZE = 48;
extern char debugger_status[DEBUGGER_STATUS_SIZE];

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
// A full-screen dialog (the debugger, the memory explorer) in the GUI's
// colours, on white: its first object (the clearing one) and its text
// labels from object 4 on get a white background.
void set_full_screen_dialog_colors(DIALOG *dialog);
// Before a dialog: at scale 1 the window grows to 640 x 500, the size the
// dialogs are laid out for (machine_resume makes it small again).
void dialog_window();
// A message over the bottom of the picture for a few seconds (printf
// format).
void show_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// window_size.cpp: the window becomes w x h (the library's new screen),
// keeping the keyboard focus; false when the library refuses the size.
bool resize_window(int w, int h);
// The keys the window keeps for itself, one line each, for --help.
std::string window_keys_help();

// state_commands.cpp: run at a frame pass of the running or paused machine.
void quick_save();        // the machine to quick.ovs
void quick_load();        // the machine from quick.ovs
void save_state_as();     // "Save state": the file selector, then a snapshot
void load_state_from();   // "Load state": the file selector, then a restore
void take_screenshot();   // the picture to the next free screenNNN.png
// After a snapshot was restored: the key it holds, a fresh key queue, the
// frame schedule and pacing from the loaded machine.
void after_state_load();

// popups.cpp
extern int exact;   // 1: run at 5 MHz against the host clock, 0: as fast as possible
void fastPopup();
void optionsPopup();
int quit();
int reset_or_turnout();
int about();
// The cartridge command: a cancelled selector changes nothing; a refused
// file is reported with the loader's reason and changes nothing; only a
// loaded cartridge resets the machine.
int ovix_load_rom();
// An alert with one button ("OK" unless given) for a message of any
// length; returns what alert() returns.
int message_alert(const char *title, const char *message, const char *button = "OK", int shortcut = 0);

// debugger.cpp
// Runs the debugger's dialog. True when the user chose "Continue" (the
// machine resumes), false when the program is to end.
bool debugger();
// After a cartridge was loaded from `rom_path`: the symbol file beside it
// replaces the symbols (none clears them); one that cannot be read is
// reported in an alert, and the cartridge stays loaded without names.
void load_cartridge_symbols(const char *rom_path);

// mem_explorer_dialog.cpp
void memory_explorer();
