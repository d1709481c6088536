// Emulated clock and a fixed table of 32 one-shot timers. The table is kept
// in creation order, disturbed by removals (the last live entry moves into a
// freed slot); at most one expired timer fires per check.
#include "time/timer.h"

orlo_timer timer_tab[ORLO_TIMER_SLOTS];
int g_timer_num = 0;
orlo_time g_timer_clock = {0, 0};
orlo_lazy_clock orlo_lazy = {nullptr, 0, INT32_MIN};

void orlo_clock_commit()
{
    if (!orlo_lazy.counter) return;
    // Negative between a new base and the end of the loop's next pass: the
    // cycles taken outside a pass (an interrupt entered between two) do
    // not advance the clock.
    const int32 pending = orlo_lazy.base - *orlo_lazy.counter;
    if (pending <= 0) return;
    orlo_lazy.base = *orlo_lazy.counter;
    // As the passes would have added them one by one (each below a second).
    uint32 subseconds = g_timer_clock.subseconds + (uint32)pending;
    while (subseconds >= ORLO_SUBSECONDS) {
        subseconds -= ORLO_SUBSECONDS;
        g_timer_clock.seconds++;
    }
    g_timer_clock.subseconds = subseconds;
}

void orlo_clock_lazy(const int32 *counter, int32 base)
{
    orlo_clock_commit();
    orlo_lazy.counter = counter;
    orlo_lazy.base = base;
    orlo_clock_update_due();
}

static int64 cycles_of(orlo_time t) { return (int64)t.seconds * ORLO_SUBSECONDS + t.subseconds; }

void orlo_clock_update_due()
{
    orlo_clock_commit();
    if (!orlo_lazy.counter || g_timer_num == 0) {
        orlo_lazy.due = INT32_MIN;
        return;
    }
    // A timer fires once the clock is later than its expiry: after more
    // than `left` further cycles.
    int64 left = INT64_MAX;
    for (int i = 0; i < g_timer_num; i++) {
        const int64 d = cycles_of(timer_tab[i].expire) - cycles_of(g_timer_clock);
        if (d < left) left = d;
    }
    const int64 due = (int64)orlo_lazy.base - left;
    orlo_lazy.due = left < 0 || due > INT32_MAX ? INT32_MAX : due < INT32_MIN ? INT32_MIN : (int32)due;
}

orlo_time orlo_timer_add(orlo_time t1, orlo_time t2)
{
    orlo_time r;
    r.seconds = t1.seconds + t2.seconds;
    r.subseconds = t1.subseconds + t2.subseconds;
    if (r.subseconds >= ORLO_SUBSECONDS) {
        r.subseconds -= ORLO_SUBSECONDS;
        r.seconds++;
    }
    return r;
}

int orlo_timer_cmp(orlo_time t1, orlo_time t2)
{
    if (t1.seconds != t2.seconds) return t1.seconds > t2.seconds ? 1 : -1;
    if (t1.subseconds != t2.subseconds) return t1.subseconds > t2.subseconds ? 1 : -1;
    return 0;
}

int orlo_timer_create(void (*callback)(int), int callback_param, int tag, orlo_time delta)
{
    TRACE_FUNC("orlo_timer_create()");
    orlo_clock_commit();
    orlo_lazy.due = INT32_MAX;
    if (g_timer_num >= ORLO_TIMER_SLOTS) {
        TRACE_ALWAYS("Cannot allocate timer !!!");
        return 1;
    }
    TRACE("Create timer %d", tag);
    orlo_timer &t = timer_tab[g_timer_num];
    t.callback = callback;
    t.callback_param = callback_param;
    t.tag = tag;
    t.start = g_timer_clock;
    t.expire = orlo_timer_add(g_timer_clock, delta);
    g_timer_num++;
    return 0;
}

void orlo_timer_update_clock(orlo_time delta)
{
    orlo_clock_commit();
    g_timer_clock = orlo_timer_add(g_timer_clock, delta);
}

// Removes slot i by moving the last live entry into it.
static void remove_slot(int i)
{
    if (i != g_timer_num - 1) timer_tab[i] = timer_tab[g_timer_num - 1];
    g_timer_num--;
}

void orlo_check_timers()
{
    if (g_timer_num == 0) return;   // the common case on the per-instruction path
    TRACE_FUNC("orlo_check_timers()");
    orlo_clock_commit();
    orlo_lazy.due = INT32_MAX;   // looked at again after the check
    for (int i = 0; i < g_timer_num; i++) {
        if (orlo_timer_cmp(g_timer_clock, timer_tab[i].expire) != 1) continue;
        TRACE("Timer %d elapsed", timer_tab[i].tag);
        void (*callback)(int) = timer_tab[i].callback;
        int param = timer_tab[i].callback_param;
        remove_slot(i);
        // The entry is gone before the callback runs, so the callback may
        // create and remove timers freely.
        callback(param);
        return;
    }
}

int orlo_timer_remove(int tag)
{
    TRACE_FUNC("orlo_timer_remove()");
    orlo_lazy.due = INT32_MAX;
    int removed = 0;
    for (int i = 0; i < g_timer_num;) {
        if (timer_tab[i].tag == tag) {
            remove_slot(i);   // the moved-in entry is examined next
            removed++;
        } else {
            i++;
        }
    }
    if (removed) TRACE("removed %d timers tag 0x%x", removed, tag);
    return removed;
}

static double to_seconds(orlo_time t) { return t.seconds + (double)t.subseconds / ORLO_SUBSECONDS; }

static const orlo_timer *find_tag(int tag)
{
    for (int i = 0; i < g_timer_num; i++)
        if (timer_tab[i].tag == tag) return &timer_tab[i];
    return nullptr;
}

double orlo_timer_get_elapsed_time(int tag)
{
    TRACE_FUNC("orlo_timer_get_elapsed_time()");
    orlo_clock_commit();
    const orlo_timer *t = find_tag(tag);
    return t ? to_seconds(g_timer_clock) - to_seconds(t->start) : 0.0;
}

double orlo_timer_get_left_time(int tag)
{
    TRACE_FUNC("orlo_timer_get_left_time()");
    orlo_clock_commit();
    const orlo_timer *t = find_tag(tag);
    if (!t) return 0.0;
    double left = to_seconds(t->expire) - to_seconds(g_timer_clock);
    return left > 0.0 ? left : 0.0;
}

orlo_time orlo_get_time()
{
    orlo_clock_commit();
    return g_timer_clock;
}

double orlo_get_time_double()
{
    orlo_clock_commit();
    return to_seconds(g_timer_clock);
}

orlo_time double2time(double t)
{
    TRACE_FUNC("double2time");
    orlo_time r;
    r.seconds = (uint32)(int64)t;
    r.subseconds = (uint32)((t - (int64)t) * ORLO_SUBSECONDS);
    TRACE("double %f = %d %d", t, (int)r.seconds, (int)r.subseconds);
    return r;
}
