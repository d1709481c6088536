// ovix-asm's two dialects: each notation in both (bytes or refusal), the
// errors of misuse with their messages, a program that uses every feature
// of the common syntax against bytes encoded by hand, and hostile sources.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "asm.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes REFUSED = {0xDE, 0xAD};   // stands for "an error" in the tables below

Bytes line_in(ovasm::Dialect d, const std::string &line)
{
    Bytes b;
    std::string err;
    return ovasm::assemble_line(line, 0xC300, b, err, d) ? b : REFUSED;
}

std::string first_error(const std::string &source, ovasm::Dialect d = ovasm::Dialect::Common)
{
    ovasm::Options o;
    o.dialect = d;
    ovasm::Result r = ovasm::assemble_text("t.asm", source, o);
    return r.ok ? "(no error)" : r.errors.front();
}

}  // namespace

// One line at $C300 in each dialect.
TEST(AsmDialects, NotationsInBothDialects)
{
    const struct {
        const char *line;
        Bytes common, dasm;
    } cases[] = {
        {"MOV #10,A", {0x22, 0x0A}, {0x22, 0x10}},         // the disassembler's own text: it is sure of it
        {"MOV %10,A", {0x22, 0x0A}, {0x22, 0x0A}},
        {"MOV #0FFh,A", {0x22, 0xFF}, REFUSED},
        {"MOV #0x1F,A", {0x22, 0x1F}, {0x22, 0x1F}},
        {"MOV #>1F,A", {0x22, 0x1F}, REFUSED},             // a high byte there, not written as it writes
        {"MOV #$1F,A", {0x22, 0x1F}, {0x22, 0x1F}},
        {"MOV #0101b,A", {0x22, 0x05}, REFUSED},
        {"MOV #17q,A", {0x22, 0x0F}, REFUSED},
        {"MOV #17o,A", {0x22, 0x0F}, REFUSED},
        {"MOV #'A',A", {0x22, 0x41}, {0x22, 0x41}},
        {"MOV #\"A\",A", {0x22, 0x41}, {0x22, 0x41}},
        {"MOV #1F,A", REFUSED, {0x22, 0x1F}},
        {"MOV #LOW(1234h),A", {0x22, 0x34}, REFUSED},
        {"JMP $", {0xE0, 0xFE}, {0xE0, 0x00}},
        {"JMP $+4", {0xE0, 0x02}, {0xE0, 0x04}},
        {"DJNZ B,$", {0xCA, 0xFE}, {0xCA, 0x00}},
        {"BTJO %1,A,$", {0x26, 0x01, 0xFD}, {0x26, 0x01, 0x00}},
        {"JMP 0C310h", {0xE0, 0x0E}, REFUSED},
        {"LDA @>1234", {0x8A, 0x12, 0x34}, REFUSED},
        {"LDA @#1234", REFUSED, {0x8A, 0x12, 0x34}},
        {"LDA 1234h", {0x8A, 0x12, 0x34}, REFUSED},
        {"LDA >C000(B)", {0xAA, 0xC0, 0x00}, REFUSED},
        {"LDA *R5", {0x9A, 0x05}, {0x9A, 0x05}},
        {"BR @>1234", {0x8C, 0x12, 0x34}, REFUSED},
        {"BR $1234", {0x8C, 0x12, 0x34}, {0x8C, 0x12, 0x34}},
        {"CALL >F9B8", {0x8E, 0xF9, 0xB8}, REFUSED},
        {"MOV 1234h,A", {0x8A, 0x12, 0x34}, REFUSED},      // MOV with memory: LDA and STA
        {"MOV A,0C000h(B)", {0xAB, 0xC0, 0x00}, REFUSED},
        {"MOV *R5,A", {0x9A, 0x05}, {0x9A, 0x05}},
        {"ADD A,B", {0x38, 0x00}, {0x38, 0x00}},           // A and B as R0 and R1
        {"AND B,R7", {0x43, 0x01, 0x07}, {0x43, 0x01, 0x07}},
        {"MOVD A,R5", {0x98, 0x00, 0x05}, {0x98, 0x00, 0x05}},
        {"BTJZ A,B,$+5", {0x37, 0x00, 0x02}, {0x37, 0x00, 0x05}},
        {"CMPA #10", {0x2D, 0x0A}, {0x2D, 0x10}},
        {"CMPA R9", {0x1D, 0x09}, {0x1D, 0x09}},
        {"CMPA @#1234", REFUSED, {0x8D, 0x12, 0x34}},
        {"TSTA", {0xB0}, {0xB0}},
        {"TSTB", {0xC1}, {0xC1}},
        {"JZ $+2", {0xE2, 0x00}, {0xE2, 0x02}},
        {"JNC $+2", {0xE7, 0x00}, {0xE7, 0x02}},
        {"JLT $+2", {0xE1, 0x00}, {0xE1, 0x02}},
        {"JGT $+2", {0xE4, 0x00}, {0xE4, 0x02}},
        {"JGE $+2", {0xE5, 0x00}, {0xE5, 0x02}},
        {"MOVP A,0106h", {0x82, 0x06}, REFUSED},           // a port by its address
        {"MOVP A,0100h", {0x82, 0x00}, REFUSED},           // the first peripheral address and the last
        {"MOVP A,01FFh", {0x82, 0xFF}, REFUSED},
        {"MOVP A,00FFh", REFUSED, REFUSED},
        {"MOVP A,0200h", REFUSED, REFUSED},
        {"JMP $+129", {0xE0, 0x7F}, REFUSED},              // +127 from the next instruction
        {"JMP $+130", REFUSED, REFUSED},                   // +128: out of reach, never E0 80
        {"JMP $-126", {0xE0, 0x80}, {0xE0, 0x82}},         // -128
        {"JMP $-127", REFUSED, {0xE0, 0x81}},              // -129 in the common syntax
        {"DB \"a\\\";b\"", {0x61, 0x22, 0x3B, 0x62}, {0x61, 0x22, 0x3B, 0x62}},   // an escaped quote, then ';'
        {"MOVP %>12,P6", {0xA2, 0x12, 0x06}, REFUSED},
        {"MOVP P(2*3),B", {0x91, 0x06}, {0x91, 0x06}},
        {"TRAP 5", {0xFA}, {0xFA}},
        {"DB 4294967295", REFUSED, REFUSED},               // checked at full width, never wrapped
        {"DB $FFFFFFFF", REFUSED, REFUSED},
        {"DW $FFFF8000", REFUSED, REFUSED},
        {"DW -32768, 0FFFFh", {0x80, 0x00, 0xFF, 0xFF}, REFUSED},
        {"DB 'OK',0", {0x4F, 0x4B, 0x00}, REFUSED},
        {"DB 3>2, 2<=1, 5<>5, 5=5, 6!=6, 1<<4|1, 6&3, 6^3, ~0&0F0h, 7%3, !0",
         {1, 0, 0, 1, 0, 0x11, 2, 5, 0xF0, 1, 1}, REFUSED},
        {"DB HIGH($1234), LOW($1234)", {0x12, 0x34}, {0x12, 0x34}},
        {"DB <$1234, >$1234", REFUSED, {0x34, 0x12}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(line_in(ovasm::Dialect::Common, c.line), c.common) << "common: " << c.line;
        EXPECT_EQ(line_in(ovasm::Dialect::Dasm, c.line), c.dasm) << "disassembler: " << c.line;
    }
}

// Small sources in the common syntax: their bytes, or the first error.
TEST(AsmDialects, SourcesAndTheirBytes)
{
    const std::string name63 = std::string(62, 'n') + "x", name64 = std::string(63, 'n') + "x";
    const struct {
        std::string source;
        Bytes bytes;
        std::string error;   // when refused
    } cases[] = {
        // ELSE and ELSEIF of an IF that is itself skipped assemble nothing.
        {" IF 0\n IF 0\n ELSE\n DB 2\n ENDIF\n ENDIF\n DB 1\n", {0x01}, ""},
        {" IF 0\n IF 0\n ELSEIF 1\n DB 2\n ENDIF\n ENDIF\n DB 1\n", {0x01}, ""},
        {" IF 1\n IF 0\n ELSE\n DB 2\n ENDIF\n ENDIF\n DB 1\n", {0x02, 0x01}, ""},
        {" IF 0\n ELSE\n DB 2\n ENDIF\n DB 1\n", {0x02, 0x01}, ""},
        // Octal with either suffix, in either case.
        {" DB 17o, 17q, 17O, 17Q, 377o\n", {0x0F, 0x0F, 0x0F, 0x0F, 0xFF}, ""},
        {" DB 18o\n", {}, "t.asm:1: bad number '18o'"},
        // A name of 63 characters, with a local label's scope too, and one longer.
        {name63 + ": JMP " + name63 + "\n", {0xE0, 0xFE}, ""},
        {name64 + ": NOP\n", {}, "t.asm:1: the name '" + name64.substr(0, 57) + "...' is 64 characters long; a name has at most 63"},
        {std::string(58, 's') + ":\n.loop: JMP .loop\n", {0xE0, 0xFE}, ""},
        {std::string(58, 's') + ":\n.loops: NOP\n", {},
         "t.asm:2: the name '" + std::string(57, 's') + "...' is 64 characters long with its scope; a name has at most 63"},
        {name64 + " EQU 1\n NOP\n", {}, "t.asm:1: the name '" + name64.substr(0, 57) + "...' is 64 characters long; a name has at most 63"},
    };
    for (const auto &c : cases) {
        const ovasm::Result r = ovasm::assemble_text("t.asm", c.source);
        EXPECT_EQ(r.ok ? "" : r.errors.front(), c.error) << c.source.substr(0, 80);
        EXPECT_EQ(r.image, c.bytes) << c.source.substr(0, 80);
    }
}

// Disassembly listings read back in the disassembler dialect: the memory
// explorer's and the debugger's line formats, undefined opcodes from their
// bytes, and the DASM line.
TEST(AsmDialects, DisassemblyListingsAssembleBack)
{
    const char *src =
        "DASM\n"
        "c000   8A 12 34          LDA @#1234\n"
        "c003   02                Illegal Opcode\n"
        "c004   E0 FE             JMP $-2\n"
        "C006 76800700    BTJO #80,R7,$+0\n"
        "loop:\n"
        "C00A E0FE        JMP loop\n";
    ovasm::Result r = ovasm::assemble_text("d.asm", src);
    ASSERT_TRUE(r.ok) << r.errors.front();
    EXPECT_EQ(r.base, 0xC000u);
    EXPECT_EQ(r.image, (Bytes{0x8A, 0x12, 0x34, 0x02, 0xE0, 0xFE, 0x76, 0x80, 0x07, 0x00, 0xE0, 0xFE}));
}

TEST(AsmDialects, ErrorMessages)
{
    using D = ovasm::Dialect;
    const std::string nested = " DB " + std::string(11000, '(') + "1" + std::string(11000, ')') + "\n";
    const struct {
        D dialect;
        std::string source;
        const char *error;
    } cases[] = {
        // Lines only the other dialect reads, and lines read differently.
        {D::Common, " LDA @#1234\n", "t.asm:1: unexpected '#' in expression; in the disassembler syntax (--dasm, or a "
                                     "DASM line at the top of the file) the line gives 8A 12 34"},
        {D::Common, " MOV #1F,A\n", "t.asm:1: bad number '1F' (hexadecimal is written 1Fh, 0x1F, >1F or $1F); in the "
                                    "disassembler syntax (--dasm, or a DASM line at the top of the file) the line "
                                    "gives 22 1F"},
        {D::Common, " MOV #10,A\n LDA @#1234\n",
         "t.asm:1: the line reads differently in the two dialects: the common syntax gives 22 0A, the disassembler "
         "syntax 22 10; this file also has lines that only the disassembler syntax reads (the first at t.asm:2): "
         "choose the dialect (--dasm or a DASM line) or write the line unambiguously"},
        {D::Common, "c000   8A 12 34          LDA @#1234\n",
         "t.asm:1: syntax error: '8A 12 34          LDA @#1234'; in the disassembler syntax (--dasm, or a DASM line at "
         "the top of the file) the line gives 8A 12 34"},
        {D::Dasm, " MOV %>12,A\n",
         "t.asm:1: the line reads differently in the two dialects: the disassembler syntax gives 22 00, the common "
         "syntax 22 12; it is not written as the disassembler writes, so the disassembler syntax cannot be sure of it: "
         "write it unambiguously"},
        {D::Dasm, "K EQU >12\n", "t.asm:1: the line reads differently in the two dialects: the disassembler syntax "
                                 "gives 0, the common syntax 18; it is not written as the disassembler writes, so the "
                                 "disassembler syntax cannot be sure of it: write it unambiguously"},
        {D::Dasm, "c000   8A 12 34          LDA @#1235\n",
         "t.asm:1: the line shows the bytes 8A 12 34 but its text gives 8A 12 35"},
        {D::Dasm, " Illegal Opcode\n", "t.asm:1: 'Illegal Opcode' is the disassembler's text for a byte that is no "
                                       "instruction; write that byte with DB"},
        {D::Common, " NOP\nDASM\n", "t.asm:2: DASM must come before the first instruction or data of its file"},
        // Operands that fit nowhere.
        {D::Common, " MOVP A,6\n", "t.asm:1: '6' is neither a port (P6, or a name defined as one) nor a peripheral "
                                   "address ($0100-$01FF)"},
        {D::Common, "X EQU R6\n DB X*2\n", "t.asm:2: a register cannot be used with '*' (only a number may be added to "
                                           "or taken from it)"},
        {D::Common, " LDA *5\n", "t.asm:1: indirect operand '*5' needs a register (*R5, or *NAME with NAME defined as a "
                                 "register), not a number"},
        {D::Common, "P6 EQU 0107h\n", "t.asm:1: 'P6' is port 6 (peripheral address 0106h) and keeps that meaning; it "
                                      "cannot be defined as another value"},
        {D::Common, " CPU Z80\n", "t.asm:1: CPU Z80: this assembler knows only the TMS7000 family (CPU TMS7000)"},
        // Symbols, macros, conditionals, repetitions.
        {D::Common, "K EQU 1\nK EQU 2\n", "t.asm:2: duplicate symbol 'K' (first defined at t.asm:1)"},
        {D::Common, "K EQU 1\nk SET 2\n", "t.asm:2: 'k' is set with SET and also defined otherwise (first at t.asm:1); "
                                          "only SET names can be set again"},
        {D::Common, " DB N\nN SET 1\n", "t.asm:1: 'N' is used before it is SET"},
        {D::Common, "M MACRO a,b\n DB a,b\n ENDM\n M 1\n", "t.asm:4: macro 'M' takes 2 arguments, 1 given"},
        {D::Common, "M MACRO\n M\n ENDM\n M\n", "t.asm:2: macro 'M' nested more than 64 deep: does it call itself "
                                                "without end? (in macro M called at t.asm:2)"},
        {D::Common, "M MACRO\n NOP\n", "t.asm:1: MACRO without ENDM"},
        {D::Common, " ENDM\n", "t.asm:1: ENDM without MACRO"},
        {D::Common, "NOP MACRO\n ENDM\n", "t.asm:1: 'NOP' cannot be a macro name: it is a mnemonic"},
        {D::Common, " IF 1\n NOP\n", "t.asm:1: IF without ENDIF"},
        {D::Common, " ELSE\n", "t.asm:1: ELSE without IF"},
        {D::Common, " IF 1\n ELSE\n ELSE\n ENDIF\n", "t.asm:3: second ELSE for one IF"},
        {D::Common, " IF LATER\n ENDIF\nLATER EQU 1\n NOP\n", "(no error)"},
        {D::Common, " IF NEVER\n ENDIF\n", "t.asm:1: undefined symbol 'NEVER'"},
        {D::Common, " IFDEF 3\n ENDIF\n", "t.asm:1: IFDEF needs a symbol name"},
        {D::Common, " REPT N\n NOP\n ENDR\nN EQU 2\n", "(no error)"},
        {D::Common, " REPT 70000\n ENDR\n", "t.asm:1: REPT count 70000 out of range 0..65536"},
        {D::Common, " REPT 2\n NOP\n", "t.asm:1: REPT without ENDR"},
        {D::Common, " REPT 65536\n REPT 65536\n NOP\n ENDR\n ENDR\n",   // the bound that stopped it comes first
         "t.asm:3: more than 1000000 lines to assemble: a REPT or macro without end?"},
        // Values at full width, strings, nesting.
        {D::Common, " DB 4294967295\n", "t.asm:1: value 4294967295 out of range -128..255"},
        {D::Common, " DW $FFFF8000\n", "t.asm:1: value 4294934528 out of range -32768..65535"},
        {D::Common, " DW 1<<63\n", "t.asm:1: value out of range: the result of '<<' does not fit in 64 bits"},
        {D::Common, " DB 99999999999999999999\n", "t.asm:1: number '99999999999999999999' too large"},
        {D::Common, " DB \"\n", "t.asm:1: unterminated string: a closing \" is missing"},
        {D::Common, nested, "t.asm:1: expression nested too deeply (more than 64 levels of parentheses)"},
        {D::Common, " DB " + std::string(180000, '-') + "7\n", "(no error)"},
        {D::Common, " INCLUDE\n", "t.asm:1: INCLUDE needs a file name"},
    };
    for (const auto &c : cases) EXPECT_EQ(first_error(c.source, c.dialect), c.error) << c.source.substr(0, 80);
}

// Every feature of the common syntax in one program, the bytes encoded by
// hand from the instruction tables.
TEST(AsmDialects, CommonSyntaxProgram)
{
    const std::string dir = make_temp_dir("common");
    ASSERT_TRUE(write_text(dir + "/inc.asm", "* included without quotes\nVALUE   EQU     42\n"));
    const char *src =
        "* a comment line\n"
        "        CPU     TMS7000\n"
        "        PAGE\n"
        "COUNT   EQU     R6\n"
        "PORTB   EQU     P6\n"
        "P6      EQU     0106h\n"
        "        INCLUDE inc.asm\n"
        "STORE   MACRO   reg,addr\n"
        "        MOV     reg,A\n"
        "        STA     addr\n"
        "        ENDM\n"
        "N       SET     1\n"
        "N       SET     N+1\n"
        "        ORG     0F000h\n"
        "START   MOV     %VALUE,COUNT\n"           // F000 72 2A 06   MOV #n,Rn
        "loop:   DJNZ    COUNT,loop\n"             // F003 DA 06 FD
        "        MOV     COUNT-1,A\n"              // F006 12 05      MOV Rn,A
        "        LDA     *COUNT\n"                 // F008 9A 06
        "        MOVP    A,PORTB\n"                // F00A 82 06
        "        MOVP    %>12,P6\n"                // F00C A2 12 06
        "        MOVP    A,0106h\n"                // F00F 82 06
        "        JMP     $\n"                      // F011 E0 FE
        "        JZ      $+2\n"                    // F013 E2 00      JEQ
        "        JNC     DEC0\n"                   // F015 E7 02      JL
        "        JLT     FACE\n"                   // F017 E1 02      JN
        "DEC0    JGT     FACE\n"                   // F019 E4 00      JP
        "FACE:   JGE     DEC0\n"                   // F01B E5 FC      JPZ
        "        LDA     TABLE\n"                  // F01D 8A F0 44
        "        STA     TABLE(B)\n"               // F020 AB F0 44
        "        MOV     TABLE,A\n"                // F023 8A F0 44   LDA
        "        MOV     A,TABLE(B)\n"             // F026 AB F0 44   STA (B)
        "        LDA     @TABLE\n"                 // F029 8A F0 44
        "        CALL    @TABLE(B)\n"              // F02C AE F0 44
        "        ADD     A,B\n"                    // F02F 38 00      ADD Rn,B
        "        MOV     A,A\n"                    // F031 D0 00      MOV A,Rn
        "        CMPA    #10\n"                    // F033 2D 0A      CMP #n,A
        "        TSTA\n"                           // F035 B0
        "        TSTB\n"                           // F036 C1
        "        STORE   R5,TABLE\n"               // F037 12 05, 8B F0 44
        "        IF N == 2\n"
        "        DB 1\n"                           // F03C 01
        "        ELSE\n"
        "        DB 2\n"
        "        ENDIF\n"
        "        IFDEF   VALUE\n"
        "        DB      3\n"                      // F03D 03
        "        ENDIF\n"
        "        IFNDEF  NOTHING\n"
        "        DB      4\n"                      // F03E 04
        "        ENDIF\n"
        "        REPT    3\n"
        "        NOP\n"                            // F03F 00 00 00
        "        ENDR\n"
        "        DUP     2\n"
        "        INC A\n"                          // F042 B3 B3
        "        ENDR\n"
        "TABLE   DB      0FFh, 0x1F, >1F, 0101b, 17q, 'A', \"A\", 10\n"
        "        DB      1<<4|1, ~0&0F0h, 7%3, 3>2, 2<=1\n"
        "        END\n"
        "        this line is never read\n";
    ASSERT_TRUE(write_text(dir + "/prog.asm", src));
    ovasm::Result r = ovasm::assemble_file(dir + "/prog.asm");
    ASSERT_TRUE(r.ok) << r.errors.front();
    const Bytes expect = {
        0x72, 0x2A, 0x06, 0xDA, 0x06, 0xFD, 0x12, 0x05, 0x9A, 0x06, 0x82, 0x06, 0xA2, 0x12, 0x06, 0x82, 0x06,
        0xE0, 0xFE, 0xE2, 0x00, 0xE7, 0x02, 0xE1, 0x02, 0xE4, 0x00, 0xE5, 0xFC,
        0x8A, 0xF0, 0x44, 0xAB, 0xF0, 0x44, 0x8A, 0xF0, 0x44, 0xAB, 0xF0, 0x44, 0x8A, 0xF0, 0x44, 0xAE, 0xF0, 0x44,
        0x38, 0x00, 0xD0, 0x00, 0x2D, 0x0A, 0xB0, 0xC1, 0x12, 0x05, 0x8B, 0xF0, 0x44,
        0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0xB3, 0xB3,
        0xFF, 0x1F, 0x1F, 0x05, 0x0F, 0x41, 0x41, 0x0A, 0x11, 0xF0, 0x01, 0x01, 0x00,
    };
    EXPECT_EQ(r.base, 0xF000u);
    EXPECT_EQ(r.image, expect);
    EXPECT_EQ(ovasm::symbol_file_text(r), "; ovix-asm symbols 2\nF000 START\nF003 loop\nF019 DEC0\nF01B FACE\nF044 TABLE\n"
                                          ";= register COUNT R6\n;= port PORTB P6\n;= constant VALUE 42\n;= constant N 2\n");
}

// Files that are not sources, and limits that keep a hostile source from
// running for ever or exhausting the stack.
TEST(AsmDialects, HostileFiles)
{
    const std::string dir = make_temp_dir("hostile");
    for (int i = 0; i < 40; i++)
        ASSERT_TRUE(write_text(dir + "/f" + std::to_string(i) + ".asm", " INCLUDE f" + std::to_string(i + 1) + ".asm\n"));
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_TRUE(write_text(dir + "/big.bin", ""));
    std::filesystem::resize_file(dir + "/big.bin", 1ll << 30);   // sparse: nothing is written
    std::filesystem::create_directory(dir + "/sub");
    const struct {
        const char *source;
        const char *error;
    } cases[] = {
        {" INCLUDE f0.asm\n", "f30.asm:1: INCLUDE nested more than 32 files deep"},
        {" INCBIN fifo\n", "t.asm:1: cannot open binary file 'DIR/fifo': a FIFO, not a file"},
        {" INCBIN sub\n", "t.asm:1: cannot open binary file 'DIR/sub': a directory, not a file"},
        {" INCLUDE /dev/zero\n", "t.asm:1: cannot open include file '/dev/zero': a character device, not a file"},
        {" INCBIN big.bin\n", "t.asm:1: INCBIN 'DIR/big.bin': 1073741824 bytes, more than the 64 KiB address space"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(write_text(dir + "/t.asm", c.source));
        ovasm::Result r = ovasm::assemble_file(dir + "/t.asm");
        ASSERT_FALSE(r.ok) << c.source;
        std::string expect = c.error;
        for (size_t at; (at = expect.find("DIR")) != std::string::npos;) expect.replace(at, 3, dir);
        EXPECT_EQ(r.errors.front(), dir + "/" + expect) << c.source;
    }
}

// The assembler reference's example program assembles as it stands.
TEST(AsmDialects, ReferenceExampleAssembles)
{
    const std::string reference = read_text(OVIX_SOURCE_DIR "/docs/assembler.md");
    const std::string marker = "## Example\n\n```\n";
    const size_t at = reference.find(marker);
    ASSERT_NE(at, std::string::npos);
    const size_t from = at + marker.size(), to = reference.find("```", from);
    ovasm::Result r = ovasm::assemble_text("example.asm", reference.substr(from, to - from));
    ASSERT_TRUE(r.ok) << r.errors.front();
    EXPECT_EQ(r.base, 0xF800u);
    EXPECT_EQ(r.image.size(), 0x800u);
}
