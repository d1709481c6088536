// The I/O processor: its state machine driven through port B writes and the
// emulated clock, the command replies, and the character set and logo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "test_support.h"
#include "time/timer.h"

namespace {

// The routine messages are checked too, so the module's functions are
// listed before the trace facility first reads the list.
const bool listed = write_text("debug.lst",
    "io_cpu_callback() io_cpu_event() io_cpu_state_init() io_cpu_state_init3()\n"
    "io_cpu_state_init4() io_cpu_state_ack1() io_cpu_state_ready() io_cpu_event_init()\n"
    "io_cpu_event_init4() io_cpu_event_ack1() io_cpu_event_ready() io_cpu_event_command3()\n"
    "io_cpu_event_commack2() get_7041_byte()\n");

// Trace lines since the last clear_log_str, without time stamp and pc.
std::vector<std::string> messages()
{
    static char buf[0x10000];
    get_log_str(buf, sizeof buf);
    std::vector<std::string> out;
    std::string all(buf);
    for (size_t pos = 0, nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1)
        out.push_back(all.substr(pos + 14, nl - pos - 14));
    return out;
}

int find_message(const std::string &m)
{
    const auto v = messages();
    const auto it = std::find(v.begin(), v.end(), m);
    return it == v.end() ? -1 : (int)(it - v.begin());
}

bool pending_transition()
{
    for (int i = 0; i < g_timer_num; i++)
        if (timer_tab[i].tag == 16) return true;
    return false;
}

// Advances emulated time one cycle at a time, checking the timers after
// each, as the emulation loop does after each instruction.
void run(uint32 cycles)
{
    for (uint32 i = 0; i < cycles; i++) {
        orlo_timer_update_clock({0, 1});
        orlo_check_timers();
    }
}

const char *state() { return io_cpu_auto[cur_state].name; }
int a0() { return porta_val & 1; }
int int1() { return tms7000.irq_state[TMS7000_IRQ1_LINE]; }
void portb(uint8 v) { io_write_byte_8(TMS7000_PORTB, v); }

class IoCpu : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(listed);
        tms7000_power_on();
        mem_power_on();
        io_cpu_power_on();
        clear_log_str();
    }

    // The start-up handshake, done the quickest way the protocol allows;
    // leaves port B at 0x02.
    void to_ready()
    {
        io_cpu_callback(0);
        portb(0x01);
        run(2500001 + 501);
        portb(0x03);
        portb(0x02);
        ASSERT_STREQ(state(), "ready");
        clear_log_str();
    }

    // From "ready", the command `code` through the mailbox, up to "command3"
    // with its first reply byte taken.
    void start_command(uint8 code)
    {
        program_write_byte_8(0x0130, code);
        portb(0x03);
        run(501 + 501);
        ASSERT_STREQ(state(), "command3");
    }
};

// One step of a protocol script and what must hold after it.
enum Op { ENTER, PORTB, RUN, MAILBOX, KEY };
struct Step {
    Op op;
    uint32 arg;
    const char *state;
    int a0, int1, mailbox;   // -1: not checked
    const char *message;     // a trace message the step must write, or null
};

void play(const std::vector<Step> &script)
{
    for (size_t i = 0; i < script.size(); i++) {
        const Step &s = script[i];
        SCOPED_TRACE("step " + std::to_string(i));
        clear_log_str();
        switch (s.op) {
        case ENTER: io_cpu_callback((int)s.arg); break;
        case PORTB: portb((uint8)s.arg); break;
        case RUN: run(s.arg); break;
        case MAILBOX: program_write_byte_8(0x0130, (uint8)s.arg); break;
        case KEY: send_key((int)s.arg); break;
        }
        EXPECT_STREQ(state(), s.state);
        if (s.a0 >= 0) { EXPECT_EQ(a0(), s.a0); }
        if (s.int1 >= 0) { EXPECT_EQ(int1(), s.int1); }
        if (s.mailbox >= 0) { EXPECT_EQ(mailbox_val, s.mailbox); }
        if (s.message) { EXPECT_GE(find_message(s.message), 0) << s.message; }
    }
}

}  // namespace

