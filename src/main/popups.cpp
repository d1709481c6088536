// Popups and alerts: the fast popup that Escape opens while the machine
// runs (with the snapshot and screenshot commands), the options popup, the
// recent cartridges, the quit, reset and About questions, the message box,
// the file selectors and the cartridge command. The popups are dialogs
// laid out for a 640 x 500 window, placed in the middle of the screen and
// run with popup_dialog, which restores the screen under them when they
// close.
#include "main/ovix_allegro.h"

#include <allegro/internal/aintern.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "debug/debugger_text.h"
#include "host/files.h"
#include "main/frontend.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "state/timeline.h"

namespace fs = std::filesystem;

int exact = 1;

static char *txt(const char *s) { return const_cast<char *>(s); }

static constexpr DIALOG END_OF_DIALOG = {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr};
static constexpr DIALOG IDLE_OBJECT = {frontend_yield_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr};

// The fast popup, laid out from its table of entries: each button goes
// below the one before (with the gap the entry asks for), in a frame that
// grows to hold them all. An entry is added here and nowhere else; an
// entry with a `label` function has a label that changes (the slot).
struct popup_entry {
    const char *label;
    void (*action)();   // null: shown greyed, cannot be chosen
    int gap;            // extra pixels above the button
    void (*make_label)(char *text, size_t size);
};

static void fast_load_rom() { ovix_load_rom(); }
static void fast_debugger() { request_stop(STOP_POPUP); }
static void fast_reset();
static void fast_exit()
{
    if (quit() == D_CLOSE) exit(0);
}
static void quick_save_label(char *text, size_t size)
{
    snprintf(text, size, "Quick save (F6): slot %d", quick_slot());
}
static void quick_load_label(char *text, size_t size)
{
    snprintf(text, size, "Quick load (F9): slot %d", quick_slot());
}
static void movie_label(char *text, size_t size)
{
    snprintf(text, size, "%s", movie_recording() ? "Stop recording (F10)" : "Record a movie (F10)");
}

static const popup_entry fast_entries[] = {
    {"LOAD ROM", fast_load_rom, 0, nullptr},
    {"Recent cartridges", recent_popup, 0, nullptr},
    {"Don't press here", nullptr, 0, nullptr},
    {"Call Debugger", fast_debugger, 10, nullptr},
    {"Set options", optionsPopup, 0, nullptr},
    {"RESET", fast_reset, 0, nullptr},
    {"Save state", save_state_as, 10, nullptr},
    {"Load state", load_state_from, 0, nullptr},
    {"Quick save (F6)", quick_save, 0, quick_save_label},
    {"Quick load (F9)", quick_load, 0, quick_load_label},
    {"Screenshot (F12)", take_screenshot, 0, nullptr},
    {"Record a movie (F10)", toggle_movie, 0, movie_label},
    {"Play a movie", play_movie_from, 0, nullptr},
    {"EXIT", fast_exit, 10, nullptr},
};
constexpr int FAST_ENTRIES = sizeof fast_entries / sizeof fast_entries[0];

// Frame, the entries, "Return", the idle object, the end marker.
static DIALOG fast_popup[1 + FAST_ENTRIES + 3];
static char fast_labels[FAST_ENTRIES][48];
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
                             fast_labels[i], nullptr, nullptr};
        y += ROW;
    }
    y += 10;
    fast_popup[FAST_RETURN] = {d_button_proc, X + 144, y, W - 154, 16, 0, 0, 0, D_EXIT, 0, 0, txt("Return"),
                               nullptr, nullptr};
    fast_popup[0].h = y + 20 - Y;
    fast_popup[FAST_RETURN + 1] = IDLE_OBJECT;
    fast_popup[FAST_RETURN + 2] = END_OF_DIALOG;
}

// Colours, placement, an empty key buffer (the Escape that opened the
// popup and keys typed for the machine must not act on it), then the popup
// itself. `x`, `y`: its top-left corner in the 640 x 500 layout.
static int run_popup(DIALOG *dialog, int x = 20, int y = 10, int focus = -1)
{
    dialog_window();
    place_dialog(dialog, x, y);
    set_gray_gui_colors();
    set_dialog_color(dialog, gui_fg_color, gui_bg_color);
    clear_keybuf();
    return popup_dialog(dialog, focus);
}

static int reset_question();

