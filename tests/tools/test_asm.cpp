// ovix-asm: round trips with the disassembler over every opcode, the number
// and expression rules, whole programs, error messages with their lines,
// and the command-line program's outputs.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "asm.h"
#include "cpu/7000dasm.h"
#include "debug/debugger_text.h"
#include "debug/mem_explorer.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr unsigned AT = 0xC300;   // RAM: the disassembler reads the bytes from there

std::string dasm(const Bytes &b, unsigned addr, unsigned *len)
{
    memset(ram_2k, 0, sizeof ram_2k);
    for (size_t i = 0; i < b.size(); i++) ram_2k[addr - 0xC000 + i] = b[i];
    char text[256];
    *len = Dasm7000(text, addr);
    return text;
}

std::string hex(const Bytes &b)
{
    std::string s;
    char h[4];
    for (uint8_t x : b) {
        snprintf(h, sizeof h, "%02X ", x);
        s += h;
    }
    return s;
}

// The same instruction in the assembler's other notations: decimal
// immediates and addresses, computed register and port numbers, absolute
// targets for relative operands, "0x" for BR/CALL targets, lower case.
std::string other_notation(const std::string &text, unsigned addr, unsigned len)
{
    size_t sp = text.find(' ');
    if (sp == std::string::npos || text.compare(0, 5, "TRAP ") == 0) return text;
    std::string out = text.substr(0, sp + 1), ops = text.substr(sp + 1);
    size_t i = 0;
    auto hexrun = [&](size_t from) {
        size_t j = from;
        while (j < ops.size() && isxdigit((unsigned char)ops[j])) j++;
        return j;
    };
    while (i < ops.size()) {
        char c = ops[i];
        if (ops.compare(i, 2, "@#") == 0) {
            size_t j = hexrun(i + 2);
            out += "@" + std::to_string(std::stoul(ops.substr(i + 2, j - i - 2), nullptr, 16));
            i = j;
        } else if (c == '#') {
            size_t j = hexrun(i + 1);
            out += "%" + std::to_string(std::stoul(ops.substr(i + 1, j - i - 1), nullptr, 16));
            i = j;
        } else if (c == '$' && i + 1 < ops.size() && isxdigit((unsigned char)ops[i + 1])) {
            size_t j = hexrun(i + 1);
            out += "0x" + ops.substr(i + 1, j - i - 1);
            i = j;
        } else if (c == '$') {
            size_t j = i + 1;
            long off = 0;
            if (j < ops.size() && (ops[j] == '+' || ops[j] == '-')) {
                size_t k = j + 1;
                while (k < ops.size() && isdigit((unsigned char)ops[k])) k++;
                off = std::stol(ops.substr(j, k - j));
                j = k;
            }
            char t[16];
            snprintf(t, sizeof t, "0x%04lX", (unsigned long)(addr + len + off));
            out += t;
            i = j;
        } else if ((c == 'R' || c == 'P') && i + 1 < ops.size() && isdigit((unsigned char)ops[i + 1])) {
            size_t j = i + 1;
            while (j < ops.size() && isdigit((unsigned char)ops[j])) j++;
            out += std::string(1, c) + "(" + ops.substr(i + 1, j - i - 1) + (c == 'R' ? "*1)" : ")");
            i = j;
        } else {
            out += c;
            i++;
        }
    }
    for (char &ch : out) ch = (char)tolower((unsigned char)ch);
    return out;
}

void put(const std::string &path, const std::string &text) { write_file(path, Bytes(text.begin(), text.end())); }

Bytes assemble(const std::string &line, unsigned addr = AT)
{
    Bytes b;
    std::string err;
    EXPECT_TRUE(ovasm::assemble_line(line, addr, b, err)) << line << ": " << err;
    return b;
}

}  // namespace

