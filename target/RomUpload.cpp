#include "RomUpload.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>

#include "DaemonDownload.h"
#include "Progress.h"
#include "SxFile.h"
#include "Target.h"

int FlushBlock(std::uint32_t address, std::size_t count, int mode) {
    if (count == 0) return 0;
    if (!TargetLink) return -1;
    const auto bytes = std::span<const std::uint8_t>(transferBuffer).first(count);
    return mode == 0 ? TargetLink->ProgramFlash(address, bytes, 8) : TargetLink->WriteMemory(address, bytes, 8);
}

int UploadRomFile(const char* path, int mode) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return 1;
    recordCounter = 0;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    if (file.Fail() != 0) return -151;

    bool open = false;
    std::uint32_t blockAddress = 0;
    std::size_t pending = 0;
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    int result = 0;
    // A block holds at most 230 bytes plus one record, so each record's
    // data lands inside the buffer right after the bytes collected so far.
    static_assert(230 + XREC_T::kMaxRecordData <= sizeof(transferBuffer));
    while (file.ReadRecord(address, length, &transferBuffer[open ? pending : 0]) == 0) {
        ++recordCounter;
        bool opened = false;
        if (!open) {
            open = true;
            opened = true;
            blockAddress = address;
            pending = 0;
        } else if (address != blockAddress + pending) {
            if (FlushBlock(blockAddress, pending, mode) != 0) return -1;
            std::memmove(transferBuffer.data(), &transferBuffer[pending], length);
            blockAddress = address;
            pending = 0;
            Progress().ToggleUploadLamp();
        }
        pending += length;
        if (pending > 230) {
            if (FlushBlock(blockAddress, pending, mode) != 0) return -1;
            Progress().ToggleUploadLamp();
            open = false;
        } else if (!opened && (recordCounter + 1) % 100 == 0) {
            Progress().SetProgress(recordCounter);
        }
    }
    if (open && FlushBlock(blockAddress, pending, mode) != 0) return -1;
    // A rejected record must not pass for the end of the data: the rest of
    // the file would silently stay unwritten.
    if (file.LastStatus() == SXFILE_T::Status::BadRecord || file.LastStatus() == SXFILE_T::Status::StreamFailed)
        result = -1;
    if (result == 0) {
        Progress().FillProgress();
        Progress().EnableRestart();
    }
    return result;
}

int LoadRomFile(const char* path) { return UploadRomFile(path, 0); }

int CountLines(const char* path) {
    if (path == nullptr || path[0] == '\0') return 0;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    if (file.Fail() != 0) return 0;
    std::array<char, XREC_T::kLineArea> line{};
    int count = 0;
    while (file.ReadLine(line.data()) == 0) ++count;
    return count;
}

bool RestartReceiver(std::uint32_t address) {
    LinkUseT use;
    if (!use.Held() || !TargetLink) return false;
    TargetLink->RunAt(address);
    return true;
}

RomCheckT CheckRomFile(const char* path) {
    RomCheckT c;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    if (file.Fail() != 0) {
        c.result = kRomUnreadable;
        return c;
    }
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    c.lowest = UINT32_MAX;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        const std::uint64_t end = std::uint64_t{address} + length;
        if (address < kFlashBase || end > kFlashEnd) {
            c.result = kRomOutOfFlash;
            c.line = file.LineNumber();
            return c;
        }
        ++c.records;
        c.bytes += length;
        c.lowest = std::min(c.lowest, address);
        c.highest = std::max(c.highest, static_cast<std::uint32_t>(end));
    }
    const auto status = file.LastStatus();
    if (status == SXFILE_T::Status::BadRecord || status == SXFILE_T::Status::StreamFailed) {
        c.result = kRomBadRecord;
        c.line = file.LineNumber();
    } else if (c.records == 0) {
        c.result = kRomEmpty;
    }
    if (c.records == 0) c.lowest = 0;
    return c;
}

std::string RomCheckText(const RomCheckT& c) {
    char text[160];
    switch (c.result) {
        case 0:
            std::snprintf(text, sizeof text, "%lu records, %lu bytes, 0x%06X to 0x%06X", c.records, c.bytes,
                          static_cast<unsigned>(c.lowest), static_cast<unsigned>(c.highest - 1));
            break;
        case kRomUnreadable: std::snprintf(text, sizeof text, "the file cannot be opened"); break;
        case kRomBadRecord: std::snprintf(text, sizeof text, "line %lu is not a valid data record", c.line); break;
        case kRomOutOfFlash:
            std::snprintf(text, sizeof text, "line %lu holds data outside the flash (0x400000 to 0x47FFFF)", c.line);
            break;
        case kRomEmpty: std::snprintf(text, sizeof text, "the file holds no data record"); break;
        default: std::snprintf(text, sizeof text, "unknown result %d", c.result); break;
    }
    return text;
}
