#include "Am29f400.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::array<std::uint32_t, Am29f400::kSectors + 1> kSectorStarts{
    0x00000, 0x04000, 0x06000, 0x08000, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x80000};

// Unlock and command cycles decode word-address bits A10..A0 only.
constexpr std::uint32_t kCmdMask = 0x7FF;
constexpr std::uint32_t kAddr555 = 0x555;
constexpr std::uint32_t kAddr2AA = 0x2AA;

}  // namespace

Am29f400::Am29f400(FlashTiming timing) : timing_(timing), array_(kSize, 0xFF) {}

unsigned Am29f400::SectorOf(std::uint32_t offset) {
    offset &= kSize - 1;
    unsigned s = 0;
    while (s + 1 < kSectors && offset >= kSectorStarts[s + 1]) ++s;
    return s;
}

std::uint32_t Am29f400::SectorStart(unsigned sector) { return kSectorStarts[std::min(sector, kSectors)]; }

std::uint32_t Am29f400::SectorSize(unsigned sector) {
    return sector < kSectors ? kSectorStarts[sector + 1] - kSectorStarts[sector] : 0;
}

std::uint16_t Am29f400::ArrayWord(std::uint32_t offset) const {
    offset &= (kSize - 1) & ~1u;
    return static_cast<std::uint16_t>((array_[offset] << 8) | array_[offset + 1]);
}

void Am29f400::Advance(Picos now) {
    if (state_ != State::Busy) return;
    if (op_ == Op::SectorErase && !eraseStarted_ && now >= windowEnd_) StartErase(windowEnd_);
    if (opEnd_ != kForever && now >= opEnd_) {
        Finish();
        return;
    }
    if (opEnd_ == kForever && !limitReached_ && now >= limitAt_) {
        limitReached_ = true;
        ++counters_.failures;
    }
}

std::optional<Picos> Am29f400::NextEvent() const {
    if (state_ != State::Busy) return std::nullopt;
    if (op_ == Op::SectorErase && !eraseStarted_) return windowEnd_;
    if (opEnd_ != kForever) return opEnd_;
    if (!limitReached_) return limitAt_;
    return std::nullopt;
}

void Am29f400::StartErase(Picos now) {
    eraseStarted_ = true;
    unsigned n = 0;
    bool bad = false;
    for (unsigned s = 0; s < kSectors; ++s) {
        if (!eraseSet_[s]) continue;
        ++n;
        if (badSectors_.count(s) != 0) bad = true;
    }
    if (bad) {
        opEnd_ = kForever;
        limitAt_ = now + timing_.eraseLimit;
    } else {
        opEnd_ = now + timing_.sectorErase * n;
    }
}

void Am29f400::Finish() {
    switch (op_) {
        case Op::Program:
            array_[opOffset_] = static_cast<std::uint8_t>(opData_ >> 8);
            array_[opOffset_ + 1] = static_cast<std::uint8_t>(opData_);
            if (onArrayChange) onArrayChange(opOffset_, 2);
            break;
        case Op::SectorErase:
        case Op::ChipErase:
            for (unsigned s = 0; s < kSectors; ++s) {
                if (!eraseSet_[s]) continue;
                std::fill(array_.begin() + SectorStart(s), array_.begin() + SectorStart(s + 1), std::uint8_t{0xFF});
                if (onArrayChange) onArrayChange(SectorStart(s), SectorSize(s));
            }
            break;
        case Op::None: break;
    }
    op_ = Op::None;
    state_ = State::Read;
}

std::uint16_t Am29f400::StatusWord(std::uint32_t offset, Picos) {
    unsigned s = 0;
    toggle6_ = !toggle6_;
    if (toggle6_) s |= 0x40;
    if (limitReached_) s |= 0x20;
    if (op_ == Op::Program) {
        s |= (~opData_) & 0x80u;
        s |= 0x04;
    } else {
        if (eraseStarted_) s |= 0x08;
        if (eraseSet_[SectorOf(offset)]) {
            toggle2_ = !toggle2_;
            if (toggle2_) s |= 0x04;
        } else {
            s |= 0x04;
        }
    }
    return static_cast<std::uint16_t>((s << 8) | s);
}

std::uint16_t Am29f400::Read(std::uint32_t offset, Picos now) {
    offset &= (kSize - 1) & ~1u;
    Advance(now);
    if (state_ == State::Busy) {
        ++counters_.statusReads;
        return StatusWord(offset, now);
    }
    if (state_ == State::Autoselect || state_ == State::AutoselectUnlock1 || state_ == State::AutoselectUnlock2) {
        switch ((offset >> 1) & 0x03) {
            case 0: return kManufacturerId;
            case 1: return kDeviceIdBottom;
            default: return 0x0000;  // sector not protected
        }
    }
    return ArrayWord(offset);
}