// Every opcode of the disassembler's table, each with a spread of operand
// bytes: the printed line assembles back to the same bytes, and the same
// instruction written in the other notations disassembles to the same line.
TEST(AsmRoundTrip, EveryOpcodeWithManyOperandValues)
{
    ASSERT_TRUE(ovasm::table_problems().empty()) << ovasm::table_problems().front();
    std::vector<Bytes> operands = {{0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF}, {0x80, 0x7F, 0x01},
                                   {0x7F, 0x80, 0xFE}, {0x0A, 0x0B, 0x0C}, {0x01, 0x00, 0x80}};
    uint32_t seed = 12345;
    for (int i = 0; i < 6; i++) {
        Bytes b;
        for (int k = 0; k < 3; k++) {
            seed = seed * 1103515245u + 12345u;
            b.push_back((uint8_t)(seed >> 16));
        }
        operands.push_back(b);
    }

    int opcodes_done = 0, lines_done = 0;
    for (int op = 0; op < 256; op++) {
        unsigned len = 0;
        if (dasm({(uint8_t)op}, AT, &len) == "Illegal Opcode") continue;
        opcodes_done++;
        for (const Bytes &ob : operands) {
            Bytes bytes{(uint8_t)op};
            bytes.insert(bytes.end(), ob.begin(), ob.end());
            std::string text = dasm(bytes, AT, &len);
            bytes.resize(len);

            Bytes back = assemble(text);
            EXPECT_EQ(hex(back), hex(bytes)) << "'" << text << "'";

            std::string alt = other_notation(text, AT, len);
            Bytes alt_bytes = assemble(alt);
            unsigned alt_len = 0;
            EXPECT_EQ(dasm(alt_bytes, AT, &alt_len), text) << "'" << alt << "'";
            EXPECT_EQ(alt_len, len) << "'" << alt << "'";
            lines_done++;
        }
    }
    EXPECT_EQ(opcodes_done, 226);
    EXPECT_EQ(lines_done, 226 * 12);
}

// Whole disassemblies as the memory explorer dumps them and as the
// debugger lists them, every opcode among them (undefined ones included),
// read back in the disassembler dialect: the same bytes at the same
// addresses.
TEST(AsmRoundTrip, DisassemblyListingsAssembleBack)
{
    memset(ram_2k, 0, sizeof ram_2k);
    uint32_t seed = 777;
    for (int op = 0, at = 0; op < 256; op++) {
        ram_2k[at++] = (uint8_t)op;
        for (int k = 0; k < 3; k++) {
            seed = seed * 1103515245u + 12345u;
            ram_2k[at++] = (uint8_t)(seed >> 16);
        }
    }
    const unsigned end = 0xC000 + 4 * 256 - 1;
    std::string explorer, debugger = "DASM\n";   // the explorer's dump has its own DASM line
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    mem_explorer_write(f, 2, 0xC000, end);
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;) explorer += (char)c;
    fclose(f);
    unsigned last = 0xC000;
    for (unsigned a = 0xC000; a <= end;) {
        char line[320];
        last = a;
        a += disass_line(line, sizeof line, a);
        debugger += line;
    }
    for (const std::string &listing : {explorer, debugger}) {
        ovasm::Result r = ovasm::assemble_text("dump.asm", listing);
        ASSERT_TRUE(r.ok) << r.errors.front();
        EXPECT_EQ(r.base, 0xC000u);
        ASSERT_GE(r.image.size(), last - 0xC000 + 1);
        EXPECT_EQ(0, memcmp(r.image.data(), ram_2k, r.image.size()));
    }
}

