#pragma once
// Reading the board back and the smaller flash commands, for any front end:
// read-back with progress, comparison of a ROM image with the flash, sector
// and serial-number erase, and running code. Results: 0 or the loader's own
// codes (Results.h).
#include <cstdint>
#include <functional>
#include <span>

#include "FlashMap.h"
#include "Results.h"
#include "RomImage.h"

// Told after each chunk: bytes done of the total.
using ByteProgressT = std::function<void(std::uint32_t done, std::uint32_t total)>;

// Fills out from board memory at address through the running daemon:
// 0, kNoDaemon, kBoardSilent, kLinkBusy.
int ReadBoard(std::uint32_t address, std::span<std::uint8_t> out, const ByteProgressT& progress);

// The flash compared with every byte a ROM image holds.
struct VerifyResultT {
    int result = 0;                 // 0 (see differing), why the image cannot be compared, or a ReadBoard result
    unsigned long compared = 0;     // bytes read back and compared
    unsigned long differing = 0;    // of them, bytes that differ
    std::uint32_t firstAddress = 0; // the lowest differing address
    std::uint8_t expected = 0;      // what the file holds there
    std::uint8_t found = 0;         // what the flash holds there
};
// Reads back only what the image holds (short gaps are read across, which
// costs less than a new request). A byte given twice counts as its last value.
VerifyResultT VerifyRom(const RomImageT& image, const ByteProgressT& progress);

// Erases the sector holding address: 0, kNoDaemon, kNotInFlash,
// kBoardRefused (NAK or no answer), kLinkBusy.
int EraseFlashSector(std::uint32_t address);
// Erases the serial-number area and waits until the daemon says it is done:
// 0, kNoDaemon, kBoardRefused, kLinkBusy.
int EraseSerialNumberArea();
// Calls the code at address (the board acknowledges first): 0, kBoardSilent,
// kNoDaemon when there is no link, kLinkBusy.
int RunCodeAt(std::uint32_t address);
