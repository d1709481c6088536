// TMS7000 disassembler: one instruction at an address of the main
// processor's memory, read through the bus, to one line of text.
#pragma once

#include "config.h"

enum operandtype { DONE = 0, NONE = 1, UI8 = 2, I8 = 3, UI16 = 4, I16 = 5, PCREL = 6, PCABS = 7, TRAP = 8 };

struct oprandinfo {
    char opstr[4][12];
    operandtype decode[4];
};

struct opcodeinfo {
    int opcode;
    char name[8];
    int operand;
};

enum { EA_DST = 0, EA_SRC = 1 };
enum { EA_DEFAULT = 0, EA_INT8, EA_UINT8, EA_INT16, EA_UINT16, EA_INT32, EA_UINT32, EA_SIZE };
enum { EA_NONE = 0, EA_VALUE, EA_ABS_PC, EA_REL_PC, EA_ZPG_RD, EA_ZPG_WR, EA_ZPG_RDWR,
       EA_MEM_RD, EA_MEM_WR, EA_MEM_RDWR, EA_PORT_RD, EA_PORT_WR, EA_COUNT };

constexpr int DASM_FORMATS = 46;
constexpr int DASM_OPCODES = 228;
extern const oprandinfo of[DASM_FORMATS];
extern const opcodeinfo opcodes[DASM_OPCODES];

unsigned Dasm7000(char *buffer, unsigned pc);
// The length in bytes of the instruction that starts with `opcode`, as
// Dasm7000 gives it, without reading the bus (1 for an undefined opcode).
unsigned dasm_length(uint8 opcode);
// The target of the relative branch at `pc` (its offset is the last byte
// of the instruction), read without side effects; false when the
// instruction has no relative target.
bool dasm_relative_target(unsigned pc, uint16 *target);
const char *set_ea_info(int what, unsigned value, int size, int access);
