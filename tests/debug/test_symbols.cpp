// The symbol table of the debugger: reading symbol files, the look-ups by
// address and by name, and the names put into disassembled lines, checked
// against the assembler that writes the files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "asm.h"
#include "cpu/7000dasm.h"
#include "debug/symbols.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

const char *parse(const std::string &text) { return symbols_parse("t.sym", text.data(), text.size()); }

TEST(Symbols, LookUpByAddressAndName)
{
    ASSERT_EQ(parse("; labels\r\n\nC000 print.loop\nC000 print\n# more\n0F00 Start\nC000 other\n  7 seven  \n"), nullptr);
    EXPECT_EQ(symbols_count(), 5u);
    EXPECT_STREQ(symbols_name(0xC000), "print");   // a global label before any local one
    EXPECT_STREQ(symbols_name(0x0F00), "Start");
    EXPECT_STREQ(symbols_name(0x0007), "seven");
    EXPECT_EQ(symbols_name(0xC001), nullptr);
    uint16 a = 0;
    ASSERT_TRUE(symbols_address("START", &a));    // any case
    EXPECT_EQ(a, 0x0F00);
    ASSERT_TRUE(symbols_address("Print.Loop", &a));
    EXPECT_EQ(a, 0xC000);
    EXPECT_FALSE(symbols_address("nowhere", &a));
    ASSERT_EQ(parse("1234 .local\n"), nullptr);   // only local labels there
    EXPECT_STREQ(symbols_name(0x1234), ".local");
    symbols_clear();
    EXPECT_EQ(symbols_count(), 0u);
}

TEST(Symbols, BadFilesLeaveTheTableAsItWas)
{
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"C000 a\nG000 b\n", "t.sym:2: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'G000 b'"},
        {"10000 big\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not '10000 big'"},
        {"C000\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000'"},
        {"C000 1st\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 1st'"},
        {"C000 a b\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 a b'"},
        {"C000loop\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000loop'"},
        {"C000 loop\n\nC002 LOOP\n", "t.sym:3: the name 'LOOP' is given twice (also at line 1)"},
        // The longest name is 63 characters (the debugger's field holds 64, with ':').
        {"C000 " + std::string(64, 'n') + "\n",
         "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 " + std::string(55, 'n') +
             "...'"},
        // Raw bytes are quoted escaped, and a NUL does not cut the line.
        {std::string("C000 a\0b\x01\xFF\n", 11),
         "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 a\\x00b\\x01\\xFF'"},
        {"; ovix-asm symbols 3\nC000 a\n", "t.sym: symbol file format 3; this program reads formats 1 to 2"},
        {"; ovix-asm symbols 2\n;= constant K\n",
         "t.sym:2: expected ';= KIND NAME VALUE' (constant and a number, register and Rn, port and Pn), not ';= constant K'"},
        {"; ovix-asm symbols 2\n;= register R R256\n",
         "t.sym:2: expected ';= KIND NAME VALUE' (constant and a number, register and Rn, port and Pn), not ';= register R "
         "R256'"},
        {"; ovix-asm symbols 2\n;= port P 6\n",
         "t.sym:2: expected ';= KIND NAME VALUE' (constant and a number, register and Rn, port and Pn), not ';= port P 6'"},
        {"; ovix-asm symbols 2\nC000 K\n;= constant k 1\n", "t.sym:3: the name 'k' is given twice (also at line 2)"},
    };
    ASSERT_EQ(parse("C000 " + std::string(63, 'n') + "\n"), nullptr);
    EXPECT_STREQ(symbols_name(0xC000), std::string(63, 'n').c_str());
    ASSERT_EQ(parse("F800 reset\n"), nullptr);
    for (const auto &c : cases) {
        const char *m = parse(c.text);
        ASSERT_NE(m, nullptr) << c.text;
        EXPECT_EQ(m, c.message);
        EXPECT_STREQ(symbols_name(0xF800), "reset") << c.text;
        EXPECT_EQ(symbols_count(), 1u);
    }
    std::string dir = make_temp_dir("symdir");
    const char *m = symbols_load(dir.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_NE(std::string(m).find("a directory, not a file"), std::string::npos) << m;
    EXPECT_EQ(symbols_count(), 1u);
}