// Numbers, expressions, aliases and data directives, line by line, in the
// disassembler dialect (assemble_line's default).
TEST(AsmSyntax, NumbersExpressionsAndDirectives)
{
    struct Case {
        const char *line;
        Bytes bytes;
    };
    const Case cases[] = {
        // After # numbers are hexadecimal; with % (and elsewhere) decimal.
        {"MOV #10,A", {0x22, 0x10}},
        {"MOV %10,A", {0x22, 0x0A}},
        {"MOV #A,B", {0x52, 0x0A}},
        {"mov #1f,a", {0x22, 0x1F}},
        {"MOV #0x10,A", {0x22, 0x10}},
        {"MOV %$10,A", {0x22, 0x10}},
        {"MOV %0b101,A", {0x22, 0x05}},
        {"MOV #0b1,A", {0x22, 0xB1}},          // 0b… is hexadecimal after #
        {"MOV %'A',A", {0x22, 0x41}},
        {"MOV #-1,A", {0x22, 0xFF}},
        {"MOV #A+6,R3", {0x72, 0x10, 0x03}},
        {"LDA @#C000", {0x8A, 0xC0, 0x00}},
        {"LDA @49152", {0x8A, 0xC0, 0x00}},
        {"LDA @#C0+10(B)", {0xAA, 0x00, 0xD0}},
        {"MOVD %1000(B),R7", {0xA8, 0x03, 0xE8, 0x07}},
        {"BR @#1234", {0x8C, 0x12, 0x34}},
        {"BR 0x1234", {0x8C, 0x12, 0x34}},
        {"CALL @4660", {0x8E, 0x12, 0x34}},
        {"MOV R(3+4),A", {0x12, 0x07}},
        {"MOVP A,P(2*3)", {0x82, 0x06}},
        {"LDA *R(5)", {0x9A, 0x05}},
        // Relative operands: the exact $ forms count from the next instruction,
        // anything else is the target.
        {"JMP $", {0xE0, 0x00}},
        {"JMP $-2", {0xE0, 0xFE}},
        {"JMP $+0x10", {0xE0, 0x0E}},
        {"JMP 0xC300", {0xE0, 0xFE}},
        {"DJNZ R9,$+0", {0xDA, 0x09, 0x00}},
        // Aliases and the second name of B0.
        {"JC $+5", {0xE3, 0x05}},
        {"JPZ $", {0xE5, 0x00}},
        {"JNE $-2", {0xE6, 0xFE}},
        {"TSTA", {0xB0}},
        {"CLRC", {0xB0}},
        {"TRAP 12", {0xF3}},
        {"TRAP 4*5+3", {0xE8}},
        // Expressions.
        {"DB 2+3*4, (2+3)*4, 1<<4|1, ~0&$F0, 7%3, 0x12^0x10, -7/2", {0x0E, 0x14, 0x11, 0xF0, 0x01, 0x02, 0xFD}},
        {"DB <$1234, >$1234, >$1280+$80, (>$1280)+$80", {0x34, 0x12, 0x13, 0x92}},
        {"DB $ - $C300 + 1", {0x01}},
        {"DW $1234, -1, $", {0x12, 0x34, 0xFF, 0xFF, 0xC3, 0x00}},
        {"TEXT \"A\\n\\x41\\\"\", 0", {0x41, 0x0A, 0x41, 0x22, 0x00}},
        {"BYTE ';', 1 ; comment", {0x3B, 0x01}},
        {"FILL 3,$EA", {0xEA, 0xEA, 0xEA}},
    };
    for (const Case &c : cases) EXPECT_EQ(hex(assemble(c.line)), hex(c.bytes)) << c.line;
}

