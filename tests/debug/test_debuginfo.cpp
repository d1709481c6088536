// Debug information: the reader against what the assembler writes, the
// engine's stop at bytes no source line produced, and steps by source line
// over a macro call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "asm.h"
#include "console.h"
#include "debug/debuginfo.h"
#include "debug/engine.h"
#include "debug/symbols.h"
#include "main/loop.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

// A program with a macro, a REPT and a subroutine, run as the BIOS; it
// falls into the fill when R20 reaches 3.
const char kProgram[] = R"(
TWICE   MACRO reg
        INC reg
        INC reg
        ENDM
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
main:   TWICE R2
        CALL routine
        REPT 2
        INC R3
        ENDR
        INC R20
        CMP #3,R20
        JNE main
        BR off
routine: INC R4
        RETS
        ORG 0F840h
off:    DB 0
        ORG 0FFFEh
        DW reset
)";

struct DebugInfo : ::testing::Test {
    ovasm::Result asm_result;
    console_session cs;

    void SetUp() override
    {
        ASSERT_TRUE(start_headless_video());
        ovasm::Options o;
        o.has_base = o.has_size = true;
        o.base = 0xF800;
        o.size = 2048;
        o.want_debug_info = true;
        asm_result = ovasm::assemble_text("prog.asm", kProgram, o);
        ASSERT_TRUE(asm_result.ok) << asm_result.errors[0];
        memcpy(rom_7020, asm_result.image.data(), sizeof rom_7020);
        const std::string syms = ovasm::symbol_file_text(asm_result);
        ASSERT_EQ(symbols_parse("prog.sym", syms.data(), syms.size()), nullptr);
        debuginfo_clear();
        ASSERT_EQ(debuginfo_parse("prog.dbg", asm_result.debug_info.data(), asm_result.debug_info.size()), nullptr);
        dbg_reset();
        dbg_source_check(true);
        ovix_power_on();
    }
    void TearDown() override
    {
        debuginfo_clear();
        dbg_reset();
    }
    unsigned label(const char *name)
    {
        for (const ovasm::Label &l : asm_result.labels)
            if (l.name == name) return l.address;
        return 0;
    }
    std::string cmd(const std::string &line)
    {
        std::string reply;
        console_execute(&cs, line, &reply);
        return reply;
    }
};

TEST_F(DebugInfo, LinesPlacesAndAddresses)
{
    // Source lines of the program (1 is its first, empty, line).
    const int macro_body = 3, twice_call = 9, rept_body = 12, inc_r20 = 14, sub_line = 18;
    const struct {
        unsigned address;
        int line;   // outside macros
    } places[] = {
        {label("main"), twice_call},      {label("main") + 3, twice_call},   // both INCs of the expansion
        {label("main") + 4, twice_call + 1}, {label("routine"), sub_line},     {label("routine") + 1, sub_line},
        {label("routine") + 2, sub_line + 1},
    };
    for (const auto &p : places) {
        const dbg_source_place place = debuginfo_place((uint16)p.address);
        EXPECT_EQ(place.line, p.line) << std::hex << p.address;
        EXPECT_EQ(debuginfo_place_text(place), "prog.asm:" + std::to_string(p.line));
    }
    const dbg_source_line *in_macro = debuginfo_line_at((uint16)label("main"));
    ASSERT_NE(in_macro, nullptr);
    EXPECT_EQ(in_macro->line, macro_body);
    ASSERT_EQ(in_macro->expansion.size(), 1u);
    EXPECT_EQ(in_macro->expansion[0].macro, "TWICE");
    // A macro call is one run; a REPT body line has one run per repetition
    // (adjacent here: one); a macro's own line has one per expansion.
    EXPECT_EQ(debuginfo_addresses("prog.asm", twice_call), std::vector<uint16>{(uint16)label("main")});
    EXPECT_EQ(debuginfo_addresses("prog.asm", rept_body).size(), 1u);
    EXPECT_EQ(debuginfo_addresses("prog.asm", macro_body), std::vector<uint16>{(uint16)label("main")});
    EXPECT_EQ(debuginfo_addresses("prog.asm", inc_r20).size(), 1u);
    EXPECT_TRUE(debuginfo_addresses("prog.asm", 1).empty());
    EXPECT_TRUE(debuginfo_addresses("other.asm", inc_r20).empty());
    // Fill: inside the image and unwritten; the data byte was written.
    EXPECT_TRUE(debuginfo_unwritten((uint16)(label("off") + 1)));
    EXPECT_FALSE(debuginfo_unwritten((uint16)label("off")));
    EXPECT_FALSE(debuginfo_unwritten(0xC000));   // outside the image
    EXPECT_TRUE(debuginfo_line_starts((uint16)label("routine")));
    EXPECT_FALSE(debuginfo_line_starts((uint16)(label("routine") + 1)));
}

