// TMS3556 video display processor.
//
// Owns the chip's programmer-visible state: eight 8-bit and eight 16-bit
// registers, 32 KiB of VRAM, the linear pointer (loaded from BAMP) and the
// column/row pointer (loaded from ROW/COL), and the byte protocol of the
// register port. The CPU reaches it through the bus's video ports; the
// renderer turns VRAM into a 320 x 250 picture of colour indices, which
// front ends show with the eight-colour palette. The model raises no
// interrupt and keeps no status.
#include "video/tms3556.h"

#include <cstdio>
#include <cstring>

// Register numbers.
enum {
    REG_COL = 1, REG_ROW = 2, REG_CM3 = 6,
    REG_BAMT = 8, REG_BAMP = 9, REG_BAPA = 10,
    REG_BAGC0 = 11, REG_BAGC1 = 12, REG_BAGC2 = 13, REG_BAGC3 = 14, REG_BAMTF = 15,
};

// Screen geometry.
static constexpr int COLUMNS = 40;
static constexpr int ROW_LINES = 10;        // scanlines of a text or graphic row
static constexpr int TEXT_ROW_BYTES = 80;   // 40 cells of attribute + character
static constexpr int PLANE_RECORD = 122;    // 40 plane groups + 2 unused bytes
static constexpr int PATTERN_SLICE = 128;   // one line of all 128 characters

uint8 vram[0x8000];
uint8 vdp_regs8[8];
uint16 vdp_regs16[8];
const char *const vdp_name[16] = {
    "POINTER", "COL",  "ROW",  "STAT",  "CM1",   "CM2",   "CM3",   "CM4",
    "BAMT",    "BAMP", "BAPA", "BAGC0", "BAGC1", "BAGC2", "BAGC3", "BAMTF",
};
uint16 vdp_acmp;
uint16 vdp_acmpxy;
dma_mode vdp_acmpxy_mode;
uint8 row_col_written;
bool bamp_written;