// Errors: message and line, each case a small source in the disassembler
// dialect.
TEST(AsmErrors, MessagesWithTheirLine)
{
    struct Case {
        const char *source;
        const char *error;   // the first error, "t.asm:line: message"
    };
    const Case cases[] = {
        {" NOP\n MOOV A,B\n", "t.asm:2: unknown mnemonic 'MOOV'"},
        {" MOVP #1,R5\n", "t.asm:1: MOVP has no form '#1,R5' (forms: A,Pn  B,Pn  #n,Pn  Pn,A  Pn,B)"},
        {" SWAP R5\n", "t.asm:1: SWAP has no form 'R5' (forms: A  B)"},
        {" NOP A\n", "t.asm:1: NOP takes no operands"},
        {" MOV\n", "t.asm:1: MOV needs operands (forms: A,B  B,A  A,Rn  B,Rn  Rn,A  Rn,B  Rn,Rn  #n,A  #n,B  #n,Rn)"},
        {" NOP\n JMP nowhere\n", "t.asm:2: undefined symbol 'nowhere'"},
        {"x: NOP\n\nx: NOP\n", "t.asm:3: duplicate symbol 'x' (first defined at t.asm:1)"},
        {"k = 1\nk EQU 2\n", "t.asm:2: duplicate symbol 'k' (first defined at t.asm:1)"},
        {" MOV %300,A\n", "t.asm:1: value 300 out of range -128..255"},
        {" MOV R256,A\n", "t.asm:1: register number 256 out of range 0..255"},
        {" MOVP A,P(-1)\n", "t.asm:1: port number -1 out of range 0..255"},
        {" MOVD %70000,R3\n", "t.asm:1: value 70000 out of range -32768..65535"},
        {" DW 65536\n", "t.asm:1: value 65536 out of range -32768..65535"},
        {" TRAP 24\n", "t.asm:1: TRAP number 24 out of range 0..23"},
        {" ORG $1000\n JMP far\n ORG $1100\nfar: NOP\n",
         "t.asm:2: relative branch out of reach: target $1100 is +254 bytes from the next instruction (range -128..+127)"},
        {" ORG $1000\nback: NOP\n FILL 200,0\n BTJO #1,R3,back\n",
         "t.asm:4: relative branch out of reach: target $1000 is -205 bytes from the next instruction (range -128..+127)"},
        {" JMP $+128\n", "t.asm:1: relative offset 128 out of range -128..127; in the common syntax the line gives E0 7E"},
        {" ORG $100\n DB 1,2\n ORG $101\n DB 3\n", "t.asm:4: overlapping code at $0101 (already written by t.asm:2)"},
        {" ORG $FFFF\n DW 1\n", "t.asm:2: code beyond address $FFFF"},
        {"BEEF: NOP\n", "t.asm:1: 'BEEF' cannot be a symbol name: it is made only of hexadecimal digits"},
        {"R5 = 3\n", "t.asm:1: 'R5' is register 5 and keeps that meaning; it cannot be defined as another value"},
        {"R5: NOP\n", "t.asm:1: 'R5' cannot be a symbol name: it is a register or port"},
        {" DB FF\n", "t.asm:1: 'FF' is not a symbol name; a hexadecimal number is written $FF or 0xFF"},
        {" DB 1Fh\n", "t.asm:1: bad number '1Fh' (hexadecimal is written $1F or 0x1F); in the common syntax the line gives 1F"},
        {" DB 1/0\n", "t.asm:1: division by zero"},
        {" DB \"abc\n", "t.asm:1: unterminated string: a closing \" is missing"},
        {" FILL 3\n", "t.asm:1: usage: FILL count,value"},
        {" INCLUDE \"nope.asm\"\n", "t.asm:1: cannot open include file 'nope.asm': No such file or directory"},
        {"x = y\ny = x\n DB x\n", "t.asm:1: symbol 'y' has no value (defined in terms of itself?)"},
        {" MOV A,B extra\n", "t.asm:1: unexpected 'extra' in expression"},
        {" MOV B,X\n", "t.asm:1: undefined symbol 'X'"},
        {"X = 5\n MOV B,X\n", "t.asm:2: MOV: 'X' is a number, not a register: write R5, or define the name with EQU Rn; "
                              "in the common syntax the line gives D1 05"},
    };
    ovasm::Options dasm;
    dasm.dialect = ovasm::Dialect::Dasm;
    for (const Case &c : cases) {
        ovasm::Result r = ovasm::assemble_text("t.asm", c.source, dasm);
        EXPECT_FALSE(r.ok) << c.source;
        EXPECT_TRUE(r.image.empty());
        ASSERT_FALSE(r.errors.empty()) << c.source;
        EXPECT_EQ(r.errors.front(), c.error) << c.source;
    }
}

