// ovix-asm as a library: assembles TMS7000 source text into a 64 KiB
// address space and cuts the output window out of it. The command-line
// program (main.cpp) and the tests call the same entry points.
//
// The instruction set comes from the disassembler's tables (cpu/7000dasm.h):
// every opcode entry and its operand format become one assembler form, so
// whatever the disassembler prints assembles back to the same bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ovasm {

struct Options {
    bool has_base = false;      // window start given (else: lowest address written)
    unsigned base = 0;
    bool has_size = false;      // window size given (else: up to the highest address written)
    unsigned size = 0;
    uint8_t fill = 0xFF;        // byte for the addresses of the window nothing writes
    bool want_listing = false;  // build Result::listing
};

struct Result {
    bool ok = false;                    // no errors: image (and listing) are valid
    std::vector<std::string> errors;    // "file:line: message", in the order found
    unsigned base = 0;                  // address of image[0]
    std::vector<uint8_t> image;         // the output window, unused bytes filled
    std::string listing;                // address, bytes, line number, source line
    std::map<std::string, int64_t> symbols;  // labels and constants with a value
    int passes = 0;                     // passes it took until the addresses settled
};

// Assembles a source file; INCLUDE and INCBIN names are relative to the
// including file.
Result assemble_file(const std::string &path, const Options &options = {});

// Assembles source text given in memory; `name` stands for its file name in
// messages and as the base of relative INCLUDE names.
Result assemble_text(const std::string &name, const std::string &text, const Options &options = {});

// One instruction or directive line assembled at `address`: its bytes, or
// the error message (without file and line) and no bytes. For tools and
// tests that work line by line.
bool assemble_line(const std::string &line, unsigned address, std::vector<uint8_t> &bytes,
                   std::string &error);

// The assembler's forms of a mnemonic as written in messages and the
// documentation ("A,Pn  B,Pn  #n,Pn  Pn,A  Pn,B"); empty for an unknown one.
std::string forms_of(const std::string &mnemonic);

// Texts of the disassembler's tables that could not be turned into an
// assembler form (empty when every opcode entry is understood).
std::vector<std::string> table_problems();

}  // namespace ovasm
