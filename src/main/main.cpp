// Program entry of the window program and its emulation loop.
//
// Start-up reads the command line (command_line.h), loads the BIOS and the
// cartridge, brings up the library and the window (320 x 250 times the
// scale, 640 x 500 by default), resets the chips, starts the I/O processor,
// restores a snapshot when one is given and runs the machine until the
// debugger is asked for; the debugger either resumes the machine
// ("Continue") or ends the program.
//
// The loop's per-instruction work is the shared ovix_run (loop.h). The
// window program times its frame passes itself (frame_due): at 5 MHz one
// frame per 100000 emulated cycles (20 ms of machine time), paced against
// the host clock; at fastest speed one frame per 20 ms of host time. Each
// frame pass shows the picture when it changed, hands the machine at most
// one key change from the key queue (keyqueue.h: every host key event is
// recorded by the keyboard driver's callback, so no press is lost between
// two frames), carries out the window keys pressed since the last frame
// (Escape, F1, the snapshot, screenshot and pause keys), answers the close
// button, paces and measures the speed. A paused machine stays inside its
// frame pass, where the window keys and the close button still act.
//
// Pacing keeps emulated time in step with real time without drift: both are
// measured from one anchor instant, emulated time from the emulated clock
// (which only the executed cycles advance), and the loop sleeps the
// difference when it is ahead. After a pause (a dialog, the debugger) or a
// host too slow to keep up, the anchor moves to the present instead of the
// machine racing to catch up. Holding the turbo key runs the machine at
// fastest speed; pacing starts anew when it goes up.
//
// The machine's timeline (state/timeline.h) is kept from start-up: every
// run goes through tl_resume, which follows the recorded future after the
// machine went back in time and records live input otherwise. Typing a
// machine key while it follows drops that future (typing takes over).
// Holding Backspace rewinds: the machine goes back one keyframe interval at
// a time, re-runs it quietly capturing a picture per frame time, and shows
// those pictures newest first at twice the frame rate; on release it goes on
// from the last picture shown, the recorded future dropped. What replaces
// the machine or moves it in time runs between two runs (between_runs).
//
// The window shows the machine's picture at the scale (or, fullscreen, as
// large as the screen allows with its proportions kept); the dialogs are
// laid out for 640 x 500 and placed in the middle of the screen
// (place_dialog). The settings the user changes (scale, speed, fullscreen,
// the quick-save slot, the file selectors' folders, recent cartridges, the
// window's position) are remembered in the settings file (host/settings.h);
// a setting given on the command line wins for that run only.
#include "main/ovix_allegro.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "services/console.h"
#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/source_debug.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "main/settings.h"
#include "io/io_cpu.h"
#include "main/command_line.h"
#include "main/frontend.h"
#include "machine/keyqueue.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "state/timeline.h"
#include "time/timer.h"
#include "video/tms3556.h"

volatile int close_request = 0;
char debugger_status[DEBUGGER_STATUS_SIZE] = "";

using host_clock = std::chrono::steady_clock;

// A host instant and the emulated time (seconds) at that instant.
struct speed_anchor {
    host_clock::time_point host;
    double emulated;
};

static struct {
    speed_anchor pace;       // pacing: measured from here
    speed_anchor profile;    // profile: the current measuring window
    int frames;              // frames shown in the current measuring window,
    int changed;             // and those whose picture differed from the one before
    bool profile_on;
    bool turbo;              // the turbo key is held: fastest speed
} s_speed;

// The window's title: the program's name and the cartridge's, then the
// profile's figures while it is on ("paused" while the machine is).
static struct {
    char program[64];        // the program's file name
    char cartridge[128];     // the loaded cartridge's file name, or "no cartridge"
    char figures[128];       // the profile's last figures, or ""
} s_title = {"ovix", "no cartridge", ""};

static void show_title()
{
    char title[sizeof s_title.program + sizeof s_title.cartridge + sizeof s_title.figures + 8];
    if (s_speed.profile_on)
        snprintf(title, sizeof title, "%s - %s - %s", s_title.program, s_title.cartridge,
                 s_title.figures[0] ? s_title.figures : "measuring speed");
    else
        snprintf(title, sizeof title, "%s - %s", s_title.program, s_title.cartridge);
    set_window_title(title);
}

// True while the machine is paced at 5 MHz: the option, unless the turbo
// key is held.
static bool paced() { return exact && !s_speed.turbo; }

// Behind real time by more than this, pacing gives up catching up.
static constexpr double PACE_MAX_LAG = 0.25;
// The profile title is updated once per measuring window of this length.
static constexpr double PROFILE_WINDOW = 1.0;
// One frame: 100000 cycles of machine time at 5 MHz, 20 ms of host time
// at fastest speed.
static constexpr uint64 FRAME_CYCLES = 100000;
static constexpr auto FRAME_HOST = std::chrono::milliseconds(20);

static double emulated_seconds()
{
    orlo_time t = orlo_get_time();
    return t.seconds + (double)t.subseconds / ORLO_SUBSECONDS;
}

