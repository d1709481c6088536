// Symbols of the programs being debugged: the names of symbol files as
// ovix-asm writes them (--symbols FILE): labels, and in format 2 also
// constants and register and port aliases. The debugger's disassembly, its
// address field, the debugger engine's expressions and the memory
// explorer's disassembly dump use them to show and accept names.
//
// Two groups of names: the BIOS's (the symbol file beside the BIOS image)
// and the cartridge's (the file beside the cartridge, or the files named
// on a command line, which add up). Loading a cartridge replaces only the
// cartridge's names. Where both groups have a name, the cartridge's is
// found first; an alias of a register or port is shown from the group of
// the code it appears in (the BIOS's for code at F800h and above). Nothing
// here needs a window.
//
// File format, as read. Format 1: blank lines and lines starting with ';'
// or '#' are skipped; every other line is 1 to 4 hexadecimal digits,
// blanks, and a name (a letter, '_' or '.' first, then letters, digits,
// '_' and '.'; at most 63 characters). Format 2 starts with the line
// "; ovix-asm symbols 2" and adds lines ";= KIND NAME VALUE": KIND is
// constant (VALUE a decimal number, or $ and hexadecimal digits), register
// (Rn) or port (Pn), n 0..255; readers of format 1 skip them as comments.
// A later format is refused. Names are compared without regard to case, as
// the assembler does; a name may appear once in a file, an address any
// number of times.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"

enum class symbol_kind : uint8 { label, constant, reg, port };
enum class symbol_group : uint8 { bios, cartridge };

// A name of the table.
struct symbol_info {
    const char *name = nullptr;   // as written in its file
    symbol_kind kind = symbol_kind::label;
    int64 value = 0;              // label: the address; constant: the value; reg, port: n
    symbol_group group = symbol_group::cartridge;
};

// "label", "constant", "register", "port".
const char *symbol_kind_text(symbol_kind k);

// Loads the symbol file `path` (a regular file of at most 4 MiB) as the
// whole table: every name of both groups is replaced by the file's (which
// count as the cartridge's). Returns null on success; otherwise a message
// naming the file and, for a bad line, its number ("game.sym:12: ..."),
// and the table is left as it was.
const char *symbols_load(const char *path);

// The same for a file's text already in memory; `name` stands for the file
// in messages.
const char *symbols_parse(const char *name, const char *text, size_t size);

// Adds the names of a file to a group, keeping those it has: several files
// add up. A name the group already has is accepted when it is the same
// kind and value, and refused otherwise. Null on success; otherwise the
// message, and the table is left as it was.
const char *symbols_add(symbol_group group, const char *path);
const char *symbols_add_text(symbol_group group, const char *name, const char *text, size_t size);

void symbols_clear();
void symbols_clear_group(symbol_group group);
// Names of every kind in the table.
size_t symbols_count();

// Any name (any case): its kind, value and group. The cartridge's names
// are found before the BIOS's. False when no name of the table is `name`.
bool symbols_lookup(const char *name, symbol_info *out);

// The name for an address: of the labels at that address the first one in
// the file that is not a local label ("print.loop"), else the first local
// one; null when the address has none.
const char *symbols_name(uint16 address);

// The labels at an address in the order of the file (the cartridge's
// first): the `index`-th one (from 0), null past the last.
const char *symbols_name_at(uint16 address, size_t index);

// The address of a label (any case). False when no label has that name.
bool symbols_address(const char *name, uint16 *address);

// The alias of register n or port n for code at `pc`: the first name of
// that register (port) in the file of the group the code belongs to, else
// of the other group; only names the disassembler dialect takes as they
// are (symbols_assembly_name). Null when it has none.
const char *symbols_register_name(unsigned n, uint16 pc);
const char *symbols_port_name(unsigned n, uint16 pc);

// True when the disassembler dialect takes `name` as a label as it is: not
// only hexadecimal digits (it would read as a number), not a register or
// port (A, B, ST, R5, P6), not a local name without its scope (".loop").
bool symbols_assembly_name(const char *name);

// The symbols of a cartridge image loaded from `rom_path`: the symbol file
// beside it replaces the cartridge's names. The file is "game.rom.sym"
// when there is one (the image's whole name), else "game.sym" (its
// extension replaced); without either the cartridge's names are emptied.
// Returns null when a file was loaded or there is none (*loaded then holds
// the file's name, or is empty); otherwise the message, and the
// cartridge's names are emptied too: the previous cartridge's names would
// be wrong for this one. The BIOS's names stay.
const char *symbols_load_beside(const char *rom_path, std::string *loaded);

// The same for the BIOS image loaded from `bios_path` ("BIOS7020.bin.sym",
// else "BIOS7020.sym"): replaces the BIOS's names only.
const char *symbols_load_beside_bios(const char *bios_path, std::string *loaded);

// Writes into `out` (of `size` bytes) the disassembler's text `text` of the
// instruction at `address`, `length` bytes long (what Dasm7000 wrote and
// returned), with its branch, call or memory target replaced by the label
// of that address:
//
//     JMP $-2          at C010, length 2  ->  JMP loop       (C010 is loop)
//     BTJO #80,R7,$+5  at C000, length 4  ->  BTJO #80,R7,done
//     CALL $F9B8                          ->  CALL iocall
//     LDA @#C000(B)                       ->  LDA @RXBUF(B)
//
// The result still assembles to the same bytes in ovix-asm's disassembler
// dialect (the one a dump with a DASM line is read in). A target without
// a label, a label whose name is only
// hexadecimal digits (which the disassembler dialect would read as a
// number; see symbols_assembly_name), and immediates (MOVD #1234,R7) stay
// as they are. Returns true when a name was put in, and then the target's
// address in *target when `target` is not null; `out` always receives the
// text.
bool symbols_name_target(const char *text, unsigned address, unsigned length, char *out, size_t size,
                         uint16 *target = nullptr);

// The aliases symbols_name_operands put into a text.
struct symbol_aliases {
    int count = 0;
    struct {
        const char *name;
        symbol_kind kind;   // reg or port
        unsigned n;
    } used[4];
};

// symbols_name_target, and then every register and port operand that has
// an alias (symbols_register_name, symbols_port_name for code at
// `address`) by that name: "MOV R6,A" -> "MOV TICKS,A", "MOVP A,P46" ->
// "MOVP A,VDPWR", "LDA *R10" -> "LDA *ADRL". With the aliases defined as
// they are (NAME EQU R6), the result assembles to the same bytes in the
// disassembler dialect. True when a target was named (as
// symbols_name_target); `aliases`, when not null, receives the aliases put
// in.
bool symbols_name_operands(const char *text, unsigned address, unsigned length, char *out, size_t size,
                           uint16 *target = nullptr, symbol_aliases *aliases = nullptr);