void fastPopup()
{
    if (!fast_popup[0].proc) layout_fast_popup();
    for (int i = 0; i < FAST_ENTRIES; i++) {
        if (fast_entries[i].make_label)
            fast_entries[i].make_label(fast_labels[i], sizeof fast_labels[i]);
        else
            snprintf(fast_labels[i], sizeof fast_labels[i], "%s", fast_entries[i].label);
    }
    const int chosen = run_popup(fast_popup);
    // "Return" or Escape (-1): the machine goes on. An entry is carried out
    // between two runs: most of them replace the machine or stop it.
    if (chosen >= 1 && chosen <= FAST_ENTRIES && fast_entries[chosen - 1].action)
        between_runs(fast_entries[chosen - 1].action);
}

static void fast_reset()
{
    // Escape dismisses the question: neither answer is carried out.
    dialog_window();
    switch (reset_question()) {
    case 1: ovix_reset(); break;
    case 2: {
        // A cold start begins a new timeline: a recording ends there.
        const std::string recorded = movie_so_far();
        ovix_power_on();
        const std::string note = movie_replaced(recorded);
        if (!note.empty()) show_message("Turned off and on%s", note.c_str());
        break;
    }
    default: break;
    }
}

// ---------------------------------------------------------------------------
// The options popup: speed, profile, the window's scale and fullscreen. The
// setting in effect is marked "(active)" (the scale's button "[N]").

enum { OPT_FASTEST = 1, OPT_5MHZ, OPT_PROFILE_ON, OPT_PROFILE_OFF, OPT_SCALE_TEXT, OPT_SCALE1, OPT_SCALE4 = OPT_SCALE1 + 3,
       OPT_FULLSCREEN, OPT_RETURN, OPT_YIELD };

static char fastest_label[40], mhz_label[40], profile_on_label[40], profile_off_label[40], fullscreen_label[40];
static char scale_labels[4][8];

