// Memory explorer: the text of its box, a hexadecimal and character dump
// of the CPU's address space followed by video memory, and the dumps of an
// address range to disk as binary, hexadecimal listing or disassembly. The
// window program's dialog shows them.
#pragma once

#include <cstddef>
#include <cstdio>

#include "config.h"
#include "debug/debugger_text.h"

constexpr int DUMP_BOX_SIZE = 0x30000;
constexpr uint32 DUMP_BOX_FIRST = 0x200;     // the box never shows lower addresses
constexpr uint32 DUMP_BOX_LAST = 0x17FFF;    // 0x10000-0x17FFF: video memory
constexpr uint32 DUMP_BOX_SPAN = 0x20000;

extern char dump_box[DUMP_BOX_SIZE];
extern char start_str[ADDR_FIELD_SIZE];
extern char end_str[ADDR_FIELD_SIZE];
extern char last_str[ADDR_FIELD_SIZE];
extern int seqnum;   // the lowest number the next dump file may take

// Refills dump_box from the start field (the previous start when the field
// is unchanged).
void fill_dump_box();

// The dump box text for a start address of the combined space, into `out`
// of `size` bytes (the box uses DUMP_BOX_SIZE). Reads with tracing
// suppressed.
void mem_explorer_fill(char *out, size_t size, uint32 start_address);

// Writes the dump of CPU addresses start..end (end inclusive, at least one
// unit, never past 0xFFFF) to an open stream: mode 0 raw bytes, 1
// hexadecimal listing, 2 disassembly. The disassembly is a source in
// ovix-asm's disassembler dialect (a DASM line first) with the symbol
// table's labels as label lines and named targets: it assembles back to the
// same bytes at the same addresses. Reads with tracing suppressed.
void mem_explorer_write(FILE *f, int mode, uint32 start, uint32 end);

// One dump to disk as the menu does it, without any dialog: reads the two
// fields and writes FILE<n>.bin (mode 0), FILE<n>.hex.txt (1) or
// FILE<n>.asm (2) in the working directory, where n (three digits or more)
// is the first number from seqnum on that no file of the three names has,
// so that no existing file is ever overwritten,
// whatever run wrote it; the file is written through a temporary file and
// appears only complete. seqnum then moves past n. Returns null on success,
// else the message for the user (nothing written, seqnum unchanged).
// `name`, when not null, receives the file name used or attempted.
const char *dump_to_file(int mode, char *name, size_t name_size);
