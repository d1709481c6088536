// The shared emulation loop: pass order, stop conditions, counting, the
// F2/F3 handshake keys, and the host keyboard poll.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "test_support.h"
#include "time/timer.h"
#include "video/tms3556.h"

namespace {

// Program bytes at 0xF800, the reset vector pointing there.
void load_bios(std::initializer_list<uint8> program)
{
    memset(rom_7020, 0, sizeof rom_7020);   // NOPs after the program
    memcpy(rom_7020, program.begin(), program.size());
    rom_7020[0x7FE] = 0xF8;
    rom_7020[0x7FF] = 0x00;
}

void clear_keys()
{
    for (int i = 0; i < OVIX_KEY_MAX; i++) ovix_key_down[i] = 0;
}

// NOP, NOP, JMP back to the first NOP: 4 + 4 + 7 cycles.
const std::initializer_list<uint8> NOP_LOOP = {0x00, 0x00, 0xE0, 0xFC};
// JMP $: every pass costs the same and leaves pc at 0xF800.
const std::initializer_list<uint8> SPIN = {0xE0, 0xFE};
// NOP, then LDA @0x0125 (a read of the video register port), then NOPs.
const std::initializer_list<uint8> READ_VDP_REG = {0x00, 0x8A, 0x01, 0x25};

class Loop : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(start_headless_video());
    }
    void SetUp() override
    {
        clear_keys();
        dump_all = 0;
        ask_bkpt = 0;
    }
    void TearDown() override { clear_keys(); }
    void boot(std::initializer_list<uint8> program)
    {
        load_bios(program);
        ovix_power_on();
        ASSERT_EQ(tms7000.pc.w.l, 0xF800);
    }
};

// What the hooks saw at each frame pass.
struct frame_log {
    uint64 clock0 = 0;                // emulated clock when the run began
    std::vector<uint64> before_at;    // cycles since clock0 at before_poll
    std::vector<uint16> before_pc;    // program counter at before_poll
    std::vector<bool> frame_given;    // before_poll received a picture
    std::vector<uint8> char_before;   // key latch at before_poll
    std::vector<uint8> char_after;    // key latch at after_poll
};

void log_before(const uint8 *frame, void *ctx)
{
    auto *log = static_cast<frame_log *>(ctx);
    log->before_at.push_back(orlo_timer_cycles() - log->clock0);
    log->before_pc.push_back(tms7000.pc.w.l);
    log->frame_given.push_back(frame != nullptr);
    log->char_before.push_back((uint8)l_7041_char);
}

void log_after(void *ctx) { static_cast<frame_log *>(ctx)->char_after.push_back((uint8)l_7041_char); }

TEST_F(Loop, FirstPassRendersAndPollsBeforeTheSecondInstruction)
{
    boot(NOP_LOOP);
    ovix_key_down[OVIX_KEY_A] = 1;
    l_7041_char = 0;   // nothing sends 0: a change shows the poll ran
    frame_log log;
    log.clock0 = orlo_timer_cycles();
    const loop_hooks hooks = {log_before, log_after, &log};
    const loop_result r = ovix_run(0xFFFF, 2, &hooks);

    EXPECT_EQ(r.passes, 2u);
    ASSERT_EQ(log.before_at.size(), 1u);
    EXPECT_EQ(log.before_pc[0], 0xF801);   // after the first NOP, before the second
    EXPECT_EQ(log.before_at[0], 4u);       // one 4-cycle NOP on the clock
    EXPECT_TRUE(log.frame_given[0]);
    // Order within the frame pass: before_poll, the keyboard poll, after_poll.
    EXPECT_EQ(log.char_before[0], 0x00);
    ASSERT_EQ(log.char_after.size(), 1u);
    EXPECT_EQ(log.char_after[0], 0x41);
}

