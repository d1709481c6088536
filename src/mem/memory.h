// The main processor's bus: address decoding of the 64 KiB space (register
// file, peripheral file, video ports, mailbox, cartridge ROM, RAM, BIOS ROM),
// the four port latches, and the BIOS and cartridge loaders.
#pragma once

#include "config.h"

extern uint8 rom_7020[2048];   // BIOS ROM at 0xF800-0xFFFF
extern uint8 ram_2k[2048];     // RAM at 0xC000-0xC7FF
extern uint8 rom_cart[32768];  // cartridge ROM, indexed by CPU address (0x0200-0x7FFF)
extern uint8 porta_val, portb_val, portc_val, portd_val;

uint8 program_read_byte_8(int address);
void program_write_byte_8(int address, uint8 data);
uint8 io_read_byte_8(int address);
void io_write_byte_8(int address, uint8 data);
uint8 get_portb();
void and_porta(uint8 mask);
void or_porta(uint8 mask);

// Loads "bios/BIOS7020.bin"; null on success, else the error text.
const char *MemInit();
// The same rules for a BIOS image at another path (the headless runner's
// --bios); MemInit() is MemInitFrom("bios/BIOS7020.bin").
const char *MemInitFrom(const char *path);
// Cartridge loader; null on success, else the error text.
const char *RomLoad(const char *name);

// Power-on state of the bus: RAM cleared, port latches 0.
void mem_power_on();

// For the debugger: what the address is, and the byte a CPU read would
// give, computed without any side effect on the machine and without trace.
const char *bus_region_name(int address);
uint8 bus_peek(int address);
