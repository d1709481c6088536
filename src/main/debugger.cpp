// The integrated debugger: a full-screen dialog with the disassembly from the
// program counter, the registers, the video chip's registers and the trace
// log, and the commands that step, step over, run the machine to an address
// or let it continue. The machine runs only inside these commands,
// synchronously, with the picture and the keyboard as in a normal run;
// "Continue" closes the dialog and resumes it, and leaving the dialog
// otherwise (Escape or the menu, answered "Yes") ends the program.
//
// On top of the design's commands, the debugger engine (debug/engine.h):
// every run started here stops at the breakpoints and watchpoints; step
// out, run to here, the steps back in time and reverse continue
// (state/timeline.h); the dialogs of debugger_dialogs.cpp. The disassembly
// box marks the breakpoints, scrolls, and selects a line (run to here, a
// double click sets or clears a breakpoint there).
#include "main/ovix_allegro.h"

#include <allegro/internal/aintern.h>

#include <cstdio>
#include <string>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/engine.h"
#include "debug/source_debug.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "main/frontend.h"
#include "machine/loop.h"
#include "state/timeline.h"
#include "time/timer.h"
#include "video/tms3556.h"

static char *txt(const char *s) { return const_cast<char *>(s); }

// Reads the address field: a hexadecimal address or a label. A field that
// names neither runs nothing and says why ("unknown label 'xyz'").
static bool read_address_field(field_address *f)
{
    *f = read_field_address(breakpoint_str);
    if (f->ok) return true;
    message_alert("Address field", f->message);
    return false;
}

// "Go to 00C010 ?", with the label the field named, or the note on a word
// that is both an address and a label, below it. True on "Yes".
static bool confirm_go_to(const field_address &f)
{
    char question[40], named[96];
    snprintf(question, sizeof question, "Go to %06x ?", f.value);
    snprintf(named, sizeof named, "(the label %.60s)", f.label);
    const alert_lines note = wrap_alert_text(f.message, 60);
    const char *line2 = f.message[0] ? note.line[0] : f.label[0] ? named : nullptr;
    const char *line3 = f.message[0] && note.line[1][0] ? note.line[1] : nullptr;
    return alert(question, line2, line3, "&Yes", "&No", 'y', 'n') == 1;
}

// Object numbers in the_dialog.
enum { DBG_DISASS_BOX = 3, DBG_LOG_BOX = 4, DBG_FIELD = 6 };
static DIALOG *dialog_object(int n);

// The disassembly box's view: it follows the program counter, or was
// scrolled to start at `top`; `selected` is a line's address (run to
// here), or none.
static struct {
    bool follow = true;
    uint16 top = 0;
    int selected = -1;
} s_view;
// The address field takes the keys only once clicked: after a command the
// letter keys act at once, wherever the pointer is.
static bool s_field_clicked = false;

// The log box shows its newest lines: its scroll position goes to the end
// of the text. The dialog manager keeps d2 as the first line shown; the
// lines are counted as it counts them, narrower by its 12-pixel scroll bar
// when the text is longer than the box.
static void show_log_end()
{
    DIALOG &d = *dialog_object(DBG_LOG_BOX);
    const int height = (d.h - 8) / text_height(font);
    auto count = [&](int width) {
        int lines = 0;
        _draw_textbox(log_box, &lines, 0, 0, !(d.flags & D_SELECTED), 8, d.x, d.y, width, d.h,
                      d.flags & D_DISABLED, 0, 0, 0);
        return lines;
    };
    int lines = count(d.w);
    if (lines > height) lines = count(d.w - 12);   // the text beside a scroll bar
    d.d1 = lines;
    d.d2 = lines > height ? lines - height : 0;
}

// The lower box shows the source around the program counter (with debug
// information loaded, unless V chose the trace log) or the trace log.
static bool s_source_chosen = true;
static std::string s_source_text;
static constexpr int SOURCE_BEFORE = 10, SOURCE_LINES = 35, SOURCE_WIDTH = 58;

static bool source_shown() { return s_source_chosen && srcmap_loaded(); }

// The steps go by source line while the source is shown and the program
// counter is on a line of it.
static bool line_steps() { return source_shown() && srcmap_statement_at(get_pc()).file >= 0; }