TEST_F(Loop, FramePassesComeEvery100000Passes)
{
    boot(SPIN);
    frame_log log;
    log.clock0 = orlo_timer_cycles();
    const loop_hooks hooks = {log_before, nullptr, &log};
    const loop_result r = ovix_run(0xFFFF, 250000, &hooks);

    ASSERT_EQ(r.passes, 250000u);
    ASSERT_EQ(r.cycles % r.passes, 0u);
    const uint64 per_pass = r.cycles / r.passes;
    ASSERT_EQ(log.before_at.size(), 3u);
    const uint64 expected[] = {1, 100001, 200001};
    for (int i = 0; i < 3; i++) EXPECT_EQ(log.before_at[i], expected[i] * per_pass) << "frame " << i;

    // A new run starts its own count: its first pass is a frame pass again.
    log = frame_log{};
    log.clock0 = orlo_timer_cycles();
    ovix_run(0xFFFF, 10, &hooks);
    ASSERT_EQ(log.before_at.size(), 1u);
    EXPECT_EQ(log.before_at[0], per_pass);
}

TEST_F(Loop, FrameDueHookTimesTheFramePasses)
{
    // Asked every 1000 passes after the first, which is always a frame
    // pass; here it says yes at every third question.
    boot(SPIN);
    frame_log log;
    log.clock0 = orlo_timer_cycles();
    static int asked;
    asked = 0;
    loop_hooks hooks = {log_before, nullptr, &log};
    hooks.frame_due = [](void *) { return ++asked % 3 == 0; };
    const loop_result r = ovix_run(0xFFFF, 7000, &hooks);
    const uint64 per_pass = r.cycles / r.passes;
    EXPECT_EQ(asked, 6);   // passes 1001, 2001, ..., 6001
    ASSERT_EQ(log.before_at.size(), 3u);
    const uint64 expected[] = {1, 3001, 6001};
    for (int i = 0; i < 3; i++) EXPECT_EQ(log.before_at[i], expected[i] * per_pass) << "frame " << i;
}

TEST_F(Loop, CountsPassesAndSumsCycles)
{
    boot(NOP_LOOP);
    const uint64 c0 = orlo_timer_cycles();
    const loop_result r = ovix_run(0xFFFF, 1000, nullptr);
    EXPECT_EQ(r.reason, LOOP_STOP_COUNT);
    EXPECT_EQ(r.passes, 1000u);
    EXPECT_EQ(r.cycles, 333u * 15 + 4);         // 333 rounds of NOP NOP JMP, then a NOP
    EXPECT_EQ(orlo_timer_cycles() - c0, r.cycles);   // the clock moved by exactly the cycles
    EXPECT_EQ(tms7000.pc.w.l, 0xF801);
}

struct stop_case {
    const char *name;
    std::initializer_list<uint8> program;
    uint16 target;
    uint64 max_passes;
    bool hold_f1;
    bool preset_bkpt;   // ask_bkpt set before the run (the run clears it)
    uint64 passes;
    loop_stop reason;
    uint16 pc;
};

TEST_F(Loop, StopConditions)
{
    const stop_case cases[] = {
        // At the target already: one instruction at least, then again at the target.
        {"target at start, spinning", SPIN, 0xF800, 100, false, false, 1, LOOP_STOP_PC, 0xF800},
        {"target at start, loop", NOP_LOOP, 0xF800, 100, false, false, 3, LOOP_STOP_PC, 0xF800},
        {"target ahead", NOP_LOOP, 0xF802, 100, false, false, 2, LOOP_STOP_PC, 0xF802},
        {"count of zero still runs a pass", NOP_LOOP, 0xFFFF, 0, false, false, 1, LOOP_STOP_COUNT, 0xF801},
        {"F1 held", NOP_LOOP, 0xFFFF, 100, true, false, 1, LOOP_STOP_DEBUGGER, 0xF801},
        {"old request cleared", NOP_LOOP, 0xFFFF, 5, false, true, 5, LOOP_STOP_COUNT, 0xF802},
        // A read of the video register port requests the debugger: the loop
        // stops right after that instruction.
        {"register port read", READ_VDP_REG, 0xFFFF, 100, false, false, 2, LOOP_STOP_DEBUGGER, 0xF804},
        // Several at once: pc before debugger before count.
        {"pc and debugger", READ_VDP_REG, 0xF804, 100, false, false, 2, LOOP_STOP_PC, 0xF804},
        {"debugger and count", READ_VDP_REG, 0xFFFF, 2, false, false, 2, LOOP_STOP_DEBUGGER, 0xF804},
        {"pc and count", NOP_LOOP, 0xF802, 2, false, false, 2, LOOP_STOP_PC, 0xF802},
    };
    for (const stop_case &c : cases) {
        SCOPED_TRACE(c.name);
        boot(c.program);
        clear_keys();
        ovix_key_down[OVIX_KEY_F1] = c.hold_f1;
        ask_bkpt = c.preset_bkpt;
        const loop_result r = ovix_run(c.target, c.max_passes, nullptr);
        EXPECT_EQ(r.passes, c.passes);
        EXPECT_EQ(r.reason, c.reason);
        EXPECT_EQ(tms7000.pc.w.l, c.pc);
    }
}

