// ovix-asm as a library: assembles TMS7000 source text into a 64 KiB
// address space and cuts the output window out of it. The command-line
// program (main.cpp) and the tests call the same entry points.
//
// Two dialects. The common syntax of the family's cross assemblers is the
// default: numbers are decimal unless marked (0FFh, 0x1F, >1F, $1F, 0101b,
// 17q), `#n` and `%n` are immediates, `@addr` memory, `$` the address of the
// instruction. The disassembler's own text is the other dialect, chosen
// explicitly (Options::dialect, or a line "DASM" in the file): after `#`
// numbers are hexadecimal and `$-2` counts from the next instruction, as
// the disassembler prints them. A line that reads differently in the two
// and that the chosen dialect cannot be sure of is an error naming both
// readings.
//
// The stages live in their own files: scanner.cpp (lines, operands,
// strings), expr.cpp (expressions and numbers), macro.cpp (macros,
// repetitions, conditionals), instr.cpp (instruction and data encoding,
// built from the disassembler's tables), output.cpp (output window,
// listing, symbol file) and asm.cpp (passes, symbols, directives).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ovasm {

enum class Dialect {
    Common,   // the family's common cross-assembler syntax (default)
    Dasm,     // the disassembler's text
};

// A cartridge image the BIOS's loader accepts: its size, and the address
// window it is loaded at (every size ends at 7FFFh).
struct CartSize {
    unsigned bytes;      // the image's size
    unsigned base;       // the address of its first byte
    unsigned first;      // the first address the machine sees (0200h for 32 KiB)
    const char *name;    // as the option takes it: "8K", "16K", "31.5K", "32K"
};
// The sizes the loader accepts, smallest first.
const std::vector<CartSize> &cartridge_sizes();

// The kinds of warning, by the names --no-warn takes.
const std::vector<std::string> &warning_kinds();

struct Options {
    bool has_base = false;      // window start given (else: lowest address written)
    unsigned base = 0;
    bool has_size = false;      // window size given (else: up to the highest address written)
    unsigned size = 0;
    uint8_t fill = 0xFF;        // byte for the addresses of the window nothing writes
    bool want_listing = false;  // build Result::listing
    bool want_map = false;      // build Result::map
    bool want_debug_info = false;   // build Result::debug_info
    Dialect dialect = Dialect::Common;   // every file starts in it; DASM switches a file
    bool warnings_as_errors = false;     // every warning fails the assembly
    std::vector<std::string> no_warn;    // kinds of warning not reported (warning_kinds())
    // A cartridge image: the window is the size's (base and size above are
    // then ignored), and the image must carry the signature and an entry
    // the BIOS starts.
    const CartSize *cartridge = nullptr;
    // Lines assembled in one pass at most; 0 for the program's bound
    // (1,000,000). A harness that runs hostile sources by the thousand sets
    // less, so that each one ends sooner.
    long max_lines_per_pass = 0;
};

// One error or warning with the source line it is about.
struct Diagnostic {
    bool warning = false;
    std::string kind;        // a warning's kind (warning_kinds()); empty for an error
    std::string text;        // "file:line: message" ("file:line: warning: message [kind]"), as in errors/warnings
    std::string source;      // the source line (as expanded), printable: other bytes escaped; empty when none
    int column = -1;         // the part of `source` at fault: its first column (0-based), -1 for none
    int width = 0;           // and its width (at least 1 when column >= 0)
};

// What a name of the program is, for the symbol file, the listing and the
// debug information.
enum class SymbolKind { Label, Constant, Register, Port, Macro };
const char *symbol_kind_name(SymbolKind k);   // "label", "constant", "register", "port", "macro"

struct SymbolInfo {
    std::string name;           // as written; a local label with its scope
    SymbolKind kind = SymbolKind::Constant;
    int64_t value = 0;          // label: the address; register, port: n; macro: 0
    bool redefinable = false;   // SET: the value of its last SET
    std::string file;           // where it is defined
    int line = 0;
    std::vector<std::pair<std::string, int>> uses;   // file and line of each use (listing only; at most 100)
    long use_count = 0;         // uses in all (listing only)
};

// A label of the program: a name defined at an address.
struct Label {
    std::string name;   // as written; a local label with its scope: "print.loop"
    unsigned address;
};

struct Result {
    bool ok = false;                    // no errors: image (and listing) are valid
    std::vector<std::string> errors;    // "file:line: message", in line order
    std::vector<std::string> warnings;  // "file:line: warning: message [kind]", in line order
    std::vector<Diagnostic> diagnostics;   // the errors and warnings in line order, with their source lines
    bool root_unreadable = false;       // the source file itself could not be read
    unsigned base = 0;                  // address of image[0]
    std::vector<uint8_t> image;         // the output window, unused bytes filled
    std::string listing;                // address, bytes, cycles, line number, source line; symbols; sizes
    std::string map;                    // segments and symbols by address (Options::want_map)
    std::string debug_info;             // JSON (Options::want_debug_info)
    std::map<std::string, int64_t> symbols;  // labels and constants with a value, by name as written
    std::vector<Label> labels;          // labels in the order of their definition
    std::vector<SymbolInfo> names;      // every name: labels, constants, registers, ports, macros, by definition
    std::vector<std::string> inputs;    // every source file read, the root first
    std::vector<std::string> binaries;  // every file INCBIN read
    int passes = 0;                     // passes it took until the addresses settled
};

// Assembles a source file; INCLUDE and INCBIN names are relative to the
// including file. Only regular files are read.
Result assemble_file(const std::string &path, const Options &options = {});

// Assembles source text given in memory; `name` stands for its file name in
// messages and as the base of relative INCLUDE names.
Result assemble_text(const std::string &name, const std::string &text, const Options &options = {});

// One instruction or directive line assembled at `address`: its bytes, or
// the error message (without file and line) and no bytes. For tools and
// tests that work line by line; the default dialect here is the
// disassembler's, whose lines these usually are.
bool assemble_line(const std::string &line, unsigned address, std::vector<uint8_t> &bytes, std::string &error,
                   Dialect dialect = Dialect::Dasm);

// The symbol file of a result, format 2: a first line "; ovix-asm symbols
// 2"; one line "ADDRESS NAME" per label, the address in four upper-case
// hexadecimal digits, sorted by address (labels of one address in the
// order of their definition); then one line ";= KIND NAME VALUE" per other
// name (constant: a decimal number; register: Rn; port: Pn), in the order
// of their definition. Readers of the first format, which skip lines
// starting with ';', see the labels as before.
std::string symbol_file_text(const Result &result);

// An Intel HEX text of `image` loaded at `base`: data records of 16 bytes,
// an end-of-file record.
std::string intel_hex_text(const std::vector<uint8_t> &image, unsigned base);

// Cycles of an opcode of the machine's instruction set as the processor
// charges them: `cycles` (taken, for a conditional branch) and `not_taken`
// (-1 for an instruction that does not branch on a condition).
void opcode_cycles(uint8_t opcode, int &cycles, int &not_taken);

// The assembler's forms of a mnemonic as written in messages and the
// documentation ("A,Pn  B,Pn  #n,Pn  Pn,A  Pn,B"); empty for an unknown one.
std::string forms_of(const std::string &mnemonic);

// Texts of the disassembler's tables that could not be turned into an
// assembler form (empty when every opcode entry is understood).
std::vector<std::string> table_problems();

}  // namespace ovasm
