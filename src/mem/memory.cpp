// The main processor's bus. Every CPU access, the debugger's and the memory
// explorer's reads included, is decoded here; reads of the video ports and
// the mailbox therefore have their side effects whoever reads them.
#include "mem/memory.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "video/tms3556.h"

uint8 rom_7020[2048];
uint8 ram_2k[2048];
uint8 rom_cart[32768];
uint8 porta_val, portb_val, portc_val, portd_val;

// ---------------------------------------------------------------------------
// The inline path: block tables and the bus functions' trace flags.

static constexpr int BLOCK_SHIFT = 7;
static constexpr int BLOCK_SIZE = 1 << BLOCK_SHIFT;
static constexpr int BLOCKS = 0x10000 / BLOCK_SIZE;
const uint8 *bus_read_block[BLOCKS];
uint8 *bus_write_block[BLOCKS];

static struct {
    int read_flag;    // trace flag of program_read_byte_8(): 0 not looked up, 1 listed, -1 not
    int write_flag;   // the same for program_write_byte_8()
} s_bus;

// Blocks that watchpoints take out of the fast tables (bus_watch_blocks).
static struct {
    uint64 read[8], write[8];
    bool on;   // any of it set: the slow paths report to the hooks
} s_watch;

void (*bus_watch_hook)(int address, bool write, uint8 old, uint8 value);
void (*vram_watch_hook)(int address, bool write, uint8 old, uint8 value);

static bool watched(const uint64 *bits, int block) { return (bits[block / 64] >> (block % 64)) & 1; }

// The block of plain memory at `block`, or null.
static uint8 *plain_block(int block, bool write)
{
    const int address = block * BLOCK_SIZE;
    if (address < 0x80) return tms7000.rf;
    if (address >= 0xC000 && address < 0xC800) return ram_2k + (address - 0xC000);
    if (write) return nullptr;
    if (address >= 0x0200 && address < 0x8000) return rom_cart + address;
    if (address >= 0xF800) return rom_7020 + (address - 0xF800);
    return nullptr;
}

// A bus function serves plain memory inline when it writes no routine
// message: it is not listed, or tracing is off. A flag not yet looked up
// keeps the decoder, whose prologue looks it up.
static void update_blocks()
{
    const bool read_open = g_notrace || s_bus.read_flag == -1;
    const bool write_open = g_notrace || s_bus.write_flag == -1;
    for (int b = 0; b < BLOCKS; b++) {
        bus_read_block[b] = read_open && !watched(s_watch.read, b) ? plain_block(b, false) : nullptr;
        bus_write_block[b] = write_open && !watched(s_watch.write, b) ? plain_block(b, true) : nullptr;
    }
}

void bus_watch_blocks(const uint64 read_blocks[8], const uint64 write_blocks[8], bool page1_read, bool page1_write)
{
    s_watch.on = page1_read || page1_write;
    for (int i = 0; i < 8; i++) {
        s_watch.read[i] = read_blocks[i];
        s_watch.write[i] = write_blocks[i];
        s_watch.on |= read_blocks[i] || write_blocks[i];
    }
    // Block 0 stands for page 1 too: the processor reaches page 1 through
    // the decoder directly only while block 0 is in the fast tables.
    if (page1_read) s_watch.read[0] |= 1;
    if (page1_write) s_watch.write[0] |= 1;
    update_blocks();
}

static bool register_switch_hook()
{
    trace_add_switch_hook(update_blocks);
    return true;
}
static const bool switch_hook_registered = register_switch_hook();

// The trace prologue of a bus function: its name, and its flag looked up at
// the first call while tracing is on.
static void bus_prologue(const char *name, int *flag)
{
    g_func_name = name;
    if (*flag == 0 && !g_notrace) {
        *flag = check_debug(name);
        update_blocks();
    }
}

// The trace macros of the decoders test `debug_flag`; here it stands for
// the calling bus function's own flag, passed in as `listed`.
#define BUS_TRACE_CONTEXT(name, listed)                     \
    static constexpr const char *trace_name_ = name;        \
    const int debug_flag = (listed) ? 1 : -1

