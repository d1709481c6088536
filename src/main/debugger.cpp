// The integrated debugger: a full-screen dialog with the disassembly from the
// program counter, the registers, the video chip's registers and the trace
// log, and the commands that step, step over, run the machine to an address
// or let it continue. The machine runs only inside these commands,
// synchronously, with the picture and the keyboard as in a normal run;
// "Continue" closes the dialog and resumes it, and leaving the dialog
// otherwise (Escape or the menu, answered "Yes") ends the program.
#include "ovix_allegro.h"

#include <allegro/internal/aintern.h>

#include <cstdio>
#include <string>

#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "main/frontend.h"
#include "main/loop.h"
#include "time/timer.h"
#include "video/tms3556.h"

static char *txt(const char *s) { return const_cast<char *>(s); }

// One instruction with its clock advance and timer check, as the loop does.
static void execute_one()
{
    int cycles = tms7000_ovix_execute(1);
    orlo_timer_update_clock({0, (uint32)cycles});
    orlo_check_timers();
}

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
enum { DBG_LOG_BOX = 4 };
static DIALOG *dialog_object(int n);

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

// The refresh after a command: the boxes, the log at its newest lines.
static void refresh()
{
    debugger_refresh();
    show_log_end();
}

static int step()
{
    execute_one();
    snprintf(debugger_status, sizeof debugger_status, "%s",
             tms7000.idle_state ? "Stepped: the CPU is idle (IDLE)" : "Stepped one instruction");
    refresh();
    return D_REDRAW;
}

// Runs until the program counter lies in start + 1 to start + 4 (the
// instruction after a call, once the call has returned). The picture and
// the keys go on as in a normal run, so a call that waits for a key ends
// when the user types one; Escape or F1 stops it anywhere.
static int stepover()
{
    const uint16 start = get_pc();
    const loop_hooks *hooks = window_hooks();
    run_begin(RUN_STEP_OVER);
    ask_bkpt = 0;
    int countdown = LOOP_DUE_PASSES;
    loop_stop reason = LOOP_STOP_PC;
    for (;;) {
        execute_one();
        const uint16 advance = (uint16)(get_pc() - start);
        if (advance >= 1 && advance <= 4) break;
        if (--countdown == 0) {
            countdown = LOOP_DUE_PASSES;
            if (hooks->frame_due(hooks->ctx)) {
                hooks->before_poll(tms3556_redraw(), hooks->ctx);
                ovix_key();
                hooks->after_poll(hooks->ctx);
            }
        }
        if (ask_bkpt || key[KEY_F1]) {
            reason = LOOP_STOP_DEBUGGER;
            break;
        }
    }
    note_stop(reason, get_pc());
    if (reason == LOOP_STOP_PC)
        snprintf(debugger_status, sizeof debugger_status, "Stepped over to %04X", get_pc());
    run_end();
    refresh();
    return D_REDRAW;
}

static int tobreak()
{
    field_address f;
    if (read_address_field(&f) && confirm_go_to(f)) ovix_loop(f.value & 0xFFFF);
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
    ovix_loop(f.value & 0xFFFF);
    refresh();
    return D_REDRAW;
}

void load_cartridge_symbols(const char *rom_path)
{
    std::string loaded;
    const char *error = symbols_load_beside(rom_path, &loaded);
    if (!error) return;
    // The file is beside the cartridge just chosen: its name alone leaves
    // the alert's three lines to the reason.
    std::string text = error;
    const std::string path = rom_path;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        const size_t at = text.find(path.substr(0, slash + 1));
        if (at != std::string::npos) text.erase(at, slash + 1);
    }
    message_alert("Symbols not loaded", text.c_str());
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
    if (f.message[0]) snprintf(info.line[2], sizeof info.line[2], "%s", wrap_alert_text(f.message, 79).line[0]);
    alert(info.line[0], info.line[1], info.line[2][0] ? info.line[2] : nullptr, "&Yes", "&No", 'y', 'n');
    return D_REDRAW;
}

static int call_memory_explorer_mmu()
{
    memory_explorer();
    set_gray_gui_colors();   // the explorer has its own colours
    return D_REDRAW;
}

static MENU commands[] = {
    {txt("RESET"), debugger_reset, nullptr, 0, nullptr},
    {txt("Step \tF7"), step, nullptr, 0, nullptr},
    {txt("Step over\tF8"), stepover, nullptr, 0, nullptr},
    {txt("Go to breakpoint"), tobreak, nullptr, 0, nullptr},
    {txt("Continue\tF5"), continue_run, nullptr, 0, nullptr},
    {txt("screen preview"), preview, nullptr, 0, nullptr},
    {txt("Load ROM\tF4"), debugger_load_rom, nullptr, 0, nullptr},
    {txt("&Quit debugger\tESC"), quit, nullptr, 0, nullptr},
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
    {txt("Memory"), nullptr, memory_menu, 0, nullptr},
    {txt("&Help"), nullptr, helpmenu, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static void *command(int (*f)()) { return reinterpret_cast<void *>(f); }

static DIALOG the_dialog[] = {
    /* proc             x    y    w    h    fg bg key flags d1 d2 dp */
    {d_clear_proc,      0,   0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {d_menu_proc,       0,   0,   0,   0,   0, 0, 0, 0, 0, 0, the_menu, nullptr, nullptr},
    {d_text_proc,       0,   20,  0,   0,   0, 0, 0, 0, 0, 0, txt("Ovix integrated debugger"), nullptr, nullptr},
    {d_textbox_proc,    0,   30,  480, 160, 0, 0, 0, 0, 0, 0, disass_box, nullptr, nullptr},
    {d_textbox_proc,    0,   200, 480, 292, 0, 0, 0, 0, 0, 0, log_box_init, nullptr, nullptr},
    {d_textbox_proc,    488, 30,  144, 320, 0, 0, 0, 0, 0, 0, registers_box, nullptr, nullptr},
    {d_edit_proc,       488, 358, 144, 8,   0, 0, 0, 0, LABEL_FIELD_CHARS, 0, breakpoint_str, nullptr, nullptr},
    {d_textbox_proc,    488, 374, 144, 118, 0, 0, 0, 0, 0, 0, periph_box_init, nullptr, nullptr},
    {d_text_proc,       208, 20,  272, 8,   0, 0, 0, 0, 0, 0, debugger_status, nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F7, 0, command(step), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F8, 0, command(stepover), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_B, 0, command(tobreaknoconfirm), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_R, 0, command(debugger_reset), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_C, 0, command(clear_log), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_P, 0, command(info_address_phys), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F4, 0, command(debugger_load_rom), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F1, 0, command(set_dump), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F2, 0, command(remove_dump), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_F5, 0, command(continue_run), nullptr, nullptr},
    {d_keyboard_proc,   0,   0,   0,   0,   0, 0, 0, 0, KEY_ESC, 0, command(quit), nullptr, nullptr},
    {frontend_yield_proc, 0, 0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,   0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};
static_assert(sizeof the_dialog / sizeof the_dialog[0] == 22, "the debugger dialog has 22 objects");

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
    refresh();
    s_continue = false;
    do_dialog(the_dialog, -1);
    return s_continue;
}