static uint64 emulated_cycles()
{
    orlo_time t = orlo_get_time();
    return (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
}

static speed_anchor anchor_now() { return {host_clock::now(), emulated_seconds()}; }

static double host_since(const speed_anchor &a)
{
    return std::chrono::duration<double>(host_clock::now() - a.host).count();
}

void speed_restart()
{
    s_speed.pace = anchor_now();
    s_speed.profile = s_speed.pace;
    s_speed.frames = s_speed.changed = 0;
}

static void pace()
{
    double emulated = emulated_seconds() - s_speed.pace.emulated;
    double host = host_since(s_speed.pace);
    if (emulated < 0) {   // the clock went back (cold start): measure anew
        s_speed.pace = anchor_now();
        return;
    }
    double ahead = emulated - host;
    if (ahead > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(ahead));
    else if (ahead < -PACE_MAX_LAG)
        s_speed.pace = anchor_now();
}

// The figures of the measuring window that just ended: the emulated speed,
// the frames the window showed (every frame counts, a picture that did not
// change too: the window shows it all the same) and how many of them
// brought a new picture.
static void profile()
{
    double host = host_since(s_speed.profile);
    if (host < PROFILE_WINDOW) return;
    double emulated = emulated_seconds() - s_speed.profile.emulated;
    if (emulated >= 0) {
        double mhz = emulated * ORLO_SUBSECONDS / host / 1e6;
        snprintf(s_title.figures, sizeof s_title.figures,
                 "%.2f MHz emulated, x%.2f real time, %.0f frames/s (%.0f changed)", mhz,
                 mhz * 1e6 / ORLO_SUBSECONDS, s_speed.frames / host, s_speed.changed / host);
        show_title();
    }
    s_speed.profile = anchor_now();
    s_speed.frames = s_speed.changed = 0;
}

void set_profile(bool on)
{
    s_speed.profile_on = on;
    s_speed.profile = anchor_now();
    s_speed.frames = s_speed.changed = 0;
    s_title.figures[0] = 0;
    show_title();
}

bool profile_on() { return s_speed.profile_on; }

// While paused the figures stop and say so; the next measuring window
// starts when the machine goes on.
static void show_paused_title(bool paused)
{
    if (!s_speed.profile_on) return;
    snprintf(s_title.figures, sizeof s_title.figures, "%s", paused ? "paused" : "measuring speed");
    show_title();
    if (!paused) s_title.figures[0] = 0;
}

// ---------------------------------------------------------------------------
// The window's size. While the machine runs the window is 320 x 250 times
// the scale and the picture fills it; fullscreen, the screen is the
// display's and the picture as large as it allows, its proportions kept,
// in the middle. The popups, questions, file selectors and the debugger
// are laid out for 640 x 500 and placed in the middle of the screen; at
// scale 1, where they would not fit, the window grows to 640 x 500 while
// one is shown (and while the debugger is open, its runs included) and
// goes back to 320 x 250 when the machine runs on.

static void close_button_handler() { close_request = 1; }

static struct {
    int scale = 2;
    bool fullscreen = false;
    bool debugger_open = false;   // the debugger's dialog is up
} s_window;

static constexpr int DIALOG_W = 640, DIALOG_H = 500;

// After every new screen: the close button's callback and the pointer's
// range go with the old one.
static void screen_changed()
{
    set_close_button_callback(close_button_handler);
    set_mouse_range(0, 0, SCREEN_W - 1, SCREEN_H - 1);
}

static void set_window_size(int w, int h)
{
    if (!resize_window(w, h)) {
        fprintf(stderr, "ovix: the window cannot take the size %d x %d: %s\n", w, h, allegro_error);
        exit(1);
    }
    s_window.fullscreen = false;
    screen_changed();
}

static void draw_picture(BITMAP *picture);

void place_dialog(DIALOG *dialog, int x, int y)
{
    position_dialog(dialog, MAX(0, (SCREEN_W - DIALOG_W) / 2) + x, MAX(0, (SCREEN_H - DIALOG_H) / 2) + y);
}

void dialog_window()
{
    if (SCREEN_W >= DIALOG_W && SCREEN_H >= DIALOG_H) return;
    set_window_size(DIALOG_W, DIALOG_H);
    draw_picture(nullptr);   // the machine's last picture behind the dialog
}

// The window size for the machine (nothing changes while fullscreen or
// while the debugger is open).
static void machine_window()
{
    const int w = 320 * s_window.scale, h = 250 * s_window.scale;
    if (s_window.fullscreen || s_window.debugger_open || (SCREEN_W == w && SCREEN_H == h)) return;
    set_window_size(w, h);
}

int window_scale() { return s_window.scale; }

void set_window_scale(int scale)
{
    s_window.scale = scale;
    settings().scale = scale;
    save_settings();
}

bool fullscreen_on() { return s_window.fullscreen; }

// Fullscreen on or off. Where the display refuses it the program stays in
// (or comes back to) its window and says why; false then.
static bool set_fullscreen(bool on)
{
    if (on == s_window.fullscreen) return true;
    if (!on) {
        set_window_size(320 * s_window.scale, 250 * s_window.scale);
        return true;
    }
    std::string error;
    int x = 0, y = 0;
    const bool placed = window_position(&x, &y);
    if (!fullscreen_screen(&error)) {
        // The library gave up the window on the way: a new one, where the
        // old one was.
        set_window_size(320 * s_window.scale, 250 * s_window.scale);
        if (placed) move_window(x, y);
        fprintf(stderr, "ovix: no fullscreen: %s; the program stays in its window\n", error.c_str());
        show_message("No fullscreen: %.60s", error.c_str());
        return false;
    }
    s_window.fullscreen = true;
    screen_changed();
    return true;
}

void toggle_fullscreen()
{
    if (set_fullscreen(!s_window.fullscreen)) {
        settings().fullscreen = s_window.fullscreen;
        save_settings();
    }
}

// Where the machine's picture goes on the screen.
struct view {
    int x, y, w, h;
};
static view picture_view()
{
    int w = 320 * s_window.scale, h = 250 * s_window.scale;
    if (s_window.fullscreen || w > SCREEN_W || h > SCREEN_H) {
        const double f = MIN(SCREEN_W / 320.0, SCREEN_H / 250.0);
        w = (int)(320 * f);
        h = (int)(250 * f);
    }
    return {(SCREEN_W - w) / 2, (SCREEN_H - h) / 2, w, h};
}

// ---------------------------------------------------------------------------
// The remembered settings. A file that was refused is left as it is: it is
// not written back. A write that fails is reported once.

static struct {
    ovix_settings values;
    std::string path;        // empty: no settings file (no home folder)
    bool writable = false;
    bool write_reported = false;
} s_settings;

ovix_settings &settings() { return s_settings.values; }

void save_settings()
{
    if (!s_settings.writable) return;
    std::string error;
    if (settings_save(s_settings.path.c_str(), s_settings.values, &error) || s_settings.write_reported) return;
    s_settings.write_reported = true;
    fprintf(stderr, "ovix: settings not saved: %s\n", error.c_str());
}

// Reads the settings file; a refused one is reported once, on standard
// error and over the picture, and the defaults are used.
static void load_settings()
{
    s_settings.path = settings_path();
    if (s_settings.path.empty()) return;
    std::string error;
    switch (settings_load(s_settings.path.c_str(), &s_settings.values, &error)) {
    case settings_read::ok:
    case settings_read::missing: s_settings.writable = true; break;
    case settings_read::refused: {
        fprintf(stderr, "ovix: settings file ignored (and left as it is): %s\n", error.c_str());
        // Over the picture the reason alone (the message names the file).
        const std::string named = s_settings.path + ": ";
        const size_t skip = error.compare(0, named.size(), named) == 0 ? named.size() : 0;
        show_message("Settings file ignored: %.60s", error.c_str() + skip);
        break;
    }
    }
}

// At the end of the program: the window's position is remembered.
static void remember_window_position()
{
    int x, y;
    if (!s_window.fullscreen && window_position(&x, &y)) {
        s_settings.values.placed = true;
        s_settings.values.window_x = x;
        s_settings.values.window_y = y;
    }
    save_settings();
}

void cartridge_loaded(const char *path)
{
    snprintf(s_title.cartridge, sizeof s_title.cartridge, "%s", get_filename(path));
    show_title();
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec) return;
    settings_add_recent(&s_settings.values, full.string());
    s_settings.values.cart_folder = full.parent_path().string();
    save_settings();
}

