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

struct Options {
    bool has_base = false;      // window start given (else: lowest address written)
    unsigned base = 0;
    bool has_size = false;      // window size given (else: up to the highest address written)
    unsigned size = 0;
    uint8_t fill = 0xFF;        // byte for the addresses of the window nothing writes
    bool want_listing = false;  // build Result::listing
    Dialect dialect = Dialect::Common;   // every file starts in it; DASM switches a file
};

// A label of the program: a name defined at an address.
struct Label {
    std::string name;   // as written; a local label with its scope: "print.loop"
    unsigned address;
};

struct Result {
    bool ok = false;                    // no errors: image (and listing) are valid
    std::vector<std::string> errors;    // "file:line: message", in line order
    bool root_unreadable = false;       // the source file itself could not be read
    unsigned base = 0;                  // address of image[0]
    std::vector<uint8_t> image;         // the output window, unused bytes filled
    std::string listing;                // address, bytes, line number, source line
    std::map<std::string, int64_t> symbols;  // labels and constants with a value, by name as written
    std::vector<Label> labels;          // labels in the order of their definition
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

// The symbol file of a result: one line "ADDRESS NAME" per label, the
// address in four upper-case hexadecimal digits, sorted by address (labels
// of one address in the order of their definition).
std::string symbol_file_text(const Result &result);

// The assembler's forms of a mnemonic as written in messages and the
// documentation ("A,Pn  B,Pn  #n,Pn  Pn,A  Pn,B"); empty for an unknown one.
std::string forms_of(const std::string &mnemonic);

// Texts of the disassembler's tables that could not be turned into an
// assembler form (empty when every opcode entry is understood).
std::vector<std::string> table_problems();

}  // namespace ovasm
