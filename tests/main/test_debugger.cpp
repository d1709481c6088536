// The integrated debugger's box texts (disassembly, registers, video
// registers, log), the address field and the address report of P.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "video/tms3556.h"

namespace {

std::vector<std::string> lines_of(const char *text)
{
    std::vector<std::string> lines;
    std::string s(text);
    size_t start = 0, nl;
    while ((nl = s.find('\n', start)) != std::string::npos) {
        lines.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < s.size()) lines.push_back(s.substr(start));   // unterminated tail
    return lines;
}

// Places bytes in RAM at 0xC000 and points the program counter there.
void program_at_c000(const std::vector<uint8> &bytes)
{
    memset(ram_2k, 0, sizeof ram_2k);
    memcpy(ram_2k, bytes.data(), bytes.size());
    tms7000.pc.w.l = 0xC000;
}

std::string dasm_text(unsigned address)
{
    char text[256];
    Dasm7000(text, address);
    return text;
}

}  // namespace

TEST(DisassemblyBox, LineFormatByInstructionLength)
{
    // Address, six two-character byte columns, the disassembler's text.
    struct Case {
        std::vector<uint8> bytes;
        unsigned length;
        const char *columns;   // the twelve characters after "C000 "
        const char *target;    // after a relative branch's text
    };
    const Case cases[] = {
        {{0x00}, 1, "00          ", ""},
        {{0xE0, 0xFE}, 2, "E0FE        ", " (C000)"},
        {{0x8E, 0xC1, 0x23}, 3, "8EC123      ", ""},
        {{0x88, 0x12, 0x34, 0x05}, 4, "88123405    ", ""},
        {{0x26, 0x80, 0x05}, 3, "268005      ", " (C008)"},   // BTJO #80,A: from the next instruction
    };
    for (const Case &c : cases) {
        program_at_c000(c.bytes);
        disass_debugger();
        std::vector<std::string> lines = lines_of(disass_box);
        ASSERT_EQ(lines.size(), 20u);
        EXPECT_EQ(lines[0], std::string("C000 ") + c.columns + dasm_text(0xC000) + c.target) << "opcode " << (int)c.bytes[0];
        // The second line starts at the address after the instruction.
        char next[8];
        snprintf(next, sizeof next, "%04X ", 0xC000 + c.length);
        EXPECT_EQ(lines[1].substr(0, 5), next) << "opcode " << (int)c.bytes[0];
    }
}

TEST(DisassemblyBox, OneByteInstructionExactly)
{
    program_at_c000({0x00});
    disass_debugger();
    EXPECT_EQ(lines_of(disass_box)[0], "C000 00          NOP");
}

TEST(DisassemblyBox, WrapsAtTheTopOfTheAddressSpace)
{
    rom_7020[0x7FF] = 0x00;   // NOP at 0xFFFF
    tms7000.pc.w.l = 0xFFFF;
    disass_debugger();
    std::vector<std::string> lines = lines_of(disass_box);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 8), "FFFF 00 ");
    EXPECT_EQ(lines[1].substr(0, 5), "0000 ");
}

TEST(DisassemblyBox, LeavesNoTraceAndEmptiesTheLog)
{
    // Disassembling at the mailbox reads it, a read that is always traced
    // while tracing is on.
    tms7000.pc.w.l = 0x0130;
    clear_log_str();
    strcpy(log_box, "old text");
    disass_debugger();
    EXPECT_EQ(trace_log_size, 0);
    EXPECT_EQ(g_notrace, 0);
    EXPECT_STREQ(log_box, "");
}

TEST(DebuggerRefresh, LogShowsOnlyLinesSinceClear)
{
    program_at_c000({0x00});
    g_func_name = "test()";
    do_trace("before clear");
    clear_log_str();
    do_trace("after clear");
    debugger_refresh();
    std::string log(log_box);
    EXPECT_NE(log.find("test():after clear"), std::string::npos);
    EXPECT_EQ(log.find("before clear"), std::string::npos);
    EXPECT_EQ(log.back(), '\n');
}