// ---------------------------------------------------------------------------
// Signals that end the program (kill, the session ending, Ctrl-C in the
// terminal it was started from). The graphics library's own handler shuts
// the library down inside the signal handler, and hangs for good when the
// signal lands while a thread holds the library's lock. Here the signal only
// asks: the next window-event step or dialog idle step ends the program as
// its Quit does (exit: the settings are saved). Where neither comes within
// 5 seconds (a modal alert or file selector), or a second signal comes, it
// ends at once.

static volatile sig_atomic_t s_end_signal = 0;

static void end_signal_handler(int sig)
{
    if (s_end_signal) _exit(128 + s_end_signal);
    s_end_signal = sig;
    alarm(5);
}

static void end_signal_timeout(int) { _exit(128 + s_end_signal); }   // armed by the first signal

static void catch_end_signals()
{
    struct sigaction sa = {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = end_signal_handler;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    sa.sa_handler = end_signal_timeout;
    sigaction(SIGALRM, &sa, nullptr);
}

static void end_if_signalled()
{
    if (s_end_signal) exit(128 + s_end_signal);
}

// ---------------------------------------------------------------------------
// The close button.

void answer_close_request()
{
    if (!close_request) return;
    close_request = 0;
    dialog_window();
    // The question keeps the look of the popups whatever dialog is open.
    const int fg = gui_fg_color, mg = gui_mg_color, bg = gui_bg_color;
    set_gray_gui_colors();
    if (quit() == D_CLOSE) exit(0);
    gui_fg_color = fg;
    gui_mg_color = mg;
    gui_bg_color = bg;
}

int frontend_yield_proc(int msg, DIALOG *d, int c)
{
    if (msg == MSG_IDLE) end_if_signalled();
    int result = d_yield_proc(msg, d, c);
    if (msg == MSG_IDLE && close_request) {
        answer_close_request();
        return D_REDRAW;
    }
    return result;
}

void set_gray_gui_colors()
{
    gui_fg_color = makecol(0, 0, 0);
    gui_mg_color = makecol(128, 128, 128);
    gui_bg_color = makecol(200, 200, 200);
}

void set_full_screen_dialog_colors(DIALOG *dialog)
{
    set_dialog_color(dialog, gui_fg_color, gui_bg_color);
    const int white = makecol(255, 255, 255);
    dialog[0].bg = white;
    for (int i = 4; dialog[i].proc; i++) {
        if (dialog[i].proc == d_text_proc || dialog[i].proc == d_ctext_proc || dialog[i].proc == d_rtext_proc)
            dialog[i].bg = white;
    }
}

// ---------------------------------------------------------------------------
// Labels over the picture: the pause mark (top left) and a message of the
// front end's (bottom left), which goes after a few seconds. Black text on
// the popups' light grey, so that both read on any picture.

static constexpr auto MESSAGE_TIME = std::chrono::seconds(5);

static struct {
    bool paused;
    const char *banner;      // top left while rewinding, or null
    char message[96];
    host_clock::time_point message_until;
} s_over;

static void draw_label(int x, int y, const char *text)
{
    const int w = text_length(font, text) + 8, h = text_height(font) + 8;
    rectfill(screen, x, y, x + w - 1, y + h - 1, makecol(200, 200, 200));
    rect(screen, x, y, x + w - 1, y + h - 1, makecol(0, 0, 0));
    textout_ex(screen, font, text, x + 4, y + 4, makecol(0, 0, 0), -1);
}

// The labels go at the corners of the picture.
static void draw_labels()
{
    const view v = picture_view();
    if (s_over.banner)
        draw_label(v.x + 4, v.y + 4, s_over.banner);
    else if (s_over.paused)
        draw_label(v.x + 4, v.y + 4, "PAUSED (Pause resumes)");
    if (s_over.message[0]) draw_label(v.x + 4, v.y + v.h - text_height(font) - 12, s_over.message);
}

void show_message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(s_over.message, sizeof s_over.message, format, args);
    va_end(args);
    s_over.message_until = host_clock::now() + MESSAGE_TIME;
    if (screen) draw_labels();   // before the window opens: with the first picture
}

// True when the message has had its time and is gone (the picture is to be
// drawn again without it).
static bool message_expired()
{
    if (!s_over.message[0] || host_clock::now() < s_over.message_until) return false;
    s_over.message[0] = 0;
    return true;
}

// ---------------------------------------------------------------------------
// The window keys: host keys the front end keeps for itself. None of them
// is a key of the machine. A press is recorded by the keyboard callback and
// carried out at the next frame pass, so that a tap shorter than a frame
// still acts; F2, F3 and the turbo key are read held (F2 and F3 by the loop
// after every instruction, the turbo key at every frame pass).

static run_kind s_run = RUN_NORMAL;
static stop_cause s_stop = STOP_NONE;

// Time travel and the actions carried out between two runs (between_runs).
static struct {
    bool in_run;                                  // ovix_loop's run is under way
    std::vector<std::function<void()>> actions;   // to carry out once it has stopped
    bool was_following;                           // the last frame pass followed recorded input
    int rewind_seconds = 120;                     // --rewind
} s_travel;

void request_stop(stop_cause cause)
{
    if (s_stop == STOP_NONE) s_stop = cause;
    ask_bkpt = 1;
}

static void key_escape()
{
    if (s_run == RUN_STEP_OVER) {
        request_stop(STOP_STEP_KEY);
        return;
    }
    fastPopup();
    // An entry chosen is carried out between runs, the window still as the
    // popup left it (at scale 1, grown for the dialogs).
    if (s_travel.actions.empty()) machine_resume();
}

static void key_f1() { request_stop(s_run == RUN_STEP_OVER ? STOP_STEP_KEY : STOP_F1); }

static void key_pause() { s_over.paused = !s_over.paused; }

static void redraw_and_repace();
static void key_fullscreen()
{
    toggle_fullscreen();
    redraw_and_repace();
}

static void key_next_slot() { change_quick_slot(+1); }
static void key_previous_slot() { change_quick_slot(-1); }
static void key_quick_load() { between_runs(quick_load); }
static void key_movie() { between_runs(toggle_movie); }

static void rewind_machine();
static void key_rewind()
{
    if (s_run != RUN_STEP_OVER) between_runs(rewind_machine);
}

