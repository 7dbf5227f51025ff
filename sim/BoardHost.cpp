// The host side of the console line: what the host sends, in order, and what
// its receiver assembles.
#include "BoardImpl.h"

namespace sim {

bool Board::Impl::LineFault(std::uint8_t& byte, Picos at, std::uint32_t baud) {
    const LineFaults& f = options.lineFaults;
    if (at >= silentFrom && at < silentUntil) return true;
    if (f.maxBaud != 0 && baud > f.maxBaud) return true;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (f.dropRate > 0 && chance(faultRng) < f.dropRate) return true;
    if (f.flipRate > 0 && chance(faultRng) < f.flipRate) byte ^= static_cast<std::uint8_t>(1u << (faultRng() % 8));
    return false;
}

void Board::Impl::ToHost(const WireChar& sent) {
    WireChar c = sent;
    if (!c.isBreak && LineFault(c.byte, c.time, duart.TxFormat(console).baud)) return;
    AddTrace({c.time, false, c.byte, c.isBreak, c.framingError});
    if (hostSink) {
        hostSink(c);
        return;
    }
    {
        std::lock_guard lk(rm);
        received.push_back(c);
    }
    rcv.notify_all();
}

void Board::Impl::DrainInbox() {
    if (!inboxPending.load()) return;
    std::deque<HostEvent> events;
    {
        std::lock_guard lk(im);
        events.swap(inbox);
        inboxPending = false;
    }
    idleSince = kForever;
    for (HostEvent e : events) {
        const bool character = e.kind == HostEvent::Kind::Byte || (e.kind == HostEvent::Kind::Unit && e.breakMs == 0);
        if (character) {
            const LineFaults& f = options.lineFaults;
            if (++hostChars == f.silenceAfter && f.silenceAfter != 0) {
                silentFrom = now;
                silentUntil = now + Picos{f.silenceMs} * kPicosPerMilli;
            }
            const std::uint32_t baud = e.kind == HostEvent::Kind::Byte ? e.format.baud : duart.RxFormat(console).baud;
            if (LineFault(e.byte, now, baud)) continue;
        }
        switch (e.kind) {
            case HostEvent::Kind::Byte:
                AddTrace({duart.HostSend(console, e.byte, e.format, now), true, e.byte, false, false});
                break;
            case HostEvent::Kind::BreakOn:
                duart.HostBreak(console, true, now);
                AddTrace({now, true, 0, true, false});
                break;
            case HostEvent::Kind::BreakOff:
                duart.HostBreak(console, false, now);
                break;
            case HostEvent::Kind::Unit:
                if (e.breakMs > 0) {
                    duart.HostBreakFor(console, Picos{e.breakMs} * kPicosPerMilli, now);
                    AddTrace({now, true, 0, true, false});
                } else {
                    const Picos at =
                        duart.HostSend(console, e.byte, duart.RxFormat(console), now, e.framingError, e.parityError);
                    AddTrace({at, true, e.byte, false, e.framingError});
                }
                break;
        }
    }
}

void Board::HostSend(std::span<const std::uint8_t> bytes, const LineFormat& format) {
    {
        std::lock_guard lk(impl_->im);
        for (std::uint8_t b : bytes) impl_->inbox.push_back({HostEvent::Kind::Byte, b, format});
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::HostBreak(bool on) {
    {
        std::lock_guard lk(impl_->im);
        impl_->inbox.push_back({on ? HostEvent::Kind::BreakOn : HostEvent::Kind::BreakOff, 0, {}});
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::HostSendUnits(std::span<const HostUnit> units) {
    {
        std::lock_guard lk(impl_->im);
        for (const HostUnit& u : units) {
            HostEvent e;
            e.kind = HostEvent::Kind::Unit;
            e.byte = u.byte;
            e.framingError = u.framingError;
            e.parityError = u.parityError;
            e.breakMs = u.breakMs;
            impl_->inbox.push_back(e);
        }
        impl_->inboxPending = true;
    }
    impl_->cv.notify_all();
}

void Board::SetHostFollowsBoard(bool on) {
    std::lock_guard lk(impl_->m);
    impl_->duart.SetHostFollowsChannel(impl_->console, on);
}

void Board::SetConsoleFormatCallback(std::function<void(const LineFormat&)> callback) {
    std::lock_guard lk(impl_->m);
    impl_->formatCallback = std::move(callback);
    impl_->lastConsoleFormat = LineFormat{0, 0, Parity::None, 0};
    impl_->CheckConsoleFormat();
}

void Board::SetHostFormat(const LineFormat& format) {
    std::lock_guard lk(impl_->m);
    impl_->duart.SetHostFormat(impl_->console, format);
}

void Board::SetHostSink(std::function<void(const WireChar&)> sink) {
    std::lock_guard lk(impl_->m);
    impl_->hostSink = std::move(sink);
}

std::vector<WireChar> Board::TakeHostReceived() {
    std::lock_guard lk(impl_->rm);
    std::vector<WireChar> r;
    r.swap(impl_->received);
    return r;
}

bool Board::WaitHostReceived(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lk(impl_->rm);
    return impl_->rcv.wait_for(lk, timeout, [&] { return impl_->received.size() >= count; });
}

}  // namespace sim
