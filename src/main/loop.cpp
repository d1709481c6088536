// PLACEHOLDER: replaced by the shared emulation loop.
#include "main/loop.h"
int ask_bkpt = 0;
int dump_all = 0;
int ovix_reset() { return 2; }
void ovix_key() {}
