// TMS3556 video display processor: 8-bit and 16-bit registers, 32 KiB of
// VRAM, the two VRAM address pointers, the register-port byte protocol, and
// the whole-frame renderer into a 320 x 250 picture.
#pragma once

#include "config.h"

// The picture: PICTURE_H lines of PICTURE_W colour indices.
constexpr int PICTURE_W = 320;
constexpr int PICTURE_H = 250;

enum dma_mode { dma_read = 0, dma_write = 1 };

extern uint8 vram[0x8000];
extern uint8 vdp_regs8[8];        // registers 0..7
extern uint16 vdp_regs16[8];      // registers 8..15 (element n - 8)
extern const char *const vdp_name[16];
extern uint16 vdp_acmp;           // linear pointer, loaded from BAMP
extern uint16 vdp_acmpxy;         // column/row pointer, loaded as ROW*256+COL
extern dma_mode vdp_acmpxy_mode;  // the direction that goes through vdp_acmpxy
extern uint8 row_col_written;
extern bool bamp_written;

// The colours of the eight colour indices, as 0xRRGGBB.
extern const uint32 ovix_col[8];

uint8 get_vram(int address);
void set_vram(uint16 address, uint8 val);
void clear_vram();
void get_vdp_debug(char *str);
void tms3556_reg_w(int offset, uint8 data);
void tms3556_vram_w(int offset, uint8 data);
uint8 tms3556_vram_r(int offset);
// The byte tms3556_vram_r would return now, without moving a pointer or
// consuming a pending load (for the debugger).
uint8 tms3556_vram_peek();
// The video-memory address the next access through the video port would
// use (a write when `write`, else a read), found without moving a pointer
// or consuming a pending load. It may be above 7FFF (such an access reads
// FF and writes nothing).
uint16 tms3556_vram_address(bool write);
uint8 tms3556_reg_r(int offset);
uint8 tms3556_initptr_r(int offset);
void tms3556_reset();
int tms3556_init(int vram_size);
// Renders video memory into the picture (PICTURE_W x PICTURE_H colour
// indices, a line after another) and returns it; it stays valid, and the
// same, until the next call.
const uint8 *tms3556_redraw();
// Counts the frames tms3556_redraw has really drawn; while it stays the
// same, the picture is the same.
uint32 tms3556_frame_serial();
// What tms3556_redraw does for a frame that nobody looks at: its trace
// line. The picture is drawn when it is asked for.
void tms3556_redraw_unseen();

// Register-port protocol state (sel: 0 selection byte next, 1 data byte,
// 2 discarded byte; reg, reg2: register of the next data byte and queued one).
void tms3556_get_port_state(int *sel, int *reg, int *reg2);
// Power-on state: all registers, pointers, flags and the port back to zero,
// VRAM cleared (the picture is kept).
void tms3556_power_on();
// Sets the register-port protocol state (the values get_port_state gives),
// for snapshots.
void tms3556_set_port_state(int sel, int reg, int reg2);
