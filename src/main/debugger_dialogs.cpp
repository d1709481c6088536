// The debugger's dialogs over the debugger engine (debug/engine.h): the
// breakpoints, the watchpoints, the call stack, the history of executed
// instructions, a change of a register or of memory, and a pass of the
// recorded time to go to. Each is a small Allegro dialog placed over the
// debugger, run until it is closed; its buttons act on the engine and the
// dialog shows the result at once (or says in its message line why not).
#include "main/ovix_allegro.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/engine.h"
#include "debug/expr.h"
#include "main/frontend.h"
#include "machine/loop.h"
#include "state/timeline.h"

static char *txt(const char *s) { return const_cast<char *>(s); }

// The lines a list box shows, and its getter.
static std::vector<std::string> s_lines;
static char *list_getter(int index, int *size)
{
    if (index < 0) {
        *size = (int)s_lines.size();
        return nullptr;
    }
    return (size_t)index < s_lines.size() ? const_cast<char *>(s_lines[(size_t)index].c_str()) : nullptr;
}

// An edit field drawn white in a frame, so that it can be seen and hit.
static int framed_edit_proc(int msg, DIALOG *d, int c)
{
    if (msg == MSG_DRAW) {
        rectfill(gui_get_screen(), d->x - 2, d->y - 2, d->x + d->w + 1, d->y + d->h + 1, makecol(255, 255, 255));
        rect(gui_get_screen(), d->x - 2, d->y - 2, d->x + d->w + 1, d->y + d->h + 1, gui_fg_color);
        const int bg = d->bg;
        d->bg = makecol(255, 255, 255);
        const int r = d_edit_proc(msg, d, c);
        d->bg = bg;
        return r;
    }
    return d_edit_proc(msg, d, c);
}

// A dialog's message line.
static char s_message[200];
static void say(const std::string &text) { snprintf(s_message, sizeof s_message, "%s", text.c_str()); }

// Runs `dialog` until one of its exit buttons closes it; returns the
// button's index (-1 for Escape). Colours and place as the popups have them.
static int run(DIALOG *dialog, int focus)
{
    dialog_window();
    set_gray_gui_colors();
    set_dialog_color(dialog, gui_fg_color, gui_bg_color);
    place_dialog(dialog, 20, 30);
    clear_keybuf();
    return popup_dialog(dialog, focus);
}

// ---------------------------------------------------------------------------
// Breakpoints and watchpoints: one dialog for each, of the same shape.

static char s_location[256], s_condition[1024], s_hits[32];
static std::vector<int> s_ids;   // the numbers of the list's lines

enum { PT_BOX, PT_TITLE, PT_LIST, PT_L_LOC, PT_LOC, PT_L_COND, PT_COND, PT_L_HITS, PT_HITS, PT_KIND_R, PT_KIND_W,
       PT_KIND_RW, PT_ADD, PT_TOGGLE, PT_DELETE, PT_DELETE_ALL, PT_CLOSE, PT_MESSAGE, PT_YIELD, PT_END };

