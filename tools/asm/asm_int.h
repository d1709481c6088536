// ovix-asm's stages as they see each other: the text helpers and line
// splitter (scanner.cpp), the expression evaluator (expr.cpp), the
// instruction and data encoder (instr.cpp), the macro, repetition and
// conditional machinery (macro.cpp) and the output builders (output.cpp).
// Only asm.cpp ties them together; nothing here is for other programs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "asm.h"

namespace ovasm {

// ---------------------------------------------------------------------------
// Text helpers and the line splitter (scanner.cpp)

std::string upper(std::string s);
std::string trim(const std::string &s);
bool is_ident_start(char c);
bool is_ident_char(char c);
bool all_hex(const std::string &s);
int hex_digit(char c);   // 0..15; 16 for a character that is no hexadecimal digit
bool all_digits(const std::string &s);
std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string hex_bytes(const std::vector<uint8_t> &b);   // "8A 12 34"
// Text as it may be printed: valid UTF-8 and printable ASCII as they are,
// every other byte (controls, NUL, stray high bytes) as \xNN.
std::string printable(const std::string &s);
// A piece of source text quoted in a message: 'text', cut to 60
// characters ("...") so that a message never carries a whole long line.
std::string quote(const std::string &s);

// Splits at commas outside parentheses, strings and characters.
std::vector<std::string> split_operands(const std::string &s);
// The line without its comment (';' outside strings and characters).
std::string strip_comment(const std::string &s);
// One escape sequence after a backslash at s[i]; advances i past it.
bool parse_escape(const std::string &s, size_t &i, int &value);

// A whole operand written as a quoted string: "..." (or '...' when
// `single` is set). NotString when the operand does not start with such a
// quote; Error with `err` set when it does but is not a complete string.
enum class Str { NotString, Ok, Error };
Str parse_string(const std::string &t, bool single, std::vector<uint8_t> &bytes, std::string &err);

// A source line taken apart.
struct Line {
    std::vector<std::string> labels;   // names defined at the line's address (or the name of EQU/SET/MACRO)
    std::string op;                    // mnemonic, directive or macro name, as written; "=" for NAME = value
    std::string args;                  // operand field, trimmed, comment removed
    // A line of a disassembly listing (disassembler dialect only): the
    // address and the bytes it shows, and `op`/`args` its text.
    bool dump = false;
    unsigned dump_address = 0;
    std::vector<uint8_t> dump_bytes;
};

// Splits `text` by the rules of dialect `d`. `operation` tells what a word
// names: OP_NONE, OP_BUILTIN (a mnemonic or directive) or OP_MACRO. The
// common syntax reads a word in column 1 as a label unless it names an
// operation and no mnemonic or directive follows it.
enum { OP_NONE = 0, OP_BUILTIN = 1, OP_MACRO = 2 };
using OperationOf = std::function<int(const std::string &)>;
bool split_line(const std::string &text, Dialect d, const OperationOf &operation, Line &out, std::string &err);

// True when an operand is written exactly as the disassembler prints
// operands (#1F, @#1234(B), $-2, $1234, R5, P6, *R5, A, B, ST, a number).
bool is_dasm_notation(const std::string &operand);

// ---------------------------------------------------------------------------
// Expressions (expr.cpp)

// What a value stands for: a number, a register (Rn, and the names A and B)
// or a peripheral register (Pn).
enum VType : uint8_t { V_NUM, V_REG, V_PORT };

struct Value {
    int64_t v = 0;
    bool known = true;    // false while a forward reference has no value yet
    VType type = V_NUM;
    char ab = 0;          // 'A' or 'B': the register was named so (its own opcodes)
    bool from_ab = false; // a register reckoned from A or B (A+6): never read as a number
};

struct ExprEnv {
    Dialect dialect = Dialect::Common;
    int64_t here = 0;     // `$`: the address of the line
    // A symbol's value; false with `err` set when it has none.
    std::function<bool(const std::string &name, Value &out, std::string &err)> lookup;
};

// "a number", "a register" or "a port", for messages.
const char *vtype_text(VType t);

// A register or port where a number belongs, as the family's assemblers
// read it: a register is its address in the register file (R32 is 32), a
// port its peripheral address (P6 is 0106h). The registers named A and B
// (and names defined as them) stay registers. True when `v` was changed.
bool register_as_number(Value &v);

constexpr int MAX_EXPR_DEPTH = 64;   // nested parentheses, functions and byte prefixes

// Evaluates `text`. `hex` selects the disassembler dialect's rule inside
// `#` and `@#` operands: bare numbers there are hexadecimal. False with the
// first error in `err`; `out` is then unknown.
bool eval_expr(const std::string &text, const ExprEnv &env, bool hex, Value &out, std::string &err);

// ---------------------------------------------------------------------------
// Instruction and data encoding (instr.cpp)

// What one line gives: its bytes (also after errors, with zeros where a
// value is missing, so that the addresses behind it stay right) and the
// errors found. For EQU/SET lines the value instead of bytes.
struct Reading {
    std::vector<uint8_t> bytes;
    std::vector<std::string> errors;
    std::vector<std::string> marks;   // per error: the operand at fault as written ("" for none)
    struct Warning {
        std::string kind, text, mark;
    };
    std::vector<Warning> warnings;
    bool has_value = false;
    Value value;
    bool code = false;                // the bytes are an instruction (not data)
    bool ok() const { return errors.empty(); }
    void error(const std::string &text, const std::string &mark = "")
    {
        errors.push_back(text);
        marks.resize(errors.size() - 1);
        marks.push_back(mark);
    }
};

bool is_mnemonic(const std::string &word);
// An instruction: mnemonic (any case) and operand field.
void encode_instruction(const std::string &mnemonic, const std::string &args, const ExprEnv &env, Reading &out);
// True when an instruction operand means the same in the two
// environments (its kind and value; `a` and `b` differ in the dialect).
bool operand_reads_same(const std::string &operand, const ExprEnv &a, const ExprEnv &b);
// DB/BYTE/TEXT/ASCII (word = false) and DW/WORD (word = true) lists.
void encode_data(const std::string &op, const std::string &args, bool word, const ExprEnv &env, Reading &out);
// A value checked against a range; false (and an error) when outside.
bool in_range(const Value &v, int64_t lo, int64_t hi, const char *what, std::vector<std::string> &errors);

// ---------------------------------------------------------------------------
// Macros, repetitions and conditionals (macro.cpp)

struct SrcLine {
    int file;
    int line;
    std::string text;
};

struct Macro {
    std::string name;                  // as written
    std::vector<std::string> params;   // parameter names, upper case
    std::vector<std::string> written;  // the same as written
    std::vector<SrcLine> body;
    int file = 0, line = 0;            // where it is defined
};

constexpr int MAX_MACRO_DEPTH = 64;
constexpr int MAX_COND_DEPTH = 256;
constexpr int64_t MAX_REPEAT = 65536;

bool parse_macro_params(const std::string &args, std::vector<std::string> &params, std::string &err,
                        std::vector<std::string> *written = nullptr);
// The arguments of a macro call: comma-separated, outside strings and
// parentheses; an empty field is an empty argument.
std::vector<std::string> macro_arguments(const std::string &args);
// A body line with each parameter name replaced by its argument (whole
// words, any case) and "\@" by the expansion's number. False when the
// result would be longer than `limit` characters (`out` is then cut).
bool substitute(const std::string &text, const std::vector<std::string> &params,
                const std::vector<std::string> &args, int unique, size_t limit, std::string &out);

// The IF/ELSE/ENDIF stack.
class Conditionals {
public:
    struct Entry {
        int file, line;      // the IF
        int frame;           // the frame it was opened in
        bool parent;         // the enclosing code is assembled
        bool active;         // the current branch is assembled
        bool done;           // a branch was taken
        bool else_seen;
    };
    void clear() { stack_.clear(); }
    bool active() const { return stack_.empty() || stack_.back().active; }
    // True when the innermost open IF was opened in `frame`: only then do
    // ELSEIF, ELSE and ENDIF of that frame belong to it.
    bool innermost_in(int frame) const { return !stack_.empty() && stack_.back().frame == frame; }
    // IF/IFDEF/IFNDEF with the condition's truth (ignored when inactive).
    bool open(int file, int line, int frame, bool cond, std::string &err);
    // ELSEIF (cond evaluated only if `needs_else_if_cond` comes back true),
    // ELSE, ENDIF: for the innermost IF, which the caller has checked.
    bool needs_else_if_cond() const { return stack_.back().parent && !stack_.back().done; }
    bool else_if(bool cond, std::string &err);
    bool else_(std::string &err);
    void endif() { stack_.pop_back(); }
    // Entries of `frame` still open when it ends; removed.
    std::vector<Entry> close_frame(int frame);

private:
    std::vector<Entry> stack_;
};

// ---------------------------------------------------------------------------
// Output (output.cpp)

struct ListLine {
    int line = 0;
    std::string text;
    int64_t addr = -1;              // -1: no address shown
    std::vector<uint8_t> bytes;
    bool abbreviate = false;        // FILL/INCBIN: first bytes only
    bool is_equ = false;
    int64_t equ_value = 0;
    char equ_type = 0;              // 'R' or 'P': the value is a register or a port
    std::string marker;             // file change marker instead of a line
    int opcode = -1;                // an instruction's opcode: its cycles are shown
    bool skipped = false;           // a line IF left out
};

// What the output builders need of the last pass: where every byte came
// from, and the macro expansions it was in.
struct ByteSource {
    int file, line;                 // the source line (a macro's body line inside an expansion)
    int ctx;                        // the expansion it was assembled in (Layout::contexts), or -1
    uint8_t kind;                   // 0 nothing emitted, 1 code, 2 data
};
struct Expansion {
    int parent;                     // the expansion the call was in, or -1
    std::string macro;              // the macro's name as defined
    int call_file, call_line;       // its call
};
struct Layout {
    std::vector<std::string> files;   // source files by index (the root first)
    std::vector<uint8_t> mem;         // 64 KiB as assembled
    std::vector<int32_t> owner;       // per address: index into sources, or -1
    std::vector<ByteSource> sources;
    std::vector<Expansion> contexts;
    bool has_window = false;          // base/end are valid
    unsigned base = 0, end = 0;       // the output window, end exclusive
    uint8_t fill = 0xFF;
    std::string root;                 // the root file's name
};

// The listing's end: the table of names with their uses, and the sizes.
std::string listing_tail(const Layout &l, const Result &r);
// The map file: output window, segments, names by address and value.
std::string build_map(const Layout &l, const Result &r);
// The debug information (JSON).
std::string build_debug_info(const Layout &l, const Result &r);

// The listing's lines; `tail` (symbol table, sizes) follows them.
std::string build_listing(const std::vector<ListLine> &lines, const std::string &tail);
// The size of a listing line as build_listing writes it (for its bound).
size_t listing_line_size(const ListLine &l);

}  // namespace ovasm