// Every error of the source is reported, in line order, and none is lost
// to the first.
TEST(AsmErrors, AllErrorsReported)
{
    ovasm::Result r = ovasm::assemble_text("t.asm", " NOP\n BAD1\n NOP\n JMP nowhere\n MOV %999,B\n");
    ASSERT_EQ(r.errors.size(), 3u);
    EXPECT_EQ(r.errors[0], "t.asm:2: unknown mnemonic 'BAD1'");
    EXPECT_EQ(r.errors[1], "t.asm:4: undefined symbol 'nowhere'");
    EXPECT_EQ(r.errors[2], "t.asm:5: value 999 out of range -128..255");
}

// A program with forward and backward references, local labels, a constant
// defined after its use and a FILL whose count is defined later.
TEST(AsmProgram, LabelsForwardAndBackward)
{
    const char *src =
        "        ORG $F800\n"
        "start:  MOV %COUNT,B      ; constant defined below\n"
        ".loop:  DJNZ B,.loop      ; backward, local\n"
        "        CALL sub          ; forward\n"
        "        JMP start         ; backward\n"
        "sub:    BTJZ #01,A,.out   ; forward, local of sub\n"
        "        LDA @#table(B)\n"
        ".out:   RETS\n"
        "        FILL PAD,$EA\n"
        "table:  DB end-table, >start, <start\n"
        "end:\n"
        "COUNT   EQU 3\n"
        "PAD     = 2\n";
    ovasm::Options dasm;
    dasm.dialect = ovasm::Dialect::Dasm;
    ovasm::Result r = ovasm::assemble_text("p.asm", src, dasm);
    ASSERT_TRUE(r.ok) << r.errors.front();
    const Bytes expect = {
        0x52, 0x03,               // F800 MOV %3,B
        0xCA, 0xFE,               // F802 DJNZ B,F802
        0x8E, 0xF8, 0x09,         // F804 CALL F809
        0xE0, 0xF7,               // F807 JMP F800: F800-F809 = -9
        0x27, 0x01, 0x03,         // F809 BTJZ #01,A,F80F: F80F-F80C = 3
        0xAA, 0xF8, 0x12,         // F80C LDA @#F812(B)
        0x0A,                     // F80F RETS
        0xEA, 0xEA,               // F810 FILL 2,$EA
        0x03, 0xF8, 0x00,         // F812 table
    };
    EXPECT_EQ(r.base, 0xF800u);
    EXPECT_EQ(hex(r.image), hex(expect));
    EXPECT_EQ(r.symbols.at("start.loop"), 0xF802);
    EXPECT_EQ(r.symbols.at("sub.out"), 0xF80F);
    EXPECT_GE(r.passes, 2);
}

// INCLUDE and INCBIN names are relative to the including file.
TEST(AsmProgram, IncludeRelativeToTheIncludingFile)
{
    std::string dir = make_temp_dir("include");
    std::filesystem::create_directories(dir + "/lib");
    put(dir + "/lib/consts.asm", "V = $42\n INCBIN \"d.bin\"\n");
    write_file(dir + "/lib/d.bin", Bytes{1, 2, 3});
    std::string main = dir + "/main.asm";
    put(main, " ORG $4000\n INCLUDE \"lib/consts.asm\"\n MOV %V,A\n");
    ovasm::Result r = ovasm::assemble_file(main);
    ASSERT_TRUE(r.ok) << r.errors.front();
    EXPECT_EQ(hex(r.image), hex({1, 2, 3, 0x22, 0x42}));

    // A file that includes itself is refused, not followed forever.
    std::string loop = dir + "/loop.asm";
    put(loop, " NOP\n INCLUDE \"loop.asm\"\n");
    r = ovasm::assemble_file(loop);
    ASSERT_FALSE(r.ok);
    EXPECT_NE(r.errors.front().find("loop.asm:2: include loop"), std::string::npos) << r.errors.front();
}