struct window_key {
    int key;             // Allegro scancode
    bool shift;          // with Shift held (a key without its Shift entry acts as without Shift)
    void (*action)();    // carried out at the frame pass after a press; null: read held
    const char *name;    // the key's name and what it does, for --help
    const char *what;
};
static constexpr window_key window_keys[] = {
    {KEY_ESC, false, key_escape, "Escape", "the popup menu"},
    {KEY_F1, false, key_f1, "F1", "stop and open the debugger"},
    {KEY_F2, false, nullptr, "F2", "held: port A bit 0 (the I/O processor's handshake line) high"},
    {KEY_F3, false, nullptr, "F3", "held: port A bit 0 low"},
    {KEY_F6, false, quick_save, "F6", "quick save: the machine to the quick-save slot (slot 1: quick.ovs)"},
    {KEY_F9, false, key_quick_load, "F9", "quick load: the machine from the quick-save slot"},
    {KEY_F6, true, key_next_slot, "Shift+F6", "the next quick-save slot (1 to 9; slot N: quickN.ovs)"},
    {KEY_F9, true, key_previous_slot, "Shift+F9", "the previous quick-save slot"},
    {KEY_F10, false, key_movie, "F10", "record a movie of the input (to movieNNN.ovm), or stop and save it"},
    {KEY_F11, false, key_fullscreen, "F11", "fullscreen on or off"},
    {KEY_F12, false, take_screenshot, "F12", "screenshot: the 320 x 250 picture to screenNNN.png"},
    {KEY_PAUSE, false, key_pause, "Pause", "pause the machine, or let it go on"},
    {KEY_TAB, false, nullptr, "Tab", "held: fastest speed while it is held (turbo)"},
    {KEY_BACKSPACE, false, key_rewind, "Backspace", "held: rewind (the machine runs backwards, twice as fast)"},
};
constexpr int WINDOW_KEYS = sizeof window_keys / sizeof window_keys[0];

// The window keys pressed since the last frame pass, in the order of their
// presses (indices into window_keys): a ring written by the keyboard
// callback, read at the frame pass, so that two taps of a key within one
// frame act twice, however long the frame takes. A press that does not
// fit is dropped.
static constexpr unsigned PRESSES = 64;
static struct {
    uint8 index[PRESSES];
    std::atomic<unsigned> head{0};   // next slot to write
    std::atomic<unsigned> tail{0};   // next slot to read
} s_presses;

static void push_press(int i)
{
    const unsigned head = s_presses.head.load(std::memory_order_relaxed);
    if (head - s_presses.tail.load(std::memory_order_acquire) >= PRESSES) return;
    s_presses.index[head % PRESSES] = (uint8)i;
    s_presses.head.store(head + 1, std::memory_order_release);
}

static bool pop_press(int *i)
{
    const unsigned tail = s_presses.tail.load(std::memory_order_relaxed);
    if (tail == s_presses.head.load(std::memory_order_acquire)) return false;
    *i = s_presses.index[tail % PRESSES];
    s_presses.tail.store(tail + 1, std::memory_order_release);
    return true;
}

// The presses recorded so far were meant for a dialog: dropped.
static void drop_presses() { s_presses.tail.store(s_presses.head.load(std::memory_order_acquire)); }

static bool presses_waiting()
{
    return s_presses.tail.load(std::memory_order_relaxed) != s_presses.head.load(std::memory_order_acquire);
}

// True when a press of the window key `key_code` waits (it is left there).
static bool press_waiting(int key_code)
{
    const unsigned head = s_presses.head.load(std::memory_order_acquire);
    for (unsigned i = s_presses.tail.load(std::memory_order_relaxed); i != head; i++)
        if (window_keys[s_presses.index[i % PRESSES]].key == key_code) return true;
    return false;
}

// While rewinding: true when a window key other than the rewind key was
// pressed (its press is left for the machine's next frame pass); the
// rewind key's own presses are taken.
static bool other_press_waiting()
{
    for (;;) {
        const unsigned tail = s_presses.tail.load(std::memory_order_relaxed);
        if (tail == s_presses.head.load(std::memory_order_acquire)) return false;
        if (window_keys[s_presses.index[tail % PRESSES]].key != KEY_BACKSPACE) return true;
        s_presses.tail.store(tail + 1, std::memory_order_release);
    }
}

std::string window_keys_help()
{
    std::string text = "Keys while the machine runs:\n  A-Z, 0-9, Enter, Space, arrows  the machine's keyboard\n";
    for (const window_key &k : window_keys) {
        char line[160];
        snprintf(line, sizeof line, "  %-31s %s\n", k.name, k.what);
        text += line;
    }
    return text;
}

// Allegro's keyboard driver calls this for every key event, from its own
// thread: it only records (with the state of Shift at that moment). The
// driver reports the Pause key as a toggle (down at one press, up at the
// next), so both of its events are presses.
// The modifiers held at each key's latest press (KB_SHIFT_FLAG ...): the
// debugger reads a key from the library's buffer a moment after the press,
// when a short Ctrl+F8 may already be over.
static volatile int s_press_modifiers[128];

int key_press_modifiers(int scancode)
{
    return scancode > 0 && scancode < 128 ? s_press_modifiers[scancode] : 0;
}

static void keyboard_event(int scancode)
{
    keyq_push(scancode);
    const int code = scancode & 0x7F;
    if ((scancode & 0x80) && code != KEY_PAUSE) return;
    const bool shift = key[KEY_LSHIFT] || key[KEY_RSHIFT];
    s_press_modifiers[code] = (shift ? KB_SHIFT_FLAG : 0) | (key[KEY_LCONTROL] || key[KEY_RCONTROL] ? KB_CTRL_FLAG : 0) |
                              (key[KEY_ALT] || key[KEY_ALTGR] ? KB_ALT_FLAG : 0);
    int chosen = -1;
    for (int i = 0; i < WINDOW_KEYS; i++) {
        const window_key &k = window_keys[i];
        if (k.key != code || !k.action) continue;
        if (k.shift == shift) {
            chosen = i;
            break;
        }
        if (!k.shift) chosen = i;
    }
    if (chosen >= 0) push_press(chosen);
}

// Carries out the window keys pressed since the last call, in order, and
// answers the close button (the machine goes on after the question); false
// when neither acted. The presses are taken before any acts: those that
// come while an action shows a dialog were typed in it, and the machine
// going on drops them.
static bool window_events()
{
    end_if_signalled();
    int pressed[PRESSES], n = 0;
    while (n < (int)PRESSES && pop_press(&pressed[n])) n++;
    for (int k = 0; k < n; k++) window_keys[pressed[k]].action();
    if (!close_request) return n > 0;
    answer_close_request();
    machine_resume();
    return true;
}

// The machine's keys come from the queue; a change waits until the I/O
// processor is in its "ready" state, where it takes it.
static int key_from_queue()
{
    static const int ready = get_state_num("ready");
    const int code = keyq_next(cur_state == ready);
    // The loop's held key (which snapshots and the timeline record) is the
    // queue's delivered stroke.
    if (code >= 0) {
        int held, host;
        ovix_set_key_state(keyq_held(&held, &host) ? ovix_key_state{held, host} : ovix_key_state{0xFF, 0});
    }
    return code;
}

void keys_follow_machine()
{
    const ovix_key_state held = ovix_get_key_state();
    keyq_set_held(held.code, held.host, key, KEY_MAX);
}

