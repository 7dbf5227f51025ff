#pragma once
// Programs a ROM image into the flash through the running daemon, and
// restarts the board into it.
#include <cstdint>
#include <span>
#include <vector>

#include "FastOptions.h"
#include "FlashMap.h"
#include "Progress.h"
#include "Results.h"
#include "RomImage.h"

// Where the programmed code starts.
inline constexpr std::uint32_t kRestartAddress = 0x400420;

// upload_result: kDone; kNoDaemon (the file is not opened); kBlockRefused (a
// block was not acknowledged, or the file holds a record that the reader
// rejected); kUnreadable; or kLinkBusy. Mode 0 programs the flash; any other
// value stores into RAM. Progress: the record count every 100 records, the
// lamp once per block written before the end, then fill and restart.
int UploadRomFile(const char* path, int mode, ProgressT& progress);
int LoadRomFile(const char* path, ProgressT& progress);
// The same from an image already read: what is uploaded is then exactly
// what was checked, even from a pipe or a file that changes.
int UploadRomImage(const RomImageT& image, int mode, ProgressT& progress);
// Programs the image into flash this sequence has just erased, with the
// speed-ups fast turns on (fullFrames, skipBlank, noPause). Results as
// UploadRomImage.
int UploadRomImageFast(const RomImageT& image, const FastOptionsT& fast, ProgressT& progress);

// The blocks an upload of the image would write, and the frames they take,
// worked out without a board. result: 0, or kBlockRefused for a rejected
// record.
struct UploadBlockT {
    std::uint32_t address;
    std::size_t count;
};
struct UploadPlanT {
    int result = 0;
    std::vector<UploadBlockT> blocks;
    std::size_t frames = 0;
};
UploadPlanT PlanUpload(const RomImageT& image);

// Writes a block at address: programs the flash (mode 0) or stores into RAM
// (other modes), bytes as they are; 0 for no bytes.
int FlushBlock(std::uint32_t address, std::span<const std::uint8_t> bytes, int mode);
// Lines of the file (a line over 255 characters counts as more than one);
// 0 for an empty path or a file that cannot be opened.
int CountLines(const char* path);
// Runs the board's code at address; false when there is no link (or it is
// in use by another step).
bool RestartReceiver(std::uint32_t address);
