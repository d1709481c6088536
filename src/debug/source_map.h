// The source lines of the programs being debugged: the debug information
// ovix-asm writes (--debug-info FILE, docs/debug-info.md), read into one
// table for the whole machine, so that a debugger can name the file and
// line of an address, find the addresses of a line, step by source line
// and see a program run into bytes no source line produced.
//
// Several files may be loaded at once (a cartridge's and the BIOS's); each
// one describes its own image. Loading a file whose image is already
// described replaces the older one. Files of sources are named by their
// full paths: a relative name in the debug information is taken from the
// folder the assembler ran in (its member "folder"), or, in a file written
// before the assembler recorded it, from the folder of the debug
// information file: never from the folder of whoever reads it.
//
// A line's *statement* is where a debugger stepping by source line stops:
// the line itself, or for a line inside a macro expansion the outermost
// call of the macro (the line of a file outside every macro).
//
// Nothing here needs a window; nothing here touches the machine.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "config.h"

constexpr int SRCMAP_VERSION = 1;                     // the format version read
constexpr long long SRCMAP_MAX_FILE_BYTES = 64ll << 20;

struct srcmap_place {
    int file = -1;   // index into srcmap_file(); -1: none
    int line = 0;    // from 1
    bool operator==(const srcmap_place &) const = default;
};

struct srcmap_call {
    std::string macro;   // the macro called
    srcmap_place at;     // the line that called it
};

// One entry of "lines": `size` bytes from `address` that one source line
// wrote.
struct srcmap_line {
    uint16 address = 0;
    uint32 size = 0;
    bool code = true;                   // else data
    srcmap_place at;                    // the line that wrote them (a macro's body line inside a macro)
    std::vector<srcmap_call> expansion; // the calls that led there, innermost first
};

struct srcmap_symbol {
    std::string name;     // as written; a local label with its scope
    std::string kind;     // "label", "constant", "register", "port", "macro"
    bool has_value = false;
    int64 value = 0;
    srcmap_place at;      // where it is defined
};

// Loads a debug information file. False with *error set (naming the file
// and, for a bad entry, the member and its index) when it cannot be read or
// is not debug information of a version this program reads; the table is
// then left as it was.
bool srcmap_load(const char *path, std::string *error);
// The same for a file's text already in memory; `path` names it in
// messages and is the folder relative source names are tried in.
bool srcmap_parse(const char *path, const std::string &text, std::string *error);

void srcmap_clear();
// Forgets the files whose image overlaps first..last (the cartridge's area,
// when another cartridge is loaded).
void srcmap_forget(uint16 first, uint16 last);
bool srcmap_loaded();
// The debug information files loaded, as given.
const std::vector<std::string> &srcmap_loaded_files();

// Source files, by index.
size_t srcmap_file_count();
const std::string &srcmap_file(int index);
// The index of a source file named by a path (compared by their real
// paths, so that a link or "a/../b" finds the file), or -1.
int srcmap_find_file(const char *path);

// The entry whose bytes hold `address`, or null.
const srcmap_line *srcmap_line_at(uint16 address);
// The statement of an entry (see the top of the file).
srcmap_place srcmap_statement(const srcmap_line &l);
// The statement at an address ({-1, 0} when no line wrote it).
srcmap_place srcmap_statement_at(uint16 address);

// Where a breakpoint on a source line goes: the first address of each
// place the line's code was put, in address order. A line that a macro
// body or REPT repeats gives one address per repetition; a line that calls
// a macro gives the first address of each expansion. Empty when the line
// wrote no code.
std::vector<uint16> srcmap_line_addresses(int file, int line);
// The first line at or after `line` of `file` that wrote code, at most
// `lookahead` lines further; 0 when there is none.
int srcmap_code_line_from(int file, int line, int lookahead = 1000);

// The loaded images: [first, last] address ranges.
std::vector<std::pair<uint16, uint16>> srcmap_images();
// The addresses of the loaded images that no line wrote (the fill), as
// [first, last] ranges in address order.
std::vector<std::pair<uint16, uint16>> srcmap_unwritten();

// The symbols of every loaded file, in the order of their definition.
const std::vector<srcmap_symbol> &srcmap_symbols();
// A symbol by name (any case), or null.
const srcmap_symbol *srcmap_symbol_named(const std::string &name);
// The labels as the lines of a symbol file ("6002 loop"), each name once
// (the first definition), for the symbol table (symbols.h). `skip` names
// (upper case) are left out.
std::string srcmap_labels_text(const std::set<std::string> &skip = {});
// The label at or nearest below `address` within the loaded image that
// holds it; null when none does.
const srcmap_symbol *srcmap_label_before(uint16 address);
