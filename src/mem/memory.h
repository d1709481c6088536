// The main processor's bus: address decoding of the 64 KiB space (register
// file, peripheral file, video ports, mailbox, cartridge ROM, RAM, BIOS ROM),
// the four port latches, and the BIOS and cartridge loaders.
#pragma once

#include "config.h"

extern uint8 rom_7020[2048];   // BIOS ROM at 0xF800-0xFFFF
extern uint8 ram_2k[2048];     // RAM at 0xC000-0xC7FF
extern uint8 rom_cart[32768];  // cartridge ROM, indexed by CPU address (0x0200-0x7FFF)
extern uint8 porta_val, portb_val, portc_val, portd_val;

// Plain memory by blocks of 128 bytes (address >> 7): the register file,
// the cartridge ROM, the RAM and the BIOS ROM for reads, the register file
// and the RAM for writes, which have no side effect and write no trace line
// unless the bus functions are listed in debug.lst. Null entries, and every
// entry while a listed bus function traces, go through the decoder. The
// tables follow the bus functions' trace flags and no_trace/restore_trace.
extern const uint8 *bus_read_block[512];
extern uint8 *bus_write_block[512];

// Watchpoints of the debugger. The blocks whose bits are set (bit b of
// word b / 64: the block at address b * 128) are taken out of the fast
// tables, and with page1_read / page1_write so is block 0 for that
// direction, which sends the processor's accesses to page 1 (peripheral
// file, video ports, mailbox) through the decoder too. While any of it is
// set, bus_read_slow and bus_write_slow report every access to
// bus_watch_hook (the CPU's space: `old` is the byte a read would have
// given before a write), and every access of the video ports to video
// memory to vram_watch_hook (the video-memory address and its bytes).
void bus_watch_blocks(const uint64 read_blocks[8], const uint64 write_blocks[8], bool page1_read, bool page1_write);
extern void (*bus_watch_hook)(int address, bool write, uint8 old, uint8 value);
extern void (*vram_watch_hook)(int address, bool write, uint8 old, uint8 value);

// The bus functions' trace prologue and the full decoder, with every trace
// message, for everything but plain memory.
OVIX_COLD uint8 bus_read_slow(int address);
OVIX_COLD void bus_write_slow(int address, uint8 data);
// Page 0x01 (peripheral file, video ports, mailbox) as the decoder serves
// it: there the bus functions write no routine message, so while they trace
// nothing (their block tables hold the register file) the processor's
// peripheral accesses may come here directly.
OVIX_COLD uint8 bus_read_page1(int address);
OVIX_COLD void bus_write_page1(int address, uint8 data);

// Bus reads and writes. They run on every opcode and operand fetch, so
// plain memory is served inline from the block tables.
inline uint8 program_read_byte_8(int address)
{
    address &= 0xFFFF;
    if (const uint8 *block = bus_read_block[address >> 7]) [[likely]]
        return block[address & 0x7F];
    return bus_read_slow(address);
}

inline void program_write_byte_8(int address, uint8 data)
{
    const int a = address & 0xFFFF;
    if (uint8 *block = bus_write_block[a >> 7]) [[likely]] {
        block[a & 0x7F] = data;
        return;
    }
    bus_write_slow(address, data);   // as passed: its trace line shows it so
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
