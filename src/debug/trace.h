// Trace log: one-line messages tagged with the emulated program counter and
// the writing function's name, written to "trace.log" and kept in a ring of
// the last 1000 lines for the debugger's log box. "debug.lst" (read once, at
// the first look-up) names the functions whose routine messages are written.
//
// "trace.log" is bounded: when a line would take it past TRACE_LOG_LIMIT
// bytes, the file is renamed "trace.log.1" (replacing an older one) and a new
// "trace.log" is started, so the two files always hold the newest lines and
// never more than twice the limit. A "trace.log.1" left by an earlier run is
// removed at start.
#pragma once

#include "config.h"

constexpr int TRACE_RING_LINES = 1000;
constexpr int TRACE_LINE_SIZE = 256;       // a ring slot: 255 characters and NUL
constexpr int DEBUG_LIST_MAX = 100;        // names taken from debug.lst
constexpr int DEBUG_NAME_SIZE = 64;        // a name: 63 characters and NUL
constexpr long long TRACE_LOG_LIMIT = 128ll << 20;   // bytes of one trace.log

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
// The only ways to change g_notrace: they also tell the modules that keep a
// fast path of their own (the bus) that tracing was switched.
void no_trace();
void restore_trace();
void set_trace_time(int a_time);

// Called by no_trace and restore_trace after g_notrace changed (at most 4).
void trace_add_switch_hook(void (*hook)());

// Problems of the trace files, for the programs to report: null when there
// is none. trace_list_problem: "debug.lst" exists but is not a regular file
// that can be read (a directory, a FIFO, no permission); it is then not read
// and nothing is listed. trace_log_problem: "trace.log" could not be
// created, written or rotated; lines then reach only the ring. Both texts
// name the file and say why.
const char *trace_list_problem();
const char *trace_log_problem();
// Flushes "trace.log" and reports a write failure as trace_log_problem does.
void trace_flush();
// For a program that ends or starts a run: flushes the log, then returns
// the list's problem, or the log's when the run asked for trace lines
// (debug.lst lists a function, or `dump_wanted`: the per-instruction
// listing); null when the trace is as asked.
const char *trace_run_problem(bool dump_wanted);

// The size at which trace.log is rotated (TRACE_LOG_LIMIT unless a test
// sets a small one).
void trace_set_log_limit(long long bytes);

// Text of ring slot `index` (0..999), for tests and tools.
const char *trace_log_slot(int index);
