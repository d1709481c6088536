// The programmer's guide's worked example end to end: built by CMake, run
// under the open BIOS in the headless runner with typed keys, and shown in
// the guide exactly as it is built.
#include "rom_run.h"

using namespace romtest;

namespace {

const std::string kExample = OVIX_BINARY_DIR "/roms/example/example.rom";

TEST(Example, PrintsDrawsAndReadsTheKeyboard)
{
    const RunResult r =
        run_machine("example", "--cart '" + kExample + "' --type A7 --instructions 4000000 --screenshot example.png");
    ASSERT_EQ(r.status, 0) << r.summary;
    EXPECT_EQ(iocpu_state(r), "ready");
    const std::vector<uint8> vram = json_hex(r.state, "vram");
    ASSERT_EQ(vram.size(), 0x8000u);
    auto cell = [&](int row, int col) { return std::make_pair(vram[(row * 40 + col) * 2], vram[(row * 40 + col) * 2 + 1]); };
    using Cell = std::pair<uint8, uint8>;

    // Text: the title, and the last key's character and code.
    EXPECT_EQ(page_text(vram, 1, 8, 23), "OVIX-ASM WORKED EXAMPLE");
    EXPECT_EQ(page_text(vram, 8, 5, 19), "KEY: 7     CODE: 37");
    EXPECT_EQ(cell(8, 10), Cell(0xE0, '7'));
    // Drawing: the frame and one ball per key, in the key's colour (41h AND
    // 7 = red, 37h AND 7 = white), from pattern set 1.
    EXPECT_EQ(cell(3, 2), Cell(0xD0, 1));
    EXPECT_EQ(cell(13, 37), Cell(0xD0, 1));
    EXPECT_EQ(cell(4, 37), Cell(0x50, 1));
    EXPECT_EQ(cell(10, 5), Cell(0x30, 2));
    EXPECT_EQ(cell(10, 6), Cell(0xF0, 2));
    EXPECT_EQ(cell(10, 7), Cell(0xE0, ' '));
    // The characters in pattern set 1 (line r of n at 7000h + (9 - r) * 128
    // + n), which BAGC1 points at.
    EXPECT_EQ(vdp_regs16(r).at(12 - 8), 0x7000);
    EXPECT_EQ(vram[0x7000 + 9 * 128 + 2], 0x00);   // the ball's top line
    EXPECT_EQ(vram[0x7000 + 8 * 128 + 2], 0x3C);
    EXPECT_EQ(vram[0x7000 + 4 * 128 + 1], 0xFF);   // a line of the block
}

TEST(Example, TheGuideShowsTheSourceAsBuilt)
{
    const std::string source = read_text(OVIX_SOURCE_DIR "/roms/example/example.asm");
    const std::string guide = read_text(OVIX_SOURCE_DIR "/docs/programming.md");
    ASSERT_FALSE(source.empty());
    EXPECT_NE(guide.find("```\n" + source + "```\n"), std::string::npos);
}

}  // namespace
