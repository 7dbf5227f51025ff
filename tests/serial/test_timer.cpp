#include <gtest/gtest.h>

#include <chrono>

#include "TimerT.h"

namespace {

TEST(TimerT, DeadlineArithmetic) {
    ManualClockT clock(12, 700);
    TimerT t(clock);
    t.Start(5);
    EXPECT_EQ(t.DeadlineSeconds(), 13);
    EXPECT_EQ(t.DeadlineMillis(), 200);
    EXPECT_EQ(t.TimeoutTenths(), 5);

    t.Start(1);  // same millisecond: 100 ms left reads as 2 tenths
    std::int16_t left = -1;
    EXPECT_EQ(t.Remaining(left), 0);
    EXPECT_EQ(left, 2);

    t.Start(25);  // 12.700 + 2.5 s = 15.200
    EXPECT_EQ(t.DeadlineSeconds(), 15);
    EXPECT_EQ(t.DeadlineMillis(), 200);
    t.Remaining(left);
    EXPECT_EQ(left, 26);
}

TEST(TimerT, NeverZeroBeforeTheDeadline) {
    ManualClockT clock(12, 700);
    TimerT t(clock);
    t.Start(3);  // deadline 13.000
    clock.Set(12, 999);
    std::int16_t left = 0;
    t.Remaining(left);
    EXPECT_GE(left, 1);
    EXPECT_EQ(t.Expired(), 0);
    EXPECT_EQ(t.RemainingMs(), 1U);
    clock.Set(13, 0);
    t.Remaining(left);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(t.Expired(), 1);
    EXPECT_EQ(t.RemainingMs(), 0U);
}

TEST(TimerT, UnarmedClearedAndZeroTimersAreExpired) {
    ManualClockT clock(50, 0);
    TimerT t(clock);
    EXPECT_EQ(t.Expired(), 1);
    t.Start(0);
    std::int16_t left = -1;
    t.Remaining(left);
    EXPECT_EQ(left, 0);
    t.Start(10);
    EXPECT_EQ(t.Expired(), 0);
    t.Clear();
    EXPECT_EQ(t.Expired(), 1);
    EXPECT_EQ(t.DeadlineSeconds(), 0);
}

TEST(TimerT, WaitAndDelayLetExactlyTheDurationPass) {
    ManualClockT clock(100, 450);
    TimerT t(clock);
    t.Delay(13);
    EXPECT_EQ(clock.NowMs(), 101'750);
    EXPECT_EQ(t.Expired(), 1);  // Wait clears
    EXPECT_EQ(t.DeadlineSeconds(), 0);

    ScopedClockT installed(clock);
    WaitTenths(4);
    EXPECT_EQ(clock.NowMs(), 102'150);
    SleepMs(10);
    EXPECT_EQ(clock.NowMs(), 102'160);
}

// A clock that jumps back an hour the first time time is let pass on it.
class SetBackClock final : public ClockT {
public:
    ClockReading Now() override { return inner.Now(); }
    bool Pass(std::uint32_t ms, InputWaitFn wait) override {
        ++passes;
        if (!jumped) {
            jumped = true;
            inner.Advance(-3'600'000);
        }
        return inner.Pass(ms, wait);
    }
    ManualClockT inner{5000, 0};
    bool jumped = false;
    int passes = 0;
};

TEST(TimerT, ClockSetBackDoesNotHoldWait) {
    SetBackClock clock;
    TimerT t(clock);
    t.Start(20);
    t.Wait();  // would wait an hour on the clock alone
    EXPECT_LE(clock.passes, 3);
    EXPECT_EQ(t.Expired(), 1);
    // Remaining stays a sane positive count instead of wrapping.
    t.Start(10);
    clock.inner.Advance(-100'000'000);
    std::int16_t left = 0;
    t.Remaining(left);
    EXPECT_EQ(left, INT16_MAX);
}

TEST(TimerT, DefaultClockIsMonotonicAndWaitsForReal) {
    MonotonicClockT clock;
    const ClockReading a = clock.Now();
    const auto before = std::chrono::steady_clock::now();
    TimerT t(clock);
    t.Delay(1);
    const auto took = std::chrono::steady_clock::now() - before;
    const ClockReading b = clock.Now();
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_GE((b.seconds - a.seconds) * 1000 + (b.millis - a.millis), 100);
    EXPECT_GE(b.millis, 0);
    EXPECT_LT(b.millis, 1000);
}

}  // namespace