TEST_F(IoCpu, StartupHandshake)
{
    or_porta(0x01);   // A0 left high by someone: "init3" must clear it
    play({
        {ENTER, 0, "init", 1, 0, 0, "io_cpu_state_init():called"},
        {PORTB, 0x02, "init", 1, 0, 0, "io_cpu_event_init():Got unexpected event 3"},
        {PORTB, 0x00, "init", 1, 0, 0, "io_cpu_event():Event not handled for this state..."},
        {PORTB, 0x01, "init2", 1, 0, 0, "io_cpu_callback():Created a timer of 0.500000"},
        {PORTB, 0x03, "init2", 1, 0, 0, "io_cpu_event():received event in transitionnal state"},
        {RUN, 2500000, "init2", 1, 0, 0, nullptr},
        {RUN, 1, "init3", 0, 1, 0x08, "io_cpu_callback():called phase=2 init3"},
        {RUN, 500, "init3", 0, 1, 0x08, nullptr},
        {RUN, 1, "init4", 0, 0, 0x08, "io_cpu_state_init4():called"},
        {PORTB, 0x01, "init4", 0, 0, 0x08, "io_cpu_event_init4():Got unexpected event 2"},
        {PORTB, 0x03, "wait_ack1", 1, 0, 0x08, "io_cpu_event_init4():called event 3"},
        {PORTB, 0x02, "ready", 0, 0, 0x08, "io_cpu_state_ready():called"},
    });
    EXPECT_FALSE(pending_transition());
}

TEST_F(IoCpu, CommandExchangeWithAcknowledgements)
{
    to_ready();
    play({
        {MAILBOX, 0x09, "ready", 0, 0, 0x09, nullptr},
        {PORTB, 0x03, "command1", 0, 0, 0x09, "io_cpu_state_command1():called START COMMAND : 9"},
        {RUN, 500, "command1", 0, 0, 0x09, nullptr},
        {RUN, 1, "command2", 0, 1, 0x01, "get_7041_byte():KEY(0)=x1"},
        {RUN, 501, "command3", 0, 0, 0x01, nullptr},
        {PORTB, 0x01, "command3", 0, 0, 0x01, "io_cpu_event_command3():Got unexpected event 2"},
        {PORTB, 0x03, "next", 1, 0, 0x01, nullptr},
        {RUN, 500, "next", 1, 0, 0x01, nullptr},
        {RUN, 1, "command2", 0, 1, 0x37, "get_7041_byte():command ended"},
        {RUN, 501, "command3", 0, 0, 0x37, nullptr},
        {PORTB, 0x01, "command3", 0, 0, 0x37, nullptr},
        {PORTB, 0x03, "commack", 1, 1, 0x37, "io_cpu_event_command3():Command as endend..."},
        {RUN, 501, "commack2", 1, 0, 0x37, nullptr},
        {PORTB, 0x02, "ready", 0, 0, 0x37, "io_cpu_event_commack2():called event 0"},
    });
    // The falling B0 cancelled the 5,000-cycle fallback.
    EXPECT_FALSE(pending_transition());
    run(6000);
    EXPECT_STREQ(state(), "ready");
}

TEST_F(IoCpu, BothBitsRisingInOneWrite)
{
    to_ready();
    portb(0x00);   // falling B1: "ready" rejects it
    EXPECT_GE(find_message("io_cpu_event_ready():Got unexpected event 2"), 0);
    clear_log_str();
    portb(0x03);
    EXPECT_STREQ(state(), "command1");
    const int b0 = find_message("io_cpu_event():called phase=5 ready event=<B0 is high>");
    const int b1 = find_message("io_cpu_event():called phase=6 command1 event=<B1 is high>");
    ASSERT_GE(b0, 0);
    ASSERT_GT(b1, b0);
    EXPECT_EQ(messages()[b1 + 1], "io_cpu_event():received event in transitionnal state");
}

