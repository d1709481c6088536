// Source-level debugging over the engine: the files beside an image, a
// cartridge's debug information replaced by the next one's, labels that
// join the symbol table without replacing its other names, breakpoints on
// a line, and the window's source view.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "asm.h"
#include "cpu/tms7000.h"
#include "debug/engine.h"
#include "debug/source_debug.h"
#include "debug/symbols.h"
#include "test_support.h"

namespace {

// A cartridge at 6000 with a macro; line numbers as in the comments.
const char kSource[] =
    "BUMP    MACRO\n"           // 1
    "        INC R2\n"          // 2
    "        ENDM\n"            // 3
    "        ORG 6000h\n"       // 4
    "start:  NOP\n"             // 5
    "\tBUMP\n"                  // 6 (a tab before it)
    "loop:   JMP loop\n"        // 7
    "        ORG 7FF0h\n"       // 8
    "        TEXT \"OVIXCART\"\n"
    "        DW start\n";

struct SourceDebug : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        dir = make_temp_dir("source_debug_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ASSERT_TRUE(write_text(dir + "/game.asm", kSource));
        ovasm::Options o;
        o.want_debug_info = true;
        o.cartridge = &ovasm::cartridge_sizes()[0];
        const ovasm::Result r = ovasm::assemble_file(dir + "/game.asm", o);
        ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
        ASSERT_TRUE(write_text(dir + "/game.dbg", r.debug_info));
        symbols_clear();
        srcdbg_clear();
        dbg_reset();
    }
    void TearDown() override
    {
        srcdbg_clear();
        symbols_clear();
        dbg_reset();
    }
};

TEST_F(SourceDebug, TheFileBesideAnImage)
{
    ASSERT_TRUE(write_text(dir + "/game.rom", "x"));
    EXPECT_EQ(srcdbg_beside(dir + "/game.rom"), dir + "/game.dbg");   // the extension replaced
    ASSERT_TRUE(write_text(dir + "/game.rom.dbg", "{}"));
    EXPECT_EQ(srcdbg_beside(dir + "/game.rom"), dir + "/game.rom.dbg");   // the whole name first
    EXPECT_EQ(srcdbg_beside(dir + "/other.rom"), "");
    EXPECT_EQ(srcdbg_beside(dir + "/noext"), "");
}

// The next cartridge's debug information replaces the previous one's; a
// cartridge without any leaves none, and the unwritten stop goes with it.
TEST_F(SourceDebug, ACartridgeBringsItsOwnOrNone)
{
    std::string loaded, error;
    ASSERT_TRUE(srcdbg_load_beside(dir + "/game.rom", 0x0200, 0x7FFF, &loaded, &error)) << error;
    EXPECT_EQ(loaded, dir + "/game.dbg");
    EXPECT_TRUE(dbg_unwritten_set());
    uint16 address = 0;
    EXPECT_TRUE(symbols_address("loop", &address));
    EXPECT_EQ(address, 0x6003);

    ASSERT_TRUE(srcdbg_load_beside(dir + "/plain.rom", 0x0200, 0x7FFF, &loaded, &error));
    EXPECT_EQ(loaded, "");
    EXPECT_FALSE(srcmap_loaded());
    EXPECT_FALSE(dbg_unwritten_set());

    ASSERT_TRUE(write_text(dir + "/bad.dbg", "{"));
    EXPECT_FALSE(srcdbg_load_beside(dir + "/bad.rom", 0x0200, 0x7FFF, &loaded, &error));
    EXPECT_EQ(error.rfind(dir + "/bad.dbg: not JSON", 0), 0u) << error;
    EXPECT_FALSE(srcmap_loaded());
}

// The table's names keep their meaning: a register alias of the symbol
// file is not replaced by the labels.
TEST_F(SourceDebug, LabelsJoinTheSymbolTable)
{
    const std::string sym = "; ovix-asm symbols 2\n;= register COUNT R2\n6100 loop\n";
    ASSERT_EQ(symbols_add_text(symbol_group::cartridge, "game.sym", sym.data(), sym.size()), nullptr);
    std::string error;
    ASSERT_TRUE(srcdbg_load((dir + "/game.dbg").c_str(), &error)) << error;
    symbol_info info;
    ASSERT_TRUE(symbols_lookup("COUNT", &info));
    EXPECT_EQ(info.kind, symbol_kind::reg);
    ASSERT_TRUE(symbols_lookup("loop", &info));
    EXPECT_EQ(info.value, 0x6100);   // the table's own
    ASSERT_TRUE(symbols_lookup("start", &info));
    EXPECT_EQ(info.value, 0x6000);
}

TEST_F(SourceDebug, BreakpointsOnALine)
{
    std::string error;
    ASSERT_TRUE(srcdbg_load((dir + "/game.dbg").c_str(), &error)) << error;
    const struct {
        int line;
        int at_line;              // 0: refused
        uint16 address;
        const char *error;
    } cases[] = {
        {5, 5, 0x6000, ""},
        {4, 5, 0x6000, ""},       // no code on ORG: the next line
        {6, 6, 0x6001, ""},       // a macro call: its expansion
        {8, 0, 0, "no code at or after line 8 of "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        int at = 0;
        std::vector<uint16> addresses;
        const std::vector<int> ids =
            srcdbg_break_line(dir + "/game.asm", c.line, "", "", OWNER_SOURCE, &at, &addresses, &error);
        if (!c.at_line) {
            EXPECT_TRUE(ids.empty());
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
            continue;
        }
        ASSERT_EQ(ids.size(), 1u) << error;
        EXPECT_EQ(at, c.at_line);
        EXPECT_EQ(addresses, std::vector<uint16>{c.address});
        dbg_delete(ids[0], &error);
    }
    EXPECT_TRUE(srcdbg_break_line(dir + "/other.asm", 5, "", "", OWNER_SOURCE, nullptr, nullptr, &error).empty());
    EXPECT_EQ(error, dir + "/other.asm is not a source file of the debug information");
}

TEST_F(SourceDebug, TheSourceView)
{
    EXPECT_EQ(srcdbg_source_text(0x6000, 2, 10, 40).rfind("No debug information is loaded", 0), 0u);
    std::string error;
    ASSERT_TRUE(srcdbg_load((dir + "/game.dbg").c_str(), &error)) << error;
    ASSERT_TRUE(dbg_break_add("6003", nullptr, nullptr, false, &error)) << error;
    // The pc on line 7, two lines before, a breakpoint there, cut at 24.
    EXPECT_EQ(srcdbg_source_text(0x6003, 2, 5, 24),
              "game.asm:7\n"
              "      5  start:  NOP\n"
              "      6          BUMP\n"       // the tab expanded
              ">*    7  loop:   JMP loo\n"    // cut at 24 characters
              "      8          ORG 7FF\n");
    // Inside the macro's expansion: the statement is the call.
    EXPECT_EQ(srcdbg_source_text(0x6001, 0, 2, 40), "game.asm:6 (in BUMP: game.asm:2)\n>     6          BUMP\n");
    EXPECT_EQ(srcdbg_source_text(0x6010, 0, 2, 40), "No source line at 6010 (after label loop)\n");
    // A source that is gone says so.
    ASSERT_TRUE(std::filesystem::remove(dir + "/game.asm"));
    srcdbg_forget_sources();
    EXPECT_NE(srcdbg_source_text(0x6000, 0, 3, 4000).find("game.asm: No such file or directory"), std::string::npos);
}

}  // namespace
