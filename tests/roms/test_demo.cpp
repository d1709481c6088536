// The demo cartridge end to end, through the headless runner and the open
// BIOS: the bitmap page first, the mixed page after a key press, and back.
#include "rom_run.h"

using namespace romtest;

namespace {

TEST(Demo, SwitchesBetweenBitmapAndMixedPageOnEachKeyPress)
{
    struct Case {
        const char *name;
        const char *typed;   // keys typed, or null
        long instructions;
        int mode;            // CM3 display mode bits
        const char *golden;
    };
    const Case cases[] = {
        {"demo_start", nullptr, 3000000, 0x80, "demo_bitmap"},
        {"demo_one_key", "X", 4000000, 0xC0, "demo_mixed"},
        {"demo_two_keys", "XY", 5000000, 0x80, "demo_bitmap"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string args = "--cart '" + kDemo + "' --instructions " + std::to_string(c.instructions) +
                           " --screenshot " + c.name + ".png";
        if (c.typed) args += std::string(" --type ") + c.typed;
        const RunResult r = run_machine(c.name, args);
        ASSERT_EQ(r.status, 0) << r.summary;
        EXPECT_EQ(iocpu_state(r), "ready");
        const std::vector<long> r8 = vdp_regs8(r), r16 = vdp_regs16(r);
        ASSERT_EQ(r8.size(), 8u);
        ASSERT_EQ(r16.size(), 8u);
        EXPECT_EQ(r8[6] & 0xC0, c.mode);
        EXPECT_EQ(r16[10 - 8], 0);   // BAPA
        // The I/O processor's last reply was read to the end.
        EXPECT_EQ(json_number(r.state, "index", json_at(r.state, "iocpu")), -1);
        expect_golden(std::string(c.name) + ".png", c.golden);
    }
}

}  // namespace