TEST_F(Loop, HooksStopTheLoopThroughTheDebuggerRequest)
{
    boot(NOP_LOOP);
    const loop_hooks hooks = {[](const uint8 *, void *) { ask_bkpt = 1; }, nullptr, nullptr};
    const loop_result r = ovix_run(0xFFFF, 100, &hooks);
    EXPECT_EQ(r.passes, 1u);
    EXPECT_EQ(r.reason, LOOP_STOP_DEBUGGER);
}

TEST_F(Loop, F2AndF3ForcePortABit0AfterEveryInstruction)
{
    struct {
        bool f2, f3;
        uint8 before;
        uint8 after;
    } cases[] = {
        {false, true, 0xFF, 0xFE},   // F3 clears bit 0 only
        {true, false, 0x00, 0x01},   // F2 sets it
        {true, true, 0x00, 0x01},    // both: cleared, then set
        {true, true, 0xFE, 0xFF},
        {false, false, 0x01, 0x01},  // neither: left alone
        {false, false, 0x00, 0x00},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "F2=" << c.f2 << " F3=" << c.f3 << " before=" << int(c.before));
        boot(NOP_LOOP);
        clear_keys();
        ovix_key_down[OVIX_KEY_F2] = c.f2;
        ovix_key_down[OVIX_KEY_F3] = c.f3;
        for (int passes : {1, 50}) {
            porta_val = c.before;
            ovix_run(0xFFFF, (uint64)passes, nullptr);
            EXPECT_EQ(porta_val, c.after) << passes << " passes";
        }
    }
}

TEST_F(Loop, ResetRestartsFromTheVectorAndKeepsRam)
{
    boot(NOP_LOOP);
    ovix_run(0xFFFF, 7, nullptr);
    ram_2k[5] = 0x5A;
    ovix_reset();
    EXPECT_EQ(tms7000.pc.w.l, 0xF800);
    EXPECT_EQ(ram_2k[5], 0x5A);
    ovix_power_on();
    EXPECT_EQ(tms7000.pc.w.l, 0xF800);
    EXPECT_EQ(ram_2k[5], 0x00);
}