uint8 bus_read_page1(int address)
{
    static constexpr const char *trace_name_ = "program_read_byte_8()";
    if (address <= 0x010B) return tms70x0_pf_r(address - 0x100);
    switch (address) {
    case 0x0124: return tms3556_vram_r(address);
    case 0x0125: return tms3556_reg_r(address);
    case 0x0127: tms3556_reset(); return 0;   // only the reset matters; reads 0 like the other ports
    case 0x0128: return tms3556_initptr_r(address);
    case 0x0130: {
        uint8 v = read_mailbox();
        TRACE_ALWAYS("mailbox (read) %02x", v);
        return v;
    }
    default:
        TRACE_ALWAYS("IO unimplemented (read) P%d", address - 0x100);
        return 0;
    }
}

void bus_write_page1(int address, uint8 data)
{
    static constexpr const char *trace_name_ = "program_write_byte_8()";
    if (address <= 0x010B) {
        tms70x0_pf_w(address - 0x100, data);
        return;
    }
    switch (address) {
    case 0x012D: tms3556_reg_w(address, data); return;
    case 0x012E: tms3556_vram_w(address, data); return;
    case 0x0130:
        TRACE_ALWAYS("mailbox (write) %02x", data);
        write_mailbox(data);
        return;
    default:
        TRACE_ALWAYS("IO unimplemented (write) P%d", address - 0x100);
        return;
    }
}

// The full decoders, with every trace message; `listed` says whether the
// bus functions' routine messages are wanted.
static uint8 bus_read_decode(int address, bool listed)
{
    BUS_TRACE_CONTEXT("program_read_byte_8()", listed);
    address &= 0xFFFF;
    switch (address >> 8) {
    case 0x00:
        TRACE("Reading internal");
        if (address < 0x80) return tms7000_internal_r(address);
        TRACE_ALWAYS("Reading out of bound internal %04x", address);
        return 0xFF;
    case 0x01:
        return bus_read_page1(address);
    default:
        break;
    }
    if (address < 0x8000) {
        uint8 v = rom_cart[address];
        TRACE("Reading ROM1 %04x, got %02x", address, v);
        return v;
    }
    if (address >= 0xF800) {
        uint8 v = rom_7020[address - 0xF800];
        TRACE("Reading ROM2 %04x, got %02x", address, v);
        return v;
    }
    if (address >= 0xC000 && address < 0xC800) {
        uint8 v = ram_2k[address - 0xC000];
        TRACE("Reading RAM %04x, got %02x", address, v);
        return v;
    }
    TRACE_ALWAYS("Reading out of bound %x", address);
    return 0xFF;
}

static void bus_write_decode(int address, uint8 data, bool listed)
{
    BUS_TRACE_CONTEXT("program_write_byte_8()", listed);
    TRACE("Called %04x=%02x", address, data);
    address &= 0xFFFF;
    switch (address >> 8) {
    case 0x00:
        TRACE("Writing internal");
        if (address < 0x80)
            tms7000_internal_w(address, data);
        else
            TRACE_ALWAYS("Writing out of bound internal");
        return;
    case 0x01:
        bus_write_page1(address, data);
        return;
    default:
        break;
    }
    if (address < 0x8000) {
        TRACE_ALWAYS("Writing ROM1 %04x", address);
    } else if (address >= 0xF800) {
        TRACE_ALWAYS("writing ROM2 %04x", address);
    } else if (address >= 0xC000 && address < 0xC800) {
        ram_2k[address - 0xC000] = data;
        TRACE("writing RAM %04x = %02x", address, data);
    } else {
        TRACE_ALWAYS("Writing out of bound %x", address);
    }
}

// The video ports through which the processor reads and writes video memory.
static constexpr int VRAM_READ_PORT = 0x0124, VRAM_WRITE_PORT = 0x012E;

// A read or write reported to the watchpoint hooks.
OVIX_COLD static uint8 watched_read(int address, bool listed)
{
    const int a = address & 0xFFFF;
    const int vram_address = a == VRAM_READ_PORT ? tms3556_vram_address(false) : -1;
    const uint8 v = bus_read_decode(address, listed);
    if (bus_watch_hook) bus_watch_hook(a, false, v, v);
    if (vram_address >= 0 && vram_address <= 0x7FFF && vram_watch_hook) vram_watch_hook(vram_address, false, v, v);
    return v;
}

