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
#include "ovix_allegro.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "main/command_line.h"
#include "main/frontend.h"
#include "main/keyqueue.h"
#include "main/loop.h"
#include "mem/memory.h"
#include "state/snapshot.h"
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
    int pictures;            // pictures shown in the current measuring window
    bool profile_on;
    bool turbo;              // the turbo key is held: fastest speed
    char default_title[256];
} s_speed;

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
    s_speed.pictures = 0;
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

static void profile()
{
    double host = host_since(s_speed.profile);
    if (host < PROFILE_WINDOW) return;
    double emulated = emulated_seconds() - s_speed.profile.emulated;
    if (emulated >= 0) {
        double mhz = emulated * ORLO_SUBSECONDS / host / 1e6;
        char title[160];
        snprintf(title, sizeof title, "Ovix - %.2f MHz emulated, x%.2f real time, %.0f pictures/s", mhz,
                 mhz * 1e6 / ORLO_SUBSECONDS, s_speed.pictures / host);
        set_window_title(title);
    }
    s_speed.profile = anchor_now();
    s_speed.pictures = 0;
}

void set_profile(bool on)
{
    s_speed.profile_on = on;
    s_speed.profile = anchor_now();
    s_speed.pictures = 0;
    set_window_title(on ? "Ovix - measuring speed" : s_speed.default_title);
}

// ---------------------------------------------------------------------------
// The window's size. While the machine runs the window is 320 x 250 times
// the scale and the picture fills it. The popups, questions, file selector
// and debugger are laid out for 640 x 500 at the window's top-left corner;
// at scale 1, where they would not fit, the window grows to 640 x 500 while
// one is shown (and while the debugger is open, its runs included) and
// goes back to 320 x 250 when the machine runs on.

static void close_button_handler() { close_request = 1; }

static struct {
    int scale = 2;
    bool debugger_open = false;   // the debugger's dialog is up
} s_window;

static constexpr int DIALOG_W = 640, DIALOG_H = 500;

static void set_window_size(int w, int h)
{
    if (!resize_window(w, h)) {
        fprintf(stderr, "ovix: the window cannot take the size %d x %d: %s\n", w, h, allegro_error);
        exit(1);
    }
    set_close_button_callback(close_button_handler);
}

static void draw_picture(BITMAP *picture);

void dialog_window()
{
    if (s_window.scale != 1 || SCREEN_W == DIALOG_W) return;
    set_window_size(DIALOG_W, DIALOG_H);
    draw_picture(nullptr);   // the machine's last picture behind the dialog
}

