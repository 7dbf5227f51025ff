#pragma once
// What the fast stage is sent for a file: its frames in order, without the
// framing, worked out without a board (so the plan can be tested and
// measured on its own).
#include <cstdint>
#include <span>
#include <vector>

struct StageFrameT {
    std::uint8_t command = 0;        // STAGE_CMD_PROGRAM, _DATA, _INFLATE or _ERASE
    std::vector<std::uint8_t> data;  // the frame's DATA
    std::uint32_t fileBytes = 0;     // of the file, done once this frame is answered
};

struct StagePlanT {
    std::vector<StageFrameT> frames;
    // The CRC-32 of the file's bytes outside its blank ranges, in address
    // order: what the board must read from its flash at the end (the last
    // frames, STAGE_CMD_CHECK, say where; the blank ranges must read 0xFF).
    std::uint32_t check = 0;
    std::uint64_t programmed = 0;  // bytes the board programs, 0xFF words included
    std::uint64_t fileBytes = 0;
    unsigned chunks = 0;       // compressed chunks
    unsigned blankPieces = 0;  // left to the erase
    unsigned erases = 0;       // sectors the stage erases
};

// image: from kFlashBase, -1 where the file holds nothing. eraseSectors:
// bit i asks the stage to erase kFlashSectors[i], just before the first
// frame that lands in it, so that the line fills the ring while it erases;
// sectors no frame lands in (blank pieces) are erased first of all.
StagePlanT PlanStageUpload(std::span<const std::int16_t> image, bool compress, std::uint32_t eraseSectors = 0);

// STX SEQ CMD LEN DATA CRC-16 (CCITT, over SEQ to the end of DATA).
std::vector<std::uint8_t> StageFrameBytes(std::uint8_t seq, std::uint8_t command, std::span<const std::uint8_t> data);
std::uint16_t StageCrc16(std::span<const std::uint8_t> bytes);
