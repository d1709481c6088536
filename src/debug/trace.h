// Trace log: one-line messages tagged with the emulated program counter and
// the writing function's name, written to "trace.log" and kept in a ring of
// the last 1000 lines for the debugger's log box. "debug.lst" (read once, at
// the first look-up) names the functions whose routine messages are written.
#pragma once

#include "config.h"

constexpr int TRACE_RING_LINES = 1000;
constexpr int TRACE_LINE_SIZE = 256;       // a ring slot: 255 characters and NUL
constexpr int DEBUG_LIST_MAX = 100;        // names taken from debug.lst
constexpr int DEBUG_NAME_SIZE = 64;        // a name: 63 characters and NUL

extern char debug_func_list[DEBUG_LIST_MAX][DEBUG_NAME_SIZE];
extern int debug_func_list_size;
extern int trace_init_flag;
extern char *trace_log_tab;   // TRACE_RING_LINES slots of TRACE_LINE_SIZE bytes
extern int trace_log_next;
extern int trace_log_size;

void init_trace();
int deinit_trace();
void get_log_str(char *str, int str_size);
void clear_log_str();
void no_trace();
void restore_trace();
void set_trace_time(int a_time);

// Text of ring slot `index` (0..999), for tests and tools.
const char *trace_log_slot(int index);