TEST_F(IoCpu, Command3RejectsOtherEdgesAndKeepsItsTimeout)
{
    struct Case { bool acknowledge; const char *after; int a0, index; };
    for (const Case &c : {Case{true, "next", 1, 1}, Case{false, "ready", 0, 1}}) {
        SCOPED_TRACE(c.after);
        SetUp();
        to_ready();
        start_command(0x0B);
        // 0x03 -> 0x01 -> 0x00 -> 0x01: B1 low, B0 low, B0 high, all refused.
        for (uint8 v : {0x01, 0x00, 0x01}) portb(v);
        for (int e : {2, 0, 1})
            EXPECT_GE(find_message("io_cpu_event_command3():Got unexpected event " + std::to_string(e)), 0);
        run(500000);   // the clock stood at the entry into "command3"
        EXPECT_STREQ(state(), "command3");
        if (c.acknowledge) portb(0x03);
        else run(1);
        EXPECT_STREQ(state(), c.after);
        EXPECT_EQ(a0(), c.a0);
        EXPECT_EQ(l_7041_index, c.index);   // an abandoned reply stays where it was
    }
}

TEST_F(IoCpu, HostKeys)
{
    // Dropped wherever "ready" is not the state; the code stays latched.
    io_cpu_callback(0);
    play({
        {PORTB, 0x01, "init2", -1, -1, -1, nullptr},
        {KEY, 0x41, "init2", -1, -1, -1, "io_cpu_event():received event in transitionnal state"},
    });
    EXPECT_EQ(l_7041_char, 0x41);

    SetUp();
    to_ready();
    play({
        {KEY, 0x42, "command2", 0, 1, 0x01, "io_cpu_event_ready():KEY"},
        {KEY, 0x43, "command2", 0, 1, 0x01, "io_cpu_event():received event in transitionnal state"},
        {RUN, 501, "command3", 0, 0, 0x01, nullptr},
        {KEY, 0x44, "command3", 0, 0, 0x01, "io_cpu_event_command3():Got unexpected event 5"},
        {PORTB, 0x00, "command3", -1, -1, -1, nullptr},
        {PORTB, 0x02, "next", 1, 0, 0x01, nullptr},
        {RUN, 501, "command2", 0, 1, 0x44, nullptr},   // the latest latched code
    });
    EXPECT_EQ(l_7041_command, 0x100);
    EXPECT_EQ(find_message("io_cpu_state_command1():called START COMMAND : 1"), -1);
}

TEST_F(IoCpu, ResetInCommack)
{
    to_ready();
    start_command(0x42);
    portb(0x01);
    portb(0x03);
    ASSERT_STREQ(state(), "commack");
    const uint8 mailbox = mailbox_val;
    clear_log_str();
    reset_iocpu();
    EXPECT_STREQ(state(), "init");
    EXPECT_EQ(a0(), 1);
    EXPECT_EQ(mailbox_val, mailbox);
    EXPECT_FALSE(pending_transition());
    EXPECT_EQ(find_message("io_cpu_state_init():called"), -1);   // no entry action
    run(10000);
    EXPECT_STREQ(state(), "init");
    portb(0x00);   // B0 falls: "init" refuses it
    portb(0x01);
    EXPECT_STREQ(state(), "init2");
}

TEST_F(IoCpu, TimedTransitions)
{
    struct Case { const char *from; uint32 wait; const char *to; } cases[] = {
        {"init2", 2500000, "init3"}, {"init3", 500, "init4"},       {"command1", 500, "command2"},
        {"next", 500, "command2"},   {"command2", 500, "command3"}, {"command3", 500000, "ready"},
        {"commack", 500, "commack2"}, {"commack2", 5000, "ready"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from);
        SetUp();
        start_7041_command(0x0B);
        io_cpu_callback(get_state_num(c.from));
        EXPECT_GE(find_message(std::string("io_cpu_callback():called phase=") +
                               std::to_string(get_state_num(c.from)) + " " + c.from),
                  0);
        run(c.wait);
        EXPECT_STREQ(state(), c.from);
        run(1);
        EXPECT_STREQ(state(), c.to);
    }
    // The resting and waiting states never move by themselves.
    for (const char *name : {"init", "init4", "wait_ack1", "ready"}) {
        io_cpu_callback(get_state_num(name));
        EXPECT_FALSE(pending_transition()) << name;
    }
}

