// Memory explorer: a dialog with a hexadecimal and character dump of the
// CPU's address space followed by video memory, and dumps of an address
// range to disk as binary, hexadecimal listing or disassembly.
#pragma once

void memory_explorer();
void fill_dump_box();
int dump(int mode);
