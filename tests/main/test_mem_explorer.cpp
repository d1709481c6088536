// The memory explorer without its dialog: the dump box text with its repeat
// folding and limits, the three dump formats, and the dump files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "asm.h"
#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/mem_explorer.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "test_support.h"
#include "video/tms3556.h"

namespace {

std::vector<std::string> lines_of(const std::string &s)
{
    std::vector<std::string> lines;
    size_t start = 0, nl;
    while ((nl = s.find('\n', start)) != std::string::npos) {
        lines.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < s.size()) lines.push_back(s.substr(start));
    return lines;
}

std::string fill(uint32 start, size_t size = DUMP_BOX_SIZE)
{
    static char box[DUMP_BOX_SIZE];
    mem_explorer_fill(box, size, start);
    return box;
}

// The dump of start..end in `mode`, as written to a stream.
std::string write_dump(int mode, uint32 start, uint32 end)
{
    FILE *f = tmpfile();
    mem_explorer_write(f, mode, start, end);
    std::string out(ftell(f), '\0');
    rewind(f);
    size_t n = fread(out.data(), 1, out.size(), f);
    fclose(f);
    out.resize(n);
    return out;
}

void set_fields(const char *start, const char *end)
{
    snprintf(start_str, sizeof start_str, "%s", start);
    snprintf(end_str, sizeof end_str, "%s", end);
}

// Runs the test body in a fresh working directory.
struct InTempDir {
    std::filesystem::path old = std::filesystem::current_path();
    explicit InTempDir(const std::string &name) { std::filesystem::current_path(make_temp_dir(name)); }
    ~InTempDir() { std::filesystem::current_path(old); }
};

}  // namespace

TEST(DumpBox, LineFormat)
{
    const char *text = "Hello, world!\x01\x80~";
    memset(rom_cart, 0xFF, sizeof rom_cart);
    memcpy(rom_cart + 0x200, text, 16);
    std::vector<std::string> lines = lines_of(fill(0));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "0200 4865 6c6c 6f2c 2077 6f72 6c64 2101 807e Hello, world!..~");
}

TEST(DumpBox, StartsAt200AndShowsVideoMemoryAbove10000)
{
    memset(rom_cart, 0xFF, sizeof rom_cart);
    rom_cart[0x200] = 0x12;
    for (int a = 0; a < 16; a++) set_vram((uint16)a, (uint8)(0x41 + a));
    for (int a = 0; a < 15; a++) rom_7020[0x7F1 + a] = (uint8)(0x61 + a);
    tms7000.rf[0] = 0x5A;
    struct Case {
        uint32 start;
        const char *first_line;
    };
    const Case cases[] = {
        {0x0, "0200 12ff ffff ffff ffff ffff ffff ffff ffff ................"},
        {0x1ff, "0200 12ff ffff ffff ffff ffff ffff ffff ffff ................"},
        {0x10000, "10000 4142 4344 4546 4748 494a 4b4c 4d4e 4f50 ABCDEFGHIJKLMNOP"},
        // A word at 0xFFFF is a CPU word: its second byte is a bus read at
        // 0x0000 (register R0), not video memory.
        {0xFFF1, "fff1 6162 6364 6566 6768 696a 6b6c 6d6e 6f5a abcdefghijklmnoZ"},
    };
    for (const Case &c : cases) EXPECT_EQ(lines_of(fill(c.start))[0], c.first_line) << std::hex << c.start;
}

TEST(DumpBox, RepeatFolding)
{
    struct Case {
        const char *name;
        std::vector<std::pair<int, uint8>> bytes;   // RAM offset, value; the rest is zero
        std::vector<std::string> first_lines;       // the box from 0xC000
    };
    const std::string zeros = "0000 0000 0000 0000 0000 0000 0000 0000 ................";
    const std::string ff = "ffff ffff ffff ffff ffff ffff ffff ffff ................";
    const Case cases[] = {
        {"a run of zeros is one line and a star", {}, {"c000 " + zeros, "*", "c800 " + ff, "*"}},
        {"first bytes differ, both unprintable: a repeat",
         {{0x00, 0x01}, {0x10, 0x02}, {0x20, 0x03}},
         {"c000 0100 0000 0000 0000 0000 0000 0000 0000 ................", "*", "c800 " + ff}},
        {"first bytes differ, printable: shown",
         {{0x00, 0x41}, {0x10, 0x42}},
         {"c000 4100 0000 0000 0000 0000 0000 0000 0000 A...............",
          "c010 4200 0000 0000 0000 0000 0000 0000 0000 B...............", "c020 " + zeros, "*"}},
        {"a differing line ends the run and is the new reference",
         {{0x35, 0x01}},
         {"c000 " + zeros, "*", "c030 0000 0000 0001 0000 0000 0000 0000 0000 ................", "c040 " + zeros,
          "*"}},
    };
    for (const Case &c : cases) {
        memset(ram_2k, 0, sizeof ram_2k);
        for (auto [offset, value] : c.bytes) ram_2k[offset] = value;
        std::vector<std::string> lines = lines_of(fill(0xC000));
        ASSERT_GE(lines.size(), c.first_lines.size()) << c.name;
        for (size_t i = 0; i < c.first_lines.size(); i++) EXPECT_EQ(lines[i], c.first_lines[i]) << c.name;
    }
}

