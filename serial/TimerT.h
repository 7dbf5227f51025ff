#pragma once
// Deadline timer in tenths of a second, and the clock every wait is measured on.
//
// The clock is injectable: tests install a ManualClockT so that long waits
// (a silent board costs seconds per frame) pass instantly and durations can be
// checked exactly. The default is the monotonic clock, so that a change of the
// system's time of day never stretches or cuts a wait.
#include <atomic>
#include <cstdint>

struct ClockReading {
    std::int32_t seconds = 0;
    std::int16_t millis = 0;  // 0 to 999
};

// Blocks in the OS for up to ms milliseconds or until input is waiting;
// returns non-zero when input is waiting. CommWaitInput has this shape.
using InputWaitFn = int (*)(std::int32_t ms);

class ClockT {
public:
    ClockT() = default;
    ClockT(const ClockT&) = delete;
    ClockT& operator=(const ClockT&) = delete;
    virtual ~ClockT() = default;

    virtual ClockReading Now() = 0;
    // Lets ms milliseconds pass on this clock. With waitInput given, it may
    // end early: true when waitInput reported input.
    virtual bool Pass(std::uint32_t ms, InputWaitFn waitInput) = 0;
};

// Seconds and milliseconds of the monotonic clock; Pass blocks in the OS.
class MonotonicClockT final : public ClockT {
public:
    ClockReading Now() override;
    bool Pass(std::uint32_t ms, InputWaitFn waitInput) override;
};

// A clock that moves only when told to, or when time is let pass on it.
// Pass first looks (without blocking) whether input is waiting; if not, the
// whole interval passes at once. Input must therefore be produced on the
// waiting thread itself (a scripted peer answering from the line's notify
// callback) or before the wait.
class ManualClockT final : public ClockT {
public:
    explicit ManualClockT(std::int32_t seconds = 1000, std::int16_t millis = 0);
    ClockReading Now() override;
    bool Pass(std::uint32_t ms, InputWaitFn waitInput) override;

    void Set(std::int32_t seconds, std::int16_t millis);
    void Advance(std::int64_t ms);  // negative sets the clock back
    // Milliseconds since the epoch of this clock, for easy differences.
    std::int64_t NowMs() const { return ms_.load(); }

private:
    std::atomic<std::int64_t> ms_;
};

// The process-wide clock: the monotonic one unless a test installed another.
ClockT& CurrentClock();
// Installs clock (nullptr: back to the monotonic clock). The clock must
// outlive its installation.
void SetClock(ClockT* clock);

// Installs a clock for the lifetime of this object.
class ScopedClockT {
public:
    explicit ScopedClockT(ClockT& clock);
    ~ScopedClockT();
    ScopedClockT(const ScopedClockT&) = delete;
    ScopedClockT& operator=(const ScopedClockT&) = delete;

private:
    ClockT* previous_;
};

// A plain pause of ms milliseconds on the current clock.
void SleepMs(std::uint32_t ms);

class TimerT {
public:
    TimerT();                       // on the current clock
    explicit TimerT(ClockT& clock);
    TimerT(const TimerT&) = delete;
    TimerT& operator=(const TimerT&) = delete;
    virtual ~TimerT() = default;

    int Start(std::uint16_t tenths);
    int Clear();
    // Time left in tenths, rounded so that it is never 0 before the deadline.
    int Remaining(std::int16_t& tenths);
    int Expired();
    // Blocks until the deadline, then clears. Waits at most the duration
    // last given to Start, even if the clock is set back meanwhile.
    int Wait();
    int Delay(std::uint16_t tenths);

    // Milliseconds left, 0 when expired or not armed; for waits in the OS.
    std::uint32_t RemainingMs();
    std::int32_t DeadlineSeconds() const { return deadlineSeconds_; }
    std::int16_t DeadlineMillis() const { return deadlineMillis_; }
    std::uint16_t TimeoutTenths() const { return timeoutTenths_; }
    ClockT& Clock() const { return *clock_; }

private:
    std::int32_t deadlineSeconds_ = 0;
    std::int16_t deadlineMillis_ = 0;
    std::uint16_t timeoutTenths_ = 0;
    ClockT* clock_;
};

void WaitTenths(std::uint16_t tenths);
