// Memory explorer. The dump box walks a combined address space: 0x0000-0xFFFF
// is the CPU's bus, 0x10000-0x17FFF video memory; lines of 16 bytes, with
// runs of repeated lines folded into one "*" line. Dumps to disk cover the
// CPU's bus only and go to FILE%03d.bin (bytes), FILE%03d.hex.txt (a
// hexadecimal dump) or FILE%03d.asm (a disassembly that assembles back) in
// the working directory, numbered after the files already there.
//
// Every read goes through the bus with tracing suppressed, as the CPU would
// read: a dump that covers the peripheral addresses 0x100-0x1FF has the
// same effects on the chips as a CPU read there. The box starts at 0x200 so
// that merely looking never touches them.
#include "debug/mem_explorer.h"

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cpu/7000dasm.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "mem/memory.h"
#include "video/tms3556.h"

char dump_box[DUMP_BOX_SIZE];
char start_str[ADDR_FIELD_SIZE];
char end_str[ADDR_FIELD_SIZE];
char last_str[ADDR_FIELD_SIZE];
int seqnum = 0;

static uint32 s_last_start = 0;   // the start address of the previous fill

// ---------------------------------------------------------------------------
// The dump box.

// One line of the box for `address` (16 bytes) into `line`. The line is
// read word by word: a word at an address up to 0xFFFF comes from the CPU's
// bus, both bytes (the second through the bus too, at the next address cut
// to 16 bits, even when the word starts at 0xFFFF); a word above comes from
// video memory (an address past the video memory reads 0xFF). The character
// column shows the same 16 bytes.
static void dump_box_line(char *line, size_t size, uint32 address)
{
    uint8 bytes[16];
    for (uint32 w = 0; w < 8; w++) {
        const uint32 a = address + 2 * w;
        if (a <= 0xFFFF) {
            bytes[2 * w] = program_read_byte_8((int)a);
            bytes[2 * w + 1] = program_read_byte_8((int)(a + 1));
        } else {
            bytes[2 * w] = get_vram((int)(a & 0xFFFF));
            bytes[2 * w + 1] = get_vram((int)((a + 1) & 0xFFFF));
        }
    }
    // Written digit by digit, as "%04x " would write them: the box reads
    // the whole space line by line where memory repeats, and a formatted
    // print per word made that most of its time.
    static constexpr char digits[] = "0123456789abcdef";
    char text[80];
    int n = 0;
    int shift = 12;
    while (shift < 28 && (address >> (shift + 4)) != 0) shift += 4;
    for (; shift >= 0; shift -= 4) text[n++] = digits[(address >> shift) & 15];
    text[n++] = ' ';
    for (int i = 0; i < 16; i++) {
        text[n++] = digits[bytes[i] >> 4];
        text[n++] = digits[bytes[i] & 15];
        if (i & 1) text[n++] = ' ';
    }
    for (int i = 0; i < 16; i++)
        text[n++] = (bytes[i] >= 0x20 && bytes[i] <= 0x7F) ? (char)bytes[i] : '.';
    text[n++] = '\n';
    if (size == 0) return;
    const size_t kept = (size_t)n < size ? (size_t)n : size - 1;
    memcpy(line, text, kept);
    line[kept] = 0;
}

void mem_explorer_fill(char *out, size_t size, uint32 start_address)
{
    if (size == 0) return;
    out[0] = 0;
    no_trace();
    size_t used = 0;
    char line[128], reference[128] = "";
    bool have_reference = false, folded = false;
    uint32 address = start_address < DUMP_BOX_FIRST ? DUMP_BOX_FIRST : start_address;
    while (address <= DUMP_BOX_LAST) {
        dump_box_line(line, sizeof line, address);
        const char *shown = line;
        // The first 7 characters (the address and, below 0x10000, the first
        // two digits of the first word) take no part in the comparison.
        if (have_reference && strcmp(line + 7, reference + 7) == 0) {
            shown = folded ? nullptr : "*\n";
            folded = true;
        } else {
            strcpy(reference, line);
            have_reference = true;
            folded = false;
        }
        if (shown) {
            size_t n = strlen(shown);
            if (used + n + 1 > size) break;
            memcpy(out + used, shown, n + 1);
            used += n;
        }
        address += 16;
        if (address - start_address > DUMP_BOX_SPAN) break;
    }
    restore_trace();
}

void fill_dump_box()
{
    if (strcmp(start_str, last_str) != 0) {
        uint32 value;
        if (!parse_hex_field(start_str, &value)) {
            snprintf(dump_box, sizeof dump_box, "Start address \"%s\" is not a hexadecimal number\n", start_str);
            return;
        }
        s_last_start = value;
        strcpy(last_str, start_str);
    }
    // An unchanged field starts again where the previous fill started.
    if (s_last_start > DUMP_BOX_LAST) {
        snprintf(dump_box, sizeof dump_box, "Nothing to show above %x\n", DUMP_BOX_LAST);
        return;
    }
    mem_explorer_fill(dump_box, sizeof dump_box, s_last_start);
}

