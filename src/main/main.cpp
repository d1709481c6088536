// Program entry of the window program and its emulation loop.
//
// Start-up brings up the library and the 640 x 500 window, loads the BIOS,
// resets the chips, starts the I/O processor and runs the machine until the
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
// (Escape, F1), answers the close button, paces and measures the speed.
//
// Pacing keeps emulated time in step with real time without drift: both are
// measured from one anchor instant, emulated time from the emulated clock
// (which only the executed cycles advance), and the loop sleeps the
// difference when it is ahead. After a pause (a dialog, the debugger) or a
// host too slow to keep up, the anchor moves to the present instead of the
// machine racing to catch up.
#include "ovix_allegro.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "main/frontend.h"
#include "main/keyqueue.h"
#include "main/loop.h"
#include "mem/memory.h"
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
    char default_title[256];
} s_speed;

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
// The window keys: host keys the front end keeps for itself. None of them
// is a key of the machine. A press is recorded by the keyboard callback and
// carried out at the next frame pass, so that a tap shorter than a frame
// still acts; F2 and F3 are read held, by the loop after every instruction.

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

struct window_key {
    int key;             // Allegro scancode
    void (*action)();    // carried out at the frame pass after a press; null: read held
};
static constexpr window_key window_keys[] = {
    {KEY_ESC, key_escape},   // the popup menu; stops a step over
    {KEY_F1, key_f1},        // stop into the debugger
    {KEY_F2, nullptr},       // held: port A bit 0 high
    {KEY_F3, nullptr},       // held: port A bit 0 low
};
static_assert(sizeof window_keys / sizeof window_keys[0] <= 32, "one bit per window key");

static std::atomic<uint32> s_window_presses{0};   // bit i: window_keys[i] pressed

// Allegro's keyboard driver calls this for every key event, from its own
// thread: it only records.
static void keyboard_event(int scancode)
{
    keyq_push(scancode);
    if (scancode & 0x80) return;
    for (size_t i = 0; i < sizeof window_keys / sizeof window_keys[0]; i++)
        if (window_keys[i].key == scancode && window_keys[i].action)
            s_window_presses.fetch_or(1u << i, std::memory_order_relaxed);
}

static void window_key_actions()
{
    const uint32 pressed = s_window_presses.exchange(0, std::memory_order_relaxed);
    for (size_t i = 0; i < sizeof window_keys / sizeof window_keys[0]; i++)
        if ((pressed & (1u << i)) && window_keys[i].action) window_keys[i].action();
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
} s_frame;

static bool frame_due(void *)
{
    if (!exact) return host_clock::now() >= s_frame.next_host;
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

// The machine's 320 x 250 picture, doubled to the window, when it differs
// from the one shown.
static void frame_to_window(BITMAP *frame, void *)
{
    schedule_next_frame();
    if (!frame) return;
    const int w = MIN(frame->w, 320), h = MIN(frame->h, 250);
    if (!s_frame.shown) s_frame.shown = create_bitmap_ex(bitmap_color_depth(frame), 320, 250);
    if (!s_frame.force && s_frame.shown && same_picture(frame, s_frame.shown, w, h)) return;
    if (s_frame.shown) blit(frame, s_frame.shown, 0, 0, 0, 0, w, h);
    stretch_blit(frame, screen, 0, 0, 320, 250, 0, 0, 640, 500);
    s_frame.force = false;
    s_speed.pictures++;
}

static void after_keyboard_poll(void *)
{
    window_key_actions();
    if (close_request) {
        answer_close_request();
        machine_resume();
    }
    if (exact) pace();
    if (s_speed.profile_on) profile();
}

static const loop_hooks s_hooks = {frame_to_window, after_keyboard_poll, nullptr, frame_due};

const loop_hooks *window_hooks() { return &s_hooks; }

void machine_resume()
{
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
    // The F1 or Escape that stopped the run must not act on the debugger.
    while (key[KEY_F1] || key[KEY_ESC]) rest(1);
    clear_keybuf();
    s_run = RUN_NORMAL;
}

void note_stop(loop_stop reason, uint16 target)
{
    stop_reason_text(debugger_status, sizeof debugger_status, reason, s_stop, ask_bkpt != 0, target);
}

int ovix_loop(int targetPC)
{
    // The loop's trace prologue ("ovix_loop()") is ovix_run's.
    run_begin(RUN_NORMAL);
    const loop_result r = ovix_run((uint16)targetPC, UINT64_MAX, &s_hooks);
    note_stop(r.reason, (uint16)targetPC);
    run_end();
    debugger_refresh();
    return D_REDRAW;
}

void allegro_keyb()
{
    // Only the key buffer: the keyboard callback records the machine's keys.
    clear_keybuf();
}

// ---------------------------------------------------------------------------
// Start-up and shutdown.

static void init()
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
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 500, 0, 0) != 0) {
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
    do {
        ovix_loop(0xFFFF);
    } while (debugger());
    deinit();
    return 0;
}
END_OF_MAIN()
