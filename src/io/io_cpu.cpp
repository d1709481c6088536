// The TMS7041 I/O processor as the main processor observes it. It is not
// run instruction by instruction: a 13-row state table reproduces its side
// of the handshake (mailbox at 0x0130, port B bits 0/1 in, port A bit 0 and
// INT1 out) and serves the replies of its commands (key code, character set,
// logo). Port B edges arrive as events from the bus inside the CPU's port
// write; timed transitions are emulated-time timers with tag 16 that fire
// between two instructions. The character set and logo bytes live in
// iocpu_data.cpp.
#include "io/io_cpu.h"

#include <cstring>

#include "cpu/tms7000.h"
#include "mem/memory.h"
#include "time/timer.h"

static constexpr int IO_CPU_TIMER_TAG = 16;   // tag of the state machine's one timer

int cur_state = 0;          // row of io_cpu_auto the machine is in
uint8 mailbox_val = 0;      // the byte both processors share at 0x0130

int l_7041_command = -1;    // code of the running command
int l_7041_index = -1;      // position of the next reply byte; -1: reply complete
char l_7041_char = 0x37;    // last key code handed in by send_key

// ---------------------------------------------------------------------------
// Signals towards the main processor.

static inline void a0_low() { and_porta(0xFE); }
static inline void a0_high() { or_porta(0x01); }
static inline void int1_assert() { tms7000_set_irq_line(TMS7000_IRQ1_LINE, ASSERT_LINE); }
static inline void int1_release() { tms7000_set_irq_line(TMS7000_IRQ1_LINE, CLEAR_LINE); }

// ---------------------------------------------------------------------------
// Entry actions. Each returns -1: the timed transition goes to the row's
// timed_next.

static int io_cpu_state_init()
{
    TRACE_FUNC("io_cpu_state_init()");
    TRACE("called");
    return -1;
}

static int io_cpu_state_init3()
{
    TRACE_FUNC("io_cpu_state_init3()");
    TRACE("called");
    set_mailbox(0x08);
    a0_low();
    int1_assert();
    return -1;
}

static int io_cpu_state_init4()
{
    TRACE_FUNC("io_cpu_state_init4()");
    TRACE("called");
    int1_release();
    return -1;
}

static int io_cpu_state_ack1()
{
    TRACE_FUNC("io_cpu_state_ack1()");
    TRACE("called");
    return -1;
}

static int io_cpu_state_ready()
{
    TRACE_FUNC("io_cpu_state_ready()");
    TRACE("called");
    a0_low();
    return -1;
}

static int io_cpu_state_command1()
{
    TRACE_FUNC("io_cpu_state_command1()");
    const uint8 code = read_mailbox();
    TRACE_ALWAYS("called START COMMAND : %x", code);
    start_7041_command(code);
    return -1;
}

static int io_cpu_state_command2()
{
    set_mailbox(get_7041_byte());
    a0_low();
    int1_assert();
    return -1;
}

static int io_cpu_state_command3()
{
    int1_release();
    return -1;
}

static int io_cpu_state_commack()
{
    a0_high();
    int1_assert();
    return -1;
}

static int io_cpu_state_commack2()
{
    int1_release();
    return -1;
}

// ---------------------------------------------------------------------------
// Event handlers: the number of the state to enter, or -1 to stay.

static int io_cpu_event_init(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_init()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B0_HIGH) return get_state_num("init2");
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

static int io_cpu_event_init4(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_init4()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B1_HIGH) {
        a0_high();
        return get_state_num("wait_ack1");
    }
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

static int io_cpu_event_ack1(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_ack1()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B0_LOW) return get_state_num("ready");
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

static int io_cpu_event_ready(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_ready()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B0_HIGH) return get_state_num("command1");
    if (event == EVENT_KEY) {
        // A host key goes straight to the reply: the mailbox is not read.
        start_7041_command(0x100);
        TRACE_ALWAYS("KEY");
        return get_state_num("command2");
    }
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

