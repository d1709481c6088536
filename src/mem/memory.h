// The main processor's bus: address decoding of the 64 KiB space (register
// file, peripheral file, video ports, mailbox, cartridge ROM, RAM, BIOS ROM),
// the four port latches, and the BIOS and cartridge loaders.
#pragma once

#include "config.h"

extern uint8 rom_7020[2048];   // BIOS ROM at 0xF800-0xFFFF
extern uint8 ram_2k[2048];     // RAM at 0xC000-0xC7FF
extern uint8 rom_cart[32768];  // cartridge ROM, indexed by CPU address (0x0200-0x7FFF)
extern uint8 porta_val, portb_val, portc_val, portd_val;

// The full decoders, with every trace message; `listed` says whether the
// bus functions' routine messages are wanted. Called by the inline bus
// functions below for everything but plain memory.
uint8 bus_read_decode(int address, bool listed);
void bus_write_decode(int address, uint8 data, bool listed);

// Pages (address >> 8) that read as plain memory, without side effects or
// anomaly messages (cartridge ROM, RAM, BIOS ROM); null for the others.
extern const uint8 *bus_read_page[256];
// The register file (R0..R127, addresses 0x0000-0x007F).
extern uint8 *const bus_regfile;

// Bus reads and writes. They run on every opcode and operand fetch, so
// plain memory is served inline; the trace prologue is the same as in any
// traced function, and when the bus functions are listed in debug.lst every
// access goes through the decoder, which writes their routine messages.
inline uint8 program_read_byte_8(int address)
{
    TRACE_FUNC("program_read_byte_8()");
    address &= 0xFFFF;
    const bool listed = TRACE_ON();
    if (!listed) {
        if (address < 0x80) return bus_regfile[address];
        if (const uint8 *page = bus_read_page[address >> 8]) return page[address & 0xFF];
    }
    return bus_read_decode(address, listed);
}

inline void program_write_byte_8(int address, uint8 data)
{
    TRACE_FUNC("program_write_byte_8()");
    const bool listed = TRACE_ON();
    const int a = address & 0xFFFF;
    if (!listed) {
        if (a < 0x80) {
            bus_regfile[a] = data;
            return;
        }
        if (a >= 0xC000 && a < 0xC800) {
            ram_2k[a - 0xC000] = data;
            return;
        }
    }
    bus_write_decode(address, data, listed);
}
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
// Cartridge loader; null on success, else the error text (naming the file
// and why it was refused). The file is checked before anything changes: a
// refused file leaves the loaded cartridge as it was.
const char *RomLoad(const char *name);

// Power-on state of the bus: RAM cleared, port latches 0.
void mem_power_on();

// For the debugger: what the address is, and the byte a CPU read would
// give, computed without any side effect on the machine and without trace.
const char *bus_region_name(int address);
uint8 bus_peek(int address);
