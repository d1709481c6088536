// TMS7000 instruction set: the packed-BCD helpers of the decimal add and
// subtract instructions. The handlers themselves are reached only through
// the steps tms7000_step and tms7000_ovix_step (cpu/tms7000.h).
#pragma once

#include "config.h"

// Two-digit packed-BCD addition of the low bytes of a and b plus carry_in.
// Each digit is corrected by one subtraction of 10; the decimal carry out
// is bit 8 of the result (0x100). Traced as "bcd_add()" in the always form.
OVIX_COLD uint16 bcd_add(uint16 a, uint16 b, uint16 carry_in);
// a - b as a + the ten's complement of b's low byte; bit 8 of the result is
// the carry of that addition. Traced as "bcd_sub()" in the always form.
OVIX_COLD uint16 bcd_sub(uint16 a, uint16 b);
// Ten's complement of a packed-BCD value: for two digits v, the low byte of
// the result is (100 - v) mod 100.
uint16 bcd_tencomp(uint16 v);
