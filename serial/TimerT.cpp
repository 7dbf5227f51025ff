#include "TimerT.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

MonotonicClockT& DefaultClock() {
    static MonotonicClockT clock;
    return clock;
}

std::atomic<ClockT*> g_clock{nullptr};

std::int64_t ToMs(std::int32_t seconds, std::int16_t millis) {
    return std::int64_t{seconds} * 1000 + millis;
}

}  // namespace

ClockReading MonotonicClockT::Now() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return {static_cast<std::int32_t>(ms / 1000), static_cast<std::int16_t>(ms % 1000)};
}

bool MonotonicClockT::Pass(std::uint32_t ms, InputWaitFn waitInput) {
    if (waitInput != nullptr) {
        // The port waits in slices that fit its int argument.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            const auto slice = static_cast<std::int32_t>(std::clamp<long long>(left, 0, 1'000'000));
            if (waitInput(slice) != 0) return true;
            if (left <= 1'000'000) return false;
        }
    }
    // Until the deadline, not for one sleep: the OS may wake us early.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
    return false;
}

ManualClockT::ManualClockT(std::int32_t seconds, std::int16_t millis) : ms_(ToMs(seconds, millis)) {}

ClockReading ManualClockT::Now() {
    const std::int64_t ms = ms_.load();
    return {static_cast<std::int32_t>(ms / 1000), static_cast<std::int16_t>(ms % 1000)};
}

bool ManualClockT::Pass(std::uint32_t ms, InputWaitFn waitInput) {
    if (waitInput != nullptr && waitInput(0) != 0) return true;
    ms_ += ms;
    return false;
}

void ManualClockT::Set(std::int32_t seconds, std::int16_t millis) { ms_ = ToMs(seconds, millis); }
void ManualClockT::Advance(std::int64_t ms) { ms_ += ms; }

ClockT& CurrentClock() {
    ClockT* clock = g_clock.load();
    return clock != nullptr ? *clock : DefaultClock();
}

void SetClock(ClockT* clock) { g_clock.store(clock); }

ScopedClockT::ScopedClockT(ClockT& clock) : previous_(g_clock.exchange(&clock)) {}
ScopedClockT::~ScopedClockT() { g_clock.store(previous_); }

void SleepMs(std::uint32_t ms) { CurrentClock().Pass(ms, nullptr); }

TimerT::TimerT() : clock_(&CurrentClock()) {}
TimerT::TimerT(ClockT& clock) : clock_(&clock) {}

int TimerT::Start(std::uint16_t tenths) {
    timeoutTenths_ = tenths;
    const ClockReading now = clock_->Now();
    std::int64_t seconds = std::int64_t{now.seconds} + tenths / 10;
    std::int32_t millis = now.millis + (tenths % 10) * 100;
    while (millis >= 1000) {
        millis -= 1000;
        ++seconds;
    }
    deadlineSeconds_ = static_cast<std::int32_t>(seconds);
    deadlineMillis_ = static_cast<std::int16_t>(millis);
    return 0;
}

int TimerT::Clear() {
    deadlineSeconds_ = 0;
    deadlineMillis_ = 0;
    return 0;
}

int TimerT::Remaining(std::int16_t& tenths) {
    const ClockReading now = clock_->Now();
    std::int64_t result = 0;
    if (now.seconds < deadlineSeconds_) {
        result = 10 * (std::int64_t{deadlineSeconds_} - now.seconds) +
                 (deadlineMillis_ - now.millis + 100) / 100;
    } else if (now.seconds == deadlineSeconds_ && now.millis < deadlineMillis_) {
        result = (deadlineMillis_ - now.millis + 100) / 100;
    }
    // A clock set far back must not wrap the 16-bit result to a negative
    // value that a caller would take for "expired".
    tenths = static_cast<std::int16_t>(std::clamp<std::int64_t>(result, 0, INT16_MAX));
    return 0;
}

int TimerT::Expired() {
    std::int16_t left = 0;
    Remaining(left);
    return left == 0 ? 1 : 0;
}

std::uint32_t TimerT::RemainingMs() {
    if (deadlineSeconds_ == 0 && deadlineMillis_ == 0) return 0;
    const ClockReading now = clock_->Now();
    const std::int64_t left = ToMs(deadlineSeconds_, deadlineMillis_) - ToMs(now.seconds, now.millis);
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 0, UINT32_MAX));
}

int TimerT::Wait() {
    // Sleep in the OS rather than spin. The budget caps the wait at the armed
    // duration, so a clock that is set back cannot hold us for as long as it
    // went back.
    const std::uint32_t budget = std::uint32_t{timeoutTenths_} * 100;
    std::uint32_t passed = 0;
    for (;;) {
        const std::uint32_t left = RemainingMs();
        if (left == 0 || passed >= budget) break;
        const std::uint32_t step = std::min(left, budget - passed);
        clock_->Pass(step, nullptr);
        passed += step;
    }
    Clear();
    return 0;
}

int TimerT::Delay(std::uint16_t tenths) {
    Start(tenths);
    return Wait();
}

void WaitTenths(std::uint16_t tenths) {
    TimerT timer;
    timer.Delay(tenths);
}
