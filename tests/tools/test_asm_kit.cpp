// ovix-asm as a development kit: register names and numbers read as the
// family's assemblers read them, warnings and their options, ASSERT, ERROR
// and WARNING, messages with their source line and mark, the listing's
// cycles, skipped lines, names and sizes, the map, Intel HEX, and
// cartridge images of every size the loader takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "asm.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

ovasm::Result assemble(const std::string &source, ovasm::Options o = {})
{
    return ovasm::assemble_text("t.asm", source, o);
}

std::string first_diagnostic(const ovasm::Result &r) { return r.diagnostics.empty() ? "(none)" : r.diagnostics.front().text; }

const ovasm::CartSize *cart(const char *name)
{
    for (const ovasm::CartSize &c : ovasm::cartridge_sizes())
        if (std::string(c.name) == name) return &c;
    return nullptr;
}

}  // namespace

// Register and port names where numbers belong, and numbers where registers
// belong: the bytes and the warning (or its absence), both sides of every
// bound.
TEST(AsmKit, RegisterNamesAndNumbers)
{
    const std::string names = "CLBUF EQU R32\nCLBUFP EQU R34\nKEYBUF EQU R40\nPORTB EQU P6\n ORG $6000\n";
    const struct {
        std::string source;
        Bytes bytes;            // empty: refused
        const char *message;    // the first warning or error, "" for none
    } cases[] = {
        {" MOVD #CLBUF,CLBUFP", {0x88, 0x00, 0x20, 0x22}, ""},
        {" LDA CLBUF(B)", {0xAA, 0x00, 0x20}, ""},
        {" LDA @KEYBUF(B)", {0xAA, 0x00, 0x28}, ""},
        {" MOV %CLBUF,B", {0x52, 0x20}, ""},
        {" LDA CLBUF", {0x8A, 0x00, 0x20}, ""},
        {" LDA @PORTB", {0x8A, 0x01, 0x06}, ""},
        {" MOVD #PORTB,R5", {0x88, 0x01, 0x06, 0x05}, ""},
        {" DB CLBUF", {0x20}, ""},
        {" MOV %A,B", {}, "t.asm:6: operand '%A' is a register where a number or an address belongs"},
        {" SUB \"0\",A", {0x1A, 0x30},
         "t.asm:6: warning: SUB: '\"0\"' is a number where a register belongs: read as register R48, as the family's "
         "assemblers read it (write R48 to say so, or #\"0\" for the value 48) [register-number]"},
        {" INC 255", {0xD3, 0xFF},
         "t.asm:6: warning: INC: '255' is a number where a register belongs: read as register R255, as the family's "
         "assemblers read it (write R255 to say so) [register-number]"},
        {" INC 256", {}, "t.asm:6: INC: '256' is a number, not a register: write R256, or define the name with EQU Rn"},
        {" MOV 6,A", {0x12, 0x06},
         "t.asm:6: warning: MOV: '6' is a number where a register belongs: read as register R6, as the family's "
         "assemblers read it (write R6 to say so, or #6 for the value 6, or @6 for the memory byte) [register-number]"},
        {" MOV 255,A", {0x12, 0xFF}, "t.asm:6: warning: MOV: '255' is a number where a register belongs: read as register R255, as the family's assemblers read it (write R255 to say so, or #255 for the value 255, or @255 for the memory byte) [register-number]"},
        {" MOV 256,A", {0x8A, 0x01, 0x00}, ""},
        {" MOV A,7", {0xD0, 0x07},
         "t.asm:6: warning: MOV: '7' is a number where a register belongs: read as register R7, as the family's "
         "assemblers read it (write R7 to say so, or @7 for the memory byte) [register-number]"},
        {" ADD 3,4", {0x48, 0x03, 0x04},
         "t.asm:6: warning: ADD: '3' is a number where a register belongs: read as register R3, as the family's "
         "assemblers read it (write R3 to say so, or #3 for the value 3) [register-number]"},
        {"DASM\n ADD 6,A", {}, "t.asm:7: ADD: '6' is a number, not a register: write R6, or define the name with EQU Rn; "
                               "in the common syntax the line gives 18 06"},
    };
    for (const auto &c : cases) {
        const std::string source = c.source.rfind("DASM", 0) == 0 ? c.source.substr(0, 5) + names + c.source.substr(5)
                                                                    : names + c.source + "\n";
        const ovasm::Result r = assemble(source);
        EXPECT_EQ(r.ok ? r.image : Bytes{}, c.bytes) << c.source;
        EXPECT_EQ(r.diagnostics.empty() ? "" : r.diagnostics.front().text, c.message) << c.source;
    }
}