TEST_F(IoCpu, StateAndEventNames)
{
    struct Name { const char *name; int num; } names[] = {
        {"init", 0}, {"ready", 5}, {"commack2", 11}, {"void", 12}, {"Ready", -1}, {"", -1}, {nullptr, -1},
    };
    for (const Name &n : names) EXPECT_EQ(get_state_num(n.name), n.num) << (n.name ? n.name : "null");
    for (const auto &row : io_cpu_auto)
        if (row.timed_next) { EXPECT_GE(get_state_num(row.timed_next), 0) << row.name; }

    struct Ev { int e; const char *text; } events[] = {
        {EVENT_B0_LOW, "<B0 is low>"}, {EVENT_B0_HIGH, "<B0 is high>"}, {EVENT_B1_LOW, "<B1 is low>"},
        {EVENT_B1_HIGH, "<B1 is high>"}, {EVENT_RESULT, "???"}, {EVENT_KEY, "<key pressed>"}, {7, "???"},
    };
    for (const Ev &e : events) EXPECT_STREQ(get_event_str((io_cpu_event)e.e), e.text);
}

TEST_F(IoCpu, MailboxAndPowerOn)
{
    write_mailbox(0x1AB);
    EXPECT_EQ(program_read_byte_8(0x0130), 0xAB);
    to_ready();
    start_command(0x0B);
    send_key(0x20);
    io_cpu_power_on();
    EXPECT_EQ(cur_state, 0);
    EXPECT_EQ(mailbox_val, 0);
    EXPECT_EQ(l_7041_command, -1);
    EXPECT_EQ(l_7041_index, -1);
    EXPECT_EQ(l_7041_char, 0x37);
    EXPECT_FALSE(pending_transition());
}

// ---------------------------------------------------------------------------
// Command replies.

namespace {

std::vector<uint8> reply(int code, int limit = 5000)
{
    start_7041_command(code);
    std::vector<uint8> bytes;
    while (!finish_7041_command() && (int)bytes.size() < limit) bytes.push_back(get_7041_byte());
    return bytes;
}

}  // namespace

TEST_F(IoCpu, KeyAndUnknownCommands)
{
    struct Case { int code; std::vector<uint8> bytes; } cases[] = {
        {0x08, {0x01, 0x37}}, {0x09, {0x01, 0x37}}, {0x100, {0x01, 0x37}},
        {0x00, {0x55}},       {0x0A, {0x55}},       {0xFF, {0x55}},  {0x0C, {0x55}},
    };
    for (const Case &c : cases) EXPECT_EQ(reply(c.code), c.bytes) << c.code;
    EXPECT_GE(find_message("get_7041_byte():KEY(1)=x37"), 0);
    EXPECT_GE(find_message("get_7041_byte():Command not handled 255"), 0);

    io_cpu_callback(0);
    send_key(0x141);   // refused by "init", still latched (low 8 bits)
    EXPECT_EQ(reply(0x09), (std::vector<uint8>{0x01, 0x41}));

    // Past the end of a reply nothing is read out of the tables.
    EXPECT_EQ(get_7041_byte(), 0x55);
    EXPECT_EQ(l_7041_index, -1);
}

TEST_F(IoCpu, CharReply)
{
    reply(0x0B, 1);   // the ring keeps only the last 1000 lines of a whole reply
    EXPECT_GE(find_message("get_7041_byte():CHAR(-3)=x7"), 0);
    const auto bytes = reply(0x0B);
    ASSERT_EQ(bytes.size(), 1283u);
    EXPECT_EQ(bytes[0], 0x07);
    EXPECT_EQ(bytes[1], 0x04);
    EXPECT_EQ(bytes[2], 0xFF);
    for (int glyph = 0; glyph < 128; glyph++)
        for (int row = 0; row < 10; row++)
            ASSERT_EQ(bytes[3 + glyph * 10 + 9 - row], fontdata[glyph * 10 + row]) << glyph << "/" << row;
    const std::vector<uint8> a(bytes.begin() + 653, bytes.begin() + 663);
    EXPECT_EQ(a, (std::vector<uint8>{0x00, 0x00, 0x88, 0x88, 0x88, 0xF8, 0x88, 0x88, 0x70, 0x00}));
    EXPECT_EQ(finish_7041_command(), 1);
    EXPECT_GE(find_message("get_7041_byte():command ended"), 0);
}