TEST(DumpBox, EndsAfterVideoMemory)
{
    for (int a = 0; a < 0x8000; a++) set_vram((uint16)a, (uint8)(a >> 4));   // no two lines alike
    std::vector<std::string> lines = lines_of(fill(0x17F00));
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines.back().substr(0, 6), "17ff0 ");
    EXPECT_EQ(lines_of(fill(0x17FF0)).size(), 1u);
}

TEST(DumpBox, StopsBeforeALineThatDoesNotFit)
{
    for (int a = 0; a < 0x800; a++) ram_2k[a] = (uint8)(a >> 4);
    const size_t line = 62;   // "c000 " + 8 words + 16 characters + "\n"
    struct Case {
        size_t size;
        size_t lines;
    };
    const Case cases[] = {{line, 0}, {line + 1, 1}, {2 * line, 1}, {2 * line + 1, 2}};
    for (const Case &c : cases) {
        std::string box = fill(0xC000, c.size);
        EXPECT_EQ(box.size(), c.lines * line) << "size " << c.size;
        EXPECT_EQ(lines_of(box).size(), c.lines) << "size " << c.size;
    }
    EXPECT_LE(fill(0x200).size(), (size_t)DUMP_BOX_SIZE - 1);
}

TEST(DumpBox, LeavesNoTrace)
{
    clear_log_str();
    fill(0x200);
    EXPECT_EQ(trace_log_size, 0);
    EXPECT_EQ(g_notrace, 0);
}

TEST(DumpBox, StartField)
{
    memset(ram_2k, 0x11, sizeof ram_2k);
    snprintf(start_str, sizeof start_str, "c000");
    fill_dump_box();
    EXPECT_EQ(std::string(dump_box).substr(0, 5), "c000 ");
    // Unchanged field: the same start again.
    dump_box[0] = 0;
    fill_dump_box();
    EXPECT_EQ(std::string(dump_box).substr(0, 5), "c000 ");
    // Not hexadecimal: nothing is dumped, the box says why.
    snprintf(start_str, sizeof start_str, "c0x0");
    fill_dump_box();
    EXPECT_NE(std::string(dump_box).find("not a hexadecimal number"), std::string::npos);
    snprintf(start_str, sizeof start_str, "0");
    fill_dump_box();
    EXPECT_EQ(std::string(dump_box).substr(0, 5), "0200 ");
}

TEST(DumpFormats, HexadecimalListing)
{
    for (int i = 0; i < 0x800; i++) rom_7020[i] = (uint8)i;   // 0xF000 is unmapped: reads 0xFF
    const std::string ff16 = "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ";
    struct Case {
        uint32 start, end;
        std::string text;
    };
    const Case cases[] = {
        {0xF000, 0xF00F, "f000   " + ff16 + "\n"},
        {0xF000, 0xF010, "f000   " + ff16 + "\nf010   ff "},
        {0xF805, 0xF800, "f805   05 "},   // end below start: one byte, no line end
        {0xFFFE, 0xFFFFFF, "fffe   fe ff "},
        {0xF801, 0xF812,
         "f801   01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 \nf811   11 12 "},
    };
    for (const Case &c : cases) EXPECT_EQ(write_dump(1, c.start, c.end), c.text) << std::hex << c.start;
}

TEST(DumpFormats, BinaryDump)
{
    for (int i = 0; i < 0x800; i++) rom_7020[i] = (uint8)(i * 3);
    struct Case {
        uint32 start, end;
        size_t size;
    };
    const Case cases[] = {{0xF800, 0xF8FF, 0x100}, {0xF810, 0xF800, 1}, {0xFFF0, 0x20000, 16}, {0xF800, 0xF800, 1}};
    for (const Case &c : cases) {
        std::string out = write_dump(0, c.start, c.end);
        ASSERT_EQ(out.size(), c.size) << std::hex << c.start;
        for (size_t i = 0; i < out.size(); i++)
            EXPECT_EQ((uint8)out[i], (uint8)((c.start + i - 0xF800) * 3)) << std::hex << c.start + i;
    }
}

