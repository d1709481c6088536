// Emulated clock and one-shot timers: arithmetic, firing order, removal,
// queries and the full table.
#include <gtest/gtest.h>

#include <vector>

#include "time/timer.h"

namespace {

std::vector<int> fired;
void record(int param) { fired.push_back(param); }

// Creates a timer from inside its callback, with the same tag.
void rearm(int param)
{
    fired.push_back(param);
    orlo_timer_create(record, param + 100, 16, {0, 0});
}

class Timers : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_timer_num = 0;
        g_timer_clock = {0, 0};
        fired.clear();
    }
    void advance(uint32 cycles)
    {
        orlo_timer_update_clock({0, cycles});
        orlo_check_timers();
    }
};

}  // namespace

TEST(TimerArithmetic, AddAndCompare)
{
    struct Case { orlo_time a, b, sum; } adds[] = {
        {{0, 4999999}, {0, 1}, {1, 0}},
        {{2, 3000000}, {0, 2000000}, {3, 0}},
        {{0, 2499999}, {0, 2500000}, {0, 4999999}},
        {{1, 4999999}, {1, 4999999}, {3, 4999998}},
    };
    for (const auto &c : adds) {
        orlo_time s = orlo_timer_add(c.a, c.b);
        EXPECT_EQ(s.seconds, c.sum.seconds);
        EXPECT_EQ(s.subseconds, c.sum.subseconds);
    }
    EXPECT_EQ(orlo_timer_cmp({1, 0}, {0, 4999999}), 1);
    EXPECT_EQ(orlo_timer_cmp({0, 5}, {0, 6}), -1);
    EXPECT_EQ(orlo_timer_cmp({3, 7}, {3, 7}), 0);
    EXPECT_EQ(orlo_timer_cmp({0xFFFFFFFFu, 0}, {0, 0}), 1);   // unsigned seconds
}

TEST(TimerArithmetic, DoubleToTime)
{
    struct Case { double t; uint32 s, sub; } cases[] = {
        {0.5, 0, 2500000}, {0.1, 0, 500000}, {0.001, 0, 5000}, {0.0001, 0, 500}, {1.25, 1, 1250000}, {0.0, 0, 0},
    };
    for (const auto &c : cases) {
        orlo_time t = double2time(c.t);
        EXPECT_EQ(t.seconds, c.s) << c.t;
        EXPECT_EQ(t.subseconds, c.sub) << c.t;
    }
}

TEST_F(Timers, EmptyTable)
{
    orlo_check_timers();
    EXPECT_EQ(orlo_timer_remove(16), 0);
    EXPECT_EQ(orlo_timer_get_elapsed_time(16), 0.0);
    EXPECT_EQ(orlo_timer_get_left_time(16), 0.0);
}

TEST_F(Timers, FiresOnlyWhenTheClockIsStrictlyLater)
{
    g_timer_clock = {0, 1000};
    orlo_timer_create(record, 42, 16, {0, 500});
    EXPECT_EQ(timer_tab[0].expire.subseconds, 1500u);
    advance(500);                 // clock == expiry
    EXPECT_TRUE(fired.empty());
    advance(1);
    EXPECT_EQ(fired, std::vector<int>{42});
    EXPECT_EQ(g_timer_num, 0);
}

TEST_F(Timers, ZeroDelayCreatedInCallbackFiresOnALaterCheck)
{
    orlo_timer_create(rearm, 1, 16, {0, 0});
    advance(1);
    EXPECT_EQ(fired, std::vector<int>{1});
    ASSERT_EQ(g_timer_num, 1);          // the callback's new timer is stored
    orlo_check_timers();                // clock has not moved: not yet
    EXPECT_EQ(fired.size(), 1u);
    advance(1);
    EXPECT_EQ(fired, (std::vector<int>{1, 101}));
}

TEST_F(Timers, OneTimerPerCheckInTableOrder)
{
    orlo_timer_create(record, 1, 5, {0, 20});   // slot 0, expires later
    orlo_timer_create(record, 2, 6, {0, 10});   // slot 1, expires first
    orlo_timer_update_clock({0, 30});
    orlo_check_timers();
    EXPECT_EQ(fired, std::vector<int>{1});       // table order, not expiry order
    orlo_check_timers();
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST_F(Timers, RemoveEveryMatchingTag)
{
    orlo_timer_create(record, 0, 16, {0, 10});
    orlo_timer_create(record, 1, 7, {0, 10});
    orlo_timer_create(record, 2, 16, {0, 10});
    EXPECT_EQ(orlo_timer_remove(16), 2);
    ASSERT_EQ(g_timer_num, 1);
    EXPECT_EQ(timer_tab[0].tag, 7);
    // Firing moves the last live entry into the freed slot.
    orlo_timer_create(record, 3, 8, {0, 50});
    orlo_timer_create(record, 4, 9, {0, 60});
    advance(11);
    EXPECT_EQ(fired, std::vector<int>{1});
    ASSERT_EQ(g_timer_num, 2);
    EXPECT_EQ(timer_tab[0].tag, 9);
    EXPECT_EQ(timer_tab[1].tag, 8);
}

TEST_F(Timers, FullTableRefusesAndKeepsTheRest)
{
    for (int i = 0; i < ORLO_TIMER_SLOTS; i++) EXPECT_NE(orlo_timer_create(record, i, i, {0, 10}), 1);
    EXPECT_EQ(orlo_timer_create(record, 99, 99, {0, 1}), 1);
    EXPECT_EQ(g_timer_num, ORLO_TIMER_SLOTS);
    for (int i = 0; i < ORLO_TIMER_SLOTS; i++) EXPECT_EQ(timer_tab[i].tag, i);
}

TEST_F(Timers, Queries)
{
    g_timer_clock = {1, 0};
    orlo_timer_create(record, 0, 3, {0, 5000000 / 4 * 3});   // 0.75 s
    orlo_timer_update_clock({0, 2500000});
    EXPECT_DOUBLE_EQ(orlo_timer_get_elapsed_time(3), 0.5);
    EXPECT_DOUBLE_EQ(orlo_timer_get_left_time(3), 0.25);
    orlo_timer_update_clock({1, 0});
    EXPECT_EQ(orlo_timer_get_left_time(3), 0.0);   // overdue
    EXPECT_DOUBLE_EQ(orlo_get_time_double(), 2.5);
    EXPECT_EQ(orlo_get_time().seconds, 2u);
}