TEST_F(IoCpu, LogoReplyAndRestart)
{
    reply(0x0D, 4);
    EXPECT_GE(find_message("get_7041_byte():LOGO(0)=x3f"), 0);
    const auto bytes = reply(0x0D);
    ASSERT_EQ(bytes.size(), 995u);
    const std::vector<uint8> head(bytes.begin(), bytes.begin() + 19);
    const std::vector<uint8> tail(bytes.end() - 16, bytes.end());
    EXPECT_EQ(head, (std::vector<uint8>{0x07, 0x03, 0xDF, 0x3F, 0x00, 0x38, 0x38, 0x48, 0x38, 0x38, 0x08,
                                        0x48, 0x80, 0xC7, 0x38, 0x38, 0x08, 0x48, 0x30}));
    EXPECT_EQ(tail, (std::vector<uint8>{0x38, 0x68, 0x20, 0x68, 0x80, 0xFF, 0x3C, 0x22, 0x22, 0x22, 0x3C,
                                        0x20, 0x20, 0x00, 0x00, 0x00}));

    // A new command in the middle of a reply starts from its own first byte.
    EXPECT_EQ(reply(0x0B, 100).size(), 100u);
    EXPECT_EQ(reply(0x09), (std::vector<uint8>{0x01, 0x37}));
    EXPECT_EQ(reply(0x0D, 500).size(), 500u);
    EXPECT_EQ(reply(0x0B, 3), (std::vector<uint8>{0x07, 0x04, 0xFF}));
}

// ---------------------------------------------------------------------------
// The data.

TEST(IoCpuData, FontRows)
{
    struct Glyph { int code; std::vector<uint8> rows; } given[] = {
        {0x21, {0x00, 0x20, 0x20, 0x20, 0x20, 0x20, 0x00, 0x20, 0x00, 0x00}},
        {0x30, {0x00, 0x20, 0x50, 0x88, 0x88, 0x88, 0x50, 0x20, 0x00, 0x00}},
        {0x41, {0x00, 0x70, 0x88, 0x88, 0xF8, 0x88, 0x88, 0x88, 0x00, 0x00}},
        {0x5F, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x00}},
        {0x61, {0x00, 0x00, 0x00, 0x70, 0x08, 0x78, 0x88, 0x78, 0x00, 0x00}},
        {0x67, {0x00, 0x00, 0x00, 0x78, 0x88, 0x88, 0x78, 0x08, 0x88, 0x70}},
    };
    for (const Glyph &g : given)
        EXPECT_EQ(std::vector<uint8>(fontdata + g.code * 10, fontdata + g.code * 10 + 10), g.rows) << g.code;

    std::vector<std::vector<uint8>> seen;
    for (int c = 0; c < 128; c++) {
        const std::vector<uint8> rows(fontdata + c * 10, fontdata + c * 10 + 10);
        const bool blank = rows == std::vector<uint8>(10, 0);
        EXPECT_EQ(blank, c <= 0x20 || c >= 0x7E) << c;
        for (uint8 r : rows) EXPECT_EQ(r & 0x07, 0) << c;   // 5 pixels wide
        const bool tall = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (tall) {
            EXPECT_EQ(rows[0] | rows[9], 0) << c;
            EXPECT_EQ(rows[8] != 0, c == 'Q') << c;
        }
        if (!blank) {   // no two glyphs drawn alike
            for (const auto &s : seen) EXPECT_NE(s, rows) << c;
            seen.push_back(rows);
        }
    }
    for (int c : {',', 'g', 'j', 'p', 'q', 'y', '_'}) EXPECT_NE(fontdata[c * 10 + 8], 0) << c;
}

TEST(IoCpuData, LogoLayout)
{
    // Rows 1..60 are drawn in 2 x 2 blocks: odd rows repeat into the next
    // row and every pixel pair of a byte is equal.
    int ink = 0;
    for (int row = 1; row <= 60; row++)
        for (int b = 0; b < 16; b++) {
            const uint8 v = logodata[row * 16 + b];
            if (row % 2 == 1) { EXPECT_EQ(v, logodata[(row + 1) * 16 + b]) << row << "/" << b; }
            EXPECT_EQ(v & 0xAA, (v << 1) & 0xAA) << row << "/" << b;
            ink += __builtin_popcount(v);
        }
    EXPECT_GT(ink, 1000);   // the word is really there
    for (int b = 0; b < 16; b++) {
        EXPECT_EQ(logodata[1 * 16 + b], 0);    // background under the top rule
        EXPECT_EQ(logodata[57 * 16 + b], b == 0 ? 0x0F : b == 15 ? 0xF0 : 0xFF);   // underline
    }
}