// The output window: base, size, fill, and code outside it.
TEST(AsmProgram, OutputWindowAndFill)
{
    ovasm::Options o;
    o.has_base = o.has_size = true;
    o.base = 0x4000;
    o.size = 8;
    o.fill = 0x00;
    ovasm::Result r = ovasm::assemble_text("w.asm", " ORG $4002\n DB 1,2\n ORG $4007\n DB 3\n", o);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(hex(r.image), hex({0, 0, 1, 2, 0, 0, 0, 3}));

    r = ovasm::assemble_text("w.asm", " ORG $4006\n DW 1,2\n NOP\n", o);
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(r.errors.front(), "w.asm:2: code at $4008 is outside the output window $4000-$4007");
    EXPECT_EQ(r.errors.size(), 2u);   // the DW line and the NOP line, once each

    // Without a window: from the lowest to the highest byte written; DS and
    // ALIGN move on without writing.
    r = ovasm::assemble_text("w.asm", " ORG $C000\nvar: DS 4\n ORG $100\n DB 1\n ALIGN 4\n DB 2\n DW var\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.base, 0x100u);
    EXPECT_EQ(hex(r.image), hex({1, 0xFF, 0xFF, 0xFF, 2, 0xC0, 0x00}));
}

TEST(AsmProgram, Listing)
{
    ovasm::Options o;
    o.want_listing = true;
    ovasm::Result r = ovasm::assemble_text("l.asm", "; hello\nK = $12\n ORG $F800\ngo: MOV #K,A\n DB 1,2,3,4,5\n", o);
    ASSERT_TRUE(r.ok);
    // Address, bytes, cycles, line number, text; then the names with their
    // uses and the output window's use.
    const char *expect =
        "                               1  ; hello\n"
        "      =$0012                   2  K = $12\n"
        "F800                           3   ORG $F800\n"
        "F800  22 12          7         4  go: MOV #K,A\n"
        "F802  01 02 03 04              5   DB 1,2,3,4,5\n"
        "F806  05\n"
        "\n"
        "Name  Kind      Value   Defined at            Used at\n"
        "go    label     $F800   l.asm:4\n"
        "K     constant  $0012   l.asm:2               l.asm:4\n"
        "\n"
        "Output window $F800-$F806 (7 bytes): 7 bytes used, 0 free, fill $FF\n";
    EXPECT_EQ(r.listing, expect);
}

// ---------------------------------------------------------------------------
// The program itself: files appear only after success.

namespace {

const std::string ASM = OVIX_BINARY_DIR "/tools/asm/ovix-asm";

// Each run keeps its standard error (and output) in files of their own,
// named after the test, so that test programs running side by side never
// share one.
int run(const std::string &args, std::string *err_text = nullptr, std::string *out_text = nullptr)
{
    static int runs = 0;
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string stem = std::filesystem::absolute(std::string(t ? t->name() : "run") + "." + std::to_string(runs++)).string();
    int st = std::system((ASM + " " + args + " >" + stem + ".stdout 2>" + stem + ".stderr").c_str());
    if (err_text) *err_text = read_text(stem + ".stderr");
    if (out_text) *out_text = read_text(stem + ".stdout");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(AsmProgramBinary, WritesImageAndListing)
{
    ASSERT_TRUE(std::filesystem::exists(ASM)) << ASM;
    std::string d = make_temp_dir("bin_ok");
    put(d + "/rom.asm", " ORG $4000\n MOV #1F,A\n ORG $4004\n DB $AA\n");   // disassembler dialect: --dasm
    std::string err;
    ASSERT_EQ(run("--dasm --base 4000 --size 8 --fill 00 -o " + d + "/rom.bin --list " + d + "/rom.lst " + d + "/rom.asm",
                  &err), 0) << err;
    EXPECT_EQ(hex(read_file(d + "/rom.bin")), hex({0x22, 0x1F, 0, 0, 0xAA, 0, 0, 0}));
    EXPECT_NE(read_text(d + "/rom.lst").find("4000  22 1F"), std::string::npos);

    // An output that is a symbolic link is written through, not replaced.
    std::filesystem::create_symlink(d + "/rom.bin", d + "/link.bin");
    ASSERT_EQ(run("--dasm --base 4000 -o " + d + "/link.bin " + d + "/rom.asm", &err), 0) << err;
    EXPECT_TRUE(std::filesystem::is_symlink(d + "/link.bin"));
    EXPECT_EQ(hex(read_file(d + "/rom.bin")), hex({0x22, 0x1F, 0xFF, 0xFF, 0xAA}));

    // Default fill FF, default output name; the labels in a symbol file.
    put(d + "/rom.asm", "DASM\n ORG $4000\nstart: MOV #1F,A\n ORG $4004\nend: DB $AA\nmid = $4002\n");
    ASSERT_EQ(run("--base '$4000' --size 0x6 --symbols " + d + "/rom.sym " + d + "/rom.asm", &err), 0) << err;
    EXPECT_EQ(hex(read_file(d + "/rom.bin")), hex({0x22, 0x1F, 0xFF, 0xFF, 0xAA, 0xFF}));
    EXPECT_EQ(read_text(d + "/rom.sym"), "; ovix-asm symbols 2\n4000 start\n4004 end\n;= constant mid 16386\n");

    // Help on standard output with status 0.
    std::string out;
    ASSERT_EQ(run("--help", &err, &out), 0) << err;
    EXPECT_NE(out.find("--symbols"), std::string::npos) << out;
}

TEST(AsmProgramBinary, NoOutputOnError)
{
    std::string d = make_temp_dir("bin_err");
    put(d + "/bad.asm", " ORG $4000\n NOP\n JMP nowhere\n");
    // A previous image must not survive as if it were the new one.
    put(d + "/bad.bin", "old");
    put(d + "/bad.lst", "old");
    put(d + "/bad.sym", "old");
    std::string err;
    EXPECT_EQ(run("-o " + d + "/bad.bin --list " + d + "/bad.lst --symbols " + d + "/bad.sym " + d + "/bad.asm", &err), 1);
    EXPECT_NE(err.find(d + "/bad.asm:3: undefined symbol 'nowhere'"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(d + "/bad.bin"));
    EXPECT_FALSE(std::filesystem::exists(d + "/bad.lst"));
    EXPECT_FALSE(std::filesystem::exists(d + "/bad.sym"));
    for (auto &e : std::filesystem::directory_iterator(d))
        EXPECT_EQ(e.path().filename().string().find("tmp"), std::string::npos) << e.path();

    // Code outside the window is an error of its line, not a cut image.
    put(d + "/big.asm", " ORG $F7FF\n NOP\n FILL 2048,0\n");
    EXPECT_EQ(run("--base F800 --size 2048 -o " + d + "/big.bin " + d + "/big.asm", &err), 1);
    EXPECT_NE(err.find("big.asm:2: code at $F7FF is outside the output window $F800-$FFFF"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(d + "/big.bin"));

    // Command-line mistakes: status 2.
    EXPECT_EQ(run("--base G000 " + d + "/bad.asm"), 2);
    EXPECT_EQ(run("--base F800 --size 4096 " + d + "/bad.asm"), 2);
    EXPECT_EQ(run("--frobnicate " + d + "/bad.asm"), 2);
    EXPECT_EQ(run(d + "/missing.asm"), 2);
    EXPECT_EQ(run(d, &err), 2);   // a directory
    EXPECT_NE(err.find("a directory, not a file"), std::string::npos) << err;
}
