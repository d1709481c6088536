// PLACEHOLDER: replaced by the I/O processor.
#include "io/io_cpu.h"
const generic_auto_state io_cpu_auto[IO_CPU_STATES] = {};
int cur_state;
uint8 mailbox_val;
void io_cpu_callback(int) {}
void io_cpu_event_callback(io_cpu_event) {}
void reset_iocpu() {}
int get_state_num(const char *) { return -1; }
const char *get_event_str(io_cpu_event) { return "???"; }
uint8 read_mailbox() { return mailbox_val; }
void write_mailbox(int v) { mailbox_val = (uint8)v; }
void set_mailbox(int v) { mailbox_val = (uint8)v; }
int l_7041_command = -1, l_7041_index = -1;
char l_7041_char = 0x37;
const uint8 fontdata[1280] = {};
const uint8 logodata[992] = {};
void start_7041_command(int) {}
uint8 get_7041_byte() { return 0; }
int finish_7041_command() { return 1; }
void send_key(int) {}
void io_cpu_power_on() {}