// The refresh after a command: the boxes, the log at its newest lines or
// the source at the program counter.
static void refresh()
{
    debugger_refresh();
    if (s_view.follow) s_view.top = get_pc();
    disass_debugger_from(s_view.top);
    get_log_str(log_box, LOG_BOX_SIZE);   // disass_debugger empties it
    DIALOG &box = *dialog_object(DBG_LOG_BOX);
    if (source_shown()) {
        s_source_text = srcdbg_source_text(get_pc(), SOURCE_BEFORE, SOURCE_LINES, SOURCE_WIDTH);
        box.dp = s_source_text.data();
        box.d1 = box.d2 = 0;
    } else {
        box.dp = log_box;
        show_log_end();
    }
}

// V: the source or the trace log in the lower box.
static int toggle_source()
{
    s_source_chosen = !s_source_chosen;
    if (s_source_chosen && !srcmap_loaded())
        snprintf(debugger_status, sizeof debugger_status, "No debug information is loaded");
    refresh();
    return D_REDRAW;
}

// Before a command that runs the machine or moves it in time: the box
// follows the program counter again, the registers are kept to mark what
// changes, and the field gives the letter keys back.
static void before_command()
{
    s_view.follow = true;
    s_field_clicked = false;
    regs_remember();
}

// The stop line of an engine stop.
static void show_stop(const dbg_stop &stop)
{
    snprintf(debugger_status, sizeof debugger_status, "%s", dbg_stop_text(stop).c_str());
}

// A step by source line (srcdbg_line_step), run as step over runs.
static int line_step(bool into)
{
    before_command();
    run_begin(RUN_STEP_OVER);
    show_message("Stepping a line... (Escape or F1 stops it)");
    const dbg_stop stop = srcdbg_line_step(into, UINT64_MAX, window_hooks());
    note_stop(stop.kind == DBG_STOP_DEBUGGER ? LOOP_STOP_DEBUGGER : LOOP_STOP_ENGINE, get_pc());
    run_end();
    if (stop.kind == DBG_STOP_STEP) {
        const std::string where = srcdbg_short_place_text(srcmap_statement_at(get_pc()));
        snprintf(debugger_status, sizeof debugger_status, "%s%s%s", dbg_stop_text(stop).c_str(),
                 where.empty() ? "" : " at ", where.c_str());
    }
    refresh();
    return D_REDRAW;
}

static int step()
{
    if (line_steps()) return line_step(true);
    before_command();
    const dbg_stop stop = dbg_step_instruction();
    if (stop.kind == DBG_STOP_STEP)
        snprintf(debugger_status, sizeof debugger_status, "%s",
                 tms7000.idle_state ? "Stepped: the CPU is idle (IDLE)" : "Stepped one instruction");
    else
        show_stop(stop);   // a breakpoint or watchpoint of the step
    refresh();
    return D_REDRAW;
}

// Runs until the program counter lies in start + 1 to start + 4 (the
// instruction after a call, once the call has returned), or a breakpoint or
// watchpoint stops it. The picture and the keys go on as in a normal run,
// so a call that waits for a key ends when the user types one; Escape or
// F1 stops it anywhere.
static int stepover()
{
    if (line_steps()) return line_step(false);
    before_command();
    run_begin(RUN_STEP_OVER);
    show_message("Stepping over... (Escape or F1 stops it)");
    const dbg_stop stop = dbg_step(DBG_STEP_OVER, 1, UINT64_MAX, window_hooks());
    note_stop(stop.kind == DBG_STOP_DEBUGGER ? LOOP_STOP_DEBUGGER : LOOP_STOP_ENGINE, get_pc());
    run_end();
    refresh();
    return D_REDRAW;
}

// Step out: until the routine the program is in returns. Runs as step
// over does.
static int stepout()
{
    before_command();
    if (dbg_call_stack().empty()) {
        snprintf(debugger_status, sizeof debugger_status, "Step out: the program is in no routine");
        return D_REDRAW;
    }
    run_begin(RUN_STEP_OVER);
    show_message("Stepping out... (Escape or F1 stops it)");
    const dbg_stop stop = dbg_step(DBG_STEP_OUT, 1, UINT64_MAX, window_hooks());
    note_stop(stop.kind == DBG_STOP_DEBUGGER ? LOOP_STOP_DEBUGGER : LOOP_STOP_ENGINE, get_pc());
    run_end();
    refresh();
    return D_REDRAW;
}

