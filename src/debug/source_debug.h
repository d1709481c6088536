// Source-level debugging over the debugger engine, shared by the window's
// debugger, the runner and its console: loading the assembler's debug
// information (its labels join the symbol table, the bytes no source line
// produced become the engine's "unwritten" stop), breakpoints on a source
// line, and steps by source line.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "config.h"
#include "debug/engine.h"
#include "debug/source_map.h"

// Loads a debug information file (srcmap_load), adds its labels to the
// symbol table (names the table has keep their meaning) and updates the
// unwritten stop. False with *error set; nothing changes then.
bool srcdbg_load(const char *path, std::string *error);
// Forgets every debug information file.
void srcdbg_clear();

// The debug information file beside an image: "game.rom.dbg" when there
// is one (the image's whole name), else "game.dbg" (its extension
// replaced); "" when neither is a file.
std::string srcdbg_beside(const std::string &image);

// An image loaded from `image_path` into first..last (the cartridge's area
// or the BIOS's): the debug information of the image it replaced is
// forgotten, and the file beside it (srcdbg_beside) loaded when there is
// one. True when nothing was wrong (*loaded: the file's name, or "" for
// none); false with *error when the file beside it is bad (then the image
// has no debug information).
bool srcdbg_load_beside(const std::string &image_path, uint16 first, uint16 last, std::string *loaded,
                        std::string *error);

// After the symbol table was replaced (a cartridge loaded with its symbol
// file), the labels of the loaded debug information join it again.
void srcdbg_labels_into_symbols();

// The stop at bytes no source line produced: on by default, effective only
// while debug information is loaded.
void srcdbg_set_unwritten_stop(bool on);
bool srcdbg_unwritten_stop();
// Gives the engine the unwritten ranges of what is loaded now (none when
// the stop is off or nothing is loaded).
void srcdbg_apply_unwritten();

// "file:line" of a place, "" for none.
std::string srcdbg_place_text(const srcmap_place &p);
// The same with the file's name only ("game.asm:42"), for the window.
std::string srcdbg_short_place_text(const srcmap_place &p);

// Breakpoints on a source line: on the first line at or after `line` of
// `file` that wrote code, one per place its code was put. Returns the
// engine's ids (none, with *error set, when the file is not a source of the
// debug information, no code follows the line, or the engine refuses one;
// then none is left set); *at_line gets the line used.
std::vector<int> srcdbg_break_line(const std::string &file, int line, const char *condition, const char *hits,
                                   dbg_owner owner, int *at_line, std::vector<uint16> *addresses, std::string *error);

// One step by source line: instruction steps (`into`) or steps over calls
// until the machine is at another statement, has returned from the routine
// it was in, or, stepping into, has entered a routine that has source
// lines; routines without source lines and interrupt routines are stepped
// through. Where the program counter has no source line it is one
// instruction (a step, or a step over). At most `limit` loop passes;
// `interrupted` (may be null) is checked between instructions and stops
// the step as a debugger request.
dbg_stop srcdbg_line_step(bool into, uint64 limit, const loop_hooks *hooks,
                          const volatile sig_atomic_t *interrupted = nullptr);

// Back in time by source line: over calls to the previous line this
// routine ran, then to the first pass of that line's run (one walk back,
// tl_walk_back: each keyframe interval it crosses is run again once). A
// stop of kind DBG_STOP_NONE, with *error set, when the recorded time
// cannot go back; the machine is then where it was.
dbg_stop srcdbg_line_back(std::string *error);

// The source view of the window's debugger: a header line, then up to
// `lines` - 1 lines of the source around the statement at `pc` (`before`
// of them before it), each "MB NNNNN  text": M is '>' on the statement's
// line, B '*' where an enabled breakpoint is on the line's code ('o' only
// disabled ones). The header names the file and line, and the macro call
// when the pc is inside an expansion (by their names only). Each line is
// cut to `width` characters (tabs expanded). Without a source line at
// `pc`, the header says why. Source files are read once and kept (srcdbg_forget_sources
// reads them again).
std::string srcdbg_source_text(uint16 pc, int before, int lines, int width);
void srcdbg_forget_sources();
