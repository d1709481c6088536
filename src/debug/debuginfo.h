// Debug information of the programs loaded (ovix-asm --debug-info, the
// format described in docs/debug-info.md): the source line of every byte a
// program wrote, with the calls of the macros it came from, its names, and
// its code and data. The debugger engine stops a program that executes a
// byte no source line produced, and steps by source line; the window's
// debugger shows the source; the console and the debug adapter map lines
// to addresses.
//
// Several files add up (the BIOS's and a cartridge's); a file replaces an
// earlier one whose image overlaps its own (a new cartridge's). Nothing
// here needs a window.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"

// Where a byte came from: the line that wrote it, and, inside a macro
// expansion, the lines that called the macros, innermost first.
struct dbg_source_call {
    std::string macro;
    int file = 0;   // index into the file's sources (debuginfo_file_name)
    int line = 0;
};

struct dbg_source_line {
    uint16 address = 0;   // its first byte
    uint16 size = 0;      // its bytes
    bool code = true;     // instructions (else data)
    int info = 0;         // which debug information file (0 for the first loaded)
    int file = 0;         // index into that file's sources
    int line = 0;         // 1 is the first line
    std::vector<dbg_source_call> expansion;
};

// A source line as a stepping debugger sees it: outside every macro (the
// last call of an expansion, or the line itself).
struct dbg_source_place {
    int info = -1;
    int file = -1;
    int line = 0;
    bool operator==(const dbg_source_place &) const = default;
    bool known() const { return info >= 0; }
};

// Loads a debug information file. Null on success; else a message naming
// the file and what is wrong ("game.dbg: not debug information of
// ovix-asm", "game.dbg: version 2; this program reads version 1", "game.dbg:
// bad entry 12 of \"lines\""), and nothing changes.
const char *debuginfo_load(const char *path);
// The same for text in memory; `name` stands for the file.
const char *debuginfo_parse(const char *name, const char *text, size_t size);
void debuginfo_clear();
size_t debuginfo_count();   // files loaded

// The line that wrote the byte at `address`, or null.
const dbg_source_line *debuginfo_line_at(uint16 address);
// Its place outside macros (unknown when no line wrote it).
dbg_source_place debuginfo_place(uint16 address);
// True when `address` is the first byte of a line's bytes.
bool debuginfo_line_starts(uint16 address);

// A source file's name as the assembler named it, and the path to read it
// (relative names taken from the debug information file's folder).
std::string debuginfo_file_name(int info, int file);
std::string debuginfo_file_path(int info, int file);
// "game.asm:44"
std::string debuginfo_place_text(const dbg_source_place &p);

// The first address of each run of code that a source line wrote
// (the line as written, or a macro call written there), for breakpoints by
// line. `file` is matched against the sources' names and paths by their
// end ("print.asm" finds "lib/print.asm"). Empty when none.
std::vector<uint16> debuginfo_addresses(const std::string &file, int line);

// True when `address` lies in the image of a file loaded and no source line
// wrote it: fill, which a program runs into when it runs off its code.
bool debuginfo_unwritten(uint16 address);
// The image windows loaded, for the engine's map: [first, last] pairs.
std::vector<std::pair<uint16, uint16>> debuginfo_images();
