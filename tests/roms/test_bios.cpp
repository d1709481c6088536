// The open BIOS end to end, through the headless runner: start-up handshake,
// character set and logo in video memory, the banner, typed keys, the
// cursor blink, scrolling, and the cartridge signature.
#include <set>

#include "io/io_cpu.h"
#include "rom_run.h"

using namespace romtest;

namespace {

// The prompt is up after about 390000 loop passes; the screenshots of the
// start-up picture are all taken at this count.
constexpr const char *kBootArgs = "--instructions 1000000";

constexpr int kPromptRow = 15;     // where the BIOS leaves the cursor
constexpr uint8 kTextAttr = 0xE4;  // white on blue
constexpr uint8 kPromptAttr = 0x64;
constexpr uint8 kCursorAttr = 0x87;  // the text's colours swapped: blue on white

std::string spaces(int n) { return std::string(n, ' '); }

TEST(Bios, StartsUpWithCharacterSetLogoAndBanner)
{
    const RunResult r = run_machine("boot", std::string(kBootArgs) + " --screenshot boot.png");
    ASSERT_EQ(r.status, 0) << r.summary;
    EXPECT_NE(r.summary.find("stop=count"), std::string::npos) << r.summary;
    EXPECT_EQ(iocpu_state(r), "ready");
    // The last command was the logo, and its reply was read to the end.
    EXPECT_EQ(json_number(r.state, "command", json_at(r.state, "iocpu")), 0x0D);
    EXPECT_EQ(json_number(r.state, "index", json_at(r.state, "iocpu")), -1);

    const std::vector<uint8> vram = json_hex(r.state, "vram");
    ASSERT_EQ(vram.size(), 0x8000u);
    // Every row of every glyph where the renderer reads it: line r of code N
    // at base + (9 - r) * 128 + N.
    int bad_font = 0;
    for (int n = 0; n < 128; n++)
        for (int row = 0; row < 10; row++)
            if (vram[kFontSet + (9 - row) * 128 + n] != fontdata[n * 10 + row] && bad_font++ < 5)
                ADD_FAILURE() << "glyph " << n << " row " << row;
    EXPECT_EQ(bad_font, 0);
    // The logo, 62 rows of 16 bytes, as 16 x 7 tiles of 10 lines.
    int bad_logo = 0;
    for (int i = 0; i < 992; i++) {
        const int y = i / 16, x = i % 16;
        if (vram[kLogoSet + (9 - y % 10) * 128 + (y / 10) * 16 + x] != logodata[i] && bad_logo++ < 5)
            ADD_FAILURE() << "logo byte " << i;
    }
    EXPECT_EQ(bad_logo, 0);

    // Text page, pattern sets 0 and 1, text mode.
    const std::vector<long> r8 = vdp_regs8(r), r16 = vdp_regs16(r);
    ASSERT_EQ(r8.size(), 8u);
    ASSERT_EQ(r16.size(), 8u);
    EXPECT_EQ(r8[6] & 0xC0, 0x00);
    EXPECT_EQ(r16[10 - 8], kPage);
    EXPECT_EQ(r16[11 - 8], kFontSet);
    EXPECT_EQ(r16[12 - 8], kLogoSet);

    EXPECT_EQ(page_text(vram, 14, 0, 5), "READY");
    EXPECT_EQ(page_text(vram, kPromptRow, 0, 2), "> ");
    expect_golden("boot.png", "bios_boot");
}

TEST(Bios, EchoesTypedKeysAndStartsNewLinesOnEnter)
{
    const RunResult r = run_machine("typed", "--instructions 4650000 --type 'HELLO 42\\n' --screenshot typed.png");
    ASSERT_EQ(r.status, 0) << r.summary;
    EXPECT_EQ(iocpu_state(r), "ready");
    const std::vector<uint8> vram = json_hex(r.state, "vram");
    ASSERT_EQ(vram.size(), 0x8000u);
    // The text and nothing else: release codes leave no cell behind.
    EXPECT_EQ(page_text(vram, kPromptRow, 0, 40), "> HELLO 42" + spaces(30));
    EXPECT_EQ(page_text(vram, kPromptRow + 1, 0, 3).substr(0, 2), "> ");
    EXPECT_EQ(vram[kPage + (kPromptRow * 40 + 2) * 2], kTextAttr);
    EXPECT_EQ(vram[kPage + (kPromptRow * 40 + 0) * 2], kPromptAttr);
    EXPECT_EQ(vram[kPage + ((kPromptRow + 1) * 40 + 2) * 2], kCursorAttr);   // shown at this count
    expect_golden("typed.png", "bios_typed");
}

TEST(Bios, WrapsLongLinesAndScrollsWhenThePageIsFull)
{
    // Ten Enters take the prompt from row 15 past row 24 (one scroll); the
    // 45 characters then fill the last line from column 2 and wrap (a second
    // scroll).
    const std::string text = std::string(10, '\n') + "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ABCDEFGH";
    const RunResult r = run_machine("scroll", "--instructions 23100000 --type '" + text + "' --screenshot scroll.png");
    ASSERT_EQ(r.status, 0) << r.summary;
    EXPECT_EQ(iocpu_state(r), "ready");
    const std::vector<uint8> vram = json_hex(r.state, "vram");
    ASSERT_EQ(vram.size(), 0x8000u);
    EXPECT_EQ(page_text(vram, 12, 0, 5), "READY");                 // was row 14
    EXPECT_EQ(page_text(vram, 13, 0, 40), ">" + spaces(39));       // the first prompt
    EXPECT_EQ(page_text(vram, 22, 0, 3), ">  ");
    EXPECT_EQ(page_text(vram, 23, 0, 40), "> ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 A");
    EXPECT_EQ(page_text(vram, 24, 0, 40), "BCDEFGH" + spaces(33));
    EXPECT_EQ(vram[kPage + (24 * 40 + 7) * 2], kCursorAttr);   // shown at this count
    expect_golden("scroll.png", "bios_scroll");
}

TEST(Bios, BlinksTheCursorFromTimerInterrupts)
{
    // Sampled over about a second at the prompt, the cursor's cell shows its
    // colours both swapped (ink blue, paper white) and plain.
    std::set<int> seen;
    for (int i = 0; i < 8; i++) {
        const RunResult r =
            run_machine("blink", "--instructions " + std::to_string(1000000 + i * 40000));
        ASSERT_EQ(r.status, 0) << r.summary;
        const std::vector<uint8> vram = json_hex(r.state, "vram");
        ASSERT_EQ(vram.size(), 0x8000u);
        seen.insert(vram[kPage + (kPromptRow * 40 + 2) * 2]);
    }
    EXPECT_EQ(seen, (std::set<int>{kTextAttr, kCursorAttr}));
}

// A cartridge image of 8 KiB ($6000-$7FFF) holding `signature` at $7FF0,
// the entry address at $7FF8 and, at $6000, a program that stores $5A at
// $C700 and then loops on itself at $6005.
std::vector<uint8> cartridge(const char *signature, uint16 entry)
{
    std::vector<uint8> img(8192, 0xFF);
    const uint8 prog[] = {0x22, 0x5A, 0x8B, 0xC7, 0x00, 0xE0, 0xFE};   // MOV #5A,A; STA @#C700; JMP $-2
    std::copy(prog, prog + sizeof prog, img.begin());
    memcpy(&img[0x1FF0], signature, 8);
    img[0x1FF8] = entry >> 8;
    img[0x1FF9] = entry & 0xFF;
    return img;
}

TEST(Bios, StartsOnlyCartridgesWithTheSignatureAndAnEntryInTheCartridge)
{
    struct Case {
        const char *name;
        const char *signature;
        uint16 entry;
        bool started;
    };
    const Case cases[] = {
        {"signed", "OVIXCART", 0x6000, true},
        {"bad_signature", "OVIXCARX", 0x6000, false},
        {"entry_below_cartridge", "OVIXCART", 0x01FF, false},
        {"entry_above_cartridge", "OVIXCART", 0x8000, false},
    };
    const std::string dir = make_temp_dir("carts");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name + ".rom";
        ASSERT_TRUE(write_file(path, cartridge(c.signature, c.entry)));
        const std::string shot = std::string(c.name) + ".png";
        const RunResult r = run_machine(c.name, std::string(kBootArgs) + " --cart '" + path + "' --screenshot " + shot);
        ASSERT_EQ(r.status, 0) << r.summary;
        EXPECT_EQ(iocpu_state(r), "ready");
        const std::vector<uint8> ram = json_hex(r.state, "ram");
        ASSERT_EQ(ram.size(), 2048u);
        const long command = json_number(r.state, "command", json_at(r.state, "iocpu"));
        if (c.started) {
            // Started after the character set, before the logo.
            EXPECT_EQ(ram[0x700], 0x5A);
            EXPECT_EQ(json_number(r.state, "pc"), 0x6005);
            EXPECT_EQ(command, 0x0B);
            const std::vector<uint8> vram = json_hex(r.state, "vram");
            ASSERT_EQ(vram.size(), 0x8000u);
            EXPECT_EQ(vram[kFontSet + 9 * 128 + 0x67], fontdata[0x67 * 10]);   // 'g', top row
            EXPECT_EQ(vram[kFontSet + 0 * 128 + 0x67], fontdata[0x67 * 10 + 9]);
        } else {
            EXPECT_NE(ram[0x700], 0x5A);
            EXPECT_EQ(command, 0x0D);
            expect_golden(shot, "bios_boot");
        }
    }
}

}  // namespace
