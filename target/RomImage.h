#pragma once
// A ROM file read and checked once: its data records in file order as runs
// of bytes with their addresses, and what the steps need to know about them
// (the line count, the bounds, the sectors touched, the first bad line and
// why). The check, the erase, the upload, the check after it and the verify
// all work from this one reading, so a pipe works end to end and a file that
// changes after the check cannot be programmed unchecked.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Results.h"

struct RomRecordT {
    std::uint32_t address;
    std::uint32_t offset;  // of its data in RomImageT::bytes
    std::uint8_t length;
};

struct RomImageT {
    // 0, or why the file cannot be programmed: kRomUnreadable (reason says
    // why), kRomBadRecord or kRomOutOfFlash (line says where), kRomEmpty.
    // The first problem in the file counts.
    int result = kRomUnreadable;
    // The file as read.
    std::string text;
    // The system's reason when the file cannot be read ("No such file or
    // directory").
    std::string reason;
    unsigned long line = 0;

    // Every data record the reader delivered, in file order, and their data
    // back to back: a record's data follows the record before it, so records
    // at consecutive addresses are one run of bytes here too.
    std::vector<RomRecordT> records;
    std::vector<std::uint8_t> bytes;
    // The data ended at a rejected record rather than at an end record or
    // the end of the file: an upload writes the records before it and fails.
    bool rejected = false;

    // Lines of the text (a line over 255 characters counts once for every
    // 255), the upload's progress range.
    unsigned long lines = 0;
    // Lowest and one past the highest address of the data (0 and 0 without
    // data); meaningful when result is 0.
    std::uint32_t lowest = 0;
    std::uint32_t highest = 0;
    // Bit i set: the data touches sector i of kFlashSectors (records outside
    // the flash are left out).
    std::uint32_t sectors = 0;

    std::span<const std::uint8_t> Data(const RomRecordT& record) const {
        return std::span(bytes).subspan(record.offset, record.length);
    }
};

// Parses a file's text already read: its records and what they hold.
RomImageT ParseRomImage(std::string text);

// Reads a file whole, then parses it. Regular files, pipes and FIFOs are
// read; a directory, a device or a file larger than any ROM for this flash
// is refused (kRomUnreadable), as is one that cannot be read.
RomImageT ReadRomImage(const char* path);
inline constexpr std::size_t kRomFileMax = 64u << 20;

// The operator's words for the image's result, or what it holds.
std::string RomCheckText(const RomImageT& image);

// What the verify compares: for every flash byte from kFlashBase, the value
// the file gives it (the last, for a byte given twice), or -1. result: 0, or
// why the file cannot be compared (kRomBadRecord, kRomOutOfFlash,
// kRomUnreadable); a file without data compares nothing.
struct HeldBytesT {
    int result = 0;
    std::vector<std::int16_t> held;
};
HeldBytesT HeldBytes(const RomImageT& image);

// The names the front ends were written against: the file as read is the
// image.
using RomFileT = RomImageT;
inline RomImageT ReadRomFile(const char* path) { return ReadRomImage(path); }