TEST(Symbols, NamesInDisassembledLines)
{
    ASSERT_EQ(parse("C010 loop\nC015 done\nF9B8 iocall\nC000 RXBUF\n1234 FACE\n"), nullptr);
    const struct {
        const char *text;
        unsigned address, length;
        const char *out;   // null: unchanged
    } cases[] = {
        {"JMP $-2", 0xC010, 2, "JMP loop"},
        {"JMP $", 0xC00E, 2, "JMP loop"},
        {"BTJO #80,R7,$+11", 0xC006, 4, "BTJO #80,R7,done"},
        {"DJNZ R9,$-3", 0xC010, 3, "DJNZ R9,loop"},
        {"CALL $F9B8", 0xC000, 3, "CALL iocall"},
        {"LDA @#C000(B)", 0xC000, 3, "LDA @RXBUF(B)"},
        {"STA @#C000", 0xC000, 3, "STA @RXBUF"},
        {"BR $1234", 0xC000, 3, nullptr},          // a name of hex digits would read as a number
        {"JMP $+5", 0xC000, 2, nullptr},           // no label there
        {"MOVD #C000,R7", 0xC000, 4, nullptr},     // an immediate is no target
        {"MOV #C0,A", 0xC000, 2, nullptr},
    };
    for (const auto &c : cases) {
        char out[64];
        EXPECT_EQ(symbols_name_target(c.text, c.address, c.length, out, sizeof out), c.out != nullptr) << c.text;
        EXPECT_STREQ(out, c.out ? c.out : c.text);
    }
    symbols_clear();
}

// The assembler's symbol file, read back: every labelled target of a
// program's disassembly gets its name, and the named line assembles to the
// same bytes in the disassembler dialect.
TEST(Symbols, AssemblerSymbolFileAndNamedLinesRoundTrip)
{
    const char *src =
        "        ORG 0C100h\n"
        "start   MOV #3,B\n"
        ".loop   DJNZ B,.loop\n"
        "        CALL sub\n"
        "        JMP start\n"
        "sub:    LDA table(B)\n"
        "        STA 0C700h\n"
        "        BTJZ #1,A,.out\n"
        "        BR *R5\n"
        ".out    RETS\n"
        "table   DB 1,2,3\n";
    ovasm::Result r = ovasm::assemble_text("p.asm", src);
    ASSERT_TRUE(r.ok) << r.errors.front();
    const std::string text = ovasm::symbol_file_text(r);
    EXPECT_EQ(text, "; ovix-asm symbols 2\nC100 start\nC102 start.loop\nC109 sub\nC114 sub.out\nC115 table\n");
    const std::string path = make_temp_dir("symfile") + "/p.sym";
    ASSERT_TRUE(write_text(path, text));
    ASSERT_EQ(symbols_load(path.c_str()), nullptr);

    // The labels as constants, for assembling named lines on their own.
    std::string defs;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        if (text[at] != ';') defs += text.substr(at + 5, text.find('\n', at) - at - 5) + " EQU $" + text.substr(at, 4) + "\n";

    memset(ram_2k, 0, sizeof ram_2k);
    std::copy(r.image.begin(), r.image.end(), ram_2k + 0x100);
    int named = 0;
    for (unsigned a = 0xC100; a < 0xC115;) {
        char dasm[256], out[256];
        const unsigned len = Dasm7000(dasm, a);
        named += symbols_name_target(dasm, a, len, out, sizeof out);
        const std::vector<uint8_t> bytes(r.image.begin() + (a - 0xC100), r.image.begin() + (a - 0xC100 + len));
        ovasm::Options o;
        o.dialect = ovasm::Dialect::Dasm;
        char org[16];
        snprintf(org, sizeof org, " ORG $%X\n ", a);
        ovasm::Result back = ovasm::assemble_text("n.asm", defs + org + out + "\n", o);
        ASSERT_TRUE(back.ok) << out << ": " << back.errors.front();
        EXPECT_EQ(back.image, bytes) << out;
        a += len;
    }
    EXPECT_EQ(named, 5);   // DJNZ, CALL, JMP, LDA and BTJZ; not STA (no label there), BR *R5, MOV, RETS
    symbols_clear();
}

// The names the disassembly dump writes as labels are those the assembler
// takes as labels in the disassembler dialect.
TEST(Symbols, AssemblyNamesAreTheAssemblersLabels)
{
    int taken = 0;
    for (const char *name : {"loop", "print.loop", "_1", "Rx", "R", "P", "NOP", "FACE", "dec0", "R5", "r12", "P255",
                             "A", "b", "st"}) {
        const ovasm::Result r =
            ovasm::assemble_text("n.asm", std::string("DASM\n ORG $C000\n") + name + ":\n JMP " + name + "\n");
        EXPECT_EQ(symbols_assembly_name(name), r.ok) << name << ": " << (r.ok ? "" : r.errors.front());
        taken += r.ok;
    }
    EXPECT_EQ(taken, 7);
    EXPECT_FALSE(symbols_assembly_name(".loop"));   // a local name needs its scope
}