TEST(RegisterBox, RegistersRegisterFileAndVideoListing)
{
    tms7000.pc.w.l = 0xC0DE;
    tms7000.sp = 0x05;
    tms7000.sr = 0x90;
    for (int n = 0; n < 128; n++) tms7000.rf[n] = (uint8)(n * 2 + 1);
    tms7000.idle_state = 1;
    regs_debugger();
    EXPECT_EQ(lines_of(registers_box)[3], "CPU=idle (IDLE)");
    tms7000.idle_state = 0;
    regs_debugger();

    std::vector<std::string> lines = lines_of(registers_box);
    ASSERT_GE(lines.size(), 4u + 128u);
    EXPECT_EQ(lines[0], "PC=c0de");
    EXPECT_EQ(lines[1], "SP=05");
    EXPECT_EQ(lines[2], "SR=CnzIxxxx");
    EXPECT_EQ(lines[3], "CPU=running");
    EXPECT_EQ(lines[4], "R000=$01");
    EXPECT_EQ(lines[4 + 10], "R010=$15");
    EXPECT_EQ(lines[4 + 127], "R127=$FF");

    // The video chip's listing follows the register file unchanged.
    static char listing[20 * 1024];
    listing[0] = 0;
    get_vdp_debug(listing);
    std::string box(registers_box);
    ASSERT_GT(strlen(listing), 0u);
    EXPECT_EQ(box.substr(box.size() - strlen(listing)), listing);
    EXPECT_LT(box.size(), (size_t)REGISTERS_BOX_SIZE);
}

TEST(RegisterBox, ChangedRegistersAreMarked)
{
    tms7000.pc.w.l = 0xC000;
    tms7000.sp = 0x05;
    for (int n = 0; n < 128; n++) tms7000.rf[n] = 0;
    regs_remember();
    tms7000.pc.w.l = 0xC002;
    tms7000.rf[0] = 1;
    tms7000.rf[127] = 0xFF;
    regs_debugger();
    const std::vector<std::string> lines = lines_of(registers_box);
    ASSERT_GE(lines.size(), 4u + 128u);
    EXPECT_EQ(lines[0], "PC=c002 *");
    EXPECT_EQ(lines[1], "SP=05");
    EXPECT_EQ(lines[4], "R000=$01 *");
    EXPECT_EQ(lines[5], "R001=$00");
    EXPECT_EQ(lines[4 + 127], "R127=$FF *");
    regs_remember();
    regs_debugger();
    EXPECT_EQ(lines_of(registers_box)[0], "PC=c002");
}

// Scrolling up finds the instruction before: the start from furthest back
// that decodes onto the address; where nothing does, one byte back.
TEST(DisassemblyBox, PreviousInstruction)
{
    struct Case {
        std::vector<uint8> bytes;   // at C000
        uint16 from, previous;
    };
    const Case cases[] = {
        {{0x00, 0x00}, 0xC001, 0xC000},                     // NOP NOP
        {{0x88, 0x12, 0x34, 0x05, 0x00}, 0xC004, 0xC000},   // after a 4-byte MOVD
        {{0x00, 0x8E, 0xC1, 0x23, 0x00}, 0xC004, 0xC001},   // after a 3-byte CALL
        {{0x00, 0xE0, 0xFE, 0x00}, 0xC003, 0xC001},         // after a 2-byte JMP
    };
    for (const Case &c : cases) {
        program_at_c000(c.bytes);
        EXPECT_EQ(disass_previous(c.from), c.previous) << std::hex << c.from;
    }
}

TEST(PeripheralBox, TitleThenVideoListing)
{
    tms3556_reg_w(0x012D, 0x5A);   // some register traffic: the listing must follow it
    periph_debugger();
    static char listing[20 * 1024];
    listing[0] = 0;
    get_vdp_debug(listing);
    EXPECT_EQ(std::string(periph_box), std::string("VDP\n") + listing);
}