static void machine_window()
{
    if (SCREEN_W == 320 * s_window.scale || s_window.debugger_open) return;
    set_window_size(320 * s_window.scale, 250 * s_window.scale);
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

static constexpr auto MESSAGE_TIME = std::chrono::seconds(3);

static struct {
    bool paused;
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

static void draw_labels()
{
    if (s_over.paused) draw_label(4, 4, "PAUSED (Pause resumes)");
    if (s_over.message[0]) draw_label(4, SCREEN_H - text_height(font) - 12, s_over.message);
}

void show_message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(s_over.message, sizeof s_over.message, format, args);
    va_end(args);
    s_over.message_until = host_clock::now() + MESSAGE_TIME;
    draw_labels();
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
    machine_resume();
}

static void key_f1() { request_stop(s_run == RUN_STEP_OVER ? STOP_STEP_KEY : STOP_F1); }

static void key_pause() { s_over.paused = !s_over.paused; }

struct window_key {
    int key;             // Allegro scancode
    void (*action)();    // carried out at the frame pass after a press; null: read held
    const char *name;    // the key's name and what it does, for --help
    const char *what;
};
static constexpr window_key window_keys[] = {
    {KEY_ESC, key_escape, "Escape", "the popup menu"},
    {KEY_F1, key_f1, "F1", "stop and open the debugger"},
    {KEY_F2, nullptr, "F2", "held: port A bit 0 (the I/O processor's handshake line) high"},
    {KEY_F3, nullptr, "F3", "held: port A bit 0 low"},
    {KEY_F6, quick_save, "F6", "quick save: the machine to quick.ovs in the working directory"},
    {KEY_F9, quick_load, "F9", "quick load: the machine from quick.ovs"},
    {KEY_F12, take_screenshot, "F12", "screenshot: the 320 x 250 picture to screenNNN.png"},
    {KEY_PAUSE, key_pause, "Pause", "pause the machine, or let it go on"},
    {KEY_TAB, nullptr, "Tab", "held: fastest speed while it is held (turbo)"},
};
constexpr int WINDOW_KEYS = sizeof window_keys / sizeof window_keys[0];
static_assert(WINDOW_KEYS <= 32, "one bit per window key");

static std::atomic<uint32> s_window_presses{0};   // bit i: window_keys[i] pressed

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
// thread: it only records. The driver reports the Pause key as a toggle
// (down at one press, up at the next), so both of its events are presses.
static void keyboard_event(int scancode)
{
    keyq_push(scancode);
    if ((scancode & 0x80) && (scancode & 0x7F) != KEY_PAUSE) return;
    for (int i = 0; i < WINDOW_KEYS; i++)
        if (window_keys[i].key == (scancode & 0x7F) && window_keys[i].action)
            s_window_presses.fetch_or(1u << i, std::memory_order_relaxed);
}

// Carries out the window keys pressed since the last call and answers the
// close button (the machine goes on after the question); false when
// neither acted.
static bool window_events()
{
    const uint32 pressed = s_window_presses.exchange(0, std::memory_order_relaxed);
    for (int i = 0; i < WINDOW_KEYS; i++)
        if ((pressed & (1u << i)) && window_keys[i].action) window_keys[i].action();
    if (!close_request) return pressed != 0;
    answer_close_request();
    machine_resume();
    return true;
}

// The machine's keys come from the queue; a change waits until the I/O
// processor is in its "ready" state, where it takes it.
static int key_from_queue()
{
    static const int ready = get_state_num("ready");
    return keyq_next(cur_state == ready);
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
    stretch_blit(s_frame.shown, screen, 0, 0, 320, 250, 0, 0, SCREEN_W, SCREEN_H);
    draw_labels();
}

// The machine's picture, when it differs from the one shown.
static void frame_to_window(BITMAP *frame, void *)
{
    schedule_next_frame();
    if (!frame) return;
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
    s_frame.force = false;
    s_frame.compared = s_frame.shown ? frame : nullptr;
    s_frame.compared_serial = serial;
    s_speed.pictures++;
}

// The paused machine: its frame pass goes on here, showing the picture with
// the mark, until the pause key is pressed again or a stop is asked for
// (F1, "Call Debugger"), which ends the pause. The window keys, the popup
// and the close button act as in a run; after each the picture is drawn
// anew from the machine (a quick load or a reset may have changed it).
static void pause_machine()
{
    keyq_drain();   // keys typed before the pause are kept for the machine
    draw_picture(nullptr);
    while (s_over.paused && !ask_bkpt) {
        rest(10);
        const bool acted = window_events();
        if (message_expired() || acted) draw_picture(tms3556_redraw());
    }
    s_over.paused = false;
    if (!ask_bkpt) machine_resume();   // else the debugger opens first
}

static void after_keyboard_poll(void *)
{
    window_events();
    if (s_over.paused) pause_machine();
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

static const loop_hooks s_hooks = {frame_to_window, after_keyboard_poll, nullptr, frame_due};

const loop_hooks *window_hooks() { return &s_hooks; }

void machine_resume()
{
    machine_window();
    keyq_resume(key, KEY_MAX);
    s_window_presses.store(0, std::memory_order_relaxed);
    s_frame.force = true;
    s_frame.next_cycles = emulated_cycles();
    s_frame.next_host = host_clock::now();
    speed_restart();
}

void run_begin(run_kind kind)
{
    s_run = kind;
    s_stop = STOP_NONE;
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
    // The loop's trace prologue ("ovix_loop()") is ovix_run's.
    run_begin(RUN_NORMAL);
    const loop_result r = ovix_run((uint16)targetPC, UINT64_MAX, &s_hooks);
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

static void init(int scale)
{
    if (allegro_init() != 0) {
        fprintf(stderr, "ovix: no display could be opened (%s); the window program needs a graphical session"
                        " (the headless runner ovix-headless does not)\n",
                allegro_error[0] ? allegro_error : "the graphics library could not start");
        exit(1);
    }
    int depth = desktop_color_depth();
    if (depth == 0) depth = 16;
    set_color_depth(depth);
    s_window.scale = scale;
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 320 * scale, 250 * scale, 0, 0) != 0) {
        fprintf(stderr, "ovix: no display could be opened: %s\n", allegro_error);
        allegro_message("%s", allegro_error);
        exit(-1);
    }
    install_timer();
    install_keyboard();
    install_mouse();
    ovix_key_source = key_from_queue;
    keyboard_lowlevel_callback = keyboard_event;

    char exe[1024];
    get_executable_name(exe, sizeof exe);
    snprintf(s_speed.default_title, sizeof s_speed.default_title, "%s", get_filename(exe));
    set_close_button_callback(close_button_handler);
}

static void deinit()
{
    keyboard_lowlevel_callback = nullptr;
    clear_keybuf();
}

static int run_window_program(const frontend_options &opt)
{
    TRACE_FUNC("main()");
    // The files named on the command line are read before the window
    // opens, so that a refused cartridge ends the program at once.
    TRACE("Init mem");
    const std::string bios = opt.bios.empty() ? DEFAULT_BIOS : opt.bios;
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
    if (!opt.symbols.empty()) {
        if (const char *error = symbols_load(opt.symbols.c_str())) {
            fprintf(stderr, "ovix: Symbols not loaded: %s\n", error);
            return 2;
        }
    }
    init(opt.scale);
    get_log_str(log_box, LOG_BOX_SIZE);
    if (!bios_error.empty() && message_alert("Memory initialization failed", bios_error.c_str(), "&Abort", 'a') == 1)
        exit(1);
    tms7000_reset(nullptr);
    tms3556_init(0x8000);
    tms3556_reset();
    io_cpu_callback(0);
    if (!opt.cart.empty()) ovix_reset();   // as LOAD ROM does
    if (!opt.cart.empty() && opt.symbols.empty()) load_cartridge_symbols(opt.cart.c_str());
    if (!opt.load_state.empty()) {
        std::string error;
        if (!snapshot_load(opt.load_state.c_str(), &error)) {
            fprintf(stderr, "ovix: Cannot load the snapshot: %s\n", error.c_str());
            return 2;
        }
        after_state_load();
    }
    exact = opt.fast ? 0 : 1;
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