// Run to here: to the line selected in the disassembly box, else to the
// address in the field, with a temporary breakpoint (other breakpoints and
// watchpoints stop the run too).
static int run_to_here()
{
    uint32 target;
    if (s_view.selected >= 0) {
        target = (uint32)s_view.selected;
    } else {
        field_address f;
        if (!read_address_field(&f)) return D_REDRAW;
        target = f.value & 0xFFFF;
    }
    std::string error;
    char where[8];
    snprintf(where, sizeof where, "%04X", (unsigned)(target & 0xFFFF));
    if (!dbg_break_add(where, nullptr, nullptr, true, &error, OWNER_RUN)) {
        message_alert("Run to here", error.c_str());
        return D_REDRAW;
    }
    before_command();
    s_view.selected = -1;
    ovix_loop((int)LOOP_NO_TARGET);   // the temporary breakpoint stops it
    refresh();
    return D_REDRAW;
}

static int tobreak()
{
    field_address f;
    if (read_address_field(&f) && confirm_go_to(f)) {
        before_command();
        ovix_loop(f.value & 0xFFFF);
    }
    refresh();
    return D_REDRAW;
}

// B runs at once, but for a word that is both an address and a label: the
// question says which one it runs to.
static int tobreaknoconfirm()
{
    field_address f;
    if (!read_address_field(&f)) return D_REDRAW;
    if (f.message[0] && !confirm_go_to(f)) return D_REDRAW;
    before_command();
    ovix_loop(f.value & 0xFFFF);
    refresh();
    return D_REDRAW;
}

// ---------------------------------------------------------------------------
// Back in time (state/timeline.h): the machine is put back as it was.

static int travelled(const dbg_stop &stop, const std::string &error)
{
    if (stop.kind == DBG_STOP_NONE)
        snprintf(debugger_status, sizeof debugger_status, "%s", error.c_str());
    else
        show_stop(stop);
    refresh();
    return D_REDRAW;
}

static int step_back()
{
    const bool by_line = line_steps();
    before_command();
    std::string error;
    const dbg_stop stop = by_line ? srcdbg_line_back(&error) : tl_step_back(&error);
    return travelled(stop, error);
}

static int step_back_over()
{
    before_command();
    std::string error;
    const dbg_stop stop = tl_step_back_over(&error);
    return travelled(stop, error);
}

static int reverse_continue()
{
    before_command();
    std::string error;
    const dbg_stop stop = tl_reverse_continue(&error);
    return travelled(stop, error);
}

static int go_to_pass()
{
    before_command();
    dbg_stop stop;
    if (go_to_pass_dialog(&stop)) show_stop(stop);
    refresh();
    return D_REDRAW;
}

// ---------------------------------------------------------------------------
// The engine's dialogs.

static int breakpoints()
{
    breakpoints_dialog();
    refresh();
    return D_REDRAW;
}

static int watchpoints()
{
    watchpoints_dialog();
    refresh();
    return D_REDRAW;
}

static int call_stack()
{
    call_stack_dialog();
    return D_REDRAW;
}

static int history()
{
    history_dialog();
    return D_REDRAW;
}

static int set_machine()
{
    regs_remember();
    if (set_machine_dialog()) refresh();
    return D_REDRAW;
}

// A breakpoint at `address`: set when there is none, else deleted.
static void toggle_breakpoint(uint16 address)
{
    for (const dbg_point &p : dbg_points()) {
        if (p.watch || p.first != address || p.owner == OWNER_RUN) continue;
        std::string error;
        dbg_delete(p.id, &error);
        return;
    }
    std::string error;
    char where[8];
    snprintf(where, sizeof where, "%04X", address);
    dbg_break_add(where, nullptr, nullptr, false, &error);
}

// A message about a file beside the cartridge just chosen: its name alone
// leaves the alert's three lines to the reason.
static void beside_alert(const char *title, const char *rom_path, std::string text)
{
    const std::string path = rom_path;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        const size_t at = text.find(path.substr(0, slash + 1));
        if (at != std::string::npos) text.erase(at, slash + 1);
    }
    message_alert(title, text.c_str());
}

void load_cartridge_symbols(const char *rom_path, bool symbols, bool debug_info)
{
    std::string loaded, error;
    if (symbols)
        if (const char *e = symbols_load_beside(rom_path, &loaded)) beside_alert("Symbols not loaded", rom_path, e);
    if (debug_info) {
        if (!srcdbg_load_beside(rom_path, 0x0200, 0x7FFF, &loaded, &error))
            beside_alert("Debug information not loaded", rom_path, error);
    } else {
        srcdbg_labels_into_symbols();   // the labels of --debug-info after the cartridge's names
    }
}