// Warnings: reported without failing, silenced by kind, or made errors.
TEST(AsmKit, WarningOptions)
{
    const std::string source = " ORG 100h\n INC 5\n WARNING \"look\"\n";
    ovasm::Result r = assemble(source);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.warnings.size(), 2u);
    EXPECT_EQ(r.warnings[1], "t.asm:3: warning: look [directive]");

    ovasm::Options quiet;
    quiet.no_warn = {"register-number"};
    r = assemble(source, quiet);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.warnings, std::vector<std::string>{"t.asm:3: warning: look [directive]"});

    ovasm::Options strict;
    strict.warnings_as_errors = true;
    r = assemble(source, strict);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.image.empty());
    ASSERT_EQ(r.errors.size(), 2u);
    EXPECT_EQ(r.errors[1], "t.asm:3: look [directive, an error with --warnings-as-errors]");
}

// ASSERT, ERROR and WARNING, both sides of an assertion's bound.
TEST(AsmKit, MessageDirectives)
{
    const struct {
        const char *source;
        const char *message;   // the first diagnostic, "(none)" for none
        bool ok;
    } cases[] = {
        {" ORG 7FF0h\n ASSERT $ <= 7FF0h, \"code runs into the signature\"\n NOP\n", "(none)", true},
        {" ORG 7FF1h\n ASSERT $ <= 7FF0h, \"code runs into the signature\"\n NOP\n",
         "t.asm:2: assertion failed: code runs into the signature", false},
        {" ORG 0\n ASSERT END-START == 2\nSTART NOP\n NOP\nEND:\n", "(none)", true},
        {" ORG 0\n ASSERT END-START == 3\nSTART NOP\n NOP\nEND:\n", "t.asm:2: assertion failed: END-START == 3", false},
        {" NOP\n ASSERT\n", "t.asm:2: usage: ASSERT expression[, \"message\"]", false},
        {" NOP\n ASSERT 1, message\n", "t.asm:2: ASSERT takes its message in quotes: ASSERT expression, \"message\"", false},
        {" NOP\n ASSERT NOWHERE\n", "t.asm:2: undefined symbol 'NOWHERE'", false},
        {" NOP\n IF 0\n ERROR \"not here\"\n ENDIF\n", "(none)", true},
        {" NOP\n IF 1\n ERROR \"here\"\n ENDIF\n", "t.asm:3: here", false},
        {" NOP\n ERROR\n", "t.asm:2: ERROR directive", false},
        {" NOP\n WARNING \"a\", \"b\"\n", "t.asm:2: usage: WARNING \"message\"", false},
        {" NOP\n WARNING \"careful\"\n", "t.asm:2: warning: careful [directive]", true},
    };
    for (const auto &c : cases) {
        const ovasm::Result r = assemble(c.source);
        EXPECT_EQ(r.ok, c.ok) << c.source;
        EXPECT_EQ(first_diagnostic(r), c.message) << c.source;
    }
}

