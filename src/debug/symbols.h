// Symbols of the program being debugged: the labels of a symbol file as
// ovix-asm writes it (--symbols FILE), one "ADDRESS NAME" per line, the
// address in hexadecimal. The debugger's disassembly, its address field and
// the memory explorer's disassembly dump use them to show and accept names.
//
// One table for the whole program, empty until a file is loaded. Nothing
// here needs a window.
//
// File format, as read: blank lines and lines starting with ';' or '#' are
// skipped; every other line is 1 to 4 hexadecimal digits, blanks, and a
// name (a letter, '_' or '.' first, then letters, digits, '_' and '.').
// Names are compared without regard to case, as the assembler does; a name
// may appear once, an address any number of times.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"

// Loads the symbol file `path` (a regular file of at most 4 MiB) into the
// table. Returns null on success; otherwise a message naming the file and,
// for a bad line, its number ("game.sym:12: ..."), and the table is left as
// it was.
const char *symbols_load(const char *path);

// The same for a file's text already in memory; `name` stands for the file
// in messages.
const char *symbols_parse(const char *name, const char *text, size_t size);

void symbols_clear();
size_t symbols_count();

// The name for an address: of the labels at that address the first one in
// the file that is not a local label ("print.loop"), else the first local
// one; null when the address has none.
const char *symbols_name(uint16 address);

// The labels at an address in the order of the file: the `index`-th one
// (from 0), null past the last.
const char *symbols_name_at(uint16 address, size_t index);

// The address of a name (any case). False when no label has that name.
bool symbols_address(const char *name, uint16 *address);

// True when the disassembler dialect takes `name` as a label as it is: not
// only hexadecimal digits (it would read as a number), not a register or
// port (A, B, ST, R5, P6), not a local name without its scope (".loop").
bool symbols_assembly_name(const char *name);

// The symbols of a cartridge image loaded from `rom_path`: the symbol file
// beside it replaces the table. The file is "game.rom.sym" when there is
// one (the image's whole name), else "game.sym" (its extension replaced);
// without either the table is emptied. Returns null when a file was
// loaded or there is none (*loaded then holds the file's name, or is
// empty); otherwise the message, and the table is emptied too: the
// previous cartridge's names would be wrong for this one.
const char *symbols_load_beside(const char *rom_path, std::string *loaded);

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