TEST(DumpFormats, DisassemblyListing)
{
    memset(ram_2k, 0, sizeof ram_2k);
    const uint8 program[] = {0x00, 0x8E, 0xC1, 0x23, 0x88, 0x12, 0x34, 0x05, 0xE0, 0xFE};
    memcpy(ram_2k, program, sizeof program);
    char text[256];
    auto line = [&](unsigned address, const char *columns) {
        Dasm7000(text, address);
        char buf[320];
        snprintf(buf, sizeof buf, "%04x   %s%s\n", address, columns, text);
        return std::string(buf);
    };
    const std::string nop = line(0xC000, "00                ");
    const std::string call = line(0xC001, "8E C1 23          ");
    const std::string movd = line(0xC004, "88 12 34 05       ");
    const std::string jmp = line(0xC008, "E0 FE             ");
    EXPECT_EQ(nop, "c000   00                NOP\n");
    struct Case {
        uint32 start, end;
        std::string text;
    };
    // The directive that makes ovix-asm read the lines back, and the start.
    const std::string head = "DASM\n        ORG $C000\n";
    const Case cases[] = {
        {0xC000, 0xC009, head + nop + call + movd + jmp},
        {0xC000, 0xC002, head + nop + call},   // the last instruction runs past the end
        {0xC001, 0xC000, "DASM\n        ORG $C001\n" + call},   // end below start: one instruction
    };
    for (const Case &c : cases) EXPECT_EQ(write_dump(2, c.start, c.end), c.text) << std::hex << c.start;
}

