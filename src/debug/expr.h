// The debugger's expression language, shared by breakpoint and watchpoint
// conditions, breakpoint locations and watch ranges, and the console's
// eval and set commands.
//
//   numbers     hexadecimal by default: C010, 0C, 0x1F, $1F; decimal with #:
//               #100. A word made only of hexadecimal digits is a number.
//   registers   A, B, PC, SP, SR (or ST); the flags C, N, Z, I (0 or 1);
//               R0-R255 (the register file as the CPU reads it; above R127
//               the unmapped bytes read FF); P0-P255 (the peripheral file
//               and the ports at 0100-01FF as a CPU read would give them,
//               read without side effects). IDLE (1 while IDLE holds the
//               CPU), CYCLES (the emulated clock in cycles), PASSES (loop
//               passes since power-on; in a watchpoint's condition, the
//               pass that makes the access counted, as its stop reports).
//   memory      [addr] a byte of the CPU's space, w[addr] a big-endian word,
//               v[addr] a byte of video memory (0000-7FFF). Read without
//               side effects.
//   labels      names of the symbol files (any case): a label is its
//               address, a constant its value, a register or port alias
//               the register or port it names (COUNT for R6 reads R6); a
//               name made only of hexadecimal digits, or named like a
//               register, is written label(NAME).
//   locations   where an expression is a location (a breakpoint's address,
//               a watch range, an address to dump), a register or port
//               name, or an alias of one, is its address instead: R6 and
//               COUNT are 0006, P46 012E, A 0000 and B 0001; inside
//               brackets ([..], w[..], v[..]) names are values again.
//   watch       value (the byte read or written) and old (the byte before a
//               write), in a watchpoint's condition only.
//   operators   C's, with C's precedence: unary - + ! ~, * / %, + -, << >>,
//               < <= > >=, == !=, &, ^, |, &&, ||; parentheses.
//
// Values are 64-bit signed integers; comparisons and logic give 0 or 1.
// Compiling checks everything that can be checked at once (syntax, names,
// constant addresses) and says where it went wrong; evaluating never
// changes the machine and fails only on a division by zero or an address
// outside its space.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"

constexpr int EXPR_MAX_DEPTH = 64;       // nesting of operators and brackets
constexpr size_t EXPR_MAX_LENGTH = 1000; // characters of one expression

// One node of a compiled expression's tree: an operation (expr.cpp has
// their list), its operand nodes or register number, a constant, and the
// column it was written at (for evaluation errors).
struct expr_node {
    uint8 op = 0;
    int32 a = -1, b = -1;
    int64 value = 0;
    int column = 0;
};

// A compiled expression.
struct dbg_expr {
    std::vector<expr_node> nodes;   // the tree; the root is the last node
    std::string text;               // the source, as given
    bool uses_value = false;        // names value or old
    bool empty() const { return nodes.empty(); }
};

// What a watchpoint's condition sees of the access.
struct expr_access {
    uint32 value = 0;   // the byte read or written
    uint32 old = 0;     // the byte before a write (the same byte for a read)
};

// Compiles `text`. `with_access`: value and old may be named; `location`:
// the text is a location (see above). False with *error set ("at column 4:
// unknown name 'foo'") when it is not sound.
bool expr_compile(const char *text, bool with_access, dbg_expr *out, std::string *error, bool location = false);

// Evaluates `e` on the machine as it is (and `access` for value and old).
// False with *error set when it cannot (division by zero, address outside
// its space).
bool expr_eval(const dbg_expr &e, const expr_access *access, int64 *value, std::string *error);

// Compiles and evaluates at once: a value, or a location.
bool expr_evaluate(const char *text, int64 *value, std::string *error);
bool expr_evaluate_location(const char *text, int64 *value, std::string *error);

// The register a `set` command may change: one of the names above that is
// a register or flag (not IDLE, CYCLES, PASSES, which are not state one
// sets), a register-file or peripheral register, or a memory byte/word.
// Parsed from the left side of "TARGET=EXPR".
enum expr_target_kind { TARGET_REG_A, TARGET_REG_B, TARGET_PC, TARGET_SP, TARGET_SR, TARGET_FLAG,
                        TARGET_RF, TARGET_PF, TARGET_MEM, TARGET_WORD, TARGET_VRAM };
struct expr_target {
    expr_target_kind kind = TARGET_REG_A;
    uint32 index = 0;   // flag bit, register number, or address
};
bool expr_parse_target(const char *text, expr_target *out, std::string *error);

// Writes `value` to the target as the debugger's change of the machine.
// Registers, the register file, RAM and video memory are written directly;
// a ROM byte (cartridge or BIOS) is patched in the loaded image; the
// peripheral file and the ports at 0100-01FF are written as a CPU write
// would write them, with its effects (a port B write moves the handshake).
// False with *error set when the value does not fit the target.
bool expr_assign(const expr_target &t, int64 value, std::string *error);

// "TARGET=VALUE" (the console's `set`, the debugger's change dialog): the
// first '=' that is not part of a comparison splits it; the target as
// expr_parse_target reads it, the value as an expression; then
// expr_assign. False with *error set when any part is wrong (nothing is
// changed then).
bool expr_set(const char *text, std::string *error);

// The text of a value for replies: hexadecimal, then the decimal value
// with its '#': "60C4 (#24772)", "-5 (#-5)".
std::string expr_value_text(int64 value);
