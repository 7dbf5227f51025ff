#pragma once
// The loader's side of the fast stage: stores the stage beside the running
// daemon, moves the line to 57,600 baud (both ends fall back to 38,400 by
// themselves when that fails), streams the file in pipelined frames,
// compressed where that pays, and at the end has the board check its flash
// against the file: a CRC-32 over the file's bytes, its blank ranges read
// for 0xFF, at 57,600 and without the CRC applet. The stage erases the sectors asked for itself, each just before
// its first frame, while the following frames keep arriving into its ring, so
// the erase costs little line time. Blank (all 0xFF) pieces are left to the
// erase. The daemon has the line back, at 38,400, when this returns.
#include <cstdint>
#include <functional>
#include <span>
#include <string>

struct FastStageOptionsT {
    std::uint32_t baud = 57600;  // 38400: the stage's pipeline at the daemon's speed
    bool compress = true;        // raw deflate chunks, decoded on the board
    std::uint16_t preload = 2;   // the counter/timer's preload for 57,600
    // Bit i: the stage erases kFlashSectors[i] (the last one keeping the
    // serial-number area) before programming; 0: the flash is erased already.
    std::uint32_t eraseSectors = 0;
};

struct FastStageResultT {
    int result = 0;                // 0, or one of the codes below
    std::uint32_t baud = 0;        // the speed the stream ran at
    bool fellBack = false;         // 57,600 was asked for and not reached
    std::uint64_t lineBytes = 0;   // bytes sent to the stage in frames
    std::uint64_t programmed = 0;  // bytes the board programmed
    std::uint64_t fileBytes = 0;   // bytes of the file
    unsigned resends = 0;          // frames sent again after a missing answer
    std::uint8_t boardError = 0;   // the stage's sticky error (STAGE_ERR_*)
    std::uint32_t errorAddress = 0;
    // The stage answered: from here on it may have erased. false: nothing
    // was erased or programmed.
    bool started = false;
    unsigned erases = 0;           // erase frames in the plan
    unsigned blankSectors = 0;     // of those, left out: the sector was blank already
    // STAGE_ERR_SERIAL, or the last sector not erased: the serial-number
    // area as kept in the board's RAM, written to this file ("" if none).
    std::string serialRescue;
};

inline constexpr int kStageStoreFailed = -120;   // the stage or its parameters were not acknowledged
inline constexpr int kStageSilent = -121;        // the stage did not answer at either speed, or stopped answering
inline constexpr int kStageProgramFailed = -122; // the board reported a word that did not program
inline constexpr int kStageCheckFailed = -123;   // the flash's CRC or blank ranges, or the count, not the file's
inline constexpr int kStageEraseFailed = -124;   // a sector did not erase, or the serial-number area not back

// image: the file's bytes from kFlashBase, -1 where the file holds nothing
// (FlashImageOfText). progress: bytes of the file dealt with, of the total.
FastStageResultT UploadThroughStage(std::span<const std::int16_t> image, const FastStageOptionsT& options,
                                    const std::function<void(std::uint64_t, std::uint64_t)>& progress = {});