// Red in bit 0 of an index, green in bit 1, blue in bit 2.
const uint32 ovix_col[8] = {0x000000, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

static uint8 s_frame[PICTURE_H * PICTURE_W];

// What the last frame was drawn from: a frame is drawn again only when some
// of it changed (the frame keeps the picture in between).
static struct {
    bool drawn;   // false: nothing drawn yet into the frame
    uint8 video_memory[0x8000];
    uint8 regs8[8];
    uint16 regs16[8];
} s_drawn;
static uint32 s_frame_serial;

// Register-port protocol state.
static int sel;    // 0: selection byte next, 1: data byte next, 2: byte discarded
static int reg;    // register that the next data byte goes to
static int reg2;   // register queued after reg, 0 = none

static inline uint16 reg16(int n) { return vdp_regs16[n - 8]; }

// ROW*256 + COL: the address every 16-bit load and the column/row pointer
// start from.
static inline uint16 row_col() { return static_cast<uint16>(vdp_regs8[REG_ROW] * 256 + vdp_regs8[REG_COL]); }

uint8 get_vram(int address)
{
    // Compared unsigned, so that a negative address reads 0xFF like any
    // other address outside the 32 KiB instead of indexing before vram.
    if (static_cast<unsigned>(address) > 0x7FFF) return 0xFF;
    return vram[address];
}

void set_vram(uint16 address, uint8 val)
{
    if (address & 0x8000) return;
    vram[address] = val;
}

void clear_vram()
{
    for (int a = 0; a <= 0x7FFF; a++) set_vram(static_cast<uint16>(a), 0);
}

void get_vdp_debug(char *str)
{
    char line[1024];
    size_t len = strlen(str);
    auto add = [&]() {
        size_t n = strlen(line);
        memcpy(str + len, line, n + 1);
        len += n;
    };
    for (int i = 1; i < 8; i++) {
        snprintf(line, sizeof line, "%s = x%02x\n", vdp_name[i], vdp_regs8[i]);
        add();
    }
    for (int i = 8; i < 16; i++) {
        snprintf(line, sizeof line, "%s = x%04x\n", vdp_name[i], reg16(i));
        add();
    }
    snprintf(line, sizeof line, "acmp = x%04x\n", vdp_acmp);
    add();
    snprintf(line, sizeof line, "acmpxy = x%04x\n", vdp_acmpxy);
    add();
    snprintf(line, sizeof line, "acmpxy mode = %s\n", vdp_acmpxy_mode == dma_read ? "read" : "write");
    add();
}

void tms3556_reg_w(int offset, uint8 data)
{
    TRACE_FUNC("tms3556_reg_w()");
    TRACE("WRITE %x", data);

    switch (sel) {
    case 0:
        // A selection byte with low nibble 0 selects nothing: keep waiting.
        reg = data & 0x0F;
        reg2 = data >> 4;
        if (reg != 0) sel = 1;
        break;
    case 1:
        if (reg < 8) {
            vdp_regs8[reg] = data;
            if (reg == REG_ROW) row_col_written = 1;
            TRACE("VDP => %s = %d", vdp_name[reg], data);
            if (reg2 == 0) {
                sel = 0;
            } else {
                reg = reg2;
                reg2 = 0;
            }
        } else {
            // The data byte is not stored: a 16-bit register takes the
            // ROW/COL address plus a per-register offset.
            int inc = (reg >= REG_BAGC0 && reg <= REG_BAGC3) ? 2 : 1;
            vdp_regs16[reg - 8] = static_cast<uint16>(row_col() + inc);
            row_col_written = 0;
            if (reg == REG_BAMP) {
                bamp_written = true;
                sel = 0;
            } else {
                bamp_written = false;
                sel = 2;
            }
        }
        break;
    default:
        sel = 0;
        break;
    }
}

// Consumes pending pointer loads before a VRAM access in direction `dir`:
// first the column/row pointer, then BAMP, so that when both are pending
// the access goes through the linear pointer. Its messages are the caller's
// (`debug_flag`: the caller's trace flag).
template <dma_mode dir>
static inline void reload_pointers(int debug_flag)
{
    static constexpr const char *trace_name_ = dir == dma_write ? "tms3556_vram_w()" : "tms3556_vram_r()";
    if (row_col_written) {
        row_col_written = 0;
        vdp_acmpxy = row_col();
        vdp_acmpxy_mode = dir;
        if (dir == dma_write) TRACE("SET (col row) acmpxy(WRITE) =x%x", vdp_acmpxy);
        else TRACE("SET (colrow) acmpxy(READ) =x%x", vdp_acmpxy);
    }
    if (bamp_written) {
        bamp_written = false;
        vdp_acmp = reg16(REG_BAMP);
        vdp_acmpxy_mode = dir == dma_write ? dma_read : dma_write;
        if (dir == dma_write) TRACE("SET (bamp) acmp(WRITE) =x%x", vdp_acmp);
        else TRACE("SET (bamp) acmp(READ) =x%x", vdp_acmp);
    }
}

// Pointer advance: 16-bit increment, then a pointer that meets BAMTF wraps
// to BAMP (equality only).
static inline void advance(uint16 &ptr)
{
    ptr = static_cast<uint16>(ptr + 1);
    if (ptr == reg16(REG_BAMTF)) ptr = reg16(REG_BAMP);
}

void tms3556_vram_w(int offset, uint8 data)
{
    TRACE_FUNC("tms3556_vram_w()");
    reload_pointers<dma_write>(debug_flag);
    if (vdp_acmpxy_mode == dma_write) {
        set_vram(vdp_acmpxy, data);
        TRACE("VRAM (acmpxy=x%x) = %x", vdp_acmpxy, data);
        advance(vdp_acmpxy);
    } else {
        set_vram(vdp_acmp, data);
        TRACE("VRAM (acmp=x%x) = %x", vdp_acmp, data);
        advance(vdp_acmp);
    }
}

uint16 tms3556_vram_address(bool write)
{
    // The reloads an access in that direction would make, applied to copies.
    const dma_mode dir = write ? dma_write : dma_read;
    dma_mode mode = vdp_acmpxy_mode;
    uint16 acmpxy = vdp_acmpxy, acmp = vdp_acmp;
    if (row_col_written) {
        acmpxy = row_col();
        mode = dir;
    }
    if (bamp_written) {
        acmp = reg16(REG_BAMP);
        mode = dir == dma_write ? dma_read : dma_write;
    }
    return mode == dir ? acmpxy : acmp;
}

uint8 tms3556_vram_peek() { return get_vram(tms3556_vram_address(false)); }

uint8 tms3556_vram_r(int offset)
{
    TRACE_FUNC("tms3556_vram_r()");
    TRACE("read value");
    reload_pointers<dma_read>(debug_flag);
    uint8 value;
    if (vdp_acmpxy_mode == dma_read) {
        value = get_vram(vdp_acmpxy);
        TRACE("Read VRAM (acmpxy=x%x) = %x", vdp_acmpxy, value);
        advance(vdp_acmpxy);
    } else {
        value = get_vram(vdp_acmp);
        TRACE("Read VRAM (acmp=x%x) = %x", vdp_acmp, value);
        advance(vdp_acmp);
    }
    return value;
}

uint8 tms3556_reg_r(int offset)
{
    TRACE_FUNC("tms3556_reg_r()");
    TRACE_ALWAYS("called");
    // No status is modelled: a program that reads it is stopped in the
    // debugger so that the user sees it.
    ask_bkpt = 1;
    return 0;
}

uint8 tms3556_initptr_r(int offset)
{
    TRACE_FUNC("tms3556_initptr_r()");
    TRACE("called");
    return 0;
}

// The eight 16-bit registers and both VRAM pointers back to 0: what reset,
// initialisation and power-on have in common.
static void clear_addresses()
{
    for (uint16 &r : vdp_regs16) r = 0;
    vdp_acmp = 0;
    vdp_acmpxy = 0;
}

void tms3556_reset()
{
    TRACE_FUNC("tms3556_reset()");
    // The 8-bit registers, the port state, the pending-load flags and the
    // pointer mode survive a reset.
    clear_addresses();
    clear_vram();
}

int tms3556_init(int vram_size)
{
    TRACE_FUNC("tms3556_init()");
    s_drawn.drawn = false;
    clear_vram();
    clear_addresses();
    return 0;
}

void tms3556_get_port_state(int *sel_out, int *reg_out, int *reg2_out)
{
    if (sel_out) *sel_out = sel;
    if (reg_out) *reg_out = reg;
    if (reg2_out) *reg2_out = reg2;
}

void tms3556_power_on()
{
    for (uint8 &r : vdp_regs8) r = 0;
    clear_addresses();
    vdp_acmpxy_mode = dma_read;
    row_col_written = 0;
    bamp_written = false;
    sel = 0;
    reg = 0;
    reg2 = 0;
    clear_vram();
}

// ---------------------------------------------------------------------------
// Rendering. Each scanline is first built as 320 colour indices, then
// written to the bitmap in one pass.

// Pattern-set base for attribute bits 4-3: 0x08 picks set 2 and 0x10 set 1.
static constexpr int pattern_set_reg[4] = {REG_BAGC0, REG_BAGC2, REG_BAGC1, REG_BAGC3};

// One scanline of 40 text cells starting at `cells`, line r (0 = top).
static void text_line(uint8 *out, int cells, int r)
{
    const int slice = (9 - r) * PATTERN_SLICE;
    for (int c = 0; c < COLUMNS; c++) {
        uint8 a = get_vram(cells + 2 * c);
        uint8 n = get_vram(cells + 2 * c + 1);
        uint8 fg = a >> 5;
        uint8 bg = a & 7;
        int base = reg16(pattern_set_reg[(a >> 3) & 3]);
        uint8 bits = get_vram(base + slice + (n & 0x7F));
        for (int p = 0; p < 8; p++) out[c * 8 + p] = (bits & (0x80 >> p)) ? fg : bg;
    }
}

// One scanline of 40 plane groups starting at `rec`. `red_first` selects
// which byte of a group is the red plane (bit 0 of the colour index): the
// first in bitmap pages, the third in graphic rows of mixed pages.
static void plane_line(uint8 *out, int rec, bool red_first)
{
    for (int c = 0; c < COLUMNS; c++) {
        uint8 b0 = get_vram(rec + 3 * c);
        uint8 b1 = get_vram(rec + 3 * c + 1);
        uint8 b2 = get_vram(rec + 3 * c + 2);
        uint8 red = red_first ? b0 : b2;
        uint8 blue = red_first ? b2 : b0;
        for (int p = 0; p < 8; p++) {
            int shift = 7 - p;
            out[c * 8 + p] = static_cast<uint8>(((red >> shift) & 1) | (((b1 >> shift) & 1) << 1) |
                                                (((blue >> shift) & 1) << 2));
        }
    }
}

// Scanline y of the picture.
static inline uint8 *picture_line(int y) { return s_frame + y * PICTURE_W; }

// The renderer's trace prologue and line.
static void redraw_trace()
{
    TRACE_FUNC("tms3556_redraw()");
    TRACE("Called for mode x%x", vdp_regs8[REG_CM3] & 0xC0);
}

void tms3556_redraw_unseen() { redraw_trace(); }

uint32 tms3556_frame_serial()
{
    return s_frame_serial;
}

OVIX_COLD const uint8 *tms3556_redraw()
{
    redraw_trace();
    const int mode = vdp_regs8[REG_CM3] & 0xC0;

    // A frame drawn from the same video memory and registers is still there.
    if (s_drawn.drawn && memcmp(s_drawn.regs8, vdp_regs8, sizeof vdp_regs8) == 0 &&
        memcmp(s_drawn.regs16, vdp_regs16, sizeof vdp_regs16) == 0 &&
        memcmp(s_drawn.video_memory, vram, sizeof vram) == 0)
        return s_frame;
    s_frame_serial++;
    s_drawn.drawn = true;
    memcpy(s_drawn.regs8, vdp_regs8, sizeof vdp_regs8);
    memcpy(s_drawn.regs16, vdp_regs16, sizeof vdp_regs16);
    memcpy(s_drawn.video_memory, vram, sizeof vram);

    const int page = reg16(REG_BAPA);

    if (mode == 0x80) {
        for (int s = 0; s < PICTURE_H; s++) {
            plane_line(picture_line(s), page + s * PLANE_RECORD, true);
        }
    } else if (mode == 0xC0) {
        // Mixed page: rows of text (80 bytes of cells + 2 row bytes) and
        // graphics (10 records of 122 bytes); the byte after the cells of a
        // text row, or byte 120 of a graphic row's last record, gives the
        // next row's kind in bit 4.
        uint16 q = static_cast<uint16>(page);
        bool graphic = false;
        int line = 0;
        for (int s = 0; s < PICTURE_H; s++) {
            if (graphic) plane_line(picture_line(s), q, false);
            else text_line(picture_line(s), q, line);
            line++;
            if (graphic) {
                if (line == ROW_LINES) {
                    graphic = (get_vram(q + 120) & 0x10) != 0;
                    line = 0;
                }
                q = static_cast<uint16>(q + PLANE_RECORD);
            } else if (line == ROW_LINES) {
                graphic = (get_vram(q + TEXT_ROW_BYTES) & 0x10) != 0;
                q = static_cast<uint16>(q + TEXT_ROW_BYTES + 2);
                line = 0;
            }
        }
    } else {
        // Modes 0x00 and 0x40: text page of 25 rows of 40 cells.
        for (int s = 0; s < PICTURE_H; s++) {
            int row = s / ROW_LINES;
            text_line(picture_line(s), page + row * TEXT_ROW_BYTES, s % ROW_LINES);
        }
    }
    return s_frame;
}

void tms3556_set_port_state(int sel_in, int reg_in, int reg2_in)
{
    sel = sel_in;
    reg = reg_in;
    reg2 = reg2_in;
}