// Messages: the line, the part marked, the fix; one error where one is
// enough; the macro and the call for every error of an expansion.
TEST(AsmKit, Messages)
{
    const struct {
        std::string source;
        ovasm::Options options;
        const char *text;     // the first diagnostic
        const char *line;     // its source line as shown
        int column, width;    // the mark
        size_t count;         // diagnostics in all
    } cases[] = {
        {" NOP\n MOOV A,B\n", {}, "t.asm:2: unknown mnemonic 'MOOV'", " MOOV A,B", 1, 4, 1},
        {"loop1: NOP\n JMP LOOP2\n", {}, "t.asm:2: undefined symbol 'LOOP2' (did you mean 'loop1'?)", " JMP LOOP2", 5, 5, 1},
        {" NOP\n MOV #FFh,A\n", {}, "t.asm:2: undefined symbol 'FFh' (a hexadecimal number starts with a digit: 0FFh)",
         " MOV #FFh,A", 6, 3, 1},
        {" MOV %300,A\n", {}, "t.asm:1: value 300 out of range -128..255", " MOV %300,A", 5, 4, 1},
        {" JMP later\n INCLUDE \"missing.asm\"\nlater: JMP nowhere\n", {},
         "t.asm:2: cannot open include file 'missing.asm': No such file or directory", " INCLUDE \"missing.asm\"", 10, 11, 1},
        {"PUT MACRO v\n DB v\n ENDM\n ORG 4000h\n NOP\n PUT 1\n", [] {
             ovasm::Options o;
             o.has_base = o.has_size = true;
             o.base = 0x4000;
             o.size = 1;
             return o;
         }(),
         "t.asm:2: code at $4001 is outside the output window $4000-$4000 (in macro PUT called at t.asm:6)", " DB v", -1, 0, 1},
        {" ORG 6000h\nstart: NOP\n JMP start\n", [] {
             ovasm::Options o;
             o.has_base = o.has_size = true;
             o.base = 0x4000;
             o.size = 8192;
             return o;
         }(),
         "t.asm:2: the whole program ($6000-$6002) lies outside the output window $4000-$5FFF: assemble it with --base "
         "6000, or move it with ORG 4000h",
         "start: NOP", -1, 0, 1},
        {" ORG 100h\nstart: NOP\n", [] {
             ovasm::Options o;
             o.has_base = true;
             o.base = 0x4000;
             return o;
         }(),
         "t.asm:2: the whole program ($0100-$0100) lies outside the image, which starts at $4000: assemble it with "
         "--base 0100, or move it with ORG 4000h",
         "start: NOP", -1, 0, 1},
        {"count EQU 5\nM MACRO Count\n DB Count\n ENDM\n M 3\n", {},
         "t.asm:2: warning: the parameter 'Count' of macro 'M' hides the symbol 'count' (defined at t.asm:1): inside the "
         "macro the name means the argument [macro-parameter]",
         "M MACRO Count", 8, 5, 1},
    };
    for (const auto &c : cases) {
        const ovasm::Result r = ovasm::assemble_text("t.asm", c.source, c.options);
        ASSERT_FALSE(r.diagnostics.empty()) << c.source;
        const ovasm::Diagnostic &d = r.diagnostics.front();
        EXPECT_EQ(d.text, c.text) << c.source;
        EXPECT_EQ(d.source, c.line) << c.source;
        EXPECT_EQ(d.column, c.column) << c.source;
        EXPECT_EQ(d.width, c.width) << c.source;
        EXPECT_EQ(r.diagnostics.size(), c.count) << c.source;
    }
}

// The listing: cycles (taken/not taken), lines an IF left out, the names
// with their uses, the output window's use.
TEST(AsmKit, ListingCyclesSkippedLinesNamesAndSizes)
{
    ovasm::Options o;
    o.want_listing = true;
    o.has_base = o.has_size = true;
    o.base = 0xF000;
    o.size = 16;
    const ovasm::Result r = assemble("N EQU R6\n ORG 0F000h\ngo: DJNZ N,go\n IF 0\n NOP\n ENDIF\n TRAP 5\n DB 1\n", o);
    ASSERT_TRUE(r.ok) << r.errors.front();
    const char *expect =
        "      =R6                      1  N EQU R6\n"
        "F000                           2   ORG 0F000h\n"
        "F000  DA 06 FD       9/3       3  go: DJNZ N,go\n"
        "                               4   IF 0\n"
        "      (skipped)                5   NOP\n"
        "                               6   ENDIF\n"
        "F003  FA             14        7   TRAP 5\n"
        "F004  01                       8   DB 1\n"
        "\n"
        "Name  Kind      Value   Defined at            Used at\n"
        "go    label     $F000   t.asm:3               t.asm:3\n"
        "N     register  R6      t.asm:1               t.asm:3\n"
        "\n"
        "Output window $F000-$F00F (16 bytes): 5 bytes used, 11 free, fill $FF\n";
    EXPECT_EQ(r.listing, expect);
}

TEST(AsmKit, MapAndIntelHex)
{
    ovasm::Options o;
    o.want_map = true;
    const ovasm::Result r = assemble("V EQU 42\n ORG 6000h\nstart: NOP\n JMP start\ntab: DB 1,2\n ORG 7000h\n DW tab\n", o);
    ASSERT_TRUE(r.ok) << r.errors.front();
    const char *expect =
        "ovix-asm map of t.asm\n"
        "\n"
        "Output window $6000-$7001 (4098 bytes): 7 bytes used, 4091 free, fill $FF\n"
        "\n"
        "Segments (the bytes the program writes, by address)\n"
        "$6000-$6002      3 bytes  code  t.asm:3\n"
        "$6003-$6004      2 bytes  data  t.asm:5\n"
        "$7000-$7001      2 bytes  data  t.asm:7\n"
        "\n"
        "Labels by address\n"
        "$6000   start  t.asm:3\n"
        "$6003   tab    t.asm:5\n"
        "\n"
        "Constants, registers, ports and macros by value\n"
        "$002A   V      constant  t.asm:1\n";
    EXPECT_EQ(r.map, expect);

    Bytes image(17);
    for (int i = 0; i < 17; i++) image[i] = (uint8_t)i;
    EXPECT_EQ(ovasm::intel_hex_text({0x01, 0x02}, 0x6000), ":0260000001029B\n:00000001FF\n");
    EXPECT_EQ(ovasm::intel_hex_text(image, 0xC000),
              ":10C00000000102030405060708090A0B0C0D0E0FB8\n:01C01000101F\n:00000001FF\n");
}