TEST(AddressField, HexadecimalOnly)
{
    struct Case {
        const char *text;
        bool ok;
        uint32 value;
    };
    const Case cases[] = {
        {"1234", true, 0x1234},     {"f806", true, 0xF806},   {"F806", true, 0xF806},
        {" c000 ", true, 0xC000},   {"FFFFFF", true, 0xFFFFFF}, {"0", true, 0},
        {"", false, 0},             {"   ", false, 0},        {"12zz", false, 0},
        {"0x12", false, 0},         {"-1", false, 0},         {"12 34", false, 0},
        {"123456789", false, 0},
    };
    for (const Case &c : cases) {
        uint32 value = 0xDEADBEEF;
        EXPECT_EQ(parse_hex_field(c.text, &value), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(value, c.ok ? c.value : 0xDEADBEEF) << '"' << c.text << '"';
    }
}

TEST(AddressField, HexadecimalAddressOrLabel)
{
    const char *sym = "C010 loop\n1234 FACE\n";
    ASSERT_EQ(symbols_parse("t.sym", sym, strlen(sym)), nullptr);
    const struct {
        const char *text;
        bool ok;
        uint32 value;
        const char *label, *message;
    } cases[] = {
        {"loop", true, 0xC010, "loop", ""},
        {" LOOP: ", true, 0xC010, "LOOP", ""},
        {"c000", true, 0xC000, "", ""},
        {"$FACE", true, 0xFACE, "", ""},
        {"FACE:", true, 0x1234, "FACE", ""},
        // Both an address and a label: the address, and a note.
        {"FACE", true, 0xFACE, "", "FACE is read as an address; the label FACE (1234) is typed FACE:"},
        {"nowhere", false, 0, "", "unknown label 'nowhere'"},
        {"nowhere:", false, 0, "", "unknown label 'nowhere'"},
        {"12zz", false, 0, "", "'12zz' is neither a hexadecimal address nor a label"},
        {"$12zz", false, 0, "", "'$12zz' is not a hexadecimal address"},
        {"  ", false, 0, "", "The address field is empty: type a hexadecimal address or a label"},
    };
    for (const auto &c : cases) {
        const field_address f = read_field_address(c.text);
        EXPECT_EQ(f.ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(f.value, c.value) << c.text;
        }
        EXPECT_STREQ(f.label, c.label) << c.text;
        EXPECT_STREQ(f.message, c.message) << c.text;
    }
    symbols_clear();
    EXPECT_STREQ(read_field_address("loop").message, "unknown label 'loop' (no symbols are loaded)");
}

// Label lines and named targets in the disassembly box, and names in the
// stop line and the address report.
TEST(DisassemblyBox, LabelsAndNamedTargets)
{
    program_at_c000({0x00, 0xE0, 0xFD, 0x8E, 0xC0, 0x00});   // NOP; JMP $-3; CALL $C000; NOPs
    const char *sym = "C000 start\nC000 start.x\nC003 FACE\nC014 late\n";
    ASSERT_EQ(symbols_parse("t.sym", sym, strlen(sym)), nullptr);
    disass_debugger();
    const std::vector<std::string> lines = lines_of(disass_box);
    const std::vector<std::string> first = {"start: start.x:", "C000 00          NOP", "C001 E0FD        JMP start",
                                            "FACE:", "C003 8EC000      CALL start", "C006 00          NOP"};
    ASSERT_EQ(lines.size(), 19u);   // the label of C014 would leave its instruction no room
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), first);
    EXPECT_EQ(lines.back().substr(0, 5), "C013 ");
    EXPECT_EQ(label_line(0xC003, true), "; FACE:\n");   // as the assembler takes it

    char text[48];
    stop_reason_text(text, sizeof text, LOOP_STOP_PC, STOP_NONE, false, 0xC000);
    EXPECT_STREQ(text, "Stopped: C000 reached (start)");
    EXPECT_STREQ(address_info_text(0xC003).line[0], "Address C003 (FACE): RAM");
    symbols_clear();
}