static DIALOG points_dialog[] = {
    /* proc              x    y    w    h   fg bg key flags      d1   d2 dp */
    {d_shadow_box_proc,  0,   0,   600, 430, 0, 0, 0,  0,         0,   0, nullptr, nullptr, nullptr},
    {d_ctext_proc,       300, 8,   0,   0,   0, 0, 0,  0,         0,   0, nullptr, nullptr, nullptr},
    {d_list_proc,        10,  24,  580, 220, 0, 0, 0,  0,         0,   0, (void *)list_getter, nullptr, nullptr},
    {d_text_proc,        10,  256, 0,   0,   0, 0, 0,  0,         0,   0, txt("Address or label:"), nullptr, nullptr},
    {framed_edit_proc,   232, 254, 356, 10,  0, 0, 0,  D_EXIT,    120, 0, s_location, nullptr, nullptr},
    {d_text_proc,        10,  274, 0,   0,   0, 0, 0,  0,         0,   0, txt("Condition (may be empty):"), nullptr, nullptr},
    {framed_edit_proc,   232, 272, 356, 10,  0, 0, 0,  D_EXIT,    250, 0, s_condition, nullptr, nullptr},
    {d_text_proc,        10,  292, 0,   0,   0, 0, 0,  0,         0,   0, txt("Hit count (5, =5, >5, %5):"), nullptr, nullptr},
    {framed_edit_proc,   232, 290, 80,  10,  0, 0, 0,  D_EXIT,    12,  0, s_hits, nullptr, nullptr},
    {d_radio_proc,       330, 290, 64,  12,  0, 0, 0,  0,         1,   0, txt("read"), nullptr, nullptr},
    {d_radio_proc,       400, 290, 70,  12,  0, 0, 0,  D_SELECTED, 1,  0, txt("write"), nullptr, nullptr},
    {d_radio_proc,       476, 290, 110, 12,  0, 0, 0,  0,         1,   0, txt("read/write"), nullptr, nullptr},
    {d_button_proc,      10,  316, 100, 18,  0, 0, 'a', D_EXIT,   0,   0, txt("&Add"), nullptr, nullptr},
    {d_button_proc,      120, 316, 150, 18,  0, 0, 'e', D_EXIT,   0,   0, txt("&Enable/disable"), nullptr, nullptr},
    {d_button_proc,      280, 316, 100, 18,  0, 0, 'd', D_EXIT,   0,   0, txt("&Delete"), nullptr, nullptr},
    {d_button_proc,      390, 316, 110, 18,  0, 0, 'l', D_EXIT,   0,   0, txt("De&lete all"), nullptr, nullptr},
    {d_button_proc,      490, 400, 100, 18,  0, 0, 'c', D_EXIT,   0,   0, txt("&Close"), nullptr, nullptr},
    {d_text_proc,        10,  350, 580, 10,  0, 0, 0,  0,         0,   0, s_message, nullptr, nullptr},
    {frontend_yield_proc, 0,  0,   0,   0,   0, 0, 0,  0,         0,   0, nullptr, nullptr, nullptr},
    {nullptr,            0,   0,   0,   0,   0, 0, 0,  0,         0,   0, nullptr, nullptr, nullptr},
};

static void list_points(bool watch)
{
    s_lines.clear();
    s_ids.clear();
    for (const dbg_point &p : dbg_points()) {
        if (p.watch != watch) continue;
        s_lines.push_back(dbg_point_text(p));
        s_ids.push_back(p.id);
    }
    if (points_dialog[PT_LIST].d1 >= (int)s_lines.size()) points_dialog[PT_LIST].d1 = s_lines.empty() ? 0 : (int)s_lines.size() - 1;
}

static void points(bool watch)
{
    DIALOG *d = points_dialog;
    d[PT_TITLE].dp = txt(watch ? "Watchpoints" : "Breakpoints");
    d[PT_L_LOC].dp = txt(watch ? "Range (6000-60FF, v[10]):" : "Address or label:");
    // The kind of access, for watchpoints only.
    for (int i : {PT_KIND_R, PT_KIND_W, PT_KIND_RW}) d[i].flags = watch ? d[i].flags & ~D_HIDDEN : d[i].flags | D_HIDDEN;
    s_message[0] = 0;
    for (;;) {
        list_points(watch);
        const int r = run(d, PT_LOC);
        // Enter in a field adds too.
        if (r == PT_ADD || r == PT_LOC || r == PT_COND || r == PT_HITS) {
            std::string error;
            int id;
            if (watch) {
                const dbg_watch_kind kind = d[PT_KIND_R].flags & D_SELECTED ? WATCH_READ
                                            : d[PT_KIND_RW].flags & D_SELECTED ? WATCH_ACCESS
                                                                               : WATCH_WRITE;
                id = dbg_watch_add(kind, s_location, s_condition, s_hits, &error);
            } else {
                id = dbg_break_add(s_location, s_condition, s_hits, false, &error);
            }
            if (id) {
                say("Set: " + dbg_point_text(*dbg_find(id)));
                s_location[0] = s_condition[0] = s_hits[0] = 0;
            } else {
                say(error);
            }
        } else if (r == PT_TOGGLE || r == PT_DELETE) {
            const int sel = d[PT_LIST].d1;
            if (sel < 0 || (size_t)sel >= s_ids.size()) {
                say(std::string("There is no ") + (watch ? "watchpoint" : "breakpoint") + " to choose in the list.");
                continue;
            }
            std::string error;
            const dbg_point *p = dbg_find(s_ids[(size_t)sel]);
            if (r == PT_TOGGLE)
                dbg_enable(p->id, !p->enabled, &error);
            else
                dbg_delete(p->id, &error);
            s_message[0] = 0;
        } else if (r == PT_DELETE_ALL) {
            for (int id : s_ids) {
                std::string error;
                dbg_delete(id, &error);
            }
            s_message[0] = 0;
        } else {
            break;   // Close or Escape
        }
    }
}

