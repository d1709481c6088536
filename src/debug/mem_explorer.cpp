// Memory explorer. The dump box walks a combined address space: 0x0000-0xFFFF
// is the CPU's bus, 0x10000-0x17FFF video memory; lines of 16 bytes, with
// runs of repeated lines folded into one "*" line. Dumps to disk cover the
// CPU's bus only and go to FILE%03d.bin / FILE%03d.asm in the working
// directory, numbered from 000 in each run.
//
// Every read goes through the bus with tracing suppressed, as the CPU would
// read: a dump that covers the peripheral addresses 0x100-0x1FF has the
// same effects on the chips as a CPU read there. The box starts at 0x200 so
// that merely looking never touches them.
//
// The dialog itself is here too; everything it shows or writes is built by
// functions that need no window.
#include "ovix_allegro.h"

#include "debug/mem_explorer.h"

#include <cstring>

#include "cpu/7000dasm.h"
#include "debug/trace.h"
#include "mem/memory.h"
#include "video/tms3556.h"

char dump_box[DUMP_BOX_SIZE];
char start_str[ADDR_FIELD_SIZE];
char end_str[ADDR_FIELD_SIZE];
char last_str[ADDR_FIELD_SIZE];
int seqnum = 0;

int (*mem_explorer_yield_proc)(int msg, DIALOG *d, int c) = d_yield_proc;

static uint32 s_last_start = 0;   // the start address of the previous fill

// ---------------------------------------------------------------------------
// The dump box.

// One line of the box for `address` (16 bytes) into `line`. The line is
// read word by word: a word at an address up to 0xFFFF comes from the CPU's
// bus, both bytes (the second through the bus too, at the next address cut
// to 16 bits, even when the word starts at 0xFFFF); a word above comes from
// video memory (an address past the video memory reads 0xFF). The character
// column shows the same 16 bytes.
static void dump_box_line(char *line, size_t size, uint32 address)
{
    uint8 bytes[16];
    for (uint32 w = 0; w < 8; w++) {
        const uint32 a = address + 2 * w;
        if (a <= 0xFFFF) {
            bytes[2 * w] = program_read_byte_8((int)a);
            bytes[2 * w + 1] = program_read_byte_8((int)(a + 1));
        } else {
            bytes[2 * w] = get_vram((int)(a & 0xFFFF));
            bytes[2 * w + 1] = get_vram((int)((a + 1) & 0xFFFF));
        }
    }
    int n = snprintf(line, size, "%04x ", address);
    for (int w = 0; w < 8; w++)
        n += snprintf(line + n, size - n, "%04x ", bytes[2 * w] * 256 + bytes[2 * w + 1]);
    for (int i = 0; i < 16; i++)
        line[n++] = (bytes[i] >= 0x20 && bytes[i] <= 0x7F) ? (char)bytes[i] : '.';
    line[n++] = '\n';
    line[n] = 0;
}

void mem_explorer_fill(char *out, size_t size, uint32 start_address)
{
    if (size == 0) return;
    out[0] = 0;
    no_trace();
    size_t used = 0;
    char line[128], reference[128] = "";
    bool have_reference = false, folded = false;
    uint32 address = start_address < DUMP_BOX_FIRST ? DUMP_BOX_FIRST : start_address;
    while (address <= DUMP_BOX_LAST) {
        dump_box_line(line, sizeof line, address);
        const char *shown = line;
        // The first 7 characters (the address and, below 0x10000, the first
        // two digits of the first word) take no part in the comparison.
        if (have_reference && strcmp(line + 7, reference + 7) == 0) {
            shown = folded ? nullptr : "*\n";
            folded = true;
        } else {
            strcpy(reference, line);
            have_reference = true;
            folded = false;
        }
        if (shown) {
            size_t n = strlen(shown);
            if (used + n + 1 > size) break;
            memcpy(out + used, shown, n + 1);
            used += n;
        }
        address += 16;
        if (address - start_address > DUMP_BOX_SPAN) break;
    }
    restore_trace();
}

void fill_dump_box()
{
    if (strcmp(start_str, last_str) != 0) {
        uint32 value;
        if (!parse_hex_field(start_str, &value)) {
            snprintf(dump_box, sizeof dump_box, "Start address \"%s\" is not a hexadecimal number\n", start_str);
            return;
        }
        s_last_start = value;
        strcpy(last_str, start_str);
    }
    // An unchanged field starts again where the previous fill started.
    if (s_last_start > DUMP_BOX_LAST) {
        snprintf(dump_box, sizeof dump_box, "Nothing to show above %x\n", DUMP_BOX_LAST);
        return;
    }
    mem_explorer_fill(dump_box, sizeof dump_box, s_last_start);
}

// ---------------------------------------------------------------------------
// Dumps to disk.

