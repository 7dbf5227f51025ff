#pragma once
// What the fast stage is sent for a file: its frames in order, without the
// framing, worked out without a board (so the plan can be tested and
// measured on its own).
#include <cstdint>
#include <span>
#include <vector>

struct StageFrameT {
    std::uint8_t command = 0;        // STAGE_CMD_PROGRAM, _DATA or _INFLATE
    std::vector<std::uint8_t> data;  // the frame's DATA
    std::uint32_t fileBytes = 0;     // of the file, done once this frame is answered
};

struct StagePlanT {
    std::vector<StageFrameT> frames;
    // Every word the board will program, in frame order: its CRC-32 is what
    // the board must report.
    std::uint32_t crc = 0;
    std::uint64_t programmed = 0;
    std::uint64_t fileBytes = 0;
    unsigned chunks = 0;       // compressed chunks
    unsigned blankPieces = 0;  // left to the erase
};

// image: from kFlashBase, -1 where the file holds nothing.
StagePlanT PlanStageUpload(std::span<const std::int16_t> image, bool compress);

// STX SEQ CMD LEN DATA CRC-16 (CCITT, over SEQ to the end of DATA).
std::vector<std::uint8_t> StageFrameBytes(std::uint8_t seq, std::uint8_t command, std::span<const std::uint8_t> data);
std::uint16_t StageCrc16(std::span<const std::uint8_t> bytes);