// The machine after some passes: everything a pass can change, the clock
// as its advance since `clock0`.
struct machine_state {
    tms7000_Regs cpu;
    int32 icount, trigger;
    uint64 clock;
    int timers;
    uint8 ram[sizeof ram_2k], ports[4], mailbox;
    int io_state;
    bool operator==(const machine_state &o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

machine_state snapshot(uint64 clock0)
{
    machine_state m;
    memset(&m, 0, sizeof m);   // padding too: compared as bytes
    m.cpu = tms7000;
    m.icount = tms7000_icount;
    m.trigger = tms7000_div_by_16_trigger;
    m.clock = orlo_timer_cycles() - clock0;
    m.timers = g_timer_num;
    memcpy(m.ram, ram_2k, sizeof ram_2k);
    const uint8 ports[4] = {porta_val, portb_val, portc_val, portd_val};
    memcpy(m.ports, ports, 4);
    m.mailbox = mailbox_val;
    m.io_state = cur_state;
    return m;
}

// Timer 1 at short periods with its count read and its settings rewritten
// while it runs, INT2 waking IDLE.
const std::initializer_list<uint8> TIMER_STRESS = {
    0x52, 0x60,         // F800 MOV %0x60,B
    0x0D,               // F802 LDSP
    0xA2, 0x03, 0x02,   // F803 MOVP %3,P2       T1DATA
    0xA2, 0x81, 0x03,   // F806 MOVP %0x81,P3    running, prescaler 1
    0xA2, 0x04, 0x00,   // F809 MOVP %4,P0       INT2 enabled
    0x05,               // F80C EINT
    0x80, 0x02,         // F80D MOVP P2,A        the count
    0x8B, 0xC1, 0x00,   // F80F STA @C100
    0xDA, 0x10, 0xF8,   // F812 DJNZ R16,F80D
    0xD3, 0x11,         // F815 INC R17
    0x12, 0x11,         // F817 MOV R17,A
    0x23, 0x07,         // F819 AND %7,A
    0x82, 0x02,         // F81B MOVP A,P2        a new reload value
    0x24, 0x80,         // F81D OR %0x80,A
    0x82, 0x03,         // F81F MOVP A,P3        a new prescaler, still running
    0x01,               // F821 IDLE
    0xE0, 0xE9,         // F822 JMP F80D
    0xD3, 0x12,         // F824 INT2: INC R18
    0x0B,               // F826 RETI
};

TEST_F(Loop, RunGivesWhatSingleStepsGive)
{
    // The loop keeps pc, sr and the balance in registers, applies timer-1
    // clocks lazily and advances the clock lazily; the debugger's step
    // (one execute call, the clock, one timer check) does none of that.
    struct {
        const char *name;
        std::initializer_list<uint8> program;   // empty: the open BIOS
        uint64 passes;
        int counter;   // register that counts the program's interrupts
    } cases[] = {
        {"timer stress", TIMER_STRESS, 200000, 0x12},
        {"open BIOS start-up (INT1 entered between passes)", {}, 600000, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        machine_state after[2];
        for (int way = 0; way < 2; way++) {
            if (c.program.size()) {
                load_bios(c.program);
                rom_7020[0x7FA] = 0xF8;   // INT2 vector
                rom_7020[0x7FB] = 0x24;
            } else {
                ASSERT_EQ(MemInitFrom(OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin"), nullptr);
            }
            ovix_power_on();
            const uint64 clock0 = orlo_timer_cycles();
            if (way == 0) {
                ASSERT_EQ(ovix_run(0xFFFF, c.passes, nullptr).passes, c.passes);
            } else {
                for (uint64 i = 0; i < c.passes; i++) {
                    orlo_timer_update_clock({0, (uint32)tms7000_ovix_execute(1)});
                    orlo_check_timers();
                }
            }
            after[way] = snapshot(clock0);
        }
        EXPECT_EQ(after[0].cpu.pc.w.l, after[1].cpu.pc.w.l);
        EXPECT_EQ(after[0].clock, after[1].clock);
        EXPECT_EQ(after[0].cpu.t1_decrementer, after[1].cpu.t1_decrementer);
        EXPECT_EQ(after[0].trigger - after[0].icount, after[1].trigger - after[1].icount);
        EXPECT_TRUE(after[0] == after[1]);
        EXPECT_GT(after[0].cpu.rf[c.counter], 10);   // timer 1 requested INT2 again and again
    }
}

// ---------------------------------------------------------------------------
// Keyboard poll. What a poll sends is read from the I/O processor's key
// latch, which only send_key writes: it is set to 0 (a code no key has)
// before each poll.

constexpr int NOTHING = -1;

struct key_case {
    const char *name;
    std::vector<std::vector<int>> polls;   // host keys down at each poll
    std::vector<int> sent;                 // code sent at each poll, or NOTHING
};

TEST(OvixKey, PollSequences)
{
    const std::vector<int> up = {};
    const key_case cases[] = {
        {"held over polls: sent once, released once", {{OVIX_KEY_A}, {OVIX_KEY_A}, {OVIX_KEY_A}, up, up},
         {0x41, NOTHING, NOTHING, 0x04, NOTHING}},
        {"two at once: the later in the table wins", {{OVIX_KEY_A, OVIX_KEY_B}, up}, {0x42, 0x04}},
        {"second key while the first is held",
         {{OVIX_KEY_A}, {OVIX_KEY_A, OVIX_KEY_B}, {OVIX_KEY_A, OVIX_KEY_B}, {OVIX_KEY_B}, {OVIX_KEY_B}, up},
         {0x41, NOTHING, NOTHING, 0x04, 0x42, 0x04}},
        {"release and new key at the same poll", {{OVIX_KEY_C}, {OVIX_KEY_D}, {OVIX_KEY_D}}, {0x43, 0x04, 0x44}},
        {"shift ignored", {{OVIX_KEY_LSHIFT, OVIX_KEY_A}, up}, {0x41, 0x04}},
        {"shift alone", {{OVIX_KEY_LSHIFT}, {OVIX_KEY_RSHIFT}, up}, {NOTHING, NOTHING, NOTHING}},
        {"arrows", {{OVIX_KEY_UP}, up, {OVIX_KEY_RIGHT}, up, {OVIX_KEY_DOWN}, up, {OVIX_KEY_LEFT}, up},
         {0x80, 0x04, 0x81, 0x04, 0x82, 0x04, 0x83, 0x04}},
        {"keypad and other keys mean nothing",
         {{OVIX_KEY_0_PAD}, {OVIX_KEY_5_PAD}, {OVIX_KEY_ENTER_PAD}, {OVIX_KEY_COMMA}, {OVIX_KEY_ESC}, {OVIX_KEY_F1}, {OVIX_KEY_TAB}},
         {NOTHING, NOTHING, NOTHING, NOTHING, NOTHING, NOTHING, NOTHING}},
        {"letters, digits, enter, space", {{OVIX_KEY_Z}, up, {OVIX_KEY_1}, up, {OVIX_KEY_9}, up, {OVIX_KEY_0}, up, {OVIX_KEY_ENTER}, up,
                                           {OVIX_KEY_SPACE}, up},
         {0x5A, 0x04, 0x31, 0x04, 0x39, 0x04, 0x30, 0x04, 0x0D, 0x04, 0x20, 0x04}},
        {"scan order: Z beats A, 0 beats 9, arrows beat all",
         {{OVIX_KEY_A, OVIX_KEY_Z}, up, {OVIX_KEY_0, OVIX_KEY_9}, up, {OVIX_KEY_9, OVIX_KEY_1}, up, {OVIX_KEY_UP, OVIX_KEY_Z, OVIX_KEY_SPACE}, up,
          {OVIX_KEY_RIGHT, OVIX_KEY_LEFT}, up, {OVIX_KEY_SPACE, OVIX_KEY_ENTER}, up},
         {0x5A, 0x04, 0x30, 0x04, 0x39, 0x04, 0x80, 0x04, 0x81, 0x04, 0x20, 0x04}},
        {"the held key's own release counts, not the other keys'", {{OVIX_KEY_B}, {OVIX_KEY_A, OVIX_KEY_B}, {OVIX_KEY_A}, {OVIX_KEY_A}, up},
         {0x42, NOTHING, 0x04, 0x41, 0x04}},
    };
    for (const key_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.polls.size(), c.sent.size());
        // Start with no key held: one poll with every key up ends any hold.
        clear_keys();
        ovix_key();
        std::vector<int> sent;
        for (const auto &down : c.polls) {
            clear_keys();
            for (int k : down) ovix_key_down[k] = 1;
            l_7041_char = 0;
            ovix_key();
            sent.push_back(l_7041_char == 0 ? NOTHING : (uint8)l_7041_char);
        }
        EXPECT_EQ(sent, c.sent);
    }
    clear_keys();
    ovix_key();
}

TEST(OvixKey, KeyReachesTheIoProcessorInReady)
{
    clear_keys();
    ovix_key();
    io_cpu_callback(get_state_num("ready"));
    ovix_key_down[OVIX_KEY_K] = 1;
    ovix_key();
    EXPECT_EQ(l_7041_char, 0x4B);
    EXPECT_EQ(l_7041_command, 0x100);   // the key command started
    EXPECT_EQ(cur_state, get_state_num("command2"));
    clear_keys();
    ovix_key();
}

}  // namespace