OVIX_COLD static void watched_write(int address, uint8 data, bool listed)
{
    const int a = address & 0xFFFF;
    const uint8 old = bus_peek(a);
    const int vram_address = a == VRAM_WRITE_PORT ? tms3556_vram_address(true) : -1;
    const uint8 vram_old = vram_address >= 0 ? get_vram(vram_address) : 0;
    bus_write_decode(address, data, listed);
    if (bus_watch_hook) bus_watch_hook(a, true, old, data);
    if (vram_address >= 0 && vram_address <= 0x7FFF && vram_watch_hook) vram_watch_hook(vram_address, true, vram_old, data);
}

uint8 bus_read_slow(int address)
{
    bus_prologue("program_read_byte_8()", &s_bus.read_flag);
    const bool listed = s_bus.read_flag == 1 && !g_notrace;
    if (s_watch.on) return watched_read(address, listed);
    return bus_read_decode(address, listed);
}

void bus_write_slow(int address, uint8 data)
{
    bus_prologue("program_write_byte_8()", &s_bus.write_flag);
    const bool listed = s_bus.write_flag == 1 && !g_notrace;
    if (s_watch.on) return watched_write(address, data, listed);
    bus_write_decode(address, data, listed);
}

uint8 io_read_byte_8(int address)
{
    TRACE_FUNC("io_read_byte_8()");
    TRACE("Called %04x", address);
    switch (address) {
    case TMS7000_PORTA: TRACE("port A read %02x raw", porta_val); return porta_val;
    case TMS7000_PORTB: TRACE("port B read %02x raw", portb_val); return portb_val;
    case TMS7000_PORTC: TRACE_ALWAYS("port C read %02x raw", portc_val); return portc_val;
    case TMS7000_PORTD: TRACE_ALWAYS("port D read %02x raw", portd_val); return portd_val;
    default: return 0;
    }
}

void io_write_byte_8(int address, uint8 data)
{
    TRACE_FUNC("io_write_byte_8()");
    const uint8 old = portb_val;
    TRACE("Called %04x=%02x", address, data);
    switch (address) {
    case TMS7000_PORTA:
        TRACE_ALWAYS("port A is read only !");
        break;
    case TMS7000_PORTB:
        portb_val = data;
        // Handshake edges, bit 0 before bit 1, each handled to completion
        // (the I/O processor may assert INT1 inside this write).
        if ((old & 1) && !(data & 1)) io_cpu_event_callback(EVENT_B0_LOW);
        if (!(old & 1) && (data & 1)) io_cpu_event_callback(EVENT_B0_HIGH);
        if ((old & 2) && !(data & 2)) io_cpu_event_callback(EVENT_B1_LOW);
        if (!(old & 2) && (data & 2)) io_cpu_event_callback(EVENT_B1_HIGH);
        TRACE("port B out is %02x raw", portb_val);
        break;
    case TMS7000_PORTC:
        portc_val = data;
        TRACE_ALWAYS("port C out is %02x raw", portc_val);
        break;
    case TMS7000_PORTD:
        portd_val = data;
        TRACE_ALWAYS("port D out is %02x raw", portd_val);
        break;
    default:
        break;
    }
}

uint8 get_portb() { return portb_val; }
void and_porta(uint8 mask) { porta_val &= mask; }
void or_porta(uint8 mask) { porta_val |= mask; }

// The twelve BIOS bytes that loading overwrites with NOPs (offsets in rom_7020).
static constexpr struct { int first, count; } bios_patches[] = {
    {0x177, 3}, {0x180, 3}, {0x18D, 3}, {0x1AE, 3},
};

// No cartridge: the whole cartridge area reads 0xFF.
static void erase_cartridge() { memset(rom_cart + 0x200, 0xFF, sizeof(rom_cart) - 0x200); }

const char *MemInitFrom(const char *path)
{
    TRACE_FUNC("MemInit()");
    TRACE_ALWAYS("Called");
    static char error[1200];

    erase_cartridge();
    std::string reason;
    uint8 image[sizeof rom_7020];
    size_t n = 0;
    long long size = 0;
    // The image is read completely: one caught while it is being written
    // (shorter or longer than its size said, or changing size) is refused.
    switch (read_input_prefix(path, image, sizeof image, &n, &size, &reason)) {
    case input_read::not_opened:
        // A missing image keeps the plain message; anything else (a folder,
        // a FIFO, no permission) says what is wrong with the path.
        if (!path_exists(path))
            snprintf(error, sizeof error, "fatal error needs file %s", path);
        else
            snprintf(error, sizeof error, "fatal error needs file %s (%s)", path, reason.c_str());
        return error;
    case input_read::read_error:
        snprintf(error, sizeof error, "BIOS image not read: %s", reason.c_str());
        return error;
    default: break;
    }
    // A short image would leave part of the ROM undefined: refuse it.
    if (n < sizeof image) {
        snprintf(error, sizeof error, "BIOS image %s is %zu bytes long; 2048 are needed", path, n);
        return error;
    }
    memcpy(rom_7020, image, sizeof rom_7020);
    for (const auto &p : bios_patches) memset(rom_7020 + p.first, 0x00, p.count);
    return nullptr;
}