// The symbol file of a cartridge: the image's whole name and ".sym" first,
// then its extension replaced; none clears the table, a bad one too.
TEST(Symbols, FileBesideACartridge)
{
    const std::string dir = make_temp_dir("beside");
    std::filesystem::create_directory(dir + "/v1.2");
    for (const auto &[file, text] : std::vector<std::pair<std::string, std::string>>{
             {"a.rom.sym", "1000 whole\n"}, {"a.sym", "1000 stem\n"}, {"b.sym", "2000 bee\n"},
             {"bad.sym", "2000 bee\nzz\n"}, {"noext.sym", "3000 plain\n"}, {"v1.sym", "4000 wrong\n"}})
        ASSERT_TRUE(write_text(dir + "/" + file, text));
    const struct {
        const char *rom, *loaded;   // the file loaded ("" none)
        uint16 address;              // and its one label
        const char *name;
    } cases[] = {
        {"a.rom", "a.rom.sym", 0x1000, "whole"}, {"b.rom", "b.sym", 0x2000, "bee"},
        {"c.rom", "", 0, nullptr},               {"noext", "noext.sym", 0x3000, "plain"},
        {"v1.2/f", "", 0, nullptr},              // the dot of the folder is no extension
        {"bad.rom", "", 0, nullptr},             // an error, and no names
    };
    for (const auto &c : cases) {
        ASSERT_EQ(parse("F800 previous\n"), nullptr);
        std::string loaded;
        const char *error = symbols_load_beside((dir + "/" + c.rom).c_str(), &loaded);
        const std::string expected_error =
            strcmp(c.rom, "bad.rom") ? ""
                                     : dir + "/bad.sym:2: expected a hexadecimal address (up to 4 digits), blanks "
                                             "and a name, not 'zz'";
        EXPECT_EQ(error ? std::string(error) : "", expected_error);
        EXPECT_EQ(loaded, *c.loaded ? dir + "/" + c.loaded : "") << c.rom;
        EXPECT_EQ(symbols_count(), c.name ? 1u : 0u) << c.rom;
        if (c.name) {
            EXPECT_STREQ(symbols_name(c.address), c.name) << c.rom;
        }
    }
}

}  // namespace

// Format 2: constants, registers and ports with their kinds; a file of
// format 1 skips the lines as comments; every name is found by
// symbols_lookup, but only labels by address.
TEST(Symbols, KindsOfFormat2)
{
    const std::string text = "; ovix-asm symbols 2\nC100 start\n;= constant VALUE 42\n;= constant NEG -5\n"
                             ";= constant BIG $8000000000000000\n;= register COUNT R6\n;= port PORTB P255\n"
                             ";= register ZERO r0\n";
    ASSERT_EQ(parse(text), nullptr);
    EXPECT_EQ(symbols_count(), 7u);
    const struct {
        const char *name;
        bool found;
        symbol_kind kind;
        int64 value;
    } cases[] = {
        {"start", true, symbol_kind::label, 0xC100},  {"value", true, symbol_kind::constant, 42},
        {"NEG", true, symbol_kind::constant, -5},     {"BIG", true, symbol_kind::constant, INT64_MIN},
        {"count", true, symbol_kind::reg, 6},         {"PORTB", true, symbol_kind::port, 255},
        {"ZERO", true, symbol_kind::reg, 0},          {"nothing", false, symbol_kind::label, 0},
    };
    for (const auto &c : cases) {
        symbol_info info;
        ASSERT_EQ(symbols_lookup(c.name, &info), c.found) << c.name;
        if (!c.found) continue;
        EXPECT_EQ(info.kind, c.kind) << c.name;
        EXPECT_EQ(info.value, c.value) << c.name;
        EXPECT_EQ(info.group, symbol_group::cartridge) << c.name;
    }
    uint16 a;
    EXPECT_FALSE(symbols_address("VALUE", &a));   // a constant is no label
    EXPECT_EQ(symbols_name(42), nullptr);
    // Without the format line the same lines are comments.
    ASSERT_EQ(parse(text.substr(text.find('\n') + 1)), nullptr);
    EXPECT_EQ(symbols_count(), 1u);
    symbols_clear();
}

