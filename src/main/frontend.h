// The window program's front end: the emulation loop with its window hooks,
// the popups and alerts, the cartridge command, the integrated debugger and
// the memory explorer's dialog. Everything runs on the program's one
// thread; Allegro's keyboard context only records key events (keyqueue.h,
// the window keys) and its close-button callback sets close_request.
#pragma once

#include <functional>
#include <string>

#include "config.h"
#include "main/settings.h"
#include "debug/debugger_text.h"
#include "machine/loop.h"

struct BITMAP;
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
constexpr int DEBUGGER_STATUS_SIZE = 160;
extern char debugger_status[DEBUGGER_STATUS_SIZE];

// Emulated-speed bookkeeping: call after anything that stops the machine
// for a while (a dialog), so that pacing and profiling start afresh.
void speed_restart();
// Profile display in the window title: on or off.
void set_profile(bool on);
bool profile_on();
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
// Places a dialog laid out for a 640 x 500 window, whose objects' top-left
// corner is at (x, y) in that layout, in the middle of the screen,
// whatever its size (the scale, fullscreen). Call it each time before the
// dialog runs: the screen may have changed since. The pointer works on
// the dialog where it is drawn.
void place_dialog(DIALOG *dialog, int x, int y);
// The debugger's screen preview: the machine's picture as the window shows
// it, with a line saying that Space returns, until Space is pressed (or
// the close button clicked).
void machine_preview();

// The machine's picture (the video chip's colour indices) in a 320 x 250
// bitmap of the screen's colour depth, converted again only when the video
// chip drew a new picture; null when there is no picture or no memory.
BITMAP *picture_bitmap(const uint8 *picture);
// The same for the picture rendered now (tms3556_redraw).
BITMAP *machine_picture();
// The window's scale (1 to 4): the one in use; set_window_scale also
// remembers it, and the window takes it when the machine runs on.
int window_scale();
void set_window_scale(int scale);
// Fullscreen on or off (F11), remembered; where the display refuses it the
// program stays in its window and says why over the picture.
void toggle_fullscreen();
bool fullscreen_on();
// The remembered settings (host/settings.h), and their writing back (not
// when the file was refused at start; a failed write is reported once).
ovix_settings &settings();
void save_settings();
// After a cartridge was loaded from `path`: the title names it, and it is
// the newest recent cartridge (its folder the selector's).
void cartridge_loaded(const char *path);
// A message over the bottom of the picture for a few seconds (printf
// format).
void show_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// window_size.cpp: the window becomes w x h (the library's new screen),
// keeping the keyboard focus and the pointer where they were; false when
// the library refuses the size.
bool resize_window(int w, int h);
// The library's full-screen mode at the desktop's size; false with *error
// set when the display refuses it (the window is gone then: make one).
bool fullscreen_screen(std::string *error);
// The window's top-left corner on the screen (its frame's, with a window
// manager); false when it cannot be told.
bool window_position(int *x, int *y);
void move_window(int x, int y);
// The keys the window keeps for itself, one line each, for --help.
std::string window_keys_help();
// Runs `action` between two runs of the machine: at once when the window's
// loop is not running it (the debugger, a pause taken between runs), else
// once the run has stopped after the current frame pass, before it goes on.
// What replaces the machine (a snapshot, a cartridge, a reset, a movie) or
// moves it in time goes through it: the loop's count of passes and the
// timeline then see the change between runs, never inside one.
void between_runs(std::function<void()> action);
// Emulated seconds kept for rewinding (--rewind); 0: no timeline is kept
// but for a movie.
int rewind_seconds();
// After the machine was replaced or went back in time without its key
// queue (keyqueue.h): the key it holds now becomes the queue's delivered
// stroke (released at the next poll unless down on the host); what was
// typed meanwhile follows.
void keys_follow_machine();
// The modifiers (KB_SHIFT_FLAG, KB_CTRL_FLAG, KB_ALT_FLAG) held when the key
// with this scancode was last pressed.
int key_press_modifiers(int scancode);

