// PLACEHOLDER: replaced by the CPU core.
#include "cpu/tms7000.h"
tms7000_Regs tms7000;
int32 tms7000_icount, tms7000_div_by_16_trigger, tms7000_cycles_per_INT2;
void tms7000_reset(void *) {}
int tms7000_ovix_execute(int) { return 0; }
int tms7000_execute(int) { return 0; }
void tms7000_set_irq_line(int, int) {}
void tms7000_check_IRQ_lines() {}
void tms7000_do_interrupt(int, int) {}
void tms7000_set_irq_callback(int (*)(int)) {}
void tms7000_get_context(tms7000_Regs *) {}
void tms7000_set_context(const tms7000_Regs *) {}
void tms7000_init() {}
void tms7000_exit() {}
void tms7000_A6EC1() {}
unsigned tms7000_dasm(char *, unsigned) { return 1; }
void tms7000_power_on() {}
uint16 get_pc() { return tms7000.pc.w.l; }
uint8 get_sp() { return 0; }
uint8 get_sr() { return 0; }
const char *get_sr_str() { return ""; }
uint8 get_rf(int) { return 0; }
int cpu_readop(int) { return 0; }
int cpu_readop_arg(int) { return 0; }
uint16 RM16(uint32) { return 0; }
void WM16(uint32, PAIR) {}
uint16 RRF16(uint32) { return 0; }
void WRF16(uint32, PAIR) {}
void illegal() {}
uint8 tms70x0_pf_r(int) { return 0; }
void tms70x0_pf_w(int, uint8) {}
void tms7000_service_timer1() {}
uint8 tms7000_internal_r(int) { return 0; }
void tms7000_internal_w(int, uint8) {}