void mem_explorer_write(FILE *f, int mode, uint32 start, uint32 end)
{
    no_trace();
    uint32 address = start & 0xFFFF;
    uint32 count = 0;
    char text[256];
    do {
        switch (mode) {
        case 0:
            fputc(program_read_byte_8((int)address), f);
            address++;
            break;
        case 1:
            if (count % 16 == 0) fprintf(f, "%04x   ", address);
            fprintf(f, "%02x ", program_read_byte_8((int)address));
            if (++count % 16 == 0) fputc('\n', f);
            address++;
            break;
        default: {
            unsigned len = Dasm7000(text, address);
            if (len < 1) len = 1;
            fprintf(f, "%04x   ", address);
            for (unsigned i = 0; i < 6; i++) {
                if (i < len)
                    fprintf(f, "%02X ", program_read_byte_8((int)((address + i) & 0xFFFF)));
                else
                    fputs("   ", f);
            }
            fprintf(f, "%s\n", text);
            address += len;
            break;
        }
        }
    } while (address <= 0xFFFF && address <= end);
    restore_trace();
}

const char *dump_to_file(int mode, char *name, size_t name_size)
{
    static char message[160];
    char file_name[32];
    snprintf(file_name, sizeof file_name, mode == 0 ? "FILE%03d.bin" : "FILE%03d.asm", seqnum);
    if (name) snprintf(name, name_size, "%s", file_name);

    uint32 start, end;
    if (!parse_hex_field(start_str, &start))
        return "Start address: type a hexadecimal number";
    if (start > 0xFFFF)
        return "Start address: dumps cover 0000 to ffff";
    // An empty or unreadable end field dumps a single unit.
    if (!parse_hex_field(end_str, &end)) end = start;

    FILE *f = fopen(file_name, mode == 0 ? "wb" : "w");
    if (!f) {
        snprintf(message, sizeof message, "Cannot create %s", file_name);
        return message;
    }
    mem_explorer_write(f, mode, start, end);
    bool failed = ferror(f) != 0;
    if (fclose(f) != 0) failed = true;
    if (failed) {
        snprintf(message, sizeof message, "Could not write all of %s", file_name);
        return message;
    }
    seqnum++;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The dialog.

static char *txt(const char *s) { return const_cast<char *>(s); }

int dump(int mode)
{
    char name[32];
    const char *error = dump_to_file(mode, name, sizeof name);
    if (error) alert(error, "", nullptr, "OK", nullptr, 0, 0);
    return D_REDRAW;
}

static int redraw();
static int dump_to_disk() { return dump(0); }
static int dumphex_to_disk() { return dump(1); }
static int dasm_to_disk() { return dump(2); }
static int quit() { return D_CLOSE; }

static MENU commands[] = {
    {txt("redraw"), redraw, nullptr, 0, nullptr},
    {txt("Dump BIN to disk"), dump_to_disk, nullptr, 0, nullptr},
    {txt("Dump HEX to disk"), dumphex_to_disk, nullptr, 0, nullptr},
    {txt("DASM to disk"), dasm_to_disk, nullptr, 0, nullptr},
    {txt("Quit"), quit, nullptr, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

static MENU memory_menu[] = {
    {txt("command"), nullptr, commands, 0, nullptr},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

enum { MMU_DUMP_BOX = 7, MMU_YIELD = 8 };

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
    {d_yield_proc,      0,   0,   0,   0,  0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {nullptr,           0,   0,   0,   0,  0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

static int redraw()
{
    fill_dump_box();
    mmu_explorer_dial[MMU_DUMP_BOX].d2 = 0;   // show the new text from its top
    return D_REDRAW;
}

void memory_explorer()
{
    gui_fg_color = makecol(0, 0, 0);
    gui_mg_color = makecol(128, 200, 128);
    gui_bg_color = makecol(200, 255, 200);
    set_dialog_color(mmu_explorer_dial, gui_fg_color, gui_bg_color);
    const int white = makecol(255, 255, 255);
    mmu_explorer_dial[0].bg = white;
    for (int i = 4; mmu_explorer_dial[i].proc; i++) {
        if (mmu_explorer_dial[i].proc == d_text_proc || mmu_explorer_dial[i].proc == d_ctext_proc ||
            mmu_explorer_dial[i].proc == d_rtext_proc)
            mmu_explorer_dial[i].bg = white;
    }
    // The labels get their drawn size, so that the dialog manager hides the
    // pointer while it draws them (a zero-sized label under the pointer is
    // painted over when the pointer moves away).
    for (int i = 0; mmu_explorer_dial[i].proc; i++) {
        if (mmu_explorer_dial[i].proc == d_text_proc) {
            mmu_explorer_dial[i].w = gui_strlen(static_cast<const char *>(mmu_explorer_dial[i].dp));
            mmu_explorer_dial[i].h = text_height(font);
        }
    }
    mmu_explorer_dial[MMU_YIELD].proc = mem_explorer_yield_proc;
    position_dialog(mmu_explorer_dial, 2, 2);
    snprintf(start_str, sizeof start_str, "0");
    mmu_explorer_dial[4].d2 = (int)strlen(start_str);
    dump_box[0] = 0;
    redraw();
    do_dialog(mmu_explorer_dial, -1);
}
