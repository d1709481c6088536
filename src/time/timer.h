// Emulated clock and one-shot timers. Time is counted in main-processor
// cycles: 5,000,000 subseconds make one emulated second.
#pragma once

#include "config.h"

constexpr uint32 ORLO_SUBSECONDS = 5000000;

struct orlo_time {
    uint32 seconds;
    uint32 subseconds;   // 0 .. 4,999,999
};

typedef struct _orlo_timer {
    int32 tag;
    void (*callback)(int);
    int32 callback_param;
    orlo_time start;
    orlo_time expire;
} orlo_timer;

constexpr int ORLO_TIMER_SLOTS = 32;
extern orlo_timer timer_tab[ORLO_TIMER_SLOTS];
extern int g_timer_num;
extern orlo_time g_timer_clock;

orlo_time orlo_timer_add(orlo_time t1, orlo_time t2);
int orlo_timer_cmp(orlo_time t1, orlo_time t2);
int orlo_timer_create(void (*callback)(int), int callback_param, int tag, orlo_time delta);
void orlo_timer_update_clock(orlo_time delta);
// The clock in cycles.
inline uint64 orlo_timer_cycles() { return (uint64)g_timer_clock.seconds * ORLO_SUBSECONDS + g_timer_clock.subseconds; }

// The emulation loop advances the clock lazily. While `counter` is set (a
// count that falls by the cycles each pass consumes), the clock is
// g_timer_clock plus the (base - *counter) cycles not yet added; every
// function of this module that reads or changes the clock or the table
// adds them first (orlo_clock_commit), so nothing can see the difference.
// The loop looks at the timers only when the count falls below `due`: when
// the first expiry is passed, or after the table changed (INT32_MAX).
struct orlo_lazy_clock {
    const int32 *counter;   // null: g_timer_clock is the clock
    int32 base;
    int32 due;
};
extern orlo_lazy_clock orlo_lazy;
// Adds the pending cycles to g_timer_clock.
void orlo_clock_commit();
// Starts (counter) or ends (null) lazy counting, the clock committed first;
// a new base: the count from which the next cycles are counted.
void orlo_clock_lazy(const int32 *counter, int32 base);
// Recomputes `due` from the table and the committed clock.
void orlo_clock_update_due();
void orlo_check_timers();
int orlo_timer_remove(int tag);
double orlo_timer_get_elapsed_time(int tag);
double orlo_timer_get_left_time(int tag);
orlo_time orlo_get_time();
double orlo_get_time_double();
orlo_time double2time(double t);