// Closes the dialog; the machine resumes where it stopped.
static bool s_continue = false;
static int continue_run()
{
    s_continue = true;
    return D_CLOSE;
}

// Reset and cartridge loading restart the CPU: the boxes follow at once.
static int debugger_reset()
{
    ovix_reset();
    refresh();
    return D_REDRAW;
}

static int debugger_load_rom()
{
    ovix_load_rom();
    refresh();
    return D_REDRAW;
}

static int clear_log()
{
    clear_log_str();
    return D_REDRAW;
}

static int preview()
{
    machine_preview();
    return D_REDRAW;
}

static int set_dump()
{
    dump_all = 1;
    return D_REDRAW;
}

static int remove_dump()
{
    dump_all = 0;
    return D_REDRAW;
}

static int info_address_phys()
{
    field_address f;
    if (!read_address_field(&f)) return D_REDRAW;
    address_info info = address_info_text(f.value);
    // A word that is also a label: the note, cut to the line, replaces the
    // third line (the first line shows the address cut to 16 bits).
    if (f.message[0])
        snprintf(info.line[2], sizeof info.line[2], "%.*s", (int)sizeof info.line[2] - 1,
                 wrap_alert_text(f.message, 79).line[0]);
    alert(info.line[0], info.line[1], info.line[2][0] ? info.line[2] : nullptr, "&Yes", "&No", 'y', 'n');
    return D_REDRAW;
}

static int call_memory_explorer_mmu()
{
    memory_explorer();
    set_gray_gui_colors();   // the explorer has its own colours
    return D_REDRAW;
}

// ---------------------------------------------------------------------------
// The dialog's own objects.

// A key with its modifiers (Shift, Ctrl, Alt exactly as given in d2): the
// library's keyboard object takes a key whatever the modifiers.
static int key_proc(int msg, DIALOG *d, int c)
{
    if (msg == MSG_START) d->w = d->h = 0;
    if (msg != MSG_XCHAR || (c >> 8) != d->d1) return D_O_K;
    if (key_press_modifiers(d->d1) != d->d2) return D_O_K;
    return reinterpret_cast<int (*)()>(d->dp)() | D_USED_CHAR;
}

// The address field: it takes the focus (and the letter keys) only once
// clicked, and gives it back after each command.
static int field_proc(int msg, DIALOG *d, int c)
{
    if (msg == MSG_WANTFOCUS) return s_field_clicked ? D_WANTFOCUS : D_O_K;
    if (msg == MSG_CLICK) s_field_clicked = true;
    if (msg == MSG_DRAW) {
        // A frame around it, so that it can be seen and hit.
        rectfill(gui_get_screen(), d->x - 2, d->y - 3, d->x + d->w + 1, d->y + d->h + 2, makecol(255, 255, 255));
        rect(gui_get_screen(), d->x - 2, d->y - 3, d->x + d->w + 1, d->y + d->h + 2, gui_fg_color);
    }
    return d_edit_proc(msg, d, c);
}

// The disassembly box: the lines of disass_box, a mark before the lines
// with a breakpoint (filled: enabled; hollow: disabled), the selected line
// in grey. Up and Down (and the wheel) scroll by an instruction, Page Up
// and Page Down by a box, Home goes back to the program counter; a click
// selects a line, a double click sets or clears a breakpoint there.
static constexpr int GUTTER = 10;

static int disass_box_line(const DIALOG *d, int y)
{
    const int line = (y - d->y - 2) / text_height(font);
    return line >= 0 && line < DISASS_LINES ? line : -1;
}

static void scroll(int instructions)
{
    s_view.follow = false;
    for (; instructions > 0; instructions--)
        s_view.top = (uint16)(s_view.top + dasm_length(bus_peek(s_view.top)));
    for (; instructions < 0; instructions++) s_view.top = disass_previous(s_view.top);
    disass_debugger_from(s_view.top);
    get_log_str(log_box, LOG_BOX_SIZE);
}