void breakpoints_dialog() { points(false); }
void watchpoints_dialog() { points(true); }

// ---------------------------------------------------------------------------
// The call stack and the history: a list to read, with buttons.

enum { LS_BOX, LS_TITLE, LS_LIST, LS_B1, LS_B2, LS_B3, LS_CLOSE, LS_MESSAGE, LS_YIELD, LS_END };

static DIALOG list_dialog[] = {
    {d_shadow_box_proc, 0,   0,   600, 430, 0, 0, 0,  0,      0, 0, nullptr, nullptr, nullptr},
    {d_ctext_proc,      300, 8,   0,   0,   0, 0, 0,  0,      0, 0, nullptr, nullptr, nullptr},
    {d_list_proc,       10,  24,  580, 360, 0, 0, 0,  0,      0, 0, (void *)list_getter, nullptr, nullptr},
    {d_button_proc,     10,  400, 140, 18,  0, 0, 0,  D_EXIT, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,     160, 400, 100, 18,  0, 0, 0,  D_EXIT, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,     270, 400, 150, 18,  0, 0, 0,  D_EXIT, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,     490, 400, 100, 18,  0, 0, 'c', D_EXIT, 0, 0, txt("&Close"), nullptr, nullptr},
    {d_text_proc,       10,  388, 580, 10,  0, 0, 0,  0,      0, 0, s_message, nullptr, nullptr},
    {frontend_yield_proc, 0, 0,   0,   0,   0, 0, 0,  0,      0, 0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,   0, 0, 0,  0,      0, 0, nullptr, nullptr, nullptr},
};

// The list dialog with up to three buttons (null: hidden).
static int run_list(const char *title, const char *b1, int k1, const char *b2, int k2, const char *b3, int k3)
{
    DIALOG *d = list_dialog;
    d[LS_TITLE].dp = txt(title);
    const struct {
        int index;
        const char *text;
        int key;
    } buttons[] = {{LS_B1, b1, k1}, {LS_B2, b2, k2}, {LS_B3, b3, k3}};
    for (const auto &b : buttons) {
        d[b.index].dp = txt(b.text ? b.text : "");
        d[b.index].key = b.key;
        d[b.index].flags = b.text ? D_EXIT : D_EXIT | D_HIDDEN;
    }
    return run(d, LS_LIST);
}

void call_stack_dialog()
{
    s_message[0] = 0;
    s_lines.clear();
    char pc[64];
    snprintf(pc, sizeof pc, "#0 %04X (the program counter)", get_pc());
    s_lines.push_back(pc);
    const std::vector<dbg_frame> frames = dbg_call_stack();
    for (size_t i = 0; i < frames.size(); i++) s_lines.push_back(dbg_frame_text(frames[i], (int)i + 1));
    list_dialog[LS_LIST].d1 = 0;
    list_dialog[LS_LIST].d2 = 0;
    if (frames.empty()) say("The program is in no call, trap or interrupt routine.");
    run_list("Call stack, innermost first", nullptr, 0, nullptr, 0, nullptr, 0);
}

// The history shows its newest entries; a list of 100,000 lines is more
// than anyone scrolls through.
static constexpr size_t HISTORY_SHOWN = 2000;

