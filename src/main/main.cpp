// Program entry of the window program and its emulation loop.
//
// Start-up brings up the library and the 640 x 500 window, loads the BIOS,
// resets the chips, starts the I/O processor and runs the machine until the
// debugger is asked for; leaving the debugger ends the program.
//
// The loop's per-instruction work is the shared ovix_run (loop.h); the
// window adds two hooks at each frame pass (every 100000 instructions): the
// frame is stretched to the window before the keyboard poll, and after it
// Escape opens the fast popup, the close button is answered, the speed is
// paced against the host clock (when `exact` is set) and measured (when the
// profile is on).
//
// Pacing keeps emulated time in step with real time without drift: both are
// measured from one anchor instant, emulated time from the emulated clock
// (which only the executed cycles advance), and the loop sleeps the
// difference when it is ahead. After a pause (a dialog, the debugger) or a
// host too slow to keep up, the anchor moves to the present instead of the
// machine racing to catch up.
#include "ovix_allegro.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "main/frontend.h"
#include "main/loop.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

volatile int vbl = 0;
volatile int close_request = 0;

using host_clock = std::chrono::steady_clock;

// A host instant and the emulated time (seconds) at that instant.
struct speed_anchor {
    host_clock::time_point host;
    double emulated;
};

static struct {
    speed_anchor pace;       // pacing: measured from here
    speed_anchor profile;    // profile: the current measuring window
    bool profile_on;
    char default_title[256];
} s_speed;

// Behind real time by more than this, pacing gives up catching up.
static constexpr double PACE_MAX_LAG = 0.25;
// The profile title is updated once per measuring window of this length.
static constexpr double PROFILE_WINDOW = 1.0;

static double emulated_seconds()
{
    orlo_time t = orlo_get_time();
    return t.seconds + (double)t.subseconds / ORLO_SUBSECONDS;
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
        char title[128];
        snprintf(title, sizeof title, "Ovix - %.2f MHz emulated, x%.2f real time", mhz,
                 mhz * 1e6 / ORLO_SUBSECONDS);
        set_window_title(title);
    }
    s_speed.profile = anchor_now();
}

void set_profile(bool on)
{
    s_speed.profile_on = on;
    s_speed.profile = anchor_now();
    set_window_title(on ? "Ovix - measuring speed" : s_speed.default_title);
}

// ---------------------------------------------------------------------------
// The close button.

static void close_button_handler() { close_request = 1; }

void answer_close_request()
{
    if (!close_request) return;
    close_request = 0;
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

// ---------------------------------------------------------------------------
// The emulation loop.

static void frame_to_window(BITMAP *frame, void *)
{
    if (frame) stretch_blit(frame, screen, 0, 0, 320, 250, 0, 0, 640, 500);
}

static void after_keyboard_poll(void *)
{
    bool paused = false;
    if (key[KEY_ESC]) {
        fastPopup();
        // The Escape that closed the popup may still be held: wait for its
        // release so that it does not open the popup again at once.
        while (key[KEY_ESC]) rest(1);
        paused = true;
    }
    if (close_request) {
        answer_close_request();
        paused = true;
    }
    if (paused) {
        speed_restart();
        return;
    }
    if (exact) pace();
    if (s_speed.profile_on) profile();
}

int ovix_loop(int targetPC)
{
    // The loop's trace prologue ("ovix_loop()") is ovix_run's.
    static const loop_hooks hooks = {frame_to_window, after_keyboard_poll, nullptr};
    speed_restart();
    ovix_run((uint16)targetPC, UINT64_MAX, &hooks);
    while (key[KEY_F1]) rest(1);
    // Keys typed while the machine ran were meant for it: the F1 that
    // stopped it would otherwise reach the debugger and switch on the
    // per-instruction trace.
    clear_keybuf();
    debugger_refresh();
    return D_REDRAW;
}

void allegro_keyb()
{
    keyboard_lowlevel_callback = nullptr;
    clear_keybuf();
}

// ---------------------------------------------------------------------------
// Start-up and shutdown.

static void vblupdate() { vbl = vbl + 1; }
END_OF_STATIC_FUNCTION(vblupdate)

static void init()
{
    allegro_init();
    int depth = desktop_color_depth();
    if (depth == 0) depth = 16;
    set_color_depth(depth);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 500, 0, 0) != 0) {
        allegro_message("%s", allegro_error);
        exit(-1);
    }
    install_timer();
    install_keyboard();
    install_mouse();
    install_int_ex(vblupdate, 1988);

    char exe[1024];
    get_executable_name(exe, sizeof exe);
    snprintf(s_speed.default_title, sizeof s_speed.default_title, "%s", get_filename(exe));
    set_close_button_callback(close_button_handler);
}

static void deinit() { clear_keybuf(); }

int main()
{
    TRACE_FUNC("main()");
    init();
    get_log_str(log_box, LOG_BOX_SIZE);
    TRACE("Init mem");
    const char *error = MemInit();
    if (error && alert("Memory initialization failed", error, nullptr, "&Abort", nullptr, 'a', 0) == 1)
        exit(1);
    tms7000_reset(nullptr);
    tms3556_init(0x8000);
    tms3556_reset();
    io_cpu_callback(0);
    ovix_loop(0xFFFF);
    debugger();
    deinit();
    return 0;
}
END_OF_MAIN()