TEST(AddressInfo, RegionByteAndCut)
{
    ram_2k[0x123] = 0x5A;
    rom_7020[0x006] = 0xC3;
    tms7000.rf[0x10] = 0x77;
    struct Case {
        uint32 value;
        const char *line0, *line1, *line2;
    };
    const Case cases[] = {
        {0xC123, "Address C123: RAM", "A CPU read gives 5A", ""},
        {0xF806, "Address F806: BIOS ROM", "A CPU read gives C3", ""},
        {0x0010, "Address 0010: register file", "A CPU read gives 77", ""},
        {0x1C123, "Address C123: RAM", "A CPU read gives 5A", "(1C123 cut to 16 bits)"},
    };
    for (const Case &c : cases) {
        address_info info = address_info_text(c.value);
        EXPECT_STREQ(info.line[0], c.line0);
        EXPECT_STREQ(info.line[1], c.line1);
        EXPECT_STREQ(info.line[2], c.line2);
    }
}

TEST(AddressInfo, MailboxIsNotConsumed)
{
    // Reporting on the mailbox must not read it the way the CPU does.
    clear_log_str();
    set_mailbox(0x42);
    address_info info = address_info_text(0x0130);
    EXPECT_STREQ(info.line[1], "A CPU read gives 42");
    EXPECT_EQ(mailbox_val, 0x42);
    EXPECT_EQ(trace_log_size, 0);
}

TEST(AppendText, CutsAtTheBufferEnd)
{
    char buf[8] = "abc";
    EXPECT_TRUE(append_text(buf, sizeof buf, "de"));
    EXPECT_STREQ(buf, "abcde");
    EXPECT_FALSE(append_text(buf, sizeof buf, "fghij"));
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_FALSE(append_text(buf, sizeof buf, "x"));
    EXPECT_STREQ(buf, "abcdefg");
}

TEST(AlertText, WrapsIntoThreeLines)
{
    const struct {
        const char *text;
        int width;
        const char *lines[3];
    } cases[] = {
        {"short", 10, {"short", "", ""}},
        {"one two three four", 9, {"one two", "three", "four"}},
        {"exactly10c next", 10, {"exactly10c", "next", ""}},
        {"averyveryverylongpath/name", 10, {"averyveryv", "erylongpat", "h/name"}},
        {"a b c d e f g h i j k l m n o p", 5, {"a b c", "d e f", "g ..."}},
        {"", 10, {"", "", ""}},
    };
    for (const auto &c : cases) {
        const alert_lines out = wrap_alert_text(c.text, c.width);
        for (int l = 0; l < 3; l++) EXPECT_STREQ(out.line[l], c.lines[l]) << c.text << " line " << l;
    }
}

TEST(StopReason, SaysWhatStoppedTheRun)
{
    const struct {
        loop_stop reason;
        stop_cause cause;
        bool ask_bkpt;
        const char *text;
    } cases[] = {
        {LOOP_STOP_PC, STOP_NONE, false, "Stopped: FC39 reached"},
        {LOOP_STOP_DEBUGGER, STOP_NONE, false, "Stopped: F1"},   // F1 held, seen by the loop
        {LOOP_STOP_DEBUGGER, STOP_F1, true, "Stopped: F1"},      // a tap, seen by the front end
        {LOOP_STOP_DEBUGGER, STOP_NONE, true, "Stopped: read of port 0125"},
        {LOOP_STOP_DEBUGGER, STOP_POPUP, true, "Stopped: Call Debugger"},
        {LOOP_STOP_DEBUGGER, STOP_STEP_KEY, true, "Stopped: step over's stop key"},
    };
    for (const auto &c : cases) {
        char text[48];
        stop_reason_text(text, sizeof text, c.reason, c.cause, c.ask_bkpt, 0xFC39);
        EXPECT_STREQ(text, c.text);
    }
}
