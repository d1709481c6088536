// PLACEHOLDER: replaced by the shared emulation loop.
#include "main/loop.h"
int ask_bkpt = 0;
int dump_all = 0;
loop_result ovix_run(uint16, uint64, const loop_hooks *) { return {0, 0, LOOP_STOP_COUNT}; }
int ovix_reset() { return 2; }
void ovix_power_on() {}
void ovix_key() {}