// state_commands.cpp: run at a frame pass of the running or paused machine.
void quick_save();        // the machine to the quick-save slot's file
void quick_load();        // the machine from it (a short message when there is none)
// The quick-save slot (1 to SETTINGS_SLOTS, remembered): slot 1 is
// quick.ovs, slot N quickN.ovs, in the working directory.
int quick_slot();
std::string quick_slot_file(int slot);
// The next (+1) or previous (-1) slot, said over the picture.
void change_quick_slot(int step);
void save_state_as();     // "Save state": the file selector, then a snapshot
void load_state_from();   // "Load state": the file selector, then a restore
void take_screenshot();   // the picture to the next free screenNNN.png
// After a snapshot was restored: the key it holds, a fresh key queue, the
// frame schedule and pacing from the loaded machine.
void after_state_load();
// Movies (state/movie.h): the session's input recorded to a file and
// played back. A recording starts from the present machine (the timeline
// begins anew there) and is saved, through a temporary file, to --record's
// file or else to the next free movieNNN.ovm in the working directory.
// Starts a recording to `path` (empty: a numbered file); with `restart`
// the timeline begins anew at the present machine (else the one begun at
// start-up, or by a movie played, is the movie's start).
void movie_record(const std::string &path, bool restart);
void toggle_movie();                           // F10: starts or stops (and saves) a recording
bool movie_recording();
// The recording so far (empty when none), taken before something replaces
// the machine; movie_replaced saves it and ends the recording once the
// machine was replaced (a refused file changes nothing: the recording goes
// on), and ends a playback. It returns the words to add to the message
// that says what was done ("; movie saved as movie000.ovm"), or "".
std::string movie_so_far();
std::string movie_replaced(const std::string &text);
// At the end of the program: a recording under way is saved (a failure is
// said on standard error).
void movie_at_exit();
// Plays the movie at `path` from its start; false with *error set (the
// machine and the recording untouched) when it is refused.
bool movie_play(const std::string &path, std::string *error);
void play_movie_from();   // "Play a movie": the file selector, then movie_play
// The movie being played ended (its input ran out, typing took over, the
// machine was rewound or replaced): `message` is said over the picture.
void movie_playback_ended(const char *message);

// popups.cpp
extern int exact;   // 1: run at 5 MHz against the host clock, 0: as fast as possible
void fastPopup();
void optionsPopup();
// "Really Quit?": D_CLOSE for "Yes"; "No" is the default answer (Enter),
// Escape answers it too.
int quit();
int reset_or_turnout();
int about();
// The cartridge command: a cancelled selector changes nothing; a refused
// file is reported with the loader's reason and changes nothing; only a
// loaded cartridge resets the machine.
int ovix_load_rom();
// Loads the cartridge `path` as LOAD ROM does (a refused file is reported
// and changes nothing); true when it was loaded.
bool load_cartridge_file(const char *path);
// "Recent cartridges": a popup of the cartridges loaded last.
void recent_popup();
// A file selector for a kind of file: it opens in `folder` (empty: the
// working directory) and shows the files whose extension is one of
// `extensions` ("rom;bin"), until F2 switches to all files (and back).
// The name field starts empty: what is typed is the name. False when the
// user cancels; else *path is the file chosen.
bool choose_file(const char *title, const char *kind, const char *extensions, const std::string &folder,
                 std::string *path);
// The folder of a path chosen in a selector, made absolute (to be
// remembered).
std::string folder_of(const std::string &path);
// An alert with one button ("OK" unless given) for a message of any
// length, shown whole (its box scrolls when it is longer than the screen);
// Enter, Escape, the button's shortcut or a click closes it. Returns 1.
int message_alert(const char *title, const char *message, const char *button = "OK", int shortcut = 0);

// debugger.cpp
// Runs the debugger's dialog. True when the user chose "Continue" (the
// machine resumes), false when the program is to end.
bool debugger();
// After a cartridge was loaded from `rom_path`: the symbol file beside it
// replaces the symbols (none clears them), and its debug information
// (game.rom.dbg or game.dbg) the previous cartridge's; a file that cannot
// be read is reported in an alert, and the cartridge stays loaded without
// what it would have given. `symbols` / `debug_info` false: that kind is
// left as it is (files given on the command line).
void load_cartridge_symbols(const char *rom_path, bool symbols = true, bool debug_info = true);

// mem_explorer_dialog.cpp
void memory_explorer();

// debugger_dialogs.cpp: the debugger's dialogs over the debugger engine.
void breakpoints_dialog();
void watchpoints_dialog();
void call_stack_dialog();
void history_dialog();
// "Change a register or memory": TARGET=VALUE as the console's `set`; true
// when something was changed.
bool set_machine_dialog();
// "Go to a pass": true when the machine went there (*stop says where).
struct dbg_stop;
bool go_to_pass_dialog(dbg_stop *stop);