// A real program's disassembly dump with its symbols, read back by the
// assembler to the same bytes at the same addresses: the open BIOS with its
// symbol file, whole and from a label in its middle (the earlier labels that
// instructions name come as EQU lines), with two names the disassembler
// dialect cannot take as labels (a comment keeps them).
TEST(DumpFormats, DisassemblyWithSymbolsAssemblesBack)
{
    const std::vector<uint8> bios = read_file(OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin");
    ASSERT_EQ(bios.size(), sizeof rom_7020);
    memcpy(rom_7020, bios.data(), sizeof rom_7020);
    const std::string sym = read_text(OVIX_BINARY_DIR "/roms/bios/BIOS7020.sym") + "F800 FACE\nFA91 R5\n";
    ASSERT_EQ(symbols_parse("bios.sym", sym.data(), sym.size()), nullptr);
    for (uint32 start : {0xF800u, 0xFA91u}) {
        const std::string dump = write_dump(2, start, 0xFFFF);
        const ovasm::Result r = ovasm::assemble_text("dump.asm", dump);
        ASSERT_TRUE(r.ok) << r.errors.front();
        EXPECT_EQ(r.base, start);
        ASSERT_GE(r.image.size(), 0x10000 - start);
        EXPECT_EQ(0, memcmp(r.image.data(), rom_7020 + (start - 0xF800), 0x10000 - start)) << std::hex << start;
        // The names are there: label lines, named calls, and for the
        // second dump the labels before its start.
        EXPECT_NE(dump.find("\npollkey: ; R5:\nfa91   "), std::string::npos);
        EXPECT_NE(dump.find("CALL getbyte\n"), std::string::npos);
        // Registers and ports by their names, defined at the top.
        EXPECT_NE(dump.find("\nPENDKEY EQU R7\n"), std::string::npos);
        EXPECT_NE(dump.find("MOV PENDKEY,A\n"), std::string::npos);
        EXPECT_EQ(dump.find("INC TICKS\n") != std::string::npos, start == 0xF800);
        EXPECT_EQ(dump.find("MOVP MAILBOX,A\n") != std::string::npos, start == 0xF800);
        EXPECT_EQ(dump.find("\nreset: ; FACE:\nf800   ") != std::string::npos, start == 0xF800);
        EXPECT_EQ(dump.find("\ngetbyte EQU $FA26\n") != std::string::npos, start > 0xF800);
    }
    symbols_clear();
}

TEST(DumpFormats, PeripheralRangeIsReadAsTheCpuReads)
{
    // The video register port at 0x0125 asks for the debugger when the CPU
    // reads it; a dump across it does the same.
    ask_bkpt = 0;
    write_dump(0, 0x0120, 0x012F);
    EXPECT_EQ(ask_bkpt, 1);
    ask_bkpt = 0;
}

TEST(DumpFiles, NumberedInOrderOfAnyKind)
{
    InTempDir dir("dump_files");
    for (int i = 0; i < 0x800; i++) rom_7020[i] = (uint8)i;
    set_fields("f800", "f80f");
    const int first = seqnum;
    char name[3][32];
    snprintf(name[0], sizeof name[0], "FILE%03d.bin", first);
    snprintf(name[1], sizeof name[1], "FILE%03d.hex.txt", first + 1);
    snprintf(name[2], sizeof name[2], "FILE%03d.asm", first + 2);
    for (int mode = 0; mode < 3; mode++) {
        char used[32];
        EXPECT_EQ(dump_to_file(mode, used, sizeof used), nullptr);
        EXPECT_STREQ(used, name[mode]);
    }
    EXPECT_EQ(seqnum, first + 3);
    std::vector<uint8> bin = read_file(name[0]);
    ASSERT_EQ(bin.size(), 16u);
    for (int i = 0; i < 16; i++) EXPECT_EQ(bin[i], i);
    EXPECT_EQ(read_text(name[1]), "f800   00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n");
    EXPECT_EQ(read_text(name[2]).substr(0, 30), "DASM\n        ORG $F800\nf800   ");
}

TEST(DumpFiles, NumbersSkipEveryExistingFileOfEitherKind)
{
    // Files left by an earlier run, or of the other kind, keep their
    // numbers: a new dump takes the first number free for both suffixes.
    InTempDir dir("dump_numbers");
    set_fields("f800", "f800");
    const int first = seqnum;
    auto file = [&](int n, const char *suffix) {
        char name[32];
        snprintf(name, sizeof name, "FILE%03d%s", first + n, suffix);
        return std::string(name);
    };
    ASSERT_TRUE(write_text(file(0, ".bin"), "old"));
    ASSERT_TRUE(write_text(file(1, ".asm"), "old"));
    std::filesystem::create_directory(file(2, ".bin"));   // anything of that name counts
    ASSERT_TRUE(write_text(file(3, ".hex.txt"), "old"));
    char used[32];
    ASSERT_EQ(dump_to_file(1, used, sizeof used), nullptr);
    EXPECT_EQ(used, file(4, ".hex.txt"));
    ASSERT_EQ(dump_to_file(2, used, sizeof used), nullptr);
    EXPECT_EQ(used, file(5, ".asm"));
    EXPECT_EQ(read_text(file(0, ".bin")), "old");
    EXPECT_EQ(read_text(file(1, ".asm")), "old");
    ASSERT_EQ(dump_to_file(0, used, sizeof used), nullptr);
    EXPECT_EQ(used, file(6, ".bin"));
    // Nothing but the dumps themselves is left behind (no temporary file).
    int entries = 0;
    for (auto it = std::filesystem::directory_iterator("."); it != std::filesystem::directory_iterator(); ++it)
        entries++;
    EXPECT_EQ(entries, 7);
}

TEST(DumpFiles, FieldsDecideTheRange)
{
    InTempDir dir("dump_fields");
    for (int i = 0; i < 0x800; i++) rom_7020[i] = (uint8)(0xA0 + i);
    struct Case {
        const char *start, *end;
        size_t size;   // bytes written; 0 = refused
    };
    const Case cases[] = {
        {"f800", "", 1},         // empty end: a single unit
        {"f800", "zz", 1},       // unreadable end: a single unit
        {"f800", "f803", 4},     //
        {"", "f803", 0},         // empty start: refused
        {"f8g0", "f803", 0},     // unreadable start: refused
        {"10000", "10010", 0},   // beyond the CPU's space: refused
    };
    for (const Case &c : cases) {
        set_fields(c.start, c.end);
        const int before = seqnum;
        char used[32];
        const char *error = dump_to_file(0, used, sizeof used);
        if (c.size == 0) {
            EXPECT_NE(error, nullptr) << c.start;
            EXPECT_EQ(seqnum, before) << c.start;
            EXPECT_FALSE(std::filesystem::exists(used)) << c.start;
        } else {
            EXPECT_EQ(error, nullptr) << c.start;
            EXPECT_EQ(read_file(used).size(), c.size) << c.start << ".." << c.end;
        }
    }
}

TEST(DumpFiles, UncreatableFileIsReportedByName)
{
    // A working folder that no longer exists takes no file.
    InTempDir dir("dump_uncreatable");
    std::filesystem::remove(std::filesystem::current_path());
    set_fields("f800", "f8ff");
    const int before = seqnum;
    char used[32];
    const char *error = dump_to_file(0, used, sizeof used);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find(used), std::string::npos) << error;
    EXPECT_EQ(seqnum, before);   // the number is used by the next dump that works
}