const char *MemInit() { return MemInitFrom("bios/BIOS7020.bin"); }

// Where a cartridge image of n bytes lands: the first CPU address it fills,
// and the file offset of the byte that goes there. False for a size that is
// not a cartridge image.
static bool cartridge_placement(size_t n, int *first_address, size_t *first_byte)
{
    switch (n) {
    case 32768: *first_address = 0x0200; *first_byte = 0x200; return true;   // the first 512 bytes are hidden
    case 32256: *first_address = 0x0200; *first_byte = 0; return true;
    case 16384: *first_address = 0x4000; *first_byte = 0; return true;
    case 8192: *first_address = 0x6000; *first_byte = 0; return true;
    default: return false;
    }
}

const char *RomLoad(const char *name)
{
    TRACE_FUNC("RomLoad()");
    TRACE_ALWAYS("Called");
    static char error[1200];
    // The file is read and checked completely before the cartridge area is
    // touched: a refused file leaves the running cartridge as it was.
    if (!name || !*name) return "fatal error cannot open rom: no file name given";
    std::string reason;
    static uint8 image[32768];
    size_t n = 0;
    long long size = 0;
    const input_read r = read_input_prefix(name, image, sizeof image, &n, &size, &reason);
    if (r == input_read::not_opened) {
        snprintf(error, sizeof error, "fatal error cannot open rom %s", reason.c_str());
        return error;
    }
    TRACE_ALWAYS("Rom size is %dKb", (int)(n / 1024));
    if (r == input_read::read_error) {
        snprintf(error, sizeof error, "fatal error cannot read rom %s", reason.c_str());
        return error;
    }
    int first_address = 0;
    size_t first_byte = 0;
    if (!cartridge_placement(n, &first_address, &first_byte)) {
        snprintf(error, sizeof error,
                 "Sorry, unknown rom size: %s is %zu bytes long; cartridge images are 8192, 16384, 32256 or "
                 "32768 bytes (a longer file counts as its first 32768)",
                 name, n);
        return error;
    }
    erase_cartridge();
    memcpy(rom_cart + first_address, image + first_byte, 0x8000 - first_address);
    return nullptr;
}

void mem_power_on()
{
    memset(ram_2k, 0, sizeof ram_2k);
    porta_val = portb_val = portc_val = portd_val = 0;
}

const char *bus_region_name(int address)
{
    address &= 0xFFFF;
    if (address < 0x80) return "register file";
    if (address < 0x100) return "unmapped (register-file gap)";
    if (address <= 0x010B) return "peripheral file";
    switch (address) {
    case 0x0124: case 0x0125: case 0x0127: case 0x0128: case 0x012D: case 0x012E:
        return "video port";
    case 0x0130: return "mailbox";
    default: break;
    }
    if (address < 0x200) return "unmapped peripheral";
    if (address < 0x8000) return "cartridge ROM";
    if (address >= 0xC000 && address < 0xC800) return "RAM";
    if (address >= 0xF800) return "BIOS ROM";
    return "unmapped";
}

uint8 bus_peek(int address)
{
    address &= 0xFFFF;
    if (address < 0x80) return tms7000.rf[address];
    if (address < 0x100) return 0xFF;
    if (address < 0x200) {
        // Peripheral registers as a read would give them, without the
        // timer, port or video side effects.
        if (address <= 0x010B) return tms70x0_pf_peek(address - 0x100);
        switch (address) {
        case 0x0124: return tms3556_vram_peek();
        case 0x0130: return mailbox_val;
        default: return 0;
        }
    }
    if (address < 0x8000) return rom_cart[address];
    if (address >= 0xC000 && address < 0xC800) return ram_2k[address - 0xC000];
    if (address >= 0xF800) return rom_7020[address - 0xF800];
    return 0xFF;
}