static int disass_proc(int msg, DIALOG *d, int c)
{
    switch (msg) {
    case MSG_DRAW: {
        BITMAP *gui = gui_get_screen();
        const int white = makecol(255, 255, 255), grey = makecol(200, 200, 200), red = makecol(200, 0, 0);
        rectfill(gui, d->x + 1, d->y + 1, d->x + d->w - 2, d->y + d->h - 2, white);
        rect(gui, d->x, d->y, d->x + d->w - 1, d->y + d->h - 1, d->flags & D_GOTFOCUS ? red : gui_fg_color);
        const int h = text_height(font);
        const char *p = disass_box;
        for (int line = 0; line < DISASS_LINES && *p; line++) {
            const char *nl = strchr(p, '\n');
            std::string text(p, nl ? (size_t)(nl - p) : strlen(p));
            p = nl ? nl + 1 : p + strlen(p);
            const int y = d->y + 2 + line * h;
            if (y + h > d->y + d->h - 1) break;
            const uint32 address = disass_line_address[line];
            if (address <= 0xFFFF && (int)address == s_view.selected) rectfill(gui, d->x + 1, y, d->x + d->w - 2, y + h - 1, grey);
            if (address <= 0xFFFF) {
                const int mark = dbg_break_mark((uint16)address);
                if (mark == 1) circlefill(gui, d->x + 5, y + h / 2, 3, red);
                if (mark == 2) circle(gui, d->x + 5, y + h / 2, 3, red);
            }
            textout_ex(gui, font, text.c_str(), d->x + GUTTER, y, gui_fg_color, -1);
        }
        return D_O_K;
    }
    case MSG_WANTFOCUS: return D_WANTFOCUS;
    case MSG_CLICK:
    case MSG_DCLICK: {
        const int line = disass_box_line(d, gui_mouse_y());
        if (line < 0 || disass_line_address[line] > 0xFFFF) return D_O_K;
        const uint16 address = (uint16)disass_line_address[line];
        if (msg == MSG_DCLICK)
            toggle_breakpoint(address);
        else
            s_view.selected = s_view.selected == (int)address ? -1 : (int)address;
        // The click is over when the button goes up (a double click's
        // second press comes as MSG_DCLICK).
        while (gui_mouse_b()) rest(1);
        return D_REDRAWME;
    }
    case MSG_WHEEL:
        scroll(-c * 3);
        return D_REDRAWME;
    case MSG_CHAR:
        switch (c >> 8) {
        case KEY_UP: scroll(-1); return D_USED_CHAR | D_REDRAWME;
        case KEY_DOWN: scroll(1); return D_USED_CHAR | D_REDRAWME;
        case KEY_PGUP: scroll(-DISASS_LINES + 2); return D_USED_CHAR | D_REDRAWME;
        case KEY_PGDN: scroll(DISASS_LINES - 2); return D_USED_CHAR | D_REDRAWME;
        case KEY_HOME:
            s_view.follow = true;
            refresh();
            return D_USED_CHAR | D_REDRAW;
        default: return D_O_K;
        }
    default: return D_O_K;
    }
}

