#pragma once
// AM29F400 bottom-boot flash, word mode, from the chip's public data sheet:
// the command state machine (reset, unlock cycles, program, sector and chip
// erase, autoselect), program-only-clears-bits, and the status bits seen while
// an embedded operation runs (DQ7 data polling, DQ6 toggle, DQ5 time limit,
// DQ3 sector-erase timer, DQ2 erase toggle). Operation times come from a
// profile. Offsets are byte offsets from the device base; accesses are 16 bit.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "Wire.h"

namespace sim {

struct FlashTiming {
    Picos wordProgram = 0;       // one word
    Picos sectorErase = 0;       // per sector, sector or chip erase
    Picos eraseWindow = 0;       // sector-erase time-out for further 0x30 cycles
    Picos programLimit = 0;      // DQ5 rises after this when a program cannot finish
    Picos eraseLimit = 0;        // DQ5 rises after this when an erase cannot finish

    // Operations finish at once: for tests.
    static FlashTiming Instant() { return {}; }
    // The data sheet's typical times: 12 us per word, 1 s per sector, 50 us
    // erase window; limits at the data sheet's maximum times.
    static FlashTiming Typical() {
        return {12 * kPicosPerMicro, 1000 * kPicosPerMilli, 50 * kPicosPerMicro, 300 * kPicosPerMicro,
                8000 * kPicosPerMilli};
    }
    // The data sheet's maximum times: 300 us per word, 8 s per sector (88 s
    // for the chip); the operations still finish, just at their limits.
    static FlashTiming Slowest() {
        return {300 * kPicosPerMicro, 8000 * kPicosPerMilli, 50 * kPicosPerMicro, 300 * kPicosPerMicro,
                8000 * kPicosPerMilli};
    }
};

class Am29f400 {
public:
    static constexpr std::uint32_t kSize = 0x80000;
    static constexpr std::uint16_t kManufacturerId = 0x0001;
    static constexpr std::uint16_t kDeviceIdBottom = 0x22AB;

    enum class State { Read, Unlock1, Unlock2, Program, EraseSetup, EraseUnlock1, EraseUnlock2,
                       Autoselect, AutoselectUnlock1, AutoselectUnlock2, Busy };

    explicit Am29f400(FlashTiming timing = FlashTiming::Instant());

    // Bus accesses; `offset` is even, `now` is the simulated time of the access.
    std::uint16_t Read(std::uint32_t offset, Picos now);
    void Write(std::uint32_t offset, std::uint16_t value, Picos now);
    // Power-on: back to reading; an operation in progress is abandoned.
    void PowerOn() { state_ = State::Read; op_ = Op::None; }
    // Completes an operation whose time has come.
    void Advance(Picos now);
    // When a running operation finishes or reaches its time limit.
    std::optional<Picos> NextEvent() const;
    bool Busy() const { return state_ == State::Busy; }
    State GetState() const { return state_; }

    // Sector map: 16, 8, 8, 32 KiB, then seven of 64 KiB.
    static constexpr unsigned kSectors = 11;
    static unsigned SectorOf(std::uint32_t offset);
    static std::uint32_t SectorStart(unsigned sector);
    static std::uint32_t SectorSize(unsigned sector);

    // The array, big-endian bytes as the CPU sees them in read mode.
    std::span<const std::uint8_t> Contents() const { return array_; }
    std::span<std::uint8_t> MutableContents() { return array_; }
    std::uint16_t ArrayWord(std::uint32_t offset) const;

    // Fault injection: a word whose cells never program, a sector that never erases.
    void FailWord(std::uint32_t offset) { badWords_.insert(offset & ~1u); }
    void FailSector(unsigned sector) { if (sector < kSectors) badSectors_.insert(sector); }
    void ClearFaults() { badWords_.clear(); badSectors_.clear(); }

    // Called with (offset, length) whenever the array changes.
    std::function<void(std::uint32_t, std::uint32_t)> onArrayChange;

    struct Counters {
        unsigned long programs = 0;
        unsigned long sectorErases = 0;
        unsigned long chipErases = 0;
        unsigned long failures = 0;  // operations that hit the time limit
        unsigned long statusReads = 0;  // reads while an operation runs (polls)
    };
    const Counters& GetCounters() const { return counters_; }

private:
    enum class Op { None, Program, SectorErase, ChipErase };
    void StartErase(Picos now);
    void Finish();
    std::uint16_t StatusWord(std::uint32_t offset, Picos now);

    FlashTiming timing_;
    std::vector<std::uint8_t> array_;
    State state_ = State::Read;
    Op op_ = Op::None;
    std::uint32_t opOffset_ = 0;
    std::uint16_t opData_ = 0;
    std::array<bool, kSectors> eraseSet_{};
    bool eraseStarted_ = false;  // past the sector-erase window
    Picos windowEnd_ = 0;
    Picos opEnd_ = 0;            // kForever when it can never finish
    Picos limitAt_ = 0;
    bool limitReached_ = false;
    bool toggle6_ = false;
    bool toggle2_ = false;
    std::set<std::uint32_t> badWords_;
    std::set<unsigned> badSectors_;
    Counters counters_;
};

}  // namespace sim
