// PLACEHOLDER: replaced by the video chip.
#include "video/tms3556.h"
uint8 vram[0x8000];
uint8 vdp_regs8[8];
uint16 vdp_regs16[8];
const char *const vdp_name[16] = {};
uint16 vdp_acmp, vdp_acmpxy;
dma_mode vdp_acmpxy_mode;
uint8 row_col_written;
bool bamp_written;
BITMAP *tmpbitmap;
int ovix_col[8];
uint8 get_vram(int) { return 0; }
void set_vram(uint16, uint8) {}
void clear_vram() {}
void get_vdp_debug(char *) {}
void tms3556_reg_w(int, uint8) {}
void tms3556_vram_w(int, uint8) {}
uint8 tms3556_vram_r(int) { return 0; }
uint8 tms3556_reg_r(int) { return 0; }
uint8 tms3556_initptr_r(int) { return 0; }
void tms3556_reset() {}
int tms3556_init(int) { return 1; }
BITMAP *tms3556_redraw() { return tmpbitmap; }
void tms3556_get_port_state(int *, int *, int *) {}
void tms3556_power_on() {}