// While the machine follows recorded input, the keyboard poll does not read
// the queue: a stroke waiting there beyond the delivered one was typed, and
// typing takes over.
static bool typed_while_following()
{
    keyq_drain();
    int code, host;
    return keyq_strokes(nullptr, 0) > (keyq_held(&code, &host) ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Between runs: the window's actions that replace the machine or move it in
// time stop the run (ask_bkpt, without a cause of stop) and are carried out
// by ovix_loop before it runs the machine on.

int rewind_seconds() { return s_travel.rewind_seconds; }

void between_runs(std::function<void()> action)
{
    if (!s_travel.in_run) {
        action();
        return;
    }
    s_travel.actions.push_back(std::move(action));
    ask_bkpt = 1;
}

// Typing while the machine follows recorded input: the recorded future is
// dropped and the keyboard is live from the machine's present.
static void take_over()
{
    if (!tl_replaying()) return;
    tl_drop_future();
    keys_follow_machine();
    movie_playback_ended("Typing took over from the movie");
}

static void pause_machine();
static void carry_out_between_runs()
{
    // The run's stop was the actions' own (a stop asked for meanwhile, F1,
    // stays asked for). Keys typed for the machine until now are kept;
    // those typed in a dialog of an action are dropped when the machine
    // goes on.
    if (s_stop == STOP_NONE) ask_bkpt = 0;
    keyq_drain();
    const bool was_replaying = tl_replaying();
    while (!s_travel.actions.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(s_travel.actions);
        for (const std::function<void()> &action : now) action();
    }
    // An input given in the past (a reset) dropped the recorded future.
    if (was_replaying && tl_active() && !tl_replaying()) {
        keys_follow_machine();
        movie_playback_ended("The movie's rest was dropped: live input from here");
    }
    if (s_stop != STOP_NONE) return;
    machine_resume();
    // A pause that an action interrupted goes on, between runs: the paused
    // machine does not move.
    if (s_over.paused) pause_machine();
}

// ---------------------------------------------------------------------------
// Frames.

static struct {
    uint64 next_cycles;                 // 5 MHz: the emulated clock of the next frame
    host_clock::time_point next_host;   // fastest: the host time of the next frame
    BITMAP *shown;                      // the picture in the window, to see changes
    bool force;                         // show the next picture whatever it is
    BITMAP *compared;                   // the frame bitmap known to equal shown,
    uint32 compared_serial;             // and its serial number then
} s_frame;

static bool frame_due(void *)
{
    if (!paced()) return host_clock::now() >= s_frame.next_host;
    const uint64 now = emulated_cycles();
    // The clock goes back only at a cold start: a frame then, too.
    return now >= s_frame.next_cycles || now + 2 * FRAME_CYCLES < s_frame.next_cycles;
}

static void schedule_next_frame()
{
    const uint64 now = emulated_cycles();
    // Behind by more than a frame (a slow host, a pause): no burst of frames.
    if (now >= s_frame.next_cycles + FRAME_CYCLES || now + 2 * FRAME_CYCLES < s_frame.next_cycles)
        s_frame.next_cycles = now + FRAME_CYCLES;
    else
        s_frame.next_cycles += FRAME_CYCLES;
    s_frame.next_host = host_clock::now() + FRAME_HOST;
}

static bool same_picture(BITMAP *a, BITMAP *b, int w, int h)
{
    const size_t row = (size_t)w * ((bitmap_color_depth(a) + 7) / 8);
    for (int y = 0; y < h; y++)
        if (memcmp(a->line[y], b->line[y], row) != 0) return false;
    return true;
}

// Shows the machine's 320 x 250 picture (null: the one shown last) over
// the whole window, with the labels over it.
static void draw_picture(BITMAP *picture)
{
    if (picture && s_frame.shown && picture != s_frame.shown)
        blit(picture, s_frame.shown, 0, 0, 0, 0, MIN(picture->w, 320), MIN(picture->h, 250));
    if (!s_frame.shown) return;
    const view v = picture_view();
    if (v.w != SCREEN_W || v.h != SCREEN_H) {
        // Black around the picture (fullscreen, or the dialogs' window).
        const int black = makecol(0, 0, 0);
        rectfill(screen, 0, 0, SCREEN_W - 1, v.y - 1, black);
        rectfill(screen, 0, v.y + v.h, SCREEN_W - 1, SCREEN_H - 1, black);
        rectfill(screen, 0, v.y, v.x - 1, v.y + v.h - 1, black);
        rectfill(screen, v.x + v.w, v.y, SCREEN_W - 1, v.y + v.h - 1, black);
    }
    stretch_blit(s_frame.shown, screen, 0, 0, 320, 250, v.x, v.y, v.w, v.h);
    draw_labels();
}

void machine_preview()
{
    scare_mouse();
    clear_to_color(screen, makecol(0, 0, 0));
    draw_picture(machine_picture());
    const view v = picture_view();
    draw_label(v.x + 4, v.y + 4, "Space returns to the debugger");
    unscare_mouse();
    // The Space is read from the key buffer, as a press: its release may
    // never come (see run_end).
    clear_keybuf();
    while (!close_request) {
        if (keypressed() && (readkey() >> 8) == KEY_SPACE) break;
        rest(10);
    }
    clear_keybuf();
}

// The machine's picture, when it differs from the one shown.
static void frame_to_window(const uint8 *picture, void *)
{
    BITMAP *frame = picture_bitmap(picture);
    // The recorded input has run out (the end of a movie, or of the time
    // the debugger went back over): the keyboard is live from here, and
    // the key the machine holds is the queue's.
    if (ovix_following) {
        s_travel.was_following = true;
    } else if (s_travel.was_following && !tl_replaying()) {
        s_travel.was_following = false;
        keys_follow_machine();
        movie_playback_ended("The movie has ended: the keyboard is live");
    }
    schedule_next_frame();
    if (!frame) return;
    s_speed.frames++;
    const int w = MIN(frame->w, 320), h = MIN(frame->h, 250);
    if (!s_frame.shown) s_frame.shown = create_bitmap_ex(bitmap_color_depth(frame), 320, 250);
    if (message_expired()) s_frame.force = true;
    // A frame the video chip has not drawn again since it was compared or
    // shown needs no comparison (at the prompt most frames are unchanged).
    const uint32 serial = tms3556_frame_serial();
    const bool known = s_frame.compared == frame && s_frame.compared_serial == serial;
    if (!s_frame.force && s_frame.shown && (known || same_picture(frame, s_frame.shown, w, h))) {
        s_frame.compared = frame;
        s_frame.compared_serial = serial;
        return;
    }
    draw_picture(frame);
    s_speed.changed++;
    s_frame.force = false;
    s_frame.compared = s_frame.shown ? frame : nullptr;
    s_frame.compared_serial = serial;
}

// After a new screen while the machine runs or is paused: the picture is
// drawn whole at the next frame, and pacing starts anew.
static void redraw_and_repace()
{
    s_frame.force = true;
    speed_restart();
}

// The paused machine: its frame pass goes on here, showing the picture with
// the mark, until the pause key is pressed again or a stop is asked for
// (F1, "Call Debugger"), which ends the pause. The window keys, the popup
// and the close button act as in a run; after each the picture is drawn
// anew from the machine (a quick load or a reset may have changed it).
static void pause_machine()
{
    keyq_drain();   // keys typed before the pause are kept for the machine
    draw_picture(machine_picture());   // the machine may have changed between runs
    show_paused_title(true);
    while (s_over.paused && !ask_bkpt) {
        rest(10);
        const bool acted = window_events();
        if (message_expired() || acted) draw_picture(machine_picture());
    }
    // An action between runs stopped the run: the pause goes on after it.
    if (!s_travel.actions.empty() && s_stop == STOP_NONE) return;
    s_over.paused = false;
    show_paused_title(false);
    if (!ask_bkpt) machine_resume();   // else the debugger opens first
}

// ---------------------------------------------------------------------------
// The window under a debugger's console (--console-fd): the debug adapter
// drives the machine with the runner's console commands on a file
// descriptor and the replies go back on it, while the window shows the
// machine and takes its keys. Between commands the machine waits, its
// picture shown and the window keys answered; a command that runs it
// (continue, step, ...) runs it here as any run, paced and with the
// window's keys, until it stops: a breakpoint, a step's end, F1, or Ctrl-C
// (SIGINT). The program ends when the descriptor does, at `quit`, or when
// the window is closed.
static void answer(int fd, const std::string &reply)
{
    size_t done = 0;
    while (done < reply.size()) {
        const ssize_t n = write(fd, reply.data() + done, reply.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

static void console_machine(int fd, bool json)
{
    console_session cs;
    cs.json = json;
    cs.hooks = window_hooks();
    // The machine's keys come from the key queue: `type` goes through it.
    cs.key_change = [](int host_key, bool down) { keyq_push(down ? host_key : host_key | 0x80); };
    console_catch_interrupts();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string pending;
    draw_picture(machine_picture());
    while (!cs.quit && !close_request) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
        if (n > 0) pending.append(buf, (size_t)n);
        for (size_t nl; !cs.quit && (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            std::string reply;
            if (console_runs_machine(line)) {
                run_begin(RUN_NORMAL);
                console_execute(&cs, line, &reply);
                run_end();
            } else {
                console_execute(&cs, line, &reply);
            }
            answer(fd, reply);
            draw_picture(machine_picture());   // the command may have changed the machine
        }
        const bool acted = window_events();
        if (message_expired() || acted) draw_picture(machine_picture());
        if (n <= 0) rest(10);
    }
}

static void events_and_pause()
{
    window_events();
    if (s_over.paused) pause_machine();
}

static void after_keyboard_poll(void *)
{
    if (ovix_following && !s_travel.in_run) {
        // A run of the console (--console-fd) following recorded input: the
        // keys wait for its end, where the console's loop answers them;
        // F1 stops it.
        if (press_waiting(KEY_F1)) request_stop(STOP_F1);
    } else if (ovix_following) {
        // Following recorded input: what the window keys and the close
        // button do may change the machine, an input, so they act between
        // runs; typing takes over.
        if (typed_while_following()) between_runs(take_over);
        if (presses_waiting() || close_request || s_over.paused) between_runs(events_and_pause);
    } else {
        events_and_pause();
    }
    const bool turbo = key[KEY_TAB] != 0;
    if (turbo != s_speed.turbo) {
        // Pacing and the frame schedule start anew at the new speed.
        s_speed.turbo = turbo;
        speed_restart();
        s_frame.next_cycles = emulated_cycles() + FRAME_CYCLES;
        s_frame.next_host = host_clock::now() + FRAME_HOST;
    }
    if (paced()) pace();
    if (s_speed.profile_on) profile();
}

// ---------------------------------------------------------------------------
// Rewinding (Backspace held). The machine goes back a keyframe interval of
// the timeline at a time: the keyframe is restored (tl_goto) and the
// interval re-run quietly along the recorded input up to the last picture
// shown, a picture kept at each frame time (every FRAME_CYCLES of machine
// time from the keyframe; of a longer interval, at fastest speed, the
// newest REWIND_PICTURES). The pictures are shown newest first, each for
// half a frame's time: the machine goes back at twice real speed (pictures
// are skipped, never the pace, when the display is slower). On release the
// machine goes to the pass of the picture shown last and goes on from
// there, the recorded future dropped.

static constexpr int REWIND_PICTURES = (int)(TL_KEYFRAME_CYCLES / FRAME_CYCLES);
static constexpr auto REWIND_PICTURE_TIME = std::chrono::milliseconds(10);

static struct {
    BITMAP *picture[REWIND_PICTURES];
    uint64 pass[REWIND_PICTURES];      // the machine's time of each picture,
    double seconds[REWIND_PICTURES];   // and its emulated clock
    int count;                         // pictures taken in this interval (the newest REWIND_PICTURES kept)
    uint64 next_cycles;                // the emulated clock of the next picture
} s_rewind;

static void keep_picture(BITMAP *frame)
{
    const int slot = s_rewind.count % REWIND_PICTURES;
    BITMAP *&picture = s_rewind.picture[slot];
    if (picture && bitmap_color_depth(picture) != bitmap_color_depth(frame)) {
        destroy_bitmap(picture);
        picture = nullptr;
    }
    if (!picture) picture = create_bitmap_ex(bitmap_color_depth(frame), 320, 250);
    if (!picture) return;   // no memory for it: a picture fewer
    blit(frame, picture, 0, 0, 0, 0, 320, 250);
    s_rewind.pass[slot] = ovix_machine_passes();
    s_rewind.seconds[slot] = emulated_seconds();
    s_rewind.count++;
}

static bool rewind_frame_due(void *) { return emulated_cycles() >= s_rewind.next_cycles; }

static void rewind_frame(const uint8 *picture, void *)
{
    BITMAP *frame = picture_bitmap(picture);
    const uint64 now = emulated_cycles();
    if (!frame || now < s_rewind.next_cycles) return;   // the first pass of each part of the re-run
    keep_picture(frame);
    s_rewind.next_cycles += FRAME_CYCLES;
    if (s_rewind.next_cycles <= now) s_rewind.next_cycles = now + FRAME_CYCLES;
}

// Re-runs the keyframe interval before pass `before`, keeping its pictures
// up to that pass (excluded). Returns how many were kept (0: *error set).
static int rewind_interval(uint64 before, std::string *error)
{
    uint64 keyframe;
    if (!tl_keyframe_before(before - 1, &keyframe)) {
        *error = "no keyframe before pass " + std::to_string(before);
        return 0;
    }
    if (tl_goto(keyframe, error).kind == DBG_STOP_NONE) return 0;
    s_rewind.count = 0;
    BITMAP *frame = machine_picture();
    if (!frame) {
        *error = "no picture to show";
        return 0;
    }
    keep_picture(frame);
    s_rewind.next_cycles = emulated_cycles() + FRAME_CYCLES;
    if (before - 1 > keyframe) {
        static const loop_hooks capture = {rewind_frame, nullptr, nullptr, rewind_frame_due};
        dbg_replay(DBG_REPLAY_QUIET);   // no breakpoint stops it, nothing goes into the history
        tl_resume(LOOP_NO_TARGET, before - 1 - keyframe, &capture);
        dbg_replay(DBG_LIVE);
    }
    return MIN(s_rewind.count, REWIND_PICTURES);
}

// The slot of the i-th picture kept (0: the oldest) of `kept`.
static int rewind_slot(int i, int kept) { return (s_rewind.count - kept + i) % REWIND_PICTURES; }

static void rewind_machine()
{
    if (!tl_active()) {
        show_message("Nothing to rewind: no time is kept (--rewind 0)");
        return;
    }
    keyq_drain();
    const int typed = keyq_strokes(nullptr, 0);
    const uint64 present = ovix_machine_passes();
    const double present_seconds = emulated_seconds();
    uint64 before = present, shown = present;   // pictures still to come are before `before`
    double shown_seconds = present_seconds;
    bool moved = false;    // the machine left the present
    bool at_start = false;
    int kept = 0, left = 0;   // pictures of this interval, and those not yet shown (the newest first)
    std::string error;
    s_over.banner = "<< Rewinding (Backspace held)";
    draw_picture(nullptr);
    host_clock::time_point due = host_clock::now(), measured = due;
    int shown_count = 0;
    double measured_seconds = present_seconds;
    for (int up = 0;;) {
        // It ends when Backspace is up at two looks in a row, or another
        // key is pressed (a release the X server gave another window must
        // not leave the program rewinding), or at the close button.
        up = key[KEY_BACKSPACE] ? 0 : up + 1;
        if (up >= 2 || close_request || other_press_waiting()) break;
        keyq_drain();
        if (keyq_strokes(nullptr, 0) > typed) break;
        if (left == 0 && !at_start) {
            if (before <= tl_begin_pass()) {
                at_start = true;
                s_over.banner = "Start of the recorded time";
                draw_picture(nullptr);
            } else {
                moved = true;
                kept = left = rewind_interval(before, &error);
                if (kept == 0) break;
                before = s_rewind.pass[rewind_slot(0, kept)];
            }
        }
        const host_clock::time_point now = host_clock::now();
        if (at_start || now < due) {
            rest(at_start ? 10 : 1);
            continue;
        }
        // The picture due now: those whose time went by are skipped.
        while (left > 1 && now >= due + REWIND_PICTURE_TIME) {
            left--;
            due += REWIND_PICTURE_TIME;
        }
        const int slot = rewind_slot(--left, kept);
        shown = s_rewind.pass[slot];
        shown_seconds = s_rewind.seconds[slot];
        draw_picture(s_rewind.picture[slot]);
        shown_count++;
        due += REWIND_PICTURE_TIME;
        if (now - due > std::chrono::milliseconds(100)) due = now;
        const double host = std::chrono::duration<double>(now - measured).count();
        if (s_speed.profile_on && host >= PROFILE_WINDOW) {
            snprintf(s_title.figures, sizeof s_title.figures, "rewinding: %.0f frames/s, x%.2f real time",
                     shown_count / host, (measured_seconds - shown_seconds) / host);
            show_title();
            measured = now;
            measured_seconds = shown_seconds;
            shown_count = 0;
        }
    }
    s_over.banner = nullptr;
    if (moved) {
        // To the picture shown last; the future recorded after it goes.
        std::string ignored;
        if (tl_goto(shown, error.empty() ? &error : &ignored).kind != DBG_STOP_NONE && shown < present) {
            tl_drop_future();
            movie_playback_ended("Rewound: the movie's rest was dropped");
        }
    }
    keys_follow_machine();
    if (!error.empty())
        show_message("Rewind stopped: %.70s", error.c_str());
    else if (shown < present)
        show_message("Rewound %.1f s", present_seconds - shown_seconds);
    show_paused_title(s_over.paused);
    if (close_request) answer_close_request();
    machine_resume();
}

static const loop_hooks s_hooks = {frame_to_window, after_keyboard_poll, nullptr, frame_due};

const loop_hooks *window_hooks() { return &s_hooks; }

void machine_resume()
{
    machine_window();
    keyq_resume(key, KEY_MAX);
    drop_presses();
    s_frame.force = true;
    s_frame.next_cycles = emulated_cycles();
    s_frame.next_host = host_clock::now();
    speed_restart();
}

void run_begin(run_kind kind)
{
    s_run = kind;
    s_stop = STOP_NONE;
    // The F1 that opened the debugger may never be seen going up: where the
    // window changed size under the pointer while it was held, the X server
    // gave its release to another window. The run takes it as released
    // (else it would stop again at its first pass); an F1 really held comes
    // back with its next repeat.
    key[KEY_F1] = 0;
    machine_resume();
    // A step over shows the machine's picture only once it has lasted a
    // frame: a short one does not flash it over the debugger.
    if (kind == RUN_STEP_OVER) schedule_next_frame();
}

void run_end()
{
    // Keys typed for the machine until now are kept for its next run;
    // keys typed from here on are the dialogs'.
    keyq_drain();
    // The F1 or Escape that stopped the run must not act on the debugger:
    // its press is in the key buffer, which the dialogs read. Nothing waits
    // for it to go up: where the pointer leaves the window before the key
    // is released (a window that shrank under it), the X server gives the
    // release to another window and this program never sees it.
    clear_keybuf();
    s_run = RUN_NORMAL;
}

void note_stop(loop_stop reason, uint16 target)
{
    stop_reason_text(debugger_status, sizeof debugger_status, reason, s_stop, ask_bkpt != 0, target);
}

void ovix_loop(int targetPC)
{
    // The loop's trace prologue ("ovix_loop()") is ovix_resume's. The
    // loop's pass counter goes on from run to run, so that a re-run from a
    // keyframe meets the same frame passes.
    run_begin(RUN_NORMAL);
    // An address above FFFF: no stop address (the debugger engine stops
    // the run).
    const uint32 target = targetPC >= 0 && targetPC <= 0xFFFF ? (uint32)targetPC : LOOP_NO_TARGET;
    loop_result r;
    for (;;) {
        s_travel.in_run = true;
        r = tl_resume(target, UINT64_MAX, &s_hooks);
        s_travel.in_run = false;
        if (s_travel.actions.empty()) break;
        carry_out_between_runs();
        // A stop of the run's own (the stop address, a breakpoint), or one
        // asked for (F1, "Call Debugger"), opens the debugger.
        if (r.reason != LOOP_STOP_DEBUGGER) break;
        if (s_stop != STOP_NONE || key[KEY_F1]) {
            ask_bkpt = 1;
            break;
        }
    }
    note_stop(r.reason, (uint16)targetPC);
    run_end();
}

// The debugger's dialog, in a window big enough for it.
static bool open_debugger()
{
    s_window.debugger_open = true;
    dialog_window();
    const bool resume = debugger();
    s_window.debugger_open = false;
    return resume;
}

// ---------------------------------------------------------------------------
// Start-up and shutdown.

// Starts the library, reads the settings, opens the window (the command
// line's scale, speed and fullscreen win over the remembered ones).
static void init(const frontend_options &opt)
{
    if (allegro_init() != 0) {
        fprintf(stderr, "ovix: no display could be opened (%s); the window program needs a graphical session"
                        " (the headless runner ovix-headless does not)\n",
                allegro_error[0] ? allegro_error : "the graphics library could not start");
        exit(1);
    }
    load_settings();
    const ovix_settings &remembered = settings();
    const int scale = opt.scale ? opt.scale : remembered.scale;
    exact = opt.fast || remembered.fastest ? 0 : 1;
    int depth = desktop_color_depth();
    if (depth == 0) depth = 16;
    set_color_depth(depth);
    s_window.scale = scale;
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 320 * scale, 250 * scale, 0, 0) != 0) {
        fprintf(stderr, "ovix: no display could be opened: %s\n", allegro_error);
        allegro_message("%s", allegro_error);
        exit(-1);
    }
    if (remembered.placed) move_window(remembered.window_x, remembered.window_y);
    install_timer();
    install_keyboard();
    ovix_keys = key;   // the machine reads the library's key array as it is
    install_mouse();
    ovix_key_source = key_from_queue;
    keyboard_lowlevel_callback = keyboard_event;

    char exe[1024];
    get_executable_name(exe, sizeof exe);
    snprintf(s_title.program, sizeof s_title.program, "%s", get_filename(exe));
    show_title();
    screen_changed();
    if (opt.fullscreen || remembered.fullscreen) set_fullscreen(true);
    // Registered after the library's own exit handler: runs before it.
    atexit(remember_window_position);
    catch_end_signals();
}

static void deinit()
{
    keyboard_lowlevel_callback = nullptr;
    clear_keybuf();
}

// The BIOS image: --bios, else bios/BIOS7020.bin in the working directory,
// else (said once on standard error) our open BIOS where the program is
// installed or built.
static std::string choose_bios(const frontend_options &opt)
{
    if (!opt.bios.empty() || path_exists(DEFAULT_BIOS)) return opt.bios.empty() ? DEFAULT_BIOS : opt.bios;
    const std::string open = open_bios_path();
    if (open.empty()) return DEFAULT_BIOS;
    fprintf(stderr, "ovix: no %s in the working directory: using the open BIOS %s\n", DEFAULT_BIOS, open.c_str());
    return open;
}

static int run_window_program(const frontend_options &opt)
{
    TRACE_FUNC("main()");
    // The files named on the command line are read before the window
    // opens, so that a refused cartridge ends the program at once.
    TRACE("Init mem");
    const std::string bios = choose_bios(opt);
    std::string bios_error;
    if (const char *error = MemInitFrom(bios.c_str())) {
        bios_error = bios_missing_message(bios.c_str(), error);
        fprintf(stderr, "ovix: Memory initialization failed: %s\n", bios_error.c_str());
    }
    if (!opt.cart.empty()) {
        if (const char *error = RomLoad(opt.cart.c_str())) {
            fprintf(stderr, "ovix: Not a valid ROM: %s\n", error);
            return 2;
        }
    }
    // The BIOS's names from beside its image; the files of --symbols add up
    // as the cartridge's names.
    if (bios_error.empty()) {
        std::string loaded;
        if (const char *error = symbols_load_beside_bios(bios.c_str(), &loaded))
            fprintf(stderr, "ovix: BIOS symbols not loaded: %s\n", error);
        std::string dbg_error;
        if (!srcdbg_load_beside(bios, 0xF800, 0xFFFF, &loaded, &dbg_error))
            fprintf(stderr, "ovix: BIOS debug information not loaded: %s\n", dbg_error.c_str());
    }
    for (const std::string &file : opt.symbols)
        if (const char *error = symbols_add(symbol_group::cartridge, file.c_str())) {
            fprintf(stderr, "ovix: Symbols not loaded: %s\n", error);
            return 2;
        }
    for (const std::string &file : opt.debug_info) {
        std::string error;
        if (!srcdbg_load(file.c_str(), &error)) {
            fprintf(stderr, "ovix: Debug information not loaded: %s\n", error.c_str());
            return 2;
        }
    }
    init(opt);
    get_log_str(log_box, LOG_BOX_SIZE);
    // The only answer is Abort (Escape too).
    if (!bios_error.empty()) {
        message_alert("Memory initialization failed", bios_error.c_str(), "&Abort", 'a');
        exit(1);
    }
    ovix_start();
    if (!opt.cart.empty()) {
        ovix_reset();   // as LOAD ROM does
        cartridge_loaded(opt.cart.c_str());
    }
    // --symbols and --debug-info take the place of the files beside it.
    if (!opt.cart.empty()) load_cartridge_symbols(opt.cart.c_str(), opt.symbols.empty(), opt.debug_info.empty());
    if (!opt.load_state.empty()) {
        std::string error;
        if (!snapshot_load(opt.load_state.c_str(), &error)) {
            fprintf(stderr, "ovix: Cannot load the snapshot: %s\n", error.c_str());
            return 2;
        }
        after_state_load();
    }
    // The timeline from here (the machine with its BIOS, cartridge and
    // snapshot), or the movie's; a recording from start-up.
    s_travel.rewind_seconds = opt.rewind;
    if (opt.rewind > 0) tl_begin((uint64)opt.rewind * ORLO_SUBSECONDS);
    if (!opt.play.empty()) {
        std::string error;
        if (!movie_play(opt.play, &error)) {
            fprintf(stderr, "ovix: Cannot play the movie: %s\n", error.c_str());
            return 2;
        }
    }
    if (!opt.record.empty()) movie_record(opt.record, false);
    atexit(movie_at_exit);
    if (opt.console_fd >= 0) {
        console_machine(opt.console_fd, opt.json);
        deinit();
        return 0;
    }
    if (opt.debug) {
        snprintf(debugger_status, sizeof debugger_status, "Stopped before the first instruction");
        if (!open_debugger()) return 0;
    }
    do {
        ovix_loop(0xFFFF);
    } while (open_debugger());
    deinit();
    return 0;
}

int main(int argc, char **argv)
{
    // The command line is answered before anything else: --help and
    // --version need no display and leave no trace file.
    frontend_options opt;
    const int status = parse_command_line(argc, argv, &opt);
    if (status >= 0) return status;
    return run_window_program(opt);
}
END_OF_MAIN()
