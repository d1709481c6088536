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
// orlo_timer_update_clock({0, cycles}) for the emulation loop's every pass
// (cycles below one second): `subseconds` is g_timer_clock.subseconds, which
// the loop keeps in a register; returns the new value, also stored.
inline uint32 orlo_timer_advance(uint32 subseconds, uint32 cycles)
{
    subseconds += cycles;
    if (subseconds >= ORLO_SUBSECONDS) [[unlikely]] {
        subseconds -= ORLO_SUBSECONDS;
        g_timer_clock.seconds++;
    }
    g_timer_clock.subseconds = subseconds;
    return subseconds;
}
// The clock in cycles.
inline uint64 orlo_timer_cycles() { return (uint64)g_timer_clock.seconds * ORLO_SUBSECONDS + g_timer_clock.subseconds; }
void orlo_check_timers();
int orlo_timer_remove(int tag);
double orlo_timer_get_elapsed_time(int tag);
double orlo_timer_get_left_time(int tag);
orlo_time orlo_get_time();
double orlo_get_time_double();
orlo_time double2time(double t);
