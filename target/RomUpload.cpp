#include "RomUpload.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include "BoardMemory.h"
#include "DaemonDownload.h"
#include "FastOptions.h"
#include "Progress.h"
#include "SxFile.h"
#include "Target.h"

int FlushBlock(std::uint32_t address, std::size_t count, int mode) {
    if (count == 0) return 0;
    if (!TargetLink) return -1;
    const auto bytes = std::span<const std::uint8_t>(transferBuffer).first(count);
    return mode == 0 ? TargetLink->ProgramFlash(address, bytes, 8) : TargetLink->WriteMemory(address, bytes, 8);
}

namespace {

// Gathers consecutive records into blocks of a little over 230 bytes and
// hands each to flush (which writes it, or notes it for a plan); the reader
// delivers straight into the transfer buffer. report: progress is told.
template <typename Flush>
int GatherBlocks(SXFILE_T& file, Flush flush, bool report) {
    bool open = false;
    std::uint32_t blockAddress = 0;
    std::size_t pending = 0;
    std::uint32_t address = 0;
    std::uint8_t length = 0;
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
            if (flush(blockAddress, pending) != 0) return -1;
            std::memmove(transferBuffer.data(), &transferBuffer[pending], length);
            blockAddress = address;
            pending = 0;
            if (report) Progress().ToggleUploadLamp();
        }
        pending += length;
        if (pending > 230) {
            if (flush(blockAddress, pending) != 0) return -1;
            if (report) Progress().ToggleUploadLamp();
            open = false;
        } else if (report && !opened && (recordCounter + 1) % 100 == 0) {
            Progress().SetProgress(recordCounter);
        }
    }
    if (open && flush(blockAddress, pending) != 0) return -1;
    // A rejected record must not pass for the end of the data: the rest of
    // the file would silently stay unwritten.
    if (file.LastStatus() == SXFILE_T::Status::BadRecord || file.LastStatus() == SXFILE_T::Status::StreamFailed)
        return -1;
    if (report) {
        Progress().FillProgress();
        Progress().EnableRestart();
    }
    return 0;
}

// Fills every frame to kFullFramePayload bytes, across records as long as
// the addresses run on, and hands each frame's bytes to flush. Progress as
// GatherBlocks tells it.
template <typename Flush>
int GatherFullFrames(SXFILE_T& file, Flush flush) {
    std::vector<std::uint8_t> pending;
    pending.reserve(kFullFramePayload + XREC_T::kMaxRecordData);
    std::array<std::uint8_t, XREC_T::kMaxRecordData> data{};
    std::uint32_t blockAddress = 0;
    std::uint32_t address = 0;
    std::uint8_t length = 0;
    while (file.ReadRecord(address, length, data.data()) == 0) {
        ++recordCounter;
        if (!pending.empty() && address != blockAddress + pending.size()) {
            if (flush(blockAddress, std::span<const std::uint8_t>(pending)) != 0) return -1;
            pending.clear();
            Progress().ToggleUploadLamp();
        }
        if (pending.empty()) blockAddress = address;
        pending.insert(pending.end(), data.begin(), data.begin() + length);
        while (pending.size() >= kFullFramePayload) {
            if (flush(blockAddress, std::span<const std::uint8_t>(pending).first(kFullFramePayload)) != 0) return -1;
            pending.erase(pending.begin(), pending.begin() + kFullFramePayload);
            blockAddress += static_cast<std::uint32_t>(kFullFramePayload);
            Progress().ToggleUploadLamp();
        }
        if ((recordCounter + 1) % 100 == 0) Progress().SetProgress(recordCounter);
    }
    if (!pending.empty() && flush(blockAddress, std::span<const std::uint8_t>(pending)) != 0) return -1;
    if (file.LastStatus() == SXFILE_T::Status::BadRecord || file.LastStatus() == SXFILE_T::Status::StreamFailed)
        return -1;
    Progress().FillProgress();
    Progress().EnableRestart();
    return 0;
}

// Programs bytes into just-erased flash. A blank block is left as the erase
// left it, except in the serial-number area: the erase may have kept data
// there, and the file's 0xFF must then meet it as it does without skipping.
int ProgramErased(std::uint32_t address, std::span<const std::uint8_t> bytes, const FastOptionsT& fast) {
    if (bytes.empty()) return 0;
    if (!TargetLink) return -1;
    const bool blank = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (fast.skipBlank && blank && address + bytes.size() <= kSerialNumberStart) return 0;
    return TargetLink->ProgramFlash(address, bytes, 8, fast.fullFrames ? kFullFramePayload : VesperilIO::kWriteChunk);
}

int UploadRecords(SXFILE_T& file, int mode) {
    return GatherBlocks(file, [mode](std::uint32_t address, std::size_t count) { return FlushBlock(address, count, mode); },
                        true);
}

}  // namespace

int UploadRomFile(const char* path, int mode) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return 1;
    recordCounter = 0;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    if (file.Fail() != 0) return -151;
    return UploadRecords(file, mode);
}

