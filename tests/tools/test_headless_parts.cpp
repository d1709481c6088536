// The runner's pieces, called in-process: the PNG writer, the typing
// schedule and the state dump.
#include <gtest/gtest.h>

#include <cstring>

#include "cpu/tms7000.h"
#include "services/png.h"
#include "headless.h"
#include "services/typing.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "test_headless_util.h"
#include "test_support.h"
#include "time/timer.h"
#include "video/tms3556.h"

namespace {

TEST(Png, RoundTrip)
{
    const struct {
        int w, h;
    } sizes[] = {{1, 1}, {3, 2}, {320, 250}, {640, 500}};
    const std::string dir = make_temp_dir("png");
    for (const auto &s : sizes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        std::vector<uint8> rgb((size_t)s.w * s.h * 3);
        for (size_t i = 0; i < rgb.size(); i++) rgb[i] = (uint8)(i * 7 + i / 3 + (i >> 11));
        const std::string path = dir + "/p.png";
        ASSERT_EQ(png_write_rgb(path.c_str(), s.w, s.h, rgb.data()), nullptr);
        Picture pic;
        ASSERT_EQ(decode_png(read_file(path), &pic), "");
        EXPECT_EQ(pic.width, s.w);
        EXPECT_EQ(pic.height, s.h);
        EXPECT_TRUE(pic.rgb == rgb);
    }
}

TEST(Png, Failures)
{
    const uint8 px[3] = {1, 2, 3};
    const std::string dir = make_temp_dir("pngfail");
    const std::string ok = dir + "/x.png";
    EXPECT_NE(png_write_rgb(ok.c_str(), 0, 1, px), nullptr);
    EXPECT_NE(png_write_rgb(ok.c_str(), 1, -1, px), nullptr);
    EXPECT_NE(png_write_rgb(ok.c_str(), 1, 1, nullptr), nullptr);
    EXPECT_TRUE(read_file(ok).empty());   // nothing written for a refused picture
    const std::string bad = dir + "/missing/x.png";
    const char *e = png_write_rgb(bad.c_str(), 1, 1, px);
    ASSERT_NE(e, nullptr);
    EXPECT_NE(std::string(e).find("missing/x.png"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Typing

std::vector<int> keys_down()
{
    std::vector<int> down;
    for (int k = 0; k < OVIX_KEY_MAX; k++)
        if (ovix_key_down[k]) down.push_back(k);
    return down;
}

void clear_keys()
{
    for (int k = 0; k < OVIX_KEY_MAX; k++) ovix_key_down[k] = 0;
}

TEST(Typing, CharactersToKeys)
{
    const struct {
        const char *text;
        std::vector<int> keys;
    } good[] = {
        {"aZ", {OVIX_KEY_A, OVIX_KEY_Z}},
        {"Az", {OVIX_KEY_A, OVIX_KEY_Z}},
        {"0189", {OVIX_KEY_0, OVIX_KEY_1, OVIX_KEY_8, OVIX_KEY_9}},
        {"a b\n", {OVIX_KEY_A, OVIX_KEY_SPACE, OVIX_KEY_B, OVIX_KEY_ENTER}},
        {"RUN\\n", {OVIX_KEY_R, OVIX_KEY_U, OVIX_KEY_N, OVIX_KEY_ENTER}},
        {"\\n\\n", {OVIX_KEY_ENTER, OVIX_KEY_ENTER}},
        {"", {}},
        // Keys by name, any case.
        {"{up}{DOWN}{Left}{right}", {OVIX_KEY_UP, OVIX_KEY_DOWN, OVIX_KEY_LEFT, OVIX_KEY_RIGHT}},
        {"{enter}{return}{space}{q}{7}", {OVIX_KEY_ENTER, OVIX_KEY_ENTER, OVIX_KEY_SPACE, OVIX_KEY_Q, OVIX_KEY_7}},
    };
    for (const auto &c : good) {
        SCOPED_TRACE(c.text);
        type_schedule s;
        std::string error;
        ASSERT_TRUE(type_schedule_init(&s, c.text, &error)) << error;
        EXPECT_EQ(s.keys, c.keys);
    }
    const struct {
        const char *text;
        const char *named;   // how the error names the character
    } bad[] = {
        {"a,b", "','"}, {"x-", "'-'"}, {"\t", "0x09"}, {"\\t", "'\\'"}, {"ab\\", "'\\'"}, {"\xC3\xA9", "0xC3"},
        {"{ESC}", "{ESC} is not a key"}, {"{UP", "{UP is not a key"}, {"{}", "{} is not a key"}, {"{AB}", "{AB}"},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.text);
        type_schedule s;
        std::string error;
        EXPECT_FALSE(type_schedule_init(&s, c.text, &error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
}

TEST(Typing, ScheduleStartsAtReadyThenTwoDownTwoUp)
{
    const struct {
        const char *text;
        std::vector<std::vector<int>> polls;   // keys down at each poll from the start
    } cases[] = {
        {"ab", {{OVIX_KEY_A}, {OVIX_KEY_A}, {}, {}, {OVIX_KEY_B}, {OVIX_KEY_B}, {}, {}, {}}},
        {"aa", {{OVIX_KEY_A}, {OVIX_KEY_A}, {}, {}, {OVIX_KEY_A}, {OVIX_KEY_A}, {}, {}}},
        {"1\n", {{OVIX_KEY_1}, {OVIX_KEY_1}, {}, {}, {OVIX_KEY_ENTER}, {OVIX_KEY_ENTER}, {}, {}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        clear_keys();
        type_schedule s;
        std::string error;
        ASSERT_TRUE(type_schedule_init(&s, c.text, &error));
        // Not ready yet: no key, however many polls.
        cur_state = get_state_num("init2");
        for (int i = 0; i < 3; i++) {
            type_schedule_before_poll(&s);
            EXPECT_TRUE(keys_down().empty());
        }
        EXPECT_FALSE(type_schedule_done(&s));
        cur_state = get_state_num("ready");
        for (size_t i = 0; i < c.polls.size(); i++) {
            type_schedule_before_poll(&s);
            EXPECT_EQ(keys_down(), c.polls[i]) << "poll " << i;
            cur_state = get_state_num("command2");   // once started, the state no longer matters
        }
        EXPECT_TRUE(type_schedule_done(&s));
    }
    clear_keys();
}

TEST(Typing, TimedChunksWaitForTheirTime)
{
    // WHEN forms and their bounds.
    const struct {
        const char *form;
        bool ok;
        type_when when;
        uint64 at;
    } forms[] = {
        {"0:A", true, TYPE_AT_PASS, 0},           {"5000000:A", true, TYPE_AT_PASS, 5000000},
        {"2.5s:A", true, TYPE_AT_CYCLE, 12500000}, {"300ms:A", true, TYPE_AT_CYCLE, 1500000},
        {"0s:", true, TYPE_AT_CYCLE, 0},          {":A", false, TYPE_AT_PASS, 0},
        {"A", false, TYPE_AT_PASS, 0},            {"-1:A", false, TYPE_AT_PASS, 0},
        {"1.5:A", false, TYPE_AT_PASS, 0},        {"1.2.3s:A", false, TYPE_AT_PASS, 0},
        {"5s:A%", false, TYPE_AT_PASS, 0},
    };
    for (const auto &c : forms) {
        type_schedule s;
        std::string error;
        const bool ok = type_schedule_add(&s, c.form, &error);
        EXPECT_EQ(ok, c.ok) << c.form << ": " << error;
        if (ok && c.ok) {
            ASSERT_EQ(s.waits.size(), 1u) << c.form;
            EXPECT_EQ(s.waits[0].when, c.when) << c.form;
            EXPECT_EQ(s.waits[0].at, c.at) << c.form;
        }
    }
    // A chunk at a pass count: nothing before the machine's time reaches it.
    clear_keys();
    type_schedule s;
    std::string error;
    ASSERT_TRUE(type_schedule_init(&s, "A", &error));
    ASSERT_TRUE(type_schedule_add(&s, "1000:B", &error));
    cur_state = get_state_num("ready");
    const uint64 start = ovix_machine_passes();
    ovix_set_machine_passes(0);
    std::vector<std::vector<int>> polls;
    for (int i = 0; i < 6; i++) {
        type_schedule_before_poll(&s);
        polls.push_back(keys_down());
    }
    EXPECT_EQ(polls, (std::vector<std::vector<int>>{{OVIX_KEY_A}, {OVIX_KEY_A}, {}, {}, {}, {}}));
    ovix_set_machine_passes(999);
    type_schedule_before_poll(&s);
    EXPECT_TRUE(keys_down().empty());
    ovix_set_machine_passes(1000);
    type_schedule_before_poll(&s);
    EXPECT_EQ(keys_down(), (std::vector<int>{OVIX_KEY_B}));
    ovix_set_machine_passes(start);
    clear_keys();
}

TEST(Typing, EmulatedTimeStops)
{
    const struct {
        const char *text;
        int kind;
        bool ok;
        uint64 cycles;
    } cases[] = {
        {"1", TIME_SECONDS, true, 5000000}, {"0.0000002", TIME_SECONDS, true, 1}, {"0", TIME_SECONDS, false, 0},
        {"0.00000001", TIME_SECONDS, false, 0}, {"-1", TIME_SECONDS, false, 0}, {"1x", TIME_SECONDS, false, 0},
        {"1", TIME_CYCLES, true, 1},        {"0", TIME_CYCLES, false, 0},       {"1.5", TIME_CYCLES, false, 0},
        {"2", TIME_FRAMES, true, 200000},   {"0", TIME_FRAMES, false, 0},
    };
    for (const auto &c : cases) {
        uint64 cycles = 0;
        EXPECT_EQ(parse_emulated_time(c.text, c.kind, &cycles), c.ok) << c.text << " " << c.kind;
        if (c.ok) {
            EXPECT_EQ(cycles, c.cycles) << c.text;
        }
    }
}

TEST(Typing, TheKeyboardPollSendsEachCharacterAndItsRelease)
{
    clear_keys();
    ovix_key();   // no key held from before
    type_schedule s;
    std::string error;
    ASSERT_TRUE(type_schedule_init(&s, "Hi\\n", &error));
    cur_state = get_state_num("ready");
    std::vector<int> sent;
    for (int poll = 0; poll < 12; poll++) {
        type_schedule_before_poll(&s);
        l_7041_char = 0;
        ovix_key();
        sent.push_back((uint8)l_7041_char);
    }
    EXPECT_EQ(sent, (std::vector<int>{0x48, 0, 0x04, 0, 0x49, 0, 0x04, 0, 0x0D, 0, 0x04, 0}));
}

// ---------------------------------------------------------------------------
// State dump

void test_timer_callback(int) {}

TEST(StateJson, FieldsFollowTheMachine)
{
    // The register port's state: the selection 0x21 leaves a data byte for
    // COL due, with ROW queued after it. (Zero bytes first end whatever
    // sequence was under way; the registers are set afterwards.)
    for (int i = 0; i < 4; i++) tms3556_reg_w(0x12D, 0x00);
    tms3556_reg_w(0x12D, 0x21);
    tms7000.pc.w.l = 0x1234;
    tms7000.sp = 0x7F;
    tms7000.sr = 0x90;
    tms7000.idle_state = 1;
    tms7000.irq_state[0] = 1;
    tms7000.irq_state[1] = 0;
    tms7000.irq_state[2] = 1;
    tms7000_icount = -5;
    tms7000_div_by_16_trigger = 3;
    for (int i = 0; i < 128; i++) tms7000.rf[i] = (uint8)(i * 3);
    for (int i = 0; i < 256; i++) tms7000.pf[i] = (uint8)(200 + i);
    tms7000.t1_prescaler = -3;
    tms7000.t1_decrementer = 300;
    tms7000.t1_capture_latch = 0xC8;
    memset(ram_2k, 0, sizeof ram_2k);
    ram_2k[0] = 0xAB;
    ram_2k[2047] = 0x0E;
    memset(vram, 0, sizeof vram);
    vram[1] = 0xF0;
    vram[0x7FFF] = 0x01;
    for (int i = 0; i < 8; i++) vdp_regs8[i] = (uint8)(i + 1);
    for (int i = 0; i < 8; i++) vdp_regs16[i] = (uint16)(0x1000 * i + 0xFFF);
    vdp_acmp = 0x4321;
    vdp_acmpxy = 0x8000;
    vdp_acmpxy_mode = dma_read;
    row_col_written = 1;
    bamp_written = false;
    porta_val = 1;
    portb_val = 2;
    portc_val = 3;
    portd_val = 254;
    cur_state = get_state_num("commack2");
    mailbox_val = 0x99;
    l_7041_command = 0x0B;
    l_7041_index = 17;
    l_7041_char = (char)0x83;
    g_timer_num = 0;
    g_timer_clock = {7, 4999999};
    orlo_timer_create(test_timer_callback, 5, 16, {0, 1});
    orlo_timer_create(test_timer_callback, -2, 3, {1, 2});

    const std::string dir = make_temp_dir("json");
    const std::string path = dir + "/s.json";
    ASSERT_EQ(write_state_json_file(path.c_str(), 5000000000ull, 123), nullptr);
    const std::string text = read_text(path);
    testjson::value v;
    testjson::parser p(text);
    ASSERT_TRUE(p.parse(&v)) << p.error();

    EXPECT_EQ(v["pc"].i(), 0x1234);
    EXPECT_EQ(v["sp"].i(), 0x7F);
    EXPECT_EQ(v["sr"].i(), 0x90);
    EXPECT_EQ(v["idle"].i(), 1);
    ASSERT_EQ(v["irq_state"].arr.size(), 3u);
    EXPECT_EQ(v["irq_state"][2].i(), 1);
    EXPECT_EQ(v["div_phase"].i(), -8);
    ASSERT_EQ(v["rf"].arr.size(), 128u);
    for (int i = 0; i < 128; i++) EXPECT_EQ(v["rf"][i].i(), (i * 3) & 0xFF) << "R" << i;
    ASSERT_EQ(v["pf"].arr.size(), 12u);
    for (int i = 0; i < 12; i++) EXPECT_EQ(v["pf"][i].i(), 200 + i) << "P" << i;
    EXPECT_EQ(v["t1"]["prescaler"].i(), -3);
    EXPECT_EQ(v["t1"]["decrementer"].i(), 300);
    EXPECT_EQ(v["t1"]["capture"].i(), 0xC8);

    const std::string &ram = v["ram"].str;
    ASSERT_EQ(ram.size(), 4096u);
    EXPECT_EQ(ram.substr(0, 4), "ab00");
    EXPECT_EQ(ram.substr(4094), "0e");
    const std::string &vr = v["vram"].str;
    ASSERT_EQ(vr.size(), 65536u);
    EXPECT_EQ(vr.substr(0, 4), "00f0");
    EXPECT_EQ(vr.substr(65534), "01");

    const testjson::value &vdp = v["vdp"];
    for (int i = 0; i < 8; i++) EXPECT_EQ(vdp["regs8"][i].i(), i + 1);
    for (int i = 0; i < 8; i++) EXPECT_EQ(vdp["regs16"][i].i(), 0x1000 * i + 0xFFF);
    EXPECT_EQ(vdp["acmp"].i(), 0x4321);
    EXPECT_EQ(vdp["acmpxy"].i(), 0x8000);
    EXPECT_EQ(vdp["acmpxy_mode"].str, "read");
    EXPECT_EQ(vdp["sel"].i(), 1);
    EXPECT_EQ(vdp["reg"].i(), 1);
    EXPECT_EQ(vdp["reg2"].i(), 2);
    EXPECT_EQ(vdp["row_col_written"].i(), 1);
    EXPECT_EQ(vdp["bamp_written"].i(), 0);

    EXPECT_EQ(v["ports"]["a"].i(), 1);
    EXPECT_EQ(v["ports"]["d"].i(), 254);
    const testjson::value &io = v["iocpu"];
    EXPECT_EQ(io["state"].str, "commack2");
    EXPECT_EQ(io["mailbox"].i(), 0x99);
    EXPECT_EQ(io["command"].i(), 0x0B);
    EXPECT_EQ(io["index"].i(), 17);
    EXPECT_EQ(io["char"].i(), 0x83);   // the latch as an unsigned byte

    EXPECT_EQ(v["clock"]["seconds"].i(), 7);
    EXPECT_EQ(v["clock"]["subseconds"].i(), 4999999);
    ASSERT_EQ(v["timers"].arr.size(), 2u);
    const testjson::value &t0 = v["timers"][0], &t1 = v["timers"][1];
    EXPECT_EQ(t0["tag"].i(), 16);
    EXPECT_EQ(t0["param"].i(), 5);
    EXPECT_EQ(t0["expire"][0].i(), 8);
    EXPECT_EQ(t0["expire"][1].i(), 0);
    EXPECT_EQ(t1["tag"].i(), 3);
    EXPECT_EQ(t1["param"].i(), -2);
    EXPECT_EQ(t1["expire"][0].i(), 9);
    EXPECT_EQ(t1["expire"][1].i(), 1);
    EXPECT_EQ(v["instructions"].num, 5000000000.0);
    EXPECT_EQ(v["cycles"].i(), 123);

    // A state number outside the table has no name.
    cur_state = 99;
    g_timer_num = 0;
    ASSERT_EQ(write_state_json_file(path.c_str(), 0, 0), nullptr);
    testjson::value w;
    const std::string text2 = read_text(path);
    testjson::parser p2(text2);
    ASSERT_TRUE(p2.parse(&w)) << p2.error();
    EXPECT_EQ(w["iocpu"]["state"].k, testjson::value::NUL);
    EXPECT_EQ(w["timers"].k, testjson::value::ARRAY);
    EXPECT_TRUE(w["timers"].arr.empty());
    cur_state = 0;
}

}  // namespace
