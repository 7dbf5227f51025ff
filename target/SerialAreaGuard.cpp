#include "SerialAreaGuard.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "FlashMap.h"
#include "TargetState.h"

namespace {
constexpr std::uint32_t kAreaSize = kFlashEnd - kSerialNumberStart;
}  // namespace

std::string SerialAreaConflict(const RomImageT& rom) {
    // What the file gives each byte of the area (-1: nothing).
    std::array<std::int16_t, kAreaSize> given;
    given.fill(-1);
    bool writes = false;
    for (const RomRecordT& r : rom.records) {
        const auto data = rom.Data(r);
        for (std::uint32_t i = 0; i < r.length; ++i) {
            const std::uint32_t a = r.address + i;
            if (a < kSerialNumberStart || a >= kFlashEnd) continue;
            given[a - kSerialNumberStart] = data[i];
            writes = writes || data[i] != 0xFF;
        }
    }
    if (!writes) return {};
    LinkUseT use;
    if (!use.Held() || !TargetLink) return "the file writes into the serial-number area, which could not be read";
    std::array<std::uint8_t, kAreaSize> board{};
    if (TargetLink->ReadMemory(kSerialNumberStart, board) != 0)
        return "the file writes into the serial-number area, which could not be read";
    if (std::ranges::all_of(board, [](std::uint8_t b) { return b == 0xFF; })) return {};
    for (std::uint32_t i = 0; i < kAreaSize; ++i) {
        if (given[i] < 0 || board[i] == static_cast<std::uint8_t>(given[i])) continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      "the file writes into the serial-number area 0x%06X to 0x%06X, which holds this board's own "
                      "(at 0x%06X the board holds 0x%02X, the file 0x%02X)",
                      static_cast<unsigned>(kSerialNumberStart), static_cast<unsigned>(kFlashEnd - 1),
                      static_cast<unsigned>(kSerialNumberStart + i), board[i], static_cast<unsigned>(given[i]));
        return text;
    }
    return {};
}