int UploadRomText(const std::string& text, int mode) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return 1;
    recordCounter = 0;
    SXFILE_T file(text);
    return UploadRecords(file, mode);
}

int UploadRomTextFast(const std::string& text, const FastOptionsT& fast) {
    LinkUseT use;
    if (!use.Held()) return kLinkBusy;
    if (!daemonRunning) return 1;
    if (!TargetLink) return -1;
    // Program frames only: the daemon answers one after programming it, so
    // the next can follow at once. Elsewhere (the ping's tail, code that
    // 0x82 runs) the daemon may still be busy, and the pause stays.
    struct PauseT {
        explicit PauseT(bool on) { TargetLink->SetIdlePause(on); }
        ~PauseT() { TargetLink->SetIdlePause(true); }
    } pause(!fast.noPause);
    recordCounter = 0;
    SXFILE_T file(text);
    if (fast.fullFrames)
        return GatherFullFrames(file, [&fast](std::uint32_t address, std::span<const std::uint8_t> bytes) {
            return ProgramErased(address, bytes, fast);
        });
    return GatherBlocks(
        file,
        [&fast](std::uint32_t address, std::size_t count) {
            return ProgramErased(address, std::span<const std::uint8_t>(transferBuffer).first(count), fast);
        },
        true);
}

int LoadRomFile(const char* path) { return UploadRomFile(path, 0); }

UploadPlanT PlanUploadText(const std::string& text) {
    UploadPlanT plan;
    // The transfer buffer and record counter are the upload's: hold the link.
    LinkUseT use;
    if (!use.Held()) {
        plan.result = kLinkBusy;
        return plan;
    }
    recordCounter = 0;
    SXFILE_T file(text);
    plan.result = GatherBlocks(
        file,
        [&plan](std::uint32_t address, std::size_t count) {
            if (count == 0) return 0;
            plan.blocks.push_back({address, count});
            plan.frames += (count + VesperilIO::kWriteChunk - 1) / VesperilIO::kWriteChunk;
            return 0;
        },
        false);
    return plan;
}

namespace {
int CountReaderLines(SXFILE_T& file) {
    if (file.Fail() != 0) return 0;
    std::array<char, XREC_T::kLineArea> line{};
    int count = 0;
    while (file.ReadLine(line.data()) == 0) ++count;
    return count;
}
}  // namespace

int CountLines(const char* path) {
    if (path == nullptr || path[0] == '\0') return 0;
    SXFILE_T file(path, kModeIn | kModeNoCreate);
    return CountReaderLines(file);
}

int CountLinesText(const std::string& text) {
    SXFILE_T file(text);
    return CountReaderLines(file);
}

bool RestartReceiver(std::uint32_t address) {
    LinkUseT use;
    if (!use.Held() || !TargetLink) return false;
    TargetLink->RunAt(address);
    return true;
}

RomFileT ReadRomFile(const char* path) {
    RomFileT rom;
    if (path == nullptr || path[0] == '\0') {
        rom.reason = "no file named";
        return rom;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto type = fs::status(path, ec).type();
    if (ec) {
        rom.reason = ec.message();
        return rom;
    }
    if (type == fs::file_type::directory) {
        rom.reason = std::strerror(EISDIR);
        return rom;
    }
    if (type != fs::file_type::regular && type != fs::file_type::fifo) {
        rom.reason = "not a regular file or a pipe";
        return rom;
    }
    try {
        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            rom.reason = errno != 0 ? std::strerror(errno) : "cannot be opened";
            return rom;
        }
        std::array<char, 65536> chunk{};
        while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
            rom.text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
            if (rom.text.size() > kRomFileMax) {
                rom.text.clear();
                rom.reason = "larger than any ROM file for this flash";
                return rom;
            }
        }
        if (in.bad()) {
            rom.text.clear();
            rom.reason = "read error";
            return rom;
        }
    } catch (...) {
        rom.text.clear();
        rom.reason = "read error";
        return rom;
    }
    rom.result = 0;
    return rom;
}

RomCheckT CheckRomFile(const char* path) {
    const RomFileT rom = ReadRomFile(path);
    if (rom.result != 0) {
        RomCheckT c;
        c.result = kRomUnreadable;
        c.reason = rom.reason;
        return c;
    }
    return CheckRomText(rom.text);
}

RomCheckT CheckRomText(const std::string& text) {
    RomCheckT c;
    SXFILE_T file(text);
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
        case kRomUnreadable:
            std::snprintf(text, sizeof text, "the file cannot be read%s%s", c.reason.empty() ? "" : ": ",
                          c.reason.c_str());
            break;
        case kRomBadRecord: std::snprintf(text, sizeof text, "line %lu is not a valid data record", c.line); break;
        case kRomOutOfFlash:
            std::snprintf(text, sizeof text, "line %lu holds data outside the flash (0x400000 to 0x47FFFF)", c.line);
            break;
        case kRomEmpty: std::snprintf(text, sizeof text, "the file holds no data record"); break;
        default: std::snprintf(text, sizeof text, "unknown result %d", c.result); break;
    }
    return text;
}