static int io_cpu_event_command3(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_command3()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B1_HIGH) {
        a0_high();
        if (finish_7041_command()) {
            TRACE("Command as endend...");
            return get_state_num("commack");
        }
        return get_state_num("next");
    }
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

static int io_cpu_event_commack2(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event_commack2()");
    TRACE("called event %d", (int)event);
    if (event == EVENT_B0_LOW) {
        a0_low();
        return get_state_num("ready");
    }
    TRACE_ALWAYS("Got unexpected event %d", (int)event);
    return -1;
}

// ---------------------------------------------------------------------------
// The state table; a state's number is its row.

const generic_auto_state io_cpu_auto[IO_CPU_STATES] = {
    /*  0 */ {"init",      io_cpu_state_init,     io_cpu_event_init,     nullptr,    0.0},
    /*  1 */ {"init2",     nullptr,               nullptr,               "init3",    0.5},
    /*  2 */ {"init3",     io_cpu_state_init3,    nullptr,               "init4",    0.0001},
    /*  3 */ {"init4",     io_cpu_state_init4,    io_cpu_event_init4,    nullptr,    0.0},
    /*  4 */ {"wait_ack1", io_cpu_state_ack1,     io_cpu_event_ack1,     nullptr,    0.0},
    /*  5 */ {"ready",     io_cpu_state_ready,    io_cpu_event_ready,    nullptr,    0.0},
    /*  6 */ {"command1",  io_cpu_state_command1, nullptr,               "command2", 0.0001},
    /*  7 */ {"next",      nullptr,               nullptr,               "command2", 0.0001},
    /*  8 */ {"command2",  io_cpu_state_command2, nullptr,               "command3", 0.0001},
    /*  9 */ {"command3",  io_cpu_state_command3, io_cpu_event_command3, "ready",    0.1},
    /* 10 */ {"commack",   io_cpu_state_commack,  nullptr,               "commack2", 0.0001},
    /* 11 */ {"commack2",  io_cpu_state_commack2, io_cpu_event_commack2, "ready",    0.001},
    /* 12 */ {"void",      nullptr,               nullptr,               nullptr,    0.0},
};

// ---------------------------------------------------------------------------
// Entering states and delivering events.

void io_cpu_callback(int state)
{
    TRACE_FUNC("io_cpu_callback()");
    // Every number passed here comes from the table itself; a number outside
    // it (a broken table) is refused rather than read past the rows.
    if (state < 0 || state >= IO_CPU_STATES) {
        TRACE_ALWAYS("no state %d", state);
        return;
    }
    const generic_auto_state &row = io_cpu_auto[state];
    TRACE("called phase=%d %s", state, row.name);
    cur_state = state;

    int target = -1;
    if (row.func) target = row.func();
    if (target == -1) target = get_state_num(row.timed_next);

    // At most one timed transition is pending, and it belongs to the state
    // just entered.
    orlo_timer_remove(IO_CPU_TIMER_TAG);
    if (row.timed_next) {
        TRACE("Created a timer of %f", row.wait);
        orlo_timer_create(io_cpu_callback, target, IO_CPU_TIMER_TAG, double2time(row.wait));
    }
}

void io_cpu_event_callback(io_cpu_event event)
{
    TRACE_FUNC("io_cpu_event()");
    const generic_auto_state &row = io_cpu_auto[cur_state];
    TRACE("called phase=%d %s event=%s", cur_state, row.name, get_event_str(event));
    if (!row.event_dispatch) {
        TRACE("received event in transitionnal state");
        return;
    }
    const int next = row.event_dispatch(event);
    if (next != -1) {
        io_cpu_callback(next);
        return;
    }
    TRACE("Event not handled for this state...");
}

void reset_iocpu()
{
    // A0, the mailbox and the command stay; the CPU's own reset has already
    // cleared its interrupt lines.
    cur_state = 0;
    orlo_timer_remove(IO_CPU_TIMER_TAG);
}

void io_cpu_power_on()
{
    cur_state = 0;
    mailbox_val = 0;
    l_7041_command = -1;
    l_7041_index = -1;
    l_7041_char = 0x37;
    orlo_timer_remove(IO_CPU_TIMER_TAG);
}