// Cartridge images: each size at its base, code on both sides of it, and
// every reason the BIOS would not start one.
TEST(AsmKit, CartridgeImages)
{
    auto cartridge = [](const std::string &entry_code, const char *entry) {
        return entry_code + " ORG 7FF0h\n TEXT \"OVIXCART\"\n DW " + entry + "\n";
    };
    const struct {
        const char *size;
        std::string source;
        unsigned base, bytes;   // the image; bytes 0: refused
        const char *error;
    } cases[] = {
        {"8K", cartridge(" ORG 6000h\ngo: JMP go\n", "go"), 0x6000, 8192, ""},
        {"8K", cartridge(" ORG 5FFFh\ngo: NOP\n", "go"), 0, 0,
         "t.asm:2: code at $5FFF is outside the output window $6000-$7FFF"},
        {"16K", cartridge(" ORG 4000h\ngo: JMP go\n", "go"), 0x4000, 16384, ""},
        {"16K", cartridge(" ORG 3FFFh\ngo: NOP\n", "go"), 0, 0,
         "t.asm:2: code at $3FFF is outside the output window $4000-$7FFF"},
        {"31.5K", cartridge(" ORG 0200h\ngo: JMP go\n", "go"), 0x0200, 32256, ""},
        {"31.5K", cartridge(" ORG 01FFh\ngo: NOP\n", "go"), 0, 0,
         "t.asm:2: code at $01FF is outside the output window $0200-$7FFF"},
        {"32K", cartridge(" ORG 0200h\ngo: JMP go\n", "go"), 0x0000, 32768, ""},
        {"32K", cartridge(" ORG 01FFh\ngo: NOP\n", "go"), 0, 0,
         "t.asm:2: code at $01FF is in the first 512 bytes of a 32 KiB cartridge, which the machine does not load (it "
         "sees $0200-$7FFF)"},
        {"8K", " ORG 6000h\ngo: JMP go\n", 0, 0,
         "t.asm: cartridge: no signature: the BIOS starts a cartridge only with the bytes OVIXCART at $7FF0-$7FF7 and "
         "its entry address after them (ORG 7FF0h, TEXT \"OVIXCART\", DW entry)"},
        {"8K", " ORG 6000h\ngo: JMP go\n ORG 7FF0h\n TEXT \"OVIXCARX\"\n DW go\n", 0, 0,
         "t.asm:4: cartridge: the signature at $7FF0-$7FF7 reads 'OVIXCARX' instead of OVIXCART: the BIOS would not "
         "start the cartridge"},
        {"8K", " ORG 6000h\ngo: JMP go\n ORG 7FF0h\n TEXT \"OVIXCART\"\n", 0, 0,
         "t.asm:4: cartridge: no entry address at $7FF8-$7FF9 after the signature (DW entry): the BIOS would jump to "
         "$FFFF"},
        {"8K", cartridge(" ORG 6000h\ngo: JMP go\n", "8000h"), 0, 0,
         "t.asm:5: cartridge: the entry $8000 (the word at $7FF8) is outside $0200-$7FFF: the BIOS would not start the "
         "cartridge"},
        {"8K", cartridge(" ORG 6000h\ngo: JMP go\n", "5FFFh"), 0, 0,
         "t.asm:5: cartridge: the entry $5FFF (the word at $7FF8) is outside the 8K image ($6000-$7FFF): the machine "
         "would run into the $FF bytes there (TRAP 0)"},
        {"8K", cartridge(" ORG 6000h\ngo: JMP go\n", "go+2"), 0, 0,
         "t.asm:5: cartridge: the entry $6002 (the word at $7FF8) holds no code of the program: the machine would "
         "execute the fill byte $FF there"},
    };
    for (const auto &c : cases) {
        ovasm::Options o;
        o.cartridge = cart(c.size);
        ASSERT_NE(o.cartridge, nullptr);
        const ovasm::Result r = assemble(c.source, o);
        EXPECT_EQ(r.ok ? "" : r.errors.front(), c.error) << c.size << ": " << c.source;
        EXPECT_EQ(r.image.size(), c.bytes) << c.size;
        if (r.ok) {
            EXPECT_EQ(r.base, c.base) << c.size;
            EXPECT_EQ(r.image[0x7FF0 - c.base], 'O') << c.size;
            EXPECT_EQ(r.image[0x7FF8 - c.base] << 8 | r.image[0x7FF9 - c.base], c.base ? c.base : 0x200u)
                << c.size;
        }
    }
}
