// PLACEHOLDER: replaced by the instruction handlers.
#include "cpu/tms7000.h"
const opcode_fn opfn[256] = {};
const opcode_fn opfn_ovix[256] = {};
