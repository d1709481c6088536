// The open BIOS run in-process, so that things can happen at exact moments:
// keys the runner's --type cannot type (the arrows), key replies that
// collide with the BIOS's own commands during start-up, and a machine reset
// in the middle of start-up.
#include <cstdlib>

#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "rom_run.h"
#include "test_support.h"
#include "time/timer.h"
#include "video/tms3556.h"

using namespace romtest;

namespace {

constexpr int KEY_UP_CODE = 0x80, KEY_RIGHT_CODE = 0x81, KEY_DOWN_CODE = 0x82, KEY_LEFT_CODE = 0x83;
constexpr int RELEASE = 0x04;

// One loop pass as the emulation loop makes it, without frames and polls.
void pass()
{
    const int cycles = tms7000_ovix_execute(1);
    orlo_timer_update_clock(orlo_time{0, (uint32)cycles});
    orlo_check_timers();
}

void run(long passes)
{
    for (long i = 0; i < passes; i++) pass();
}

class BiosLive : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(start_headless_video());
        ASSERT_EQ(MemInitFrom(kBios.c_str()), nullptr);
    }
    void SetUp() override { ovix_power_on(); }

    // A key pressed and released, with time for the BIOS to take both.
    static void press(int code)
    {
        ASSERT_EQ(cur_state, get_state_num("ready"));
        send_key(code);
        run(20000);
        send_key(RELEASE);
        run(20000);
    }
    static std::string text(int row, int col, int count)
    {
        std::string s;
        for (int i = 0; i < count; i++) s += (char)get_vram(kPage + (row * 40 + col + i) * 2 + 1);
        return s;
    }
    static bool font_in_place()
    {
        for (int n = 0; n < 128; n++)
            for (int r = 0; r < 10; r++)
                if (get_vram(kFontSet + (9 - r) * 128 + n) != fontdata[n * 10 + r]) return false;
        return true;
    }
    static bool logo_in_place()
    {
        for (int i = 0; i < 992; i++)
            if (get_vram(kLogoSet + (9 - i / 16 % 10) * 128 + i / 160 * 16 + i % 16) != logodata[i]) return false;
        return true;
    }
};

TEST_F(BiosLive, ArrowsMoveTheCursorAndTextGoesWhereItIs)
{
    struct Case {
        const char *name;
        std::vector<int> keys;
        int row, col;        // where `expect` must stand
        const char *expect;
    };
    const std::vector<int> up20(20, KEY_UP_CODE), right38(38, KEY_RIGHT_CODE), down10(10, KEY_DOWN_CODE);
    auto then = [](std::vector<int> v, int last) { v.push_back(last); return v; };
    const Case cases[] = {
        {"left overwrites", {'A', 'B', 'C', KEY_LEFT_CODE, KEY_LEFT_CODE, 'X'}, 15, 0, "> AXC "},
        {"up keeps the column", {'A', KEY_UP_CODE, 'U'}, 14, 0, "REAUY"},
        {"down", {KEY_DOWN_CODE, KEY_DOWN_CODE, 'D'}, 17, 0, "  D"},
        {"left from column 0 to the line above", {'\r', KEY_LEFT_CODE, KEY_LEFT_CODE, KEY_LEFT_CODE, 'E'}, 15, 38, " E"},
        {"up stops at the top line", then(up20, 'T'), 0, 2, "T"},
        {"right wraps to the next line", then(right38, 'W'), 16, 0, "W"},
        {"down past the last line scrolls", then(down10, 'Z'), 24, 0, "  Z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ovix_power_on();
        run(1000000);
        ASSERT_EQ(text(15, 0, 2), "> ");
        for (int k : c.keys) press(k == '\r' ? 0x0D : k);
        EXPECT_EQ(text(c.row, c.col, (int)strlen(c.expect)), c.expect);
    }
    // The scroll moved everything up by one.
    EXPECT_EQ(text(13, 0, 5), "READY");
}

// The I/O processor accepts a key only while "ready", which it also is for a
// moment between the BIOS's start-up commands. Whatever instruction the key
// reply starts at, the BIOS must still load the character set and the logo
// and show the key at the prompt.
TEST_F(BiosLive, KeyPressedBetweenStartUpCommandsReachesThePrompt)
{
    const int ready = get_state_num("ready");
    for (int window = 0; window < 2; window++) {   // after the handshake, after the character set
        int tried = 0;
        for (int offset = 0; offset < 60; offset++) {
            ovix_power_on();
            int entries = 0, prev = cur_state;
            bool sent = false;
            for (long n = 0; n < 1000000 && !sent; n++) {
                pass();
                if (cur_state == ready && prev != ready && entries++ == window) {
                    run(offset);
                    if (cur_state != ready) break;   // the BIOS's command came first
                    send_key('K');
                    sent = true;
                }
                prev = cur_state;
            }
            if (!sent) continue;
            tried++;
            SCOPED_TRACE("window " + std::to_string(window) + " offset " + std::to_string(offset));
            run(200000);
            send_key(RELEASE);   // accepted or dropped, depending on the moment
            run(300000);
            ASSERT_EQ(cur_state, ready);
            ASSERT_TRUE(font_in_place());
            ASSERT_TRUE(logo_in_place());
            ASSERT_EQ(text(15, 0, 4), "> K ");
        }
        EXPECT_GT(tried, 10) << "window " << window;
    }
}

// The menu's reset (CPU, I/O processor, video chip) can come at any moment,
// with a reply half sent, the video register port half loaded and port B
// lines up. The BIOS must start over and reach its prompt.
TEST_F(BiosLive, StartsOverAfterAResetAtAnyMomentOfStartUp)
{
    for (long at = 1000; at < 420000; at += 27983) {
        SCOPED_TRACE("reset after " + std::to_string(at) + " passes");
        ovix_power_on();
        run(at);
        ovix_reset();
        run(1000000);
        EXPECT_EQ(cur_state, get_state_num("ready"));
        EXPECT_TRUE(font_in_place());
        EXPECT_TRUE(logo_in_place());
        EXPECT_EQ(text(15, 0, 2), "> ");
    }
}

}  // namespace