// The BIOS's names and the cartridge's: files add up in a group, a
// cartridge replaces only its own, and a name two files of a group give
// must mean the same.
TEST(Symbols, BiosAndCartridgeGroups)
{
    const std::string dir = make_temp_dir("groups");
    ASSERT_TRUE(write_text(dir + "/BIOS7020.sym", "; ovix-asm symbols 2\nF800 reset\n;= register TICKS R6\n"));
    ASSERT_TRUE(write_text(dir + "/game.sym", "6000 start\n"));
    ASSERT_TRUE(write_text(dir + "/more.sym", "; ovix-asm symbols 2\n6000 start\n6010 loop\n;= register KEYS R37\n"));
    ASSERT_TRUE(write_text(dir + "/clash.sym", "6020 loop\n"));
    ASSERT_TRUE(write_text(dir + "/other.sym", "4000 start\n"));
    symbols_clear();
    std::string loaded;
    ASSERT_EQ(symbols_load_beside_bios((dir + "/BIOS7020.bin").c_str(), &loaded), nullptr);
    EXPECT_EQ(loaded, dir + "/BIOS7020.sym");
    ASSERT_EQ(symbols_add(symbol_group::cartridge, (dir + "/game.sym").c_str()), nullptr);
    ASSERT_EQ(symbols_add(symbol_group::cartridge, (dir + "/more.sym").c_str()), nullptr);   // start again: the same
    EXPECT_EQ(symbols_count(), 5u);
    const char *clash = symbols_add(symbol_group::cartridge, (dir + "/clash.sym").c_str());
    ASSERT_NE(clash, nullptr);
    EXPECT_EQ(std::string(clash), dir + "/clash.sym:1: the name 'loop' is a label of value 24608 here and a label of "
                                        "value 24592 in " + dir + "/more.sym:3");
    EXPECT_EQ(symbols_count(), 5u);
    symbol_info info;
    ASSERT_TRUE(symbols_lookup("ticks", &info));
    EXPECT_EQ(info.group, symbol_group::bios);
    // The next cartridge brings its own names; the BIOS's stay.
    ASSERT_EQ(symbols_load_beside((dir + "/other.rom").c_str(), &loaded), nullptr);
    EXPECT_EQ(symbols_count(), 3u);
    uint16 a;
    ASSERT_TRUE(symbols_address("start", &a));
    EXPECT_EQ(a, 0x4000);
    EXPECT_FALSE(symbols_lookup("KEYS", &info));
    EXPECT_STREQ(symbols_name(0xF800), "reset");
    // A name in both groups: the cartridge's is found first.
    ASSERT_EQ(symbols_add_text(symbol_group::bios, "b.sym", "F900 start\n", 11), nullptr);
    ASSERT_TRUE(symbols_address("start", &a));
    EXPECT_EQ(a, 0x4000);
    symbols_clear();
}

// Register and port operands by their names, from the group of the code
// they are in; what has no name, or a name the disassembler dialect would
// not read as one, stays as it is.
TEST(Symbols, AliasesInDisassembledLines)
{
    const std::string bios = "; ovix-asm symbols 2\nF800 reset\n;= register TICKS R6\n;= port VDPWR P46\n";
    const std::string cart = "; ovix-asm symbols 2\n6000 start\n;= register KEYS R6\n;= register ADRL R10\n"
                             ";= register FACE R11\n;= register R12 R12\n;= port APORT P4\n";
    symbols_clear();
    ASSERT_EQ(symbols_add_text(symbol_group::bios, "b.sym", bios.data(), bios.size()), nullptr);
    ASSERT_EQ(symbols_add_text(symbol_group::cartridge, "c.sym", cart.data(), cart.size()), nullptr);
    const struct {
        const char *text;
        unsigned address;
        const char *out;
    } cases[] = {
        {"MOV R6,A", 0xF900, "MOV TICKS,A"},            // the BIOS's code: its names first
        {"MOV R6,A", 0x6010, "MOV KEYS,A"},             // the cartridge's
        {"MOVP A,P46", 0x6010, "MOVP A,VDPWR"},         // from the other group when its own has none
        {"LDA *R10", 0x6010, "LDA *ADRL"},
        {"BTJZP #01,P4,$-7", 0x6003, "BTJZP #01,APORT,start"},
        {"MOV R11,R12", 0x6010, "MOV R11,R12"},         // FACE reads as a number, R12 as the register
        {"MOV #6,R7", 0x6010, "MOV #6,R7"},             // an immediate and a register without a name
        {"MOVD R10,R6", 0xF900, "MOVD ADRL,TICKS"},
    };
    for (const auto &c : cases) {
        char out[64];
        symbols_name_operands(c.text, c.address, 4, out, sizeof out);
        EXPECT_STREQ(out, c.out) << c.text << " at " << std::hex << c.address;
    }
    symbols_clear();
}
