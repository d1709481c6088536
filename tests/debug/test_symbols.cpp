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
        const char *text;
        const char *message;
    } cases[] = {
        {"C000 a\nG000 b\n", "t.sym:2: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'G000 b'"},
        {"10000 big\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not '10000 big'"},
        {"C000\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000'"},
        {"C000 1st\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 1st'"},
        {"C000 a b\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000 a b'"},
        {"C000loop\n", "t.sym:1: expected a hexadecimal address (up to 4 digits), blanks and a name, not 'C000loop'"},
        {"C000 loop\n\nC002 LOOP\n", "t.sym:3: the name 'LOOP' is given twice (also at line 1)"},
    };
    ASSERT_EQ(parse("F800 reset\n"), nullptr);
    for (const auto &c : cases) {
        const char *m = parse(c.text);
        ASSERT_NE(m, nullptr) << c.text;
        EXPECT_STREQ(m, c.message);
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
