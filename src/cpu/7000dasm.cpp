// TMS7000 disassembler: turns the instruction at an address of the main
// processor's memory into one line of text ("MOVP #0F,P5", "BTJO #80,R7,$-6")
// and its length in bytes. Used by the debugger's disassembly window, the
// execution trace and the memory explorer's listings; the assembler
// (tools/asm) builds its instruction set from the same two tables, so the
// two agree by construction.
//
// Two tables drive it: `of`, the operand formats (per operand: how many
// bytes to read and the printf piece that prints them), and `opcodes`, the
// mnemonic and format of each opcode, searched in order (first match wins:
// B0 prints "CLRC", not "TSTA"). Opcode D7 always prints as the machine's
// video-read instruction "LDVDP".
//
// Memory is read through the bus like the processor reads it, side effects
// of the addressed device included; callers that must not disturb the
// machine suppress tracing around the call.
#include "cpu/7000dasm.h"

#include <array>

#include <cstdio>
#include <cstring>

#include "mem/memory.h"

// The disassembler's own opcode fetch. Internal linkage: the CPU core
// exports a function of the same name.
static int cpu_readop(unsigned address)
{
    return program_read_byte_8((int)(address & 0xFFFF));
}

// ---------------------------------------------------------------------------
// Operand formats. Piece j is the printf format for the operand that decode j
// describes; DONE ends the list.
const oprandinfo of[DASM_FORMATS] = {
    /*  0 */ {{" B,A", "", "", ""}, {NONE, DONE, DONE, DONE}},
    /*  1 */ {{" R%u", ",A", "", ""}, {UI8, NONE, DONE, DONE}},
    /*  2 */ {{" R%u", ",B", "", ""}, {UI8, NONE, DONE, DONE}},
    /*  3 */ {{" R%u", ",R%u", "", ""}, {UI8, UI8, DONE, DONE}},
    /*  4 */ {{" #%X", ",A", "", ""}, {UI8, NONE, DONE, DONE}},
    /*  5 */ {{" #%X", ",B", "", ""}, {UI8, NONE, DONE, DONE}},
    /*  6 */ {{" #%X", ",R%u", "", ""}, {UI8, UI8, DONE, DONE}},
    /*  7 */ {{" A", ",P%u", "", ""}, {NONE, UI8, DONE, DONE}},
    /*  8 */ {{" B", ",P%u", "", ""}, {NONE, UI8, DONE, DONE}},
    /*  9 */ {{" #%02X", ",P%u", "", ""}, {UI8, UI8, DONE, DONE}},
    /* 10 */ {{" @#%04X", "", "", ""}, {UI16, DONE, DONE, DONE}},
    /* 11 */ {{" R%u", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 12 */ {{" @#%04X(B)", "", "", ""}, {UI16, DONE, DONE, DONE}},
    /* 13 */ {{" B,A", ",%s", "", ""}, {NONE, PCREL, DONE, DONE}},
    /* 14 */ {{" R%u,A", ",%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 15 */ {{" R%u,B", ",%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 16 */ {{" R%u", ",R%u", ",%s", ""}, {UI8, UI8, PCREL, DONE}},
    /* 17 */ {{" #%X", ",A,%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 18 */ {{" #%X", ",B,%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 19 */ {{" #%X", ",R%u", ",%s", ""}, {UI8, UI8, PCREL, DONE}},
    /* 20 */ {{" A,P%u", ",%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 21 */ {{" B,P%u", ",%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 22 */ {{" #%02X", ",P%u", ",%s", ""}, {UI8, UI8, PCREL, DONE}},
    /* 23 */ {{"", "", "", ""}, {DONE, DONE, DONE, DONE}},
    /* 24 */ {{" R%u", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 25 */ {{" A,%s", "", "", ""}, {PCREL, DONE, DONE, DONE}},
    /* 26 */ {{" B,%s", "", "", ""}, {PCREL, DONE, DONE, DONE}},
    /* 27 */ {{" R%u", ",%s", "", ""}, {UI8, PCREL, DONE, DONE}},
    /* 28 */ {{" %s", "", "", ""}, {PCREL, DONE, DONE, DONE}},
    /* 29 */ {{" A,B", "", "", ""}, {NONE, DONE, DONE, DONE}},
    /* 30 */ {{" B,A", "", "", ""}, {NONE, DONE, DONE, DONE}},
    /* 31 */ {{" A,R%u", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 32 */ {{" B,R%u", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 33 */ {{" R%u,A", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 34 */ {{" R%u,B", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 35 */ {{" R%u", ",R%u", "", ""}, {UI8, UI8, DONE, DONE}},
    /* 36 */ {{" #%X,A", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 37 */ {{" #%X,B", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 38 */ {{" #%X", ",R%u", "", ""}, {UI8, UI8, DONE, DONE}},
    /* 39 */ {{" #%04X", ",R%u", "", ""}, {UI16, UI8, DONE, DONE}},
    /* 40 */ {{" #%04X(B)", ",R%u", "", ""}, {UI16, UI8, DONE, DONE}},
    /* 41 */ {{" P%u,A", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 42 */ {{" P%u,B", "", "", ""}, {UI8, DONE, DONE, DONE}},
    /* 43 */ {{" %s", "", "", ""}, {PCABS, DONE, DONE, DONE}},
    /* 44 */ {{"", "", "", ""}, {TRAP, DONE, DONE, DONE}},
    /* 45 */ {{" *R%u", "", "", ""}, {UI8, DONE, DONE, DONE}},
};

// Opcodes: {opcode, mnemonic, format}. Searched from the top, so of the two
// entries for B0 the first ("CLRC") is printed. The 30 unassigned opcodes
// have no entry, and D7 has only "LDVDP".
const opcodeinfo opcodes[DASM_OPCODES] = {
    {0x69, "ADC", 0}, {0x19, "ADC", 1}, {0x39, "ADC", 2}, {0x49, "ADC", 3}, {0x29, "ADC", 4}, {0x59, "ADC", 5}, {0x79, "ADC", 6},
    {0x68, "ADD", 0}, {0x18, "ADD", 1}, {0x38, "ADD", 2}, {0x48, "ADD", 3}, {0x28, "ADD", 4}, {0x58, "ADD", 5}, {0x78, "ADD", 6},
    {0x63, "AND", 0}, {0x13, "AND", 1}, {0x33, "AND", 2}, {0x43, "AND", 3}, {0x23, "AND", 4}, {0x53, "AND", 5}, {0x73, "AND", 6},
    {0x83, "ANDP", 7}, {0x93, "ANDP", 8}, {0xA3, "ANDP", 9},
    {0x8C, "BR", 43}, {0x9C, "BR", 45}, {0xAC, "BR", 12},
    {0x66, "BTJO", 13}, {0x16, "BTJO", 14}, {0x36, "BTJO", 15}, {0x46, "BTJO", 16}, {0x26, "BTJO", 17}, {0x56, "BTJO", 18}, {0x76, "BTJO", 19},
    {0x86, "BTJOP", 20}, {0x96, "BTJOP", 21}, {0xA6, "BTJOP", 22},
    {0x67, "BTJZ", 13}, {0x17, "BTJZ", 14}, {0x37, "BTJZ", 15}, {0x47, "BTJZ", 16}, {0x27, "BTJZ", 17}, {0x57, "BTJZ", 18}, {0x77, "BTJZ", 19},
    {0x87, "BTJZP", 20}, {0x97, "BTJZP", 21}, {0xA7, "BTJZP", 22},
    {0x8E, "CALL", 43}, {0x9E, "CALL", 45}, {0xAE, "CALL", 12},
    {0xB5, "CLR A", 23},
    {0xC5, "CLR B", 23},
    {0xD5, "CLR", 24},
    {0xB0, "CLRC", 23},
    {0x6D, "CMP", 0}, {0x1D, "CMP", 1}, {0x3D, "CMP", 2}, {0x4D, "CMP", 3}, {0x2D, "CMP", 4}, {0x5D, "CMP", 5}, {0x7D, "CMP", 6},
    {0x8D, "CMPA", 10}, {0x9D, "CMPA", 45}, {0xAD, "CMPA", 12},
    {0x6E, "DAC", 0}, {0x1E, "DAC", 1}, {0x3E, "DAC", 2}, {0x4E, "DAC", 3}, {0x2E, "DAC", 4}, {0x5E, "DAC", 5}, {0x7E, "DAC", 6},
    {0xB2, "DEC A", 23},
    {0xC2, "DEC B", 23},
    {0xD2, "DEC", 24},
    {0xBB, "DECD A", 23},
    {0xCB, "DECD B", 23},
    {0xDB, "DECD", 24},
    {0x06, "DINT", 23},
    {0xBA, "DJNZ", 25}, {0xCA, "DJNZ", 26}, {0xDA, "DJNZ", 27},
    {0x6F, "DSB", 0}, {0x1F, "DSB", 1}, {0x3F, "DSB", 2}, {0x4F, "DSB", 3}, {0x2F, "DSB", 4}, {0x5F, "DSB", 5}, {0x7F, "DSB", 6},
    {0x05, "EINT", 23},
    {0x01, "IDLE", 23},
    {0xB3, "INC A", 23},
    {0xC3, "INC B", 23},
    {0xD3, "INC", 24},
    {0xB4, "INV A", 23},
    {0xC4, "INV B", 23},
    {0xD4, "INV", 24},
    {0xE2, "JEQ", 28},
    {0xE3, "JHS", 28},
    {0xE7, "JL", 28},
    {0xE0, "JMP", 28},
    {0xE1, "JN", 28},
    {0xE6, "JNZ", 28},
    {0xE4, "JP", 28},
    {0xE5, "JPI", 28},
    {0x8A, "LDA", 10}, {0x9A, "LDA", 45}, {0xAA, "LDA", 12},
    {0x0D, "LDSP", 23},
    {0xC0, "MOV", 29}, {0x62, "MOV", 30}, {0xD0, "MOV", 31}, {0xD1, "MOV", 32}, {0x12, "MOV", 33}, {0x32, "MOV", 34}, {0x42, "MOV", 35}, {0x22, "MOV", 36}, {0x52, "MOV", 37}, {0x72, "MOV", 38},
    {0x88, "MOVD", 39}, {0x98, "MOVD", 35}, {0xA8, "MOVD", 40},
    {0x82, "MOVP", 7}, {0x92, "MOVP", 8}, {0xA2, "MOVP", 9}, {0x80, "MOVP", 41}, {0x91, "MOVP", 42},
    {0x6C, "MPY", 0}, {0x1C, "MPY", 1}, {0x3C, "MPY", 2}, {0x4C, "MPY", 3}, {0x2C, "MPY", 4}, {0x5C, "MPY", 5}, {0x7C, "MPY", 6},
    {0x00, "NOP", 23},
    {0x64, "OR", 0}, {0x14, "OR", 1}, {0x34, "OR", 2}, {0x44, "OR", 3}, {0x24, "OR", 4}, {0x54, "OR", 5}, {0x74, "OR", 6},
    {0x84, "ORP", 7}, {0x94, "ORP", 8}, {0xA4, "ORP", 9},
    {0xB9, "POP A", 23},
    {0xC9, "POP B", 23},
    {0xD9, "POP", 24},
    {0x08, "POP ST", 23},
    {0xB8, "PUSH A", 23},
    {0xC8, "PUSH B", 23},
    {0xD8, "PUSH", 24},
    {0x0E, "PUSH ST", 23},
    {0x0B, "RETI", 23},
    {0x0A, "RETS", 23},
    {0xBE, "RL A", 23},
    {0xCE, "RL B", 23},
    {0xDE, "RL", 11},
    {0xBF, "RLC A", 23},
    {0xCF, "RLC B", 23},
    {0xDF, "RLC", 11},
    {0xBC, "RR A", 23},
    {0xCC, "RR B", 23},
    {0xDC, "RR", 11},
    {0xBD, "RRC A", 23},
    {0xCD, "RRC B", 23},
    {0xDD, "RRC", 11},
    {0x6B, "SBB", 0}, {0x1B, "SBB", 1}, {0x3B, "SBB", 2}, {0x4B, "SBB", 3}, {0x2B, "SBB", 4}, {0x5B, "SBB", 5}, {0x7B, "SBB", 6},
    {0x07, "SETC", 23},
    {0x8B, "STA", 10}, {0x9B, "STA", 45}, {0xAB, "STA", 12},
    {0x09, "STSP", 23},
    {0x6A, "SUB", 0}, {0x1A, "SUB", 1}, {0x3A, "SUB", 2}, {0x4A, "SUB", 3}, {0x2A, "SUB", 4}, {0x5A, "SUB", 5}, {0x7A, "SUB", 6},
    {0xFF, "TRAP 0", 44}, {0xFE, "TRAP 1", 44}, {0xFD, "TRAP 2", 44}, {0xFC, "TRAP 3", 44}, {0xFB, "TRAP 4", 44}, {0xFA, "TRAP 5", 44},
    {0xF9, "TRAP 6", 44}, {0xF8, "TRAP 7", 44}, {0xF7, "TRAP 8", 44}, {0xF6, "TRAP 9", 44}, {0xF5, "TRAP 10", 44}, {0xF4, "TRAP 11", 44},
    {0xF3, "TRAP 12", 44}, {0xF2, "TRAP 13", 44}, {0xF1, "TRAP 14", 44}, {0xF0, "TRAP 15", 44}, {0xEF, "TRAP 16", 44}, {0xEE, "TRAP 17", 44},
    {0xED, "TRAP 18", 44}, {0xEC, "TRAP 19", 44}, {0xEB, "TRAP 20", 44}, {0xEA, "TRAP 21", 44}, {0xE9, "TRAP 22", 44}, {0xE8, "TRAP 23", 44},
    {0xB7, "SWAP A", 23},
    {0xC7, "SWAP B", 23},
    {0xD7, "LDVDP", 7},
    {0xB0, "TSTA", 23},
    {0xC1, "TSTB", 23},
    {0xB6, "XCHB A", 23},
    {0xC6, "XCHB B", 23},
    {0xD6, "XCHB", 11},
    {0x65, "XOR", 0}, {0x15, "XOR", 1}, {0x35, "XOR", 2}, {0x45, "XOR", 3}, {0x25, "XOR", 4}, {0x55, "XOR", 5}, {0x75, "XOR", 6},
    {0x85, "XORP", 7}, {0x95, "XORP", 8}, {0xA5, "XORP", 9},
    {0x00, "NOP", 23},
};

// ---------------------------------------------------------------------------
// Effective-address texts: eight rotating buffers, so the eight most recent
// results stay valid while a caller combines them.
static struct {
    char buffer[8][64];
    int which;
} ea;

const char *set_ea_info(int what, unsigned value, int size, int access)
{
    const char *sign = "";
    int width = 2;

    ea.which = (ea.which + 1) % 8;
    char *out = ea.buffer[ea.which];

    if (access == EA_REL_PC) value += (unsigned)size;   // size carries the offset
    if (what != EA_DST && what != EA_SRC) return "set_ea_info: invalid <what>!";

    switch (access) {
    case EA_VALUE:
        switch (size) {
        case EA_INT8: case EA_UINT8: width = 2; break;
        case EA_INT16: case EA_UINT16: width = 4; break;
        case EA_INT32: case EA_UINT32: width = 8; break;
        default: return "set_ea_info: invalid <size>!";
        }
        if (size == EA_INT8 || size == EA_INT16 || size == EA_INT32) {
            unsigned top = 1u << (width * 4 - 1);
            if (value & top) {
                sign = "-";
                value = 0u - value;
            }
        }
        if (width < 8) value &= (1u << (width * 4)) - 1;
        break;
    case EA_ABS_PC:
        value &= 0xFFFF;
        switch (size) {
        case EA_INT8: case EA_UINT8: width = 2; break;
        case EA_INT32: case EA_UINT32: width = 8; break;
        default: width = 4; break;      // a 16-bit address, also for sizes without a width
        }
        break;
    case EA_REL_PC: {
        int offset = size;
        if (offset == 0) return "$";
        unsigned magnitude = offset < 0 ? 0u - (unsigned)offset : (unsigned)offset;
        snprintf(out, sizeof ea.buffer[0], "$%s%u", offset < 0 ? "-" : "+", magnitude);
        return out;
    }
    case EA_ZPG_RD: case EA_ZPG_WR: case EA_ZPG_RDWR:
        value &= 0xFF;
        width = 2;
        break;
    case EA_MEM_RD: case EA_MEM_WR: case EA_MEM_RDWR:
        value &= 0xFFFF;                // a memory address
        width = 4;
        break;
    case EA_PORT_RD: case EA_PORT_WR:
        value &= 0xFF;                  // a peripheral register number
        width = 2;
        break;
    default:                            // EA_NONE, EA_COUNT, anything else
        return "set_ea_info: invalid <access>!";
    }
    snprintf(out, sizeof ea.buffer[0], "%s$%0*X", sign, width, value);
    return out;
}

// ---------------------------------------------------------------------------
// Operand bytes of each format, from its decode list.
static constexpr unsigned format_length(const oprandinfo &f)
{
    unsigned n = 1;
    for (operandtype t : f.decode) {
        if (t == UI8 || t == I8 || t == PCREL) n += 1;
        if (t == UI16 || t == I16 || t == PCABS) n += 2;
        if (t == DONE) break;
    }
    return n;
}

unsigned dasm_length(uint8 opcode)
{
    static const auto table = [] {
        std::array<uint8, 256> t{};
        t.fill(1);
        for (const opcodeinfo &o : opcodes) t[(size_t)o.opcode] = (uint8)format_length(of[o.operand]);
        return t;
    }();
    return table[opcode];
}

bool dasm_relative_target(unsigned pc, uint16 *target)
{
    pc &= 0xFFFF;
    const int op = bus_peek((int)pc);
    for (const opcodeinfo &o : opcodes) {
        if (o.opcode != op) continue;
        const oprandinfo &f = of[o.operand];
        bool relative = false;
        for (operandtype t : f.decode) relative |= t == PCREL;
        if (!relative) return false;
        const unsigned length = format_length(f);
        const int8 offset = (int8)bus_peek((int)((pc + length - 1) & 0xFFFF));
        *target = (uint16)(pc + length + offset);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
unsigned Dasm7000(char *buffer, unsigned pc)
{
    // Built in a local buffer: the longest text is 20 characters.
    char text[64] = "";
    size_t len = 0;
    unsigned length = 1;
    int op = cpu_readop(pc);
    pc++;

    const opcodeinfo *entry = nullptr;
    for (const opcodeinfo &o : opcodes)
        if (o.opcode == op) {
            entry = &o;
            break;
        }
    if (!entry) {
        strcpy(buffer, "Illegal Opcode");
        return 1;
    }

    auto append = [&](const char *fmt, auto arg) {
        if (len < sizeof text) {
            int n = snprintf(text + len, sizeof text - len, fmt, arg);
            if (n > 0) len += (size_t)n;
        }
    };
    append("%s", entry->name);

    const oprandinfo &f = of[entry->operand];
    for (int j = 0; j < 4 && f.decode[j] != DONE; j++) {
        const char *piece = f.opstr[j];
        switch (f.decode[j]) {
        case DONE:
            break;
        case NONE:
            append("%s", piece);
            break;
        case UI8:
            append(piece, (unsigned)cpu_readop(pc++));
            length += 1;
            break;
        case I8:
            append(piece, (int)(int8)cpu_readop(pc++));
            length += 1;
            break;
        case UI16: {
            unsigned msb = (unsigned)cpu_readop(pc++);
            unsigned lsb = (unsigned)cpu_readop(pc++);
            append(piece, msb * 256 + lsb);
            length += 2;
            break;
        }
        case I16: {
            unsigned msb = (unsigned)cpu_readop(pc++);
            unsigned lsb = (unsigned)cpu_readop(pc++);
            append(piece, (int)(int16)(uint16)(msb * 256 + lsb));
            length += 2;
            break;
        }
        case PCREL: {
            int8 offset = (int8)cpu_readop(pc++);
            // pc now points at the next instruction: targets are printed
            // as offsets from there.
            append(piece, set_ea_info(EA_DST, pc, offset, EA_REL_PC));
            length += 1;
            break;
        }
        case PCABS: {
            unsigned msb = (unsigned)cpu_readop(pc++);
            unsigned lsb = (unsigned)cpu_readop(pc++);
            append(piece, set_ea_info(EA_DST, msb * 256 + lsb, EA_UINT16, EA_ABS_PC));
            length += 2;
            break;
        }
        case TRAP: {
            // The vector word is read (and formatted into a text buffer) but
            // not printed: the mnemonic already carries the trap number.
            unsigned v = 0xFFFF - 2 * (0xFF - (unsigned)op);
            unsigned msb = (unsigned)cpu_readop(v - 1);
            unsigned lsb = (unsigned)cpu_readop(v);
            set_ea_info(EA_DST, msb * 256 + lsb, EA_UINT16, EA_ABS_PC);
            break;
        }
        }
    }
    strcpy(buffer, text);
    return length;
}
