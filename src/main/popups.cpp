// Popups and alerts: the fast popup that Escape opens while the machine
// runs (with the snapshot and screenshot commands), the options popup, the
// quit, reset and About questions, and the cartridge command. The popups are dialogs at absolute positions run with
// popup_dialog, which restores the screen under them when they close.
#include "ovix_allegro.h"

#include <cstdio>
#include <cstdlib>

#include "debug/debugger_text.h"
#include "main/frontend.h"
#include "main/loop.h"
#include "mem/memory.h"

int exact = 1;

static char *txt(const char *s) { return const_cast<char *>(s); }

// The fast popup, laid out from its table of entries: each button goes
// below the one before (with the gap the entry asks for), in a frame that
// grows to hold them all. An entry is added here and nowhere else.
struct popup_entry {
    const char *label;
    void (*action)();   // null: shown greyed, cannot be chosen
    int gap;            // extra pixels above the button
};

static void fast_load_rom() { ovix_load_rom(); }
static void fast_debugger() { request_stop(STOP_POPUP); }
static void fast_reset();
static void fast_exit()
{
    if (quit() == D_CLOSE) exit(0);
}

static const popup_entry fast_entries[] = {
    {"LOAD ROM", fast_load_rom, 0},
    {"Don't press here", nullptr, 0},
    {"Call Debugger", fast_debugger, 10},
    {"Set options", optionsPopup, 0},
    {"RESET", fast_reset, 0},
    {"Save state", save_state_as, 10},
    {"Load state", load_state_from, 0},
    {"Quick save (F6)", quick_save, 0},
    {"Quick load (F9)", quick_load, 0},
    {"Screenshot (F12)", take_screenshot, 0},
    {"EXIT", fast_exit, 10},
};
constexpr int FAST_ENTRIES = sizeof fast_entries / sizeof fast_entries[0];

// Frame, the entries, "Return", the idle object, the end marker.
static DIALOG fast_popup[1 + FAST_ENTRIES + 3];
constexpr int FAST_RETURN = 1 + FAST_ENTRIES;

static void layout_fast_popup()
{
    constexpr int X = 20, Y = 10, W = 280, ROW = 20;
    int y = Y + 20;
    fast_popup[0] = {d_shadow_box_proc, X, Y, W, 0, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr};
    for (int i = 0; i < FAST_ENTRIES; i++) {
        const popup_entry &e = fast_entries[i];
        y += e.gap;
        fast_popup[1 + i] = {d_button_proc, X + 10, y, W - 20, 16, 0, 0, 0, e.action ? D_EXIT : D_DISABLED, 0, 0,
                             txt(e.label), nullptr, nullptr};
        y += ROW;
    }
    y += 10;
    fast_popup[FAST_RETURN] = {d_button_proc, X + 144, y, W - 154, 16, 0, 0, 0, D_EXIT, 0, 0, txt("Return"),
                               nullptr, nullptr};
    fast_popup[0].h = y + 20 - Y;
    fast_popup[FAST_RETURN + 1] = {frontend_yield_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr};
    fast_popup[FAST_RETURN + 2] = {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr};
}

enum { OPT_FASTEST = 1, OPT_5MHZ = 2, OPT_PROFILE_ON = 3, OPT_PROFILE_OFF = 4, OPT_RETURN = 5,
       OPT_YIELD = 6 };

// The speed buttons' labels: the active speed is marked.
static char fastest_label[40], mhz_label[40];

