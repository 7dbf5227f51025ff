#pragma once
// The flash as the board maps it: where it lies, its sectors and the
// serial-number area a chip erase keeps (board_map.h holds the addresses
// for the loader and the daemon alike).
#include <array>
#include <cstdint>

#include "board_map.h"

inline constexpr std::uint32_t kFlashBase = BOARD_FLASH_BASE;
inline constexpr std::uint32_t kFlashEnd = BOARD_FLASH_END;  // one past the last byte
inline constexpr std::uint32_t kFlashSize = kFlashEnd - kFlashBase;
// Kept by a chip erase; a sector erase of the top sector clears it too.
inline constexpr std::uint32_t kSerialNumberStart = BOARD_SERIAL_AREA;

// The AM29F400 bottom-boot sectors.
struct FlashSectorT {
    std::uint32_t start;
    std::uint32_t size;
};
inline constexpr std::array<FlashSectorT, 11> kFlashSectors{{
    {0x400000, 0x4000}, {0x404000, 0x2000}, {0x406000, 0x2000}, {0x408000, 0x8000},
    {0x410000, 0x10000}, {0x420000, 0x10000}, {0x430000, 0x10000}, {0x440000, 0x10000},
    {0x450000, 0x10000}, {0x460000, 0x10000}, {0x470000, 0x10000},
}};
static_assert(kFlashSectors.front().start == kFlashBase &&
              kFlashSectors.back().start + kFlashSectors.back().size == kFlashEnd &&
              kFlashSectors.back().start == BOARD_LAST_PAGE);

// Index of the sector holding address, or -1 outside the flash.
constexpr int FlashSectorIndex(std::uint32_t address) {
    for (std::size_t i = 0; i < kFlashSectors.size(); ++i)
        if (address >= kFlashSectors[i].start && address - kFlashSectors[i].start < kFlashSectors[i].size)
            return static_cast<int>(i);
    return -1;
}
