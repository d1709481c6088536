// PLACEHOLDER: replaced by the disassembler.
#include "cpu/7000dasm.h"
const oprandinfo of[DASM_FORMATS] = {};
const opcodeinfo opcodes[DASM_OPCODES] = {};
unsigned Dasm7000(char *buffer, unsigned) { buffer[0] = 0; return 1; }
const char *set_ea_info(int, unsigned, int, int) { return ""; }
