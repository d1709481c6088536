// The TMS7041 I/O processor as the main processor sees it: a table-driven
// protocol state machine behind a one-byte mailbox, port B bits 0/1, port A
// bit 0 and INT1, serving key codes, the character set and the logo.
#pragma once

#include "config.h"

enum io_cpu_event {
    EVENT_B0_LOW = 0,
    EVENT_B0_HIGH = 1,
    EVENT_B1_LOW = 2,
    EVENT_B1_HIGH = 3,
    EVENT_RESULT = 4,
    EVENT_KEY = 5,
};

typedef struct _generic_auto_state {
    const char *name;                      // the state's name
    int (*func)();                         // entry action, or null
    int (*event_dispatch)(io_cpu_event);   // event handler, or null
    const char *timed_next;                // state entered after `wait`, or null
    double wait;                           // seconds
} generic_auto_state;

constexpr int IO_CPU_STATES = 13;
extern const generic_auto_state io_cpu_auto[IO_CPU_STATES];
extern int cur_state;
extern uint8 mailbox_val;

void io_cpu_callback(int state);
void io_cpu_event_callback(io_cpu_event event);
void reset_iocpu();
int get_state_num(const char *state_name);
const char *get_event_str(io_cpu_event event);
uint8 read_mailbox();
void write_mailbox(int val);
void set_mailbox(int val);

// Commands and their data.
extern int l_7041_command;
extern int l_7041_index;
extern char l_7041_char;
extern const uint8 fontdata[1280];
extern const uint8 logodata[992];

void start_7041_command(int val);
uint8 get_7041_byte();
int finish_7041_command();
void send_key(int c);

// Power-on state: state 0 without running its entry action, mailbox 0, no
// command, key latch 0x37, no pending timed transition.
void io_cpu_power_on();