void Am29f400::Write(std::uint32_t offset, std::uint16_t value, Picos now) {
    offset &= (kSize - 1) & ~1u;
    Advance(now);
    const std::uint32_t wa = (offset >> 1) & kCmdMask;
    const unsigned cmd = value & 0xFFu;

    if (state_ == State::Busy) {
        if (op_ == Op::SectorErase && !eraseStarted_) {
            if (cmd == 0x30) {
                eraseSet_[SectorOf(offset)] = true;
                windowEnd_ = now + timing_.eraseWindow;
                if (timing_.eraseWindow == 0) StartErase(now);
            } else if (cmd != 0xB0) {
                // Anything but another sector (or a suspend, not modelled)
                // during the window resets the chip: no erase at all.
                op_ = Op::None;
                state_ = State::Read;
            }
        } else if (limitReached_ && cmd == 0xF0) {
            // Only a reset leaves a failed operation.
            op_ = Op::None;
            state_ = State::Read;
        }
        return;
    }
    if (state_ != State::Program && cmd == 0xF0) {
        state_ = State::Read;
        return;
    }
    switch (state_) {
        case State::Read:
            state_ = (wa == kAddr555 && cmd == 0xAA) ? State::Unlock1 : State::Read;
            break;
        // Autoselect is left only by a reset (0xF0, above, alone or after the
        // unlock cycles); any other write leaves the chip in it.
        case State::Autoselect:
            if (wa == kAddr555 && cmd == 0xAA) state_ = State::AutoselectUnlock1;
            break;
        case State::AutoselectUnlock1:
            state_ = (wa == kAddr2AA && cmd == 0x55) ? State::AutoselectUnlock2 : State::Autoselect;
            break;
        case State::AutoselectUnlock2: state_ = State::Autoselect; break;
        case State::Unlock1:
            state_ = (wa == kAddr2AA && cmd == 0x55) ? State::Unlock2 : State::Read;
            break;
        case State::Unlock2:
            state_ = State::Read;
            if (wa != kAddr555) break;
            if (cmd == 0xA0) state_ = State::Program;
            if (cmd == 0x80) state_ = State::EraseSetup;
            if (cmd == 0x90) state_ = State::Autoselect;
            break;
        case State::Program: {
            ++counters_.programs;
            op_ = Op::Program;
            opOffset_ = offset;
            opData_ = value;
            state_ = State::Busy;
            limitReached_ = false;
            const std::uint16_t old = ArrayWord(offset);
            const auto result = static_cast<std::uint16_t>(old & value);
            if (badWords_.count(offset) != 0 || result != value) {
                // Cells can only go from 1 to 0: the word never verifies, and
                // DQ5 rises at the time limit. What could be cleared is.
                if (badWords_.count(offset) == 0 && result != old) {
                    array_[offset] = static_cast<std::uint8_t>(result >> 8);
                    array_[offset + 1] = static_cast<std::uint8_t>(result);
                    if (onArrayChange) onArrayChange(offset, 2);
                }
                opEnd_ = kForever;
                limitAt_ = now + timing_.programLimit;
            } else {
                opEnd_ = now + timing_.wordProgram;
            }
            Advance(now);
            break;
        }
        case State::EraseSetup:
            state_ = (wa == kAddr555 && cmd == 0xAA) ? State::EraseUnlock1 : State::Read;
            break;
        case State::EraseUnlock1:
            state_ = (wa == kAddr2AA && cmd == 0x55) ? State::EraseUnlock2 : State::Read;
            break;
        case State::EraseUnlock2:
            state_ = State::Read;
            if (cmd == 0x10 && wa == kAddr555) {
                ++counters_.chipErases;
                op_ = Op::ChipErase;
                eraseSet_.fill(true);
                state_ = State::Busy;
                limitReached_ = false;
                StartErase(now);
                Advance(now);
            } else if (cmd == 0x30) {
                ++counters_.sectorErases;
                op_ = Op::SectorErase;
                eraseSet_.fill(false);
                eraseSet_[SectorOf(offset)] = true;
                state_ = State::Busy;
                limitReached_ = false;
                eraseStarted_ = false;
                opEnd_ = kForever;  // set when the erase itself begins
                limitAt_ = kForever;
                windowEnd_ = now + timing_.eraseWindow;
                Advance(now);
            }
            break;
        default: state_ = State::Read; break;
    }
}

}  // namespace sim