int get_state_num(const char *state_name)
{
    if (!state_name) return -1;
    for (int i = 0; i < IO_CPU_STATES; i++)
        if (strcmp(io_cpu_auto[i].name, state_name) == 0) return i;
    return -1;
}

const char *get_event_str(io_cpu_event event)
{
    switch (event) {
    case EVENT_B0_LOW: return "<B0 is low>";
    case EVENT_B0_HIGH: return "<B0 is high>";
    case EVENT_B1_LOW: return "<B1 is low>";
    case EVENT_B1_HIGH: return "<B1 is high>";
    case EVENT_KEY: return "<key pressed>";
    default: return "???";
    }
}

uint8 read_mailbox() { return mailbox_val; }
void write_mailbox(int val) { mailbox_val = (uint8)(val & 0xFF); }
void set_mailbox(int val) { mailbox_val = (uint8)(val & 0xFF); }

// ---------------------------------------------------------------------------
// Commands. A reply is a three-byte header or none, then its data; the
// index walks the reply and becomes -1 after its last byte.

static constexpr int CHAR_REPLY_LEN = 3 + 1280;
static constexpr int LOGO_REPLY_LEN = 3 + 992;
static constexpr int KEY_REPLY_LEN = 2;
static constexpr uint8 CHAR_HEADER[3] = {0x07, 0x04, 0xFF};   // 0x04FF = 1279: data bytes - 1
static constexpr uint8 LOGO_HEADER[3] = {0x07, 0x03, 0xDF};   // 0x03DF = 991
static constexpr uint8 UNKNOWN_REPLY = 0x55;

void start_7041_command(int val)
{
    l_7041_command = val;
    l_7041_index = 0;
}

int finish_7041_command() { return l_7041_index == -1 ? 1 : 0; }

void send_key(int c)
{
    // The code stays latched even when the current state drops the event.
    l_7041_char = (char)(c & 0xFF);
    io_cpu_event_callback(EVENT_KEY);
}

// Advances the reply position; after the last of `len` bytes the reply is
// complete.
static inline bool advance(int len)
{
    l_7041_index++;
    if (l_7041_index < len) return false;
    l_7041_index = -1;
    return true;
}

uint8 get_7041_byte()
{
    TRACE_FUNC("get_7041_byte()");
    const int p = l_7041_index;
    uint8 byte;

    // No reply in progress: only reachable by a caller outside the state
    // machine (which always starts a command before its first byte). Answer
    // like an unknown command instead of indexing the data with -1.
    if (p < 0) {
        TRACE_ALWAYS("no reply in progress (command %d)", l_7041_command);
        return UNKNOWN_REPLY;
    }

    switch (l_7041_command) {
    case 0x0B: {   // CHAR: each glyph travels bottom row first
        const int k = p - 3;
        if (p < 3) byte = CHAR_HEADER[p];
        else byte = fontdata[(k / 10) * 10 + 9 - (k % 10)];
        TRACE("CHAR(%d)=x%x", k, byte);
        if (advance(CHAR_REPLY_LEN)) TRACE_ALWAYS("command ended");
        return byte;
    }
    case 0x0D: {   // LOGO: the logo bytes in table order
        if (p < 3) byte = LOGO_HEADER[p];
        else byte = logodata[p - 3];
        TRACE("LOGO(%d)=x%x", p - 3, byte);
        if (advance(LOGO_REPLY_LEN)) TRACE_ALWAYS("command ended");
        return byte;
    }
    case 0x08:
    case 0x09:
    case 0x100:    // KEY: a marker, then the latched key code
        byte = p == 0 ? 0x01 : (uint8)l_7041_char;
        TRACE_ALWAYS("KEY(%d)=x%x", p, byte);
        if (advance(KEY_REPLY_LEN)) TRACE_ALWAYS("command ended");
        return byte;
    default:
        TRACE_ALWAYS("Command not handled %d", l_7041_command);
        l_7041_index = -1;
        return UNKNOWN_REPLY;
    }
}
