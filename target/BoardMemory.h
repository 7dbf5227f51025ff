#pragma once
// Reading the board back and the smaller flash commands, for any front end:
// the flash's sector map, read-back with progress, comparison of a ROM file
// with the flash, sector and serial-number erase, and running code.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "RomUpload.h"

// The AM29F400 bottom-boot sectors as the board maps them.
struct FlashSectorT {
    std::uint32_t start;
    std::uint32_t size;
};
inline constexpr std::array<FlashSectorT, 11> kFlashSectors{{
    {0x400000, 0x4000}, {0x404000, 0x2000}, {0x406000, 0x2000}, {0x408000, 0x8000},
    {0x410000, 0x10000}, {0x420000, 0x10000}, {0x430000, 0x10000}, {0x440000, 0x10000},
    {0x450000, 0x10000}, {0x460000, 0x10000}, {0x470000, 0x10000},
}};
// Kept by a chip erase; a sector erase of the top sector clears it too.
inline constexpr std::uint32_t kSerialNumberStart = 0x47F000;
inline constexpr std::uint32_t kFlashSize = kFlashEnd - kFlashBase;

// Index of the sector holding address, or -1 outside the flash.
int FlashSectorIndex(std::uint32_t address);

// Told after each chunk: bytes done of the total.
using ByteProgressT = std::function<void(std::uint32_t done, std::uint32_t total)>;

// Results shared by the operations below, beside 0 and kLinkBusy.
inline constexpr int kNoDaemon = -100;       // nothing was sent
inline constexpr int kBoardSilent = -1;      // a request stayed unanswered
inline constexpr int kBoardRefused = -104;   // the daemon reported failure
inline constexpr int kNotInFlash = -105;     // an address outside the flash

// What a ROM file holds, byte by byte from kFlashBase: -1 where it holds
// nothing; a byte given twice holds its last value. 0, kRomOutOfFlash or
// kRomBadRecord.
int FlashImageOfText(const std::string& text, std::vector<std::int16_t>& image);

// Fills out from board memory at address through the running daemon.
int ReadBoard(std::uint32_t address, std::span<std::uint8_t> out, const ByteProgressT& progress);

// The flash compared with every byte a ROM file holds.
struct VerifyResultT {
    int result = 0;                 // 0 (see differing), kRomBadRecord, or a ReadBoard result
    unsigned long compared = 0;     // bytes read back and compared
    unsigned long differing = 0;    // of them, bytes that differ
    std::uint32_t firstAddress = 0; // the lowest differing address
    std::uint8_t expected = 0;      // what the file holds there
    std::uint8_t found = 0;         // what the flash holds there
};
// Reads back only what the file holds (short gaps are read across, which
// costs less than a new request). A byte given twice counts as its last value.
VerifyResultT VerifyRomText(const std::string& text, const ByteProgressT& progress);

// Erases the sector holding address: 0, kNoDaemon, kNotInFlash,
// kBoardRefused (NAK or no answer), kLinkBusy.
int EraseFlashSector(std::uint32_t address);
// Erases the serial-number area and waits until the daemon says it is done:
// 0, kNoDaemon, kBoardRefused, kLinkBusy.
int EraseSerialNumberArea();
// Calls the code at address (the board acknowledges first): 0, kBoardSilent,
// kNoDaemon when there is no link, kLinkBusy.
int RunCodeAt(std::uint32_t address);
