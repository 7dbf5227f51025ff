#include "BoardMemory.h"

#include <vector>

#include "CommPort.h"
#include "TargetState.h"

namespace {

// One request reads at most this many bytes; progress is told per chunk.
constexpr std::uint32_t kChunk = VesperilIO::kReadChunk;
// A gap up to this size is read across: a new request costs about as much.
constexpr std::uint32_t kGapReadAcross = 96;

int ReadHeld(std::uint32_t address, std::span<std::uint8_t> out, const ByteProgressT& progress,
             std::uint32_t doneBefore, std::uint32_t total) {
    for (std::size_t at = 0; at < out.size(); at += kChunk) {
        const std::size_t n = std::min<std::size_t>(kChunk, out.size() - at);
        if (TargetLink->ReadMemory(address + static_cast<std::uint32_t>(at), out.subspan(at, n)) != 0)
            return kBoardSilent;
        if (progress) progress(doneBefore + static_cast<std::uint32_t>(at + n), total);
    }
    return 0;
}

}  // namespace

int ReadBoard(std::uint32_t address, std::span<std::uint8_t> out, const ByteProgressT& progress) {
    if (!daemonRunning) return kNoDaemon;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetLink) return kNoDaemon;
    return ReadHeld(address, out, progress, 0, static_cast<std::uint32_t>(out.size()));
}

VerifyResultT VerifyRom(const RomImageT& rom, const ByteProgressT& progress) {
    VerifyResultT v;
    const HeldBytesT heldBytes = HeldBytes(rom);
    v.result = heldBytes.result;
    if (v.result != 0) return v;
    const std::vector<std::int16_t>& image = heldBytes.held;
    // The runs to read, gaps of up to kGapReadAcross bytes included.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < kFlashSize; ++i) {
        if (image[i] < 0) continue;
        if (!runs.empty() && i - runs.back().second <= kGapReadAcross) {
            total += i + 1 - runs.back().second;
            runs.back().second = i + 1;
        } else {
            runs.emplace_back(i, i + 1);
            total += 1;
        }
    }
    if (!daemonRunning) {
        v.result = kNoDaemon;
        return v;
    }
    LinkUseT use;
    if (!use.Held()) {
        v.result = kLinkBusy;
        return v;
    }
    if (!TargetLink) {
        v.result = kNoDaemon;
        return v;
    }
    std::vector<std::uint8_t> flash;
    std::uint32_t done = 0;
    for (const auto& [from, to] : runs) {
        flash.resize(to - from);
        v.result = ReadHeld(kFlashBase + from, flash, progress, done, total);
        if (v.result != 0) return v;
        done += to - from;
        for (std::uint32_t i = from; i < to; ++i) {
            if (image[i] < 0) continue;
            ++v.compared;
            const auto found = flash[i - from];
            if (found == static_cast<std::uint8_t>(image[i])) continue;
            if (v.differing++ == 0) {
                v.firstAddress = kFlashBase + i;
                v.expected = static_cast<std::uint8_t>(image[i]);
                v.found = found;
            }
        }
    }
    return v;
}

int EraseFlashSector(std::uint32_t address) {
    const int sector = FlashSectorIndex(address);
    if (sector < 0) return kNotInFlash;
    if (!daemonRunning) return kNoDaemon;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetFlash) return kNoDaemon;
    CommPurgeInput();
    // The daemon ignores an odd address; the sector's start is always even.
    const auto status = TargetFlash->EraseSector(kFlashSectors[static_cast<std::size_t>(sector)].start);
    return status == erase_status::kAck ? 0 : kBoardRefused;
}

int EraseSerialNumberArea() {
    if (!daemonRunning) return kNoDaemon;
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetFlash) return kNoDaemon;
    CommPurgeInput();
    // The first answer only takes the request; the second says how it went.
    if (TargetFlash->EraseSerialNumber() != erase_status::kAck) return kBoardRefused;
    return TargetFlash->WaitEraseEnd() == erase_status::kAck ? 0 : kBoardRefused;
}

int RunCodeAt(std::uint32_t address) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!TargetLink) return kNoDaemon;
    return TargetLink->RunAt(address) == 0 ? 0 : kBoardSilent;
}