static MENU commands[] = {
    {txt("RESET"), debugger_reset, nullptr, 0, nullptr},
    {txt("Step \tF7"), step, nullptr, 0, nullptr},
    {txt("Step over\tF8"), stepover, nullptr, 0, nullptr},
    {txt("Step out\tCtrl+F8"), stepout, nullptr, 0, nullptr},
    {txt("Go to breakpoint"), tobreak, nullptr, 0, nullptr},
    {txt("Run to here\tCtrl+F10"), run_to_here, nullptr, 0, nullptr},
    {txt("Continue\tF5"), continue_run, nullptr, 0, nullptr},
    {txt("screen preview"), preview, nullptr, 0, nullptr},
    {txt("Load ROM\tF4"), debugger_load_rom, nullptr, 0, nullptr},
    {txt("&Quit debugger\tESC"), quit, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU debug_menu[] = {
    {txt("Breakpoints..."), breakpoints, nullptr, 0, nullptr},
    {txt("Watchpoints..."), watchpoints, nullptr, 0, nullptr},
    {txt("Call stack..."), call_stack, nullptr, 0, nullptr},
    {txt("History..."), history, nullptr, 0, nullptr},
    {txt("Change a register or memory...\tS"), set_machine, nullptr, 0, nullptr},
    {txt("Source or trace log\tV"), toggle_source, nullptr, 0, nullptr},
    {txt(""), nullptr, nullptr, 0, nullptr},
    {txt("Step back\tShift+F7"), step_back, nullptr, 0, nullptr},
    {txt("Step back over\tShift+F8"), step_back_over, nullptr, 0, nullptr},
    {txt("Reverse continue\tShift+F5"), reverse_continue, nullptr, 0, nullptr},
    {txt("Go to a pass..."), go_to_pass, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU memory_menu[] = {
    {txt("memory explorer"), call_memory_explorer_mmu, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU helpmenu[] = {
    {txt("&About \tF1"), about, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU the_menu[] = {
    {txt("&Commands"), nullptr, commands, 0, nullptr},
    {txt("&Debug"), nullptr, debug_menu, 0, nullptr},
    {txt("Memory"), nullptr, memory_menu, 0, nullptr},
    {txt("&Help"), nullptr, helpmenu, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static void *command(int (*f)()) { return reinterpret_cast<void *>(f); }

static constexpr int SHIFT = KB_SHIFT_FLAG, CTRL = KB_CTRL_FLAG;

static DIALOG the_dialog[] = {
    /* proc             x    y    w    h    fg bg key flags d1 d2 dp */
    {d_clear_proc,      0,   0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {d_menu_proc,       0,   0,   0,   0,   0, 0, 0, 0, 0, 0, the_menu, nullptr, nullptr},
    {d_text_proc,       0,   20,  0,   0,   0, 0, 0, 0, 0, 0, txt("Ovix integrated debugger"), nullptr, nullptr},
    {disass_proc,       0,   30,  480, 164, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {d_textbox_proc,    0,   200, 480, 292, 0, 0, 0, 0, 0, 0, log_box_init, nullptr, nullptr},
    {d_textbox_proc,    488, 30,  144, 304, 0, 0, 0, 0, 0, 0, registers_box, nullptr, nullptr},
    {field_proc,        490, 354, 140, 10,  0, 0, 0, 0, LABEL_FIELD_CHARS, 0, breakpoint_str, nullptr, nullptr},
    {d_textbox_proc,    488, 374, 144, 118, 0, 0, 0, 0, 0, 0, periph_box_init, nullptr, nullptr},
    {d_text_proc,       208, 20,  424, 8,   0, 0, 0, 0, 0, 0, debugger_status, nullptr, nullptr},
    {d_text_proc,       488, 340, 0,   0,   0, 0, 0, 0, 0, 0, txt("Address or label:"), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F7, 0, command(step), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F8, 0, command(stepover), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_B, 0, command(tobreaknoconfirm), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_R, 0, command(debugger_reset), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_C, 0, command(clear_log), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_P, 0, command(info_address_phys), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_S, 0, command(set_machine), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_V, 0, command(toggle_source), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F4, 0, command(debugger_load_rom), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F1, 0, command(set_dump), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F2, 0, command(remove_dump), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F5, 0, command(continue_run), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_ESC, 0, command(quit), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F8, CTRL, command(stepout), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F10, CTRL, command(run_to_here), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F7, SHIFT, command(step_back), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F8, SHIFT, command(step_back_over), nullptr, nullptr},
    {key_proc,          0,   0,   0,   0,   0, 0, 0, 0, KEY_F5, SHIFT, command(reverse_continue), nullptr, nullptr},
    {frontend_yield_proc, 0, 0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

static DIALOG *dialog_object(int n) { return &the_dialog[n]; }

bool debugger()
{
    static bool opened = false;
    set_gray_gui_colors();
    set_full_screen_dialog_colors(the_dialog);
    if (!opened) {
        // The title gets its drawn size, so that the dialog manager hides
        // the pointer while it draws it (a zero-sized label under the
        // pointer is painted over when the pointer moves away).
        the_dialog[2].w = gui_strlen(static_cast<const char *>(the_dialog[2].dp));
        the_dialog[2].h = text_height(font);
        // The address field keeps what was typed when the debugger opens
        // again after "Continue".
        breakpoint_str[0] = 0;
        opened = true;
    }
    place_dialog(the_dialog, 2, 2);
    periph_box[0] = 0;
    s_view.follow = true;
    s_view.selected = -1;
    s_field_clicked = false;
    refresh();
    s_continue = false;
    do_dialog(the_dialog, -1);
    // The registers as they were when the debugger was left: a later stop
    // marks what the run changed.
    regs_remember();
    return s_continue;
}
