// The scheduler: one step of the board, and pacing simulated time to the
// wall clock on the board's own thread or as fast as it goes in RunFor.
#include "BoardImpl.h"

namespace sim {

Step Board::Impl::Service(Picos limit) {
    CheckConsoleFormat();
    DrainInbox();
    duart.Advance(now);
    flash.Advance(now);
    switch (mode) {
        case BoardMode::Halted: {
            // The CPU stands, the DUART does not: what it holds still goes out.
            const auto dev = NextDeviceEvent();
            if (dev) return {Step::Kind::Device, *dev};
            return {Step::Kind::Timer, kForever};
        }
        case BoardMode::Cpu:
            RunSlice(std::min(limit, now + kSlice));
            if (mode != BoardMode::Cpu || !idlePoll) {
                idleSince = kForever;
                return {mode == BoardMode::Cpu ? Step::Kind::Pace : Step::Kind::Continue, 0};
            }
            if (idleSince == kForever) idleSince = now;
            if (now - idleSince >= kIdleWindow) return {Step::Kind::Timer, kForever};
            return {Step::Kind::IdlePace, 0};
        case BoardMode::Monitor:
        case BoardMode::Application: {
            HostStep();
            if (mode == BoardMode::Cpu) return {Step::Kind::Continue, 0};
            const auto dev = NextDeviceEvent();
            const Picos timer = mode == BoardMode::Monitor ? frameDeadline : kForever;
            if (dev && *dev <= timer) return {Step::Kind::Device, *dev};
            return {Step::Kind::Timer, std::max(timer, now)};
        }
    }
    return {};
}

void Board::Impl::WaitWall(Picos t) {
    std::unique_lock lk(im);
    auto ready = [this] { return inboxPending.load() || stopRequest.load(); };
    if (t == kForever) {
        cv.wait(lk, ready);
        return;
    }
    const Picos ahead = t > anchorSim ? t - anchorSim : 0;
    const auto deadline = anchorWall + std::chrono::nanoseconds(static_cast<long long>(ahead / 1000u));
    cv.wait_until(lk, deadline, ready);
}

void Board::Impl::ThreadMain() {
    {
        std::lock_guard lk(m);
        anchorWall = std::chrono::steady_clock::now();
        anchorSim = now;
        idleAnchored = false;
    }
    const bool realTime = options.realTime;
    while (!stopRequest.load()) {
        Step s;
        {
            std::lock_guard lk(m);
            s = Service(kForever);
        }
        auto anchorForIdle = [&] {
            if (realTime || idleAnchored) return;
            std::lock_guard lk(m);
            anchorWall = std::chrono::steady_clock::now();
            anchorSim = now;
            idleAnchored = true;
        };
        Picos simNow = 0;
        {
            std::lock_guard lk(m);
            simNow = now;
        }
        switch (s.kind) {
            case Step::Kind::Continue:
            case Step::Kind::Pace:
                if (realTime) {
                    WaitWall(simNow);
                } else {
                    idleAnchored = false;
                }
                break;
            case Step::Kind::IdlePace:
                // Within the idle window the CPU runs its poll loops at the
                // pace of the mode, so that their time-outs run out.
                if (realTime) WaitWall(simNow);
                break;
            case Step::Kind::Device:
                if (!realTime) {
                    std::lock_guard lk(m);
                    now = std::max(now, s.at);
                    idleAnchored = false;
                    break;
                }
                [[fallthrough]];
            case Step::Kind::Timer: {
                anchorForIdle();
                WaitWall(s.at);
                std::lock_guard lk(m);
                now = std::max(now, std::min(s.at, SimFromWall()));
                break;
            }
        }
    }
}

void Board::Start() {
    if (impl_->running.exchange(true)) return;
    impl_->stopRequest = false;
    impl_->thread = std::thread([this] { impl_->ThreadMain(); });
}

void Board::Stop() {
    if (!impl_->running.load()) return;
    {
        std::lock_guard lk(impl_->im);
        impl_->stopRequest = true;
    }
    impl_->cv.notify_all();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->running = false;
}

bool Board::Running() const { return impl_->running.load(); }

void Board::RunFor(Picos duration) {
    Impl& b = *impl_;
    Picos target = 0;
    {
        std::lock_guard lk(b.m);
        target = b.now + duration;
    }
    for (;;) {
        std::lock_guard lk(b.m);
        if (b.now >= target) return;
        const Step s = b.Service(target);
        if (s.kind == Step::Kind::Device || s.kind == Step::Kind::Timer) b.now = std::max(b.now, std::min(s.at, target));
    }
}

bool Board::RunUntil(const std::function<bool()>& done, Picos limit) {
    Impl& b = *impl_;
    Picos target = 0;
    {
        std::lock_guard lk(b.m);
        target = b.now + limit;
    }
    for (;;) {
        if (done()) return true;
        std::lock_guard lk(b.m);
        if (b.now >= target) return false;
        const Step s = b.Service(std::min(target, b.now + kSlice));
        if (s.kind == Step::Kind::Device || s.kind == Step::Kind::Timer) {
            b.now = std::max(b.now, std::min({s.at, target, b.now + kSlice}));
        }
    }
}

}  // namespace sim