static DIALOG options_popup[] = {
    /* proc              x    y    w    h   fg bg key flags       d1 d2 dp */
    {d_shadow_box_proc,  20,  10,  280, 180, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,      30,  30,  260, 16,  0, 0, 0, D_EXIT,     0, 0, fastest_label, nullptr, nullptr},
    {d_button_proc,      30,  50,  260, 16,  0, 0, 0, D_EXIT,     0, 0, mhz_label, nullptr, nullptr},
    {d_button_proc,      30,  70,  260, 16,  0, 0, 0, D_EXIT,     0, 0, profile_on_label, nullptr, nullptr},
    {d_button_proc,      30,  90,  260, 16,  0, 0, 0, D_EXIT,     0, 0, profile_off_label, nullptr, nullptr},
    {d_text_proc,        30,  124, 112, 8,   0, 0, 0, 0,          0, 0, txt("Window scale"), nullptr, nullptr},
    {d_button_proc,      146, 120, 32,  16,  0, 0, 0, D_EXIT,     0, 0, scale_labels[0], nullptr, nullptr},
    {d_button_proc,      182, 120, 32,  16,  0, 0, 0, D_EXIT,     0, 0, scale_labels[1], nullptr, nullptr},
    {d_button_proc,      218, 120, 32,  16,  0, 0, 0, D_EXIT,     0, 0, scale_labels[2], nullptr, nullptr},
    {d_button_proc,      254, 120, 36,  16,  0, 0, 0, D_EXIT,     0, 0, scale_labels[3], nullptr, nullptr},
    {d_button_proc,      30,  140, 260, 16,  0, 0, 0, D_EXIT,     0, 0, fullscreen_label, nullptr, nullptr},
    {d_button_proc,      164, 170, 126, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Return"), nullptr, nullptr},
    IDLE_OBJECT,
    END_OF_DIALOG,
};
static_assert(OPT_YIELD == 12, "the options popup's objects");

void optionsPopup()
{
    auto active = [](char *label, size_t size, const char *text, bool on) {
        snprintf(label, size, "%s%s", text, on ? " (active)" : "");
    };
    active(fastest_label, sizeof fastest_label, "Set fastest speed", !exact);
    active(mhz_label, sizeof mhz_label, "Set 5MHz speed", exact);
    active(profile_on_label, sizeof profile_on_label, "Turn Profile ON", profile_on());
    active(profile_off_label, sizeof profile_off_label, "Turn Profile OFF", !profile_on());
    active(fullscreen_label, sizeof fullscreen_label, "Fullscreen (F11)", fullscreen_on());
    for (int i = 0; i < 4; i++)
        snprintf(scale_labels[i], sizeof scale_labels[i], window_scale() == i + 1 ? "[%d]" : "%d", i + 1);
    const int chosen = run_popup(options_popup);
    switch (chosen) {
    case OPT_FASTEST:
    case OPT_5MHZ:
        exact = chosen == OPT_5MHZ;
        settings().fastest = !exact;
        save_settings();
        break;
    case OPT_PROFILE_ON: set_profile(true); break;
    case OPT_PROFILE_OFF: set_profile(false); break;
    case OPT_FULLSCREEN: toggle_fullscreen(); break;
    default:
        // The window takes the new scale when the machine runs on.
        if (chosen >= OPT_SCALE1 && chosen <= OPT_SCALE4) set_window_scale(chosen - OPT_SCALE1 + 1);
        break;
    }
}

// ---------------------------------------------------------------------------
// Questions and messages.

// "Really Quit?" with "No" as the default answer: Enter (or Escape) after a
// stray Escape does not end the program.
int quit()
{
    static DIALOG question[] = {
        /* proc             x    y    w    h   fg bg key  flags   d1 d2 dp */
        {d_shadow_box_proc, 0,   0,   240, 64, 0, 0, 0,   0,      0, 0, nullptr, nullptr, nullptr},
        {d_ctext_proc,      120, 12,  0,   8,  0, 0, 0,   0,      0, 0, txt("Really Quit?"), nullptr, nullptr},
        {d_button_proc,     24,  36,  88,  16, 0, 0, 'y', D_EXIT, 0, 0, txt("&Yes"), nullptr, nullptr},
        {d_button_proc,     128, 36,  88,  16, 0, 0, 'n', D_EXIT, 0, 0, txt("&No"), nullptr, nullptr},
        IDLE_OBJECT,
        END_OF_DIALOG,
    };
    dialog_window();
    set_dialog_color(question, gui_fg_color, gui_bg_color);
    centre_dialog(question);
    clear_keybuf();
    return popup_dialog(question, 3) == 2 ? D_CLOSE : D_REDRAW;
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

// The lines a text box of width w shows of `text`, as the dialog manager
// wraps it.
static int textbox_lines(char *text, int w)
{
    int lines = 0;
    _draw_textbox(text, &lines, 0, 0, TRUE, 8, 0, 0, w, 0, 0, 0, 0, 0);
    return lines;
}

int message_alert(const char *title, const char *message, const char *button, int shortcut)
{
    dialog_window();
    static char text[4096];
    snprintf(text, sizeof text, "%s: %s", title, message);
    // As wide as 72 characters and as high as the text, up to the screen's
    // height; a longer text scrolls in its box.
    const int w = MIN(600, SCREEN_W - 8), box_w = w - 20;
    const int most = (SCREEN_H - 64) / text_height(font);
    int lines = textbox_lines(text, box_w);
    if (lines > most) lines = most;
    const int box_h = lines * text_height(font) + 8, h = box_h + 48;
    DIALOG box[] = {
        {d_shadow_box_proc, 0, 0, w, h, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
        {d_textbox_proc, 10, 10, box_w, box_h, 0, 0, 0, 0, 0, 0, text, nullptr, nullptr},
        {d_button_proc, (w - 100) / 2, h - 26, 100, 16, 0, 0, shortcut, D_EXIT, 0, 0, txt(button), nullptr, nullptr},
        IDLE_OBJECT,
        END_OF_DIALOG,
    };
    set_dialog_color(box, gui_fg_color, gui_bg_color);
    centre_dialog(box);
    clear_keybuf();
    popup_dialog(box, 2);
    return 1;
}

// ---------------------------------------------------------------------------
// File selectors: the library's, opened in a folder with an empty name,
// showing one kind of file; F2 switches to all files and back. F2 closes
// the selector as Escape would (the keyboard callback changes the key) and
// it opens again with the other filter and what was typed.

static struct {
    bool open;        // a selector of choose_file is up
    bool switched;    // F2 was pressed in it
} s_chooser;

static int chooser_key(int k)
{
    if (!s_chooser.open || (k >> 8) != KEY_F2) return k;
    s_chooser.switched = true;
    return KEY_ESC << 8 | 27;
}

bool choose_file(const char *title, const char *kind, const char *extensions, const std::string &folder,
                 std::string *chosen)
{
    dialog_window();
    char path[6144] = "";
    std::error_code ec;
    if (!folder.empty() && fs::is_directory(folder, ec)) snprintf(path, sizeof path, "%s/", folder.c_str());
    bool all = false;
    for (;;) {
        char heading[160];
        if (all)
            snprintf(heading, sizeof heading, "%s - all files (F2: %s)", title, kind);
        else
            snprintf(heading, sizeof heading, "%s - %s (F2: all files)", title, kind);
        s_chooser = {true, false};
        int (*previous)(int) = keyboard_callback;
        keyboard_callback = chooser_key;
        const int ok = file_select_ex(heading, path, all ? nullptr : extensions, sizeof path, 480, 384);
        keyboard_callback = previous;
        s_chooser.open = false;
        if (s_chooser.switched) {
            all = !all;
            continue;
        }
        // Cancel (or Escape): nothing happens.
        if (!ok) return false;
        *chosen = path;
        return true;
    }
}

std::string folder_of(const std::string &path)
{
    std::error_code ec;
    const fs::path full = fs::absolute(path, ec);
    return ec ? std::string() : full.lexically_normal().parent_path().string();
}

// ---------------------------------------------------------------------------
// Cartridges.

bool load_cartridge_file(const char *path)
{
    // The loader reads and checks the whole file before it touches the
    // running cartridge: a refused file leaves the machine as it was (and
    // a recording goes on).
    const std::string recorded = movie_so_far();
    if (const char *error = RomLoad(path)) {
        message_alert("Not a valid ROM", error);
        return false;
    }
    ovix_reset();
    tl_restart();   // another cartridge: a new timeline
    cartridge_loaded(path);
    load_cartridge_symbols(path);
    const std::string note = movie_replaced(recorded);
    if (!note.empty()) show_message("Loaded %s%s", get_filename(path), note.c_str());
    return true;
}

int ovix_load_rom()
{
    std::string path;
    if (choose_file("Load an OVIX ROM image", "ROM images", "rom;bin", settings().cart_folder, &path))
        load_cartridge_file(path.c_str());
    return D_REDRAW;
}

// The recent cartridges, newest first, a button each; the label is the
// path, its start cut away when it is too long.
void recent_popup()
{
    constexpr int X = 20, Y = 10, W = 440, ROW = 20;
    static char labels[SETTINGS_RECENT][4096];
    static DIALOG popup[1 + 1 + SETTINGS_RECENT + 3];
    const std::vector<std::string> recent = settings().recent;   // a copy: loading changes the list
    int n = 0, y = Y + 8;
    popup[n++] = {d_shadow_box_proc, X, Y, W, 0, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr};
    popup[n++] = {d_text_proc, X + 10, y, W - 20, 8, 0, 0, 0, 0, 0, 0,
                  txt(recent.empty() ? "No cartridge loaded yet" : "Recent cartridges"), nullptr, nullptr};
    y += 16;
    for (size_t i = 0; i < recent.size() && i < (size_t)SETTINGS_RECENT; i++) {
        const std::string &p = recent[i];
        size_t cut = 0;   // characters cut away from the start
        for (;;) {
            snprintf(labels[i], sizeof labels[i], "%s%s", cut ? "..." : "", p.c_str() + cut);
            if (gui_strlen(labels[i]) <= W - 28 || cut >= p.size()) break;
            cut++;
        }
        popup[n++] = {d_button_proc, X + 10, y, W - 20, 16, 0, 0, 0, D_EXIT, 0, 0, labels[i], nullptr, nullptr};
        y += ROW;
    }
    y += 6;
    const int back = n;
    popup[n++] = {d_button_proc, X + W - 136, y, 126, 16, 0, 0, 0, D_EXIT, 0, 0, txt("Return"), nullptr, nullptr};
    popup[0].h = y + 24 - Y;
    popup[n++] = IDLE_OBJECT;
    popup[n] = END_OF_DIALOG;
    const int chosen = run_popup(popup);
    if (chosen >= 2 && chosen < back) load_cartridge_file(recent[chosen - 2].c_str());
}
