#include "Mc68681.h"

#include <algorithm>

namespace sim {

namespace {

// Clock-select codes 0x0..0xC for the two baud-rate sets (3.6864 MHz crystal);
// 0xD is the counter/timer (see TimerHz), 0xE..0xF external inputs, which
// have no clock on this board.
constexpr std::array<std::uint32_t, 16> kBaudSet1{50, 110, 134, 200, 300, 600, 1200, 1050,
                                                  2400, 4800, 7200, 9600, 38400, 0, 0, 0};
constexpr std::array<std::uint32_t, 16> kBaudSet2{75, 110, 134, 150, 300, 600, 1200, 2000,
                                                  2400, 4800, 1800, 9600, 19200, 0, 0, 0};

void Earliest(std::optional<Picos>& best, std::optional<Picos> t) {
    if (t && (!best || *t < *best)) best = t;
}

}  // namespace

Mc68681::Mc68681() { Reset(0); }

void Mc68681::Reset(Picos now) {
    for (Channel& c : ch_) {
        c.mr = {0, 0};
        c.mrPointer = 0;
        c.csr = 0;
        c.rxEnabled = false;
        c.txEnabled = false;
        c.overrun = false;
        c.fifo.clear();
        c.shiftHeld.reset();
        c.holding.reset();
        c.shifting = false;
        c.stalled.reset();
        c.breakOut = false;
        c.rxDecoder.Reset(std::max(now, c.rxDecoder.SearchFrom()));
    }
    acr_ = 0;
    imr_ = 0;
    opcr_ = 0;
    op_ = 0;
    ctRunning_ = false;
    ctReadyFrom_ = kForever;
}

std::uint32_t Mc68681::TimerHz() const {
    if (!ctRunning_ || ctPreload_ < kMinTimerPreload) return 0;
    // ACR bits 6..4: 110 timer on X1, 111 timer on X1 / 16. The counter modes
    // (0xx) give no square wave, and IP2 (100, 101) is not driven on this board.
    std::uint32_t source = 0;
    switch ((acr_ >> 4) & 0x07) {
        case 6: source = kCrystalHz; break;
        case 7: source = kCrystalHz / 16; break;
        default: return 0;
    }
    return source / (2u * ctPreload_);
}

std::uint32_t Mc68681::BaudOf(unsigned code) const {
    if ((code & 0x0F) == 0x0D) return TimerHz() / 16;  // the timer as a 16x clock
    return ((acr_ & 0x80) ? kBaudSet2 : kBaudSet1)[code & 0x0F];
}

Picos Mc68681::TimerCycle() const {
    const std::uint32_t hz = TimerHz();
    return hz == 0 ? kForever : kPicosPerSecond / hz;
}

void Mc68681::RetimeAll(Picos now) {
    for (Channel& each : ch_) Retime(each, now);
}

LineFormat Mc68681::FormatOf(const Channel& c, std::uint32_t baud) {
    LineFormat f;
    f.baud = baud;
    f.dataBits = static_cast<std::uint8_t>(5u + (c.mr[0] & 0x03u));
    switch ((c.mr[0] >> 3) & 0x03) {
        case 0: f.parity = (c.mr[0] & 0x04) ? Parity::Odd : Parity::Even; break;
        case 1: f.parity = (c.mr[0] & 0x04) ? Parity::Mark : Parity::Space; break;
        default: f.parity = Parity::None; break;  // no parity; multidrop is not modelled
    }
    f.stopBits = (c.mr[1] & 0x0F) >= 0x08 ? 2 : 1;
    return f;
}

LineFormat Mc68681::RxFormat(unsigned channel) const {
    const Channel& c = ch_[channel & 1];
    return FormatOf(c, BaudOf(c.csr >> 4));
}

LineFormat Mc68681::TxFormat(unsigned channel) const {
    const Channel& c = ch_[channel & 1];
    return FormatOf(c, BaudOf(c.csr & 0x0F));
}

std::uint8_t Mc68681::Status(const Channel& c) const {
    std::uint8_t sr = 0;
    if (!c.fifo.empty()) {
        sr |= kRxRdy;
        sr |= c.fifo.front().status;
    }
    if (c.fifo.size() >= 3) sr |= kFFull;
    if (c.txEnabled && !c.holding) {
        sr |= kTxRdy;
        if (!c.shifting) sr |= kTxEmt;
    }
    if (c.overrun) sr |= kOverrun;
    return sr;
}

std::uint8_t Mc68681::PeekStatus(unsigned channel, Picos now) {
    Advance(now);
    return Status(ch_[channel & 1]);
}

std::uint8_t Mc68681::PopRx(Channel& c) {
    if (c.fifo.empty()) return c.lastRead;
    c.lastRead = c.fifo.front().byte;
    c.fifo.pop_front();
    if (c.shiftHeld) {
        c.fifo.push_back(*c.shiftHeld);
        c.shiftHeld.reset();
    }
    return c.lastRead;
}

void Mc68681::Receive(unsigned channel, const WireChar& w) {
    Channel& c = ch_[channel];
    if (onReceived) onReceived(channel, w);
    if (!c.rxEnabled) return;
    RxEntry e;
    e.byte = w.byte;
    if (w.isBreak) e.status |= kReceivedBreak;
    if (w.framingError && !w.isBreak) e.status |= kFramingError;
    if (w.parityError) e.status |= kParityError;
    if (c.fifo.size() < 3) {
        c.fifo.push_back(e);
    } else if (!c.shiftHeld) {
        c.shiftHeld = e;
    } else {
        // FIFO full and the shift register already holds a character: the new
        // one overwrites it.
        c.shiftHeld = e;
        c.overrun = true;
    }
}

void Mc68681::StartShift(Channel& c, Picos at) {
    const std::uint8_t byte = *c.holding;
    c.holding.reset();
    const LineFormat f = FormatOf(c, BaudOf(c.csr & 0x0F));
    c.shifting = true;
    if (f.baud == 0) {
        c.shiftEnd = kForever;  // no transmitter clock: it waits for one
        c.stalled = byte;
        return;
    }
    c.shiftEnd = c.boardToHost.PutChar(byte, f, at);
}

void Mc68681::Retime(Channel& c, Picos now) {
    // A new clock drives the transmitter at once, even through a character
    // that is half way out: its rest leaves at the new rate.
    if (!c.shifting) return;
    const std::uint32_t baud = BaudOf(c.csr & 0x0F);
    if (baud == 0) return;
    if (c.shiftEnd == kForever) {
        if (c.stalled) c.shiftEnd = c.boardToHost.PutChar(*c.stalled, FormatOf(c, baud), now);
        c.stalled.reset();
        return;
    }
    c.shiftEnd = c.boardToHost.Retime(now, kPicosPerSecond / baud);
}

void Mc68681::Advance(Picos now) {
    for (unsigned i = 0; i < 2; ++i) {
        Channel& c = ch_[i];
        while (c.shifting && c.shiftEnd <= now) {
            c.shifting = false;
            // A disabled transmitter still sends what its holding register has.
            if (c.holding) StartShift(c, c.shiftEnd);
        }
        scratch_.clear();
        c.rxDecoder.Decode(c.hostToBoard, RxFormat(i), now, scratch_);
        for (const WireChar& w : scratch_) Receive(i, w);
        scratch_.clear();
        c.hostDecoder.Decode(c.boardToHost, c.hostFollows ? TxFormat(i) : c.hostFormat, now, scratch_);
        if (toHost) {
            for (const WireChar& w : scratch_) toHost(i, w);
        }
        c.hostToBoard.Prune(c.rxDecoder.SearchFrom());
        c.boardToHost.Prune(c.hostDecoder.SearchFrom());
    }
}

std::optional<Picos> Mc68681::NextEvent() const {
    std::optional<Picos> best;
    for (unsigned i = 0; i < 2; ++i) {
        const Channel& c = ch_[i];
        if (c.shifting && c.shiftEnd != kForever) Earliest(best, c.shiftEnd);
        Earliest(best, c.rxDecoder.NextCompletion(c.hostToBoard, RxFormat(i)));
        Earliest(best, c.hostDecoder.NextCompletion(c.boardToHost, c.hostFollows ? TxFormat(i) : c.hostFormat));
    }
    return best;
}

std::uint8_t Mc68681::Read(unsigned reg, Picos now) {
    Advance(now);
    const unsigned chIndex = (reg >> 3) & 1u;
    Channel& c = ch_[chIndex];
    switch (reg & 0x0F) {
        case kMRA:
        case kMRB: {
            const std::uint8_t v = c.mr[c.mrPointer];
            c.mrPointer = 1;
            return v;
        }
        case kSRA_CSRA:
        case kSRB_CSRB: return Status(c);
        case kRBA_TBA:
        case kRBB_TBB: return PopRx(c);
        case kISR_IMR: {
            std::uint8_t isr = 0;
            const std::uint8_t a = Status(ch_[0]);
            const std::uint8_t b = Status(ch_[1]);
            if (a & kTxRdy) isr |= 0x01;
            if (a & ((ch_[0].mr[0] & 0x40) ? kFFull : kRxRdy)) isr |= 0x02;
            if (b & kTxRdy) isr |= 0x10;
            if (b & ((ch_[1].mr[0] & 0x40) ? kFFull : kRxRdy)) isr |= 0x20;
            if (now >= ctReadyFrom_) isr |= 0x08;
            return isr;
        }
        case kIVR: return ivr_;
        case kIP_OPCR: return 0x7F;  // input pins pulled high
        case kStart_SOPR:
            // Start counter: a new cycle with the preload now in CTUR/CTLR.
            ctRunning_ = true;
            ctPreload_ = static_cast<std::uint16_t>((ctur_ << 8) | ctlr_);
            ctReadyFrom_ = TimerCycle() == kForever ? kForever : now + TimerCycle();
            RetimeAll(now);
            return 0xFF;
        case kStop_ROPR:
            // Stop counter: in timer mode it only clears counter-ready; the
            // square wave (and a channel clocked by it) runs on.
            if (((acr_ >> 4) & 0x04) == 0) {
                ctRunning_ = false;
                RetimeAll(now);
            }
            if (ctRunning_ && TimerCycle() != kForever) {
                const Picos cycle = TimerCycle();
                ctReadyFrom_ = now + cycle - (now % cycle);
            } else {
                ctReadyFrom_ = kForever;
            }
            return 0xFF;
        default: return 0xFF;  // counter value and command-register reads
    }
}

void Mc68681::Command(unsigned channel, std::uint8_t v, Picos now) {
    Channel& c = ch_[channel];
    switch ((v >> 4) & 0x07) {
        case 1: c.mrPointer = 0; break;
        case 2:  // reset receiver
            c.rxEnabled = false;
            c.fifo.clear();
            c.shiftHeld.reset();
            break;
        case 3:  // reset transmitter
            c.txEnabled = false;
            c.holding.reset();
            if (c.stalled) {
                c.stalled.reset();
                c.shifting = false;
            }
            break;
        case 4: c.overrun = false; break;
        case 6:
            c.breakOut = true;
            c.boardToHost.BreakOn(now);
            break;
        case 7:
            c.breakOut = false;
            c.boardToHost.BreakOff(now);
            break;
        default: break;
    }
    switch (v & 0x03) {
        case 1:
            if (!c.rxEnabled) c.rxDecoder.Reset(std::max(now, c.rxDecoder.SearchFrom()));
            c.rxEnabled = true;
            break;
        case 2: c.rxEnabled = false; break;
        default: break;
    }
    switch ((v >> 2) & 0x03) {
        case 1: c.txEnabled = true; break;
        case 2: c.txEnabled = false; break;
        default: break;
    }
}

void Mc68681::Write(unsigned reg, std::uint8_t value, Picos now) {
    Advance(now);
    const unsigned chIndex = (reg >> 3) & 1u;
    Channel& c = ch_[chIndex];
    switch (reg & 0x0F) {
        case kMRA:
        case kMRB:
            c.mr[c.mrPointer] = value;
            c.mrPointer = 1;
            break;
        case kSRA_CSRA:
        case kSRB_CSRB:
            c.csr = value;
            Retime(c, now);
            break;
        case kCRA:
        case kCRB: Command(chIndex, value, now); break;
        case kRBA_TBA:
        case kRBB_TBB:
            // A character written while TxRDY is clear is lost, as on the chip.
            if (!c.txEnabled || c.holding) break;
            c.holding = value;
            if (!c.shifting) StartShift(c, now);
            break;
        case kIPCR_ACR:
            acr_ = value;  // the baud-rate set and the counter/timer's mode: both channels' clocks
            RetimeAll(now);
            break;
        case kISR_IMR: imr_ = value; break;
        case kCUR_CTUR:
        case kCLR_CTLR:
            if ((reg & 0x0F) == kCUR_CTUR) {
                ctur_ = value;
            } else {
                ctlr_ = value;
            }
            if (ctRunning_ && (acr_ & 0x40) != 0) {
                ctPreload_ = static_cast<std::uint16_t>((ctur_ << 8) | ctlr_);
                RetimeAll(now);
            }
            break;
        case kIVR: ivr_ = value; break;
        case kIP_OPCR: opcr_ = value; break;
        case kStart_SOPR: op_ = static_cast<std::uint8_t>(op_ | value); break;
        case kStop_ROPR: op_ = static_cast<std::uint8_t>(op_ & ~value); break;
        default: break;
    }
}

Picos Mc68681::HostSend(unsigned channel, std::uint8_t byte, const LineFormat& format, Picos now, bool badStop,
                        bool badParity) {
    const Picos end = ch_[channel & 1].hostToBoard.PutChar(byte, format, now, badStop, badParity);
    const Picos length = format.BitTime() == kForever ? 0 : format.BitTime() * format.FrameBits();
    return end >= length ? end - length : end;
}

void Mc68681::HostBreakFor(unsigned channel, Picos duration, Picos now) {
    WireLine& l = ch_[channel & 1].hostToBoard;
    const Picos start = std::max(now, l.End());
    l.BreakOn(start);
    l.BreakOff(start + duration);
}

void Mc68681::HostBreak(unsigned channel, bool on, Picos now) {
    WireLine& l = ch_[channel & 1].hostToBoard;
    if (on) {
        l.BreakOn(now);
    } else {
        l.BreakOff(now);
    }
}

}  // namespace sim