// ---------------------------------------------------------------------------
// Dumps to disk.

// The disassembly dump, a source that ovix-asm reads back to the same bytes
// at the same addresses: a DASM line; "name EQU $1234" for every label of
// an address that an instruction names but that is no instruction start of
// the dump, and "name EQU R6" ("EQU P6") for every register or port alias
// an instruction shows; an ORG at the start, so that a label line before
// the first instruction gets its address; then each instruction line
// ("%04x   ", six byte columns, the text with named targets and aliases),
// after the label line of its address. Memory is read once, as the CPU
// would read it, before anything is written.
static void write_disassembly(FILE *f, uint32 start, uint32 end)
{
    struct listed {
        uint32 address;
        std::string text;
    };
    std::vector<listed> lines;
    std::set<uint32> starts;
    std::set<uint16> targets;
    std::map<std::string, std::string> aliases;   // name -> "R6" or "P6", in name order
    uint32 address = start;
    char dasm[256], named[320], line[448];
    do {
        unsigned len = Dasm7000(dasm, address);
        if (len < 1) len = 1;
        uint16 target;
        symbol_aliases used;
        if (symbols_name_operands(dasm, address, len, named, sizeof named, &target, &used)) targets.insert(target);
        for (int i = 0; i < used.count; i++)
            aliases.emplace(used.used[i].name, std::string(1, used.used[i].kind == symbol_kind::reg ? 'R' : 'P')
                                                   .append(std::to_string(used.used[i].n)));
        int n = snprintf(line, sizeof line, "%04x   ", address);
        for (unsigned i = 0; i < 6; i++) {
            if (i < len)
                n += snprintf(line + n, sizeof line - n, "%02X ", program_read_byte_8((int)((address + i) & 0xFFFF)));
            else
                n += snprintf(line + n, sizeof line - n, "   ");
        }
        snprintf(line + n, sizeof line - n, "%s\n", named);
        lines.push_back({address, line});
        starts.insert(address);
        address += len;
    } while (address <= 0xFFFF && address <= end);

    fputs("DASM\n", f);
    for (const auto &[name, value] : aliases) fprintf(f, "%s EQU %s\n", name.c_str(), value.c_str());
    for (uint16 t : targets) {
        if (starts.count(t)) continue;
        for (size_t i = 0; const char *name = symbols_name_at(t, i); i++)
            if (symbols_assembly_name(name)) fprintf(f, "%s EQU $%04X\n", name, t);
    }
    fprintf(f, "        ORG $%04X\n", start);
    for (const listed &l : lines) {
        fputs(label_line(l.address, true).c_str(), f);
        fputs(l.text.c_str(), f);
    }
}

void mem_explorer_write(FILE *f, int mode, uint32 start, uint32 end)
{
    no_trace();
    uint32 address = start & 0xFFFF;
    uint32 count = 0;
    do {
        switch (mode) {
        case 0:
            fputc(program_read_byte_8((int)address), f);
            address++;
            break;
        case 1:
            if (count % 16 == 0) fprintf(f, "%04x   ", address);
            fprintf(f, "%02x ", program_read_byte_8((int)address));
            if (++count % 16 == 0) fputc('\n', f);
            address++;
            break;
        default:
            write_disassembly(f, start & 0xFFFF, end);
            restore_trace();
            return;
        }
    } while (address <= 0xFFFF && address <= end);
    restore_trace();
}

const char *dump_to_file(int mode, char *name, size_t name_size)
{
    static char message[600];
    // What each holds: raw bytes, a hexadecimal dump (text), a source.
    static const char *const suffixes[] = {".bin", ".hex.txt", ".asm", nullptr};
    if (name) *name = 0;

    uint32 start, end;
    if (!parse_hex_field(start_str, &start))
        return "Start address: type a hexadecimal number";
    if (start > 0xFFFF)
        return "Start address: dumps cover 0000 to ffff";
    // An empty or unreadable end field dumps a single unit.
    if (!parse_hex_field(end_str, &end)) end = start;

    std::string file_name, error;
    const bool written = write_numbered_file(
        "FILE", 3, suffixes, suffixes[mode < 0 || mode > 2 ? 2 : mode], &seqnum,
        [&](const std::string &path, std::string *err) {
            output_file out;
            if (!out.open(path.c_str(), err)) return false;
            mem_explorer_write(out.file(), mode, start, end);
            return out.commit(err, false);
        },
        &file_name, &error);
    if (name) snprintf(name, name_size, "%s", file_name.c_str());
    if (written) return nullptr;
    snprintf(message, sizeof message, "%s", error.c_str());
    return message;
}
