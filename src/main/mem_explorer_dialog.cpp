// The memory explorer's dialog: the start and end fields, the dump box and
// the commands that refill it and write dumps to disk. What it shows and
// writes comes from the explorer's logic (debug/mem_explorer.h); a line
// under the fields says what the last dump wrote.
#include "main/ovix_allegro.h"

#include <cstring>

#include "debug/mem_explorer.h"
#include "main/frontend.h"

static char *txt(const char *s) { return const_cast<char *>(s); }

static char s_status[96] = "";   // what the last dump did

enum { MMU_DUMP_BOX = 7, MMU_STATUS = 8 };
static DIALOG *explorer_object(int n);

static int dump(int mode)
{
    char name[64];
    if (const char *error = dump_to_file(mode, name, sizeof name)) {
        snprintf(s_status, sizeof s_status, "Nothing written");
        message_alert("Dump failed", error);
    } else {
        snprintf(s_status, sizeof s_status, "Wrote %s", name);
    }
    DIALOG *status = explorer_object(MMU_STATUS);
    status->w = gui_strlen(s_status);
    return D_REDRAW;
}

static int redraw()
{
    fill_dump_box();
    explorer_object(MMU_DUMP_BOX)->d2 = 0;   // show the new text from its top
    return D_REDRAW;
}

static int dump_to_disk() { return dump(0); }
static int dumphex_to_disk() { return dump(1); }
static int dasm_to_disk() { return dump(2); }
static int close_explorer() { return D_CLOSE; }

static MENU commands[] = {
    {txt("redraw"), redraw, nullptr, 0, nullptr},
    {txt("Dump BIN to disk"), dump_to_disk, nullptr, 0, nullptr},
    {txt("Dump HEX to disk"), dumphex_to_disk, nullptr, 0, nullptr},
    {txt("DASM to disk"), dasm_to_disk, nullptr, 0, nullptr},
    {txt("Quit"), close_explorer, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU memory_menu[] = {
    {txt("command"), nullptr, commands, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static DIALOG mmu_explorer_dial[] = {
    /* proc             x    y    w    h   fg bg key flags d1 d2 dp */
    {d_clear_proc,      0,   0,   0,   0,  0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {d_menu_proc,       0,   0,   0,   0,  0, 0, 0, 0, 0, 0, memory_menu, nullptr, nullptr},
    {d_text_proc,       0,   20,  0,   0,  0, 0, 0, 0, 0, 0, txt("ORLO Memory explorer"), nullptr, nullptr},
    {d_text_proc,       0,   30,  0,   0,  0, 0, 0, 0, 0, 0, txt("Start Address:"), nullptr, nullptr},
    {d_edit_proc,       112, 30,  56,  8,  0, 0, 0, 0, ADDR_FIELD_CHARS, 0, start_str, nullptr, nullptr},
    {d_text_proc,       200, 30,  0,   0,  0, 0, 0, 0, 0, 0, txt("End Address:"), nullptr, nullptr},
    {d_edit_proc,       312, 30,  56,  8,  0, 0, 0, 0, ADDR_FIELD_CHARS, 0, end_str, nullptr, nullptr},
    {d_textbox_proc,    0,   40,  600, 310, 0, 0, 0, 0, 0, 0, dump_box, nullptr, nullptr},
    {d_text_proc,       0,   356, 0,   0,  0, 0, 0, 0, 0, 0, s_status, nullptr, nullptr},
    {frontend_yield_proc, 0, 0,   0,   0,  0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,  0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

static DIALOG *explorer_object(int n) { return &mmu_explorer_dial[n]; }

void memory_explorer()
{
    gui_fg_color = makecol(0, 0, 0);
    gui_mg_color = makecol(128, 200, 128);
    gui_bg_color = makecol(200, 255, 200);
    set_full_screen_dialog_colors(mmu_explorer_dial);
    // The labels get their drawn size, so that the dialog manager hides the
    // pointer while it draws them (a zero-sized label under the pointer is
    // painted over when the pointer moves away).
    s_status[0] = 0;
    for (int i = 0; mmu_explorer_dial[i].proc; i++) {
        if (mmu_explorer_dial[i].proc == d_text_proc) {
            mmu_explorer_dial[i].w = gui_strlen(static_cast<const char *>(mmu_explorer_dial[i].dp));
            mmu_explorer_dial[i].h = text_height(font);
        }
    }
    place_dialog(mmu_explorer_dial, 2, 2);
    snprintf(start_str, sizeof start_str, "0");
    mmu_explorer_dial[4].d2 = (int)strlen(start_str);
    dump_box[0] = 0;
    redraw();
    do_dialog(mmu_explorer_dial, -1);
}