TEST_F(DebugInfo, RunningIntoTheFillStops)
{
    const dbg_stop stop = dbg_run(LOOP_NO_TARGET, 100000, nullptr);
    ASSERT_EQ(stop.kind, DBG_STOP_NOSOURCE) << dbg_stop_text(stop);
    EXPECT_EQ(stop.pc, label("off") + 1);   // after the data byte DB 0 (NOP)
    char text[96];
    snprintf(text, sizeof text, "executing a byte no source line produced at %04X (after label off)", label("off") + 1);
    EXPECT_EQ(dbg_stop_text(stop), text);
    EXPECT_STREQ(dbg_stop_name(stop.kind), "nosource");
}

TEST_F(DebugInfo, StepsBySourceLine)
{
    cmd("until main");
    // Over the macro call (two instructions) as one line, into the
    // subroutine and out, then over the REPT's repetitions, one line too.
    const char *steps[][2] = {
        {"next-line", "Stepped to prog.asm:10"}, {"step-line", "Stepped to prog.asm:18"},
        {"step-line", "Stepped to prog.asm:19"}, {"step-line", "Stepped to prog.asm:12"},
        {"next-line", "Stepped to prog.asm:14"},
    };
    for (const auto &st : steps) EXPECT_NE(cmd(st[0]).find(st[1]), std::string::npos) << st[1] << ": " << cmd("info-line");
    // A breakpoint by line.
    EXPECT_EQ(cmd("break prog.asm:18").rfind("breakpoint ", 0), 0u);
    EXPECT_NE(cmd("continue 1000").find("reason=break"), std::string::npos);
    EXPECT_NE(cmd("info-line").find("line prog.asm:18 pc="), std::string::npos);
    EXPECT_EQ(cmd("break prog.asm:1").rfind("error: break: 'prog.asm:1': no code comes from that line", 0), 0u);
}

TEST(DebugInfoFiles, BadFilesAreRefusedWithTheReason)
{
    const struct {
        const char *text;
        const char *why;
    } bad[] = {
        {"", "not valid JSON"},
        {"{\"format\": \"x\"}", "not debug information of ovix-asm"},
        {"{\"format\": \"ovix-asm debug information\", \"version\": 2}", "version 2; this program reads version 1"},
        {"{\"format\": \"ovix-asm debug information\", \"version\": 1, \"files\": [\"a\"], \"image\": {\"base\": 65535, "
         "\"size\": 2}, \"lines\": []}",
         "\"image\" is missing or outside 0000-FFFF"},
        {"{\"format\": \"ovix-asm debug information\", \"version\": 1, \"files\": [\"a\"], \"image\": {\"base\": 0, "
         "\"size\": 16}, \"lines\": [{\"address\": 0, \"size\": 1, \"file\": 1, \"line\": 1}]}",
         "bad entry 1 of \"lines\""},
    };
    for (const auto &c : bad) {
        debuginfo_clear();
        const char *e = debuginfo_parse("x.dbg", c.text, strlen(c.text));
        ASSERT_NE(e, nullptr) << c.text;
        EXPECT_EQ(std::string(e), std::string("x.dbg: ") + c.why);
        EXPECT_EQ(debuginfo_count(), 0u);
    }
}

}  // namespace