static DIALOG options_popup[] = {
    /* proc              x    y    w    h   fg bg key flags       d1 d2 dp */
    {d_shadow_box_proc,  20,  10,  280, 180, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,      30,  30,  260, 16,  0, 0, 0, D_EXIT,     0, 0, fastest_label, nullptr, nullptr},
    {d_button_proc,      30,  50,  260, 16,  0, 0, 0, D_EXIT,     0, 0, mhz_label, nullptr, nullptr},
    {d_button_proc,      30,  70,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Turn Profile ON"), nullptr, nullptr},
    {d_button_proc,      30,  90,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Turn Profile OFF"), nullptr, nullptr},
    {d_button_proc,      164, 170, 126, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Return"), nullptr, nullptr},
    {frontend_yield_proc, 0,  0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
    {nullptr,            0,   0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
};

// Colours, an empty key buffer (the Escape that opened the popup and keys
// typed for the machine must not act on it), then the popup itself.
static int run_popup(DIALOG *dialog)
{
    dialog_window();
    set_gray_gui_colors();
    set_dialog_color(dialog, gui_fg_color, gui_bg_color);
    clear_keybuf();
    return popup_dialog(dialog, -1);
}

static int reset_question();

void fastPopup()
{
    if (!fast_popup[0].proc) layout_fast_popup();
    const int chosen = run_popup(fast_popup);
    // "Return" or Escape (-1): the machine goes on.
    if (chosen >= 1 && chosen <= FAST_ENTRIES && fast_entries[chosen - 1].action)
        fast_entries[chosen - 1].action();
}

static void fast_reset()
{
    // Escape dismisses the question: neither answer is carried out.
    switch (reset_question()) {
    case 1: ovix_reset(); break;
    case 2: ovix_power_on(); break;
    default: break;
    }
}

void optionsPopup()
{
    snprintf(fastest_label, sizeof fastest_label, "Set fastest speed%s", exact ? "" : " (active)");
    snprintf(mhz_label, sizeof mhz_label, "Set 5MHz speed%s", exact ? " (active)" : "");
    switch (run_popup(options_popup)) {
    case OPT_FASTEST: exact = 0; break;
    case OPT_5MHZ: exact = 1; break;
    case OPT_PROFILE_ON: set_profile(true); break;
    case OPT_PROFILE_OFF: set_profile(false); break;
    default: break;
    }
}

int quit()
{
    return alert("Really Quit?", nullptr, nullptr, "&Yes", "&No", 'y', 'n') == 1 ? D_CLOSE : D_REDRAW;
}

// The reset question: 1 for "&RESET", 2 for "&Turn Off", 3 when Escape
// dismissed it. (alert() reports Escape as its second button, which here
// would mean a cold start; its three-button form without a third button
// tells Escape apart.)
static int reset_question()
{
    return alert3("What to do?", nullptr, nullptr, "&RESET", "&Turn Off", nullptr, 'r', 't', 0);
}

int reset_or_turnout()
{
    return reset_question() == 1 ? 1 : 2;
}

int about()
{
    // The alert draws no line breaks: the two lines of the text go to its
    // first two lines.
    alert("Ovix emulator prototype", "version alpha 0.3- 07/12/2009", nullptr, "&OK", "&No", 'y', 'n');
    return D_REDRAW;
}

int message_alert(const char *title, const char *message, const char *button, int shortcut)
{
    dialog_window();
    // The alert draws no line breaks and no line wider than the window:
    // the title and the message share its three lines.
    char text[1400];
    snprintf(text, sizeof text, "%s: %s", title, message);
    const alert_lines lines = wrap_alert_text(text, 72);
    return alert(lines.line[0], lines.line[1][0] ? lines.line[1] : nullptr,
                 lines.line[2][0] ? lines.line[2] : nullptr, button, nullptr, shortcut, 0);
}

int ovix_load_rom()
{
    char path[6144] = "";
    // Cancel (or Escape) in the selector: nothing happens.
    if (!file_select_ex("Load an OVIX ROM image", path, nullptr, 1024, 480, 384)) return D_REDRAW;
    // The loader reads and checks the whole file before it touches the
    // running cartridge: a refused file leaves the machine as it was.
    if (const char *error = RomLoad(path)) {
        message_alert("Not a valid ROM", error);
        return D_REDRAW;
    }
    ovix_reset();
    load_cartridge_symbols(path);
    return D_REDRAW;
}