void history_dialog()
{
    s_message[0] = 0;
    for (;;) {
        s_lines.clear();
        for (size_t i = 0; i < dbg_history_size() && i < HISTORY_SHOWN; i++)
            s_lines.push_back(dbg_history_text(dbg_history_at(i)));
        if (!s_message[0]) {
            char m[160];
            snprintf(m, sizeof m, "%s: %zu instructions kept (newest first%s).",
                     dbg_history_enabled() ? "Recording" : "Not recording", dbg_history_size(),
                     dbg_history_size() > HISTORY_SHOWN ? ", the newest 2000 shown" : "");
            say(m);
        }
        const int r = run_list("History of executed instructions", dbg_history_enabled() ? "Stop &recording" : "Start &recording",
                               'r', "Cl&ear", 'e', "&Save to a file", 's');
        if (r == LS_B1) {
            dbg_history_enable(!dbg_history_enabled());
            s_message[0] = 0;
        } else if (r == LS_B2) {
            dbg_history_clear();
            s_message[0] = 0;
        } else if (r == LS_B3) {
            std::string path;
            if (!choose_file("Save the history as", "history", "txt", "", &path)) continue;
            std::string error;
            if (dbg_history_save(path.c_str(), &error))
                say("Wrote " + path);
            else
                say(error);
        } else {
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// One field and a button: a change of a register or memory, a pass.

static char s_field[256];

enum { FD_BOX, FD_TITLE, FD_LABEL, FD_FIELD, FD_OK, FD_CLOSE, FD_MESSAGE, FD_NOTE, FD_YIELD, FD_END };

static DIALOG field_dialog[] = {
    {d_shadow_box_proc, 0,   0,   520, 120, 0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
    {d_ctext_proc,      260, 8,   0,   0,   0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
    {d_text_proc,       10,  30,  0,   0,   0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
    {framed_edit_proc,  12,  44,  496, 10,  0, 0, 0,   D_EXIT, 200, 0, s_field, nullptr, nullptr},
    {d_button_proc,     10,  92,  100, 18,  0, 0, 0,   D_EXIT, 0,   0, nullptr, nullptr, nullptr},
    {d_button_proc,     410, 92,  100, 18,  0, 0, 'c', D_EXIT, 0,   0, txt("&Close"), nullptr, nullptr},
    {d_text_proc,       10,  62,  500, 10,  0, 0, 0,   0,      0,   0, s_message, nullptr, nullptr},
    {d_text_proc,       10,  76,  500, 10,  0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
    {frontend_yield_proc, 0, 0,   0,   0,   0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,   0, 0, 0,   0,      0,   0, nullptr, nullptr, nullptr},
};

static int run_field(const char *title, const char *label, const char *button, const char *note)
{
    DIALOG *d = field_dialog;
    d[FD_TITLE].dp = txt(title);
    d[FD_LABEL].dp = txt(label);
    d[FD_OK].dp = txt(button);
    d[FD_NOTE].dp = txt(note);
    return run(d, FD_FIELD);
}

bool set_machine_dialog()
{
    s_message[0] = 0;
    bool changed = false;
    for (;;) {
        // Enter in the field presses the button.
        const int r = run_field("Change a register or memory", "TARGET=VALUE (A=5, PC=F800, [C010]=41, w[C020]=1234, v[10]=0):",
                                "&Set", "Numbers are hexadecimal (#123 is decimal); the value may be any expression.");
        if (r != FD_OK && r != FD_FIELD) break;
        std::string error;
        // As the console's `set`: the timeline records the change.
        if (expr_set(s_field, &error)) {
            tl_note_change();
            say(std::string("Done: ") + s_field);
            s_field[0] = 0;
            changed = true;
        } else {
            say(error);
        }
    }
    return changed;
}

bool go_to_pass_dialog(dbg_stop *stop)
{
    s_message[0] = 0;
    char note[160];
    snprintf(note, sizeof note, "Recorded: passes %" PRIu64 " to %" PRIu64 "; now pass %" PRIu64 ".", tl_begin_pass(),
             tl_end_pass(), ovix_machine_passes());
    for (;;) {
        const int r = run_field("Go to a pass of the recorded time", "Pass (decimal):", "&Go", note);
        if (r != FD_OK && r != FD_FIELD) return false;
        char *end = nullptr;
        const unsigned long long pass = strtoull(s_field, &end, 10);
        if (!s_field[0] || (end && *end) || s_field[0] == '-') {
            say("A pass is a decimal count.");
            continue;
        }
        std::string error;
        *stop = tl_goto(pass, &error);
        if (stop->kind != DBG_STOP_NONE) return true;
        say(error);
    }
}

